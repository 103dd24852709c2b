#include "device_link/fast_poll.h"

#include <algorithm>
#include <cmath>

namespace lqs {

namespace {
const char* const kMeasured[] = {"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?"};
const char* const kSetPointQueries[] = {"VSET1?", "ISET1?", "VSET2?", "ISET2?"};
}  // namespace

// The link has just read every set point and the status, so the first
// rounds of both are a period away.
FastSchedule::FastSchedule(const FastPollTimings& timings, Clock::time_point start)
    : m_t(timings), m_lastStatus(start), m_lastSetPoints(start) {}

QString FastSchedule::next(Clock::time_point now) {
    if (!m_readBacks.empty()) {
        QString q = m_readBacks.front();
        m_readBacks.pop_front();
        return q;
    }
    if (now - m_lastStatus >= m_t.statusEvery) {
        m_lastStatus = now;
        return QStringLiteral("STATUS?");
    }
    if (m_setPointsLeft == 0 && now - m_lastSetPoints >= m_t.setPointsEvery) {
        m_setPointsLeft = 4;
        m_lastSetPoints = now;
    }
    if (m_setPointsLeft > 0) return QString::fromLatin1(kSetPointQueries[4 - m_setPointsLeft--]);
    const QString q = QString::fromLatin1(kMeasured[m_measured]);
    m_measured = (m_measured + 1) % 4;
    return q;
}

void FastSchedule::readBack(const QString& query) {
    if (std::find(m_readBacks.begin(), m_readBacks.end(), query) == m_readBacks.end())
        m_readBacks.push_back(query);
}

AdaptiveGap::ms AdaptiveGap::deadline() const {
    if (m_replyMs < 0) return std::max(m_t.shortestDeadline, m_t.firstDeadline);
    const auto byReply = ms(std::lround(std::ceil(m_replyMs * m_t.deadlineFactor)));
    return std::max(m_t.shortestDeadline, byReply);
}

AdaptiveGap::ms AdaptiveGap::commandGap() const {
    if (m_confirmed.count() == 0) return m_t.longestGap;
    const ms base = std::max(m_gap, m_confirmed);
    return std::min(m_t.longestGap, std::max(base + base / 4 + ms(2), m_commandFloor));
}

void AdaptiveGap::replied(std::chrono::microseconds took, ms spacing) {
    m_confirmed = spacing;
    const double t = double(took.count()) / 1000.0;
    // Smoothed over about eight replies: one late reply does not stretch the deadline.
    m_replyMs = m_replyMs < 0 ? t : m_replyMs + (t - m_replyMs) / 8.0;
    m_missesInRow = 0;
    const auto spent = std::chrono::duration_cast<std::chrono::microseconds>(spacing) + took;
    m_cleanTime += spent;
    m_sinceMiss += spent;
    if (m_sinceMiss >= m_t.forgetMissAfter) m_missedAt = ms(0);
    if (++m_clean < m_t.cleanRunToShrink && m_cleanTime < m_t.cleanTimeToShrink) return;
    m_clean = 0;
    m_cleanTime = {};
    const ms step = m_gap > ms(100) ? m_gap / 2 : std::max(ms(1), m_gap / 4);
    const ms shorter = std::max(m_t.shortestGap, m_gap - step);
    // A pause that missed is not tried again while the miss is recent; one
    // a quarter longer is, a margin for the line's own delays.
    const ms floor = m_missedAt.count() > 0 ? m_missedAt + std::max(ms(1), m_missedAt / 4) : ms(0);
    m_gap = std::min(m_gap, std::max(shorter, floor));
}

void AdaptiveGap::commandLost() {
    m_commandFloor = std::min(m_t.longestGap, std::max(commandGap() * 2, m_commandFloor));
}

void AdaptiveGap::missed() {
    ++m_missesInRow;
    m_clean = 0;
    m_cleanTime = {};
    m_sinceMiss = {};
    m_missedAt = std::max(m_missedAt, m_gap);
    m_gap = std::min(m_t.longestGap, m_gap * 2);
}

}  // namespace lqs
