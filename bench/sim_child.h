// lqs-sim as a child process for a benchmark, and a wait on the event loop
// that whatever may end it pokes.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

extern char** environ;

namespace lqs::bench {

// Runs the event loop until done() holds or ms have passed; whatever may
// change done() pokes it, so nothing is looked at on a timer.
class Waiter {
public:
    bool wait(const std::function<bool()>& done, int ms) {
        if (done()) return true;
        QEventLoop loop;
        m_done = done;
        m_loop = &loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
        m_loop = nullptr;
        m_done = nullptr;
        return done();
    }
    void pause(int ms) {
        wait([] { return false; }, ms);
    }
    void poke() {
        if (m_loop && m_done && m_done()) m_loop->quit();
    }

private:
    std::function<bool()> m_done;
    QEventLoop* m_loop = nullptr;
};

// lqs-sim as a child process. Its first line on stdout is the pty's path; a
// thread of ours reads the rest and stamps each line as it arrives, so the
// stamp does not wait for the event loop the program runs in. The lines
// then reach this thread through its event loop, each poking the waiter.
class Simulator {
public:
    using Clock = std::chrono::steady_clock;
    using OnLine = std::function<void(const QByteArray& line, Clock::time_point arrived)>;
    struct Event {
        qint64 ns;
        QByteArray what;
    };

    Simulator() = default;
    explicit Simulator(Waiter& waiter) : m_waiter(&waiter) {}
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;
    ~Simulator() {
        if (m_control >= 0) ::close(m_control);
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_reader.joinable()) m_reader.join();  // the pipe's end ends it
        if (m_fd >= 0) ::close(m_fd);
    }

    // lqs-sim --no-link with args: the pty's path, or empty. Every later
    // line goes to onLine.
    QString start(const QStringList& args, OnLine onLine = {}) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return {};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<QByteArray> words{
            QFile::encodeName(QCoreApplication::applicationDirPath() + QStringLiteral("/lqs-sim")),
            QByteArrayLiteral("--no-link")};
        for (const QString& arg : args) words.push_back(arg.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const int failed = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (failed != 0) {
            ::close(fds[0]);
            m_pid = -1;
            return {};
        }
        m_fd = fds[0];
        QByteArray pending;
        const std::optional<QByteArray> slave = firstLine(pending);
        if (!slave || !slave->startsWith("/dev/")) return {};
        m_reader = std::thread([this, onLine = std::move(onLine), pending]() mutable {
            readLines(std::move(pending), onLine);
        });
        return QString::fromLocal8Bit(*slave);
    }

    // At 9600 baud with 10 ms answers, its loads set through a FIFO and its
    // events read from stdout.
    QString start(int jitterMs) {
        const QString slave = start(
            {QStringLiteral("--baud"), QStringLiteral("9600"), QStringLiteral("--answer-ms"),
             QStringLiteral("10"), QStringLiteral("--jitter-ms"), QString::number(jitterMs),
             QStringLiteral("--control"), m_fifo, QStringLiteral("--events"), QStringLiteral("-")},
            [this](const QByteArray& line, Clock::time_point) { addEvent(line); });
        if (slave.isEmpty()) return {};
        // lqs-sim holds the FIFO open for reading, so this open does not wait.
        m_control = ::open(QFile::encodeName(m_fifo).constData(), O_WRONLY | O_CLOEXEC);
        return m_control < 0 ? QString() : slave;
    }

    // The moment the simulator changed the load, or nothing within 2 s.
    std::optional<qint64> setLoad(double ohms) {
        if (!m_waiter || m_control < 0) return std::nullopt;
        const QByteArray what = "load 1 " + QByteArray::number(ohms, 'g', 6);
        const std::size_t from = m_events.size();
        const QByteArray line = what + '\n';
        if (::write(m_control, line.constData(), std::size_t(line.size())) != line.size())
            return std::nullopt;
        std::optional<qint64> at;
        m_waiter->wait([&] { return bool(at = find(what, from)); }, 2000);
        return at;
    }

    std::size_t eventCount() const { return m_events.size(); }
    // The first event reading what at or after index from.
    std::optional<qint64> find(const QByteArray& what, std::size_t from) const {
        for (std::size_t i = from; i < m_events.size(); ++i)
            if (m_events[i].what == what) return m_events[i].ns;
        return std::nullopt;
    }

private:
    // The path line, read before anything runs on it; what came after it
    // stays in pending.
    std::optional<QByteArray> firstLine(QByteArray& pending) const {
        char buf[4096];
        for (qsizetype end; (end = pending.indexOf('\n')) < 0;) {
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, 5000);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return std::nullopt;
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            pending.append(buf, n);
        }
        const qsizetype end = pending.indexOf('\n');
        const QByteArray line = pending.left(end).trimmed();
        pending.remove(0, end + 1);
        return line;
    }

    // In the reader thread until the pipe closes.
    void readLines(QByteArray pending, const OnLine& onLine) {
        char buf[4096];
        Clock::time_point arrived = Clock::now();
        for (;;) {
            qsizetype end;
            while ((end = pending.indexOf('\n')) >= 0) {
                const QByteArray line = pending.left(end);
                pending.remove(0, end + 1);
                QMetaObject::invokeMethod(
                    &m_receiver,
                    [this, onLine, line, arrived] {
                        if (onLine) onLine(line, arrived);
                        if (m_waiter) m_waiter->poke();
                    },
                    Qt::QueuedConnection);
            }
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            arrived = Clock::now();
            pending.append(buf, n);
        }
    }

    void addEvent(const QByteArray& text) {
        const QByteArray line = text.trimmed();
        const qsizetype space = line.indexOf(' ');
        bool ok = false;
        const qint64 ns = line.left(space).toLongLong(&ok);
        if (ok) m_events.push_back({ns, line.mid(space + 1)});
    }

    Waiter* m_waiter = nullptr;
    QObject m_receiver;  // where the reader's lines are delivered
    pid_t m_pid = -1;
    int m_fd = -1;
    std::thread m_reader;
    QTemporaryDir m_dir;  // not the port dialog's folder
    QString m_fifo = m_dir.filePath(QStringLiteral("control"));
    int m_control = -1;
    std::vector<Event> m_events;
};

}  // namespace lqs::bench
