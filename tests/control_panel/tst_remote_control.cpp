// A script's command against the operator's own action on the linked
// program: the same frames, the window showing it, the order they arrived
// in, and an answer even when the line goes.
#include "control_panel/memory_dialogs.h"
#include "control_panel/remote_control.h"
#include "remote/scpi_server.h"
#include "remote/scpi_session.h"
#include "sim_program.h"

#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTcpSocket>

using namespace lqs;
using test::frames;

namespace {
// A recall's queries are paced apart by a few passes of 3 ms: an eighth of
// the pauses keeps that pace well above the silence that ends a reply.
struct Fixture : test::SimProgram {
    Fixture() : test::SimProgram(sim::Model::B, 8) {}
};

bool linkedAndIdle(Fixture& f) {
    return f.linkAndSettle() &&
           QTest::qWaitFor([&f] { return f.form->linkClient()->idle(); }, 10000);
}

// A session on the program's own instrument, as a client's connection has.
struct Script {
    explicit Script(Fixture& f)
        : session(*f.form->remote(), RemoteControl::maker(), QStringLiteral("test")) {
        session.write = [this](const QByteArray& reply) { replies << QString::fromUtf8(reply); };
        session.finished = [this] { ++finished; };
    }
    // Runs a line and waits until its last command has run.
    bool run(const QByteArray& line, int timeoutMs = 10000) {
        const int before = finished;
        session.takeLine(line);
        return QTest::qWaitFor([&] { return finished > before; }, timeoutMs);
    }
    QString ask(const QByteArray& line) {
        replies.clear();
        return run(line) && !replies.isEmpty() ? replies.last() : QStringLiteral("(no answer)");
    }
    ScpiSession session;
    QStringList replies;
    int finished = 0;
};

void typeInto(QLineEdit* field, const QString& text) {
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

void memoryDialog(Fixture& f, bool recall, const QString& slot) {
    QTest::mouseClick(recall ? test::onMain<QPushButton>(f.form, "BitBtn6")
                             : test::onMain<QPushButton>(f.form, "BitBtn5"),
                      Qt::LeftButton);
    TMemoryDialog* dialog =
        recall ? static_cast<TMemoryDialog*>(f.form->windows().recall) : f.form->windows().save;
    test::named<QLineEdit>(dialog, "Edit1")->selectAll();
    QTest::keyClick(test::named<QLineEdit>(dialog, "Edit1"), Qt::Key_Backspace);
    QTest::keyClicks(test::named<QLineEdit>(dialog, "Edit1"), slot);
    QTest::mouseClick(test::named<QPushButton>(dialog, "Button1"), Qt::LeftButton);
}

QStringList setPoints(Fixture& f) {
    return {test::field(f.form, "Edit5")->text(), test::field(f.form, "Edit6")->text(),
            test::field(f.form, "Edit7")->text(), test::field(f.form, "Edit8")->text()};
}
}  // namespace

class tst_RemoteControl : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void scriptSendsWhatTheWindowSends_data();
    void scriptSendsWhatTheWindowSends();
    void operatorAndScriptInArrivalOrder();
    void readingWithTheOutputOn();
    void readingWhenTheLineGoes();
    void linkPanelCountsClients();
};

void tst_RemoteControl::scriptSendsWhatTheWindowSends_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("channel 1 voltage") << "Edit5 12.5" << QByteArray("VOLT 12.5");
    QTest::newRow("channel 2 current") << "Edit8 0.75" << QByteArray("INST CH2;CURR 750 mA");
    QTest::newRow("parallel") << "RadioButton2" << QByteArray("OUTP:PAIR PAR");
    QTest::newRow("save 2") << "save 2" << QByteArray("*SAV 2");
    QTest::newRow("recall 3") << "recall 3" << QByteArray("*RCL 3");
}

// The same action by the operator and by a script, each on a fresh link:
// the same frames, and the window ends showing the same.
void tst_RemoteControl::scriptSendsWhatTheWindowSends() {
    QFETCH(QString, action);
    QFETCH(QByteArray, line);
    QStringList sent[2];
    QStringList shown[2];
    for (int byScript = 0; byScript < 2; ++byScript) {
        Fixture f;
        test::action(f.form, "LQS6200B1")->trigger();
        QVERIFY(linkedAndIdle(f));
        const qsizetype skip = frames(f.sim).size();
        if (byScript) {
            Script script(f);
            QVERIFY(script.run(line));
            // A set point shows in its field before anything goes out.
            if (action.startsWith(QLatin1String("Edit"))) {
                QLineEdit* field =
                    f.form->findChild<QLineEdit*>(action.section(QLatin1Char(' '), 0, 0));
                QCOMPARE(field->text().toDouble(), action.section(QLatin1Char(' '), 1).toDouble());
            }
            QCOMPARE(script.ask("SYST:ERR?"), QStringLiteral("0,\"No error\""));
        } else if (action.startsWith(QLatin1String("Edit"))) {
            typeInto(f.form->findChild<QLineEdit*>(action.section(QLatin1Char(' '), 0, 0)),
                     action.section(QLatin1Char(' '), 1));
        } else if (action == QLatin1String("RadioButton2")) {
            QTest::mouseClick(test::onMain<QRadioButton>(f.form, "RadioButton2"), Qt::LeftButton);
        } else {
            memoryDialog(f, action.startsWith(QLatin1String("recall")),
                         action.section(QLatin1Char(' '), 1));
        }
        QTRY_VERIFY_WITH_TIMEOUT(f.form->linkClient()->idle(), 10000);
        // A reading asked last is answered after every frame before it arrived.
        Script probe(f);
        QVERIFY(probe.run("MEAS:VOLT?"));
        sent[byScript] = frames(f.sim).mid(skip);
        QCOMPARE(sent[byScript].takeLast(), QStringLiteral("VOUT1?"));
        shown[byScript] = setPoints(f);
    }
    QCOMPARE(sent[1], sent[0]);
    QCOMPARE(shown[1], shown[0]);
}

// A script's set point and the operator's Enter right after it: both go out
// in that order and the instrument keeps the operator's.
void tst_RemoteControl::operatorAndScriptInArrivalOrder() {
    Fixture f;
    test::action(f.form, "LQS6200B1")->trigger();
    QVERIFY(linkedAndIdle(f));
    Script script(f);
    script.session.takeLine("VOLT 6");
    typeInto(test::field(f.form, "Edit5"), QStringLiteral("7"));
    const auto voltages = [&f] {
        return frames(f.sim).filter(QRegularExpression(QStringLiteral("^VSET1:")));
    };
    QTRY_COMPARE_WITH_TIMEOUT(voltages(), (QStringList{"VSET1:6.", "VSET1:7."}), 10000);
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.voltageSet(1); }), 7.0);
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("7.00"));
    QCOMPARE(script.ask("VOLT?"), QStringLiteral("7.00"));
}

// With the output on, a reading is asked between the cycle's own queries:
// the client waits about a query's pace, not a whole cycle.
void tst_RemoteControl::readingWithTheOutputOn() {
    Fixture f;
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    QVERIFY(linkedAndIdle(f));
    QTRY_VERIFY_WITH_TIMEOUT(frames(f.sim).count(QStringLiteral("STATUS?")) >= 2, 15000);
    Script script(f);
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        const QString volts = script.ask("MEAS:VOLT? (@1)");
        QVERIFY2(clock.elapsed() < f.form->linkClient()->readingIntervalMs() / 2,
                 qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
        QCOMPARE(volts.toDouble(),
                 f.sim.withInstrument([](sim::Instrument& in) { return in.measuredVoltage(1); }));
    }
    QCOMPARE(script.ask("SYST:ERR?"), QStringLiteral("0,\"No error\""));
}

// A reading waited for when the line is lost is answered with an error at
// once; the next one is refused without a wait.
void tst_RemoteControl::readingWhenTheLineGoes() {
    Fixture f;
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    QVERIFY(linkedAndIdle(f));
    Script script(f);
    // Just after channel 2's voltage was read: its next reading is a cycle away.
    QTRY_VERIFY_WITH_TIMEOUT(
        frames(f.sim).size() > 12 && frames(f.sim).last() == QLatin1String("IOUT2?"), 10000);
    script.session.takeLine("MEAS:VOLT? (@2)");
    f.sim.hangUpNow();
    QVERIFY(QTest::qWaitFor([&] { return script.finished == 1; }, 3000));
    QVERIFY(script.ask("SYST:ERR?").startsWith(QLatin1String("-200,")));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(script.run("MEAS:VOLT?"));
    QVERIFY(clock.elapsed() < 1000);
    QVERIFY(script.ask("SYST:ERR?").startsWith(QLatin1String("-200,")));
}

// While the server runs the link panel says how many clients it has.
void tst_RemoteControl::linkPanelCountsClients() {
    Fixture f;
    QLabel* panel = f.form->findChild<QLabel*>(QStringLiteral("LinkPanel"));
    const QString before = panel->text();
    QString why;
    QVERIFY2(f.form->remote()->start(QHostAddress(), 0, &why), qPrintable(why));
    QTRY_VERIFY(panel->text().endsWith(QLatin1String("Remote: 0 clients")));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, f.form->remote()->server()->port());
    QTRY_VERIFY(panel->text().endsWith(QLatin1String("Remote: 1 client")));
    client.write("*IDN?\n");
    QTRY_VERIFY(client.canReadLine());
    QVERIFY(client.readLine().startsWith("LQS Control,LQS-6200A,0,"));
    client.disconnectFromHost();
    QTRY_VERIFY(panel->text().endsWith(QLatin1String("Remote: 0 clients")));
    f.form->remote()->server()->stop();
    QTRY_COMPARE(panel->text(), before);
}

QTEST_MAIN(tst_RemoteControl)
#include "tst_remote_control.moc"
