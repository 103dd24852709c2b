// A named pipe for tests of code that must never open it. Should the code
// block in open() all the same, the guard opens the other end after a
// deadline, so the test fails instead of hanging.
#pragma once

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace lqs::test {

class FifoGuard {
public:
    explicit FifoGuard(const QString& path, std::chrono::seconds limit = std::chrono::seconds(5))
        : m_path(QFile::encodeName(path)) {
        made = ::mkfifo(m_path.constData(), 0644) == 0;
        if (!made) return;
        m_thread = std::thread([this, limit] {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_cv.wait_for(lock, limit, [this] { return m_done; })) return;
            // O_RDWR never blocks on a pipe; closing it again ends the reader's wait.
            const int fd = ::open(m_path.constData(), O_RDWR | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            blocked = true;
        });
    }
    ~FifoGuard() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }
    FifoGuard(const FifoGuard&) = delete;
    FifoGuard& operator=(const FifoGuard&) = delete;

    bool made = false;
    // The code under test was still waiting in open() at the deadline.
    std::atomic<bool> blocked{false};

private:
    QByteArray m_path;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace lqs::test
