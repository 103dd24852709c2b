// The link in the whole program. Its behaviour and its paces on the clock the
// test drives (the program's windows, or the link alone, against the
// simulated instrument in-process), where every pause is the instrument's own
// and every moment exact. On a real pseudo-terminal, with the link in its own
// thread as in the program, what needs the real serial component: a start-up
// end to end, and the device going away under the open port.
#include "clocked_link.h"
#include "clocked_wire.h"
#include "control_panel/memory_dialogs.h"
#include "control_panel/messages_box.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/up_down.h"
#include "fake_ports.h"
#include "sim_program.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QSignalSpy>
#include <QToolButton>

#include <cmath>
#include <random>

using namespace lqs;
using namespace std::chrono_literals;
using test::ClockedLink;
using test::ClockedProgram;
using test::enter;

namespace {

const QStringList& kStartup = test::kStartupQueries;

QLabel* linkPanel(const TForm1& form) {
    return form.findChild<QLabel*>(QStringLiteral("LinkPanel"));
}

QLabel* queryingLabel(const TForm1& form) {
    return test::named<QLabel>(form.windows().Querying, "Label2");
}

LinkTime now(ClockedProgram& p) {
    return p.link().scheduler().now();
}

// Switched on with its button; true once the cycle asks.
// Until the frame is on the line once more.
bool untilNext(ClockedProgram& p, const char* frame) {
    const auto n = p.frames().count(QLatin1String(frame));
    return p.advanceUntil([&] { return p.frames().count(QLatin1String(frame)) > n; }, 30s);
}

int count(const QStringList& frames, const char* frame) {
    return frames.count(QLatin1String(frame));
}

// The querying dialog's text when it closes.
struct LabelAtClose {
    explicit LabelAtClose(const TForm1& form) {
        QObject::connect(form.windows().Querying, &TQuerying::dialogClosed, &context,
                         [this, &form] { text = queryingLabel(form)->text(); });
    }
    QObject context;
    QString text;
};

}  // namespace

class tst_Link : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // On the driven clock.
    void startup_data();
    void startup();
    void cyclePace_data();
    void cyclePace();
    void lateReplyWithinTheGrace_data();
    void lateReplyWithinTheGrace();
    void setPointsConfirmedWhileOn();
    void heldStepperPausesPolling();
    void outputOffAndOnAgain();
    void linkAgainWhilePolling();
    void linkAgainAfterAnUnterminatedReading();
    void lineLostStartsNoCountdown_data();
    void lineLostStartsNoCountdown();
    void timeoutStandsDown();
    void garbledStatusAtStartup();
    void couplingAndSave_data();
    void couplingAndSave();
    // On a pseudo-terminal, the link in its own thread.
    void startupEndToEnd();
    void lineLostShownAtOnce();
    void portBackOffersTheLink();
    void adapterBackUnderAnotherNode();
};

// The start-up query 300 ms a query, then what the status says: an output
// that is off is switched off once; series coupling and an output that is on
// are taken over, and the cycle starts. Nothing more goes out after that.
void tst_Link::startup_data() {
    QTest::addColumn<bool>("seriesAndOn");
    QTest::addColumn<QString>("wire");
    const QString queries = QStringLiteral(
        "*IDN?@0 VSET1?@300 VSET2?@600 ISET1?@900 ISET2?@1200 VOUT1?@1500 IOUT1?@1800 "
        "VOUT2?@2100 IOUT2?@2400 STATUS?@2700");
    QTest::newRow("independent, output off") << false << queries + QStringLiteral(" OUT0@3300");
    QTest::newRow("series, output on")
        << true << queries + QStringLiteral(" TRACK1@2800 OUT1@2800 VOUT1?@3750");
}

void tst_Link::startup() {
    QFETCH(bool, seriesAndOn);
    QFETCH(QString, wire);
    ClockedProgram p;
    if (seriesAndOn) {
        p.line->instrument().setCoupling(sim::Coupling::Series);
        p.line->instrument().setOutput(true);
    }
    LabelAtClose label(*p.form);
    const LinkTime start = now(p);
    test::action(p.form, "ToolButton1")->trigger();
    p.advance(seriesAndOn ? 3750ms : 13s);
    QCOMPARE(test::timeline(*p.line, start), wire);
    QCOMPARE(label.text, QStringLiteral("Remaining 18 seconds!"));
    QVERIFY(!p.form->windows().Querying->isVisible());
    QVERIFY(p.form->frameEnabled());
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("12.00"));
    QCOMPARE(test::field(p.form, "Edit6")->text(), QStringLiteral("1.00"));
    // Tracking, channel 2 answers channel 1's voltage and its own current.
    QCOMPARE(test::field(p.form, "Edit7")->text(), seriesAndOn ? "12.00" : "5.00");
    QCOMPARE(test::field(p.form, "Edit8")->text(), QStringLiteral("0.50"));
    QCOMPARE(test::onMain<QRadioButton>(p.form, seriesAndOn ? "RadioButton3" : "RadioButton1")
                 ->isChecked(),
             true);
    QCOMPARE(test::field(p.form, "Edit7")->isEnabled(), !seriesAndOn);
    QVERIFY(test::field(p.form, "Edit8")->isEnabled());
    QCOMPARE(p.outputButton()->text(), seriesAndOn ? QStringLiteral("ON") : QStringLiteral("OFF"));
    QCOMPARE(p.link().state().ParserMode, seriesAndOn ? Parse::Polling : Parse::Ignore);
    QCOMPARE(test::clockedWireFlags(*p.line), QString());
    QVERIFY2(p.boxes.seen.isEmpty(), qPrintable(p.boxes.seen.value(0).text));
}

// The nine-query cycle to the millisecond over three cycles: 950 ms from OUT1
// to the first query, 900 ms a query, and the next cycle 950 ms from the
// status reply's first bytes, whenever the serial component hands them over:
// at its silence after the reply, at once where it ends blocks at a CR, and
// the same when the reply has no CR at all.
void tst_Link::cyclePace_data() {
    QTest::addColumn<QString>("terminator");
    QTest::addColumn<bool>("endAtCr");
    QTest::addColumn<int>("statusMs");  // from the status query to its bytes at the link
    QTest::newRow("LF CR, cut at the silence") << "\n\r" << false << 100;
    QTest::newRow("LF CR, cut at the CR") << "\n\r" << true << 0;
    QTest::newRow("LF alone") << "\n" << false << 100;
    QTest::newRow("LF alone, CR awaited in vain") << "\n" << true << 100;
}

void tst_Link::cyclePace() {
    QFETCH(QString, terminator);
    QFETCH(bool, endAtCr);
    QFETCH(int, statusMs);
    ClockedLink c;
    QVERIFY(c.linked());
    c.line.instrument().setTerminator(terminator.toStdString());
    c.line.setEndAtCarriageReturn(endAtCr);
    QSignalSpy timedOut(&c.client, &LinkClient::timedOut);
    c.line.clearTranscript();
    const LinkTime start = c.now();
    c.client.setOutput(true);
    c.advance(3 * 9s);
    QStringList expected{QStringLiteral("OUT1@0")};
    qint64 at = 0;
    for (int cycle = 0; cycle < 3; ++cycle) {
        at += cycle == 0 ? 950 : statusMs + 950;
        for (int q = 0; q < 9; ++q) {
            if (q > 0) at += 900;
            expected << QStringLiteral("%1@%2").arg(QLatin1String(kPollQueries[q])).arg(at);
        }
    }
    QStringList wire = test::timeline(c.line, start).split(QLatin1Char(' '));
    QCOMPARE(wire.mid(0, expected.size()), expected);
    QCOMPARE(test::cycleViolation(c.line, c.now(), c.link.setup().timings,
                                  std::chrono::milliseconds(statusMs + 950), true),
             QString());
    QCOMPARE(timedOut.count(), 0);
    QCOMPARE(c.client.mode(), LinkMode::Polling);
}

// A reply later than the pace after its query, up to the next query's grace
// of 500 ms, is still its query's: the reading is the one asked for, the
// next query waits out the grace, and no time-out follows. Past the grace
// it is missing: the countdown runs.
void tst_Link::lateReplyWithinTheGrace_data() {
    QTest::addColumn<int>("lateMs");
    QTest::addColumn<int>("nextQueryMs");  // after the late one; 0: none
    QTest::newRow("within its pace") << 400 << 900;
    QTest::newRow("as the next query is due") << 899 << 900;
    QTest::newRow("within the grace") << 1000 << 1400;
    QTest::newRow("at the end of the grace") << 1399 << 1400;
    QTest::newRow("past the grace") << 1401 << 0;
}

void tst_Link::lateReplyWithinTheGrace() {
    QFETCH(int, lateMs);
    QFETCH(int, nextQueryMs);
    ClockedLink c;
    c.line.setEndAtCarriageReturn(true);  // the reply is at the link the moment it ends
    c.line.instrument().setLoad(1, 5.0);  // channel 1 reads 5 V, 1 A
    QVERIFY(c.linked());
    c.client.setOutput(true);
    QVERIFY(c.advanceUntil([&] { return c.frames().contains(QStringLiteral("VOUT1?")); }));
    QStringList readings;
    QObject::connect(&c.client, &LinkClient::readingTaken, &c.client, [&](const Reading& r) {
        readings << QStringLiteral("CH%1%2 %3")
                        .arg(r.channel)
                        .arg(r.quantity == Quantity::Voltage ? 'V' : 'A')
                        .arg(r.text);
    });
    QSignalSpy timedOut(&c.client, &LinkClient::timedOut);
    c.line.onFrame = [&](const sim::Exchange& e) {
        if (e.command == "IOUT1?")
            c.line.injectFault(sim::Fault::late(std::chrono::milliseconds(lateMs)));
    };
    QVERIFY(c.advanceUntil([&] { return c.frames().count(QStringLiteral("IOUT1?")) == 2; }));
    c.line.onFrame = nullptr;
    const std::size_t asked = c.line.wireFrames().size() - 1;
    const LinkTime askedAt = c.line.wireTimes()[asked];
    c.advance(2s);
    const QString after = test::timeline(c.line, askedAt, asked + 1);
    if (nextQueryMs == 0) {
        QCOMPARE(c.client.mode(), LinkMode::TimedOut);
        QVERIFY2(!after.contains(QLatin1String("VOUT2?")), qPrintable(after));
        QVERIFY(c.advanceUntil([&] { return timedOut.count() == 1; }, 15s));
        return;
    }
    QCOMPARE(after.section(QLatin1Char(' '), 0, 0), QStringLiteral("VOUT2?@%1").arg(nextQueryMs));
    c.advance(10s);
    QCOMPARE(timedOut.count(), 0);
    QCOMPARE(c.client.mode(), LinkMode::Polling);
    // Each reading is its own query's: none of them took another's reply.
    const QStringList right{"CH1V 5.00", "CH1A 1.00", "CH2V 5.00", "CH2A 0.25"};
    for (const QString& r : readings) QVERIFY2(right.contains(r), qPrintable(readings.join(", ")));
    QCOMPARE(readings.count(QStringLiteral("CH1A 1.00")), 2);
}

// Two set points confirmed the moment "VSET1?" is on the line, before its
// reply (the instrument's old value) comes 75 ms later: both go out in the
// gap after the query, a pace after it, in the order confirmed, each once;
// the reply never puts the old value back in the field.
void tst_Link::setPointsConfirmedWhileOn() {
    ClockedProgram p;
    test::action(p.form, "LQS6200B1")->trigger();
    QVERIFY(p.linked());
    QVERIFY(p.outputOn());
    p.line->onFrame = [&](const sim::Exchange& e) {
        if (e.command == "VSET1?") p.line->injectFault(sim::Fault::late(75ms));
    };
    QVERIFY(untilNext(p, "VSET1?"));
    p.line->onFrame = nullptr;
    const std::size_t asked = p.line->wireFrames().size() - 1;
    const LinkTime askedAt = p.line->wireTimes()[asked];
    QCOMPARE(now(p), askedAt);
    QStringList shownSince;
    QLineEdit* edit5 = test::field(p.form, "Edit5");
    QLineEdit* edit6 = test::field(p.form, "Edit6");
    enter(edit5, QStringLiteral("7.5"));
    enter(edit6, QStringLiteral(".8"));
    for (QLineEdit* e : {edit5, edit6})
        QObject::connect(e, &QLineEdit::textChanged, e, [&](const QString& t) { shownSince << t; });
    QVERIFY(p.advanceUntil([&] { return count(p.frames(), "ISET2?") >= 3; }));
    QCOMPARE(test::timeline(*p.line, askedAt, asked).section(QLatin1Char(' '), 0, 5),
             QStringLiteral("VSET1?@0 VSET1:7.5@450 ISET1:0.8@450 VSET2?@900 ISET1?@1800 "
                            "ISET2?@2700"));
    QCOMPARE(p.link().state().SetPointDeferred, std::uint8_t(0));
    QCOMPARE(edit5->text(), QStringLiteral("7.50"));
    QCOMPARE(edit6->text(), QStringLiteral("0.80"));
    shownSince.removeAll(QStringLiteral("7.50"));
    shownSince.removeAll(QStringLiteral("0.80"));
    QCOMPARE(shownSince, QStringList());  // never the old values in between
    QCOMPARE(p.line->instrument().voltageSet(1), 7.5);
    QCOMPARE(p.line->instrument().currentSet(1), 0.8);
    QCOMPARE(count(p.frames(), "VSET1:7.5") + count(p.frames(), "ISET1:0.8"), 2);
    QCOMPARE(test::clockedWireFlags(*p.line), QString());
}

// An arrow held with the mouse until the hold timer has ticked: from then on
// the cycle waits at its gate before each query, for as long as it is held;
// the steps the arrow made meanwhile go out in the gap after the first query
// once it is let go, as one set point.
void tst_Link::heldStepperPausesPolling() {
    ClockedProgram p;
    QTimer* tmr1 = test::onMain<QTimer>(p.form, "tmr1");
    QCOMPARE(tmr1->interval(), 1000);  // the window's hold ticks once a second
    tmr1->setInterval(10);             // the gate is the same at any tick
    test::action(p.form, "LQS6200B1")->trigger();
    QVERIFY(p.linked());
    QVERIFY(p.outputOn());
    QVERIFY(untilNext(p, "VOUT2?"));
    const LinkTime held = now(p);
    const std::size_t before = p.line->wireFrames().size();
    QToolButton* up = test::onMain<TUpDown>(p.form, "UpDown3")->upButton();
    QLineEdit* edit7 = test::field(p.form, "Edit7");
    QTest::mousePress(up, Qt::LeftButton);
    QTRY_VERIFY(p.link().state().HoldTicks > 0);  // real time; the link's clock stands
    QCOMPARE(now(p), held);
    p.advance(20s);
    // Steps the arrow made before the gap may go out in it; nothing after it.
    const QString whileHeld = test::timeline(*p.line, held, before);
    for (const QString& f : whileHeld.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        QVERIFY2(f.startsWith(QLatin1String("VSET2:")) && f.endsWith(QLatin1String("@450")),
                 qPrintable(whileHeld));
    const std::size_t released = p.line->wireFrames().size();
    const LinkTime releasedAt = now(p);
    QTest::mouseRelease(up, Qt::LeftButton);  // a last step
    const QString shown = edit7->text();
    p.advance(901ms);
    QCOMPARE(test::timeline(*p.line, releasedAt, released),
             QStringLiteral("IOUT2?@450 VSET2:%1@900").arg(shown));
    QCOMPARE(p.line->instrument().voltageSet(2), shown.toDouble());
}

// Output off and on again at random moments of the cycle (tst_link_timing
// tries many more, with faults): off goes out
// 500 ms after the click, nothing of the old cycle after it, on at once and
// the new cycle's first query 950 ms later; one cycle at a time throughout,
// and none left once the output is off.
void tst_Link::outputOffAndOnAgain() {
    ClockedProgram p;
    QVERIFY(p.linked());
    QVERIFY(p.outputOn());
    std::mt19937 rng(20261209);  // the same moments every run
    const LinkTimings t = p.link().setup().timings;
    const auto check = [&] {
        return test::cycleViolation(*p.line, now(p), t, 1050ms,
                                    p.client().mode() == LinkMode::Polling);
    };
    for (int i = 0; i < 12; ++i) {
        p.advance(std::chrono::microseconds(rng() % 9'000'000));
        std::size_t from = p.line->wireFrames().size();
        LinkTime clicked = now(p);
        QTest::mouseClick(p.outputButton(), Qt::LeftButton);
        QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));
        QVERIFY(p.advanceUntil([&] { return p.client().idle(); }));
        p.advance(2s);
        QCOMPARE(test::timeline(*p.line, clicked, from), QStringLiteral("OUT0@500"));
        QVERIFY(test::field(p.form, "Edit1")->text().isEmpty());
        p.advance(std::chrono::microseconds(rng() % 2'000'000));
        from = p.line->wireFrames().size();
        clicked = now(p);
        QTest::mouseClick(p.outputButton(), Qt::LeftButton);
        QVERIFY(p.advanceUntil([&] { return p.frames().size() >= int(from) + 2; }));
        QCOMPARE(test::timeline(*p.line, clicked, from), QStringLiteral("OUT1@0 VOUT1?@950"));
        QCOMPARE(p.outputButton()->text(), QStringLiteral("ON"));
        QCOMPARE(check(), QString());
    }
    p.advance(20s);
    QCOMPARE(check(), QString());
    QTest::mouseClick(p.outputButton(), Qt::LeftButton);
    QVERIFY(p.advanceUntil([&] { return p.client().idle(); }));
    QCOMPARE(p.frames().last(), QStringLiteral("OUT0"));
    QVERIFY(!p.link().pollRunning());
    const int sent = p.frames().size();
    p.advance(30s);
    QCOMPARE(p.frames().size(), sent);
    QCOMPARE(test::clockedWireFlags(*p.line), QString());
}

// The link button pressed again in the middle of a cycle: polling stops, and
// 500 ms later the start-up query's ten queries go out alone, 300 ms apart;
// the instrument is read as it is now.
void tst_Link::linkAgainWhilePolling() {
    ClockedProgram p;
    QVERIFY(p.linked());
    QVERIFY(p.outputOn());
    QVERIFY(untilNext(p, "IOUT2?"));
    p.advance(100ms);
    p.line->instrument().setVoltageSet(1, 8.0);
    const std::size_t from = p.line->wireFrames().size();
    const LinkTime pressed = now(p);
    test::action(p.form, "ToolButton1")->trigger();
    p.advance(3s);
    QCOMPARE(test::timeline(*p.line, pressed, from),
             QStringLiteral("*IDN?@500 VSET1?@800 VSET2?@1100 ISET1?@1400 ISET2?@1700 "
                            "VOUT1?@2000 IOUT1?@2300 VOUT2?@2600 IOUT2?@2900"));
    QVERIFY(p.advanceUntil(
        [&] { return p.client().idle() && p.client().mode() == LinkMode::Polling; }));
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("8.00"));
    QCOMPARE(test::field(p.form, "Edit6")->text(), QStringLiteral("1.00"));
    QCOMPARE(p.outputButton()->text(), QStringLiteral("ON"));
    QCOMPARE(test::clockedWireFlags(*p.line), QString());
}

// A reading whose CR never came is still open when the link button is
// pressed: it is settled as polling's, not taken for a start-up reply, so the
// start-up's progress is the same as ever.
void tst_Link::linkAgainAfterAnUnterminatedReading() {
    ClockedProgram p;
    QVERIFY(p.linked());
    QVERIFY(p.outputOn());
    p.line->instrument().setTerminator("\n");
    QVERIFY(untilNext(p, "VOUT2?"));
    // Its reply, without a CR, reaches the link at the line's silence.
    const std::size_t blocks = p.line->blocks().size();
    QVERIFY(p.advanceUntil([&] { return p.line->blocks().size() > blocks; }));
    QCOMPARE(p.line->blocks().back().bytes, std::string("5.00\n"));
    LabelAtClose label(*p.form);
    test::action(p.form, "ToolButton1")->trigger();
    QVERIFY(p.advanceUntil([&] { return !label.text.isEmpty(); }));
    QCOMPARE(label.text, QStringLiteral("Remaining 18 seconds!"));
}

// The far end gone while a reply is missing: a hang-up is no missing reply,
// so neither the countdown nor the time-out box follows, however long after,
// and nothing more goes out.
void tst_Link::lineLostStartsNoCountdown_data() {
    QTest::addColumn<bool>("polling");
    QTest::addColumn<QString>("unanswered");
    QTest::newRow("start-up query") << false << "VSET2?";
    QTest::newRow("poll cycle") << true << "IOUT1?";
    QTest::newRow("poll cycle's status") << true << "STATUS?";
}

void tst_Link::lineLostStartsNoCountdown() {
    QFETCH(bool, polling);
    QFETCH(QString, unanswered);
    ClockedProgram p;
    p.line->instrument().setOutput(polling);
    bool asked = false;
    bool cycle = !polling;  // polling's query, not the start-up's
    p.line->onFrame = [&](const sim::Exchange& e) {
        if (e.command == "OUT1") cycle = true;
        if (!cycle || QString::fromStdString(e.command) != unanswered || asked) return;
        asked = true;
        p.line->injectFault(sim::Fault::silence());
    };
    test::action(p.form, "ToolButton1")->trigger();
    QVERIFY(p.advanceUntil([&] { return asked; }));
    QSignalSpy timedOut(&p.client(), &LinkClient::timedOut);
    QSignalSpy refused(&p.client(), &LinkClient::frameRefused);
    QStringList tried;  // by the link, whether or not the dead line took them
    p.line->hangUpNow();
    p.link().FrameHandedOver = [&](const QString& frame) { tried << frame; };
    p.advance(0ms);
    const QString port = p.form->comm1->CommName();
    QCOMPARE(linkPanel(*p.form)->text(), QStringLiteral("Line lost: ") + port);
    QCOMPARE(p.client().mode(), LinkMode::LineLost);
    p.advance(60s);
    QCOMPARE(tried, QStringList());
    QCOMPARE(refused.count(), 0);
    QCOMPARE(timedOut.count(), 0);
    QCOMPARE(p.client().mode(), LinkMode::LineLost);
    QVERIFY(!p.form->windows().Querying->isVisible());
    QVERIFY(!p.form->windows().Messages->isVisible());
    QVERIFY2(p.boxes.seen.isEmpty(), qPrintable(p.boxes.seen.value(0).text));
    QVERIFY(p.form->frameEnabled() && !p.form->panelEnabled());
}

// No reply to the start-up's first query: the next one is due 300 ms later,
// its grace runs 500 ms, and then the countdown, 61 steps of 150 ms in the
// querying dialog, ends in the time-out box, whose closing stands the window
// down with the port kept. Nothing goes out after the lost reply.
void tst_Link::timeoutStandsDown() {
    ClockedProgram p;
    p.line->setSilent(true);
    QSignalSpy closed(p.form.get(), &TForm1::closed);
    QVERIFY(closed.isValid());
    QLabel* label = queryingLabel(*p.form);
    TMessages* box = p.form->windows().Messages;
    const LinkTime start = now(p);
    QStringList countdown;  // each new text, with when it showed
    QString boxAt;
    test::action(p.form, "ToolButton1")->trigger();
    QVERIFY(p.advanceUntil(
        [&] {
            const QString at = QString::number(test::msSince(start, now(p)));
            if (label->isVisible() && label->text().startsWith(QLatin1String("Remaining ")) &&
                (countdown.isEmpty() || !countdown.last().startsWith(label->text())))
                countdown << label->text() + QLatin1Char('@') + at;
            if (box->isVisible() && boxAt.isEmpty()) boxAt = at;
            return box->isVisible();
        },
        20s));
    QCOMPARE(p.frames(), QStringList{"*IDN?"});
    // From the link until the reply is missing: the dialog at 60 seconds, as ever.
    QCOMPARE(countdown.value(0), QStringLiteral("Remaining 60 seconds!@0"));
    QStringList steps;
    for (int n = 0; n <= 60; ++n)
        steps << QStringLiteral("Remaining %1 seconds!@%2").arg(n).arg(800 + 150 * n);
    QCOMPARE(countdown.mid(1), steps);
    QCOMPARE(boxAt, QString::number(800 + 61 * 150));
    QVERIFY(!p.form->frameEnabled());
    QTest::mouseClick(test::named<QPushButton>(box, "Button1"), Qt::LeftButton);
    QCOMPARE(closed.count(), 0);
    QVERIFY(p.form->comm1->IsOpen());
    QVERIFY(p.form->frameEnabled() && !p.form->panelEnabled());
    QCOMPARE(p.frames(), QStringList{"*IDN?"});
}

// A status at start-up whose coupling digits are not digits: the panel says
// so, and once the dialog has closed nothing may be sent, so the status is
// not asked again.
void tst_Link::garbledStatusAtStartup() {
    ClockedProgram p;
    p.line->injectFault(sim::Fault::garbleStatusCoupling());
    const LinkTime start = now(p);
    test::action(p.form, "ToolButton1")->trigger();
    p.advance(30s);
    QCOMPARE(p.form->statusText(1), QStringLiteral("TRACK 出错重发!"));
    // The retry's pause still runs before the output is switched off.
    QCOMPARE(test::timeline(*p.line, start),
             QStringLiteral("*IDN?@0 VSET1?@300 VSET2?@600 ISET1?@900 ISET2?@1200 VOUT1?@1500 "
                            "IOUT1?@1800 VOUT2?@2100 IOUT2?@2400 STATUS?@2700 OUT0@3800"));
    QVERIFY(p.client().idle());
}

// A coupling button or a save, with the output off: the command at once.
// With the output on: polling stops, and the command goes out after the
// pause that lets the last query's reply come (coupling 500 ms, save
// 200 ms); a coupling then switches the output off 500 ms later, a save
// restores the coupling and switches it off at once.
void tst_Link::couplingAndSave_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<bool>("on");
    QTest::addColumn<QString>("wire");
    QTest::newRow("parallel, output off") << "RadioButton2" << false << "TRACK2@0";
    QTest::newRow("series, output off") << "RadioButton3" << false << "TRACK1@0";
    QTest::newRow("already selected") << "RadioButton1" << false << "";
    QTest::newRow("parallel, output on") << "RadioButton2" << true << "TRACK2@500 OUT0@1000";
    QTest::newRow("save, output off") << "save 3" << false << "SAV3@0";
    QTest::newRow("save, output on") << "save 3" << true << "SAV3@200 TRACK0@200 OUT0@200";
}

void tst_Link::couplingAndSave() {
    QFETCH(QString, what);
    QFETCH(bool, on);
    QFETCH(QString, wire);
    ClockedProgram p;
    QVERIFY(p.linked());
    if (on) QVERIFY(p.outputOn());
    p.advance(4321ms);  // well into a cycle
    const std::size_t from = p.line->wireFrames().size();
    const LinkTime clicked = now(p);
    if (what.startsWith(QLatin1String("save"))) {
        QTest::mouseClick(test::onMain<QPushButton>(p.form, "BitBtn5"), Qt::LeftButton);
        QVERIFY(p.form->windows().save->isVisible());
        auto* slot = test::named<QLineEdit>(p.form->windows().save, "Edit1");
        QTest::keyClick(slot, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(slot, what.section(QLatin1Char(' '), 1));
        QTest::mouseClick(test::named<QPushButton>(p.form->windows().save, "Button1"),
                          Qt::LeftButton);
    } else {
        QTest::mouseClick(test::onMain<QRadioButton>(p.form, qPrintable(what)), Qt::LeftButton);
        QVERIFY(test::onMain<QRadioButton>(p.form, qPrintable(what))->isChecked());
    }
    QVERIFY(p.advanceUntil([&] { return p.client().idle(); }));
    p.advance(20s);  // and nothing after
    QCOMPARE(test::timeline(*p.line, clicked, from), wire);
    QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));
    if (what == QLatin1String("RadioButton2")) {
        QCOMPARE(p.link().state().CouplingCommand, QStringLiteral("TRACK2"));
        QVERIFY(!test::field(p.form, "Edit7")->isEnabled() &&
                !test::field(p.form, "Edit8")->isEnabled());
        QCOMPARE(p.line->instrument().coupling(), sim::Coupling::Parallel);
    }
    if (what.startsWith(QLatin1String("save")))
        QCOMPARE(p.line->instrument().slot(3), p.line->instrument().settings());
}

// The real serial component end to end, the link in its own thread: an
// instrument with its outputs off gets OUT0 once after the start-up query,
// every frame ends in CR LF on the wire, and the window shows what it read.
void tst_Link::startupEndToEnd() {
    test::SimProgram f(sim::Model::B, test::kQuickDivisor, test::onePortSources, true);
    QVERIFY(f.form->comm1->IsOpen());
    f.linkStart();
    QTRY_COMPARE(test::frames(f.sim), kStartup + QStringList{"OUT0"});
    QTRY_VERIFY(f.form->linkClient()->idle() && f.form->frameEnabled());
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("12.00"));
    QCOMPARE(test::field(f.form, "Edit8")->text(), QStringLiteral("0.50"));
    QCOMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("OFF"));
    QVERIFY(!f.form->windows().Querying->isVisible());
    QVERIFY2(f.boxes.seen.isEmpty(), qPrintable(f.boxes.seen.value(0).text));
    const std::vector<std::string> wire = f.sim.wireFrames();
    QCOMPARE(wire.front(), std::string("*IDN?\r\n"));
    QCOMPARE(wire.back(), std::string("OUT0\r\n"));
    QCOMPARE(test::wireFlags(f.sim), QString());
    QCOMPARE(linkPanel(*f.form)->text(),
             QStringLiteral(
                 "Linked: %1 \u2014 LQS-6200B V2.1; model set to the LQS-6200B from its identity")
                 .arg(f.form->comm1->CommName()));
    QVERIFY(f.form->linkedPicture());
}

// Links to an instrument whose outputs are on and waits until polling runs.
static bool pollingStarted(test::SimProgram& f) {
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    f.linkStart();
    const bool started = QTest::qWaitFor(
        [&] {
            return f.form->linkClient()->mode() == LinkMode::Polling &&
                   f.form->linkClient()->idle();
        },
        15000);
    if (!started)
        qWarning().noquote() << "mode" << int(f.form->linkClient()->mode()) << "idle"
                             << f.form->linkClient()->idle() << "panel"
                             << linkPanel(*f.form)->text() << "frames"
                             << test::frames(f.sim).join(QLatin1Char(' '));
    return started;
}

// The far end gone under the open port: the serial component's hang-up
// reaches the window at once. The link panel says so, the link button shows
// the unlinked picture, the port is closed and the window stays usable with
// nothing that sends offered; the output may still be on, so it says "?".
void tst_Link::lineLostShownAtOnce() {
    test::SimProgram f(sim::Model::B, test::kQuickDivisor, test::onePortSources, true);
    QVERIFY(pollingStarted(f));
    const QString port = f.form->comm1->CommName();
    QVERIFY(linkPanel(*f.form)->text().startsWith(QStringLiteral("Linked: ") + port));
    f.sim.hangUpNow();
    QTRY_COMPARE_WITH_TIMEOUT(linkPanel(*f.form)->text(), QStringLiteral("Line lost: ") + port,
                              1000);
    QVERIFY(!f.form->linkedPicture());
    QTRY_VERIFY(!f.form->comm1->IsOpen());
    QTRY_COMPARE(f.form->linkClient()->mode(), LinkMode::LineLost);
    QPushButton* output = test::onMain<QPushButton>(f.form, "BitBtn4");
    QCOMPARE(output->text(), QStringLiteral("?"));
    QVERIFY(output->toolTip().startsWith(QStringLiteral("The output's state is not known since ")));
    QCOMPARE(f.form->statusText(0), QStringLiteral("Please Config RS232 COM!"));
    QVERIFY(!test::action(f.form, "ToolButton1")->isEnabled());
    QVERIFY(f.form->frameEnabled() && !f.form->panelEnabled());
    QVERIFY(!f.form->windows().Messages->isVisible());
    QVERIFY2(f.boxes.seen.isEmpty(), qPrintable(f.boxes.seen.value(0).text));
}

// The simulator ended and started again on the same link: the window offers
// the link, and linking reads the instrument as it is now, its output off,
// whatever it was before the hang-up.
void tst_Link::portBackOffersTheLink() {
    test::SimProgram f(sim::Model::B, test::kQuickDivisor, test::onePortSources, true);
    QVERIFY(pollingStarted(f));
    f.boxes.holdMs = 60000;  // the offer is answered here, not by the watcher
    const QString port = f.form->comm1->CommName();
    f.sim.hangUpNow();
    QTRY_VERIFY(!f.form->comm1->IsOpen());
    QVERIFY(QFile::remove(port));
    f.sim.stop();
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(false); });  // a fresh instrument's
    f.sim.start();
    f.sim.clearTranscript();
    QVERIFY(QFile::link(QString::fromStdString(f.sim.slavePath()), port));
    QMessageBox* offer = nullptr;
    QTRY_VERIFY((offer = f.form->findChild<QMessageBox*>(QStringLiteral("portBack"))) &&
                offer->isVisible());
    QCOMPARE(offer->text(), QStringLiteral("The instrument is back on %1. Link again?").arg(port));
    QCOMPARE(linkPanel(*f.form)->text(), QStringLiteral("The instrument is back on %1.").arg(port));
    QTest::mouseClick(offer->button(QMessageBox::Yes), Qt::LeftButton);
    QTRY_COMPARE(test::frames(f.sim), kStartup + QStringList{"OUT0"});
    QVERIFY(f.form->comm1->IsOpen());
    QTRY_COMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("OFF"));
    QVERIFY(linkPanel(*f.form)->text().startsWith(QStringLiteral("Linked: ") + port));
    QVERIFY(!f.form->windows().Messages->isVisible());
    QCOMPARE(test::wireFlags(f.sim), QString());
}

// A USB adapter pulled out comes back under another node, while an adapter
// of the same make takes the old node: only the one with the linked
// adapter's serial number is offered.
void tst_Link::adapterBackUnderAnotherNode() {
    test::FakeTree tree;
    QVERIFY(tree.ok());
    const QStringList ftdi{QStringLiteral("idVendor=0403"), QStringLiteral("idProduct=6001"),
                           QStringLiteral("serial=A10K5XYZ")};
    test::SimProgram f(
        sim::Model::B, test::kQuickDivisor,
        [&](const QString&, const std::string& device) {
            tree.addUsbTty(QStringLiteral("ttyUSB0"), ftdi, false, QString::fromStdString(device));
            return tree.sources;
        },
        true);
    QCOMPARE(f.form->comm1->CommName(), tree.sources.dev + QStringLiteral("/ttyUSB0"));
    QVERIFY(pollingStarted(f));
    f.boxes.holdMs = 60000;
    QVERIFY(tree.unplug(QStringLiteral("ttyUSB0")));
    f.sim.hangUpNow();
    QTRY_VERIFY(!f.form->comm1->IsOpen());
    f.sim.stop();
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(false); });
    f.sim.start();
    f.sim.clearTranscript();
    // Both at once: the first look at the folder finds both.
    QStringList other = ftdi;
    other.last() = QStringLiteral("serial=B77Q");
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB0"), other));
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB1"), ftdi, false,
                           QString::fromStdString(f.sim.slavePath())));
    const QString port = tree.sources.dev + QStringLiteral("/ttyUSB1");
    QMessageBox* offer = nullptr;
    QTRY_VERIFY((offer = f.form->findChild<QMessageBox*>(QStringLiteral("portBack"))) &&
                offer->isVisible());
    QCOMPARE(offer->text(), QStringLiteral("The instrument is back on %1. Link again?").arg(port));
    QTest::mouseClick(offer->button(QMessageBox::Yes), Qt::LeftButton);
    QTRY_COMPARE(test::frames(f.sim), kStartup + QStringList{"OUT0"});
    QCOMPARE(f.form->comm1->CommName(), port);
    QTRY_COMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("OFF"));
}

QTEST_MAIN(tst_Link)
#include "tst_link.moc"
