// The platform side of the serial port component. TComm holds the component's
// state and rules; a CommPort does the device work and runs the two thread
// bodies. Each platform provides one implementation in a file of its own.
#pragma once

#include "serial/comm_types.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace lqs {

// One queued block: the bytes followed by one zero byte, owned by whoever holds it.
struct CommBlock {
    std::unique_ptr<char[]> data;
    std::uint16_t count = 0;

    static CommBlock copyOf(const void* bytes, std::uint16_t count);
};

// Where the threads deliver what they learn. Implementations post to the
// user-interface thread and must be callable from any thread.
class CommNoticeSink {
public:
    virtual ~CommNoticeSink() = default;
    virtual void noticeReceived(CommBlock block) = 0;
    virtual void noticeReceiveError(std::uint32_t flags) = 0;
    virtual void noticeRequestHangup() = 0;
    virtual void noticeModemStateChange(std::uint32_t bits) = 0;
    virtual void noticeSendDataEmpty() = 0;
};

// FIFO between SendBytes callers and the send thread. Once the send thread has
// ended the queue refuses blocks, so a dead writer is reported by SendBytes.
// The send thread is woken under the queue's lock: the port it wakes cannot
// be released while a caller in another thread is between push and wake.
class CommSendQueue {
public:
    bool push(CommBlock block);
    // Each of the bytes as a block of its own, with one wake-up for them all.
    bool pushEach(const char* data, std::size_t count);
    bool tryPop(CommBlock& out);
    void open(std::function<void()> wake);
    void shut();

private:
    std::mutex m_mutex;
    std::deque<CommBlock> m_blocks;
    std::function<void()> m_wake;
    bool m_open = false;
};

enum class CommOpenResult { Ok, OpenFailed, NotComm, BufferFailed };

class CommPort {
public:
    virtual ~CommPort() = default;

    // Opens the device exclusively; on failure nothing stays open.
    virtual CommOpenResult open(const std::string& name) = 0;
    // After open() failed: why, for the user; empty when there is nothing to add.
    virtual std::string openFailureDetail() const { return {}; }
    virtual void purge(bool receive, bool transmit) = 0;
    virtual void applyTimeouts(const CommTimeouts& timeouts) = 0;
    virtual void applyLineSettings(const CommLineSettings& settings) = 0;
    // Creates the close signal shared by both threads; false on failure.
    virtual bool createCloseSignal() = 0;
    // Sets the close signal; it stays set and wakes both threads.
    virtual void signalClose() = 0;
    // Wakes the send thread after a block was queued.
    virtual void wakeWriter() = 0;
    // Thread bodies; each returns when the close signal is set or on failure.
    virtual void runReceiver(CommNoticeSink& sink) = 0;
    virtual void runSender(CommNoticeSink& sink, CommSendQueue& queue,
                           std::atomic<bool>& sendQueueEmpty) = 0;
    // Releases the close signal and the device; safe to call more than once.
    virtual void close() = 0;
};

using CommPortFactory = std::function<std::unique_ptr<CommPort>()>;

// The backend of the platform this program was built for.
CommPortFactory defaultCommPortFactory();

}  // namespace lqs
