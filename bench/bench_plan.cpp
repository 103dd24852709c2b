// How closely a plan's steps keep their deadlines on a real line: the real
// program (its link on a thread of its own) against lqs-sim, a child process
// at 9600 baud with a 10 ms answer time, Fast Readings on. 1,000 steps of
// 100 ms, each setting both channel 1's voltage and current. Reported: how
// late each step started (the link's monotonic clock), how late the last
// one was (the drift), and how long each step took to have both set points
// sent and read back.
#include "bench_program.h"
#include "device_link/link_client.h"
#include "sim_child.h"

#include <QAction>
#include <QApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace lqs;
using namespace std::chrono_literals;

namespace {

double percentile(std::vector<qint64> v, double p) {
    std::sort(v.begin(), v.end());
    const auto rank = std::size_t(std::ceil(p * double(v.size())));
    return double(v[std::max<std::size_t>(rank, 1) - 1]);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int steps = 1000;
    if (argc > 1) steps = std::max(2, QString::fromLocal8Bit(argv[1]).toInt());
    bench::Waiter waiter;
    bench::Simulator sim(waiter);
    const QString slave = sim.start(0);
    if (slave.isEmpty()) {
        std::fprintf(stderr, "lqs-sim did not start\n");
        return 1;
    }
    sim.setLoad(20.0);
    QTemporaryDir dir;
    auto form = bench::programOn(slave, dir);
    LinkClient* client = form->linkClient();
    bench::control<QAction>(form.get(), "ToolButton1")->trigger();
    if (!waiter.wait([&] { return client->linked() && form->frameEnabled(); }, 30000)) {
        std::fprintf(stderr, "the link did not settle\n");
        return 1;
    }
    form->setFastReadings(true);

    StepPlan plan;
    for (int i = 0; i < steps; ++i) {
        PlanStep s;
        s.channels[0] = {i % 2 ? 6.0 : 5.0, i % 2 ? 0.6 : 0.5};
        s.dwell = 100ms;
        if (i == 0) s.output = OutputChange::On;
        plan.steps.push_back(s);
    }
    plan.end = EndState::OutputOff;
    std::vector<qint64> late, confirm(std::size_t(steps), -1);
    bool ended = false;
    QObject::connect(client, &LinkClient::planStepStarted, client,
                     [&](int, int, qint64 lateMs) { late.push_back(lateMs); });
    QObject::connect(client, &LinkClient::planStepConfirmed, client,
                     [&](int, int step, qint64 afterMs) { confirm[std::size_t(step)] = afterMs; });
    QObject::connect(client, &LinkClient::planEnded, client, [&](PlanEnd end, const QString& why) {
        ended = true;
        if (end != PlanEnd::Completed) std::fprintf(stderr, "ended: %s\n", qPrintable(why));
        waiter.poke();
    });
    client->runPlan(plan, {});
    waiter.wait([&] { return ended; }, steps * 100 + 30000);
    waiter.pause(1000);
    if (late.size() != std::size_t(steps)) {
        std::fprintf(stderr, "%zu of %d steps started\n", late.size(), steps);
        return 1;
    }
    std::vector<qint64> confirmed;
    int within = 0;
    int withinLearned = 0;  // from the third second, once the line's pace is learned
    for (std::size_t i = 0; i < confirm.size(); ++i) {
        const qint64 c = confirm[i];
        if (c < 0) continue;
        confirmed.push_back(c);
        if (c < 100) {
            ++within;
            if (i >= 20) ++withinLearned;
        }
    }
    std::printf(
        "%d steps of 100 ms: start late by median %.0f ms, p99 %.0f ms, max %.0f ms; "
        "last step %lld ms late\n",
        steps, percentile(late, 0.5), percentile(late, 0.99), percentile(late, 1.0), late.back());
    if (!confirmed.empty())
        std::printf(
            "both set points sent and read back: median %.0f ms, p99 %.0f ms; "
            "%d of %d within the step's 100 ms (%d of %d from the third second)\n",
            percentile(confirmed, 0.5), percentile(confirmed, 0.99), within, steps, withinLearned,
            std::max(0, steps - 20));
    return 0;
}
