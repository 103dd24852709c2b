// How long a dry run of a long plan takes on this machine: 1,000 steps of
// 100 ms (100 s of the simulator's time), five runs, median and best.
#include "control_panel/dry_run.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using namespace std::chrono_literals;
    lqs::StepPlan plan;
    for (int i = 0; i < 1000; ++i) {
        lqs::PlanStep s;
        s.channels[0] = {1.0 + i % 20, 1.0};
        s.dwell = 100ms;
        if (i == 0) s.output = lqs::OutputChange::On;
        plan.steps.push_back(s);
    }
    std::vector<qint64> ms;
    std::size_t samples = 0;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        const lqs::DryRunResult r = lqs::dryRunPlan(plan, lqs::DryRunSetup());
        ms.push_back(t.elapsed());
        samples = r.samples.size();
        if (r.end != lqs::PlanEnd::Completed) {
            std::fprintf(stderr, "the dry run did not complete: %s\n", qPrintable(r.why));
            return 1;
        }
    }
    std::sort(ms.begin(), ms.end());
    std::printf("dry run, 1000 steps of 100 ms: median %lld ms, best %lld ms, %zu readings\n",
                ms[ms.size() / 2], ms.front(), samples);
    return 0;
}
