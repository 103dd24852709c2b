#include "device_link/scheduler.h"

namespace lqs {

Scheduler::Scheduler(Kind kind, QObject* parent) : QObject(parent), m_kind(kind) {
    // A driven clock starts well past zero, so no moment before it is negative,
    // and at a fixed wall time, so what tests see is the same every run.
    m_drivenStart = LinkTime(std::chrono::hours(1));
    m_drivenNow = m_drivenStart;
    m_drivenWallBase = QDateTime(QDate(2026, 1, 5), QTime(9, 0), Qt::UTC);
    m_wake.setParent(this);  // so it moves with the scheduler to another thread
    m_wake.setSingleShot(true);
    m_wake.setTimerType(Qt::PreciseTimer);
    connect(&m_wake, &QTimer::timeout, this, &Scheduler::runDue);
}

Scheduler::~Scheduler() = default;

LinkTime Scheduler::now() const {
    return driven() ? m_drivenNow : LinkClock::now();
}

QDateTime Scheduler::wallTime(LinkTime t) const {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    if (driven())
        return m_drivenWallBase.addMSecs(duration_cast<milliseconds>(t - m_drivenStart).count())
            .toLocalTime();
    // Reckoned in UTC and turned local once: each local-time step costs a
    // look at the time zone file, and this runs for every reading.
    return QDateTime::currentDateTimeUtc()
        .addMSecs(-duration_cast<milliseconds>(LinkClock::now() - t).count())
        .toLocalTime();
}

Scheduler::TimerId Scheduler::at(LinkTime when, std::function<void()> fn) {
    const TimerId id = ++m_nextId;
    m_timers.emplace(std::make_pair(when, id), std::move(fn));
    m_index.emplace(id, when);
    arm();
    return id;
}

void Scheduler::cancel(TimerId id) {
    const auto it = m_index.find(id);
    if (it == m_index.end()) return;
    m_timers.erase(std::make_pair(it->second, id));
    m_index.erase(it);
    arm();
}

std::optional<LinkTime> Scheduler::nextDeadline() const {
    if (m_timers.empty()) return std::nullopt;
    return m_timers.begin()->first.first;
}

// Steady: one Qt timer for the earliest deadline, rounded up so it never
// fires early.
void Scheduler::arm() {
    if (driven() || m_running) return;
    if (m_timers.empty()) {
        m_wake.stop();
        return;
    }
    const auto wait = m_timers.begin()->first.first - LinkClock::now();
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    m_wake.start(int(std::max<long long>(0, std::min<long long>(ms, 24 * 3600 * 1000))));
}

void Scheduler::runOne(std::map<std::pair<LinkTime, TimerId>, std::function<void()>>::iterator it) {
    std::function<void()> fn = std::move(it->second);
    m_index.erase(it->first.second);
    m_timers.erase(it);
    fn();
}

void Scheduler::runDue() {
    m_running = true;
    // Only what is due when the turn starts: a timer set for now by one that
    // runs here waits for the next turn, so no chain of them starves the loop.
    const LinkTime limit = now();
    const TimerId newest = m_nextId;
    for (auto it = m_timers.begin(); it != m_timers.end() && it->first.first <= limit;) {
        if (it->first.second > newest) {
            ++it;
            continue;
        }
        runOne(it);
        it = m_timers.begin();
    }
    m_running = false;
    arm();
}

void Scheduler::advanceTo(LinkTime to) {
    runUntil(to, {});
}

void Scheduler::runUntil(LinkTime limit, const std::function<void()>& between) {
    if (!driven()) return;
    for (;;) {
        if (between) between();
        if (m_timers.empty() || m_timers.begin()->first.first > limit) break;
        m_drivenNow = std::max(m_drivenNow, m_timers.begin()->first.first);
        runDue();
    }
    m_drivenNow = std::max(m_drivenNow, limit);
}

}  // namespace lqs
