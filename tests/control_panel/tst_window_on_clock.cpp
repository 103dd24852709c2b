// The whole program on a clock the test drives: keys, clicks and the
// instrument's answers placed to the millisecond, without waiting for them.
#include "clocked_link.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/remote_control.h"
#include "device_link/protocol.h"
#include "remote/scpi_session.h"

#include <QLineEdit>
#include <QtTest>

using namespace lqs;
using namespace std::chrono_literals;
using test::ClockedProgram;

namespace {

bool fastOn(ClockedProgram& p) {
    test::action(p.form, "FastReadings1")->setChecked(true);
    p.line->setEndAtCarriageReturn(true);  // as comm1 now cuts blocks
    return p.outputOn();
}

// Typed as an operator types: one key every `apart` of the link's clock.
void typeSlowly(ClockedProgram& p, QLineEdit* field, const QString& text, LinkDuration apart) {
    field->setFocus();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    for (QChar c : text) {
        QTest::keyClicks(field, QString(c));
        p.advance(apart);
    }
    QTest::keyClick(field, Qt::Key_Return);
}

}  // namespace

class tst_WindowOnClock : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void typedValuesReachTheInstrumentWhole();
    void cancelAtOnce();
    void outputUnknownAfterACancelledLink();
    void buttonPressWinsOverAScriptsBurst();
    void unansweredValueIsNotRecorded();
    void scriptHearsOfASetPointThatNeverWentOut();
};

// Fast readings against firmware that ignores a frame within 50 ms of its
// last reply: 0.973 and at once 0.737 typed 30 ms a key. Each goes out
// whole, never a half-typed text, and the instrument ends at 0.737.
void tst_WindowOnClock::typedValuesReachTheInstrumentWhole() {
    ClockedProgram p(sim::Model::A);
    sim::LineModel line;  // 9600 baud, 10 ms answer
    line.minSpacing = 50ms;
    p.line->setLineModel(line);
    test::action(p.form, "LQS6200A1")->trigger();
    QVERIFY(p.linked());
    QVERIFY(fastOn(p));
    p.advance(3s);
    QLineEdit* edit6 = test::field(p.form, "Edit6");
    typeSlowly(p, edit6, QStringLiteral("0.973"), 30ms);
    typeSlowly(p, edit6, QStringLiteral("0.737"), 30ms);
    QVERIFY(p.advanceUntil([&] { return p.client().idle(); }, 10s));
    p.advance(2s);
    const QStringList sent = p.frames().filter(QStringLiteral("ISET1:"));
    QVERIFY2(!sent.isEmpty() && sent.last() == QStringLiteral("ISET1:0.737"),
             qPrintable(sent.join(QLatin1Char(' '))));
    for (const QString& frame : sent)
        QVERIFY2(frame == QStringLiteral("ISET1:0.973") || frame == QStringLiteral("ISET1:0.737"),
                 qPrintable(frame));
    QCOMPARE(p.line->instrument().currentSet(1), 0.737);
    QCOMPARE(edit6->text(), QStringLiteral("0.737"));
}

// Cancel pressed the moment the querying dialog shows: no frame after the
// first goes out, and the window is usable again.
void tst_WindowOnClock::cancelAtOnce() {
    ClockedProgram p;
    TQuerying* querying = p.form->windows().Querying;
    test::action(p.form, "ToolButton1")->trigger();
    QVERIFY(p.advanceUntil([&] { return querying->isVisible(); }));
    QTest::mouseClick(test::named<QPushButton>(querying, "Button1"), Qt::LeftButton);
    p.advance(10s);
    QCOMPARE(p.frames(), QStringList{"*IDN?"});
    QCOMPARE(p.link().state().PendingOperation, Op::None);
    QVERIFY(!querying->isVisible());
    QVERIFY(p.form->frameEnabled());
    QVERIFY(p.form->panelEnabled());
}

// Cancel while linking to an instrument whose output is on: the program
// never learnt the output's state, and says so instead of OFF. A press then
// switches it off.
void tst_WindowOnClock::outputUnknownAfterACancelledLink() {
    ClockedProgram p;
    p.line->instrument().setOutput(true);
    TQuerying* querying = p.form->windows().Querying;
    test::action(p.form, "ToolButton1")->trigger();
    QVERIFY(p.advanceUntil([&] { return querying->isVisible(); }));
    p.advance(400ms);  // a query or two into the start-up
    QTest::mouseClick(test::named<QPushButton>(querying, "Button1"), Qt::LeftButton);
    QVERIFY(p.advanceUntil([&] { return p.client().idle(); }));
    p.advance(5s);
    QPushButton* output = p.outputButton();
    QCOMPARE(output->text(), QStringLiteral("?"));
    QVERIFY(output->isEnabled());
    QVERIFY(output->toolTip().contains(QStringLiteral("not known")));
    QVERIFY(p.line->instrument().output());
    QTest::mouseClick(output, Qt::LeftButton);
    QVERIFY(p.advanceUntil([&] { return p.client().idle(); }));
    QCOMPARE(output->text(), QStringLiteral("OFF"));
    QVERIFY(!p.line->instrument().output());
    QCOMPARE(p.frames().last(), QStringLiteral("OUT0"));
}

// A script switches the output on and off twenty times in a burst; the
// operator presses the button, which then reads ON: off it goes, and stays.
void tst_WindowOnClock::buttonPressWinsOverAScriptsBurst() {
    ClockedProgram p;
    QVERIFY(p.linked());
    RemoteInstrument& script = *p.form->remote();
    for (int i = 0; i < 20; ++i) {
        script.setOutput(true, {});
        script.setOutput(false, {});
    }
    script.setOutput(true, {});
    QPushButton* output = p.outputButton();
    QCOMPARE(output->text(), QStringLiteral("ON"));  // where the queue leaves it
    QVERIFY(output->font().italic());                // not there yet
    p.advance(5ms);
    QTest::mouseClick(output, Qt::LeftButton);
    QCOMPARE(output->text(), QStringLiteral("OFF"));
    const LinkTime pressed = p.link().scheduler().now();
    QVERIFY(p.advanceUntil([&] { return p.client().idle(); }, 30s));
    QVERIFY2(test::msSince(pressed, p.link().scheduler().now()) < 2000,
             qPrintable(QString::number(test::msSince(pressed, p.link().scheduler().now()))));
    QCOMPARE(output->text(), QStringLiteral("OFF"));
    QVERIFY(!output->font().italic());
    QVERIFY(!p.line->instrument().output());
}

// Fast readings with VOUT1? no longer answered, the other values still: the
// voltage is greyed once it is twice its interval old, and neither the
// recorder nor a script is given a value for it.
void tst_WindowOnClock::unansweredValueIsNotRecorded() {
    ClockedProgram p;
    QVERIFY(p.linked());
    QVERIFY(fastOn(p));
    p.advance(2s);
    QCOMPARE(p.form->readingTexts().value(0), QStringLiteral("10.00"));
    p.line->onFrame = [&](const sim::Exchange& e) {
        if (e.command == "VOUT1?") p.line->injectFault(sim::Fault::silence());
    };
    p.advance(2500ms);
    QLineEdit* edit1 = test::field(p.form, "Edit1");
    QVERIFY2(edit1->toolTip().startsWith(QStringLiteral("Not current since ")),
             qPrintable(edit1->toolTip()));
    const QStringList texts = p.form->readingTexts();
    QCOMPARE(texts.value(0), QString());
    QCOMPARE(texts.value(1), QStringLiteral("1.00"));
    // A script asking for it is not given the old value either.
    std::optional<std::optional<double>> volts, amps;
    RemoteInstrument& script = *p.form->remote();
    script.measure(1, false, [&](std::optional<double> v) { volts = v; });
    script.measure(1, true, [&](std::optional<double> v) { amps = v; });
    QVERIFY(p.advanceUntil([&] { return volts && amps; }, 20s));
    QVERIFY(!volts->has_value());
    QCOMPARE(amps->value_or(-1), 1.0);
    QCOMPARE(p.client().mode(), LinkMode::FastReadings);
}

// With the output on, a script's set point waits for the poll's next gap;
// the line goes before that gap. *OPC? still ends the wait, and the error
// queue says the set point never reached the instrument.
void tst_WindowOnClock::scriptHearsOfASetPointThatNeverWentOut() {
    ClockedProgram p;
    QVERIFY(p.linked());
    QVERIFY(p.outputOn());
    QList<QByteArray> replies;
    ScpiSession session(*p.form->remote(), p.form->remote()->errors(),
                        QStringLiteral("LQS Control"), QStringLiteral("0"));
    session.write = [&](const QByteArray& reply) { replies << reply; };
    // Given right after a query's gap, so the next is a cycle's query away.
    bool asked = false;
    p.line->onFrame = [&](const sim::Exchange& e) { asked = asked || e.command == "IOUT1?"; };
    QVERIFY(p.advanceUntil([&] { return asked; }));
    p.advance(500ms);
    session.takeLine("VOLT 7;*OPC?");
    p.advance(100ms);
    p.line->hangUpNow();
    QVERIFY(p.advanceUntil([&] { return !replies.isEmpty(); }, 5s));
    QCOMPARE(replies, QList<QByteArray>{"1"});
    session.takeLine("SYST:ERR?;SYST:ERR?");
    QCOMPARE(replies.last(),
             QByteArray("-200,\"Execution error;the voltage limit did not reach the instrument\";"
                        "0,\"No error\""));
    QVERIFY(!p.frames().contains(QStringLiteral("VSET1:7.")));
}

QTEST_MAIN(tst_WindowOnClock)
#include "tst_window_on_clock.moc"
