// The pure parts of fast readings: which query goes out next, and how long
// the pause between one exchange and the next is. Both take the time as an
// argument, so tests drive them without a clock.
#pragma once

#include <QString>

#include <chrono>
#include <deque>

namespace lqs {

struct FastPollTimings {
    std::chrono::milliseconds firstGap{20};     // between a reply and the next command
    std::chrono::milliseconds shortestGap{2};   // what clean exchanges shrink it to at most
    std::chrono::milliseconds longestGap{900};  // the normal poll pace: no slower than that
    std::chrono::milliseconds shortestDeadline{100};
    std::chrono::milliseconds firstDeadline{500};  // before any reply was timed: the normal grace
    int deadlineFactor = 3;                        // times the reply time
    std::chrono::milliseconds statusEvery{1000};
    std::chrono::milliseconds setPointsEvery{10000};
    int cleanRunToShrink = 16;  // exchanges without a miss before the gap shrinks
    // Or this long without a miss, so a long pause shrinks within seconds.
    std::chrono::milliseconds cleanTimeToShrink{1000};
    // A pause that missed is tried again after this long without a miss:
    // noise on the line does not pin the pace for the session.
    std::chrono::milliseconds forgetMissAfter{10000};
    // No reply for this long: the missing-reply path takes over. Never
    // sooner than the classic cycle's grace (a query, its pace and 500 ms).
    std::chrono::milliseconds missBudget{3000};
};

// The four measured values in turn; the status at least once a period; the
// set points once a longer period, one per turn; a set point just sent is
// read back before anything else.
class FastSchedule {
public:
    using Clock = std::chrono::steady_clock;
    FastSchedule(const FastPollTimings& timings, Clock::time_point start);

    QString next(Clock::time_point now);
    void readBack(const QString& query);

private:
    FastPollTimings m_t;
    std::deque<QString> m_readBacks;
    Clock::time_point m_lastStatus;
    Clock::time_point m_lastSetPoints;
    int m_setPointsLeft = 0;  // of the round under way
    int m_measured = 0;
};

// The pause after each exchange, learned from the instrument: a missed reply
// doubles it (up to the longest), a run of clean exchanges shrinks it by a
// quarter (by half while it is long), not back to within a quarter of a
// pause that has missed until the line has been clean for a while.
class AdaptiveGap {
public:
    using ms = std::chrono::milliseconds;
    explicit AdaptiveGap(const FastPollTimings& timings) : m_t(timings), m_gap(timings.firstGap) {}

    ms gap() const { return m_gap; }
    // Before a command that gets no reply: a lost one would go unnoticed
    // until read back, so only a pause a reply has come after, with a margin
    // for the line's own delays; the normal pace until one has.
    ms commandGap() const;
    // How long to wait for a reply before it counts as missed.
    ms deadline() const;
    double replyMs() const { return m_replyMs; }
    int missesInRow() const { return m_missesInRow; }

    // spacing: how long after the reply before it the query went out; a
    // query asked again after a miss, or after a command, had more than the gap.
    void replied(std::chrono::microseconds took, ms spacing);
    void replied(std::chrono::microseconds took) { replied(took, m_gap); }
    void missed();
    // A command went unheard at commandGap() although queries were answered
    // (it was only taken when sent again after the normal pace): it needs
    // more than the queries do.
    void commandLost();
    ms normalPace() const { return m_t.longestGap; }

private:
    FastPollTimings m_t;
    ms m_gap;
    ms m_missedAt{0};       // the longest gap that missed
    ms m_confirmed{0};      // the last spacing a reply came after
    ms m_commandFloor{0};   // a command gap that lost a command
    double m_replyMs = -1;  // smoothed; negative until the first reply
    int m_clean = 0;
    std::chrono::microseconds m_cleanTime{0};  // since the gap last changed
    std::chrono::microseconds m_sinceMiss{0};  // clean time since the last miss
    int m_missesInRow = 0;
};

}  // namespace lqs
