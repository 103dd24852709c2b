// What the line brings. Bytes go to the oldest query still open, up to its
// CR, however the line cut them into blocks; bytes with no query open change
// nothing. A line a query could not have had (a number far outside the
// model's range) is no reply: the query waits on for its own. The tail of a
// reply cut short belongs to no later query, nor do the bytes that follow a
// reply given up, until the line is in step again.
#include "device_link/device_link.h"

#include "common/convert.h"
#include "device_link/link_log.h"
#include "device_link/model_profile.h"
#include "device_link/protocol.h"

#include <algorithm>

namespace lqs {

namespace {

// A reply as the log shows it: its text, or what became of it.
QString replyForLog(const QByteArray& bytes, bool overlong, bool ended) {
    if (overlong) return QStringLiteral("(overlong, refused)");
    if (bytes.isEmpty()) return QStringLiteral("no reply");
    const QString text = QLatin1Char('"') + ExtractReplyText(bytes) + QLatin1Char('"');
    return ended ? text : text + QStringLiteral(" (cut short)");
}

bool endsLine(const QByteArray& bytes) {
    return bytes.endsWith('\r') || bytes.endsWith('\n');
}

}  // namespace

void DeviceLink::receive(const char* bytes, std::size_t length) {
    // Queries whose time is up leave first, oldest first.
    settleClosed();
    m_lastByteAt = m_scheduler->now();
    for (std::size_t i = 0; i < length; ++i) takeByte(bytes[i]);
}

void DeviceLink::takeByte(char byte) {
    const bool ends = byte == '\r' || byte == '\n';
    if (m_swallowCr) {
        // The CR of an LF CR pair that ended a discarded line.
        m_swallowCr = false;
        if (byte == '\r') {
            ++m_unsolicited;
            return;
        }
    }
    if (m_discardToTerminator || m_resyncing) {
        ++m_unsolicited;
        if (!ends) {
            m_discardToTerminator = true;  // a line has begun: it is no one's to its end
            return;
        }
        m_discardToTerminator = false;
        m_swallowCr = byte == '\n';
        if (m_resyncing) {
            m_resyncing = false;
            m_resynced.notify();
        }
        return;
    }
    if (m_outstanding.empty() || m_outstanding.front().closed) {
        ++m_unsolicited;
        return;
    }
    Outstanding& r = m_outstanding.front();
    // The cycle's status starts the next cycle with its first bytes, its
    // pace from now, whether or not its CR ever comes.
    if (r.bytes.isEmpty() && r.implausible.isEmpty() && r.poll &&
        r.query == QLatin1String("STATUS?") && m_state.ParserMode == Parse::Polling &&
        m_mode == LinkMode::Polling) {
        m_statusAnswered = true;
        m_state.ReplyCounter = 0;
        StartPollThread();
    }
    if (!r.overlong) {
        r.bytes.append(byte);
        if (r.bytes.size() > kLongestReply) {
            r.overlong = true;
            r.bytes.clear();
        }
    }
    if (byte != '\r') return;
    if (!r.overlong && !plausible(r.query, r.bytes)) {
        // Not this query's: kept in case no other line comes for it.
        qCDebug(lqsLink).noquote()
            << "not a reply to" << r.query << ":" << ExtractReplyText(r.bytes);
        m_unsolicited += std::uint64_t(r.bytes.size());
        r.implausible = r.bytes;
        r.bytes.clear();
        return;
    }
    Outstanding done = std::move(r);
    m_outstanding.pop_front();
    m_answeredSeq = std::max(m_answeredSeq, done.seq);
    settle(done);
    if (done.poll) m_replied.notify();
}

// A sequence's last pace has run out: what its queries got is all they get.
void DeviceLink::closeReplies() {
    for (Outstanding& r : m_outstanding) r.closed = true;
    settleClosed();
}

void DeviceLink::settleClosed() {
    while (!m_outstanding.empty() && m_outstanding.front().closed) {
        Outstanding r = std::move(m_outstanding.front());
        m_outstanding.pop_front();
        // Cut short: the rest of its line, when it comes, is no one's.
        if (!r.bytes.isEmpty() && !endsLine(r.bytes) && !r.overlong) m_discardToTerminator = true;
        if (r.bytes.isEmpty() && !r.implausible.isEmpty()) r.bytes = r.implausible;
        settle(r);
    }
}

// A number the model could never read or hold is no reply to a value's
// query. The model is the one chosen, or the one the identity names when
// that reaches further: a wrong choice in the menu must not hide readings.
bool DeviceLink::plausible(const QString& query, const QByteArray& line) const {
    const int field = fieldOfQuery(query);
    const ModelProfile* p = modelProfile(m_state.ModelIndex);
    if (field == 0 || !p) return true;
    double currentCeiling = p->currentCeiling;
    if (const ModelProfile* named = modelProfile(modelFromIdentity(m_identity)))
        currentCeiling = std::max(currentCeiling, named->currentCeiling);
    const QString text = ExtractReplyText(line);
    double value = 0;
    try {
        value = StrToFloat(text);
    } catch (const EConvertError&) {
        return true;  // garbled: the reply all the same, and not shown
    }
    const bool voltage = field == 1 || field == 3 || field == 5 || field == 7;
    const double ceiling = voltage ? p->voltageCeiling : currentCeiling;
    return value >= -0.01 * ceiling && value <= 1.05 * ceiling;
}

bool DeviceLink::heldField(const QString& query) const {
    return std::any_of(m_waiting.begin(), m_waiting.end(), [&](const WaitingSetPoint& w) {
        return !w.sent && queryOfField(w.edit) == query;
    });
}

// A query that got nothing at all is simply over; anything else is parsed,
// and what the parser asks for runs on its own.
void DeviceLink::settle(const Outstanding& reply) {
    // A value counts only once its CR came; one cut short is no reading.
    const bool ended = !reply.overlong && endsLine(reply.bytes);
    qCDebug(lqsLink).noquote() << "reply to" << reply.query << "->"
                               << replyForLog(reply.bytes, reply.overlong, ended);
    if (reply.confirm) {
        if (ended) settleConfirmation(reply.bytes);
        return;
    }
    if (reply.measure != 0) {
        // A caller's own question: no field and no sequence hang on it.
        const auto it = std::find_if(m_measuresSent.begin(), m_measuresSent.end(),
                                     [&](const Ask& a) { return a->ticket == reply.measure; });
        if (it == m_measuresSent.end()) return;
        const Ask ask = *it;
        const QString text = ended ? ExtractReplyText(reply.bytes) : QString();
        double value = 0;
        bool ok = ended && plausible(reply.query, reply.bytes);
        if (ok) {
            try {
                value = StrToFloat(text);
            } catch (const EConvertError&) {
                ok = false;
            }
        }
        answerMeasure(ask, ok, value);
        return;
    }
    if (reply.bytes.isEmpty() && !reply.overlong) return;
    const bool readBack = ended && reply.poll && !reply.stale &&
                          readBackHeld(fieldOfQuery(reply.query), ExtractReplyText(reply.bytes));
    ReplyInput in;
    in.mode = m_state.ParserMode;
    in.counter = m_state.ReplyCounter;
    in.sendingAllowed = m_state.PendingOperation != Op::None;
    in.held = reply.stale || heldField(reply.query) || readBack;
    in.query = reply.query;
    in.bytes = reply.bytes;
    in.overlong = reply.overlong;
    in.plausible = plausible(reply.query, reply.bytes);
    const ReplyOutcome out = ReplyParser(in);
    m_state.ReplyCounter = out.counter;
    m_state.ParserMode = out.mode;
    m_state.ReplyText = out.text;
    const int field = fieldOfQuery(reply.query);
    if (ended && reply.poll && field >= 1 && field <= 4 && in.plausible)
        answerFastMeasures(field, out.text, reply.sentAt);
    if (out.effects.empty()) {
        clearAwaiting();
        return;
    }
    startReplyRun(applyEffects(out));
}

void DeviceLink::answerFastMeasures(int edit, const QString& text, LinkTime askedAt) {
    std::vector<Ask> due;
    for (const Ask& a : m_fastMeasures)
        if (a->edit == edit && askedAt >= a->after) due.push_back(a);
    if (due.empty()) return;
    double value = 0;
    bool ok = true;
    try {
        value = StrToFloat(text);
    } catch (const EConvertError&) {
        ok = false;
    }
    if (!ok) return;  // the next one may read
    for (const Ask& a : due) answerMeasure(a, true, value);
}

Sequence DeviceLink::applyEffects(ReplyOutcome out) {
    const LinkTime at = m_scheduler->now();
    for (ReplyEffect effect : out.effects) {
        switch (effect) {
            case ReplyEffect::Identity:
                if (out.readable) m_identity = out.text;  // shown beside the port, never read
                break;
            case ReplyEffect::ShowField:
                showReply(out.field, out.text, at);
                break;
            case ReplyEffect::Progress:
                QueryProgress();
                break;
            case ReplyEffect::CloseQuerying:
                CloseQuerying();
                setMode(LinkMode::Linked);
                Q_EMIT linked(m_identity);
                break;
            case ReplyEffect::ClearAwaiting:
                clearAwaiting();
                break;
            case ReplyEffect::ApplyCoupling:
                co_await ApplyCouplingStatus(out.couplingDigits);
                break;
            case ReplyEffect::ApplyOutputAtStartup:
            case ReplyEffect::ApplyOutput:
                // A digit that is not one ends the handling of the reply;
                // AwaitingReply then stays as it is.
                if (!co_await ApplyOutputStatus(out.outputDigit,
                                                effect == ReplyEffect::ApplyOutputAtStartup))
                    co_return;
                break;
        }
    }
    clearAwaiting();
}

// A set point the instrument reports is what it holds: Enter sends a field
// whenever its text differs from that, so an entry equal to an older Enter
// still goes out after a recall or another link changed the instrument.
void DeviceLink::showReply(int edit, const QString& text, LinkTime at) {
    if (edit <= 4) {
        if (m_stale) {
            m_stale = false;
            Q_EMIT readingsFresh();
        }
        Reading r;
        r.channel = edit <= 2 ? 1 : 2;
        r.quantity = edit % 2 == 1 ? Quantity::Voltage : Quantity::Current;
        r.text = text;
        bool number = true;
        try {
            r.value = StrToFloat(text);
        } catch (const EConvertError&) {
            r.value = 0;
            number = false;
        }
        r.at = at;
        r.wall = m_scheduler->wallTime(at);
        Q_EMIT readingTaken(r);
        watchAge(edit, at);
        if (!number) return;  // shown as it came, but no limit reads 0 into it
        notePlanReading(r);
        feedGuard(r);
        return;
    }
    const int channel = edit <= 6 ? 1 : 2;
    const Quantity q = edit % 2 == 1 ? Quantity::Voltage : Quantity::Current;
    Q_EMIT setPointRead(channel, q, text);
    m_state.setLastSent(edit, text);
    Q_EMIT setPointHeld(channel, q, text);
}

// A reading is current for twice its interval on the link's clock; then it
// is said to have aged, until the next one comes.
void DeviceLink::watchAge(int edit, LinkTime at) {
    Scheduler::TimerId& timer = m_ageTimers[std::size_t(edit - 1)];
    if (timer) m_scheduler->cancel(timer);
    const int limitMs = 2 * m_setup.timings.readingIntervalMs(fastSchedule());
    timer = m_scheduler->at(at + std::chrono::milliseconds(limitMs), [this, edit, at, limitMs] {
        m_ageTimers[std::size_t(edit - 1)] = 0;
        Q_EMIT readingAged(edit <= 2 ? 1 : 2, edit % 2 == 1 ? Quantity::Voltage : Quantity::Current,
                           m_scheduler->wallTime(at), (limitMs + 999) / 1000);
    });
}

void DeviceLink::forgetAges() {
    for (Scheduler::TimerId& timer : m_ageTimers) {
        if (timer) m_scheduler->cancel(timer);
        timer = 0;
    }
}

void DeviceLink::clearAwaiting() {
    // A newer query still waits for its own reply.
    const bool open = std::any_of(m_outstanding.begin(), m_outstanding.end(),
                                  [](const Outstanding& r) { return !r.closed; });
    if (!open) m_state.AwaitingReply = 0;
}

// A hang-up is no missing reply on a live line: the link stands down at
// once, nothing more goes out, the output's state is unknown until the next
// link reads it, and no countdown ends the program.
void DeviceLink::hangUp() {
    if (m_mode == LinkMode::LineLost) return;
    endPlan(PlanEnd::LineLost, QStringLiteral("Stopped: the line to the instrument is lost."),
            false);
    markStale(StaleReason::LineLost);
    if (m_current)
        for (Ticket t : m_current->tickets)
            if (t) endTicket(t, false);
    if (m_current && m_current->kind == Command::Kind::Measure)
        Q_EMIT measureDone(m_current->measureTicket, false, 0);
    stop();
    m_stopped = false;  // the next link may send again
    m_control.reset();
    m_current.reset();
    m_replyRuns.clear();
    // Nothing asked on the old line will be answered on the next one.
    m_outstanding.clear();
    m_state.AwaitingReply = 0;
    m_state.ParserMode = Parse::Ignore;
    m_state.OutputOn = 0;
    const bool countingDown = m_countdown && !m_countdown->finished();
    setMode(LinkMode::LineLost);
    setOutputState(OutputState::Unknown);
    if (!countingDown) {
        m_state.ProgressMode = Progress::None;
        m_queryingShown = false;
        Q_EMIT queryingCloseRequested();
    }
    Q_EMIT lineLost();
    busyMaybeChanged();
    runNext();
}

}  // namespace lqs
