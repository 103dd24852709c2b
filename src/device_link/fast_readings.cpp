// Fast readings: while the output is on, the measured values are asked one
// after another as fast as the instrument answers, at a pause learned from
// it. A reply later than its deadline is given up, and the line is let come
// back into step before the next query, so a late tail never answers it.
// Set points go out at the next gap and are read back at once.
#include "device_link/device_link.h"

#include "common/convert.h"
#include "device_link/link_log.h"
#include "device_link/protocol.h"

#include <algorithm>
#include <cmath>

namespace lqs {

namespace {

bool isMeasured(const QString& query) {
    const int f = fieldOfQuery(query);
    return f >= 1 && f <= 4;
}

// Fast readings' learned pace, reachable from the link while they run.
struct GapInUse {
    GapInUse(AdaptiveGap*& slot, AdaptiveGap& gap) : m_slot(slot) { m_slot = &gap; }
    ~GapInUse() { m_slot = nullptr; }
    AdaptiveGap*& m_slot;
};

}  // namespace

// After polling is stopped, the pause before the operator's command lets the
// last query's reply come. Fast readings know how long that can be: the
// reply's deadline and a gap, so the command goes out at the next gap.
int DeviceLink::stopPause(int partsMs) const {
    return fastSchedule() && m_fastStopMs > 0 ? std::min(partsMs, m_fastStopMs) : partsMs;
}

Sequence DeviceLink::FastPoll() {
    const FastPollTimings& ft = m_setup.fast;
    AdaptiveGap gap(ft);
    GapInUse inUse(m_gap, gap);
    // A query of the cycle before may still be answered: its reply is its own.
    const auto open = std::find_if(m_outstanding.begin(), m_outstanding.end(),
                                   [](const Outstanding& r) { return !r.closed; });
    if (open != m_outstanding.end()) {
        const std::uint64_t seq = open->seq;
        const LinkTime deadline = m_scheduler->now() + ft.firstDeadline;
        while (m_answeredSeq < seq && co_await m_replied.wait(deadline)) {
        }
        if (m_answeredSeq < seq) {
            closeReplies();
            co_await resynchronise();
        }
    }
    FastSchedule schedule(ft, m_scheduler->now());
    LinkTime lastReply = m_scheduler->now();
    LinkTime lastAnswer = lastReply;
    m_statsSince = lastReply;
    m_statsReadings = m_statsExchanges = 0;
    int lostSeen = m_commandsLost;
    for (;;) {
        co_await holdReleased();
        if (m_state.PollingEnabled == 0) co_return;
        if (m_commandsLost != lostSeen) {
            lostSeen = m_commandsLost;
            gap.commandLost();
        }
        m_fastStopMs = int((gap.deadline() + gap.commandGap()).count());
        co_await holdLineForPlanStep(gap);
        if (!co_await sendWaitingFast(schedule, gap, lastReply)) co_return;
        // Every set point on the line is read back, also one whose query
        // went unanswered or that an earlier schedule meant to read.
        for (const WaitingSetPoint& w : m_waiting)
            if (w.readBack) schedule.readBack(queryOfField(w.edit));
        const QString query = schedule.next(m_scheduler->now());
        for (int ask = 0; ask < 2; ++ask) {
            if (m_state.PendingOperation == Op::None) co_return;
            const bool replied = co_await exchange(query, gap, lastReply);
            if (replied) {
                lastAnswer = lastReply;
            } else if (m_scheduler->now() - lastAnswer >= ft.missBudget) {
                // What a missing reply leads to without fast readings.
                m_note =
                    QStringLiteral("no reply for %1 s")
                        .arg(std::chrono::duration<double>(m_scheduler->now() - lastAnswer).count(),
                             0, 'f', 1);
                publishFast(true, true);
                missingReply();
                co_return;
            } else {
                co_await resynchronise();
            }
            publishFast(!replied);
            co_await pause(int(gap.gap().count()));
            if (replied) break;  // a missed one is asked once more
        }
    }
}

// A plan's next step is due before a query's exchange could end: the line
// stays free for it, so the step's set points go out at its start instead
// of behind a reply, and are read back inside a short dwell.
Sequence DeviceLink::holdLineForPlanStep(const AdaptiveGap& gap) {
    // Not while the pace is still being learned: the exchanges teach it.
    if (!m_plan || gap.replyMs() < 0 || gap.commandGap() >= gap.normalPace()) co_return;
    const LinkTime now = m_scheduler->now();
    // Only the exchange itself: the pause after a reply is waited anyway
    // before a set point goes out.
    const auto exchange = std::chrono::microseconds(std::llround(gap.replyMs() * 1000));
    const LinkTime due = m_plan->nextStart;
    if (due <= now || now + exchange <= due) co_return;
    co_await Until(due);
    // The step's own turn may come after this one at the same moment.
    if (m_plan && m_plan->nextStart == due)
        co_await m_planGiven.wait(due + std::chrono::milliseconds(5));
}

// One query and its reply, or its deadline: true when it was answered.
Task<bool> DeviceLink::exchange(const QString& query, AdaptiveGap& gap, LinkTime& lastReply) {
    From from;
    from.poll = true;
    const LinkTime sent = m_scheduler->now();
    if (TransmitFrame(query, from, false) != Sent::Written) co_return false;
    const std::uint64_t seq = m_querySeq;
    const LinkTime deadline = sent + gap.deadline();
    while (m_answeredSeq < seq && co_await m_replied.wait(deadline)) {
    }
    if (m_answeredSeq >= seq) {
        if (query == m_lastMissed) m_lastMissed.clear();
        using std::chrono::duration_cast;
        const auto spacing = duration_cast<std::chrono::milliseconds>(sent - lastReply);
        lastReply = m_scheduler->now();
        gap.replied(duration_cast<std::chrono::microseconds>(lastReply - sent), spacing);
        ++m_statsExchanges;
        if (isMeasured(query)) ++m_statsReadings;
        co_return true;
    }
    // Given up: whatever it still brings is no later query's.
    closeReplies();
    m_state.AwaitingReply = 0;
    // One value the instrument keeps leaving unanswered says nothing about
    // the pace: only a miss of another query than the last one missed
    // lengthens it, so one dead value does not slow every reading.
    if (query != m_lastMissed) gap.missed();
    m_lastMissed = query;
    ++m_stats.misses;
    m_note = QStringLiteral("%1 unanswered, pause now %2 ms").arg(query).arg(gap.gap().count());
    m_noteUntil = m_scheduler->now() + std::chrono::seconds(5);
    co_return false;
}

// After a miss the line counts as in step once it has been quiet for its
// silence, or once the late reply's CR has come and gone.
Sequence DeviceLink::resynchronise() {
    const auto silence = std::chrono::milliseconds(m_setup.silenceMs);
    m_resyncing = true;
    LinkTime quietFrom = std::max(m_lastByteAt, m_scheduler->now());
    while (m_resyncing) {
        const bool terminated = co_await m_resynced.wait(quietFrom + silence);
        if (terminated || !m_resyncing) break;
        if (m_lastByteAt > quietFrom) {
            quietFrom = m_lastByteAt;  // bytes still came: quiet counts from the last
            continue;
        }
        m_resyncing = false;
    }
}

// Each waiting set point goes out ahead of the next query, a pause after
// each, and is read back next. One sent again waits the normal pace, so that
// a second miss means the instrument refused it, not that it came too soon.
Task<bool> DeviceLink::sendWaitingFast(FastSchedule& schedule, AdaptiveGap& gap,
                                       LinkTime lastReply) {
    for (;;) {
        const auto next = std::find_if(m_waiting.begin(), m_waiting.end(),
                                       [](const WaitingSetPoint& w) { return !w.sent; });
        if (next == m_waiting.end()) co_return true;
        const std::uint64_t id = next->id;
        const int edit = next->edit;
        co_await Until(lastReply + (next->again ? gap.normalPace() : gap.commandGap()));
        if (m_state.PendingOperation == Op::None || m_state.PollingEnabled == 0) co_return false;
        const auto w = std::find_if(m_waiting.begin(), m_waiting.end(),
                                    [id](const WaitingSetPoint& x) { return x.id == id; });
        if (w == m_waiting.end() || w->sent) continue;  // replaced or given up meanwhile
        From from;
        from.waitingEdit = edit;
        from.waitingId = id;
        if (TransmitFrame(setPointFrame(*w), from, false) != Sent::Written) continue;
        schedule.readBack(queryOfField(edit));
        co_await pause(int(gap.gap().count()));
    }
}

// A set point's first query after it went out tells whether the instrument
// took it. Another value sends it once more, unseen; the second time the
// field shows what the instrument holds, and says so. True: the reply is
// not shown.
bool DeviceLink::readBackHeld(int edit, const QString& text) {
    if (edit < 5) return false;
    const auto w =
        std::find_if(m_waiting.begin(), m_waiting.end(),
                     [edit](const WaitingSetPoint& x) { return x.edit == edit && x.readBack; });
    if (w == m_waiting.end()) return false;
    w->readBack = false;
    double held = 0;
    try {
        held = StrToFloat(text);
    } catch (const EConvertError&) {
        return false;  // no number: the parser deals with it as always
    }
    const int channel = edit <= 6 ? 1 : 2;
    const Quantity q = edit % 2 == 1 ? Quantity::Voltage : Quantity::Current;
    if (std::abs(held - w->value) < 0.0005) {
        if (w->again) ++m_commandsLost;  // lost the first time, not refused
        Q_EMIT setPointNotHeld(channel, q, QString(), QString());
        finishWaiting(w->id, true);
        return false;
    }
    if (!w->again) {
        ++m_stats.retries;
        w->again = true;
        w->sent = false;
        return true;
    }
    const QString sentText = w->text;
    finishWaiting(w->id, false);
    Q_EMIT setPointNotHeld(channel, q, text, sentText);
    return false;
}

void DeviceLink::publishFast(bool now, bool givenUp) {
    const LinkTime t = m_scheduler->now();
    if (t > m_noteUntil && !givenUp) m_note.clear();
    const double seconds = std::chrono::duration<double>(t - m_statsSince).count();
    if (!now && seconds < 1.0) return;
    m_stats.readingsPerSecond = seconds > 0 ? m_statsReadings / seconds : 0;
    m_stats.exchangesPerSecond = seconds > 0 ? m_statsExchanges / seconds : 0;
    if (m_gap) {
        m_stats.replyMs = std::max(0.0, m_gap->replyMs());
        m_stats.gapMs = int(m_gap->gap().count());
    }
    Q_EMIT fastStatsChanged(m_stats, m_note, givenUp);
    m_statsSince = t;
    m_statsReadings = m_statsExchanges = 0;
}

}  // namespace lqs
