#include "device_link/sequence.h"

#include "device_link/link_log.h"

#include <algorithm>

namespace lqs {

std::unique_ptr<Run> Run::start(Scheduler& scheduler, Sequence sequence,
                                std::function<void()> ended) {
    std::unique_ptr<Run> run(new Run(scheduler, std::move(sequence), std::move(ended)));
    if (!run->m_sequence.m_h) {
        run->finish();
        return run;
    }
    run->m_sequence.m_h.promise().run = run.get();
    run->resume(run->m_sequence.m_h);
    return run;
}

Run::Run(Scheduler& scheduler, Sequence sequence, std::function<void()> ended)
    : m_scheduler(scheduler), m_sequence(std::move(sequence)), m_ended(std::move(ended)) {}

// The frame goes with its waits; nobody is told: the owner chose this.
Run::~Run() = default;

void Run::resume(std::coroutine_handle<> h) {
    m_executing = true;
    h.resume();
    m_executing = false;
    if (m_stopRequested || (m_sequence.m_h && m_sequence.m_h.done())) finish();
}

bool Run::suspending() {
    return m_stopRequested;
}

void Run::stop() {
    if (m_finished) return;
    m_stopRequested = true;
    if (!m_executing) finish();
}

void Run::finish() {
    if (m_finished) return;
    m_finished = true;
    if (m_sequence.m_h && m_sequence.m_h.done() && m_sequence.m_h.promise().error) {
        try {
            std::rethrow_exception(m_sequence.m_h.promise().error);
        } catch (const std::exception& e) {
            qCWarning(lqsLink) << "a sequence ended with an error:" << e.what();
        } catch (...) {
            qCWarning(lqsLink) << "a sequence ended with an error";
        }
    }
    m_sequence = Sequence();  // the frame, and every wait it stood in
    if (!m_ended) return;
    m_scheduler.post([alive = std::weak_ptr<bool>(m_alive), ended = std::move(m_ended)] {
        if (!alive.expired()) ended();
    });
}

// ---- Until ----

Until::~Until() {
    if (m_scheduler && m_timer) m_scheduler->cancel(m_timer);
}

void Until::suspend(Run* run, std::coroutine_handle<> h) {
    if (!run || run->suspending()) return;
    m_scheduler = &run->scheduler();
    m_timer = m_scheduler->at(m_when, [this, run, h] {
        m_timer = 0;
        run->resume(h);
    });
}

// ---- Signal ----

Signal::~Signal() {
    for (Wait* w : m_waiters) w->m_signal = nullptr;
}

void Signal::notify() {
    std::vector<Wait*> waiters;
    waiters.swap(m_waiters);
    for (Wait* w : waiters) {
        w->m_signal = nullptr;
        if (w->m_timer) m_scheduler.cancel(w->m_timer);
        w->m_timer = m_scheduler.post([w] {
            w->m_timer = 0;
            w->wake(true);
        });
    }
}

Signal::Wait::~Wait() {
    if (m_signal) {
        auto& list = m_signal->m_waiters;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    if (m_run && m_timer) m_run->scheduler().cancel(m_timer);
}

void Signal::Wait::suspend(Run* run, std::coroutine_handle<> h) {
    m_run = run;
    m_handle = h;
    if (!m_run || m_run->suspending()) {
        m_signal = nullptr;
        return;
    }
    m_signal->m_waiters.push_back(this);
    if (m_deadline) {
        m_timer = m_run->scheduler().at(*m_deadline, [this] {
            m_timer = 0;
            wake(false);
        });
    }
}

void Signal::Wait::wake(bool notified) {
    if (m_woken) return;
    m_woken = true;
    m_notified = notified;
    if (m_signal) {
        auto& list = m_signal->m_waiters;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        m_signal = nullptr;
    }
    if (m_timer) {
        m_run->scheduler().cancel(m_timer);
        m_timer = 0;
    }
    m_run->resume(m_handle);
}

}  // namespace lqs
