#include "device_link/device_link.h"

#include "common/convert.h"
#include "device_link/link_log.h"
#include "device_link/protocol.h"
#include "device_link/set_point_math.h"
#include "device_link/strand.h"
#include "serial/comm.h"

#include <QTimer>

#include <algorithm>
#include <cmath>

namespace lqs {

Q_LOGGING_CATEGORY(lqsLink, "lqs.link", QtWarningMsg)

namespace {

// A reply as the log shows it: its text, or what became of it.
QString replyForLog(const QByteArray& bytes, bool overlong, bool ended) {
    if (overlong) return QStringLiteral("(overlong, refused)");
    if (bytes.isEmpty()) return QStringLiteral("no reply");
    const QString text = QLatin1Char('"') + ExtractReplyText(bytes) + QLatin1Char('"');
    return ended ? text : text + QStringLiteral(" (cut short)");
}

QString remainingText(int position) {
    static const int seconds[] = {60, 54, 48, 42, 30, 18, 8, 4, 3, 2, 1};
    const int i = std::clamp(position / 10, 0, 10);
    return QStringLiteral("Remaining %1 seconds!").arg(seconds[i]);
}

}  // namespace

LinkTimings LinkTimings::scaled(int divisor) const {
    LinkTimings t = *this;
    for (int* v : {&t.replyGraceMs, &t.recallStopWaitMs, &t.pollStartMs, &t.couplingWaitMs,
                   &t.outputOffWaitMs, &t.saveWaitMs, &t.statusRetryWaitMs, &t.countdownStepMs}) {
        *v = std::max(1, *v / divisor);
    }
    t.fullQueryPasses = std::max(1, t.fullQueryPasses / divisor);
    t.pollPasses = std::max(1, t.pollPasses / divisor);
    t.recallPasses = std::max(1, t.recallPasses / divisor);
    return t;
}

DeviceLink::DeviceLink(TComm* comm, QObject* parent) : QObject(parent), m_comm(comm) {
    m_control = new Strand(this);
    m_countdown = new Strand(this);
    connect(m_control, &Strand::finished, this, &DeviceLink::runIntents);
    connect(m_countdown, &Strand::finished, this, &DeviceLink::runIntents);
    if (m_comm) {
        m_comm->OnReceiveData = [this](TComm*, void* buffer, std::uint16_t length) {
            comm1ReceiveData(static_cast<const char*>(buffer), length);
        };
        // Raised when the receive or send thread finds the device gone.
        m_comm->OnRequestHangup = [this](TComm*) { lineLost(); };
    }
    m_worker = std::thread([this] { pollWorker(); });
}

// ---- Strands and intents ----

void DeviceLink::then(std::function<void()> step) {
    if (Strand* s = Strand::current()) {
        s->then(std::move(step));
        return;
    }
    Strand* s = newStrand();
    s->then(std::move(step));
    s->start();
}

void DeviceLink::pause(int ms) {
    if (Strand* s = Strand::current()) s->pause(ms);
}

// What one reply sets going runs on its own, beside any sequence under way,
// as the replies of a sequence always have.
Strand* DeviceLink::newStrand() {
    auto* s = new Strand(this);
    m_replyStrands.push_back(s);
    connect(s, &Strand::finished, this, [this, s] {
        m_replyStrands.erase(std::remove(m_replyStrands.begin(), m_replyStrands.end(), s),
                             m_replyStrands.end());
        s->deleteLater();
        runIntents();
    });
    return s;
}

bool DeviceLink::anyBusy() const {
    if (m_control->busy() || m_countdown->busy()) return true;
    return std::any_of(m_replyStrands.begin(), m_replyStrands.end(),
                       [](const Strand* s) { return s->busy(); });
}

bool DeviceLink::idle() const {
    return m_intents.empty() && !anyBusy();
}

// An intent made inside a running sequence is part of it (a coupling the
// status selected); any other waits until nothing is under way. A set point
// still waiting is replaced by a newer one of the same field.
void DeviceLink::perform(Intent intent) {
    if (Strand::current()) {
        intent.run();
        return;
    }
    if (intent.edit != 0) {
        m_intents.erase(std::remove_if(m_intents.begin(), m_intents.end(),
                                       [&](const Intent& i) { return i.edit == intent.edit; }),
                        m_intents.end());
    }
    m_intents.push_back(std::move(intent));
    runIntents();
}

void DeviceLink::runIntents() {
    while (!m_intents.empty() && !anyBusy()) {
        Intent next = std::move(m_intents.front());
        m_intents.pop_front();
        m_control->then(std::move(next.run));
        m_control->start();
    }
    if (idle()) m_outputTarget.reset();  // the output is where they left it
}

void DeviceLink::link() {
    perform({0, [this] { LinkSequence(); }});
}

void DeviceLink::confirmSetPoint(int edit, const QString& text) {
    const SetPointOp op = setPointOfField(edit);
    if (op.edit == 0) return;
    perform({edit, [this, op, text] {
                 m_state.PendingOperation = op.enter;
                 OperationDispatcher(text);
             }});
}

void DeviceLink::stepSetPoint(int edit, const QString& text) {
    const SetPointOp op = setPointOfField(edit);
    if (op.edit == 0) return;
    perform({edit, [this, op, text] {
                 m_state.PendingOperation = op.step;
                 OperationDispatcher(text);
             }});
}

bool DeviceLink::outputIntended() const {
    return m_outputTarget.value_or(m_state.OutputOn == 1);
}

// Each press turns the output the other way from where the presses before it
// leave it, so OFF then ON in quick succession ends on, with one OUT0.
void DeviceLink::toggleOutput() {
    const bool on = !outputIntended();
    m_outputTarget = on;
    perform({0, [this, on] { outputIntent(on); }});
}

void DeviceLink::outputIntent(bool on) {
    if (on) {
        if (m_state.OutputOn == 1) return;
        OutputOnAction();
        then([this] {
            m_state.PendingOperation = Op::Polling;
            OperationDispatcher();
        });
    } else if (m_state.OutputOn == 1) {
        OutputOffAction();
    }
}

void DeviceLink::selectCoupling(std::uint8_t code) {
    if (code < Op::CouplingIndep || code > Op::CouplingTrack) return;
    perform({0, [this, code] {
                 const bool wasOn = m_state.OutputOn == 1;
                 m_state.PendingOperation = code;
                 OperationDispatcher();
                 then([this, wasOn] {
                     if (wasOn) OutputOffAction();
                 });
             }});
}

void DeviceLink::saveMemory(const QString& slot) {
    perform({0, [this, slot] {
                 m_state.PendingOperation = Op::SaveMemory;
                 OperationDispatcher(slot);
             }});
}

void DeviceLink::recallMemory(const QString& slot) {
    perform({0, [this, slot] { RecallMemory(slot); }});
}

void DeviceLink::setModel(int index) {
    m_state.ModelIndex = std::uint8_t(index);
    if (m_linkedText.isEmpty() || m_lineGone || m_timeoutShown) return;
    m_linkedText = linkedText();
    if (!m_fast || m_state.PollingEnabled == 0) Q_EMIT linkTextChanged(m_linkedText);
}

// The identity is never used to choose the model; when it names another
// model than the one chosen, the operator is told where to choose it.
QString DeviceLink::linkedText() const {
    static const char* const names[] = {"LQS-6200A", "LQS-6200B", "LQS-6500B"};
    if (m_identity.isEmpty()) return QStringLiteral("Linked: %1").arg(portName());
    QString text = QStringLiteral("Linked: %1 \u2014 %2").arg(portName(), m_identity);
    for (int i = 0; i < 3; ++i) {
        if (m_identity.contains(QLatin1String(names[i])) && m_state.ModelIndex != i + 1)
            text += QStringLiteral("; the instrument is an %1: choose it under Interface > Series")
                        .arg(QLatin1String(names[i]));
    }
    return text;
}

void DeviceLink::queryingClosed() {
    m_state.PendingOperation = Op::None;
    Q_EMIT frameEnabledChanged(true);
}

void DeviceLink::stop() {
    m_state.PendingOperation = Op::None;
    stopPolling();
    std::vector<std::function<void()>> dropped;
    for (Intent& intent : m_intents)
        if (intent.dropped) dropped.push_back(std::move(intent.dropped));
    m_intents.clear();
    failMeasures();
    if (!dropped.empty()) {
        QTimer::singleShot(0, this, [dropped] {
            for (const auto& tell : dropped) tell();
        });
    }
}

// ---- The dispatcher ----

void DeviceLink::ClearMeasuredFields() {
    for (int edit = 1; edit <= 4; ++edit) Q_EMIT fieldChanged(edit, QString());
}

// text: the field's text for a set point, the slot for a save.
void DeviceLink::OperationDispatcher(const QString& text) {
    LinkState& s = m_state;
    const std::uint8_t code = s.PendingOperation;
    switch (code) {
        case Op::StartupQuery:
            FullQuery();
            break;
        case Op::Polling:
            StartPollThread();
            break;
        case Op::CouplingIndep:
        case Op::CouplingParall:
        case Op::CouplingTrack: {
            const QString command = commandOfCode(code);
            if (s.OutputOn == 1) {
                stopPolling();
                pause(stopPause(m_timings.couplingWaitMs));
                then([this] { SendDeferredSetPoint(); });
            }
            SendCommand(command);
            then([this, command] { m_state.CouplingCommand = command; });
            break;
        }
        case Op::StepVset1:
        case Op::StepVset2:
        case Op::StepIset1:
        case Op::StepIset2:
            if (s.OutputOn == 1) {
                deferSetPoint(setPointOfCode(code).edit, text);
            } else {
                sendSetPoint(code, text);
                then([this] { m_state.PendingOperation = Op::None; });
            }
            break;
        case Op::SaveMemory:
            if (s.OutputOn == 0) {
                SendCommand(QStringLiteral("SAV") + text);
                then([this] { m_state.PendingOperation = Op::None; });
            } else {
                stopPolling();
                pause(stopPause(m_timings.saveWaitMs));
                then([this] {
                    SendDeferredSetPoint();
                });  // so that the slot keeps what the operator confirmed
                SendCommand(QStringLiteral("SAV") + text);
                then([this] { SendCommand(m_state.CouplingCommand); });
                SendCommand(QStringLiteral("OUT0"));
                then([this] {
                    m_state.PendingOperation = Op::None;
                    m_state.OutputOn = 0;
                    Q_EMIT outputCaptionChanged(QStringLiteral("OFF"));
                    ClearMeasuredFields();
                });
            }
            break;
        case Op::OutputOn:
            SendCommand(commandOfCode(code));
            break;
        case Op::OutputOff:
            SendDeferredSetPoint();  // confirmed while on: they still go out
            SendCommand(commandOfCode(code));
            break;
        case Op::EnterVset1:
        case Op::EnterVset2:
        case Op::EnterIset1:
        case Op::EnterIset2: {
            const int edit = setPointOfCode(code).edit;
            if (text == s.lastSent(edit)) {
                dropWaitingSetPoints(edit);  // the instrument holds it already
            } else if (s.OutputOn == 1) {
                deferSetPoint(edit, text);
            } else {
                sendSetPoint(code, text);
            }
            break;
        }
        case Op::BeepOn:
        case Op::BeepOff:
            SendCommand(commandOfCode(code));
            break;
        default:
            break;  // 10 (a recall sends its own commands), 255 and unknown codes
    }
}

// An immediate send: the field holds a number, as the set-point controls
// write one before they state the intent. It counts as sent, so that a later
// Enter of an older text is not taken for one the instrument already holds.
void DeviceLink::sendSetPoint(int code, const QString& fieldText) {
    const SetPointOp op = setPointOfCode(code);
    QString text = fieldText;
    QString number;
    try {
        number = FormatSetPoint(text);
    } catch (const EConvertError& e) {
        Q_EMIT conversionFailed(QString::fromUtf8(e.what()));
        return;
    }
    SendCommand(QString::fromLatin1(op.command) + number);
    then([this, op, fieldText] { m_state.setLastSent(op.edit, fieldText); });
}

void DeviceLink::FullQuery() {
    for (const char* query : kFullQuery) {
        SendCommand(QString::fromLatin1(query));
        pause(m_timings.fullQueryPasses * m_timings.passMs);
    }
    then([this] { closeReplies(); });
}

void DeviceLink::ResetLink() {
    LinkState& s = m_state;
    s.ReplyCounter = 0;
    s.PendingOperation = Op::StartupQuery;
    s.ParserMode = Parse::Startup;
    s.OutputOn = 0;
    s.CouplingCommand = QStringLiteral("TRACK0");
    dropWaitingSetPoints();  // the link reads the instrument's own set points again
}

void DeviceLink::OutputOnAction() {
    m_state.PendingOperation = Op::OutputOn;
    OperationDispatcher();
    then([this] {
        LinkState& s = m_state;
        s.ParserMode = Parse::Polling;
        Q_EMIT outputCaptionChanged(QStringLiteral("ON"));
        s.OutputOn = 1;
        s.PollingEnabled = 1;
        s.ReplyCounter = 0;
    });
}

void DeviceLink::OutputOffAction() {
    stopPolling();
    pause(stopPause(m_timings.outputOffWaitMs));
    then([this] {
        m_state.PendingOperation = Op::OutputOff;
        OperationDispatcher();
        then([this] {
            LinkState& s = m_state;
            s.ParserMode = Parse::Ignore;
            Q_EMIT outputCaptionChanged(QStringLiteral("OFF"));
            s.OutputOn = 0;
            s.PendingOperation = Op::None;
            s.ReplyCounter = 255;
            ClearMeasuredFields();
        });
    });
}

void DeviceLink::SendCommand(const QString& command) {
    sendFromUi(command, SendFrom{});
}

void DeviceLink::SendDeferredSetPoint() {
    then([this] { sendNextWaiting(); });
}

// ---- Receiving ----

// Bytes go to the oldest query still open, up to its CR; bytes with no query
// open are counted and otherwise dropped.
void DeviceLink::comm1ReceiveData(const char* bytes, std::size_t length) {
    std::vector<Outstanding> done;
    bool nextCycle = false;
    std::uint64_t unsolicited = 0;
    std::uint64_t pollReplies = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        takeClosedLocked(done);
        for (std::size_t i = 0; i < length; ++i) {
            if (m_outstanding.empty()) {
                unsolicited += length - i;
                break;
            }
            Outstanding& r = m_outstanding.front();
            // The status of a poll cycle starts the next cycle with its first
            // bytes, whether or not its CR ever comes.
            if (r.poll && r.bytes.isEmpty() && !r.overlong && r.query == QLatin1String("STATUS?") &&
                m_state.ParserMode == Parse::Polling && !m_fast) {
                nextCycle = true;
            }
            if (!r.overlong) {
                r.bytes.append(bytes[i]);
                if (r.bytes.size() > kLongestReply) {
                    r.overlong = true;
                    r.bytes.clear();
                }
            }
            if (bytes[i] == '\r') {
                if (r.poll) ++pollReplies;
                done.push_back(std::move(r));
                m_outstanding.pop_front();
            }
        }
    }
    if (unsolicited) {
        m_unsolicited += unsolicited;
        qCDebug(lqsLink) << "ignored" << unsolicited << "bytes no query asked for";
    }
    if (pollReplies) {
        {
            std::lock_guard<std::mutex> lock(m_pollMutex);
            m_replySeq += pollReplies;
        }
        m_pollWake.notify_all();
    }
    if (nextCycle) {
        m_state.ReplyCounter = 0;
        StartPollThread();
    }
    for (const Outstanding& r : done) settle(r);
}

// Queries whose time is up leave the list, oldest first.
void DeviceLink::takeClosedLocked(std::vector<Outstanding>& done) {
    while (!m_outstanding.empty() && m_outstanding.front().closed) {
        done.push_back(std::move(m_outstanding.front()));
        m_outstanding.pop_front();
    }
}

void DeviceLink::settleClosed() {
    std::vector<Outstanding> done;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        takeClosedLocked(done);
    }
    for (const Outstanding& r : done) settle(r);
}

// A sequence's last pace has run out: what its queries got is all they get.
void DeviceLink::closeReplies() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (Outstanding& r : m_outstanding) r.closed = true;
    }
    settleClosed();
}

bool DeviceLink::heldField(const QString& query) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return std::any_of(m_waiting.begin(), m_waiting.end(),
                       [&](const WaitingSetPoint& w) { return queryOfField(w.edit) == query; });
}

// A query that got nothing at all is simply over; anything else is parsed,
// and what the parser asks for runs as a strand of its own.
void DeviceLink::settle(const Outstanding& reply) {
    // A value counts only once its CR came; one cut short is no reading.
    const bool ended =
        !reply.overlong && (reply.bytes.endsWith('\r') || reply.bytes.endsWith('\n'));
    qCDebug(lqsLink).noquote() << "reply to" << reply.query << "->"
                               << replyForLog(reply.bytes, reply.overlong, ended);
    if (reply.measure != 0) {
        // A remote client's own question: no field and no sequence hang on it.
        finishMeasure(reply.measure, ended ? ExtractReplyText(reply.bytes) : QString());
        return;
    }
    if (reply.bytes.isEmpty() && !reply.overlong) return;
    if (ended && reply.poll)
        answerMeasures(fieldOfQuery(reply.query), ExtractReplyText(reply.bytes));
    ReplyInput in;
    in.mode = m_state.ParserMode;
    in.counter = m_state.ReplyCounter;
    in.sendingAllowed = m_state.PendingOperation != Op::None;
    in.held = reply.stale || heldField(reply.query) || readBackHeld(reply);
    in.query = reply.query;
    in.bytes = reply.bytes;
    in.overlong = reply.overlong;
    const ReplyOutcome out = ReplyParser(in);
    m_state.ReplyCounter = out.counter;
    m_state.ParserMode = out.mode;
    m_state.ReplyText = out.text;
    Strand* s = newStrand();
    for (ReplyEffect effect : out.effects)
        s->then([this, effect, out] { applyEffect(effect, out); });
    s->then([this] { clearAwaiting(); });
    s->start();
}

void DeviceLink::answerMeasures(int edit, const QString& text) {
    if (edit < 1 || edit > 4 || m_measureNext[std::size_t(edit - 1)].empty()) return;
    std::vector<MeasureDone> waiting;
    waiting.swap(m_measureNext[std::size_t(edit - 1)]);
    QTimer::singleShot(0, this, [waiting, text] {
        for (const MeasureDone& done : waiting) done(text);
    });
}

void DeviceLink::finishMeasure(std::uint64_t id, const QString& text) {
    const auto it = m_measures.find(id);
    if (it == m_measures.end()) return;
    MeasureDone done = std::move(it->second);
    m_measures.erase(it);
    QTimer::singleShot(0, this, [done, text] { done(text); });
}

// Nothing more will answer: every client still waiting hears so.
void DeviceLink::failMeasures() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_measureAsk.clear();
    }
    std::vector<MeasureDone> waiting;
    for (auto& [id, done] : m_measures) waiting.push_back(std::move(done));
    m_measures.clear();
    for (auto& field : m_measureNext) {
        for (MeasureDone& done : field) waiting.push_back(std::move(done));
        field.clear();
    }
    if (waiting.empty()) return;
    QTimer::singleShot(0, this, [waiting] {
        for (const MeasureDone& done : waiting) done(QString());
    });
}

// Asks not yet sent when polling stops are not sent.
void DeviceLink::dropMeasureAsks() {
    std::deque<std::pair<std::uint64_t, int>> asks;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        asks.swap(m_measureAsk);
    }
    for (const auto& ask : asks) finishMeasure(ask.first, QString());
}

void DeviceLink::measure(int edit, std::function<void(const QString& text)> done) {
    const QString query = queryOfField(edit);
    if (edit < 1 || edit > 4 || !done) return;
    perform({0,
             [this, edit, query, done] {
                 if (!linked()) {
                     QTimer::singleShot(0, this, [done] { done(QString()); });
                     return;
                 }
                 // Fast readings ask it within a few exchanges anyway.
                 if (m_fast && (m_state.PollingEnabled == 1 || m_cycleRunning)) {
                     m_measureNext[std::size_t(edit - 1)].push_back(done);
                     return;
                 }
                 const std::uint64_t id = ++m_measureIds;
                 m_measures.emplace(id, done);
                 // The cycle asks it between two of its own queries, rather
                 // than the client waiting up to a whole cycle.
                 if (m_state.PollingEnabled == 1 || m_cycleRunning) {
                     std::lock_guard<std::mutex> lock(m_lock);
                     m_measureAsk.emplace_back(id, edit);
                     return;
                 }
                 SendFrom from;
                 from.measure = id;
                 sendFromUi(query, from, [this, id](Sent sent) {
                     if (sent != Sent::Written) finishMeasure(id, QString());
                 });
                 pause(m_timings.pollPasses * m_timings.passMs);
                 then([this] { closeReplies(); });
             },
             [done] { done(QString()); }});
}

void DeviceLink::whenIdle(std::function<void()> done) {
    if (!done) return;
    perform({0, [this, done] { QTimer::singleShot(0, this, done); }, done});
}

// Fast readings: a set point's first query after it went out tells whether
// the instrument took it. Another value sends it once more, unseen; the
// second time the field shows what the instrument holds, and says so.
bool DeviceLink::readBackHeld(const Outstanding& reply) {
    const int edit = fieldOfQuery(reply.query);
    if (!reply.poll || reply.stale || edit < 5 || reply.overlong) return false;
    ReadBack rb;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ReadBack& entry = m_readBack[std::size_t(edit - 5)];
        if (!entry.pending) return false;
        rb = entry;
        entry.pending = false;
    }
    const QString holds = ExtractReplyText(reply.bytes);
    double held = 0, sent = 0;
    try {
        held = StrToFloat(holds);
        sent = StrToFloat(rb.text.isEmpty() ? QStringLiteral("0") : rb.text);
    } catch (const EConvertError&) {
        return false;  // no number: the parser deals with it as always
    }
    if (std::abs(held - sent) < 0.0005) {
        if (rb.again) ++m_commandsLost;  // lost the first time, not refused
        Q_EMIT setPointNotHeld(edit, QString(), QString());
        return false;
    }
    if (!rb.again) {
        {
            std::lock_guard<std::mutex> lock(m_statsMutex);
            ++m_stats.retries;
        }
        deferSetPoint(edit, rb.text);
        std::lock_guard<std::mutex> lock(m_lock);
        m_sendAgain[std::size_t(edit - 5)] = true;
        return true;
    }
    Q_EMIT setPointNotHeld(edit, holds, rb.text);
    return false;
}

// After polling is stopped, the pause before the operator's command lets the
// last query's reply come. Fast readings know how long that can be: the
// reply's deadline and a gap, so the command goes out at the next gap.
int DeviceLink::stopPause(int partsMs) const {
    const int fast = m_fastStopMs.load();
    return m_fast && fast > 0 ? std::min(partsMs, fast) : partsMs;
}

int DeviceLink::readingIntervalMs() const {
    if (m_fast) return 1000;
    const LinkTimings& t = m_timings;
    return t.pollStartMs + 9 * (2 * t.pollPasses * t.passMs + t.replyGraceMs / 10);
}

void DeviceLink::setFastReadings(bool on) {
    if (m_fast.exchange(on) == on) return;
    m_fastStopMs = 0;
    if (m_comm) m_comm->setEndBlockAtCarriageReturn(on);
    if (!on) {
        std::lock_guard<std::mutex> lock(m_lock);
        for (ReadBack& r : m_readBack) r.pending = false;
        m_sendAgain.fill(false);
    }
    if (!on && !m_linkedText.isEmpty() && !m_lineGone && !m_timeoutShown)
        Q_EMIT linkTextChanged(m_linkedText);
    // The new schedule takes over from the next query.
    if (m_state.PollingEnabled == 1) StartPollThread();
}

void DeviceLink::clearAwaiting() {
    std::lock_guard<std::mutex> lock(m_lock);
    // A newer query still waits for its own reply.
    const bool open = std::any_of(m_outstanding.begin(), m_outstanding.end(),
                                  [](const Outstanding& r) { return !r.closed; });
    if (!open) m_state.AwaitingReply = 0;
}

void DeviceLink::applyEffect(ReplyEffect effect, const ReplyOutcome& out) {
    switch (effect) {
        case ReplyEffect::Identity:
            if (out.readable)
                m_identity = out.text;  // shown beside the port once linked, never read
            break;
        case ReplyEffect::ShowField:
            showReply(out.field, out.text);
            break;
        case ReplyEffect::Progress:
            QueryProgress();
            break;
        case ReplyEffect::CloseQuerying:
            CloseQuerying();
            m_linkedText = linkedText();
            Q_EMIT linkTextChanged(m_linkedText);
            break;
        case ReplyEffect::ClearAwaiting:
            clearAwaiting();
            break;
        case ReplyEffect::ApplyCoupling:
            ApplyCouplingStatus(out.couplingDigits);
            break;
        case ReplyEffect::ApplyOutputAtStartup:
        case ReplyEffect::ApplyOutput:
            // A digit that is not one ends the handling of the reply in the
            // error box; AwaitingReply then stays as it is.
            try {
                if (effect == ReplyEffect::ApplyOutput) {
                    ApplyOutputStatus(out.outputDigit);
                } else {
                    ApplyOutputStatusAtStartup(out.outputDigit);
                }
            } catch (const EConvertError& e) {
                if (Strand* s = Strand::current()) s->clear();
                Q_EMIT conversionFailed(QString::fromUtf8(e.what()));
            }
            break;
    }
}

// A set point the instrument reports is what it holds: Enter sends a field
// whenever its text differs from that, so an entry equal to an older Enter
// still goes out after a recall or another link changed the instrument.
void DeviceLink::showReply(int edit, const QString& text) {
    if (edit <= 4 && m_stale) {
        m_stale = false;
        Q_EMIT readingsFresh();
    }
    Q_EMIT fieldChanged(edit, text);
    if (edit >= 5) m_state.setLastSent(edit, text);
}

void DeviceLink::ApplyCouplingStatus(const QString& digits) {
    Q_EMIT statusTextChanged(1, QString());
    const int button = couplingOfDigits(digits);
    if (button < 0) {
        Q_EMIT statusTextChanged(1, QStringLiteral("TRACK 出错重发!"));
        m_state.ReplyCounter = 8;
        SendCommand(QStringLiteral("STATUS?"));
        pause(m_timings.statusRetryWaitMs);
        return;
    }
    if (button > 0) Q_EMIT couplingReported(button);
}

void DeviceLink::ApplyOutputStatus(const QString& digit) {
    Q_EMIT statusTextChanged(2, QString());
    const bool isDigit = digit.size() == 1 && digit.at(0).isDigit();
    if (!isDigit) Q_EMIT statusTextChanged(2, QStringLiteral("输出 出错"));
    const int value = StrToInt(digit);  // a character that is not a digit ends the reply here
    if (value == m_state.OutputOn) return;
    if (value == 0) {
        OutputOffAction();
    } else if (value == 1) {
        OutputOnAction();
        then([this] {
            m_state.PendingOperation = Op::Polling;
            OperationDispatcher();
        });
    }
}

void DeviceLink::ApplyOutputStatusAtStartup(const QString& digit) {
    const int value = StrToInt(digit);
    if (value == 1) {
        OutputOnAction();
        then([this] {
            m_state.PendingOperation = Op::Polling;
            OperationDispatcher();
        });
    } else if (value == 0) {
        OutputOffAction();
    }
}

// ---- The querying dialog ----

void DeviceLink::ShowQuerying() {
    Q_EMIT frameEnabledChanged(false);
    Q_EMIT queryingShown();
    Q_EMIT queryingProgress(m_progress, QStringLiteral("Remaining 60 seconds!"));
}

void DeviceLink::QueryProgress() {
    if (m_state.ProgressMode == Progress::PerReply) {
        m_progress = std::min(m_progress + 10, 100);
        Q_EMIT queryingProgress(m_progress, remainingText(m_progress));
    } else if (m_state.ProgressMode == Progress::Countdown && !m_countingDown) {
        m_countingDown = true;
        for (int n = 0; n <= 60; ++n) {
            then([this, n] {
                m_progress = std::min(m_progress + 1, 100);
                Q_EMIT queryingProgress(m_progress, QStringLiteral("Remaining %1 seconds!").arg(n));
            });
            pause(m_timings.countdownStepMs);
        }
        then([this] {
            CloseQuerying();
            ShowTimeoutMessage();
        });
    }
}

void DeviceLink::CloseQuerying() {
    Q_EMIT queryingCloseRequested();
    queryingClosed();  // its close handling runs even when Cancel closed it already
    m_state.ProgressMode = Progress::None;
    m_progress = 0;
    Q_EMIT queryingProgress(0, QString());
}

void DeviceLink::ShowTimeoutMessage() {
    Q_EMIT timeoutShown();
    Q_EMIT frameEnabledChanged(false);
}

void DeviceLink::startCountdown() {
    markStale(QStringLiteral("the instrument stopped answering"));
    m_countdown->then([this] {
        m_state.ProgressMode = Progress::Countdown;
        ShowQuerying();
        QueryProgress();
    });
    m_countdown->start();
}

void DeviceLink::RecallMemory(const QString& slot) {
    stopPolling();
    pause(stopPause(m_timings.recallStopWaitMs));
    then([this, slot] {
        LinkState& s = m_state;
        closeReplies();          // what polling asked is settled as polling, not as the recall
        dropWaitingSetPoints();  // the slot's values replace them
        ShowQuerying();
        s.PendingOperation = Op::RecallMemory;
        s.ParserMode = Parse::Recall;
        s.ProgressMode = Progress::PerReply;
        s.ReplyCounter = 0;
        const int pace = m_timings.recallPasses * m_timings.recallPassMs;
        pause(pace);
        SendCommand(QStringLiteral("OUT0"));
        SendCommand(QStringLiteral("RCL") + slot);
        for (const char* query : kRecallQueries) {
            pause(pace);
            SendCommand(QString::fromLatin1(query));
        }
        pause(pace);
        then([this] {
            closeReplies();
            QueryProgress();
            CloseQuerying();
            ClearMeasuredFields();
        });
    });
}

// Polling stops first, as switching the output off stops it: its queries
// and replies would otherwise be counted as the start-up query's.
void DeviceLink::LinkSequence() {
    if (m_state.PollingEnabled == 1 || m_cycleRunning) {
        stopPolling();
        pause(m_timings.outputOffWaitMs);
    }
    then([this] {
        closeReplies();  // what polling asked is settled as polling, not as the start-up query
        {
            // What was asked before the link (cut off by a hang-up, or lost
            // when the port was opened again) is no reply missing for it:
            // the start-up query finds out for itself whether replies come.
            std::lock_guard<std::mutex> lock(m_lock);
            m_state.AwaitingReply = 0;
        }
        m_timeoutShown = false;
        m_lineGone = false;
        m_countingDown = false;
        if (m_stale) {
            m_stale = false;
            Q_EMIT readingsFresh();
        }
        m_identity.clear();
        m_linkedText.clear();
        Q_EMIT linkTextChanged(QString());
        ShowQuerying();
        m_state.ProgressMode = Progress::PerReply;
        ResetLink();
        OperationDispatcher();
    });
}

QString DeviceLink::portName() const {
    return m_comm ? m_comm->CommName() : QString();
}

// The device went away under an open port: said at once, beside the status
// panels; the next command then runs into the usual time-out.
// A hang-up is no missing reply on a live line: the link stands down at once,
// nothing more goes out, the program's output state is off until the next
// link reads the instrument's, and no countdown ends the program.
void DeviceLink::lineLost() {
    Q_EMIT linkTextChanged(QStringLiteral("Line lost: %1").arg(portName()));
    Q_EMIT linkedPictureChanged(false);
    markStale(QStringLiteral("the line was lost"));
    m_lineGone = true;
    stop();
    m_control->clear();
    {
        // Nothing asked on the old line will be answered on the next one.
        std::lock_guard<std::mutex> lock(m_lock);
        m_outstanding.clear();
        m_state.AwaitingReply = 0;
    }
    m_state.ParserMode = Parse::Ignore;
    m_state.OutputOn = 0;
    Q_EMIT outputCaptionChanged(QStringLiteral("OFF"));
    if (!m_countingDown) {
        m_state.ProgressMode = Progress::None;
        Q_EMIT queryingCloseRequested();
        Q_EMIT frameEnabledChanged(true);
    }
    Q_EMIT lineGone();
    runIntents();  // the sequence dropped above no longer keeps the link busy
}

// Readings no longer come: what the fields show is from before, and the
// recorder must not take it for current.
void DeviceLink::markStale(const QString& why) {
    if (m_stale) return;
    m_stale = true;
    Q_EMIT readingsStale(QDateTime::currentDateTime(), why);
}

}  // namespace lqs
