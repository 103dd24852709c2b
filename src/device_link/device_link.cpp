#include "device_link/device_link.h"

#include "device_link/link_log.h"
#include "device_link/protocol.h"

#include <algorithm>

namespace lqs {

Q_LOGGING_CATEGORY(lqsLink, "lqs.link", QtWarningMsg)

namespace {

void registerTypes() {
    static const bool done = [] {
        qRegisterMetaType<lqs::Quantity>();
        qRegisterMetaType<lqs::OutputState>();
        qRegisterMetaType<lqs::Coupling>();
        qRegisterMetaType<lqs::LinkMode>();
        qRegisterMetaType<lqs::StaleReason>();
        qRegisterMetaType<lqs::Reading>();
        qRegisterMetaType<lqs::OutputView>();
        qRegisterMetaType<lqs::FastStats>();
        qRegisterMetaType<lqs::Ticket>("lqs::Ticket");
        qRegisterMetaType<lqs::Origin>();
        return true;
    }();
    (void)done;
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

DeviceLink::DeviceLink(LinkPort* port, const LinkSetup& setup, QObject* parent)
    : QObject(parent),
      m_port(port),
      m_setup(setup),
      m_scheduler(std::make_unique<Scheduler>(setup.clock, this)),
      m_replied(*m_scheduler),
      m_released(*m_scheduler),
      m_settled(*m_scheduler),
      m_resynced(*m_scheduler),
      m_planGiven(*m_scheduler) {
    registerTypes();
    m_output.since = m_scheduler->wallTime(m_scheduler->now());
}

// Runs are destroyed before the signals and the scheduler they wait on.
DeviceLink::~DeviceLink() {
    m_state.PendingOperation = Op::None;
    m_poll.reset();
    m_control.reset();
    m_countdown.reset();
    m_replyRuns.clear();
}

// ---- The mode ----

void DeviceLink::setMode(LinkMode mode) {
    if (m_mode == mode) return;
    qCDebug(lqsLink) << "mode" << int(m_mode) << "->" << int(mode);
    m_mode = mode;
    Q_EMIT modeChanged(mode);
}

// Where a standing link is, by the output and the schedule that reads it.
void DeviceLink::updateMode() {
    if (!standing(m_mode) && m_mode != LinkMode::Linking) return;
    if (m_state.OutputOn == 1 && pollRunning())
        setMode(fastSchedule() ? LinkMode::FastReadings : LinkMode::Polling);
    else
        setMode(LinkMode::Linked);
}

void DeviceLink::setOutputState(OutputState state) {
    if (m_output.state != state) {
        m_output.state = state;
        m_output.since = m_scheduler->wallTime(m_scheduler->now());
    }
    // Readings from before the output went off say nothing of the next time it is on.
    if (state != OutputState::On) m_guard.interrupted();
    publishOutput();
}

// The target is where the output commands queued or under way leave it.
void DeviceLink::publishOutput() {
    OutputView view = m_output;
    view.target = view.state;
    if (m_current && m_current->kind == Command::Kind::Output)
        view.target = m_current->on ? OutputState::On : OutputState::Off;
    for (const Command& c : m_queue)
        if (c.kind == Command::Kind::Output)
            view.target = c.on ? OutputState::On : OutputState::Off;
    m_output = view;
    if (view.state == m_published.state && view.target == m_published.target &&
        view.since == m_published.since)
        return;
    m_published = view;
    Q_EMIT outputChanged(view);
}

bool DeviceLink::pollRunning() const {
    return m_poll && !m_poll->finished();
}

bool DeviceLink::idle() const {
    if (!m_queue.empty() || (m_control && !m_control->finished())) return false;
    return idleBesidesQueue();
}

// Nothing a reply set going, and no countdown, is under way.
bool DeviceLink::idleBesidesQueue() const {
    if (m_countdown && !m_countdown->finished()) return false;
    return std::all_of(m_replyRuns.begin(), m_replyRuns.end(),
                       [](const std::unique_ptr<Run>& r) { return r->finished(); });
}

void DeviceLink::busyMaybeChanged() {
    const bool busy = !idle();
    if (busy == m_busy) return;
    m_busy = busy;
    Q_EMIT busyChanged(busy);
}

// ---- Commands ----

void DeviceLink::enqueue(Command command) {
    if (command.kind == Command::Kind::Output && command.on && m_guard.tripped()) {
        // Latched: nothing switches the output on until the trip is cleared.
        for (Ticket t : command.tickets)
            if (t) endTicket(t, false);
        return;
    }
    if (command.kind == Command::Kind::Output && !command.plan && !command.trip && m_plan)
        // The operator's output wins over a running plan at once.
        endPlan(PlanEnd::Stopped, QStringLiteral("Stopped: the output was switched by hand."),
                false);
    if (command.kind == Command::Kind::Output) {
        // On and off are absolute: the newest says where the output goes.
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (it->kind != Command::Kind::Output) {
                ++it;
                continue;
            }
            command.tickets.insert(command.tickets.begin(), it->tickets.begin(), it->tickets.end());
            it = m_queue.erase(it);
        }
    }
    const bool setPoint =
        command.kind == Command::Kind::SetPoint || command.kind == Command::Kind::Step;
    if (setPoint && command.origin == Origin::Window) {
        // The window's newer value of a field replaces one that waits for a
        // gap of the poll; a script's never.
        for (WaitingSetPoint& w : m_waiting) {
            if (w.edit != command.edit || w.origin != Origin::Window || w.sent) continue;
            if (command.kind == Command::Kind::SetPoint &&
                command.text == m_state.lastSent(command.edit)) {
                finishWaiting(w.id, true);  // the instrument holds it already
                break;
            }
            w.value = command.value;
            w.text = command.text;
            w.tickets.insert(w.tickets.end(), command.tickets.begin(), command.tickets.end());
            busyMaybeChanged();
            return;
        }
    }
    m_queue.push_back(std::move(command));
    if (m_queue.back().kind == Command::Kind::Output) publishOutput();
    busyMaybeChanged();
    runNext();
}

// One command at a time, and none while what a reply set going still runs,
// so the operator's last command is the one the instrument keeps.
void DeviceLink::runNext() {
    if (m_control) return;  // its end is told first
    if (!idleBesidesQueue()) return;
    if (m_queue.empty()) {
        busyMaybeChanged();
        return;
    }
    m_current = std::move(m_queue.front());
    m_queue.pop_front();
    m_control = Run::start(*m_scheduler, perform(*m_current), [this] { commandEnded(); });
}

// The command's own tickets, unless it left them to a set point still waiting.
void DeviceLink::commandEnded() {
    m_control.reset();
    const Command command = std::move(*m_current);
    const bool wasOutput = command.kind == Command::Kind::Output;
    m_current.reset();
    for (Ticket t : command.tickets)
        if (t) endTicket(t, !m_stopped);
    if (wasOutput) publishOutput();
    runNext();
    busyMaybeChanged();
}

Sequence DeviceLink::perform(Command c) {
    const bool setPoint = c.kind == Command::Kind::SetPoint || c.kind == Command::Kind::Step;
    if (!setPoint || m_state.OutputOn == 0) co_await waitingSettled();
    switch (c.kind) {
        case Command::Kind::Link:
            co_await linkSequence(c.text);
            break;
        case Command::Kind::SetPoint:
        case Command::Kind::Step:
            co_await setPointCommand(c);
            break;
        case Command::Kind::Output:
            co_await outputCommand(c.on);
            if (c.trip) co_await confirmTripOff();
            break;
        case Command::Kind::Coupling:
            co_await couplingCommand(c.code);
            break;
        case Command::Kind::Save:
            m_state.PendingOperation = Op::SaveMemory;
            co_await OperationDispatcher(c.text);
            break;
        case Command::Kind::Recall:
            co_await RecallMemory(c.text);
            break;
        case Command::Kind::Measure:
            co_await measureCommand(c);
            break;
        case Command::Kind::Sync:
            break;
    }
}

// A reply's effects run beside whatever sequence asked, as the replies of a
// sequence always have; the next command waits for them.
void DeviceLink::startReplyRun(Sequence sequence) {
    m_replyRuns.erase(std::remove_if(m_replyRuns.begin(), m_replyRuns.end(),
                                     [](const std::unique_ptr<Run>& r) { return r->finished(); }),
                      m_replyRuns.end());
    m_replyRuns.push_back(Run::start(*m_scheduler, std::move(sequence), [this] { runNext(); }));
    busyMaybeChanged();
}

// ---- Intents ----

// The calls the client queues into this thread: each becomes one command.
void DeviceLink::link(const QString& portName, Ticket ticket) {
    enqueue({.kind = Command::Kind::Link, .tickets = {ticket}, .text = portName});
}

void DeviceLink::setSetPoint(int channel, Quantity quantity, double value, const QString& text,
                             Origin origin, Ticket ticket) {
    enqueue({.kind = Command::Kind::SetPoint,
             .origin = origin,
             .tickets = {ticket},
             .edit = setPointField(channel, quantity),
             .value = value,
             .text = text});
}

void DeviceLink::stepSetPoint(int channel, Quantity quantity, double value, const QString& text,
                              Ticket ticket) {
    enqueue({.kind = Command::Kind::Step,
             .tickets = {ticket},
             .edit = setPointField(channel, quantity),
             .value = value,
             .text = text});
}

void DeviceLink::setOutput(bool on, Ticket ticket) {
    enqueue({.kind = Command::Kind::Output, .tickets = {ticket}, .on = on});
}

void DeviceLink::selectCoupling(Coupling coupling, Ticket ticket) {
    const auto code = std::uint8_t(Op::CouplingIndep + int(coupling) - 1);
    m_coupling = code;  // the button is selected from now on
    enqueue({.kind = Command::Kind::Coupling, .tickets = {ticket}, .code = code});
}

void DeviceLink::saveMemory(const QString& slot, Ticket ticket) {
    enqueue({.kind = Command::Kind::Save, .tickets = {ticket}, .text = slot});
}

void DeviceLink::recallMemory(const QString& slot, Ticket ticket) {
    enqueue({.kind = Command::Kind::Recall, .tickets = {ticket}, .text = slot});
}

void DeviceLink::measure(int channel, Quantity quantity, Ticket ticket) {
    // Told by measureDone, not commandDone.
    enqueue({.kind = Command::Kind::Measure,
             .edit = (channel == 2 ? 3 : 1) + (quantity == Quantity::Current ? 1 : 0),
             .measureTicket = ticket});
}

void DeviceLink::sync(Ticket ticket) {
    enqueue({.kind = Command::Kind::Sync, .tickets = {ticket}});
}

void DeviceLink::holdStarted() {
    m_state.HoldTicks = 0;
}

void DeviceLink::holdTick() {
    ++m_state.HoldTicks;
}

void DeviceLink::holdEnded() {
    m_state.HoldTicks = 0;
    m_released.notify();
}

void DeviceLink::setModel(int index) {
    m_state.ModelIndex = std::uint8_t(index);
}

void DeviceLink::setFastReadings(bool on) {
    if (m_fastWanted == on) return;
    const bool wasFast = fastSchedule();
    m_fastWanted = on;
    if (fastSchedule() == wasFast) return;  // the guard keeps the schedule fast
    m_fastStopMs = 0;
    if (!on) {
        // What fast readings still meant to read back goes as sent.
        for (WaitingSetPoint& w : m_waiting)
            if (w.sent) finishWaiting(w.id, true);
    }
    // The new schedule takes over from the next query.
    if (m_state.PollingEnabled == 1) StartPollThread();
}

// The dialog closed by the operator while it showed; its closing on the
// link's own request was handled there.
void DeviceLink::queryingClosed() {
    if (!m_queryingShown) return;
    m_queryingShown = false;
    m_state.PendingOperation = Op::None;
    if (m_mode == LinkMode::Linking) {
        // Cancelled: the instrument never said where its output is.
        setMode(LinkMode::Unlinked);
        setOutputState(OutputState::Unknown);
    }
}

void DeviceLink::stop() {
    endPlan(PlanEnd::Stopped, QStringLiteral("Stopped: the link stopped."), false);
    m_stopped = true;
    m_state.PendingOperation = Op::None;
    stopPolling();
    std::deque<Command> dropped;
    dropped.swap(m_queue);
    for (const Command& c : dropped) {
        for (Ticket t : c.tickets)
            if (t) endTicket(t, false);
        if (c.kind == Command::Kind::Measure) Q_EMIT measureDone(c.measureTicket, false, 0);
    }
    failMeasures();
    failWaiting();
    busyMaybeChanged();
}

// A silent instrument may have been switched off, or switched by hand.
void DeviceLink::giveUp() {
    stop();
    m_state.OutputOn = 0;
    setOutputState(OutputState::Unknown);
}

}  // namespace lqs
