#include "device_link/strand.h"

namespace lqs {

namespace {
Strand* g_current = nullptr;  // user-interface thread only
}

Strand::Strand(QObject* parent) : QObject(parent) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Strand::run);
}

Strand::~Strand() {
    if (g_current == this) g_current = nullptr;
}

Strand* Strand::current() {
    return g_current;
}

void Strand::add(Step step) {
    if (g_current == this) {
        m_steps.insert(m_steps.begin() + std::ptrdiff_t(m_insertAt), std::move(step));
        ++m_insertAt;
    } else {
        m_steps.push_back(std::move(step));
    }
}

void Strand::then(std::function<void()> step) {
    add({std::move(step), -1});
}

void Strand::pause(int ms) {
    add({nullptr, ms < 0 ? 0 : ms});
}

void Strand::start() {
    if (m_running || m_timer.isActive()) return;
    run();
}

void Strand::clear() {
    m_steps.clear();
    m_insertAt = 0;
    m_timer.stop();
}

void Strand::run() {
    m_running = true;
    while (!m_steps.empty()) {
        Step step = std::move(m_steps.front());
        m_steps.pop_front();
        if (!step.call) {
            if (step.pauseMs > 0) {
                m_timer.start(step.pauseMs);
                m_running = false;
                return;
            }
            continue;
        }
        Strand* outer = g_current;
        g_current = this;
        m_insertAt = 0;
        step.call();
        g_current = outer;
    }
    m_running = false;
    Q_EMIT finished();
}

}  // namespace lqs
