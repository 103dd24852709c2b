#include "sim_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "pty_endpoint.h"

namespace lqs::sim {

namespace {

constexpr double kLongestStepSeconds = 86400;
constexpr std::size_t kLongestControlLine = 256;

// The whole text, a plain decimal number: no sign, no "inf".
bool parseNumber(std::string_view s, double& out) {
    double v = 0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || ptr != s.data() + s.size() || !std::isfinite(v) || v < 0)
        return false;
    out = v;
    return true;
}

bool parseChannel(std::string_view s, int& channel, std::string& error) {
    if (s == "1" || s == "2") {
        channel = s[0] - '0';
        return true;
    }
    error = "the channel is 1 or 2";
    return false;
}

bool parseOhms(std::string_view s, double& ohms, std::string& error) {
    if (s == "open") {
        ohms = std::numeric_limits<double>::infinity();
        return true;
    }
    if (parseNumber(s, ohms)) return true;
    error = "the load is a resistance in ohms, 0 or more, or 'open'";
    return false;
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
        if (i > start) out.push_back(s.substr(start, i - start));
    }
    return out;
}

// Frames may hold any byte; keep the terminal sane.
std::string printable(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

std::optional<LoadStep> parseLoadStep(std::string_view text, std::string& error) {
    const std::size_t a = text.find(':');
    const std::size_t b = a == std::string_view::npos ? a : text.find(':', a + 1);
    if (b == std::string_view::npos || text.find(':', b + 1) != std::string_view::npos) {
        error = "expected CHANNEL:SECONDS:OHMS, e.g. 1:2.5:3.3";
        return std::nullopt;
    }
    LoadStep step;
    double seconds = 0;
    if (!parseChannel(text.substr(0, a), step.channel, error)) return std::nullopt;
    if (!parseNumber(text.substr(a + 1, b - a - 1), seconds) || seconds > kLongestStepSeconds) {
        error = "the seconds are a number from 0 to 86400";
        return std::nullopt;
    }
    if (!parseOhms(text.substr(b + 1), step.ohms, error)) return std::nullopt;
    step.after = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds));
    return step;
}

std::optional<LoadChange> parseControlLine(std::string_view line, std::string& error) {
    const std::vector<std::string_view> w = words(line);
    if (w.size() != 3 || w[0] != "load") {
        error = "expected 'load CHANNEL OHMS'";
        return std::nullopt;
    }
    LoadChange change;
    if (!parseChannel(w[1], change.channel, error) || !parseOhms(w[2], change.ohms, error))
        return std::nullopt;
    return change;
}

std::string ohmsText(double ohms) {
    if (std::isinf(ohms)) return "open";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", ohms);
    return buf;
}

void EventLog::write(Clock::time_point at, const std::string& what) {
    if (m_fd < 0) return;
    const long long ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%lld %s\n", ns, what.c_str());
    if (n <= 0 || std::size_t(n) >= sizeof line) return;
    // One write per line: lines from the I/O thread and the main thread never interleave.
    ssize_t done;
    do {
        done = ::write(m_fd, line, std::size_t(n));
    } while (done < 0 && errno == EINTR);
    if (done != n && !m_failed.exchange(true))
        std::fprintf(stderr, "lqs-sim: cannot write events: %s\n",
                     done < 0 ? std::strerror(errno) : "short write");
}

SimControl::SimControl(PtyEndpoint& endpoint, std::vector<LoadStep> steps)
    : m_endpoint(endpoint), m_steps(std::move(steps)) {
    std::stable_sort(m_steps.begin(), m_steps.end(),
                     [](const LoadStep& a, const LoadStep& b) { return a.after < b.after; });
    while (m_atOn < m_steps.size() && m_steps[m_atOn].after.count() == 0) ++m_atOn;
    m_next = m_atOn;
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

SimControl::~SimControl() {
    m_endpoint.setTimedFrameObserver({});
    if (m_eventsFd != STDOUT_FILENO) closeFd(m_eventsFd);
    closeFd(m_controlFd);
    closeFd(m_wakeFd);
    if (!m_controlPath.empty()) ::unlink(m_controlPath.c_str());
}

bool SimControl::openEvents(const std::string& path) {
    if (path == "-") {
        m_eventsFd = STDOUT_FILENO;
    } else {
        m_eventsFd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (m_eventsFd < 0) {
            std::fprintf(stderr, "lqs-sim: cannot open %s for the events: %s\n", path.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    // A reader that went away ends the log, not the simulator.
    ::signal(SIGPIPE, SIG_IGN);
    m_events.setFd(m_eventsFd);
    return true;
}

bool SimControl::openControl(const std::string& path) {
    const bool made = ::mkfifo(path.c_str(), 0600) == 0;
    if (!made) {
        const int err = errno;
        struct stat st {};
        if (err != EEXIST) {
            std::fprintf(stderr, "lqs-sim: cannot make the control FIFO %s: %s\n", path.c_str(),
                         std::strerror(err));
            return false;
        }
        if (::lstat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode) || st.st_uid != ::getuid()) {
            std::fprintf(stderr, "lqs-sim: %s is there and is not a FIFO of yours\n", path.c_str());
            return false;
        }
    }
    // Read and write: a writer is always there, so the FIFO never reports an end
    // when a client closes it, and the open never waits for one.
    m_controlFd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_controlFd < 0) {
        std::fprintf(stderr, "lqs-sim: cannot open %s for control: %s\n", path.c_str(),
                     std::strerror(errno));
        if (made) ::unlink(path.c_str());
        return false;
    }
    if (made) m_controlPath = path;
    return true;
}

void SimControl::observe() {
    m_endpoint.setTimedFrameObserver(
        [this](const Exchange& e, Clock::time_point arrived) { frameActed(e, arrived); });
}

// On the I/O thread, right after the frame took effect and before the next one does.
void SimControl::frameActed(const Exchange& e, Clock::time_point arrived) {
    if (m_echo) {
        std::printf("%s\n", printable(e.command).c_str());
        std::fflush(stdout);
    }
    if (!e.recognized || (e.command != "OUT0" && e.command != "OUT1")) return;
    m_events.write(arrived, e.command);
    if (e.command != "OUT1" || m_outputOn.load() != 0) return;
    // Steps at 0 s take effect before any query behind the OUT1 is answered.
    for (std::size_t i = 0; i < m_atOn; ++i) apply(m_steps[i].channel, m_steps[i].ohms);
    m_outputOn = arrived.time_since_epoch().count();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void SimControl::apply(int channel, double ohms) {
    m_endpoint.withInstrument([&](Instrument& in) {
        in.setLoad(channel, ohms);
        return 0;
    });
    m_events.write(Clock::now(), "load " + std::to_string(channel) + " " + ohmsText(ohms));
}

std::optional<SimControl::Clock::time_point> SimControl::nextDue() const {
    const Clock::rep on = m_outputOn.load();
    if (on == 0 || m_next >= m_steps.size()) return std::nullopt;
    return Clock::time_point(Clock::duration(on)) +
           std::chrono::duration_cast<Clock::duration>(m_steps[m_next].after);
}

void SimControl::applyDue() {
    for (auto due = nextDue(); due && *due <= Clock::now(); due = nextDue()) {
        apply(m_steps[m_next].channel, m_steps[m_next].ohms);
        ++m_next;
    }
}

void SimControl::readControl() {
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(m_controlFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buf[i];
            if (c == '\n') {
                if (!m_discarding) controlLine(m_controlBuffer);
                m_controlBuffer.clear();
                m_discarding = false;
            } else if (!m_discarding && m_controlBuffer.size() >= kLongestControlLine) {
                std::fprintf(stderr, "lqs-sim: control line longer than %zu characters ignored\n",
                             kLongestControlLine);
                m_controlBuffer.clear();
                m_discarding = true;
            } else if (!m_discarding) {
                m_controlBuffer.push_back(c);
            }
        }
    }
}

void SimControl::controlLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) return;
    std::string error;
    if (const auto change = parseControlLine(line, error)) {
        apply(change->channel, change->ohms);
    } else {
        std::fprintf(stderr, "lqs-sim: control line \"%s\" ignored: %s\n", printable(line).c_str(),
                     error.c_str());
    }
}

bool SimControl::run(const sigset_t& signals) {
    int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0 || m_wakeFd < 0) {
        std::fprintf(stderr, "lqs-sim: cannot wait for signals: %s\n", std::strerror(errno));
        closeFd(signalFd);
        return false;
    }
    for (;;) {
        // poll skips a negative descriptor: no control FIFO.
        pollfd fds[3] = {{signalFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}, {m_controlFd, POLLIN, 0}};
        const auto due = nextDue();
        timespec timeout{};
        if (due) {
            const auto left = std::max(*due - Clock::now(), Clock::duration::zero());
            const auto s = std::chrono::duration_cast<std::chrono::seconds>(left);
            timeout.tv_sec = time_t(s.count());
            timeout.tv_nsec = long(std::chrono::nanoseconds(left - s).count());
        }
        if (::ppoll(fds, 3, due ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "lqs-sim: %s\n", std::strerror(errno));
            break;
        }
        if (fds[0].revents & POLLIN) break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t v;
            [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &v, sizeof v);
        }
        if (fds[2].revents & POLLIN) readControl();
        applyDue();
    }
    closeFd(signalFd);
    return true;
}

}  // namespace lqs::sim
