// A plan's run: each step starts at its deadline from the run's start, its
// set points and output go out through the same commands as the operator's
// and are confirmed the same way, and its dwell ends at the next deadline,
// at its end condition or at the operator's Next. A trip, a lost line or the
// operator's own output command ends the run at once.
#include "device_link/device_link.h"

#include "common/convert.h"
#include "device_link/model_profile.h"
#include "device_link/protocol.h"
#include "device_link/set_point_math.h"

#include <algorithm>

namespace lqs {

namespace {

constexpr Ticket kInternalTicket = Ticket(1) << 63;

qint64 msBetween(LinkTime from, LinkTime to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

int newestIndex(int channel, Quantity q) {
    return (channel == 2 ? 2 : 0) + (q == Quantity::Current ? 1 : 0);
}

}  // namespace

Ticket DeviceLink::internalTicket(std::function<void(bool)> done) {
    const Ticket t = kInternalTicket | ++m_internalSeq;
    m_internal.emplace(t, std::move(done));
    return t;
}

void DeviceLink::endTicket(Ticket ticket, bool tookEffect) {
    if (!(ticket & kInternalTicket)) {
        Q_EMIT commandDone(ticket, tookEffect);
        return;
    }
    const auto it = m_internal.find(ticket);
    if (it == m_internal.end()) return;
    auto done = std::move(it->second);
    m_internal.erase(it);
    if (done) done(tookEffect);
}

void DeviceLink::runPlan(const StepPlan& plan, const Envelope& envelope, Ticket ticket) {
    const auto refuse = [&](const QString& why) {
        Q_EMIT planEnded(PlanEnd::Refused, why);
        endTicket(ticket, false);
    };
    if (m_plan) return refuse(QStringLiteral("A sequence is running already."));
    if (!standing(m_mode)) return refuse(QStringLiteral("The instrument is not linked."));
    const Coupling coupling =
        Coupling(m_coupling.value_or(Op::CouplingIndep) - Op::CouplingIndep + 1);
    const std::vector<PlanViolation> wrong =
        checkPlan(plan, m_state.ModelIndex, coupling, envelope);
    if (!wrong.empty()) {
        QStringList said;
        for (const PlanViolation& v : wrong)
            said << (v.step > 0 ? QStringLiteral("Step %1: %2").arg(v.step).arg(v.what) : v.what);
        return refuse(said.join(u'\n'));
    }
    m_plan = std::make_unique<PlanRun>(*m_scheduler);
    m_plan->plan = plan;
    m_plan->ticket = ticket;
    // What the instrument holds now is where the first step's blanks and ramps start.
    m_plan->held = heldByInstrument();
    armEnvelope(envelope);
    // A run stopped from outside is told it ended a turn later, perhaps
    // after the next one began: only its own end resets it.
    const std::uint64_t generation = ++m_planGeneration;
    m_planRun = Run::start(*m_scheduler, planSequence(), [this, generation] {
        if (generation == m_planGeneration) m_planRun.reset();
    });
}

HeldValues DeviceLink::heldByInstrument() const {
    HeldValues held{};
    for (int c = 1; c <= 2; ++c)
        for (Quantity q : {Quantity::Voltage, Quantity::Current}) {
            const QString text = m_state.lastSent(setPointField(c, q));
            try {
                if (!text.isEmpty()) {
                    ChannelTarget& t = held[std::size_t(c - 1)];
                    (q == Quantity::Voltage ? t.volts : t.amps) = StrToFloat(text);
                }
            } catch (const EConvertError&) {
            }
        }
    return held;
}

// The envelope's maxima become the guard's limits for the run, a little
// above them so that a reading a digit over its set point does not trip;
// a tighter limit of the operator's own stays as it is.
void DeviceLink::armEnvelope(const Envelope& envelope) {
    const ModelProfile* mp = modelProfile(m_state.ModelIndex);
    const double digit = mp ? mp->fineStep : 0.01;
    for (int c = 1; c <= 2; ++c) {
        const std::size_t k = std::size_t(c - 1);
        for (int l = 0; l < kGuardLimits; ++l)
            m_plan->guardBefore[k][std::size_t(l)] = m_guard.setting(c, GuardLimit(l));
        const std::pair<GuardLimit, double> limits[] = {
            {GuardLimit::OverVoltage, envelope.maxVolts[k]},
            {GuardLimit::OverCurrent, envelope.maxAmps[k]},
            {GuardLimit::OverPower, envelope.maxWatts[k]}};
        for (const auto& [limit, most] : limits) {
            if (most <= 0) continue;
            const double level = std::max(most * 1.01, most + digit);
            GuardSetting s = m_guard.setting(c, limit);
            if (s.armed && s.level <= level) continue;
            applyGuard(c, limit, {.armed = true, .level = level});
        }
    }
}

void DeviceLink::stopPlan() {
    if (m_plan) endPlan(PlanEnd::Stopped, QStringLiteral("Stopped."), true);
}

void DeviceLink::pausePlan(bool paused) {
    if (!m_plan || m_plan->paused == paused) return;
    m_plan->paused = paused;
    m_plan->wake.notify();
}

void DeviceLink::nextPlanStep() {
    if (!m_plan) return;
    m_plan->next = true;
    m_plan->wake.notify();
}

void DeviceLink::notePlanReading(const Reading& r) {
    m_newest[std::size_t(newestIndex(r.channel, r.quantity))] = std::make_pair(r.value, r.at);
    if (m_plan) m_plan->wake.notify();
}

// Ends the run where it stands. Commands the plan queued and not begun are
// dropped; what is under way ends as it would.
void DeviceLink::endPlan(PlanEnd end, const QString& why, bool applyEndState) {
    if (!m_plan) return;
    std::unique_ptr<PlanRun> plan = std::move(m_plan);
    if (m_planRun) m_planRun->stop();
    for (int c = 1; c <= 2; ++c)
        for (int l = 0; l < kGuardLimits; ++l)
            applyGuard(c, GuardLimit(l), plan->guardBefore[std::size_t(c - 1)][std::size_t(l)]);
    // Run to its end, what it gave still goes out; cut short, what waits is dropped.
    for (auto it = m_queue.begin(); end != PlanEnd::Completed && it != m_queue.end();) {
        if (!it->plan) {
            ++it;
            continue;
        }
        for (Ticket t : it->tickets) endTicket(t, false);
        it = m_queue.erase(it);
    }
    if (applyEndState) {
        switch (plan->plan.end) {
            case EndState::OutputOff:
                enqueue({.kind = Command::Kind::Output, .on = false});
                break;
            case EndState::BackToFirst:
                for (int c = 1; c <= 2; ++c)
                    for (Quantity q : {Quantity::Voltage, Quantity::Current}) {
                        const ChannelTarget& t = plan->first[std::size_t(c - 1)];
                        const std::optional<double>& v = q == Quantity::Voltage ? t.volts : t.amps;
                        if (v) enqueue(planSetPoint(c, q, *v, false));
                    }
                break;
            case EndState::HoldLast:
                break;
        }
    }
    Q_EMIT planEnded(end, why);
    endTicket(plan->ticket, end == PlanEnd::Completed);
    busyMaybeChanged();
}

DeviceLink::Command DeviceLink::planSetPoint(int channel, Quantity q, double value,
                                             bool plan) const {
    return {.kind = Command::Kind::SetPoint,
            .origin = Origin::Script,
            .edit = setPointField(channel, q),
            .value = value,
            .text = FormatForModel(m_state.ModelIndex, value),
            .plan = plan};
}

// A step's coupling and recall, the set points it gives (blanks keep what
// is held), then its output. confirmStep: the step's start is confirmed
// once all of them ended.
void DeviceLink::sendPlanValues(int pass, int step, const HeldValues& values, bool confirmStep) {
    const PlanStep& s = m_plan->plan.steps[std::size_t(step)];
    auto left = std::make_shared<int>(0);
    const LinkTime began = m_scheduler->now();
    auto done = [this, left, pass, step, began, confirmStep](bool) {
        if (--*left == 0 && confirmStep)
            Q_EMIT planStepConfirmed(pass, step, msBetween(began, m_scheduler->now()));
    };
    std::vector<Command> commands;
    if (confirmStep && s.coupling) {
        const auto code = std::uint8_t(Op::CouplingIndep + int(*s.coupling) - 1);
        m_coupling = code;
        commands.push_back({.kind = Command::Kind::Coupling, .code = code, .plan = true});
    }
    if (confirmStep && s.recall)
        commands.push_back(
            {.kind = Command::Kind::Recall, .text = QString::number(s.recall), .plan = true});
    for (int c = 1; c <= 2; ++c)
        for (Quantity q : {Quantity::Voltage, Quantity::Current}) {
            const ChannelTarget& t = values[std::size_t(c - 1)];
            const std::optional<double>& v = q == Quantity::Voltage ? t.volts : t.amps;
            if (v) commands.push_back(planSetPoint(c, q, *v));
        }
    if (confirmStep && s.output != OutputChange::Unchanged)
        commands.push_back(
            {.kind = Command::Kind::Output, .on = s.output == OutputChange::On, .plan = true});
    *left = int(commands.size());
    for (Command& c : commands) {
        if (c.kind == Command::Kind::Recall) {
            // The memory's values are held from now on, but for what the step gives.
            c.tickets = {internalTicket([this, done, values, pass, step](bool took) {
                if (m_plan) {
                    const HeldValues read = heldByInstrument();
                    for (std::size_t k = 0; k < 2; ++k) {
                        ChannelTarget& h = m_plan->held[k];
                        h.volts = values[k].volts ? values[k].volts : read[k].volts;
                        h.amps = values[k].amps ? values[k].amps : read[k].amps;
                    }
                    if (pass == 0 && step == 0) m_plan->first = m_plan->held;
                }
                done(took);
            })};
        } else {
            c.tickets = {internalTicket(done)};
        }
        enqueue(std::move(c));
    }
    if (commands.empty() && confirmStep) Q_EMIT planStepConfirmed(pass, step, 0);
}

void DeviceLink::sendRampPoint(int channel, Quantity q, double value,
                               const std::shared_ptr<bool>& busy) {
    *busy = true;
    Command c = planSetPoint(channel, q, value);
    c.tickets = {internalTicket([this, busy](bool) {
        *busy = false;
        if (m_plan) m_plan->wake.notify();
    })};
    enqueue(std::move(c));
}

bool DeviceLink::planStepEnds(const EndCondition& until, LinkTime since) const {
    using K = EndCondition::Kind;
    const auto newest = [&](Quantity q) -> std::optional<double> {
        const auto& n = m_newest[std::size_t(newestIndex(until.channel, q))];
        if (!n || n->second < since) return std::nullopt;  // only what was read in this step
        return n->first;
    };
    const ChannelCounters& at = m_plan->countersAtStep[until.channel == 2 ? 1 : 0];
    const ChargeCounter& now = m_guard.counter(until.channel);
    switch (until.kind) {
        case K::None:
        case K::Operator:
            return false;
        case K::VoltageAtLeast:
            return newest(Quantity::Voltage) >= until.level;
        case K::VoltageAtMost:
            return newest(Quantity::Voltage) && *newest(Quantity::Voltage) <= until.level;
        case K::CurrentAtLeast:
            return newest(Quantity::Current) >= until.level;
        case K::CurrentAtMost:
            return newest(Quantity::Current) && *newest(Quantity::Current) <= until.level;
        case K::EntersCc:
        case K::EntersCv: {
            const auto amps = newest(Quantity::Current);
            if (!amps) return false;
            const auto cc = inConstantCurrent(until.channel, *amps);
            return cc && *cc == (until.kind == K::EntersCc);
        }
        case K::ChargeReached:
            return now.ampHours() - at.ampHours >= until.level;
        case K::EnergyReached:
            return now.wattHours() - at.wattHours >= until.level;
    }
    return false;
}

// A pause holds the schedule: the base moves on by as long as it lasted,
// which the caller adds to its own deadlines.
Task<LinkClock::duration> DeviceLink::holdWhilePaused() {
    PlanRun& p = *m_plan;
    const LinkTime from = m_scheduler->now();
    while (p.paused) co_await p.wake.wait();
    const auto held = m_scheduler->now() - from;
    p.base += held;
    co_return held;
}

// Waits for `when`, held on by a pause.
Sequence DeviceLink::planWaitUntil(LinkTime& when) {
    PlanRun& p = *m_plan;
    while (p.paused || m_scheduler->now() < when) {
        if (p.paused) {
            when += co_await holdWhilePaused();
            continue;
        }
        co_await p.wake.wait(when);
        if (p.next) co_return;
    }
}

Sequence DeviceLink::planSequence() {
    PlanRun& p = *m_plan;
    const StepPlan& plan = p.plan;
    const int steps = int(plan.steps.size());
    p.base = m_scheduler->now();
    for (int pass = 0; plan.repeats <= 0 || pass < plan.repeats; ++pass) {
        for (int i = 0; i < steps; ++i) {
            const PlanStep& s = plan.steps[std::size_t(i)];
            LinkTime due = p.base + stepDeadline(plan, pass, i);
            p.next = false;
            co_await planWaitUntil(due);
            const LinkTime started = m_scheduler->now();
            Q_EMIT planStepStarted(pass, i, msBetween(due, started));
            HeldValues target = s.recall ? HeldValues{} : p.held;
            for (std::size_t c = 0; c < 2; ++c) {
                if (s.channels[c].volts) target[c].volts = s.channels[c].volts;
                if (s.channels[c].amps) target[c].amps = s.channels[c].amps;
            }
            for (std::size_t c = 0; c < 2; ++c)
                p.countersAtStep[c] = {m_guard.counter(int(c) + 1).ampHours(),
                                       m_guard.counter(int(c) + 1).wattHours()};
            // A ramp's sub-steps, each quantity on its own line from where it was.
            struct Ramp {
                int channel;
                Quantity q;
                std::vector<RampPoint> points;
                std::size_t next = 0;
                std::shared_ptr<bool> busy = std::make_shared<bool>(false);
            };
            std::vector<Ramp> ramps;
            HeldValues given{};
            for (int c = 1; c <= 2; ++c)
                for (Quantity q : {Quantity::Voltage, Quantity::Current}) {
                    // After a recall there is nothing known to ramp from.
                    const ChannelTarget& from =
                        s.recall ? ChannelTarget{} : p.held[std::size_t(c - 1)];
                    const ChannelTarget& to = s.channels[std::size_t(c - 1)];
                    const auto& v = q == Quantity::Voltage ? to.volts : to.amps;
                    const auto& was = q == Quantity::Voltage ? from.volts : from.amps;
                    if (!v) continue;
                    if (s.ramp && was) {
                        const ModelProfile* mp = modelProfile(m_state.ModelIndex);
                        ramps.push_back(
                            {c, q,
                             rampPoints(*was, *v, s.dwell,
                                        std::max(std::chrono::milliseconds(m_setup.timings.passMs),
                                                 rampInterval(m_setup.baud)),
                                        mp ? mp->fineStep : 0)});
                        continue;
                    }
                    auto& slot = q == Quantity::Voltage ? given[std::size_t(c - 1)].volts
                                                        : given[std::size_t(c - 1)].amps;
                    slot = v;
                }
            sendPlanValues(pass, i, given, true);
            m_planGiven.notify();
            p.held = target;
            if (pass == 0 && i == 0) p.first = target;

            LinkTime end = p.base + stepDeadline(plan, pass, i + 1);
            p.nextStart = end;
            LinkTime stepBase = started;
            while (true) {
                if (p.next || planStepEnds(s.until, started)) {
                    p.nextStart = m_scheduler->now();
                    // Ends early: the steps after it keep their dwells from now.
                    p.base -= end - m_scheduler->now();
                    break;
                }
                LinkTime wake = end;
                for (Ramp& r : ramps) {
                    // One value in flight: the newest due goes once the one
                    // before has ended, so the line sets the ramp's grain.
                    std::size_t reached = r.next;
                    while (reached < r.points.size() &&
                           stepBase + r.points[reached].at <= m_scheduler->now())
                        ++reached;
                    if (reached > r.next && !*r.busy) {
                        r.next = reached;
                        sendRampPoint(r.channel, r.q, r.points[reached - 1].value, r.busy);
                    }
                    // While one is in flight, its end wakes the run.
                    if (r.next < r.points.size() && !*r.busy)
                        wake = std::min(wake, stepBase + r.points[r.next].at);
                }
                if (m_scheduler->now() >= end) {
                    for (Ramp& r : ramps)  // its target, whatever the line let through
                        if (r.next < r.points.size())
                            sendRampPoint(r.channel, r.q, r.points.back().value, r.busy);
                    break;
                }
                if (p.paused) {
                    const auto held = co_await holdWhilePaused();
                    end += held;
                    p.nextStart = end;
                    stepBase += held;
                    continue;
                }
                co_await p.wake.wait(wake);
            }
        }
    }
    endPlan(PlanEnd::Completed, QStringLiteral("The sequence ran to its end."), true);
}

}  // namespace lqs
