// A pseudo-terminal for tests: the test holds the master side and hands the
// slave path to the code under test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace lqs::test {

class PtyPair {
public:
    PtyPair() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) return;
        char name[128] = {};
        if (::ptsname_r(m_master, name, sizeof name) != 0) return;
        m_slavePath = name;
        // Raw from the start so nothing written before the port opens is echoed.
        struct termios t {};
        if (::tcgetattr(m_master, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m_master, TCSANOW, &t);
        }
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return m_master >= 0 && !m_slavePath.empty(); }
    const std::string& slavePath() const { return m_slavePath; }
    int master() const { return m_master; }

    // True once the slave side was opened and every holder has closed it
    // again; a pair whose slave was never opened says false.
    bool slaveClosed() const {
        struct pollfd p = {m_master, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
    }

    void closeMaster() {
        if (m_master >= 0) ::close(m_master);
        m_master = -1;
    }

    bool writeAll(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += std::size_t(n);
            } else if (n < 0 && errno == EAGAIN) {
                struct pollfd p = {m_master, POLLOUT, 0};
                if (::poll(&p, 1, 2000) <= 0) return false;
            } else if (!(n < 0 && errno == EINTR)) {
                return false;
            }
        }
        return true;
    }

    // Reads until want bytes have arrived or the deadline passes.
    std::string readFor(std::size_t want, std::chrono::milliseconds timeout) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buf[4096];
        while (out.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            struct pollfd p = {m_master, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) break;
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n > 0)
                out.append(buf, std::size_t(n));
            else if (!(n < 0 && (errno == EAGAIN || errno == EINTR)))
                break;
        }
        return out;
    }

private:
    int m_master = -1;
    std::string m_slavePath;
};

}  // namespace lqs::test
