// The dry run: a plan against the built-in simulator in accelerated time,
// with the load the operator picks.
#include "control_panel/dry_run.h"

#include <QtTest>

using namespace lqs;
using namespace std::chrono_literals;

class tst_DryRun : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void predictsTheLoadsReadings();
    void refusedPlanRunsNothing();
    void thousandStepsRunWhole();
};

namespace {

PlanStep step(double volts, double amps, std::chrono::milliseconds dwell,
              OutputChange output = OutputChange::Unchanged) {
    PlanStep s;
    s.channels[0] = {volts, amps};
    s.dwell = dwell;
    s.output = output;
    return s;
}

}  // namespace

// 12 V into 10 ohms draws 1.2 A; with a 0.5 A limit the channel holds 0.5 A
// at 5 V. The samples of each step say so.
void tst_DryRun::predictsTheLoadsReadings() {
    StepPlan plan;
    plan.steps = {step(12, 2, 3s, OutputChange::On), step(12, 0.5, 3s)};
    DryRunSetup setup;
    setup.loadOhms = {10.0, 10.0};
    const DryRunResult r = dryRunPlan(plan, setup);
    QCOMPARE(r.end, PlanEnd::Completed);
    QCOMPARE(int(r.stepStarts.size()), 2);
    QVERIFY(std::abs(r.seconds - 6.0) < 0.5);
    int cv = 0, cc = 0;
    for (const DrySample& s : r.samples) {
        if (s.channel != 1) continue;
        if (s.seconds > 1 && s.seconds < 2.9) {
            QVERIFY2(std::abs(s.volts - 12) < 0.05 && std::abs(s.amps - 1.2) < 0.02,
                     qPrintable(QStringLiteral("%1 V %2 A").arg(s.volts).arg(s.amps)));
            ++cv;
        }
        if (s.seconds > 4 && s.seconds < 5.9) {
            QVERIFY2(std::abs(s.volts - 5) < 0.05 && std::abs(s.amps - 0.5) < 0.02,
                     qPrintable(QStringLiteral("%1 V %2 A").arg(s.volts).arg(s.amps)));
            ++cc;
        }
    }
    QVERIFY(cv > 10 && cc > 10);
}

void tst_DryRun::refusedPlanRunsNothing() {
    StepPlan plan;
    plan.steps = {step(12, 1, 1s, OutputChange::On), step(45, 1, 1s)};
    const DryRunResult r = dryRunPlan(plan, DryRunSetup());
    QCOMPARE(r.end, PlanEnd::Refused);
    QCOMPARE(int(r.violations.size()), 1);
    QCOMPARE(r.violations[0].step, 2);
    QVERIFY(r.samples.empty());
}

// A burn-in of a thousand 100 ms steps runs whole; bench_dry_run times it.
void tst_DryRun::thousandStepsRunWhole() {
    StepPlan plan;
    plan.steps.push_back(step(1, 1, 100ms, OutputChange::On));
    for (int i = 1; i < 1000; ++i) plan.steps.push_back(step(1 + i % 20, 1, 100ms));
    const DryRunResult r = dryRunPlan(plan, DryRunSetup());
    QCOMPARE(r.end, PlanEnd::Completed);
    QCOMPARE(int(r.stepStarts.size()), 1000);
    QVERIFY(std::abs(r.seconds - 100.0) < 0.5);
}

QTEST_GUILESS_MAIN(tst_DryRun)
#include "tst_dry_run.moc"
