#include "pty_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace lqs::sim {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Nanoseconds, so byte times of about a millisecond are kept without rounding.
timespec pollTimeout(Clock::time_point due) {
    const auto left = std::max(due - Clock::now(), Clock::duration::zero());
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left - s);
    timespec t{};
    t.tv_sec = static_cast<time_t>(s.count());
    t.tv_nsec = static_cast<long>(ns.count());
    return t;
}

}  // namespace

PtyEndpoint::PtyEndpoint(Model model) : instrument_(model) {}

PtyEndpoint::~PtyEndpoint() {
    stop();
}

void PtyEndpoint::start() {
    if (running()) return;
    closeAll();
    stopRequested_ = false;
    hangupRequested_ = false;
    hungUp_ = false;

    int master = -1;
    int slave = -1;
    int wakeFd = -1;
    auto fail = [&](const char* what) {
        const int err = errno;
        closeFd(master);
        closeFd(slave);
        closeFd(wakeFd);
        errno = err;
        throwErrno(what);
    };

    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0) fail("posix_openpt");
    if (::grantpt(master) != 0) fail("grantpt");
    if (::unlockpt(master) != 0) fail("unlockpt");
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) fail("ptsname_r");

    // Our own slave descriptor keeps the line alive across the program's close/reopen,
    // and setting it raw now means nothing is ever echoed back to the program.
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) fail("open slave");
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0) fail("tcgetattr");
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(slave, TCSANOW, &tio) != 0) fail("tcsetattr");

    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) fail("eventfd");

    // Our slave descriptor keeps the line open, so the master never sees a client
    // leave; its closes are watched instead. Without inotify the line still works.
    int closeWatch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (closeWatch >= 0 && ::inotify_add_watch(closeWatch, name, IN_CLOSE) < 0) closeFd(closeWatch);

    masterFd_ = master;
    slaveFd_ = slave;
    wakeFd_ = wakeFd;
    closeWatchFd_ = closeWatch;
    resetLine();
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        slavePath_ = name;
    }
    thread_ = std::thread([this] { run(); });
}

void PtyEndpoint::stop() {
    if (thread_.joinable()) {
        stopRequested_ = true;
        wake();
        thread_.join();
    }
    removeLink();
    closeAll();
}

void PtyEndpoint::closeAll() {
    closeFd(masterFd_);
    closeFd(slaveFd_);
    closeFd(wakeFd_);
    closeFd(closeWatchFd_);
    resetLine();
    std::lock_guard<std::mutex> lock(stateMutex_);
    slavePath_.clear();
}

std::string PtyEndpoint::slavePath() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return slavePath_;
}

std::error_code PtyEndpoint::makeLink(const std::string& path) {
    removeLink();
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (slavePath_.empty()) return std::make_error_code(std::errc::not_connected);
    if (::symlink(slavePath_.c_str(), path.c_str()) != 0) {
        const int error = errno;
        if (error != EEXIST || !isStaleLink(path, slavePath_))
            return std::error_code(error, std::generic_category());
        // A killed predecessor's link: replaced in one step, so a program
        // opening the name meanwhile finds the old link or the new one.
        const std::string fresh = path + ".new." + std::to_string(::getpid());
        ::unlink(fresh.c_str());
        if (::symlink(slavePath_.c_str(), fresh.c_str()) != 0 ||
            ::rename(fresh.c_str(), path.c_str()) != 0) {
            const int failed = errno;
            ::unlink(fresh.c_str());
            return std::error_code(failed, std::generic_category());
        }
    }
    linkPath_ = path;
    return {};
}

// A link left by a simulator that was killed: it leads nowhere, or to the
// pseudo-terminal this one now holds (the number came free with its death).
// A link to anything else alive, or anything not a link, is someone's own.
bool PtyEndpoint::isStaleLink(const std::string& path, const std::string& ours) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    const std::string to(target, static_cast<std::size_t>(n));
    if (to == ours) return true;
    return ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

void PtyEndpoint::removeLink() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (linkPath_.empty()) return;
    // Only our own link: someone may have replaced it meanwhile.
    char target[PATH_MAX];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_)
        ::unlink(linkPath_.c_str());
    linkPath_.clear();
}

std::string PtyEndpoint::linkPath() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return linkPath_;
}

std::vector<std::string> PtyEndpoint::transcript() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return transcript_;
}

std::string PtyEndpoint::rawBytes() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return raw_;
}

std::vector<std::string> PtyEndpoint::wireFrames() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return wireFrames_;
}

std::vector<std::chrono::steady_clock::time_point> PtyEndpoint::wireTimes() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return wireTimes_;
}

std::vector<std::string> PtyEndpoint::wireFlags() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return wireFlags_;
}

void PtyEndpoint::setFrameSilence(std::chrono::milliseconds ms) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    frameSilence_ = ms;
}

std::vector<std::string> PtyEndpoint::ignoredFrames() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return ignored_;
}

Clock::time_point PtyEndpoint::lastReplyEnd() const {
    return Clock::time_point(Clock::duration(lastReplyEnd_.load()));
}

void PtyEndpoint::setLineModel(const LineModel& line) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    line_ = line;
}

LineModel PtyEndpoint::lineModel() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return line_;
}

void PtyEndpoint::clearTranscript() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    transcript_.clear();
    ignored_.clear();
    raw_.clear();
    wireFrames_.clear();
    wireTimes_.clear();
    wireFlags_.clear();
}

namespace {
std::string printable(const std::string& frame) {
    std::string out;
    for (unsigned char c : frame) {
        if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
}  // namespace

// One read's bytes: each frame is kept as it came and judged when its LF arrives.
void PtyEndpoint::checkWire(const char* data, std::size_t size) {
    const auto now = Clock::now();
    if (!partialFrame_.empty() && now - partialAt_ > frameSilence_) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - partialAt_);
        wireFlags_.push_back("frame split by " + std::to_string(ms.count()) + " ms after \"" +
                             printable(partialFrame_) + "\"");
    }
    partialAt_ = now;
    for (std::size_t i = 0; i < size; ++i) {
        partialFrame_ += data[i];
        if (data[i] != '\n') continue;
        std::string frame;
        frame.swap(partialFrame_);
        const std::size_t n = frame.size();
        if (n < 2 || frame[n - 2] != '\r') {
            wireFlags_.push_back("frame not ending in CR LF: \"" + printable(frame) + "\"");
        }
        for (std::size_t k = 0; k + 2 < n; ++k) {
            const unsigned char c = static_cast<unsigned char>(frame[k]);
            if (c < 0x20 || c >= 0x7f) {
                wireFlags_.push_back("byte outside printable ASCII: \"" + printable(frame) + "\"");
                break;
            }
        }
        wireFrames_.push_back(std::move(frame));
        wireTimes_.push_back(now);
    }
}

bool PtyEndpoint::waitForFrames(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(stateMutex_);
    return framesChanged_.wait_for(lock, timeout, [&] { return transcript_.size() >= n; });
}

void PtyEndpoint::injectFault(Fault fault, int count) {
    if (count <= 0) return;
    std::lock_guard<std::mutex> lock(stateMutex_);
    faults_.add(fault, count);
}

void PtyEndpoint::setSilent(bool silent) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    silent_ = silent;
}

bool PtyEndpoint::silent() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return silent_;
}

void PtyEndpoint::clearFaults() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    faults_.clear();
}

std::size_t PtyEndpoint::pendingFaults() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return faults_.pending();
}

void PtyEndpoint::hangUpNow() {
    hangupRequested_ = true;
    wake();
}

void PtyEndpoint::sendUnasked(std::string bytes) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        unasked_.push_back(std::move(bytes));
    }
    wake();
}

void PtyEndpoint::setFrameObserver(std::function<void(const Exchange&)> observer) {
    TimedFrameObserver timed;
    if (observer) timed = [o = std::move(observer)](const Exchange& e, Clock::time_point) { o(e); };
    setTimedFrameObserver(std::move(timed));
}

void PtyEndpoint::setTimedFrameObserver(TimedFrameObserver observer) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    observer_ = std::move(observer);
}

void PtyEndpoint::wake() {
    if (wakeFd_ < 0) return;
    const std::uint64_t one = 1;
    // A full counter already means a pending wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void PtyEndpoint::run() {
    bool writeBlocked = false;
    while (!stopRequested_) {
        // poll skips a negative descriptor: a closed master, no close watch.
        pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {masterFd_, POLLIN, 0}, {closeWatchFd_, POLLIN, 0}};
        std::optional<Clock::time_point> next;
        if (!inbound_.empty()) next = inbound_.front().due;
        if (!queue_.empty() && masterFd_ >= 0) {
            if (writeBlocked)
                fds[1].events |= POLLOUT;
            else
                next = next ? std::min(*next, queue_.front().due) : queue_.front().due;
        }
        const timespec timeout = next ? pollTimeout(*next) : timespec{};
        if (::ppoll(fds, 3, next ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t v;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &v, sizeof v);
        }
        if (stopRequested_) break;
        if (hangupRequested_.exchange(false)) closeMaster();
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            const auto now = Clock::now();
            for (std::string& bytes : unasked_)
                queue_.push_back(out_.queue(now, std::move(bytes), false, line_.byteTime()));
            unasked_.clear();
        }

        if (fds[2].revents & POLLIN) clientsLeft();
        if (fds[1].fd >= 0 && masterFd_ >= 0) {
            const short rev = fds[1].revents;
            if (rev & POLLOUT) writeBlocked = false;
            if (rev & POLLIN) {
                char buf[512];
                for (;;) {
                    const ssize_t n = ::read(masterFd_, buf, sizeof buf);
                    if (n > 0) {
                        handleInput(buf, static_cast<std::size_t>(n));
                    } else if (n < 0 && errno == EINTR) {
                        continue;
                    } else {
                        if (n == 0 || errno != EAGAIN) closeMaster();
                        break;
                    }
                }
            } else if (rev & (POLLHUP | POLLERR | POLLNVAL)) {
                // Cannot happen while we hold the slave open; give up rather than spin.
                closeMaster();
            }
        }
        actOnDue();
        if (masterFd_ >= 0 && !writeBlocked) writeBlocked = !flushDue();
    }
}

// A program that set TIOCEXCL and was killed leaves the line exclusive while our
// own slave descriptor keeps it open, and every later open by a normal user fails.
// Any close ends the claim: only the holder or root (whom TIOCEXCL does not stop)
// could have opened it, and the program's flock still guards a live holder.
void PtyEndpoint::clientsLeft() {
    alignas(inotify_event) char buf[4096];
    bool closed = false;
    for (;;) {
        const ssize_t n = ::read(closeWatchFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            inotify_event e;
            std::memcpy(&e, buf + at, sizeof e);
            closed = closed || (e.mask & (IN_CLOSE | IN_Q_OVERFLOW)) != 0;
            at += ssize_t(sizeof e + e.len);
        }
    }
    if (closed) ::ioctl(slaveFd_, TIOCNXCL);
}

// Bytes are kept as they come; each frame waits until its LF would have arrived.
void PtyEndpoint::handleInput(const char* data, std::size_t size) {
    std::chrono::nanoseconds byteTime;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        raw_.append(data, size);
        checkWire(data, size);
        byteTime = line_.byteTime();
    }
    auto end = std::max(Clock::now(), inFree_);
    for (std::size_t i = 0; i < size; ++i) {
        end += byteTime;
        if (data[i] == '\n') {
            inFrame_ += '\n';
            inbound_.push_back({end, std::move(inFrame_)});
            inFrame_.clear();
        } else if (inFrame_.size() <= Instrument::kMaxFrame) {
            // One byte past the limit is enough for the instrument to refuse the frame.
            inFrame_ += data[i];
        }
    }
    inFree_ = end;
}

void PtyEndpoint::actOnDue() {
    const auto now = Clock::now();
    while (masterFd_ >= 0 && !inbound_.empty() && inbound_.front().due <= now) {
        const Incoming in = std::move(inbound_.front());
        inbound_.pop_front();
        act(in);
    }
}

void PtyEndpoint::act(const Incoming& in) {
    std::string text = in.frame.substr(0, in.frame.size() - 1);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) return;

    LineModel line;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        line = line_;
        // Judged on the line's clock, not on when this thread got round to it.
        if (out_.tooSoon(in.due, line)) {
            ignored_.push_back(std::move(text));
            return;
        }
    }

    std::vector<Exchange> exchanges;
    std::string terminator;
    {
        std::lock_guard<std::mutex> lock(instrumentMutex_);
        exchanges = instrument_.process(in.frame);
        terminator = instrument_.terminator();
    }
    TimedFrameObserver observer;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        for (const Exchange& e : exchanges) transcript_.push_back(e.command);
        observer = observer_;
    }
    framesChanged_.notify_all();
    for (const Exchange& e : exchanges) {
        if (observer) observer(e, in.due);
        queueReply(e, terminator, in.due, line);
    }
}

void PtyEndpoint::queueReply(const Exchange& e, const std::string& terminator,
                             Clock::time_point actedAt, const LineModel& line) {
    std::optional<Fault> fault;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (silent_ || e.kind == ReplyKind::None) return;
        fault = faults_.take(e.kind);
    }
    for (OutChunk& chunk : out_.reply(e, terminator, actedAt, line, fault))
        queue_.push_back(std::move(chunk));
}

bool PtyEndpoint::flushDue() {
    const auto now = Clock::now();
    while (!queue_.empty() && masterFd_ >= 0 && queue_.front().due <= now) {
        OutChunk& o = queue_.front();
        if (o.hangup) {
            closeMaster();
            return true;
        }
        // Known before the bytes go: whoever reads them may ask at once.
        if (o.endsReply) lastReplyEnd_ = o.due.time_since_epoch().count();
        while (written_ < o.bytes.size()) {
            const ssize_t n =
                ::write(masterFd_, o.bytes.data() + written_, o.bytes.size() - written_);
            if (n > 0) {
                written_ += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                return false;  // the program is not reading; wait for POLLOUT
            } else {
                closeMaster();
                return true;
            }
        }
        if (o.endsReply) ++repliesSent_;
        queue_.pop_front();
        written_ = 0;
    }
    return true;
}

void PtyEndpoint::closeMaster() {
    closeFd(masterFd_);
    queue_.clear();
    written_ = 0;
    inbound_.clear();
    hungUp_ = true;
}

// A fresh line: nothing on it, nothing owed.
void PtyEndpoint::resetLine() {
    queue_.clear();
    written_ = 0;
    inbound_.clear();
    inFrame_.clear();
    inFree_ = {};
    out_.reset();
}

}  // namespace lqs::sim
