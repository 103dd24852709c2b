#include "comm_on_pty.h"
#include "error_box_watcher.h"
#include "fake_ports.h"
#include "modal_watcher.h"
#include "named.h"
#include "pty_pair.h"
#include "serial/comm.h"
#include "serial/comm_port_posix.h"
#include "serial/port_dialog.h"
#include "wait_until.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

using namespace lqs;
using lqs::test::ErrorBoxWatcher;
using lqs::test::FakeTree;
using lqs::test::PtyPair;
using namespace std::chrono_literals;

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
        sources.linkDirectories = {
            {tmp.filePath(QStringLiteral("sim")), QStringLiteral("simulated instrument")}};
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

// Also keeps each box's detail, the informative text under its message.
class DetailedBoxWatcher : public ErrorBoxWatcher {
public:
    QStringList details;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->objectName() == QLatin1String("errorBox"))
            if (auto* box = qobject_cast<QMessageBox*>(watched)) details << box->informativeText();
        return ErrorBoxWatcher::eventFilter(watched, event);
    }
};

// Refuses the next opens with the given errno, as the kernel does an
// ordinary user; 0 lets them through.
class RefusingSys : public PosixSys {
public:
    int open(const char* path, int flags) override {
        if (refuse != 0) {
            errno = refuse;
            return -1;
        }
        return PosixSys::open(path, flags);
    }
    int refuse = 0;
};

// Another program holding a port until the test ends. It runs cat, whose
// echo of a line shows that the program is up and holds the port.
struct OtherProgram {
    QProcess process;

    bool start(const QString& program, const QStringList& args) {
        process.start(program, args);
        if (!process.waitForStarted(5000)) return false;
        process.write("ready\n");
        while (!process.canReadLine())
            if (!process.waitForReadyRead(5000)) return false;
        return process.readLine() == "ready\n";
    }
    ~OtherProgram() {
        if (process.state() == QProcess::NotRunning) return;
        process.closeWriteChannel();  // cat ends, and the program with it
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

QComboBox* cbo1(const TForm3& dlg) {
    return test::named<QComboBox>(&dlg, "cbo1");
}

void clickOk(const TForm3& dlg) {
    QTest::mouseClick(test::named<QPushButton>(&dlg, "Button1"), Qt::LeftButton);
}

}  // namespace

// The other programs here are started with fork and exec from a process with
// threads (Qt's own); the child only execs, which ThreadSanitizer would
// otherwise refuse to let it do.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0";
}

class TestPortDialog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void appearance();
    void listRebuiltOnEveryShow();
    void okOpensAndReopens();
    void okAsksBeforeDroppingALink_data();
    void okAsksBeforeDroppingALink();
    void startsAtThePortInUse_data();
    void startsAtThePortInUse();
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
    for (const auto& [name, text] : labels) QCOMPARE(test::named<QLabel>(&dlg, name)->text(), text);
    QVERIFY(!cbo1(dlg)->isEditable());
    QCOMPARE(test::named<QPushButton>(&dlg, "Button1")->text(), QStringLiteral("OK"));
    QCOMPARE(test::named<QPushButton>(&dlg, "Button2")->text(), QStringLiteral("Cancel"));

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
    QCOMPARE(items(cbo1(dlg)), QStringList({bench.linkPath(0), bench.linkPath(1)}));
    QCOMPARE(cbo1(dlg)->currentIndex(), 0);

    dlg.close();

    // Ports that appeared or vanished meanwhile are reflected.
    QVERIFY(bench.unlink(0));
    QVERIFY(bench.link(2, bench.a));
    dlg.show();
    QCOMPARE(items(cbo1(dlg)), QStringList({bench.linkPath(1), bench.linkPath(2)}));
    QCOMPARE(cbo1(dlg)->currentIndex(), 0);
    dlg.close();

    QVERIFY(bench.unlink(1) && bench.unlink(2));
    dlg.show();
    QCOMPARE(cbo1(dlg)->count(), 0);
    QCOMPARE(cbo1(dlg)->currentIndex(), -1);
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
    QTest::keyClick(cbo1(dlg), Qt::Key_Down);
    clickOk(dlg);
    QCOMPARE(comm.CommName(), bench.linkPath(1));
    QVERIFY(deviceFree(bench.linkPath(0)));
    QVERIFY(!deviceFree(bench.linkPath(1)));
    QCOMPARE(opened.size(), 3);
    QVERIFY(boxes.seen.isEmpty());
}

void TestPortDialog::okAsksBeforeDroppingALink_data() {
    QTest::addColumn<bool>("drop");
    QTest::newRow("No, the default: all stays as it was") << false;
    QTest::newRow("Yes: the other port is opened") << true;
}

void TestPortDialog::okAsksBeforeDroppingALink() {
    QFETCH(bool, drop);
    Bench bench;
    QVERIFY(bench.ok());
    TComm comm;
    TForm3 dlg(&comm, nullptr, bench.sources);
    QVERIFY(dlg.openPort(bench.linkPath(0)));
    dlg.setLinkStands([] { return true; });
    QSignalSpy opened(&dlg, &TForm3::portOpened);
    test::ModalWatcher boxes([drop](QMessageBox* box) -> QAbstractButton* {
        return drop ? box->button(QMessageBox::Yes) : nullptr;
    });

    dlg.show();
    QTest::keyClick(cbo1(dlg), Qt::Key_Down);
    clickOk(dlg);
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen[0].objectName, QStringLiteral("dropLink"));
    QCOMPARE(boxes.seen[0].text,
             QStringLiteral("The instrument on %1 is linked. Drop the link and open %2?")
                 .arg(bench.linkPath(0), bench.linkPath(1)));
    QVERIFY(comm.IsOpen());
    QCOMPARE(comm.CommName(), bench.linkPath(drop ? 1 : 0));
    QCOMPARE(opened.size(), drop ? 1 : 0);
    QCOMPARE(dlg.isVisible(), !drop);
}

void TestPortDialog::startsAtThePortInUse_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("chosen");
    QTest::newRow("second port open") << QStringLiteral("open") << 1;
    QTest::newRow("second port closed since") << QStringLiteral("closed") << 0;
    QTest::newRow("open port not listed") << QStringLiteral("unlisted") << 0;
}

// OK alone keeps the port in use rather than moving to the first one listed.
void TestPortDialog::startsAtThePortInUse() {
    QFETCH(QString, before);
    QFETCH(int, chosen);
    Bench bench;
    QVERIFY(bench.ok());
    TComm comm;
    TForm3 dlg(&comm, nullptr, bench.sources);
    PtyPair unlisted;
    QVERIFY(unlisted.ok());
    if (before == QLatin1String("unlisted")) {
        test::setUpAsMainPort(comm, unlisted.slavePath());
        comm.OpenPort();
    } else {
        dlg.show();
        QTest::keyClick(cbo1(dlg), Qt::Key_Down);
        clickOk(dlg);
        QCOMPARE(comm.CommName(), bench.linkPath(1));
        if (before == QLatin1String("closed")) comm.ClosePort();
    }

    dlg.show();
    QCOMPARE(cbo1(dlg)->currentData().toString(), bench.linkPath(chosen));
    clickOk(dlg);
    QVERIFY(comm.IsOpen());
    QCOMPARE(comm.CommName(), bench.linkPath(chosen));
    QVERIFY(!deviceFree(bench.linkPath(chosen)));
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
    // The directories are watched only while the dialog is shown.
    auto watching = [&dlg] { return dlg.findChild<QFileSystemWatcher*>() != nullptr; };
    QVERIFY(!watching());
    dlg.show();
    const QString usb0 = tree.sources.dev + QStringLiteral("/ttyUSB0");
    const QString usb1 = tree.sources.dev + QStringLiteral("/ttyUSB1");
    const QString sim0 = simDir + QStringLiteral("/ttyLQS0");
    QCOMPARE(items(cbo1(dlg)), QStringList{usb1});
    const QString line = usb1 + QStringLiteral(" \u2014 FTDI FT232R USB UART (0403:6001)");
    QCOMPARE(cbo1(dlg)->itemText(0), line);
    QCOMPARE(cbo1(dlg)->itemData(0, Qt::ToolTipRole).toString(), line);

    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB0"), ftdi));
    LQS_TRY_COMPARE_WITH_TIMEOUT(items(cbo1(dlg)), QStringList({usb0, usb1}), 1s);
    QCOMPARE(cbo1(dlg)->currentData().toString(), usb1);

    // The user picks the new adapter; then the simulator makes its directory and link.
    QTest::keyClick(cbo1(dlg), Qt::Key_Up);
    QCOMPARE(cbo1(dlg)->currentData().toString(), usb0);
    QVERIFY(QDir().mkpath(simDir));
    QVERIFY(tree.addSimLink(QStringLiteral("ttyLQS0")));
    LQS_TRY_COMPARE_WITH_TIMEOUT(items(cbo1(dlg)), QStringList({usb0, usb1, sim0}), 1s);
    QCOMPARE(cbo1(dlg)->itemText(2), sim0 + QStringLiteral(" \u2014 simulated instrument"));
    QCOMPARE(cbo1(dlg)->currentData().toString(), usb0);

    // The chosen adapter is pulled: the first port is chosen instead.
    QVERIFY(tree.removeNode(QStringLiteral("ttyUSB1")));
    QVERIFY(tree.removeNode(QStringLiteral("ttyUSB0")));
    LQS_TRY_COMPARE_WITH_TIMEOUT(items(cbo1(dlg)), QStringList({sim0}), 1s);
    QCOMPARE(cbo1(dlg)->currentIndex(), 0);

    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(!dlg.isVisible());
    QVERIFY(!watching());
}

void TestPortDialog::openFailure_data() {
    QTest::addColumn<QString>("failure");
    QTest::newRow("locked by another program") << QStringLiteral("locked");
    QTest::newRow("held open by another program") << QStringLiteral("held open");
    QTest::newRow("permission denied") << QStringLiteral("denied");
    QTest::newRow("no port listed") << QStringLiteral("empty");
    QTest::newRow("port vanished after showing") << QStringLiteral("vanished");
}

// The box keeps the component's fixed text and says under it why, and what
// to do. The root that runs CI passes every file mode, so a refusal the
// kernel would give an ordinary user is injected below the component; the
// program holding the port is a real one either way.
void TestPortDialog::openFailure() {
    QFETCH(QString, failure);
    Bench bench;
    QVERIFY(bench.ok());
    auto sys = std::make_shared<RefusingSys>();
    TComm comm(nullptr, [sys] { return std::make_unique<PosixCommPort>(sys); });
    TForm3 dlg(&comm, nullptr, bench.sources);
    QSignalSpy opened(&dlg, &TForm3::portOpened);
    QSignalSpy closed(&dlg, &TForm3::dialogClosed);
    DetailedBoxWatcher boxes;

    const QString port = bench.linkPath(0);
    QString expectedName = port;
    QString detail;
    int refuse = 0;
    OtherProgram other;
    if (failure == QLatin1String("locked")) {
        QVERIFY(other.start(QStringLiteral("flock"), {port, QStringLiteral("cat")}));
        detail = QStringLiteral(
                     "%1 is in use by another program: flock (process %2). Close that "
                     "program, or pick another port.")
                     .arg(port)
                     .arg(other.process.processId());
    } else if (failure == QLatin1String("held open")) {
        // Opened without the lock or exclusive mode: the open finds it and refuses.
        QVERIFY(other.start(QStringLiteral("sh"),
                            {QStringLiteral("-c"), QStringLiteral("exec cat 3<>\"$0\""), port}));
        detail = QStringLiteral(
                     "%1 is in use by another program: cat (process %2). Close that "
                     "program, or pick another port.")
                     .arg(port)
                     .arg(other.process.processId());
    } else if (failure == QLatin1String("denied")) {
        // A node of the group serial adapters get; only the refusal is injected.
        const struct group* dialout = ::getgrnam("dialout");
        const QString node = bench.tmp.filePath(QStringLiteral("ttyUSB0"));
        QFile nodeFile(node);
        QVERIFY(nodeFile.open(QIODevice::WriteOnly));
        nodeFile.close();
        if (!dialout || ::chown(node.toLocal8Bit().constData(), uid_t(-1), dialout->gr_gid) != 0 ||
            ::getegid() == dialout->gr_gid)
            QSKIP("needs a dialout group that this user may give a file but is not in");
        QVERIFY(bench.unlink(0) && QFile::link(node, port));
        refuse = EACCES;
        detail = QStringLiteral(
                     "Only members of the group \"dialout\" may use %1, and you are "
                     "not one of them. Add yourself with\n\n    sudo usermod -aG "
                     "dialout $USER\n\nthen log out and log in again: the new group "
                     "takes effect at the next login.")
                     .arg(port);
    } else if (failure == QLatin1String("empty")) {
        QVERIFY(bench.unlink(0) && bench.unlink(1));
        expectedName.clear();
        detail = QStringLiteral(
            "No serial port is listed. Plug in the adapter, or start the "
            "simulator, and pick its port when it appears in the list.");
    } else {
        detail = QStringLiteral(
                     "%1 is no longer there: the adapter was unplugged, or the program "
                     "that provided the port has ended. Plug the adapter in again and "
                     "pick its port.")
                     .arg(port);
    }
    // The port in use before OK is one the list does not offer; the refusal
    // is for the opens after it.
    PtyPair inUse;
    QVERIFY(inUse.ok());
    test::setUpAsMainPort(comm, inUse.slavePath());
    comm.OpenPort();
    sys->refuse = refuse;

    dlg.show();
    QCOMPARE(cbo1(dlg)->currentData().toString(), expectedName);
    // Pulled between the list's last reading and OK.
    if (failure == QLatin1String("vanished")) QVERIFY(bench.unlink(0));

    clickOk(dlg);

    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen.first().text, QStringLiteral("Error opening serial port."));
    QCOMPARE(boxes.details, QStringList{detail});
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
    QTest::keyClick(cbo1(dlg), Qt::Key_Down);
    if (way == QLatin1String("cancel"))
        QTest::mouseClick(test::named<QPushButton>(&dlg, "Button2"), Qt::LeftButton);
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
