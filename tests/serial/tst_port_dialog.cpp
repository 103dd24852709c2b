#include "comm.h"
#include "error_box_watcher.h"
#include "fake_ports.h"
#include "port_dialog.h"
#include "pty_pair.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace lqs;
using lqs::test::ErrorBoxWatcher;
using lqs::test::FakeTree;
using lqs::test::PtyPair;

namespace {

QString path(const std::string& s) {
    return QString::fromStdString(s);
}

// Two pseudo-terminals offered as simulator links, and nothing else: the
// sysfs root does not exist, so the machine's own ports stay out of the tests.
struct Bench {
    QTemporaryDir tmp;
    PtyPair a, b;
    PortListSources sources;

    Bench() {
        sources.sysClassTty = tmp.filePath(QStringLiteral("no-sys"));
        sources.dev = tmp.filePath(QStringLiteral("dev"));
        sources.linkDirectories = {{tmp.filePath(QStringLiteral("sim")), QStringLiteral("simulated instrument")}};
        QDir().mkpath(sources.linkDirectories.first().path);
        link(0, a);
        link(1, b);
    }
    bool ok() const { return tmp.isValid() && a.ok() && b.ok() && QFileInfo::exists(linkPath(1)); }

    QString linkPath(int i) const {
        return sources.linkDirectories.first().path + QStringLiteral("/ttyLQS%1").arg(i);
    }
    bool link(int i, const PtyPair& p) const {
        return QFile::link(path(p.slavePath()), linkPath(i));
    }
    bool unlink(int i) const { return QFile::remove(linkPath(i)); }
};

// The port names offered, in order.
QStringList items(const QComboBox* c) {
    QStringList out;
    for (int i = 0; i < c->count(); ++i) out << c->itemData(i).toString();
    return out;
}

// Whether some other holder could take the device now.
bool deviceFree(const QString& device) {
    TComm other;
    other.setCommName(device);
    try {
        other.OpenPort();
    } catch (const ECommsError&) {
        return false;
    }
    other.ClosePort();
    return true;
}

void clickOk(TForm3& dlg) {
    QTest::mouseClick(dlg.Button1, Qt::LeftButton);
}

}  // namespace

class TestPortDialog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void appearance();
    void listRebuiltOnEveryShow();
    void okOpensAndReopens();
    void refreshedWhileShown();
    void openFailure_data();
    void openFailure();
    void leavingWithoutOk_data();
    void leavingWithoutOk();
};

void TestPortDialog::appearance() {
    Bench bench;
    QVERIFY(bench.ok());
    // A small owner in a corner: the dialog still centres on the screen, not on it.
    QWidget owner;
    owner.setGeometry(0, 0, 300, 200);
    owner.show();
    TComm comm;
    TForm3 dlg(&comm, &owner, bench.sources);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    QCOMPARE(dlg.windowTitle(), QStringLiteral("Config RS232"));
    QCOMPARE(dlg.size(), QSize(208, 189));
    QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
    const Qt::WindowFlags flags = dlg.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!dlg.isModal());

    const QList<QPair<const char*, QString>> labels = {
        {"Label1", QStringLiteral("Ports")},
        {"Label2", QStringLiteral("Data Bits:8 Bits")},
        {"Label3", QStringLiteral("Partity Bit:None")},
        {"Label4", QStringLiteral("Stop Bit:1 Bit")}};
    for (const auto& [name, text] : labels) {
        auto* l = dlg.findChild<QLabel*>(QString::fromLatin1(name));
        QVERIFY2(l, name);
        QCOMPARE(l->text(), text);
    }
    QCOMPARE(dlg.findChild<QComboBox*>(QStringLiteral("cbo1")), dlg.cbo1);
    QVERIFY(!dlg.cbo1->isEditable());
    QCOMPARE(dlg.findChild<QPushButton*>(QStringLiteral("Button1"))->text(), QStringLiteral("OK"));
    QCOMPARE(dlg.findChild<QPushButton*>(QStringLiteral("Button2"))->text(),
             QStringLiteral("Cancel"));

    // Nothing is cut off by the fixed client size.
    for (const QWidget* w : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        QVERIFY2(dlg.rect().contains(w->geometry()), qPrintable(w->objectName()));

    const QPoint screenCentre = dlg.screen()->availableGeometry().center();
    QVERIFY((dlg.frameGeometry().center() - screenCentre).manhattanLength() <= 2);
}

void TestPortDialog::listRebuiltOnEveryShow() {
    Bench bench;
    QVERIFY(bench.ok());
    TComm comm;
    TForm3 dlg(&comm, nullptr, bench.sources);

    dlg.show();
    QCOMPARE(items(dlg.cbo1), QStringList({bench.linkPath(0), bench.linkPath(1)}));
    QCOMPARE(dlg.cbo1->currentIndex(), 0);

    // The second port is opened; the next showing still starts at the first entry.
    dlg.cbo1->setCurrentIndex(1);
    clickOk(dlg);
    QVERIFY(comm.IsOpen());
    QCOMPARE(comm.CommName(), bench.linkPath(1));
    dlg.show();
    QCOMPARE(dlg.cbo1->currentIndex(), 0);
    dlg.close();

    // Ports that appeared or vanished meanwhile are reflected.
    QVERIFY(bench.unlink(0));
    QVERIFY(bench.link(2, bench.a));
    dlg.show();
    QCOMPARE(items(dlg.cbo1), QStringList({bench.linkPath(1), bench.linkPath(2)}));
    QCOMPARE(dlg.cbo1->currentIndex(), 0);
    dlg.close();

    QVERIFY(bench.unlink(1) && bench.unlink(2));
    dlg.show();
    QCOMPARE(dlg.cbo1->count(), 0);
    QCOMPARE(dlg.cbo1->currentIndex(), -1);
}

void TestPortDialog::okOpensAndReopens() {
    Bench bench;
    QVERIFY(bench.ok());
    TComm comm;
    TForm3 dlg(&comm, nullptr, bench.sources);
    QSignalSpy opened(&dlg, &TForm3::portOpened);
    QSignalSpy closed(&dlg, &TForm3::dialogClosed);
    ErrorBoxWatcher boxes;

    dlg.show();
    clickOk(dlg);
    QVERIFY(comm.IsOpen());
    QCOMPARE(comm.CommName(), bench.linkPath(0));
    QVERIFY(!deviceFree(bench.linkPath(0)));
    QCOMPARE(opened.size(), 1);
    QCOMPARE(closed.size(), 1);
    QVERIFY(!dlg.isVisible());

    // The same port again: closed and opened anew, not refused as already open.
    dlg.show();
    clickOk(dlg);
    QVERIFY(comm.IsOpen());
    QCOMPARE(comm.CommName(), bench.linkPath(0));
    QCOMPARE(opened.size(), 2);
    QCOMPARE(closed.size(), 2);
    QVERIFY(!dlg.isVisible());

    // Another port: the first one is let go.
    dlg.show();
    dlg.cbo1->setCurrentIndex(1);
    clickOk(dlg);
    QCOMPARE(comm.CommName(), bench.linkPath(1));
    QVERIFY(deviceFree(bench.linkPath(0)));
    QVERIFY(!deviceFree(bench.linkPath(1)));
    QCOMPARE(opened.size(), 3);
    QVERIFY(boxes.seen.isEmpty());
}

// Adapters plugged in or pulled out, and a simulator started, while the dialog
// is shown: the list follows within a second and the chosen port stays chosen
// while it is there. Each line names the port and says what it is.
void TestPortDialog::refreshedWhileShown() {
    FakeTree tree;
    QVERIFY(tree.ok());
    const QString simDir = tree.path() + QStringLiteral("/sim-not-yet");
    tree.sources.linkDirectories.first().path = simDir;
    const QStringList ftdi = {QStringLiteral("idVendor=0403"), QStringLiteral("idProduct=6001"),
                              QStringLiteral("manufacturer=FTDI"),
                              QStringLiteral("product=FT232R USB UART")};
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB1"), ftdi));
    TComm comm;
    TForm3 dlg(&comm, nullptr, tree.sources);
    dlg.show();
    const QString usb0 = tree.sources.dev + QStringLiteral("/ttyUSB0");
    const QString usb1 = tree.sources.dev + QStringLiteral("/ttyUSB1");
    const QString sim0 = simDir + QStringLiteral("/ttyLQS0");
    QCOMPARE(items(dlg.cbo1), QStringList{usb1});
    const QString line = usb1 + QStringLiteral(" \u2014 FTDI FT232R USB UART (0403:6001)");
    QCOMPARE(dlg.cbo1->itemText(0), line);
    QCOMPARE(dlg.cbo1->itemData(0, Qt::ToolTipRole).toString(), line);

    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB0"), ftdi));
    QTRY_COMPARE_WITH_TIMEOUT(items(dlg.cbo1), QStringList({usb0, usb1}), 1000);
    QCOMPARE(dlg.cbo1->currentData().toString(), usb1);

    // The user picks the new adapter; then the simulator makes its directory and link.
    QTest::keyClick(dlg.cbo1, Qt::Key_Up);
    QCOMPARE(dlg.cbo1->currentData().toString(), usb0);
    QVERIFY(QDir().mkpath(simDir));
    QVERIFY(tree.addSimLink(QStringLiteral("ttyLQS0")));
    QTRY_COMPARE_WITH_TIMEOUT(items(dlg.cbo1), QStringList({usb0, usb1, sim0}), 1000);
    QCOMPARE(dlg.cbo1->itemText(2), sim0 + QStringLiteral(" \u2014 simulated instrument"));
    QCOMPARE(dlg.cbo1->currentData().toString(), usb0);

    // The chosen adapter is pulled: the first port is chosen instead.
    QVERIFY(tree.removeNode(QStringLiteral("ttyUSB1")));
    QVERIFY(tree.removeNode(QStringLiteral("ttyUSB0")));
    QTRY_COMPARE_WITH_TIMEOUT(items(dlg.cbo1), QStringList({sim0}), 1000);
    QCOMPARE(dlg.cbo1->currentIndex(), 0);
}

void TestPortDialog::openFailure_data() {
    QTest::addColumn<QString>("failure");
    QTest::newRow("device held by another program") << QStringLiteral("held");
    QTest::newRow("no port listed") << QStringLiteral("empty");
    QTest::newRow("port vanished after showing") << QStringLiteral("vanished");
}

void TestPortDialog::openFailure() {
    QFETCH(QString, failure);
    Bench bench;
    QVERIFY(bench.ok());
    TComm other;
    TComm comm;
    TForm3 dlg(&comm, nullptr, bench.sources);
    QSignalSpy opened(&dlg, &TForm3::portOpened);
    QSignalSpy closed(&dlg, &TForm3::dialogClosed);
    ErrorBoxWatcher boxes;

    // The port in use before OK is one the list does not offer.
    PtyPair inUse;
    QVERIFY(inUse.ok());
    comm.setCommName(path(inUse.slavePath()));
    comm.OpenPort();

    QString expectedName = bench.linkPath(0);
    if (failure == QLatin1String("held")) {
        other.setCommName(bench.linkPath(0));
        other.OpenPort();
    } else if (failure == QLatin1String("empty")) {
        QVERIFY(bench.unlink(0) && bench.unlink(1));
        expectedName.clear();
    }
    dlg.show();
    QCOMPARE(dlg.cbo1->currentData().toString(), expectedName);
    if (failure == QLatin1String("vanished")) QVERIFY(bench.unlink(0));

    clickOk(dlg);

    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen.first().text, QStringLiteral("Error opening serial port."));
    QVERIFY(dlg.isVisible());
    QCOMPARE(opened.size(), 0);
    QCOMPARE(closed.size(), 0);
    QVERIFY(!comm.IsOpen());
    QCOMPARE(comm.CommName(), expectedName);
    QVERIFY(deviceFree(path(inUse.slavePath())));
}

void TestPortDialog::leavingWithoutOk_data() {
    QTest::addColumn<QString>("way");
    QTest::newRow("Cancel") << QStringLiteral("cancel");
    QTest::newRow("close box") << QStringLiteral("close");
    QTest::newRow("Esc") << QStringLiteral("esc");
}

void TestPortDialog::leavingWithoutOk() {
    QFETCH(QString, way);
    Bench bench;
    QVERIFY(bench.ok());
    TComm comm;
    TForm3 dlg(&comm, nullptr, bench.sources);
    QSignalSpy opened(&dlg, &TForm3::portOpened);
    QSignalSpy closed(&dlg, &TForm3::dialogClosed);

    dlg.show();
    clickOk(dlg);
    QVERIFY(comm.IsOpen());

    dlg.show();
    dlg.cbo1->setCurrentIndex(1);
    if (way == QLatin1String("cancel"))
        QTest::mouseClick(dlg.Button2, Qt::LeftButton);
    else if (way == QLatin1String("close"))
        dlg.close();
    else
        QTest::keyClick(&dlg, Qt::Key_Escape);

    QVERIFY(!dlg.isVisible());
    QCOMPARE(closed.size(), 2);
    QCOMPARE(opened.size(), 1);
    QVERIFY(comm.IsOpen());
    QCOMPARE(comm.CommName(), bench.linkPath(0));
    QVERIFY(!deviceFree(bench.linkPath(0)));
    QVERIFY(deviceFree(bench.linkPath(1)));
}

QTEST_MAIN(TestPortDialog)
#include "tst_port_dialog.moc"
