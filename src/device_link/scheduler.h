// One clock for the link: every pause and deadline of every sequence is a
// timer here. The program runs it on the steady clock, woken by one precise
// Qt timer in the thread it lives in; tests and dry runs drive it by hand,
// so a nine-second poll cycle takes no time and every moment is exact.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

namespace lqs {

using LinkClock = std::chrono::steady_clock;
using LinkTime = LinkClock::time_point;
using LinkDuration = LinkClock::duration;

class Scheduler : public QObject {
    Q_OBJECT
public:
    enum class Kind { Steady, Driven };
    using TimerId = std::uint64_t;

    explicit Scheduler(Kind kind = Kind::Steady, QObject* parent = nullptr);
    ~Scheduler() override;

    bool driven() const { return m_kind == Kind::Driven; }
    LinkTime now() const;
    // The wall-clock time a moment of this clock maps to.
    QDateTime wallTime(LinkTime t) const;

    // fn runs at when (at once, on the next turn, when that has passed).
    // Timers due at the same moment run in the order they were set.
    TimerId at(LinkTime when, std::function<void()> fn);
    TimerId after(LinkDuration d, std::function<void()> fn) { return at(now() + d, std::move(fn)); }
    // On the next turn, after whatever runs now.
    TimerId post(std::function<void()> fn) { return at(now(), std::move(fn)); }
    void cancel(TimerId id);
    bool pending(TimerId id) const { return m_index.count(id) != 0; }
    std::optional<LinkTime> nextDeadline() const;

    // Driven only: time moves to `to`, stopping at each timer due on the way,
    // which runs with now() at its own deadline. advanceBy(0) runs what is
    // due now.
    void advanceTo(LinkTime to);
    void advanceBy(LinkDuration d) { advanceTo(now() + d); }
    // Driven only: runs timers one deadline at a time until none is left
    // before `limit`; between deadlines `between` runs (a test lets queued
    // Qt events through there).
    void runUntil(LinkTime limit, const std::function<void()>& between);

private:
    void arm();
    void runDue();
    void runOne(std::map<std::pair<LinkTime, TimerId>, std::function<void()>>::iterator it);

    Kind m_kind;
    std::map<std::pair<LinkTime, TimerId>, std::function<void()>> m_timers;
    std::map<TimerId, LinkTime> m_index;
    TimerId m_nextId = 0;
    LinkTime m_drivenNow;
    QDateTime m_drivenWallBase;  // the wall time of m_drivenStart
    LinkTime m_drivenStart;
    bool m_running = false;  // inside runDue: the wake-up is armed once it ends
    QTimer m_wake;
};

}  // namespace lqs
