// The bench remembered between runs: what the operator chose comes back in a
// new window, never as a port opened, a link or an output; a file with
// nonsense in it, or --no-settings, starts from the defaults.
#include "control_panel/app_windows.h"
#include "control_panel/bench_settings.h"
#include "control_panel/remote_control.h"
#include "device_link/link_client.h"
#include "modal_watcher.h"
#include "named.h"
#include "one_port.h"
#include "pty_pair.h"
#include "recorder/readings_window.h"
#include "recorder/wave_window.h"
#include "remote/scpi_server.h"
#include "serial/comm.h"
#include "serial/port_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace lqs;

namespace {

// The same folder for every run, as the ports' names stay from one run to the next.
QString benchDir() {
    return QDir::tempPath() +
           QStringLiteral("/tst_bench_settings-%1").arg(QCoreApplication::applicationPid());
}

// Two ports listed, so a remembered second one is told from the first.
struct Bench {
    QString dir = benchDir();
    test::PtyPair first, second;
    test::ModalWatcher boxes;
    std::unique_ptr<TForm1> form;

    explicit Bench(bool remember = true) {
        TForm_Wave::LocateRecordDir = [path = dir] { return path; };
        QDir(dir + QStringLiteral("/sim")).removeRecursively();
        PortListSources ports = test::onePortSources(dir, first.slavePath());
        QFile::link(QString::fromStdString(second.slavePath()), secondPort());
        form.reset(createWindows(ports));
        form->Beep = [](int, int) {};
        if (remember) keepBenchSettings(form.get());
        form->show();
        QCoreApplication::processEvents();  // the window's first placing
    }
    QString secondPort() const { return dir + QStringLiteral("/sim/ttyLQS1"); }
    QAction* action(const char* name) const { return test::action(form, name); }
    // Interface > Remote Control…, as the operator opens it.
    QDialog* remoteDialog() const {
        action("RemoteControl1")->trigger();
        return test::named<QDialog>(form.get(), "RemoteControl");
    }
    // View > Readings, once its first placing is done.
    ReadingsWindow* readings() const {
        form->ensureWaveWindow()->showReadings();
        QCoreApplication::processEvents();
        return form->findChild<ReadingsWindow*>();
    }
    // Record > Setup…; the dialog is opened, not run.
    QDialog* setup() const {
        action("Setup1")->trigger();
        auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        return d && d->objectName() == QLatin1String("Frm_Setup") ? d : nullptr;
    }
};

QString text(QDialog* d, const char* box) {
    return test::named<QComboBox>(d, box)->currentText();
}

void press(QDialog* d, const char* button) {
    QTest::mouseClick(test::named<QPushButton>(d, button), Qt::LeftButton);
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

}  // namespace

class tst_BenchSettings : public QObject {
    Q_OBJECT
    QTemporaryDir m_config;

    QString file() const { return benchSettingsPath(); }

private Q_SLOTS:
    void initTestCase() {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_config.path());
        QVERIFY(file().startsWith(m_config.path()));
    }
    void init() { QFile::remove(file()); }
    void cleanupTestCase() { QDir(benchDir()).removeRecursively(); }

    void choicesComeBackInANewWindow() {
        const quint16 remotePort = freePort();
        {
            Bench bench;
            bench.action("LQS6500B1")->trigger();
            bench.action("FastReadings1")->trigger();
            bench.action("ToolButton3")->trigger();
            auto* ports = test::named<QComboBox>(bench.form->windows().Form3, "cbo1");
            ports->setCurrentIndex(ports->findData(bench.secondPort()));
            press(bench.form->windows().Form3, "Button1");
            QVERIFY(bench.form->comm1->IsOpen());
            QDialog* setup = bench.setup();
            QVERIFY(setup);
            test::named<QComboBox>(setup, "cbb3")->setCurrentText(QStringLiteral("7"));
            test::named<QComboBox>(setup, "cbb5")->setCurrentText(QStringLiteral("10 Seconds"));
            test::named<QComboBox>(setup, "cbb6")->setCurrentText(QStringLiteral("Average"));
            press(setup, "btn_OK");
            QDialog* remote = bench.remoteDialog();
            test::named<QSpinBox>(remote, "PortSpin")->setValue(remotePort);
            test::named<QCheckBox>(remote, "AllowOthers")->setChecked(true);
            test::named<QLineEdit>(remote, "AllowList")
                ->setText(QStringLiteral("10.1.0.0/16 10.2.0.9"));
            press(remote, "StartButton");
            QVERIFY(bench.form->remote()->server()->running());
            press(remote, "StopButton");
        }
        Bench bench;
        QCOMPARE(bench.form->model(), 3);
        QVERIFY(bench.action("FastReadings1")->isChecked());
        // Offered, not opened.
        QVERIFY(!bench.form->comm1->IsOpen());
        QVERIFY(!bench.form->linkClient()->linked());
        bench.action("ToolButton3")->trigger();
        QCOMPARE(test::named<QComboBox>(bench.form->windows().Form3, "cbo1")->currentData(),
                 QVariant(bench.secondPort()));
        press(bench.form->windows().Form3, "Button2");
        QVERIFY(!bench.form->remote()->server()->running());
        QDialog* remote = bench.remoteDialog();
        QCOMPARE(test::named<QSpinBox>(remote, "PortSpin")->value(), int(remotePort));
        QVERIFY(test::named<QCheckBox>(remote, "AllowOthers")->isChecked());
        QCOMPARE(test::named<QLineEdit>(remote, "AllowList")->text(),
                 QStringLiteral("10.1.0.0/16, 10.2.0.9"));
        QDialog* setup = bench.setup();
        QVERIFY(setup);
        QCOMPARE(text(setup, "cbb3"), QStringLiteral("7"));
        QCOMPARE(text(setup, "cbb5"), QStringLiteral("10 Seconds"));
        QCOMPARE(text(setup, "cbb6"), QStringLiteral("Average"));
        press(setup, "btn_Cancel");
        // In use without a Setup: Start records at the remembered slice.
        QCOMPARE(bench.form->ensureWaveWindow()->state.TimeSliceMs, 10000);
    }

    void noSettingsStartsCleanAndWritesNothing() {
        {
            QSettings s(file(), QSettings::IniFormat);
            BenchSettings b;
            b.model = 2;
            b.fastReadings = true;
            saveBenchSettings(s, b);
        }
        QFile before(file());
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray bytes = before.readAll();
        {
            Bench bench(false);
            QCOMPARE(bench.form->model(), 1);
            QVERIFY(!bench.action("FastReadings1")->isChecked());
            bench.action("LQS6500B1")->trigger();
        }
        QFile after(file());
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), bytes);
    }

    void nonsenseIsIgnored_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("unknown model") << "model"
                                       << "9";
        QTest::newRow("model not a number") << "model"
                                            << "B";
        QTest::newRow("fast readings neither") << "fastReadings"
                                               << "maybe";
        QTest::newRow("slice not offered") << "recorder/sliceMs"
                                           << "1500";
        QTest::newRow("negative slice") << "recorder/sliceMs"
                                        << "-2000";
        QTest::newRow("length beyond the boxes") << "recorder/lengthMs"
                                                 << "999999999";
        QTest::newRow("length between steps") << "recorder/lengthMs"
                                              << "3000";
        QTest::newRow("point operation") << "recorder/pointOperation"
                                         << "Median";
        QTest::newRow("colour") << "recorder/ch1Color"
                                << "#zz0000";
        QTest::newRow("remote port") << "remote/port"
                                     << "70000";
        QTest::newRow("allow list half good") << "remote/allowList"
                                              << "10.0.0.7, bench-pc";
        QTest::newRow("window place") << "window/main"
                                      << "garbage";
        QTest::newRow("readings window place") << "window/readings"
                                               << "garbage";
    }
    void nonsenseIsIgnored() {
        QFETCH(QString, key);
        QFETCH(QString, value);
        {
            QSettings s(file(), QSettings::IniFormat);
            BenchSettings good;
            good.model = 2;
            good.fastReadings = true;
            good.recorder = SetupChoices{
                61000, 2000, QStringLiteral("Minimum"), QColor(Qt::red), QColor(Qt::blue), false};
            good.remotePort = 5025;
            parseAllowList(QStringLiteral("10.0.0.0/8"), &good.remoteAllow, nullptr);
            saveBenchSettings(s, good);
            s.setValue(key, value);
        }
        QSettings s(file(), QSettings::IniFormat);
        const BenchSettings b = loadBenchSettings(s);
        QCOMPARE(b.model, key == QLatin1String("model") ? 0 : 2);
        QCOMPARE(b.fastReadings.has_value(), key != QLatin1String("fastReadings"));
        QCOMPARE(b.recorder.has_value(), !key.startsWith(QLatin1String("recorder/")));
        QCOMPARE(b.remotePort, key == QLatin1String("remote/port") ? 0 : 5025);
        QCOMPARE(allowListText(b.remoteAllow), key == QLatin1String("remote/allowList")
                                                   ? QString()
                                                   : QStringLiteral("10.0.0.0/8"));
        // And a window made from it comes up on a screen.
        Bench bench;
        QVERIFY(bench.form->isVisible());
        QVERIFY(bench.form->screen()->availableGeometry().intersects(bench.form->frameGeometry()));
        ReadingsWindow* readings = bench.readings();
        QVERIFY(readings->screen()->availableGeometry().intersects(readings->frameGeometry()));
    }

    void windowsComeBackWhereTheyStood() {
        // The main window's size is its own.
        const QPoint main(55, 35);
        const QRect readings(120, 90, 480, 320);
        {
            Bench bench;
            bench.form->move(main);
            bench.readings()->setGeometry(readings);
        }
        Bench bench;
        QCOMPARE(bench.form->pos(), main);
        QCOMPARE(bench.readings()->geometry(), readings);
    }

    // Opened only to look, OK must leave the recorder as it is.
    void setupOpensWithTheSetupInUse() {
        Bench bench(false);
        QDialog* d = bench.setup();
        QVERIFY(d);
        test::named<QComboBox>(d, "cbb2")->setCurrentText(QStringLiteral("3"));
        test::named<QComboBox>(d, "cbb4")->setCurrentText(QStringLiteral("45"));
        test::named<QComboBox>(d, "cbb5")->setCurrentText(QStringLiteral("5 mins"));
        test::named<QComboBox>(d, "cbb6")->setCurrentText(QStringLiteral("Minimum"));
        press(d, "btn_OK");
        TForm_Wave* wave = bench.form->ensureWaveWindow();
        const int length = wave->state.RecordLengthMs;
        QCOMPARE(length, (3 * 3600 + 10 * 60 + 45) * 1000 + 1000);
        d = bench.setup();
        QVERIFY(d);
        QCOMPARE(text(d, "cbb2"), QStringLiteral("3"));
        QCOMPARE(text(d, "cbb4"), QStringLiteral("45"));
        QCOMPARE(text(d, "cbb5"), QStringLiteral("5 mins"));
        QCOMPARE(text(d, "cbb6"), QStringLiteral("Minimum"));
        test::named<QComboBox>(d, "cbb5")->setCurrentText(QStringLiteral("1 Hour"));
        press(d, "btn_Cancel");
        d = bench.setup();
        QVERIFY(d);
        QCOMPARE(text(d, "cbb5"), QStringLiteral("5 mins"));
        press(d, "btn_OK");
        QCOMPARE(wave->state.RecordLengthMs, length);
        QCOMPARE(wave->state.TimeSliceMs, 300000);
        QCOMPARE(wave->state.PointOperation, QStringLiteral("Minimum"));
    }
};

QTEST_MAIN(tst_BenchSettings)
#include "tst_bench_settings.moc"
