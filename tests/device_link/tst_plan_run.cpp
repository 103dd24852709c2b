// A plan run on the link against the simulator, on the clock the test
// drives: steps on their deadlines and confirmed, end conditions, ramps,
// repeats and end states, and Stop, Pause, Next, a trip or the output
// button ending it at any moment.
#include "supply_bench.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <optional>
#include <vector>

using namespace lqs;
using namespace lqs::test;
using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

class tst_PlanRun : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stepsStartOnTheirDeadlinesConfirmed();
    void lineKeptFreeForTheNextStep();
    void endConditionEndsTheStepEarly();
    void rampGoesOutInSubSteps();
    void repeatsThenBackToTheFirstStep();
    void operatorActsAtAnyMoment_data();
    void operatorActsAtAnyMoment();
    void tripEndsTheRun();
    void refusedBeforeAnythingIsSent();
    void recordedActionsReplayTheSameFrames();
    void envelopeGuardsTheRun();
    void operatorsLimitsStandAfterTheRun_data();
    void operatorsLimitsStandAfterTheRun();
    void stepsSwitchCouplingAndRecall();
};

namespace {

using Bench = SupplyBench;

PlanStep volts(double v, ms dwell, OutputChange output = OutputChange::Unchanged) {
    PlanStep s;
    s.channels[0].volts = v;
    s.dwell = dwell;
    s.output = output;
    return s;
}

}  // namespace

// 200 steps of 100 ms with fast readings: each starts at its deadline
// (no drift at the last), and each step's set point is on the line and read
// back inside its dwell.
void tst_PlanRun::stepsStartOnTheirDeadlinesConfirmed() {
    Bench b;
    QVERIFY(b.linked(true));
    StepPlan plan;
    plan.steps.push_back(volts(5.0, 100ms, OutputChange::On));
    for (int i = 1; i < 200; ++i) plan.steps.push_back(volts(i % 2 ? 6.0 : 5.0, 100ms));
    plan.end = EndState::HoldLast;
    const LinkTime from = b.c.now();
    b.c.client.runPlan(plan, {});
    QVERIFY(b.endedAs(PlanEnd::Completed));
    QCOMPARE(b.started.count(), 200);
    qint64 latest = 0;
    for (const QList<QVariant>& s : b.started) latest = std::max(latest, s.at(2).toLongLong());
    QVERIFY2(latest <= 20, qPrintable(QString::number(latest)));
    QVERIFY(msSince(from, b.c.now()) >= 20000 - 20 && msSince(from, b.c.now()) <= 20000 + 50);
    QCOMPARE(b.confirmed.count(), 200);
    // Once the fast schedule has learned the line's pace (its first 1.5 s).
    qint64 slowest = 0;
    for (const QList<QVariant>& s : b.confirmed)
        if (s.at(1).toInt() >= 15) slowest = std::max(slowest, s.at(2).toLongLong());
    QVERIFY2(slowest < 100, qPrintable(QString::number(slowest)));
    b.c.advance(1s);  // the last frame reaches the line
    // While the fast schedule learns the line's pace, a value still waiting
    // when the next step's comes is replaced; after that every step's goes out.
    const QList<double> sent = b.sent();
    QVERIFY2(sent.size() >= 190, qPrintable(QString::number(sent.size())));
    for (qsizetype i = sent.size() - 150; i < sent.size(); ++i)
        QCOMPARE(sent[i], (sent.size() - i) % 2 ? 6.0 : 5.0);
    QVERIFY(b.c.line.instrument().output());  // held: the end state asked for it
}

// 100 ms steps each setting channel 1's voltage and current, fast readings
// at the line's learned pace on an instrument answering in 15 ms (a 31 ms
// exchange): the query after a step's read-backs would run past the next
// step's start and hold its set points up to an exchange, its read-backs
// past its dwell. The line is kept free for the step instead: its set points
// go out at its start, and both are read back inside its dwell.
void tst_PlanRun::lineKeptFreeForTheNextStep() {
    Bench b;
    sim::LineModel slow;
    slow.answer = 15ms;
    b.c.line.setLineModel(slow);
    QVERIFY(b.linked(true));
    b.c.client.setOutput(true);
    b.c.advance(10s);  // the pace learned
    QCOMPARE(b.c.client.fastStats().gapMs, int(FastPollTimings().shortestGap.count()));
    StepPlan plan;
    for (int i = 0; i < 50; ++i) {
        PlanStep s = volts(i % 2 ? 6.0 : 5.0, 100ms);
        s.channels[0].amps = i % 2 ? 0.6 : 0.5;
        plan.steps.push_back(s);
    }
    plan.end = EndState::HoldLast;
    std::vector<LinkTime> due;
    connect(&b.c.link, &DeviceLink::planStepStarted, this,
            [&](int, int, qint64 late) { due.push_back(b.c.now() - ms(late)); });
    std::vector<std::pair<QString, LinkTime>> frames;
    b.c.link.FrameHandedOver = [&](const QString& f) { frames.emplace_back(f, b.c.now()); };
    const std::size_t blocksFrom = b.c.line.blocks().size();
    b.c.client.runPlan(plan, {});
    QVERIFY(b.endedAs(PlanEnd::Completed));
    b.c.link.FrameHandedOver = nullptr;
    QCOMPARE(due.size(), plan.steps.size());
    const auto& blocks = b.c.line.blocks();
    const auto replyAfter = [&](LinkTime t) {
        for (std::size_t k = blocksFrom; k < blocks.size(); ++k)
            if (blocks[k].at > t) return blocks[k].at;
        return LinkTime::max();
    };
    // The first step begins wherever the readings are; each after it is foreseen.
    for (std::size_t i = 1; i < due.size(); ++i) {
        const auto at = std::find_if(frames.begin(), frames.end(), [&](const auto& f) {
            return f.second >= due[i] && f.first.startsWith(QLatin1String("VSET1:"));
        });
        QVERIFY2(at != frames.end() && std::next(at) != frames.end(),
                 qPrintable(QString::number(i)));
        const qint64 late = msSince(due[i], at->second);
        QVERIFY2(late <= 3,
                 qPrintable(QStringLiteral("step %1: sent %2 ms late").arg(i).arg(late)));
        QVERIFY(std::next(at)->first.startsWith(QLatin1String("ISET1:")));
        const LinkTime dwellEnd = due[i] + 100ms;
        for (const char* q : {"VSET1?", "ISET1?"}) {
            const auto asked = std::find_if(std::next(at), frames.end(),
                                            [&](const auto& f) { return f.first == q; });
            QVERIFY(asked != frames.end());
            const LinkTime reply = replyAfter(asked->second);
            QVERIFY2(reply <= dwellEnd,
                     qPrintable(QStringLiteral("step %1: %2 read back %3 ms into it")
                                    .arg(i)
                                    .arg(q)
                                    .arg(msSince(due[i], reply))));
        }
    }
}

// Charging until the current rises to the limit: the step ends at the
// reading, not at its minute, and the end state switches off.
void tst_PlanRun::endConditionEndsTheStepEarly() {
    Bench b;
    QVERIFY(b.linked(true));
    StepPlan plan;
    PlanStep wait = volts(10.0, 60s, OutputChange::On);
    wait.until = {EndCondition::Kind::CurrentAtLeast, 1, 0.9};
    plan.steps = {wait, volts(8.0, 1s)};
    b.c.client.runPlan(plan, {});
    QVERIFY(b.c.advanceUntil([&] { return b.started.count() == 1; }));
    b.c.advance(3s);
    QCOMPARE(b.started.count(), 1);
    const LinkTime step = b.c.now();
    b.c.line.instrument().setLoad(1, 5.0);  // held at 1 A
    QVERIFY(b.c.advanceUntil([&] { return b.started.count() == 2; }, 5s));
    QVERIFY2(msSince(step, b.c.now()) < 300, qPrintable(QString::number(msSince(step, b.c.now()))));
    QVERIFY(b.endedAs(PlanEnd::Completed));
    QVERIFY(b.c.advanceUntil([&] { return !b.c.line.instrument().output(); }, 5s));
}

// 0 to 10 V over 2 s: sub-steps on the line, rising, the last one the target.
void tst_PlanRun::rampGoesOutInSubSteps() {
    Bench b;
    QVERIFY(b.linked(true));
    StepPlan plan;
    PlanStep ramp = volts(10.0, 2s);
    ramp.ramp = true;
    plan.steps = {volts(0.0, 500ms, OutputChange::On), ramp, volts(10.0, 500ms)};
    plan.end = EndState::HoldLast;
    b.c.line.clearTranscript();
    b.c.client.runPlan(plan, {});
    QVERIFY(b.endedAs(PlanEnd::Completed));
    const QList<double> sent = b.sent();
    QVERIFY2(sent.size() >= 8, qPrintable(QString::number(sent.size())));
    for (qsizetype i = 1; i < sent.size() - 1; ++i) QVERIFY(sent[i] >= sent[i - 1]);
    QCOMPARE(sent.back(), 10.0);
    QCOMPARE(b.c.line.instrument().voltageSet(1), 10.0);
}

void tst_PlanRun::repeatsThenBackToTheFirstStep() {
    Bench b;
    QVERIFY(b.linked(false));
    StepPlan plan;
    plan.steps = {volts(3.0, 2s), volts(4.0, 2s)};
    plan.repeats = 3;
    plan.end = EndState::BackToFirst;
    b.c.client.runPlan(plan, {});
    QVERIFY(b.endedAs(PlanEnd::Completed));
    QCOMPARE(b.started.count(), 6);
    QVERIFY(b.c.advanceUntil([&] { return b.c.client.idle(); }));
    b.c.advance(1s);
    QCOMPARE(b.sent().count(4.0), 3);
    QCOMPARE(b.c.line.instrument().voltageSet(1), 3.0);
}

// Stop, the output button, Pause and Next at a random moment of a run.
void tst_PlanRun::operatorActsAtAnyMoment_data() {
    QTest::addColumn<QString>("act");
    for (int i = 0; i < 3; ++i) {
        QTest::addRow("stop %d", i) << "stop";
        QTest::addRow("output button %d", i) << "button";
        QTest::addRow("pause %d", i) << "pause";
        QTest::addRow("next %d", i) << "next";
    }
}

void tst_PlanRun::operatorActsAtAnyMoment() {
    QFETCH(QString, act);
    Bench b;
    QVERIFY(b.linked(true));
    StepPlan plan;
    plan.steps = {volts(5.0, 2s, OutputChange::On), volts(6.0, 2s), volts(7.0, 2s)};
    const LinkTime from = b.c.now();
    b.c.client.runPlan(plan, {});
    b.c.advance(ms(500 + QRandomGenerator::global()->bounded(4000)));
    const int stepsSoFar = b.started.count();
    if (act == QLatin1String("stop")) {
        b.c.client.stopPlan();
        QVERIFY(b.endedAs(PlanEnd::Stopped));
        QVERIFY(b.c.advanceUntil([&] { return !b.c.line.instrument().output(); }, 2s));
    } else if (act == QLatin1String("button")) {
        b.c.client.setOutput(false);
        QVERIFY(b.endedAs(PlanEnd::Stopped));
        QVERIFY(b.c.advanceUntil([&] { return !b.c.line.instrument().output(); }, 2s));
    } else if (act == QLatin1String("pause")) {
        b.c.client.pausePlan(true);
        b.c.advance(3s);
        QCOMPARE(b.started.count(), stepsSoFar);
        b.c.client.pausePlan(false);
        QVERIFY(b.endedAs(PlanEnd::Completed));
        const qint64 took = msSince(from, b.c.now());
        QVERIFY2(std::abs(took - 9000) <= 60, qPrintable(QString::number(took)));
        return;
    } else {
        b.c.client.nextPlanStep();
        QVERIFY(b.c.advanceUntil(
            [&] { return b.started.count() > stepsSoFar || b.ended.count() > 0; }, 50ms));
        QVERIFY(b.endedAs(PlanEnd::Completed));
        return;
    }
    // Nothing of the plan goes out after it ended.
    const qsizetype sevens = b.sent().count(7.0);
    b.c.advance(8s);
    QCOMPARE(b.sent().count(7.0), sevens);
    QCOMPARE(b.started.count(), stepsSoFar);
}

void tst_PlanRun::tripEndsTheRun() {
    Bench b;
    QVERIFY(b.linked(false));
    b.c.line.instrument().setLoad(1, 5.0);
    b.c.client.setGuard(1, GuardLimit::OverCurrent, {true, 0.8, 0ms});
    StepPlan plan;
    PlanStep low = volts(10.0, 2s, OutputChange::On);
    low.channels[0].amps = 0.5;
    PlanStep high = volts(10.0, 2s);
    high.channels[0].amps = 1.0;  // 1 A into 5 ohms: over the guard's 0.8 A
    plan.steps = {low, high, volts(7.0, 2s, OutputChange::On)};
    plan.end = EndState::HoldLast;
    b.c.client.runPlan(plan, {});
    QVERIFY(b.endedAs(PlanEnd::Tripped));
    b.c.advance(5s);
    QCOMPARE(b.sent().count(7.0), 0);
    QVERIFY(!b.c.line.instrument().output());
}

void tst_PlanRun::refusedBeforeAnythingIsSent() {
    Bench b;
    QVERIFY(b.linked(false));
    b.c.advance(1s);
    b.c.line.clearTranscript();
    StepPlan plan;
    plan.steps = {volts(5.0, 1s, OutputChange::On), volts(40.0, 1s)};
    b.c.client.runPlan(plan, {});
    QVERIFY(b.endedAs(PlanEnd::Refused));
    QVERIFY(b.ended.last().at(1).toString().startsWith(QLatin1String("Step 2:")));
    b.c.advance(3s);
    QVERIFY2(b.c.frames().isEmpty(), qPrintable(b.c.frames().join(u' ')));
}

// What the operator did by hand, recorded as steps and run again, puts the
// same commands on the line at the same offsets.
void tst_PlanRun::recordedActionsReplayTheSameFrames() {
    Bench b;
    QVERIFY(b.linked(false));
    b.c.advance(1s);
    LinkClient::actionsClock = [&] { return b.c.now(); };
    const auto commands = [&](std::size_t from) {
        QStringList out;
        const auto& wire = b.c.line.wireFrames();
        const LinkTime first = b.c.line.wireTimes()[from];
        for (std::size_t i = from; i < wire.size(); ++i) {
            const QString f = QString::fromStdString(wire[i]).trimmed();
            if (f.endsWith(u'?')) continue;
            const qint64 at = msSince(first, b.c.line.wireTimes()[i]);
            out << QStringLiteral("%1@%2").arg(f).arg((at + 50) / 100 * 100);
        }
        return out;
    };
    b.c.client.recordActions(true);
    const std::size_t by = b.c.line.wireFrames().size();
    b.c.client.setSetPoint(1, Quantity::Voltage, 5.0, QStringLiteral("5.00"));
    b.c.advance(2s);
    b.c.client.setOutput(true);
    b.c.advance(3s);
    b.c.client.setSetPoint(1, Quantity::Voltage, 7.0, QStringLiteral("7.00"));
    b.c.advance(2s);
    b.c.client.setOutput(false);
    b.c.advance(1s);
    const StepPlan plan = b.c.client.recordedActions();
    LinkClient::actionsClock = [] { return std::chrono::steady_clock::now(); };
    QCOMPARE(int(plan.steps.size()), 4);
    QCOMPARE(plan.steps[1].output, OutputChange::On);
    QCOMPARE(plan.steps[0].dwell, ms(2000));
    const QStringList byHand = commands(by);

    b.c.line.instrument().setVoltageSet(1, 10.0);
    b.c.client.setSetPoint(1, Quantity::Voltage, 10.0, QStringLiteral("10.00"));
    b.c.advance(2s);
    const std::size_t replayFrom = b.c.line.wireFrames().size();
    b.c.client.runPlan(plan, {});
    QVERIFY(b.endedAs(PlanEnd::Completed));
    b.c.advance(2s);
    QCOMPARE(byHand.size(), 4);
    QCOMPARE(commands(replayFrom), byHand);
}

// The envelope is armed as limits for the run: a set point turned up on the
// front panel mid-run trips the output and ends the run; afterwards the
// limits are the operator's again, with one set during the run kept.
void tst_PlanRun::envelopeGuardsTheRun() {
    Bench b;
    QVERIFY(b.start(20.0));
    StepPlan plan;
    plan.steps = {volts(10.0, 5s, OutputChange::On), volts(11.0, 5s)};
    plan.end = EndState::HoldLast;
    Envelope envelope;
    envelope.maxVolts = {12.0, 0};
    b.c.client.runPlan(plan, envelope);
    QVERIFY(b.c.client.guardArmed());
    QVERIFY(b.c.advanceUntil([&] { return b.started.count() == 1; }));
    b.c.advance(2s);
    b.c.client.setGuard(1, GuardLimit::OverCurrent, {true, 3.0, 0ms});
    b.c.line.instrument().setVoltageSet(1, 15.0);
    QVERIFY(b.endedAs(PlanEnd::Tripped));
    QVERIFY(b.c.advanceUntil([&] { return !b.c.line.instrument().output(); }, 2s));
    QCOMPARE(b.c.client.trip()->limit, GuardLimit::OverVoltage);
    b.c.client.clearTrip();
    b.c.client.setGuard(1, GuardLimit::OverCurrent, {});
    QVERIFY(!b.c.client.guardArmed());
    // Nothing is armed any more: the schedule leaves fast readings.
    b.c.client.setOutput(true);
    QVERIFY(b.c.advanceUntil([&] { return b.c.line.instrument().output(); }, 5s));
    b.c.advance(5s);
    QVERIFY(b.c.line.instrument().output());
    QCOMPARE(b.c.client.mode(), LinkMode::Polling);
}

void tst_PlanRun::operatorsLimitsStandAfterTheRun_data() {
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<double>("panelVolts");  // set on the front panel after the run
    QTest::addColumn<double>("ohms");
    QTest::addColumn<std::optional<GuardLimit>>("trips");
    for (bool stopped : {true, false}) {
        const char* end = stopped ? "stopped" : "ended";
        QTest::addRow("%s, under both", end)
            << stopped << 13.0 << 20.0 << std::optional<GuardLimit>();
        QTest::addRow("%s, over the voltage armed before", end)
            << stopped << 15.0 << 20.0 << std::optional(GuardLimit::OverVoltage);
        QTest::addRow("%s, over the current set during the run", end)
            << stopped << 10.0 << 10.0 << std::optional(GuardLimit::OverCurrent);
    }
}

// 14 V armed before a run whose envelope guards it at 12 V, and 0.8 A set
// during the run: both are what guards once the run ended, by Stop or at
// its end, and the envelope's 12 V is gone.
void tst_PlanRun::operatorsLimitsStandAfterTheRun() {
    QFETCH(bool, stopped);
    QFETCH(double, panelVolts);
    QFETCH(double, ohms);
    QFETCH(std::optional<GuardLimit>, trips);
    Bench b;
    QVERIFY(b.start(20.0));
    b.c.client.setGuard(1, GuardLimit::OverVoltage, {true, 14.0, 0ms});
    StepPlan plan;
    plan.steps = {volts(10.0, 3s, OutputChange::On), volts(10.0, 3s)};
    plan.end = EndState::HoldLast;
    Envelope envelope;
    envelope.maxVolts = {12.0, 0};
    b.c.client.runPlan(plan, envelope);
    QVERIFY(b.c.advanceUntil([&] { return b.started.count() == 1; }));
    b.c.advance(1s);
    b.c.client.setGuard(1, GuardLimit::OverCurrent, {true, 0.8, 0ms});
    b.c.advance(3s);
    if (stopped) b.c.client.stopPlan();
    QVERIFY(b.endedAs(stopped ? PlanEnd::Stopped : PlanEnd::Completed));
    QVERIFY(b.c.advanceUntil([&] { return b.c.client.idle(); }));
    QVERIFY(b.c.line.instrument().output());
    b.c.line.instrument().setVoltageSet(1, panelVolts);
    b.c.line.instrument().setLoad(1, ohms);
    b.c.advance(3s);
    if (!trips) {
        QVERIFY2(!b.c.client.trip(), qPrintable(guardLimitName(b.c.client.trip()->limit)));
        QVERIFY(b.c.line.instrument().output());
        return;
    }
    QVERIFY(b.c.client.trip());
    QCOMPARE(b.c.client.trip()->limit, *trips);
    QVERIFY(!b.c.line.instrument().output());
}

// A step's coupling goes out before its recall, and the recall before the
// step's own set points; a ramp after a recall starts from the memory's value.
void tst_PlanRun::stepsSwitchCouplingAndRecall() {
    Bench b;
    QVERIFY(b.linked(false));
    sim::Settings memory = b.c.line.instrument().settings();
    memory.vset1 = 4.0;
    b.c.line.instrument().setSlot(2, memory);
    b.c.advance(1s);
    b.c.line.clearTranscript();
    StepPlan plan;
    PlanStep first = volts(6.0, 8s);
    first.coupling = Coupling::Tracking;
    first.recall = 2;
    first.channels[0].volts.reset();
    first.channels[0].amps = 0.7;
    PlanStep ramp = volts(8.0, 2s);
    ramp.ramp = true;
    plan.steps = {first, ramp};
    plan.end = EndState::HoldLast;
    b.c.client.runPlan(plan, {});
    QVERIFY(b.endedAs(PlanEnd::Completed));
    b.c.advance(1s);  // the last frame reaches the line
    QStringList commands;
    for (const QString& f : b.c.frames())
        if (!f.endsWith(u'?')) commands << f;
    const qsizetype track = commands.indexOf(QStringLiteral("TRACK1"));
    const qsizetype recall = commands.indexOf(QStringLiteral("RCL2"));
    QVERIFY2(track >= 0 && recall > track, qPrintable(commands.join(u' ')));
    QVERIFY2(commands.indexOf(QStringLiteral("ISET1:0.700")) > recall ||
                 commands.indexOf(QStringLiteral("ISET1:0.7")) > recall,
             qPrintable(commands.join(u' ')));
    const QList<double> sent = b.sent();
    QVERIFY2(sent.size() >= 2 && sent.front() > 4.0 && sent.front() < 8.0,
             qPrintable(commands.join(u' ')));
    QVERIFY2(b.c.line.instrument().voltageSet(1) == 8.0,
             qPrintable(b.c.frames().mid(b.c.frames().size() - 20).join(u' ')));
}

QTEST_GUILESS_MAIN(tst_PlanRun)
#include "tst_plan_run.moc"
