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

#include <condition_variable>

namespace lqs {

namespace {

const char* const kPollQueries[] = {"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "VSET1?",
                                    "VSET2?", "ISET1?", "ISET2?", "STATUS?"};

}  // namespace

DeviceLink::~DeviceLink() {
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
    struct Done {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto state = std::make_shared<Done>();
    QMetaObject::invokeMethod(
        this,
        [f, state] {
            f();
            std::lock_guard<std::mutex> lock(state->m);
            state->done = true;
            state->cv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(state->m);
    // Wakes now and then to see whether the program is closing, so a
    // request the user-interface thread will never run cannot hold us.
    while (!state->done && !m_waits.shuttingDown()) state->cv.wait_for(lock, std::chrono::milliseconds(100));
}


// ---- Framing and sending ----

QByteArray DeviceLink::FrameCommand(const QString& command) {
    QByteArray frame = command.toLatin1();
    frame.append('\r');
    frame.append('\n');
    return frame;
}

void DeviceLink::SendCommand(const QString& command) { TransmitFrame(command); }

void DeviceLink::TransmitFrame(const QString& command) {
    LinkState& s = linkState();
    if (s.PendingOperation == Op::None) return;
    bool dropped = false;
    if (s.AwaitingReply == 1) {
        m_waits.ResponsiveWait(m_timings.replyGraceMs);
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
        if (!dropped) refused = !writeFrame(frame);
        const std::uint8_t op = s.PendingOperation;
        s.AwaitingReply = (op == Op::StartupQuery || op == Op::Polling) ? 1 : 0;
    }
    if (refused && ShowSendFailed) {
        if (inUiThread()) {
            ShowSendFailed();
        } else {
            QMetaObject::invokeMethod(this, [this] { ShowSendFailed(); }, Qt::QueuedConnection);
        }
    }
}

// One byte per send request; a refused byte ends the frame.
bool DeviceLink::writeFrame(const QByteArray& frame) {
    for (char byte : frame) {
        if (!m_comm->SendBytes(&byte, 1)) return false;
    }
    return true;
}

// The reply did not come: count down in the querying dialog, then the
// time-out box, whose closing ends the program.
void DeviceLink::linkLost() {
    runInUi([this] {
        linkState().ProgressMode = Progress::Countdown;
        ShowQuerying();
        QueryProgress();
    });
}


void DeviceLink::mirrorSetPoint(int edit, const QString& text) {
    if (edit < 5 || edit > 8) return;
    std::lock_guard<std::mutex> lock(m_mirrorMutex);
    m_mirror[std::size_t(edit - 5)] = text;
}

QString DeviceLink::mirroredText(int edit) const {
    std::lock_guard<std::mutex> lock(m_mirrorMutex);
    return m_mirror[std::size_t(edit - 5)];
}

// In the poll thread: the set point changed while the output was on. A field
// that holds no number yet (the operator is still typing) is not sent; the
// flag stays up and the next query tries again.
void DeviceLink::SendDeferredSetPoint() {
    LinkState& s = linkState();
    if (s.SetPointDeferred != 1) return;
    const std::uint8_t code = s.PendingOperation;
    const SetPointOp op = setPointOfCode(code);
    if (!op.command) return;
    const bool enterPath = code >= Op::EnterVset1 && code <= Op::EnterIset2;
    const QString fieldText = mirroredText(op.edit);
    if (enterPath && fieldText == s.lastSent(op.edit)) return;
    QString text = fieldText.isEmpty() ? QStringLiteral("0") : fieldText;
    QString number;
    try {
        number = FormatSetPoint(text);
    } catch (const EConvertError&) {
        return;
    }
    SendCommand(QString::fromLatin1(op.command) + number);
    s.SetPointDeferred = 0;
    if (enterPath) s.setLastSent(op.edit, fieldText);
}


// ---- The poll thread ----

void DeviceLink::StartPollThread() {
    reapPollThreads(false);
    m_pollThreads.emplace_back();
    PollThread& t = m_pollThreads.back();
    t.thread = std::thread([this, &t] {
        pollCycle();
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

int DeviceLink::pollThreadsRunning() const {
    int n = 0;
    for (const PollThread& t : m_pollThreads) n += t.done ? 0 : 1;
    return n;
}

void DeviceLink::pollCycle() {
    LinkState& s = linkState();
    s.AwaitingReply = 0;
    if (!m_waits.sleepFor(m_timings.pollStartMs)) return;
    for (const char* query : kPollQueries) {
        for (;;) {
            if (s.PollingEnabled == 0) {
                m_waits.sleepFor(m_timings.pollEndMs);
                return;
            }
            if (s.HoldTicks == 0) break;  // a held stepper pauses the cycle here
            if (!m_waits.sleepFor(m_timings.holdCheckMs)) return;
        }
        if (!m_waits.sleepFor(m_timings.pollPasses * m_timings.passMs)) return;
        const QString q = QString::fromLatin1(query);
        SendCommand(q);
        s.setLastQuery(q);
        if (!m_waits.sleepFor(m_timings.pollPasses * m_timings.passMs)) return;
        SendDeferredSetPoint();
    }
}

}  // namespace lqs
