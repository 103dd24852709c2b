// The guard on the link: each reading checked as it arrives, and a trip
// switching the output off ahead of anything waiting, latched until cleared.
#include "device_link/device_link.h"

#include "common/convert.h"
#include "device_link/model_profile.h"
#include "device_link/reply_parser.h"

#include <algorithm>

namespace lqs {

// The operator's or a script's: during a run it is also what the run gives back.
void DeviceLink::setGuard(int channel, GuardLimit limit, const GuardSetting& setting) {
    if (m_plan) m_plan->guardBefore[channel == 2 ? 1 : 0][std::size_t(limit)] = setting;
    applyGuard(channel, limit, setting);
}

void DeviceLink::applyGuard(int channel, GuardLimit limit, const GuardSetting& setting) {
    const bool wasFast = fastSchedule();
    GuardSetting s = setting;
    s.delay = std::clamp(s.delay, std::chrono::milliseconds(0), kLongestGuardDelay);
    m_guard.set(channel, limit, s);
    if (fastSchedule() == wasFast) return;
    m_fastStopMs = 0;
    // A limit read every few seconds guards nothing: the schedule follows.
    if (m_state.PollingEnabled == 1) StartPollThread();
}

void DeviceLink::clearTrip() {
    if (!m_guard.tripped()) return;
    m_guard.clear();
    Q_EMIT guardCleared();
}

void DeviceLink::clearCounters(int channel) {
    m_guard.clearCounter(channel);
    Q_EMIT countersChanged(channel, {});
}

// Only while the output is on: readings then are what flows, and counted.
void DeviceLink::feedGuard(const Reading& r) {
    if (m_state.OutputOn != 1) {
        m_guard.interrupted();
        return;
    }
    if (r.quantity == Quantity::Voltage) {
        if (const auto trip = m_guard.voltage(r.channel, r.value, r.at)) tripOutput(*trip);
        return;
    }
    const ChargeCounter& before = m_guard.counter(r.channel);
    const double ah = before.ampHours(), wh = before.wattHours();
    auto trip = m_guard.current(r.channel, r.value, r.at);
    const ChargeCounter& after = m_guard.counter(r.channel);
    if (after.ampHours() != ah || after.wattHours() != wh)
        Q_EMIT countersChanged(r.channel, {after.ampHours(), after.wattHours()});
    if (!trip) {
        if (const auto cc = inConstantCurrent(r.channel, r.value))
            trip = m_guard.constantCurrent(r.channel, *cc, r.at);
    }
    if (trip) tripOutput(*trip);
}

// As the window tells it: at the current limit the instrument holds, within
// a step and a half of it. Unknown while the link knows no limit.
std::optional<bool> DeviceLink::inConstantCurrent(int channel, double amps) const {
    const ModelProfile* p = modelProfile(m_state.ModelIndex);
    const QString held = m_state.lastSent(channel == 2 ? 8 : 6);
    if (!p || held.isEmpty()) return std::nullopt;
    try {
        return amps >= StrToFloat(held) - p->fineStep * 1.5;
    } catch (const EConvertError&) {
        return std::nullopt;
    }
}

// Off goes first: output commands waiting are dropped (an "on" refused, an
// "off" answered by this one), and nothing else waiting runs before it.
void DeviceLink::tripOutput(const GuardTrip& trip) {
    Q_EMIT guardTripped(trip);
    endPlan(PlanEnd::Tripped,
            QStringLiteral("Stopped by the guard: channel %1 %2.")
                .arg(trip.channel)
                .arg(guardLimitName(trip.limit)),
            false);
    Command off{.kind = Command::Kind::Output, .on = false, .trip = true};
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (it->kind != Command::Kind::Output) {
            ++it;
            continue;
        }
        for (Ticket t : it->tickets) {
            if (!t) continue;
            if (it->on)
                endTicket(t, false);
            else
                off.tickets.push_back(t);
        }
        it = m_queue.erase(it);
    }
    m_queue.push_front(std::move(off));
    publishOutput();
    busyMaybeChanged();
    runNext();
}

// The pause before "off" once polling stops. For a trip, when no query is
// open, the reply that tripped ended the line's last exchange: only the gap
// the instrument needs before a command is left, not a reply's deadline.
int DeviceLink::offStopPause() const {
    const int parts = stopPause(m_setup.timings.outputOffWaitMs);
    if (!m_current || !m_current->trip || !m_gap) return parts;
    const bool open = std::any_of(m_outstanding.begin(), m_outstanding.end(),
                                  [](const Outstanding& o) { return !o.closed; });
    if (open) return parts;
    return std::min(parts, int(m_gap->commandGap().count()));
}

// After a trip's "OUT0": the status says whether the output is off. Said on
// once, the off goes out again and is asked again.
Sequence DeviceLink::confirmTripOff() {
    const LinkTimings& t = m_setup.timings;
    for (int attempt = 0; attempt < 2; ++attempt) {
        From from;
        from.confirm = true;  // sent with the output already off
        if (attempt > 0) co_await SendCommand(QStringLiteral("OUT0"), from);
        m_confirmation.reset();
        if (co_await SendCommand(QStringLiteral("STATUS?"), from) != Sent::Written) break;
        co_await pause(t.pollPasses * t.passMs);
        closeReplies();
        if (m_confirmation != TripConfirmation::StillOn) break;
    }
    Q_EMIT tripConfirmed(m_confirmation.value_or(TripConfirmation::Unanswered));
    m_confirmation.reset();
}

void DeviceLink::settleConfirmation(const QByteArray& bytes) {
    ReplyInput in;
    in.mode = Parse::Ignore;
    in.query = QStringLiteral("STATUS?");
    in.bytes = bytes;
    const ReplyOutcome out = ReplyParser(in);
    if (out.outputDigit == QLatin1String("0"))
        m_confirmation = TripConfirmation::Off;
    else if (out.outputDigit == QLatin1String("1"))
        m_confirmation = TripConfirmation::StillOn;
}

}  // namespace lqs
