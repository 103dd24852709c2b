// lqs-sim as a child process for a benchmark, and a wait on the event loop
// that whatever may end it pokes.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <vector>

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

// lqs-sim as a child process: its events on stdout, loads through its FIFO.
class Simulator {
public:
    struct Event {
        qint64 ns;
        QByteArray what;
    };

    explicit Simulator(Waiter& waiter)
        : m_waiter(waiter), m_fifo(m_dir.filePath(QStringLiteral("control"))) {}
    ~Simulator() {
        if (m_control >= 0) ::close(m_control);
        m_process.terminate();
        m_process.waitForFinished(5000);
    }

    // The pty's path, or empty.
    QString start(int jitterMs) {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(
            QCoreApplication::applicationDirPath() + QStringLiteral("/lqs-sim"),
            {QStringLiteral("--no-link"), QStringLiteral("--baud"), QStringLiteral("9600"),
             QStringLiteral("--answer-ms"), QStringLiteral("10"), QStringLiteral("--jitter-ms"),
             QString::number(jitterMs), QStringLiteral("--control"), m_fifo,
             QStringLiteral("--events"), QStringLiteral("-")});
        if (!m_process.waitForStarted(5000)) return {};
        while (!m_process.canReadLine() && m_process.waitForReadyRead(5000)) {
        }
        const QString slave = QString::fromLocal8Bit(m_process.readLine()).trimmed();
        if (!slave.startsWith(QLatin1String("/dev/"))) return {};
        // lqs-sim holds the FIFO open for reading, so this open does not wait.
        m_control = ::open(QFile::encodeName(m_fifo).constData(), O_WRONLY | O_CLOEXEC);
        if (m_control < 0) return {};
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] {
            readEvents();
            m_waiter.poke();
        });
        readEvents();
        return slave;
    }

    // The moment the simulator changed the load, or nothing within 2 s.
    std::optional<qint64> setLoad(double ohms) {
        const QByteArray what = "load 1 " + QByteArray::number(ohms, 'g', 6);
        const std::size_t from = m_events.size();
        const QByteArray line = what + '\n';
        if (::write(m_control, line.constData(), std::size_t(line.size())) != line.size())
            return std::nullopt;
        std::optional<qint64> at;
        m_waiter.wait([&] { return bool(at = find(what, from)); }, 2000);
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
    void readEvents() {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            const qsizetype space = line.indexOf(' ');
            bool ok = false;
            const qint64 ns = line.left(space).toLongLong(&ok);
            if (ok) m_events.push_back({ns, line.mid(space + 1)});
        }
    }

    Waiter& m_waiter;
    QProcess m_process;
    QTemporaryDir m_dir;  // not the port dialog's folder
    QString m_fifo;
    int m_control = -1;
    std::vector<Event> m_events;
};

}  // namespace lqs::bench
