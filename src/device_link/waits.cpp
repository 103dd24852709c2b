#include "waits.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <chrono>

namespace lqs {

namespace {
bool inUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
}  // namespace

void Waits::ResponsiveWait(int ms) {
    if (ms <= 0) return;
    if (!inUiThread()) {
        sleepFor(ms);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void Waits::PacedWait(int passes, int ms) {
    if (passes <= 0 || ms < 0) return;
    ResponsiveWait(passes * ms);
}

bool Waits::sleepFor(int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_shutdown; });
}

void Waits::shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
    }
    m_wake.notify_all();
}

void Waits::signal(const std::function<void()>& set) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        set();
    }
    m_wake.notify_all();
}

bool Waits::waitUntil(const std::function<bool()>& ready) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait(lock, [&] { return m_shutdown || ready(); });
    return ready();
}

bool Waits::shuttingDown() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shutdown;
}

}  // namespace lqs
