#include "serial/comm.h"

#include "serial/serial_log.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <limits>
#include <system_error>

namespace lqs {

Q_LOGGING_CATEGORY(lqsSerial, "lqs.serial", QtWarningMsg)

namespace {
constexpr QEvent::Type kNoticeEvent = QEvent::Type(QEvent::User + 25);
}  // namespace

// Dropping stops before it reaches the block just queued.
static_assert(TComm::kMaxQueuedBytes > std::numeric_limits<std::uint16_t>::max());
static_assert(TComm::kMaxQueuedBlocks >= 1);

CommBlock CommBlock::copyOf(const void* bytes, std::uint16_t count) {
    CommBlock b;
    b.data = std::make_unique<char[]>(std::size_t(count) + 1);  // value-initialised: zero-filled
    if (count) std::memcpy(b.data.get(), bytes, count);
    b.count = count;
    return b;
}

bool CommSendQueue::push(CommBlock block) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open) return false;
    m_blocks.push_back(std::move(block));
    if (m_wake) m_wake();
    return true;
}

bool CommSendQueue::pushEach(const char* data, std::size_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open) return false;
    for (std::size_t i = 0; i < count; ++i) m_blocks.push_back(CommBlock::copyOf(data + i, 1));
    if (m_wake) m_wake();
    return true;
}

bool CommSendQueue::tryPop(CommBlock& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_blocks.empty()) return false;
    out = std::move(m_blocks.front());
    m_blocks.pop_front();
    return true;
}

void CommSendQueue::open(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocks.clear();
    m_wake = std::move(wake);
    m_open = true;
}

void CommSendQueue::shut() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    m_wake = nullptr;
    m_blocks.clear();
}

// Receives the notices' wake-ups in another thread and hands them back.
class CommNoticeTarget : public QObject {
public:
    explicit CommNoticeTarget(TComm* comm) : m_comm(comm) {}
    bool event(QEvent* e) override { return m_comm->deliverNotice(e) || QObject::event(e); }

private:
    TComm* m_comm;
};

TComm::TComm(QObject* owner, CommPortFactory factory)
    : QObject(owner), m_factory(std::move(factory)) {}

TComm::~TComm() {
    ClosePort();
}

void TComm::deliverNoticesIn(QThread* thread) {
    auto sink = std::make_unique<CommNoticeTarget>(this);
    sink->moveToThread(thread);
    {
        std::lock_guard<std::mutex> lock(m_noticeMutex);
        m_noticeTarget = sink.get();
    }
    m_noticeSink = std::move(sink);
}

void TComm::OpenPort() {
    try {
        openPort();
    } catch (const ECommsError& e) {
        const QString detail = QString::fromStdString(e.detail());
        qCInfo(lqsSerial).noquote().nospace() << "opening " << m_commName << " failed: " << e.what()
                                              << (detail.isEmpty() ? "" : ": ") << detail;
        throw;
    }
    qCInfo(lqsSerial).noquote() << "opened" << m_commName << "at" << m_line.BaudRate << "baud";
}

void TComm::openPort() {
    if (m_port) throw ECommsError("This serial port already opened");

    std::unique_ptr<CommPort> port = m_factory();
    switch (port->open(m_commName.toStdString())) {
        case CommOpenResult::Ok:
            break;
        case CommOpenResult::OpenFailed:
            throw ECommsError("Error opening serial port", port->openFailureDetail());
        case CommOpenResult::NotComm:
            throw ECommsError("File handle is not a comm handle ");
        case CommOpenResult::BufferFailed:
            throw ECommsError("Cannot setup comm buffer");
    }
    m_port = std::move(port);
    m_port->purge(true, true);
    m_sendQueueEmpty = true;
    m_wantsSendEmpty = bool(OnSendDataEmpty);
    m_port->applyTimeouts(m_timeouts);
    m_port->applyLineSettings(m_line);

    if (!m_port->createCloseSignal()) {
        releasePort();
        throw ECommsError("Unable to create event");
    }
    // std::thread starts at once; the Win32 order "create both suspended, then
    // start" matters only for priorities, which Linux does not give to
    // ordinary threads without privileges.
    CommPort* raw = m_port.get();
    try {
        m_receiver = std::thread([raw, this] { raw->runReceiver(*this); });
    } catch (const std::system_error&) {
        releasePort();
        throw ECommsError("Unable to create read thread");
    }
    // Runs under the queue's lock, before the send thread can take the block,
    // so its own "empty" always comes after this "not empty".
    m_sendQueue.open([raw, this] {
        m_sendQueueEmpty = false;
        raw->wakeWriter();
    });
    try {
        m_sender = std::thread([raw, this] {
            raw->runSender(*this, m_sendQueue, m_sendQueueEmpty);
            m_sendQueue.shut();
        });
    } catch (const std::system_error&) {
        m_sendQueue.shut();
        stopReceiver();
        releasePort();
        throw ECommsError("Unable to create write thread");
    }
}

void TComm::ClosePort() {
    if (!m_port) return;
    stopReceiver();
    stopSender();
    releasePort();
    qCInfo(lqsSerial).noquote() << "closed" << m_commName;
}

// Both threads block on the close signal as well as on the device, so a join
// returns promptly; the Win32 fallback of a 10 s wait followed by a forced
// termination has nothing to do here.
void TComm::stopReceiver() {
    m_port->signalClose();
    m_port->purge(true, false);
    if (m_receiver.joinable()) m_receiver.join();
}

void TComm::stopSender() {
    m_port->signalClose();
    m_port->purge(false, true);
    m_sendQueueEmpty = true;
    if (m_sender.joinable()) m_sender.join();
    m_sendQueue.shut();
}

void TComm::releasePort() {
    m_port->close();
    m_port.reset();
    discardNotices();
}

// Only once the threads have ended: what they left queued belongs to a port
// that is gone. Wake-ups already posted for it stay counted and serve the
// next port's notices, which keeps those in order.
void TComm::discardNotices() {
    std::deque<Notice> stale;  // freed after the unlock, storage and all
    std::lock_guard<std::mutex> lock(m_noticeMutex);
    stale.swap(m_notices);
    m_queuedBytes = 0;
    m_queuedBlocks = 0;
    m_overrunQueued = false;
}

bool TComm::SendBytes(const void* data, std::uint16_t count) {
    // The queue is open only while a send thread runs, which makes this safe
    // to call from any thread without touching m_port's lifetime.
    if (count == 0 || data == nullptr) return false;
    return m_sendQueue.push(CommBlock::copyOf(data, count));
}

bool TComm::SendEachByte(const void* data, std::uint16_t count) {
    if (count == 0 || data == nullptr) return false;
    return m_sendQueue.pushEach(static_cast<const char*>(data), count);
}

// Notices wait in our own queue, and a bare event per notice wakes the
// user-interface thread; each wake-up delivers the oldest notice, if any.
// The queue's mutex is what orders the two threads: Qt's event queue locks in
// ways that thread checkers cannot see.
void TComm::post(int notice, std::uint32_t value, CommBlock block) {
    std::unique_ptr<QEvent> wake;
    QObject* target = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_noticeMutex);
        target = m_noticeTarget;
        if (notice == CommNotice::DataReceived) {
            m_queuedBytes += block.count;
            ++m_queuedBlocks;
        }
        m_notices.push_back({notice, value, std::move(block)});
        while (m_queuedBytes > kMaxQueuedBytes || m_queuedBlocks > kMaxQueuedBlocks)
            dropOldestData();
        // Wake-ups left over from dropped or discarded notices are reused, so
        // Qt's queue is bounded along with ours.
        if (m_wakesPending < m_notices.size()) {
            ++m_wakesPending;
            // Made before the unlock, so it is ordered too.
            wake = std::make_unique<QEvent>(kNoticeEvent);
        }
    }
    if (wake) QCoreApplication::postEvent(target, wake.release());
}

// Under m_noticeMutex, with a data block queued. Hang-ups and the other
// notices are never dropped.
void TComm::dropOldestData() {
    const auto oldest = std::find_if(m_notices.begin(), m_notices.end(), [](const Notice& n) {
        return n.number == CommNotice::DataReceived;
    });
    m_queuedBytes -= oldest->block.count;
    --m_queuedBlocks;
    if (m_overrunQueued) {
        // Every block still queued came after the report, so the gap stays next to it.
        m_notices.erase(oldest);
        return;
    }
    // The report takes the place of the first block lost, where the gap is.
    *oldest = Notice{CommNotice::ReceiveError, LineError::RxOver, {}, true};
    m_overrunQueued = true;
}

void TComm::noticeReceived(CommBlock block) {
    const std::uint32_t count = block.count;
    post(CommNotice::DataReceived, count, std::move(block));
}
void TComm::noticeReceiveError(std::uint32_t flags) {
    post(CommNotice::ReceiveError, flags);
}
void TComm::noticeRequestHangup() {
    post(CommNotice::RequestHangup, 0);
}
void TComm::noticeModemStateChange(std::uint32_t bits) {
    post(CommNotice::ModemStateChange, bits);
}
void TComm::noticeSendDataEmpty() {
    // Unwatched, it would only wake the owner's thread after every frame.
    if (m_wantsSendEmpty) post(CommNotice::SendDataEmpty, 0);
}

TComm::QueuedData TComm::queuedDataForTests() const {
    std::lock_guard<std::mutex> lock(m_noticeMutex);
    QueuedData q;
    for (const Notice& n : m_notices) {
        if (n.number != CommNotice::DataReceived) continue;
        ++q.blocks;
        q.bytes += n.block.count;
    }
    return q;
}

bool TComm::event(QEvent* e) {
    return deliverNotice(e) || QObject::event(e);
}

// False for any event that is not a notice's wake-up.
bool TComm::deliverNotice(QEvent* e) {
    Notice notice;
    bool ours = false;
    {
        // Taken before the event is looked at: it orders this thread after the poster.
        std::lock_guard<std::mutex> lock(m_noticeMutex);
        ours = e->type() == kNoticeEvent;
        if (ours) {
            --m_wakesPending;
            if (!m_notices.empty()) {
                notice = std::move(m_notices.front());
                m_notices.pop_front();
                if (notice.number == CommNotice::DataReceived) {
                    m_queuedBytes -= notice.block.count;
                    --m_queuedBlocks;
                }
                if (notice.overrun) m_overrunQueued = false;
            }
        }
    }
    if (!ours) return false;
    // The block lives in notice until this returns, so a data block is
    // released right after its handler.
    switch (notice.number) {
        case CommNotice::DataReceived:
            if (OnReceiveData) OnReceiveData(this, notice.block.data.get(), notice.block.count);
            break;
        case CommNotice::ReceiveError:
            qCInfo(lqsSerial).noquote() << "line error on" << m_commName << "flags"
                                        << QStringLiteral("0x%1").arg(notice.value, 0, 16)
                                        << (notice.overrun ? "(received data dropped)" : "");
            if (OnReceiveError) OnReceiveError(this, notice.value);
            break;
        case CommNotice::RequestHangup:
            qCInfo(lqsSerial).noquote() << "hang-up on" << m_commName;
            if (OnRequestHangup) OnRequestHangup(this);
            break;
        case CommNotice::ModemStateChange:
            if (OnModemStateChange) OnModemStateChange(this, notice.value);
            break;
        case CommNotice::SendDataEmpty:
            if (OnSendDataEmpty) OnSendDataEmpty(this);
            break;
    }
    return true;
}

}  // namespace lqs
