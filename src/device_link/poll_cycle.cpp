// The nine-query cycle while the output is on, and what waits for its gaps:
// set points changed while the output is on, and readings a caller asked for.
#include "device_link/device_link.h"

#include "common/convert.h"
#include "device_link/link_log.h"
#include "device_link/protocol.h"
#include "device_link/set_point_math.h"

#include <algorithm>
#include <utility>

namespace lqs {

// ---- The cycle ----

void DeviceLink::stopPolling() {
    m_state.PollingEnabled = 0;
    if (m_poll) m_poll->stop();
    m_released.notify();
    m_settled.notify();
    // Readings not yet asked are not asked now.
    for (const Ask& ask : std::deque<Ask>(std::move(m_measureAsks))) answerMeasure(ask, false, 0);
    m_measureAsks.clear();
    updateMode();
}

// A new cycle replaces the one running, if any; its pace counts from now.
void DeviceLink::StartPollThread() {
    m_state.AwaitingReply = 0;
    if (m_poll) m_poll->stop();
    const LinkTime start = m_scheduler->now();
    if (fastSchedule())
        m_poll = Run::start(*m_scheduler, FastPoll());
    else
        m_poll = Run::start(*m_scheduler, PollThread(start));
    updateMode();
}

// The gate before each query: a held stepper pauses the cycle here.
Sequence DeviceLink::holdReleased() {
    while (m_state.HoldTicks != 0 && m_state.PollingEnabled == 1) co_await m_released.wait();
}

Sequence DeviceLink::PollThread(LinkTime start) {
    const LinkTimings& t = m_setup.timings;
    const auto pace = [this, &t] { return pause(t.pollPasses * t.passMs); };
    co_await Until(start + std::chrono::milliseconds(t.pollStartMs));
    m_statusAnswered = false;
    for (const char* query : kPollQueries) {
        co_await holdReleased();
        if (m_state.PollingEnabled == 0) co_return;
        co_await pace();
        From from;
        from.poll = true;
        co_await SendCommand(QString::fromLatin1(query), from);
        co_await pace();
        co_await sendWaitingSetPoints();
        co_await sendMeasureAsks();
    }
    // The status reply starts the next cycle, which replaces this one. One
    // that never comes is a missing reply like any other: after its grace,
    // the countdown, not a link that silently stops reading.
    co_await pause(t.replyGraceMs);
    if (!m_statusAnswered && m_state.PollingEnabled == 1) missingReply();
}

// A caller's reading goes out between the cycle's queries, a pace after it
// like theirs, so its reply is in before the next query.
Sequence DeviceLink::sendMeasureAsks() {
    const LinkTimings& t = m_setup.timings;
    while (!m_measureAsks.empty()) {
        const Ask ask = m_measureAsks.front();
        m_measureAsks.pop_front();
        m_measuresSent.push_back(ask);
        From from;
        from.measure = ask->ticket;
        if (co_await SendCommand(queryOfField(ask->edit), from) != Sent::Written) {
            answerMeasure(ask, false, 0);
            co_return;
        }
        co_await pause(t.pollPasses * t.passMs);
    }
}

void DeviceLink::answerMeasure(const Ask& ask, bool ok, double value) {
    if (ask->answered) return;
    ask->answered = true;
    ask->ok = ok;
    ask->value = value;
    m_measuresSent.erase(std::remove(m_measuresSent.begin(), m_measuresSent.end(), ask),
                         m_measuresSent.end());
    m_fastMeasures.erase(std::remove(m_fastMeasures.begin(), m_fastMeasures.end(), ask),
                         m_fastMeasures.end());
    if (ask->ticket) Q_EMIT measureDone(ask->ticket, ok, value);
    m_settled.notify();
}

// Nothing more will answer: every caller still waiting hears so.
void DeviceLink::failMeasures() {
    std::vector<Ask> all(m_measureAsks.begin(), m_measureAsks.end());
    all.insert(all.end(), m_fastMeasures.begin(), m_fastMeasures.end());
    all.insert(all.end(), m_measuresSent.begin(), m_measuresSent.end());
    m_measureAsks.clear();
    for (const Ask& ask : all) answerMeasure(ask, false, 0);
}

// ---- Set points that wait for a gap ----

// The command's value waits for the next gap; its command ends when it went out.
std::uint64_t DeviceLink::deferSetPoint(const Command& c) {
    WaitingSetPoint w;
    w.id = ++m_waitingIds;
    w.edit = c.edit;
    w.value = c.value;
    w.text = c.text;
    w.origin = c.origin;
    // Its command's tickets are told once it went out.
    if (m_current) w.tickets = std::exchange(m_current->tickets, {});
    m_waiting.push_back(std::move(w));
    m_state.SetPointDeferred = 1;
    return m_waiting.back().id;
}

// Its command's tickets, and those of the window's values that replaced it
// while it waited, are told here.
void DeviceLink::finishWaiting(std::uint64_t id, bool tookEffect) {
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                                 [id](const WaitingSetPoint& w) { return w.id == id; });
    if (it == m_waiting.end()) return;
    const std::vector<Ticket> tickets = std::move(it->tickets);
    m_waiting.erase(it);
    if (m_waiting.empty()) m_state.SetPointDeferred = 0;
    for (Ticket t : tickets)
        if (t) endTicket(t, tookEffect);
    m_settled.notify();
}

// Every command but a set point waits for the set points before it to go
// out; with no gap to come, they are given up.
Sequence DeviceLink::waitingSettled() {
    while (!m_waiting.empty()) {
        if (!pollRunning()) {
            failWaiting();
            break;
        }
        co_await m_settled.wait();
    }
}

// Those on the line stand as sent; the others never went out.
void DeviceLink::failWaiting() {
    std::vector<std::pair<std::uint64_t, bool>> all;
    for (const WaitingSetPoint& w : m_waiting) all.emplace_back(w.id, w.sent);
    for (const auto& [id, sent] : all) finishWaiting(id, sent);
}

// Right after its frame went out: the instrument holds it, and a reply to
// its field's query still on the way tells the old value, so is not shown.
void DeviceLink::setPointSent(std::uint64_t id) {
    auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                           [id](const WaitingSetPoint& w) { return w.id == id; });
    if (it == m_waiting.end()) return;
    const int edit = it->edit;
    // A newer value of the field went out: the older ones stand as sent.
    std::vector<std::uint64_t> older;
    for (const WaitingSetPoint& w : m_waiting)
        if (w.edit == edit && w.sent && w.id != id) older.push_back(w.id);
    for (std::uint64_t o : older) finishWaiting(o, true);
    it = std::find_if(m_waiting.begin(), m_waiting.end(),
                      [id](const WaitingSetPoint& w) { return w.id == id; });
    m_state.setLastSent(it->edit, it->text);
    const SetPointOp op = setPointOfField(it->edit);
    Q_EMIT setPointHeld(it->edit <= 6 ? 1 : 2, op.voltage ? Quantity::Voltage : Quantity::Current,
                        it->text);
    const QString query = queryOfField(it->edit);
    for (Outstanding& r : m_outstanding)
        if (r.query == query) r.stale = true;
    if (m_mode == LinkMode::FastReadings) {
        // Read back by its field's next query before it counts as done.
        it->sent = true;
        it->readBack = true;
        return;
    }
    finishWaiting(id, true);
}

QString DeviceLink::setPointFrame(const WaitingSetPoint& w) const {
    return QString::fromLatin1(setPointOfField(w.edit).command) + SetPointNumber(w.value);
}

// Every waiting set point, oldest change first, one command each.
Sequence DeviceLink::sendWaitingSetPoints() {
    for (;;) {
        const auto next = std::find_if(m_waiting.begin(), m_waiting.end(),
                                       [](const WaitingSetPoint& w) { return !w.sent; });
        if (next == m_waiting.end()) co_return;
        From from;
        from.waitingEdit = next->edit;
        from.waitingId = next->id;
        const Sent sent = co_await SendCommand(setPointFrame(*next), from);
        // Stale: changed again while it waited for its grace; its new value is next.
        if (sent != Sent::Written && sent != Sent::Stale) co_return;
    }
}

}  // namespace lqs
