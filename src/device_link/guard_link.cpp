// The guard on the link: each reading checked as it arrives, and a trip
// switching the output off ahead of anything waiting, latched until cleared.
#include "device_link/device_link.h"

#include <algorithm>

namespace lqs {

void DeviceLink::setGuard(int channel, GuardLimit limit, const GuardSetting& setting) {
    const bool wasFast = fastSchedule();
    m_guard.set(channel, limit, setting);
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

// Only while the output is on: readings then are what flows, and counted.
void DeviceLink::feedGuard(const Reading& r) {
    if (m_state.OutputOn != 1) {
        m_guard.interrupted();
        return;
    }
    const auto trip = r.quantity == Quantity::Voltage ? m_guard.voltage(r.channel, r.value, r.at)
                                                      : m_guard.current(r.channel, r.value, r.at);
    if (trip) tripOutput(*trip);
}

// Off goes first: output commands waiting are dropped (an "on" refused, an
// "off" answered by this one), and nothing else waiting runs before it.
void DeviceLink::tripOutput(const GuardTrip& trip) {
    Q_EMIT guardTripped(trip);
    Command off{.kind = Command::Kind::Output, .on = false};
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (it->kind != Command::Kind::Output) {
            ++it;
            continue;
        }
        for (Ticket t : it->tickets) {
            if (!t) continue;
            if (it->on)
                Q_EMIT commandDone(t, false);
            else
                off.tickets.push_back(t);
        }
        it = m_queue.erase(it);
    }
    m_tripping = true;
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
    if (!m_tripping || !m_gap) return parts;
    const bool open = std::any_of(m_outstanding.begin(), m_outstanding.end(),
                                  [](const Outstanding& o) { return !o.closed; });
    if (open) return parts;
    return std::min(parts, int(m_gap->commandGap().count()));
}

}  // namespace lqs
