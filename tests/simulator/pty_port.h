// The program's side of the simulated line, reduced to what the tests need.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QByteArray>
#include <chrono>
#include <string>
#include <vector>

namespace lqs::sim::test {

using Clock = std::chrono::steady_clock;

class PtyPort {
public:
    explicit PtyPort(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)) {}
    ~PtyPort() { ::close(fd_); }
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;
    int fd() const { return fd_; }

    // One byte per write, CR LF appended, as the program sends frames.
    bool send(const std::string& command) {
        for (char c : command + "\r\n")
            if (::write(fd_, &c, 1) != 1) return false;
        return true;
    }

    struct Received {
        QByteArray bytes;
        std::vector<Clock::time_point> at;  // arrival time of each byte
    };
    // Reads until `count` bytes arrived or the deadline passed.
    Received read(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        Received r;
        const auto deadline = Clock::now() + timeout;
        char c;
        while (r.at.size() < count && waitFor(POLLIN, deadline) && ::read(fd_, &c, 1) == 1) {
            r.bytes.append(c);
            r.at.push_back(Clock::now());
        }
        return r;
    }
    QByteArray reply(std::size_t count) { return read(count).bytes; }

    // True once the other end has gone within `timeout`.
    bool hungUp(std::chrono::milliseconds timeout) {
        return waitFor(POLLHUP, Clock::now() + timeout);
    }

private:
    bool waitFor(short event, Clock::time_point deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        return left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) == 1 &&
               (p.revents & event);
    }
    int fd_;
};

inline std::string readLink(const std::string& path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace lqs::sim::test
