// The parts of the device link that run off the user-interface thread, or
// that the poll thread shares with it: framing and the send lock, the poll
// cycle, the deferred set points, and the hand-offs to the user-interface
// thread. Everything here must be safe with both threads inside at once.
#include "device_link.h"

#include "comm.h"
#include "convert.h"
#include "set_point_math.h"
#include "set_point_ops.h"

#include <QThread>

#include <memory>

namespace lqs {

namespace {

const char* const kPollQueries[] = {"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "VSET1?",
                                    "VSET2?", "ISET1?", "ISET2?", "STATUS?"};

}  // namespace

DeviceLink::~DeviceLink() {
    if (m_comm) m_comm->OnRequestHangup = nullptr;
    linkState().PollingEnabled = 0;
    m_waits.shutdown();
    reapPollThreads(true);
}

bool DeviceLink::inUiThread() const { return QThread::currentThread() == thread(); }

void DeviceLink::runInUi(const std::function<void()>& f) {
    if (inUiThread()) {
        f();
        return;
    }
    // The flag lives under the waits' lock, so shutdown and the finished call
    // both wake this thread; a request the user-interface thread will never
    // run cannot hold it.
    auto done = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        this,
        [this, f, done] {
            f();
            m_waits.signal([&] { *done = true; });
        },
        Qt::QueuedConnection);
    m_waits.waitUntil([&] { return *done; });
}

// ---- Framing and sending ----

QByteArray DeviceLink::FrameCommand(const QString& command) {
    QByteArray frame = command.toLatin1();
    frame.append('\r');
    frame.append('\n');
    return frame;
}

void DeviceLink::SendCommand(const QString& command) { TransmitFrame(command, SendFrom{}); }

// Stale: a poll cycle that a newer one replaced, or a set point that no
// longer waits with this text; such a frame changes nothing at all.
DeviceLink::Sent DeviceLink::TransmitFrame(const QString& command, const SendFrom& from) {
    LinkState& s = linkState();
    if (s.PendingOperation == Op::None) return Sent::Skipped;
    if (!current(from)) return Sent::Stale;
    bool dropped = false;
    if (s.AwaitingReply == 1) {
        m_waits.ResponsiveWait(m_timings.replyGraceMs);
        if (!current(from)) return Sent::Stale;
        if (s.AwaitingReply == 1) {
            dropped = true;
            linkLost();
        }
    }
    // Each caller frames into its own buffer, so a command sent from a
    // handler that ran during the wait above cannot change this one.
    const QByteArray frame = FrameCommand(command);
    bool refused = false;
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        // Checked again under the lock: a newer cycle may have started, or the
        // other thread may have sent this set point, since the check above.
        if (!current(from)) return Sent::Stale;
        if (!dropped) {
            // Named before the first byte leaves: the reply may be parsed
            // before this thread runs again.
            if (from.query) s.setLastQuery(command);
            refused = !writeFrame(frame);
            if (from.waitingEdit) setPointSent(from.waitingEdit, from.text);
        }
        const std::uint8_t op = s.PendingOperation;
        s.AwaitingReply = (op == Op::StartupQuery || op == Op::Polling) ? 1 : 0;
    }
    if (!dropped && FrameHandedOver) FrameHandedOver(command);
    if (refused && ShowSendFailed && !m_sendFailedShown.exchange(true)) {
        // One box at a time: a send thread that has ended refuses every frame.
        const auto show = [this] {
            ShowSendFailed();
            m_sendFailedShown = false;
        };
        if (inUiThread()) {
            show();
        } else {
            QMetaObject::invokeMethod(this, show, Qt::QueuedConnection);
        }
    }
    return dropped ? Sent::Skipped : Sent::Written;
}

bool DeviceLink::current(const SendFrom& from) const {
    if (from.cycle != 0 && from.cycle != m_cycle.load()) return false;
    if (from.waitingEdit != 0) {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        const auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                                     [&](const WaitingSetPoint& w) { return w.edit == from.waitingEdit; });
        if (it == m_waiting.end() || it->text != from.text) return false;
    }
    return true;
}

// One byte per send request; a refused byte ends the frame.
bool DeviceLink::writeFrame(const QByteArray& frame) {
    for (char byte : frame) {
        if (!m_comm->SendBytes(&byte, 1)) return false;
    }
    return true;
}

// The reply did not come: count down in the querying dialog, then the
// time-out box, whose closing ends the program. Both threads can find the
// reply missing at once; the first one's countdown is the only one.
void DeviceLink::linkLost() {
    if (m_timeoutShown.exchange(true)) return;
    runInUi([this] {
        linkState().ProgressMode = Progress::Countdown;
        ShowQuerying();
        QueryProgress();
    });
}

// ---- Set points changed while the output is on ----

// In the user-interface thread: the field's confirmed text waits for the next
// query. A field changed again keeps one entry, with its newest text, at the end.
void DeviceLink::deferSetPoint(int edit, const QString& text) {
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                   [&](const WaitingSetPoint& w) { return w.edit == edit; }),
                    m_waiting.end());
    m_waiting.push_back({edit, text});
    linkState().SetPointDeferred = 1;
}

void DeviceLink::dropWaitingSetPoints(int edit) {
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                   [&](const WaitingSetPoint& w) { return edit == 0 || w.edit == edit; }),
                    m_waiting.end());
    if (m_waiting.empty()) linkState().SetPointDeferred = 0;
}

// The query whose reply the parser is about to read, and whether that reply
// must leave its field alone because the operator's change is still to go out.
DeviceLink::Answered DeviceLink::answeredQuery() const {
    std::lock_guard<std::mutex> lock(m_waitMutex);
    Answered a;
    a.query = linkState().lastQuery();
    for (const WaitingSetPoint& w : m_waiting) {
        if (a.query == queryOfField(w.edit)) a.held = true;
    }
    return a;
}

QString DeviceLink::queryOfField(int edit) {
    QString query = QString::fromLatin1(setPointOfField(edit).command);
    if (!query.isEmpty()) query.back() = QLatin1Char('?');  // "VSET1:" asks as "VSET1?"
    return query;
}

// Under the send lock, right after the command went out: the entry is done,
// and a reply to this field's query still on its way tells the old value, so
// it is no longer taken as an answer.
void DeviceLink::setPointSent(int edit, const QString& text) {
    LinkState& s = linkState();
    std::lock_guard<std::mutex> lock(m_waitMutex);
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                                 [&](const WaitingSetPoint& w) { return w.edit == edit && w.text == text; });
    if (it == m_waiting.end()) return;
    s.setLastSent(edit, text);
    m_waiting.erase(it);
    if (s.lastQuery() == queryOfField(edit)) s.setLastQuery(QString());
    if (m_waiting.empty()) s.SetPointDeferred = 0;
}

void DeviceLink::SendDeferredSetPoint() { sendWaitingSetPoints(0); }

// Every waiting set point, oldest change first, one command each. A poll
// cycle passes its generation so that a replaced cycle sends nothing. A field
// that holds no number (it cannot, as confirming writes one) is dropped.
void DeviceLink::sendWaitingSetPoints(std::uint64_t cycle) {
    for (;;) {
        WaitingSetPoint next;
        {
            std::lock_guard<std::mutex> lock(m_waitMutex);
            if (m_waiting.empty()) return;
            next = m_waiting.front();
        }
        QString text = next.text.isEmpty() ? QStringLiteral("0") : next.text;
        QString number;
        try {
            number = FormatSetPoint(text);
        } catch (const EConvertError&) {
            std::lock_guard<std::mutex> lock(m_waitMutex);
            m_waiting.erase(m_waiting.begin());
            continue;
        }
        SendFrom from;
        from.cycle = cycle;
        from.waitingEdit = next.edit;
        from.text = next.text;
        const QString command = QString::fromLatin1(setPointOfField(next.edit).command) + number;
        const Sent sent = TransmitFrame(command, from);
        if (sent == Sent::Skipped) return;  // nothing goes out now; they keep waiting
        if (sent == Sent::Stale && cycle != 0 && cycle != m_cycle.load()) return;
        // Stale otherwise: the operator changed this field again meanwhile.
    }
}

// ---- The poll thread ----

void DeviceLink::stopPolling() {
    linkState().PollingEnabled = 0;
    ++m_cycle;  // whatever cycle still runs may not send again
}

void DeviceLink::StartPollThread() {
    reapPollThreads(false);
    const std::uint64_t cycle = ++m_cycle;
    m_pollThreads.emplace_back();
    PollThread& t = m_pollThreads.back();
    t.thread = std::thread([this, &t, cycle] {
        pollCycle(cycle);
        t.done = true;
    });
}

void DeviceLink::reapPollThreads(bool all) {
    for (auto it = m_pollThreads.begin(); it != m_pollThreads.end();) {
        if (all || it->done) {
            if (it->thread.joinable()) it->thread.join();
            it = m_pollThreads.erase(it);
        } else {
            ++it;
        }
    }
}

void DeviceLink::resetForTests() {
    dropWaitingSetPoints();
    m_timeoutShown = false;
    m_sendFailedShown = false;
    m_identity.clear();
}

int DeviceLink::pollThreadsRunning() const {
    int n = 0;
    for (const PollThread& t : m_pollThreads) n += t.done ? 0 : 1;
    return n;
}

void DeviceLink::pollCycle(std::uint64_t cycle) {
    LinkState& s = linkState();
    s.AwaitingReply = 0;
    if (!m_waits.sleepFor(m_timings.pollStartMs)) return;
    const auto replaced = [&] { return m_cycle.load() != cycle; };
    for (const char* query : kPollQueries) {
        for (;;) {
            if (replaced()) return;
            if (s.PollingEnabled == 0) {
                m_waits.sleepFor(m_timings.pollEndMs);
                return;
            }
            if (s.HoldTicks == 0) break;  // a held stepper pauses the cycle here
            if (!m_waits.sleepFor(m_timings.holdCheckMs)) return;
        }
        if (!m_waits.sleepFor(m_timings.pollPasses * m_timings.passMs)) return;
        SendFrom from;
        from.cycle = cycle;
        from.query = true;
        if (TransmitFrame(QString::fromLatin1(query), from) == Sent::Stale) return;
        if (!m_waits.sleepFor(m_timings.pollPasses * m_timings.passMs)) return;
        sendWaitingSetPoints(cycle);
    }
}

}  // namespace lqs
