// The parts of the device link that the poll worker runs or shares with the
// user-interface thread: the wire lock with the frames, the outstanding
// queries and the waiting set points; the worker and its waits. Lock order:
// m_lock, then LinkState's text lock; m_pollMutex is never held with m_lock.
#include "device_link/device_link.h"

#include "common/convert.h"
#include "device_link/link_log.h"
#include "device_link/protocol.h"
#include "device_link/set_point_math.h"
#include "device_link/strand.h"
#include "serial/comm.h"

#include <QThread>

#include <algorithm>

namespace lqs {

using Clock = std::chrono::steady_clock;

DeviceLink::~DeviceLink() {
    if (m_comm) {
        m_comm->OnReceiveData = nullptr;
        m_comm->OnRequestHangup = nullptr;
    }
    m_state.PendingOperation = Op::None;
    m_state.PollingEnabled = 0;
    {
        std::lock_guard<std::mutex> lock(m_pollMutex);
        m_quit = true;
        ++m_epoch;
    }
    m_pollWake.notify_all();
    if (m_worker.joinable()) m_worker.join();
}

bool DeviceLink::inUiThread() const {
    return QThread::currentThread() == thread();
}

// ---- Sending ----

namespace {
QByteArray FrameCommand(const QString& command) {
    QByteArray frame = command.toLatin1();
    frame.append('\r');
    frame.append('\n');
    return frame;
}
}  // namespace

// The reply to the query sent last has not begun to arrive. A reply that
// lost only its last bytes has begun: it is settled, not timed out.
bool DeviceLink::replyMissing() const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_state.AwaitingReply != 1) return false;
    const auto open = std::find_if(m_outstanding.begin(), m_outstanding.end(),
                                   [](const Outstanding& r) { return !r.closed; });
    return open == m_outstanding.end() || (open->bytes.isEmpty() && !open->overlong);
}

// Stale: a poll cycle that was stopped or replaced, or a set point that no
// longer waits with this text. Called under m_lock.
bool DeviceLink::currentLocked(const SendFrom& from) const {
    if (from.epoch != 0 && from.epoch != m_epoch.load()) return false;
    if (from.waitingEdit != 0) {
        const auto it =
            std::find_if(m_waiting.begin(), m_waiting.end(),
                         [&](const WaitingSetPoint& w) { return w.edit == from.waitingEdit; });
        if (it == m_waiting.end() || it->text != from.text) return false;
    }
    return true;
}

// Under one lock with the parser's settling: the query is outstanding, and
// AwaitingReply set, before the frame's first byte leaves.
DeviceLink::Sent DeviceLink::TransmitFrame(const QString& command, const SendFrom& from,
                                           bool dropped) {
    const QByteArray frame = FrameCommand(command);
    bool refused = false;
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!currentLocked(from)) return Sent::Stale;
        if (!dropped) {
            // The next command is due: what the queries before it got is all they get.
            for (Outstanding& r : m_outstanding) {
                if (!r.closed) closed = r.closed = true;
            }
            if (isQuery(command)) {
                Outstanding r;
                r.query = command;
                r.poll = from.poll;
                r.measure = from.measure;
                m_outstanding.push_back(std::move(r));
            }
            if (from.poll) m_state.setLastQuery(command);
        }
        const std::uint8_t op = m_state.PendingOperation;
        if (!from.measure)
            m_state.AwaitingReply = (op == Op::StartupQuery || op == Op::Polling) ? 1 : 0;
        if (!dropped) {
            refused = !writeFrame(frame);
            if (FrameHandedOver) FrameHandedOver(command);
            if (from.waitingEdit) setPointSentLocked(from.waitingEdit, from.text);
        }
        // Under the lock, so that the log names a frame before its reply.
        if (dropped) {
            qCDebug(lqsLink).noquote()
                << "not sent:" << command << "(the reply before it is missing)";
        } else {
            qCDebug(lqsLink).noquote().nospace()
                << "sent " << command << (from.poll ? " (poll query)" : "")
                << (from.measure ? " (remote reading)" : "")
                << (from.waitingEdit ? " (waiting set point)" : "")
                << (inUiThread() ? " from the ui thread" : " from the worker")
                << (refused ? ", refused by the port" : "");
        }
    }
    if (closed) {
        if (inUiThread()) {
            settleClosed();
        } else {
            QMetaObject::invokeMethod(
                this, [this] { settleClosed(); }, Qt::QueuedConnection);
        }
    }
    if (refused) reportSendFailed();
    return dropped ? Sent::Skipped : Sent::Written;
}

// One byte per send request; a refused byte ends the frame.
bool DeviceLink::writeFrame(const QByteArray& frame) {
    if (!m_comm) return false;
    for (char byte : frame) {
        if (!m_comm->SendBytes(&byte, 1)) return false;
    }
    return true;
}

void DeviceLink::reportSendFailed() {
    if (inUiThread()) {
        Q_EMIT sendFailed();
    } else {
        QMetaObject::invokeMethod(
            this, [this] { Q_EMIT sendFailed(); }, Qt::QueuedConnection);
    }
}

// In the user-interface thread the grace for a missing reply is a pause of
// the strand, never a wait inside the handler. done learns what became of
// the frame.
void DeviceLink::sendFromUi(const QString& command, const SendFrom& from,
                            std::function<void(Sent)> done) {
    then([this, command, from, done] {
        const auto finish = [done](Sent s) {
            if (done) done(s);
        };
        // A save leaves no operation pending, yet the link stands: a remote
        // client's reading may still be asked.
        const auto stopped = [this, from] {
            return m_state.PendingOperation == Op::None && !from.measure;
        };
        if (stopped()) return finish(Sent::Skipped);
        if (!replyMissing()) return finish(TransmitFrame(command, from, false));
        if (m_timeoutShown) return finish(TransmitFrame(command, from, true));
        pause(m_timings.replyGraceMs);
        then([this, command, from, finish, stopped] {
            if (stopped()) return finish(Sent::Skipped);
            const bool dropped = replyMissing();
            if (dropped) linkLost();
            finish(TransmitFrame(command, from, dropped));
        });
    });
}

DeviceLink::Sent DeviceLink::transmitFromWorker(const QString& command, const SendFrom& from) {
    if (m_state.PendingOperation == Op::None) return Sent::Skipped;
    if (from.epoch != m_epoch.load()) return Sent::Stale;
    bool dropped = false;
    if (replyMissing()) {
        if (!m_timeoutShown &&
            !sleepUntil(Clock::now() + std::chrono::milliseconds(m_timings.replyGraceMs),
                        from.epoch))
            return Sent::Stale;
        if (replyMissing()) {
            dropped = true;
            linkLost();
        }
    }
    return TransmitFrame(command, from, dropped);
}

// The reply did not come: count down in the querying dialog, then the
// time-out box, whose closing ends the program. Both threads can find the
// reply missing at once; the first one's countdown is the only one.
void DeviceLink::linkLost() {
    if (m_lineGone) return;  // nothing more will answer; the window already says why
    if (m_timeoutShown.exchange(true)) return;
    if (inUiThread()) {
        startCountdown();
    } else {
        QMetaObject::invokeMethod(
            this, [this] { startCountdown(); }, Qt::QueuedConnection);
    }
}

// ---- Set points changed while the output is on ----

// The field's confirmed text waits for the next query. A field changed again
// keeps one entry, with its newest text, at the end.
void DeviceLink::deferSetPoint(int edit, const QString& text) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                   [&](const WaitingSetPoint& w) { return w.edit == edit; }),
                    m_waiting.end());
    m_waiting.push_back({edit, text});
    m_state.SetPointDeferred = 1;
}

void DeviceLink::dropWaitingSetPoints(int edit) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_waiting.erase(
        std::remove_if(m_waiting.begin(), m_waiting.end(),
                       [&](const WaitingSetPoint& w) { return edit == 0 || w.edit == edit; }),
        m_waiting.end());
    if (m_waiting.empty()) m_state.SetPointDeferred = 0;
}

// Right after the command went out: the entry is done, and a reply to this
// field's query still on its way tells the old value, so it is not shown.
void DeviceLink::setPointSentLocked(int edit, const QString& text) {
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(), [&](const WaitingSetPoint& w) {
        return w.edit == edit && w.text == text;
    });
    if (it == m_waiting.end()) return;
    m_state.setLastSent(edit, text);
    m_waiting.erase(it);
    if (m_fast) {
        // Read back by the field's next query; the second time, what it reads stands.
        const std::size_t i = std::size_t(edit - 5);
        m_readBack[i] = {text, true, m_sendAgain[i]};
        m_sendAgain[i] = false;
    }
    const QString query = queryOfField(edit);
    for (Outstanding& r : m_outstanding) {
        if (r.query == query) r.stale = true;
    }
    if (m_waiting.empty()) m_state.SetPointDeferred = 0;
}

// The oldest waiting set point and its command, with the frame's origin
// filled in; false when none waits. A text that is no number (confirming
// always writes one, so this does not happen) is dropped.
bool DeviceLink::nextWaiting(SendFrom& from, QString& command) {
    for (;;) {
        WaitingSetPoint next;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_waiting.empty()) return false;
            next = m_waiting.front();
        }
        QString text = next.text.isEmpty() ? QStringLiteral("0") : next.text;
        try {
            command =
                QString::fromLatin1(setPointOfField(next.edit).command) + FormatSetPoint(text);
        } catch (const EConvertError&) {
            dropWaitingSetPoints(next.edit);
            continue;
        }
        from.waitingEdit = next.edit;
        from.text = next.text;
        return true;
    }
}

// Every waiting set point, oldest change first, one command each.
void DeviceLink::sendNextWaiting() {
    SendFrom from;
    QString command;
    if (!nextWaiting(from, command)) return;
    sendFromUi(command, from, [this](Sent sent) {
        if (sent != Sent::Skipped)
            sendNextWaiting();  // stale: the field changed again, and waits anew
    });
}

void DeviceLink::sendWaitingFromWorker(std::uint64_t epoch) {
    SendFrom from;
    from.epoch = epoch;
    QString command;
    while (nextWaiting(from, command)) {
        const Sent sent = transmitFromWorker(command, from);
        if (sent == Sent::Skipped || epoch != m_epoch.load()) return;
    }
}

// ---- The poll worker ----

void DeviceLink::stopPolling() {
    m_state.PollingEnabled = 0;
    if (inUiThread()) dropMeasureAsks();
    {
        std::lock_guard<std::mutex> lock(m_pollMutex);
        ++m_epoch;  // whatever cycle still runs may not send again
    }
    m_pollWake.notify_all();
}

// A new cycle replaces the one running, if any; its pace counts from now.
void DeviceLink::StartPollThread() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_state.AwaitingReply = 0;
    }
    {
        std::lock_guard<std::mutex> lock(m_pollMutex);
        ++m_triggers;
        ++m_epoch;
        m_triggerTime = Clock::now();
    }
    m_pollWake.notify_all();
}

void DeviceLink::holdStarted() {
    m_state.HoldTicks = 0;
}

void DeviceLink::holdTick() {
    m_state.HoldTicks = m_state.HoldTicks + 1;
}

void DeviceLink::holdEnded() {
    {
        std::lock_guard<std::mutex> lock(m_pollMutex);
        m_state.HoldTicks = 0;
    }
    m_pollWake.notify_all();
}

void DeviceLink::pollWorker() {
    std::unique_lock<std::mutex> lock(m_pollMutex);
    std::uint64_t seen = 0;
    for (;;) {
        m_pollWake.wait(lock, [&] { return m_quit || m_triggers != seen; });
        if (m_quit) return;
        seen = m_triggers;
        const std::uint64_t epoch = m_epoch.load();
        const Clock::time_point start = m_triggerTime;
        const FastPollTimings fast = m_fastTimings;
        lock.unlock();
        m_cycleRunning = true;
        if (m_fast)
            FastPoll(epoch, fast);
        else
            PollThread(epoch, start);
        m_cycleRunning = false;
        lock.lock();
    }
}

// False when the cycle was stopped or replaced, or the link is going away.
bool DeviceLink::sleepUntil(Clock::time_point deadline, std::uint64_t epoch) {
    std::unique_lock<std::mutex> lock(m_pollMutex);
    return !m_pollWake.wait_until(lock, deadline,
                                  [&] { return m_quit || m_epoch.load() != epoch; });
}

// The gate before each query: a held stepper pauses the cycle here.
bool DeviceLink::waitForHold(std::uint64_t epoch) {
    std::unique_lock<std::mutex> lock(m_pollMutex);
    m_pollWake.wait(lock, [&] {
        return m_quit || m_epoch.load() != epoch || m_state.PollingEnabled == 0 ||
               m_state.HoldTicks == 0;
    });
    return !m_quit && m_epoch.load() == epoch && m_state.PollingEnabled == 1;
}

void DeviceLink::PollThread(std::uint64_t epoch, Clock::time_point start) {
    using std::chrono::milliseconds;
    if (!sleepUntil(start + milliseconds(m_timings.pollStartMs), epoch)) return;
    const milliseconds pace(m_timings.pollPasses * m_timings.passMs);
    for (const char* query : kPollQueries) {
        if (!waitForHold(epoch)) return;
        if (!sleepUntil(Clock::now() + pace, epoch)) return;
        SendFrom from;
        from.epoch = epoch;
        from.poll = true;
        if (transmitFromWorker(QString::fromLatin1(query), from) == Sent::Stale) return;
        if (!sleepUntil(Clock::now() + pace, epoch)) return;
        sendWaitingFromWorker(epoch);
        sendMeasuresFromWorker(epoch);
    }
}

// A remote client's reading goes out between the cycle's queries, a pace
// after it like theirs, so its reply is in before the next query.
void DeviceLink::sendMeasuresFromWorker(std::uint64_t epoch) {
    const std::chrono::milliseconds pace(m_timings.pollPasses * m_timings.passMs);
    for (;;) {
        std::pair<std::uint64_t, int> ask;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_measureAsk.empty()) return;
            ask = m_measureAsk.front();
            m_measureAsk.pop_front();
        }
        SendFrom from;
        from.epoch = epoch;
        from.measure = ask.first;
        if (transmitFromWorker(queryOfField(ask.second), from) != Sent::Written) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_measureAsk.push_front(ask);  // the next cycle asks it
            return;
        }
        if (!sleepUntil(Clock::now() + pace, epoch)) return;
    }
}

// ---- Fast readings ----

void DeviceLink::setFastTimings(const FastPollTimings& timings) {
    std::lock_guard<std::mutex> lock(m_pollMutex);
    m_fastTimings = timings;
}

DeviceLink::FastStats DeviceLink::fastStats() const {
    std::lock_guard<std::mutex> lock(m_statsMutex);
    return m_stats;
}

std::uint64_t DeviceLink::repliesSoFar() {
    std::lock_guard<std::mutex> lock(m_pollMutex);
    return m_replySeq;
}

bool DeviceLink::openPollQuery() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return std::any_of(m_outstanding.begin(), m_outstanding.end(),
                       [](const Outstanding& r) { return !r.closed; });
}

DeviceLink::Answer DeviceLink::waitForReply(std::uint64_t seen, Clock::time_point deadline,
                                            std::uint64_t epoch) {
    std::unique_lock<std::mutex> lock(m_pollMutex);
    const bool woken = m_pollWake.wait_until(
        lock, deadline, [&] { return m_quit || m_epoch.load() != epoch || m_replySeq != seen; });
    if (m_quit || m_epoch.load() != epoch) return Answer::Stopped;
    return woken ? Answer::Replied : Answer::Missed;
}

// A reply that did not come in time is given up: bytes still on their way
// are not taken for the next query's, and no command waits for it.
void DeviceLink::abandonOpenQueries() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (Outstanding& r : m_outstanding) r.closed = true;
        m_state.AwaitingReply = 0;
    }
    QMetaObject::invokeMethod(
        this, [this] { settleClosed(); }, Qt::QueuedConnection);
}

// Each waiting set point goes out ahead of the next query, a pause after
// each, and is read back next. One sent again waits the normal pace, so that
// a second miss means the instrument refused it, not that it came too soon.
bool DeviceLink::sendWaitingFast(std::uint64_t epoch, FastSchedule& schedule,
                                 const AdaptiveGap& gap, Clock::time_point lastReply) {
    SendFrom from;
    from.epoch = epoch;
    QString command;
    while (nextWaiting(from, command)) {
        bool again = false;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            again = m_sendAgain[std::size_t(from.waitingEdit - 5)];
        }
        if (!sleepUntil(lastReply + (again ? gap.normalPace() : gap.commandGap()), epoch))
            return false;
        if (m_state.PendingOperation == Op::None || epoch != m_epoch.load()) return false;
        if (TransmitFrame(command, from, false) == Sent::Stale) {
            if (epoch != m_epoch.load()) return false;
            continue;  // changed again meanwhile: its newer text is next
        }
        schedule.readBack(queryOfField(from.waitingEdit));
        if (!sleepUntil(Clock::now() + gap.gap(), epoch)) return false;
    }
    return true;
}

namespace {
bool isMeasured(const QString& query) {
    const int f = fieldOfQuery(query);
    return f >= 1 && f <= 4;
}
}  // namespace

void DeviceLink::FastPoll(std::uint64_t epoch, const FastPollTimings& timings) {
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    // A query of the cycle before may still be answered: its reply is its own.
    if (openPollQuery()) {
        const Answer a = waitForReply(repliesSoFar(), Clock::now() + timings.firstDeadline, epoch);
        if (a == Answer::Stopped) return;
        if (a == Answer::Missed) abandonOpenQueries();
    }
    FastSchedule schedule(timings, Clock::now());
    AdaptiveGap gap(timings);
    FastStats stats = fastStats();
    Clock::time_point since = Clock::now();
    int readings = 0, exchanges = 0;
    Clock::time_point lastReply = Clock::now();
    int lostSeen = m_commandsLost.load();
    QString note;  // a miss, shown for a few seconds
    Clock::time_point noteUntil;
    const auto publish = [&](bool now, bool givenUp = false) {
        const Clock::time_point t = Clock::now();
        if (t > noteUntil) note.clear();
        const double seconds = std::chrono::duration<double>(t - since).count();
        if (!now && seconds < 1.0) return;
        stats.readingsPerSecond = seconds > 0 ? readings / seconds : 0;
        stats.exchangesPerSecond = seconds > 0 ? exchanges / seconds : 0;
        stats.replyMs = std::max(0.0, gap.replyMs());
        stats.gapMs = int(gap.gap().count());
        {
            std::lock_guard<std::mutex> lock(m_statsMutex);
            stats.retries = m_stats.retries;
            m_stats = stats;
        }
        publishFast(stats, note, givenUp);
        since = t;
        readings = exchanges = 0;
    };

    for (;;) {
        if (!waitForHold(epoch)) return;
        if (const int lost = m_commandsLost.load(); lost != lostSeen) {
            lostSeen = lost;
            gap.commandLost();
        }
        m_fastStopMs = int((gap.deadline() + gap.commandGap()).count());
        if (!sendWaitingFast(epoch, schedule, gap, lastReply)) return;
        const QString query = schedule.next(Clock::now());
        for (int ask = 0; ask < 2; ++ask) {
            if (m_state.PendingOperation == Op::None) return;
            const std::uint64_t seen = repliesSoFar();
            SendFrom from;
            from.epoch = epoch;
            from.poll = true;
            const Clock::time_point sent = Clock::now();
            if (TransmitFrame(query, from, false) != Sent::Written) return;
            const Answer answer = waitForReply(seen, sent + gap.deadline(), epoch);
            if (answer == Answer::Stopped) return;
            if (answer == Answer::Replied) {
                const auto spacing =
                    std::chrono::duration_cast<std::chrono::milliseconds>(sent - lastReply);
                lastReply = Clock::now();
                gap.replied(duration_cast<microseconds>(lastReply - sent), spacing);
                ++exchanges;
                if (isMeasured(query)) ++readings;
            } else {
                abandonOpenQueries();
                gap.missed();
                ++stats.misses;
                note =
                    gap.givenUp()
                        ? QStringLiteral("no reply to %1 queries in a row").arg(gap.missesInRow())
                        : QStringLiteral("%1 unanswered, pause now %2 ms")
                              .arg(query)
                              .arg(gap.gap().count());
                noteUntil = Clock::now() + std::chrono::seconds(5);
                if (gap.givenUp()) {
                    publish(true, true);
                    linkLost();  // what a missing reply leads to without fast readings
                    return;
                }
            }
            publish(answer == Answer::Missed);
            if (!sleepUntil(Clock::now() + gap.gap(), epoch)) return;
            if (answer == Answer::Replied) break;  // a missed one is asked once more
        }
    }
}

// The last word before giving up is shown even though the countdown has begun.
void DeviceLink::publishFast(const FastStats& stats, const QString& note, bool givenUp) {
    QMetaObject::invokeMethod(
        this,
        [this, stats, note, givenUp] {
            if (!m_fast || m_lineGone) return;
            if (!givenUp && (m_timeoutShown || m_state.PollingEnabled == 0)) return;
            QString text = QStringLiteral("Linked: %1 \u2014 %2 readings/s, %3 ms per reply")
                               .arg(portName())
                               .arg(stats.readingsPerSecond, 0, 'f', 1)
                               .arg(qRound(stats.replyMs));
            if (!note.isEmpty()) text += QStringLiteral("; ") + note;
            Q_EMIT linkTextChanged(text);
        },
        Qt::QueuedConnection);
}

}  // namespace lqs
