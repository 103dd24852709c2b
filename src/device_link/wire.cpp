// Frames onto the line. A query is outstanding, and named, before its first
// byte leaves; the queries before it are closed then, since the next command
// came due. A reply still missing at that moment gets its grace, and then
// the missing-reply path: the countdown and the time-out box.
#include "device_link/device_link.h"

#include "device_link/link_log.h"
#include "device_link/protocol.h"

#include <algorithm>

namespace lqs {

namespace {
QByteArray FrameCommand(const QString& command) {
    QByteArray frame = command.toLatin1();
    frame.append('\r');
    frame.append('\n');
    return frame;
}
}  // namespace

// A save leaves no operation pending, yet the link stands: a caller's
// reading may still be asked.
bool DeviceLink::sendingStopped(const From& from) const {
    return m_state.PendingOperation == Op::None && !from.measure && !from.confirm;
}

// The reply to the query sent last has not begun to arrive. A reply that
// lost only its last bytes has begun: it is settled, not timed out.
bool DeviceLink::replyMissing() const {
    if (m_state.AwaitingReply != 1) return false;
    const auto open = std::find_if(m_outstanding.begin(), m_outstanding.end(),
                                   [](const Outstanding& r) { return !r.closed; });
    return open == m_outstanding.end() ||
           (open->bytes.isEmpty() && open->implausible.isEmpty() && !open->overlong);
}

Task<DeviceLink::Sent> DeviceLink::SendCommand(QString command, From from) {
    if (sendingStopped(from)) co_return Sent::Skipped;
    if (!replyMissing()) co_return TransmitFrame(command, from, false);
    if (m_mode == LinkMode::TimedOut) co_return TransmitFrame(command, from, true);
    co_await pause(m_setup.timings.replyGraceMs);
    if (sendingStopped(from)) co_return Sent::Skipped;
    const bool dropped = replyMissing();
    if (dropped) missingReply();
    co_return TransmitFrame(command, from, dropped);
}

DeviceLink::Sent DeviceLink::TransmitFrame(const QString& command, const From& from, bool dropped) {
    if (from.waitingId) {
        // Sent only while it still waits with this value.
        const auto w =
            std::find_if(m_waiting.begin(), m_waiting.end(),
                         [&](const WaitingSetPoint& x) { return x.id == from.waitingId; });
        if (w == m_waiting.end() || w->sent || setPointFrame(*w) != command) return Sent::Stale;
    }
    bool closed = false;
    if (!dropped) {
        // The next command is due: what the queries before it got is all they get.
        for (Outstanding& r : m_outstanding) {
            if (r.closed) continue;
            r.closed = closed = true;
        }
        if (isQuery(command)) {
            Outstanding r;
            r.seq = ++m_querySeq;
            r.query = command;
            r.poll = from.poll;
            r.measure = from.measure;
            r.confirm = from.confirm;
            r.sentAt = m_scheduler->now();
            m_outstanding.push_back(std::move(r));
        }
        if (from.poll) m_state.LastQuery = command;
    }
    const std::uint8_t op = m_state.PendingOperation;
    if (!from.measure && !from.confirm)
        m_state.AwaitingReply = (op == Op::StartupQuery || op == Op::Polling) ? 1 : 0;
    bool refused = false;
    if (!dropped) {
        refused = !m_port || !m_port->sendFrame(FrameCommand(command));
        if (FrameHandedOver) FrameHandedOver(command);
        if (from.waitingId) setPointSent(from.waitingId);
        qCDebug(lqsLink).noquote().nospace()
            << "sent " << command << (from.poll ? " (poll query)" : "")
            << (from.measure ? " (a caller's reading)" : "")
            << (from.waitingId ? " (waiting set point)" : "")
            << (refused ? ", refused by the port" : "");
    } else {
        qCDebug(lqsLink).noquote() << "not sent:" << command << "(the reply before it is missing)";
    }
    // Settled on the next turn, so what they set going never runs inside a send.
    if (closed) {
        m_scheduler->post([this, alive = std::weak_ptr<bool>(m_alive)] {
            if (!alive.expired()) settleClosed();
        });
    }
    if (refused) Q_EMIT frameRefused();
    return dropped ? Sent::Dropped : Sent::Written;
}

// The reply did not come: the readings stop being current, nothing waits for
// the link any more, and the countdown ends in the time-out box.
void DeviceLink::missingReply() {
    if (m_mode == LinkMode::LineLost || m_mode == LinkMode::TimedOut) return;
    markStale(StaleReason::NoReply);
    setMode(LinkMode::TimedOut);
    m_state.PollingEnabled = 0;
    if (m_poll) m_poll->stop();
    failMeasures();
    failWaiting();
    m_countdown = Run::start(*m_scheduler, countdown(), [this] { runNext(); });
}

// Readings no longer come: what the fields show is from before, and the
// recorder must not take it for current.
void DeviceLink::markStale(StaleReason why) {
    forgetAges();  // all of them are not current now
    m_guard.interrupted();
    if (m_stale) return;
    m_stale = true;
    Q_EMIT readingsStale(m_scheduler->wallTime(m_scheduler->now()), why);
}

}  // namespace lqs
