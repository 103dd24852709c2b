#include "serial/comm_port_posix.h"

#include "serial/open_failure.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <cerrno>
#include <cstring>

#include <algorithm>
#include <limits>
#include <optional>

namespace lqs {

using Clock = std::chrono::steady_clock;

namespace {

std::optional<speed_t> speedFor(std::uint32_t baud) {
    switch (baud) {
        case 110:
            return B110;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        default:
            return std::nullopt;
    }
}

int msUntil(Clock::time_point now, Clock::time_point when) {
    if (when <= now) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return int(std::min<long long>(ms, std::numeric_limits<int>::max()));
}

}  // namespace

// Line errors and modem events where the driver counts them. TIOCGICOUNT gives
// both; where it is missing, TIOCMGET edges still give the modem events. A
// pseudo-terminal has neither, and then nothing is reported and nothing polled.
class PosixCommPort::CounterWatch {
public:
    CounterWatch(PosixSys& sys, int fd) : m_sys(sys), m_fd(fd) {
        if (m_sys.ioctl(m_fd, TIOCGICOUNT, &m_last) == 0) {
            m_mode = Mode::Counters;
        } else if (m_sys.ioctl(m_fd, TIOCMGET, &m_lines) == 0) {
            m_mode = Mode::Lines;
        }
    }

    bool active() const { return m_mode != Mode::None; }
    bool countsErrors() const { return m_mode == Mode::Counters; }

    void check(CommNoticeSink& sink) {
        std::uint32_t errors = 0;
        std::uint32_t modem = 0;
        if (m_mode == Mode::Counters) {
            struct serial_icounter_struct now {};
            if (m_sys.ioctl(m_fd, TIOCGICOUNT, &now) != 0) return;
            if (now.frame != m_last.frame) errors |= LineError::Frame;
            if (now.overrun != m_last.overrun) errors |= LineError::Overrun;
            if (now.parity != m_last.parity) errors |= LineError::RxParity;
            if (now.brk != m_last.brk) errors |= LineError::Break;
            if (now.buf_overrun != m_last.buf_overrun) errors |= LineError::RxOver;
            if (now.dcd != m_last.dcd) modem |= ModemEvent::CarrierDetect;
            if (now.rng != m_last.rng) modem |= ModemEvent::Ring;
            m_last = now;
        } else if (m_mode == Mode::Lines) {
            int now = 0;
            if (m_sys.ioctl(m_fd, TIOCMGET, &now) != 0) return;
            if ((now ^ m_lines) & TIOCM_CD) modem |= ModemEvent::CarrierDetect;
            if ((now & TIOCM_RNG) && !(m_lines & TIOCM_RNG)) modem |= ModemEvent::Ring;
            m_lines = now;
        }
        if (errors) sink.noticeReceiveError(errors);
        if (modem) sink.noticeModemStateChange(modem);
    }

private:
    enum class Mode { None, Counters, Lines };
    PosixSys& m_sys;
    int m_fd;
    Mode m_mode = Mode::None;
    struct serial_icounter_struct m_last {};
    int m_lines = 0;
};

PosixCommPort::PosixCommPort(std::shared_ptr<PosixSys> sys, std::chrono::milliseconds counterPeriod)
    : m_sys(std::move(sys)), m_counterPeriod(counterPeriod) {}

CommOpenResult PosixCommPort::open(const std::string& name) {
    // Non-blocking so that open() does not wait for carrier, and so that no
    // read or write can block where the close signal cannot reach it.
    m_openName = name;
    m_openError = 0;
    m_holder = {};
    const int fd = m_sys->open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_openError = errno;
        return CommOpenResult::OpenFailed;
    }
    // flock refuses a second holder even when it runs as root; TIOCEXCL then
    // keeps out programs that do not take the lock. Pseudo-terminals and
    // plain files answer ENOTTY or EINVAL to TIOCEXCL, which is harmless.
    if (m_sys->flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_openError = errno;
        m_sys->close(fd);
        return CommOpenResult::OpenFailed;
    }
    // Root passes another holder's TIOCEXCL; that holder's claim must outlive our refusal.
    int wasExclusive = 0;
    if (m_sys->ioctl(fd, TIOCGEXCL, &wasExclusive) != 0) wasExclusive = 0;
    m_sys->ioctl(fd, TIOCEXCL, nullptr);
    auto giveUp = [&] {
        if (!wasExclusive) m_sys->ioctl(fd, TIOCNXCL, nullptr);
        m_sys->close(fd);
    };
    if (!m_sys->isatty(fd)) {
        m_sys->close(fd);
        return CommOpenResult::NotComm;
    }
    // Neither the lock nor TIOCEXCL stops a program that opened the port
    // before us without them. Looked for after TIOCEXCL, so that only root
    // can open it unseen between the look and our use.
    m_holder = otherPortHolder(fd);
    if (m_holder.pid != 0) {
        m_openError = EBUSY;
        giveUp();
        return CommOpenResult::OpenFailed;
    }
    // Linux sizes its tty buffers itself; what can fail at this step is
    // reading the settings we must restore on close.
    if (m_sys->tcgetattr(fd, &m_saved) != 0) {
        giveUp();
        return CommOpenResult::BufferFailed;
    }
    m_haveSaved = true;
    m_wasExclusive = wasExclusive != 0;
    m_fd = fd;
    // The counters' baseline is taken now, so errors from here on are reported.
    m_counters = std::make_unique<CounterWatch>(*m_sys, m_fd);
    return CommOpenResult::Ok;
}

// Worked out only when asked: it may read the group database and /proc.
std::string PosixCommPort::openFailureDetail() const {
    return describeOpenFailure(m_openName, m_openError, m_holder);
}

void PosixCommPort::purge(bool receive, bool transmit) {
    if (m_fd < 0) return;
    if (receive && transmit) {
        m_sys->tcflush(m_fd, TCIOFLUSH);
    } else if (receive) {
        m_sys->tcflush(m_fd, TCIFLUSH);
    } else if (transmit) {
        m_sys->tcflush(m_fd, TCOFLUSH);
    }
}

// The write totals are not kept: a Windows write that runs out of time
// completes short and the send thread writes the rest anyway, so they change
// nothing that a caller could see.
void PosixCommPort::applyTimeouts(const CommTimeouts& timeouts) {
    m_interval = timeouts.ReadIntervalTimeout;
    m_endAtCr = timeouts.EndBlockAtCarriageReturn;
    m_totalMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    m_totalConstant = timeouts.ReadTotalTimeoutConstant;
}

void PosixCommPort::setModemLine(int bit, bool on) {
    // Pseudo-terminals have no modem lines and answer ENOTTY or EINVAL.
    m_sys->ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit);
}

void PosixCommPort::applyLineSettings(const CommLineSettings& s) {
    if (m_fd < 0) return;
    const std::optional<speed_t> speed = speedFor(s.BaudRate);
    // A rate the driver cannot take leaves the line as it was, as a refused
    // settings record does on Windows.
    if (!speed) return;

    // Built from nothing, never from what the device had: flags left by
    // another program or by stty (IXOFF, INPCK, echo, output processing) are
    // off unless a property asks for them, and a property turned off is off.
    // All-zero control characters are disabled ones on Linux.
    struct termios t {};
    t.c_cflag = CLOCAL | CREAD;
    cfsetispeed(&t, *speed);
    cfsetospeed(&t, *speed);

    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[std::size_t(s.ByteSize)];

    switch (s.Parity) {
        case TParity::None:
            break;
        case TParity::Odd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case TParity::Even:
            t.c_cflag |= PARENB;
            break;
        case TParity::Mark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case TParity::Space:
            t.c_cflag |= PARENB | CMSPAR;
            break;
    }
    // Linux has no 1.5 stop bits of its own; a UART sends 1.5 for CSTOPB
    // with 5 data bits, which is the only size where Windows allows it.
    if (s.StopBits != TStopBits::_1) t.c_cflag |= CSTOPB;

    // CRTSCTS drives both CTS output flow and RTS handshake on Linux.
    if (s.Outx_CtsFlow || s.RtsControl == TRtsControl::RtsHandshake) t.c_cflag |= CRTSCTS;
    // No Linux equivalents, and so not applied: DSR output flow, DSR
    // sensitivity, continue-after-XOFF, the XON/XOFF limits (the driver has
    // fixed thresholds), DTR handshake (DTR is held on) and RTS toggle (RTS is
    // held on).
    if (s.Outx_XonXoffFlow) t.c_iflag |= IXON;
    if (s.Inx_XonXoffFlow) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(s.XonChar);
    t.c_cc[VSTOP] = cc_t(s.XoffChar);

    // With checking on, the driver marks each bad byte in the stream and the
    // receive thread turns the marks into error notices. With it off, a break
    // must not reach the data as a NUL byte.
    t.c_iflag |= s.ParityCheck ? INPCK | PARMRK : IGNBRK;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    m_sys->tcsetattr(m_fd, TCSANOW, &t);

    setModemLine(TIOCM_DTR, s.DtrControl != TDtrControl::DtrDisable);
    if (s.RtsControl != TRtsControl::RtsHandshake)
        setModemLine(TIOCM_RTS, s.RtsControl != TRtsControl::RtsDisable);

    m_marksOn = s.ParityCheck;
    m_dropNul = s.IgnoreNullChar;
    m_replaceOnError = s.ReplaceWhenParityError;
    m_replacedChar = s.ReplacedChar;
}

bool PosixCommPort::createCloseSignal() {
    m_closing = false;
    m_closeFd = m_sys->eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_writeFd = m_sys->eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_closeFd >= 0 && m_writeFd >= 0) return true;
    if (m_closeFd >= 0) m_sys->close(m_closeFd);
    if (m_writeFd >= 0) m_sys->close(m_writeFd);
    m_closeFd = m_writeFd = -1;
    return false;
}

void PosixCommPort::signalClose() {
    m_closing = true;
    if (m_closeFd < 0) return;
    const std::uint64_t one = 1;
    m_sys->write(m_closeFd, &one, sizeof one);
}

void PosixCommPort::wakeWriter() {
    if (m_writeFd < 0) return;
    const std::uint64_t one = 1;
    m_sys->write(m_writeFd, &one, sizeof one);
}

void PosixCommPort::runReceiver(CommNoticeSink& sink) {
    std::uint8_t block[kReadBlockSize];
    std::uint8_t raw[kReadBlockSize];
    std::size_t have = 0;
    LineMarkDecoder marks;
    CounterWatch& counters = *m_counters;

    Clock::time_point lastByte{};
    Clock::time_point readStart = Clock::now();
    Clock::time_point nextCount = readStart + m_counterPeriod;

    auto deliver = [&] {
        if (have == 0) return;
        sink.noticeReceived(CommBlock::copyOf(block, std::uint16_t(have)));
        have = 0;
        readStart = Clock::now();
    };

    for (;;) {
        const std::uint32_t interval = m_interval;
        const std::uint64_t total =
            std::uint64_t(m_totalMultiplier.load()) * kReadBlockSize + m_totalConstant.load();
        const bool immediate = interval == std::numeric_limits<std::uint32_t>::max() && total == 0;
        const bool useInterval = interval != 0 && !immediate;

        // Wait without limit for the first byte; once bytes are held, only
        // until the silence (or total) deadline; the driver's counters are
        // read on their own period where it keeps them.
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> wake;
        auto earliest = [&](Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
        if (have > 0 && useInterval) earliest(lastByte + std::chrono::milliseconds(interval));
        if (total > 0) earliest(readStart + std::chrono::milliseconds(total));
        if (counters.active()) earliest(nextCount);
        const int timeout = wake ? msUntil(now, *wake) : -1;

        struct pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_closeFd, POLLIN, 0}};
        const int r = m_sys->poll(fds, 2, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            sink.noticeRequestHangup();
            break;
        }
        if (fds[1].revents) break;
        if (fds[0].revents & POLLNVAL) break;  // descriptor gone: the port is closing

        if (fds[0].revents & POLLIN) {
            const bool marked = m_marksOn;
            if (marked && have == kReadBlockSize - 1) deliver();  // a mark may yield one byte more
            const std::size_t room = kReadBlockSize - have - (marked ? 1 : 0);
            const ssize_t n = m_sys->read(m_fd, marked ? raw : block + have, room);
            if (n > 0) {
                std::size_t got = std::size_t(n);
                if (marked) {
                    marks.setReplacement(m_replaceOnError, m_replacedChar);
                    const LineMarkDecoder::Result d = marks.decode(raw, got, block + have);
                    got = d.length;
                    if (d.errors && !counters.countsErrors()) sink.noticeReceiveError(d.errors);
                }
                if (m_dropNul) {
                    std::uint8_t* begin = block + have;
                    got = std::size_t(std::remove(begin, begin + got, std::uint8_t(0)) - begin);
                }
                have += got;
                lastByte = Clock::now();
                if (have >= kReadBlockSize || immediate ||
                    (m_endAtCr && have > 0 && block[have - 1] == '\r'))
                    deliver();
            } else if (n == 0 || !(errno == EAGAIN || errno == EINTR)) {
                // End of file or a vanished device: hand over what arrived, then report.
                const bool closing = n < 0 && errno == EBADF;
                deliver();
                if (!closing) sink.noticeRequestHangup();
                break;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            deliver();
            sink.noticeRequestHangup();
            break;
        }

        const Clock::time_point after = Clock::now();
        if (have > 0 && useInterval && after >= lastByte + std::chrono::milliseconds(interval))
            deliver();
        if (total > 0 && after >= readStart + std::chrono::milliseconds(total)) {
            // A total time-out with nothing read simply starts the next read.
            deliver();
            readStart = after;
        }
        if (counters.active() && after >= nextCount) {
            counters.check(sink);
            nextCount = after + m_counterPeriod;
        }
    }
    m_sys->tcflush(m_fd, TCIFLUSH);
}

bool PosixCommPort::writeBlock(CommNoticeSink& sink, const CommBlock& block) {
    const char* p = block.data.get();
    std::size_t left = block.count;
    while (left > 0) {
        const ssize_t n = m_sys->write(m_fd, p, left);
        if (n > 0) {
            p += n;
            left -= std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EBADF) return false;
        if (n < 0 && errno != EAGAIN) {
            sink.noticeRequestHangup();
            return false;
        }
        // Output is full (or held by flow control): wait for room or for close.
        struct pollfd fds[2] = {{m_fd, POLLOUT, 0}, {m_closeFd, POLLIN, 0}};
        const int r = m_sys->poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            sink.noticeRequestHangup();
            return false;
        }
        if (fds[1].revents) return false;
        if (fds[0].revents & POLLNVAL) return false;
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            sink.noticeRequestHangup();
            return false;
        }
    }
    return true;
}

void PosixCommPort::runSender(CommNoticeSink& sink, CommSendQueue& queue,
                              std::atomic<bool>& sendQueueEmpty) {
    bool drained = true;
    for (;;) {
        CommBlock block;
        if (!queue.tryPop(block)) {
            sendQueueEmpty = true;
            if (drained) sink.noticeSendDataEmpty();
            drained = false;
            struct pollfd fds[2] = {{m_closeFd, POLLIN, 0}, {m_writeFd, POLLIN, 0}};
            const int r = m_sys->poll(fds, 2, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                sink.noticeRequestHangup();
                break;
            }
            if (fds[0].revents) break;
            std::uint64_t count = 0;
            m_sys->read(m_writeFd, &count, sizeof count);
            continue;
        }
        // A frame goes out one byte per block: a flag, not a system call,
        // is what stops the rest of it when the port closes.
        if (m_closing) break;
        if (!writeBlock(sink, block)) break;
        drained = true;
    }
    m_sys->tcflush(m_fd, TCOFLUSH);
    sendQueueEmpty = true;
}

void PosixCommPort::close() {
    if (m_closeFd >= 0) m_sys->close(m_closeFd);
    if (m_writeFd >= 0) m_sys->close(m_writeFd);
    m_closeFd = m_writeFd = -1;
    if (m_fd < 0) return;
    // Flush first: output held by flow control would otherwise make the
    // restore below wait for it to drain.
    m_sys->tcflush(m_fd, TCIOFLUSH);
    if (m_haveSaved) m_sys->tcsetattr(m_fd, TCSANOW, &m_saved);
    if (!m_wasExclusive) m_sys->ioctl(m_fd, TIOCNXCL, nullptr);
    m_sys->close(m_fd);
    m_fd = -1;
    m_haveSaved = false;
    m_counters.reset();
}

PosixCommPort::~PosixCommPort() {
    close();
}

CommPortFactory defaultCommPortFactory() {
    return [] { return std::make_unique<PosixCommPort>(); };
}

}  // namespace lqs
