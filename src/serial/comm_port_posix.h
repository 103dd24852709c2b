// The serial backend for Linux and other POSIX systems: termios for the line,
// poll() on the device and an eventfd for every wait.
#pragma once

#include "serial/comm_port.h"
#include "serial/line_marks.h"
#include "serial/open_failure.h"
#include "serial/posix_sys.h"

#include <termios.h>
#include <atomic>
#include <chrono>
#include <memory>

namespace lqs {

class PosixCommPort : public CommPort {
public:
    explicit PosixCommPort(
        std::shared_ptr<PosixSys> sys = PosixSys::real(),
        std::chrono::milliseconds counterPeriod = std::chrono::milliseconds(100));
    ~PosixCommPort() override;

    CommOpenResult open(const std::string& name) override;
    std::string openFailureDetail() const override;
    void purge(bool receive, bool transmit) override;
    void applyTimeouts(const CommTimeouts& timeouts) override;
    void applyLineSettings(const CommLineSettings& settings) override;
    bool createCloseSignal() override;
    void signalClose() override;
    void wakeWriter() override;
    void runReceiver(CommNoticeSink& sink) override;
    void runSender(CommNoticeSink& sink, CommSendQueue& queue,
                   std::atomic<bool>& sendQueueEmpty) override;
    void close() override;

private:
    class CounterWatch;
    bool writeBlock(CommNoticeSink& sink, const CommBlock& block);
    void setModemLine(int bit, bool on);

    std::shared_ptr<PosixSys> m_sys;
    std::chrono::milliseconds m_counterPeriod;
    int m_fd = -1;
    int m_closeFd = -1;                  // eventfd, never read: once signalled it stays signalled
    int m_writeFd = -1;                  // eventfd, read by the send thread to re-arm
    std::atomic<bool> m_closing{false};  // set with m_closeFd, read between blocks
    bool m_haveSaved = false;
    bool m_wasExclusive = false;  // TIOCEXCL was set before we opened (root passes it)
    std::string m_openName;
    int m_openError = 0;  // errno of the failed open or lock
    PortHolder m_holder;  // the other process that kept the open from succeeding
    struct termios m_saved {};
    std::unique_ptr<CounterWatch> m_counters;  // touched by the receive thread only while it runs

    // Settings the receive thread reads while the user-interface thread may change them.
    std::atomic<std::uint32_t> m_interval{100};
    std::atomic<bool> m_endAtCr{false};
    std::atomic<std::uint32_t> m_totalMultiplier{0};
    std::atomic<std::uint32_t> m_totalConstant{0};
    std::atomic<bool> m_marksOn{false};
    std::atomic<bool> m_dropNul{false};
    std::atomic<bool> m_replaceOnError{false};
    std::atomic<char> m_replacedChar{0};
};

}  // namespace lqs
