#include "control_panel/dry_run.h"

#include "device_link/device_link.h"

#include "sim_port.h"

#include <memory>
#include <optional>

namespace lqs {

namespace {

using namespace std::chrono_literals;

sim::Model simModel(int modelIndex) {
    return modelIndex == 1 ? sim::Model::A : modelIndex == 3 ? sim::Model::C : sim::Model::B;
}

sim::Coupling simCoupling(Coupling c) {
    return c == Coupling::Parallel   ? sim::Coupling::Parallel
           : c == Coupling::Tracking ? sim::Coupling::Series
                                     : sim::Coupling::Independent;
}

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

// Runs the link's clock until done() holds, the clock reached `until` or the
// run is cancelled.
bool runUntil(Scheduler& s, LinkTime until, const std::function<bool()>& done,
              const std::atomic<bool>* cancel = nullptr) {
    while (!done()) {
        const auto next = s.nextDeadline();
        if (!next || *next > until || cancelled(cancel)) return false;
        s.runUntil(*next, [] {});
    }
    return true;
}

}  // namespace

DryRunResult dryRunPlan(const StepPlan& plan, const DryRunSetup& setup, double limitSeconds,
                        const std::atomic<bool>* cancel) {
    DryRunResult result;
    result.violations = checkPlan(plan, setup.modelIndex, setup.coupling, setup.envelope);
    if (!result.violations.empty()) {
        result.why = QStringLiteral("The sequence breaks its checks; nothing ran.");
        return result;
    }
    LinkSetup linkSetup;
    linkSetup.clock = Scheduler::Kind::Driven;
    sim::LinePort port;
    DeviceLink link(&port, linkSetup);
    Scheduler& s = link.scheduler();
    sim::ClockedLine line(simModel(setup.modelIndex), sim::nowOf(s), sim::atOf(s));
    port.join(line, link);
    line.setLineModel(sim::LineModel());  // 9600 baud, the instrument's answer time
    line.setEndAtCarriageReturn(true);
    sim::Instrument& instrument = line.instrument();
    instrument.setCoupling(simCoupling(setup.coupling));
    for (int c = 1; c <= 2; ++c) {
        const double ohms = setup.loadOhms[std::size_t(c - 1)];
        instrument.setLoad(c, ohms > 0 ? ohms : 1e12);
        const ChannelTarget& t = setup.start[std::size_t(c - 1)];
        if (t.volts) instrument.setVoltageSet(c, *t.volts);
        if (t.amps) instrument.setCurrentSet(c, *t.amps);
    }

    link.setModel(setup.modelIndex);
    link.setFastReadings(true);
    link.link(QStringLiteral("dry run"), 0);
    const LinkTime linkedBy = s.now() + 60s;
    if (!runUntil(
            s, linkedBy, [&] { return standing(link.mode()) && link.idle(); }, cancel)) {
        result.cancelled = cancelled(cancel);
        result.why = result.cancelled ? QStringLiteral("The dry run was cancelled.")
                                      : QStringLiteral("The simulator did not link.");
        return result;
    }

    const LinkTime from = s.now();
    const auto seconds = [&](LinkTime t) {
        return std::chrono::duration<double>(t - from).count();
    };
    std::array<std::optional<double>, 2> volts;
    std::optional<std::pair<PlanEnd, QString>> ended;
    QObject::connect(&link, &DeviceLink::readingTaken, [&](const Reading& r) {
        auto& v = volts[r.channel == 2 ? 1 : 0];
        if (r.quantity == Quantity::Voltage) {
            v = r.value;
            return;
        }
        if (v) result.samples.push_back({seconds(r.at), r.channel, *v, r.value});
    });
    QObject::connect(&link, &DeviceLink::planStepStarted,
                     [&](int, int, qint64) { result.stepStarts.push_back(seconds(s.now())); });
    QObject::connect(&link, &DeviceLink::planEnded,
                     [&](PlanEnd end, const QString& why) { ended.emplace(end, why); });
    link.runPlan(plan, setup.envelope, 0);
    const LinkTime limit = from + std::chrono::duration_cast<LinkDuration>(
                                      std::chrono::duration<double>(limitSeconds));
    if (!runUntil(
            s, limit, [&] { return ended.has_value(); }, cancel)) {
        result.cancelled = cancelled(cancel);
        link.stopPlan();
        runUntil(s, s.now() + 1s, [&] { return ended.has_value(); });
    }
    if (ended) {
        result.end = ended->first;
        result.why = ended->second;
    }
    if (result.cancelled) result.why = QStringLiteral("The dry run was cancelled.");
    result.seconds = seconds(s.now());
    link.stop();
    return result;
}

}  // namespace lqs
