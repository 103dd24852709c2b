// A sequence's plan, without a line: what is refused before anything is
// sent, where each step starts, a ramp's sub-steps, and the CSV round trip.
#include "device_link/step_plan.h"

#include <QtTest>

using namespace lqs;
using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

class tst_StepPlan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void checkedBeforeTheRun_data();
    void checkedBeforeTheRun();
    void deadlinesDoNotDrift();
    void rampSubSteps_data();
    void rampSubSteps();
    void csvRoundTrip();
    void csvRefusesWithTheLine_data();
    void csvRefusesWithTheLine();
    void actionsBecomeSteps();
};

namespace {

PlanStep step(std::optional<double> v1, std::optional<double> i1, ms dwell = 1000ms) {
    PlanStep s;
    s.channels[0] = {v1, i1};
    s.dwell = dwell;
    return s;
}

StepPlan plan(std::vector<PlanStep> steps, int repeats = 1) {
    StepPlan p;
    p.steps = std::move(steps);
    p.repeats = repeats;
    return p;
}

}  // namespace

// Each row: the plan, the model (index 2: 32 V, 3.2 A), the coupling, the
// envelope, and the steps named in the refusals (0: the plan as a whole).
void tst_StepPlan::checkedBeforeTheRun_data() {
    QTest::addColumn<StepPlan>("p");
    QTest::addColumn<Coupling>("coupling");
    QTest::addColumn<Envelope>("envelope");
    QTest::addColumn<QList<int>>("refusedSteps");
    QTest::addColumn<bool>("byCoupling");
    const Envelope none;
    Envelope tight;
    tight.maxVolts = {12.0, 0};
    tight.maxAmps = {1.0, 0};
    tight.maxWatts = {10.0, 0};
    tight.maxDuration = 10s;

    QTest::newRow("within everything")
        << plan({step(5, 1), step(12, 0.5), step(std::nullopt, std::nullopt)})
        << Coupling::Independent << tight << QList<int>{} << false;
    QTest::newRow("empty") << plan({}) << Coupling::Independent << none << QList<int>{0} << false;
    QTest::newRow("beyond the model's voltage")
        << plan({step(5, 1), step(33, 1)}) << Coupling::Independent << none << QList<int>{2}
        << false;
    QTest::newRow("beyond the model's current")
        << plan({step(5, 3.3)}) << Coupling::Independent << none << QList<int>{1} << false;
    QTest::newRow("negative") << plan({step(-1, 1)}) << Coupling::Independent << none
                              << QList<int>{1} << false;
    // A blank keeps the value before: step 3 still holds 1.2 A.
    QTest::newRow("envelope current, carried by a blank")
        << plan({step(5, 0.5), step(5, 1.2), step(6, std::nullopt)}) << Coupling::Independent
        << tight << QList<int>{2, 3} << false;
    QTest::newRow("envelope power of the held values")
        << plan({step(11, 0.5), step(11, 1.0)}) << Coupling::Independent << tight << QList<int>{2}
        << false;
    QTest::newRow("longer than the envelope")
        << plan({step(5, 1, 4s)}, 3) << Coupling::Independent << tight << QList<int>{0} << false;
    QTest::newRow("until stopped, with a duration limit")
        << plan({step(5, 1)}, 0) << Coupling::Independent << tight << QList<int>{0} << false;
    QTest::newRow("zero dwell") << plan({step(5, 1, 0ms)}) << Coupling::Independent << none
                                << QList<int>{1} << false;
    StepPlan ch2 = plan({step(5, 1), step(5, 1)});
    ch2.steps[1].channels[1] = {7.0, 0.5};
    QTest::newRow("channel 2 independent")
        << ch2 << Coupling::Independent << none << QList<int>{} << false;
    QTest::newRow("channel 2 voltage in tracking")
        << ch2 << Coupling::Tracking << none << QList<int>{2} << true;
    QTest::newRow("channel 2 both in parallel")
        << ch2 << Coupling::Parallel << none << QList<int>{2, 2} << true;
    // A step's own coupling holds from it on, whatever the instrument's was.
    StepPlan tracked = ch2;
    tracked.steps[1].coupling = Coupling::Tracking;
    QTest::newRow("channel 2 after a step chooses tracking")
        << tracked << Coupling::Independent << none << QList<int>{2} << true;
    StepPlan freed = ch2;
    freed.steps[0].coupling = Coupling::Independent;
    QTest::newRow("channel 2 after a step chooses independent")
        << freed << Coupling::Parallel << none << QList<int>{} << false;
    // What a memory holds is unknown before the run: the held 1.2 A is gone.
    StepPlan recalled = plan({step(5, 1.2), step(6, std::nullopt)});
    recalled.steps[1].recall = 2;
    QTest::newRow("a recall forgets the held values")
        << recalled << Coupling::Independent << tight << QList<int>{1} << false;
    recalled.steps[1].recall = 5;
    QTest::newRow("no such memory")
        << recalled << Coupling::Independent << none << QList<int>{2} << false;
    StepPlan ramp = plan({step(5, 1)});
    ramp.steps[0].ramp = true;
    QTest::newRow("first step ramps")
        << ramp << Coupling::Independent << none << QList<int>{1} << false;
}

void tst_StepPlan::checkedBeforeTheRun() {
    QFETCH(StepPlan, p);
    QFETCH(Coupling, coupling);
    QFETCH(Envelope, envelope);
    QFETCH(QList<int>, refusedSteps);
    QFETCH(bool, byCoupling);
    const std::vector<PlanViolation> got = checkPlan(p, 2, coupling, envelope);
    QList<int> steps;
    QStringList said;
    for (const PlanViolation& v : got) {
        steps << v.step;
        said << v.what;
        QVERIFY(!v.what.isEmpty());
        QCOMPARE(v.coupling, byCoupling);
    }
    QVERIFY2(steps == refusedSteps, qPrintable(said.join(QStringLiteral(" | "))));
}

// Step starts are deadlines from the run's start: the thousandth step of
// 100 ms starts at 99.9 s exactly, whatever rounding a sum of floats would do.
void tst_StepPlan::deadlinesDoNotDrift() {
    StepPlan p;
    for (int i = 0; i < 10; ++i) p.steps.push_back(step(1.0 + i, 1, 100ms));
    p.repeats = 100;
    QCOMPARE(stepDeadline(p, 99, 9), ms(99900));
    QCOMPARE(stepDeadline(p, 0, 0), ms(0));
    QCOMPARE(stepDeadline(p, 1, 3), ms(1300));
    QCOMPARE(planDuration(p), std::optional<ms>(ms(100000)));
    p.repeats = 0;
    QVERIFY(!planDuration(p));
}

void tst_StepPlan::rampSubSteps_data() {
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<int>("dwellMs");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<int>("points");
    QTest::newRow("line-limited") << 0.0 << 10.0 << 1000 << 100 << 10;
    QTest::newRow("resolution-limited") << 5.0 << 5.05 << 10000 << 100 << 5;
    QTest::newRow("down") << 12.0 << 2.0 << 2000 << 50 << 40;
    QTest::newRow("no change") << 3.0 << 3.0 << 1000 << 100 << 1;
    QTest::newRow("dwell shorter than the interval") << 0.0 << 1.0 << 30 << 100 << 1;
}

void tst_StepPlan::rampSubSteps() {
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(int, dwellMs);
    QFETCH(int, intervalMs);
    QFETCH(int, points);
    const auto got = rampPoints(from, to, ms(dwellMs), ms(intervalMs), 0.01);
    QCOMPARE(int(got.size()), points);
    QCOMPARE(got.front().at, ms(0));
    QCOMPARE(got.back().value, to);
    for (std::size_t i = 1; i < got.size(); ++i) {
        QVERIFY(got[i].at - got[i - 1].at >= ms(intervalMs));
        // Monotonic, and each sub-step at least the model's step.
        QVERIFY(std::abs(got[i].value - got[i - 1].value) >= 0.01 - 1e-9);
        QVERIFY((to - from) * (got[i].value - got[i - 1].value) > 0);
    }
    QVERIFY(got.back().at < ms(dwellMs) || dwellMs == 0);
}

void tst_StepPlan::csvRoundTrip() {
    StepPlan p;
    p.repeats = 0;
    p.end = EndState::BackToFirst;
    PlanStep a = step(12.5, 0.1);
    a.output = OutputChange::On;
    a.channels[1] = {std::nullopt, 0.333};
    PlanStep b = step(std::nullopt, std::nullopt, 2750ms);
    b.ramp = true;
    b.channels[0].volts = 0.1 + 0.2;  // no decimal form is exact
    b.until = {EndCondition::Kind::CurrentAtMost, 2, 0.05};
    PlanStep c = step(1, 1, 1ms);
    c.output = OutputChange::Off;
    c.until = {EndCondition::Kind::Operator, 1, 0};
    p.steps = {a, b, c};
    const QByteArray csv = planToCsv(p);
    QVERIFY(csv.startsWith("ch1_voltage_V,ch1_current_A,"));
    QString error;
    const StepPlan back = planFromCsv(csv, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(back == p);
    QCOMPARE(planToCsv(back), csv);

    // Only a plan that switches coupling or recalls has those columns.
    p.steps[1].coupling = Coupling::Parallel;
    p.steps[2].recall = 4;
    const QByteArray switching = planToCsv(p);
    QVERIFY(switching.startsWith("coupling,recall,ch1_voltage_V,"));
    QVERIFY(planFromCsv(switching, &error) == p);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    // A spreadsheet's own order of columns and line ends read the same.
    const QByteArray reordered = "dwell_s,ch1_voltage_V,repeats\n2,5,3\n0.5,,\n";
    const StepPlan r = planFromCsv(reordered, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(r.repeats, 3);
    QCOMPARE(int(r.steps.size()), 2);
    QCOMPARE(r.steps[0].channels[0].volts, std::optional<double>(5.0));
    QCOMPARE(r.steps[1].dwell, ms(500));
}

void tst_StepPlan::csvRefusesWithTheLine_data() {
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("starts");
    QTest::newRow("empty") << QByteArray("\n\n") << "The file is empty.";
    QTest::newRow("unknown column") << QByteArray("dwell_s,colour\n1,red\n") << "Line 1:";
    QTest::newRow("no dwell") << QByteArray("ch1_voltage_V\n5\n") << "Line 1:";
    QTest::newRow("short row") << QByteArray("dwell_s,ch1_voltage_V\n1\n") << "Line 2:";
    QTest::newRow("not a number") << QByteArray("dwell_s,ch1_voltage_V\n1,5V\n") << "Line 2:";
    QTest::newRow("comma decimal") << QByteArray("dwell_s,ch1_voltage_V\n1,\"5,5\"\n") << "Line 2:";
    QTest::newRow("zero dwell") << QByteArray("dwell_s\n0\n") << "Line 2:";
    QTest::newRow("bad end state") << QByteArray("dwell_s,end_state\n1,later\n") << "Line 2:";
    QTest::newRow("bad repeats") << QByteArray("dwell_s,repeats\n1,-2\n") << "Line 2:";
    QTest::newRow("bad condition") << QByteArray("dwell_s,until\n1,soon\n") << "Line 2:";
    QTest::newRow("bad coupling") << QByteArray("dwell_s,coupling\n1,series\n") << "Line 2:";
    QTest::newRow("no such memory") << QByteArray("dwell_s,recall\n1,0\n") << "Line 2:";
}

void tst_StepPlan::csvRefusesWithTheLine() {
    QFETCH(QByteArray, csv);
    QFETCH(QString, starts);
    QString error;
    const StepPlan p = planFromCsv(csv, &error);
    QVERIFY2(error.startsWith(starts), qPrintable(error));
    QVERIFY(p.steps.empty());
}

// A coupling joins the step it falls in; a recall replaces the set
// points, so it begins one of its own even inside the joining window.
void tst_StepPlan::actionsBecomeSteps() {
    const ActionRecorder::Time t0{};
    ActionRecorder r(300ms);
    r.start(t0);
    r.setPoint(t0, 1, true, 5.0);
    r.coupling(t0 + 100ms, Coupling::Tracking);
    r.recall(t0 + 200ms, 3);
    r.setPoint(t0 + 250ms, 1, false, 0.5);
    r.output(t0 + 1000ms, true);
    r.recall(t0 + 1500ms, 9);  // no such memory: nothing
    const StepPlan p = r.finish(t0 + 2000ms);
    QCOMPARE(int(p.steps.size()), 3);
    QCOMPARE(p.steps[0].channels[0].volts, std::optional<double>(5.0));
    QCOMPARE(p.steps[0].coupling, std::optional<Coupling>(Coupling::Tracking));
    QCOMPARE(p.steps[0].recall, 0);
    QCOMPARE(p.steps[0].dwell, 200ms);
    QCOMPARE(p.steps[1].recall, 3);
    QCOMPARE(p.steps[1].channels[0].amps, std::optional<double>(0.5));
    QCOMPARE(p.steps[1].dwell, 800ms);
    QCOMPARE(p.steps[2].output, OutputChange::On);
    QCOMPARE(p.steps[2].recall, 0);
    QVERIFY(checkPlan(p, 2, Coupling::Independent, {}).empty());
}

QTEST_GUILESS_MAIN(tst_StepPlan)
#include "tst_step_plan.moc"
