// The dispatcher and the instrument's sequences, in the order they happen:
// the start-up query, the output's two halves, a coupling, a save, a recall,
// and the countdown after a missing reply.
#include "device_link/device_link.h"

#include "common/convert.h"
#include "device_link/link_log.h"
#include "device_link/protocol.h"
#include "device_link/set_point_math.h"

#include <algorithm>

namespace lqs {

namespace {

const int kRemainingSeconds[] = {60, 54, 48, 42, 30, 18, 8, 4, 3, 2, 1};

}  // namespace

void DeviceLink::ClearMeasuredFields() {
    forgetAges();
    Q_EMIT readingsCleared();
}

Sequence DeviceLink::OperationDispatcher(const QString& slot) {
    LinkState& s = m_state;
    const std::uint8_t code = s.PendingOperation;
    switch (code) {
        case Op::StartupQuery:
            co_await FullQuery();
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
                co_await pause(stopPause(m_setup.timings.couplingWaitMs));
            }
            co_await SendCommand(command);
            m_state.CouplingCommand = command;
            break;
        }
        case Op::SaveMemory:
            if (s.OutputOn == 0) {
                co_await SendCommand(QStringLiteral("SAV") + slot);
                m_state.PendingOperation = Op::None;
            } else {
                stopPolling();
                co_await pause(stopPause(m_setup.timings.saveWaitMs));
                co_await SendCommand(QStringLiteral("SAV") + slot);
                co_await SendCommand(m_state.CouplingCommand);
                co_await SendCommand(QStringLiteral("OUT0"));
                m_state.PendingOperation = Op::None;
                m_state.OutputOn = 0;
                setOutputState(OutputState::Off);
                updateMode();
                ClearMeasuredFields();
            }
            break;
        case Op::OutputOn:
        case Op::OutputOff:
        case Op::BeepOn:
        case Op::BeepOff:
            co_await SendCommand(commandOfCode(code));
            break;
        default:
            break;  // set points have their own command; 10, 255 and unknown codes do nothing
    }
}

// A set point, confirmed with Enter or stepped by an arrow. With the output
// on it waits for the next gap between queries, and the command ends once it
// went out (and, with fast readings, was read back).
Sequence DeviceLink::setPointCommand(Command c) {
    const SetPointOp op = setPointOfField(c.edit);
    const bool enter = c.kind == Command::Kind::SetPoint;
    m_state.PendingOperation = enter ? op.enter : op.step;
    if (enter && c.text == m_state.lastSent(c.edit)) co_return;  // the instrument holds it
    if (m_state.OutputOn == 1) {
        // It waits for the next gap, and ends when it went out. Set points
        // given one after another wait together; anything else waits for them.
        deferSetPoint(c);
        co_return;
    }
    const Sent sent =
        co_await SendCommand(QString::fromLatin1(op.command) + SetPointNumber(c.value));
    if (sent == Sent::Written) {
        // It counts as sent, so a later Enter of an older text still goes out.
        m_state.setLastSent(c.edit, c.text);
        Q_EMIT setPointHeld(c.edit <= 6 ? 1 : 2, op.voltage ? Quantity::Voltage : Quantity::Current,
                            c.text);
    }
    if (!enter) m_state.PendingOperation = Op::None;
}

Sequence DeviceLink::FullQuery() {
    for (const char* query : kFullQuery) {
        co_await SendCommand(QString::fromLatin1(query));
        co_await pause(m_setup.timings.fullQueryPasses * m_setup.timings.passMs);
    }
    closeReplies();
}

void DeviceLink::ResetLink() {
    LinkState& s = m_state;
    s.ReplyCounter = 0;
    s.PendingOperation = Op::StartupQuery;
    s.ParserMode = Parse::Startup;
    s.OutputOn = 0;
    s.CouplingCommand = QStringLiteral("TRACK0");
    // The link reads the instrument's own set points again.
    for (WaitingSetPoint& w : m_waiting) finishWaiting(w.id, false);
}

Sequence DeviceLink::OutputOnAction() {
    m_state.PendingOperation = Op::OutputOn;
    co_await OperationDispatcher();
    LinkState& s = m_state;
    s.ParserMode = Parse::Polling;
    s.OutputOn = 1;
    s.PollingEnabled = 1;
    s.ReplyCounter = 0;
    setOutputState(OutputState::On);
}

Sequence DeviceLink::startPolling() {
    m_state.PendingOperation = Op::Polling;
    co_await OperationDispatcher();
}

Sequence DeviceLink::OutputOffAction() {
    const int stopMs = offStopPause();
    stopPolling();
    co_await pause(stopMs);
    m_state.PendingOperation = Op::OutputOff;
    co_await OperationDispatcher();
    LinkState& s = m_state;
    s.ParserMode = Parse::Ignore;
    s.OutputOn = 0;
    s.PendingOperation = Op::None;
    s.ReplyCounter = 255;
    setOutputState(OutputState::Off);
    updateMode();
    ClearMeasuredFields();
}

// The output set, not toggled: on when off, off when on or unknown.
Sequence DeviceLink::outputCommand(bool on) {
    if (on) {
        if (m_state.OutputOn == 1 && m_output.state == OutputState::On) co_return;
        co_await OutputOnAction();
        co_await startPolling();
    } else if (m_state.OutputOn == 1 || m_output.state != OutputState::Off) {
        co_await OutputOffAction();
    }
}

// A coupling button became selected. With the output on, the change leaves it off.
Sequence DeviceLink::couplingCommand(std::uint8_t code) {
    const bool wasOn = m_state.OutputOn == 1;
    m_state.PendingOperation = code;
    Q_EMIT couplingChanged(Coupling(code - Op::CouplingIndep + 1));
    co_await OperationDispatcher();
    if (wasOn) co_await OutputOffAction();
}

// Polling stops first, as switching the output off stops it: its queries and
// replies would otherwise be counted as the start-up query's.
Sequence DeviceLink::linkSequence(QString portName) {
    m_stopped = false;
    if (m_state.PollingEnabled == 1 || pollRunning()) {
        stopPolling();
        co_await pause(m_setup.timings.outputOffWaitMs);
    }
    closeReplies();  // what polling asked is settled as polling
    // What was asked before the link (cut off by a hang-up, or lost when the
    // port was opened again) is no reply missing for it.
    m_state.AwaitingReply = 0;
    m_discardToTerminator = false;
    m_resyncing = false;
    m_swallowCr = false;
    if (m_stale) {
        m_stale = false;
        Q_EMIT readingsFresh();
    }
    m_countdown.reset();
    m_portName = portName;
    m_identity.clear();
    setMode(LinkMode::Linking);
    setOutputState(OutputState::Unknown);
    ShowQuerying();
    m_state.ProgressMode = Progress::PerReply;
    ResetLink();
    co_await OperationDispatcher();
}

Sequence DeviceLink::RecallMemory(QString slot) {
    stopPolling();
    co_await pause(stopPause(m_setup.timings.recallStopWaitMs));
    LinkState& s = m_state;
    closeReplies();  // what polling asked is settled as polling, not as the recall
    for (WaitingSetPoint& w : m_waiting)
        finishWaiting(w.id, false);  // the slot's values replace them
    const LinkMode before = m_mode;
    if (standing(before)) setMode(LinkMode::Recalling);
    ShowQuerying();
    s.PendingOperation = Op::RecallMemory;
    s.ParserMode = Parse::Recall;
    s.ProgressMode = Progress::PerReply;
    s.ReplyCounter = 0;
    const int pace = m_setup.timings.recallPasses * m_setup.timings.recallPassMs;
    co_await pause(pace);
    co_await SendCommand(QStringLiteral("OUT0"));
    co_await SendCommand(QStringLiteral("RCL") + slot);
    for (const char* query : kRecallQueries) {
        co_await pause(pace);
        co_await SendCommand(QString::fromLatin1(query));
    }
    co_await pause(pace);
    closeReplies();
    QueryProgress();
    CloseQuerying();
    ClearMeasuredFields();
    if (m_mode == LinkMode::Recalling) {
        setMode(LinkMode::Linked);
        updateMode();
    }
}

// A measured value for a caller, asked after every command before it ended.
Sequence DeviceLink::measureCommand(Command c) {
    auto ask = std::make_shared<MeasureAsk>();
    ask->ticket = c.measureTicket;
    ask->edit = c.edit;
    ask->after = m_scheduler->now();
    if (!standing(m_mode)) {
        answerMeasure(ask, false, 0);
        co_return;
    }
    const LinkTimings& t = m_setup.timings;
    LinkTime deadline;
    if (m_mode == LinkMode::FastReadings) {
        m_fastMeasures.push_back(ask);
        // A round of the schedule can take seconds once misses have
        // lengthened its pause.
        deadline = m_scheduler->now() + 2 * m_setup.fast.missBudget + m_setup.fast.firstDeadline;
    } else if (pollRunning()) {
        // The cycle asks it between two of its own queries.
        m_measureAsks.push_back(ask);
        deadline = m_scheduler->now() + std::chrono::milliseconds(2 * t.cycleMs() + t.replyGraceMs);
    } else {
        m_measuresSent.push_back(ask);
        From from;
        from.measure = ask->ticket;
        const Sent sent = co_await SendCommand(queryOfField(c.edit), from);
        if (sent != Sent::Written) {
            answerMeasure(ask, false, 0);
            co_return;
        }
        co_await pause(t.pollPasses * t.passMs);
        closeReplies();
        if (!ask->answered) answerMeasure(ask, false, 0);
        co_return;
    }
    while (!ask->answered) {
        if (!co_await m_settled.wait(deadline)) break;
    }
    if (!ask->answered) answerMeasure(ask, false, 0);
}

// ---- What the status reply says ----

Sequence DeviceLink::ApplyCouplingStatus(QString digits) {
    Q_EMIT couplingStatusUnreadable(false);
    const int button = couplingOfDigits(digits);
    if (button < 0) {
        Q_EMIT couplingStatusUnreadable(true);
        m_state.ReplyCounter = 8;
        co_await SendCommand(QStringLiteral("STATUS?"));
        co_await pause(m_setup.timings.statusRetryWaitMs);
        co_return;
    }
    if (button == 0) co_return;
    // Selecting a button that is not selected runs its click handling; the
    // window is told, and shows it.
    const std::uint8_t code = std::uint8_t(Op::CouplingIndep + button - 1);
    if (m_coupling.value_or(Op::CouplingIndep) == code) co_return;
    m_coupling = code;
    co_await couplingCommand(code);
}

// A digit that is not one ends the handling of the reply in the error box.
Task<bool> DeviceLink::ApplyOutputStatus(QString digit, bool atStartup) {
    if (!atStartup) Q_EMIT outputStatusUnreadable(false);
    const bool isDigit = digit.size() == 1 && digit.at(0).isDigit();
    if (!isDigit && !atStartup) Q_EMIT outputStatusUnreadable(true);
    if (!isDigit) {
        try {
            StrToInt(digit);
        } catch (const EConvertError& e) {
            Q_EMIT conversionFailed(QString::fromUtf8(e.what()));
        }
        co_return false;
    }
    const int value = digit.toInt();
    if (!atStartup && value == m_state.OutputOn) {
        // The instrument says what the program holds: known now, if it was not.
        if (m_output.state == OutputState::Unknown)
            setOutputState(value ? OutputState::On : OutputState::Off);
        co_return true;
    }
    // Known from now: the instrument said it.
    if (value == 1) {
        setOutputState(OutputState::On);
        co_await OutputOnAction();
        co_await startPolling();
    } else if (value == 0) {
        setOutputState(OutputState::Off);
        co_await OutputOffAction();
    }
    co_return true;
}

// ---- The querying dialog ----

void DeviceLink::ShowQuerying() {
    m_queryingShown = true;
    Q_EMIT queryingShown();
    Q_EMIT queryingProgress(m_progress, 60);
}

void DeviceLink::QueryProgress() {
    if (m_state.ProgressMode != Progress::PerReply) return;
    m_progress = std::min(m_progress + 10, 100);
    Q_EMIT queryingProgress(m_progress, kRemainingSeconds[std::clamp(m_progress / 10, 0, 10)]);
}

void DeviceLink::CloseQuerying() {
    m_queryingShown = false;
    Q_EMIT queryingCloseRequested();
    // Its close handling runs even when Cancel closed it already.
    m_state.PendingOperation = Op::None;
    m_state.ProgressMode = Progress::None;
    m_progress = 0;
    Q_EMIT queryingProgress(0, -1);
}

// The reply did not come: count down in the querying dialog, then the
// time-out box, whose closing stands the window down.
Sequence DeviceLink::countdown() {
    m_state.ProgressMode = Progress::Countdown;
    ShowQuerying();
    for (int n = 0; n <= 60; ++n) {
        m_progress = std::min(m_progress + 1, 100);
        Q_EMIT queryingProgress(m_progress, n);
        co_await pause(m_setup.timings.countdownStepMs);
    }
    CloseQuerying();
    Q_EMIT timedOut();
}

}  // namespace lqs
