#include "device_link/link_client.h"

#include "device_link/device_link.h"

#include <utility>

namespace lqs {

namespace {
int fieldIndex(int channel, Quantity q) {
    return (channel == 2 ? 2 : 0) + (q == Quantity::Current ? 1 : 0);
}
}  // namespace

LinkClient::LinkClient(DeviceLink* link, const LinkTimings& timings, QObject* parent)
    : QObject(parent), m_link(link), m_timings(timings) {
    constexpr auto q = Qt::QueuedConnection;
    DeviceLink* l = link;
    // News is re-told here after this side's own record of it is brought up to date.
    connect(
        l, &DeviceLink::modeChanged, this,
        [this](LinkMode m) {
            m_mode = m;
            Q_EMIT modeChanged(m);
        },
        q);
    connect(
        l, &DeviceLink::linked, this,
        [this](const QString& identity) {
            m_identity = identity;
            Q_EMIT linkedTo(identity);
        },
        q);
    connect(
        l, &DeviceLink::outputChanged, this,
        [this](const OutputView& v) {
            m_linkOutput = v;
            Q_EMIT outputChanged(output());
        },
        q);
    connect(
        l, &DeviceLink::setPointHeld, this,
        [this](int channel, Quantity quantity, const QString& text) {
            m_held[std::size_t(fieldIndex(channel, quantity))] = text;
        },
        q);
    connect(
        l, &DeviceLink::fastStatsChanged, this,
        [this](const FastStats& s, const QString& note, bool givenUp) {
            m_fastStats = s;
            Q_EMIT fastStatsChanged(s, note, givenUp);
        },
        q);
    connect(
        l, &DeviceLink::busyChanged, this,
        [this](bool busy) {
            m_linkBusy = busy;
            tellIdle();
        },
        q);
    connect(
        l, &DeviceLink::guardTripped, this,
        [this](const GuardTrip& t) {
            m_trip = t;
            Q_EMIT guardTripped(t);
        },
        q);
    connect(
        l, &DeviceLink::countersChanged, this,
        [this](int channel, const ChannelCounters& c) {
            m_counters[channel == 2 ? 1 : 0] = c;
            Q_EMIT countersChanged(channel, c);
        },
        q);
    connect(l, &DeviceLink::tripConfirmed, this, &LinkClient::tripConfirmed, q);
    connect(l, &DeviceLink::planStepStarted, this, &LinkClient::planStepStarted, q);
    connect(l, &DeviceLink::planStepConfirmed, this, &LinkClient::planStepConfirmed, q);
    connect(
        l, &DeviceLink::planEnded, this,
        [this](PlanEnd end, const QString& why) {
            m_planRunning = false;
            if (std::exchange(m_envelopeArmed, false)) Q_EMIT guardSettingsChanged();
            Q_EMIT planEnded(end, why);
            if (Done done = std::exchange(m_planDone, {})) done(end == PlanEnd::Completed);
        },
        q);
    connect(
        l, &DeviceLink::guardCleared, this,
        [this] {
            m_trip.reset();
            Q_EMIT guardCleared();
        },
        q);
    connect(l, &DeviceLink::commandDone, this, &LinkClient::commandDone, q);
    connect(l, &DeviceLink::measureDone, this, &LinkClient::measureDone, q);
    connect(l, &DeviceLink::readingTaken, this, &LinkClient::readingTaken, q);
    connect(l, &DeviceLink::readingsCleared, this, &LinkClient::readingsCleared, q);
    connect(l, &DeviceLink::setPointRead, this, &LinkClient::setPointRead, q);
    connect(l, &DeviceLink::setPointNotHeld, this, &LinkClient::setPointNotHeld, q);
    connect(l, &DeviceLink::couplingChanged, this, &LinkClient::couplingChanged, q);
    connect(l, &DeviceLink::couplingStatusUnreadable, this, &LinkClient::couplingStatusUnreadable,
            q);
    connect(l, &DeviceLink::outputStatusUnreadable, this, &LinkClient::outputStatusUnreadable, q);
    connect(l, &DeviceLink::queryingShown, this, &LinkClient::queryingShown, q);
    connect(l, &DeviceLink::queryingProgress, this, &LinkClient::queryingProgress, q);
    connect(l, &DeviceLink::queryingCloseRequested, this, &LinkClient::queryingCloseRequested, q);
    connect(l, &DeviceLink::timedOut, this, &LinkClient::timedOut, q);
    connect(l, &DeviceLink::frameRefused, this, &LinkClient::frameRefused, q);
    connect(l, &DeviceLink::conversionFailed, this, &LinkClient::conversionFailed, q);
    connect(l, &DeviceLink::readingsStale, this, &LinkClient::readingsStale, q);
    connect(l, &DeviceLink::readingsFresh, this, &LinkClient::readingsFresh, q);
    connect(l, &DeviceLink::readingAged, this, &LinkClient::readingAged, q);
    connect(l, &DeviceLink::lineLost, this, &LinkClient::lineLost, q);
}

LinkClient::~LinkClient() = default;

template <typename F>
void LinkClient::call(F f) {
    QMetaObject::invokeMethod(m_link, std::move(f), Qt::QueuedConnection);
}

Ticket LinkClient::give(Done done) {
    const Ticket t = ++m_nextTicket;
    m_pending.emplace(t, std::move(done));
    tellIdle();
    return t;
}

// Until the link has the newest output command, it is where the output goes.
OutputView LinkClient::output() const {
    OutputView v = m_linkOutput;
    if (m_outputAsked) v.target = *m_outputAsked ? OutputState::On : OutputState::Off;
    return v;
}

void LinkClient::commandDone(Ticket ticket, bool tookEffect) {
    const auto it = m_pending.find(ticket);
    if (it == m_pending.end()) return;
    Done done = std::move(it->second);
    m_pending.erase(it);
    if (ticket == m_outputTicket) {
        m_outputTicket = 0;
        m_outputAsked.reset();
        Q_EMIT outputChanged(output());
    }
    if (done) done(tookEffect);
    tellIdle();
}

void LinkClient::measureDone(Ticket ticket, bool answered, double value) {
    const auto it = m_measures.find(ticket);
    if (it == m_measures.end()) return;
    auto done = std::move(it->second);
    m_measures.erase(it);
    if (done) done(answered ? std::optional<double>(value) : std::nullopt);
    tellIdle();
}

void LinkClient::tellIdle() {
    const bool now = idle();
    if (now == m_wasIdle) return;
    m_wasIdle = now;
    Q_EMIT idleChanged(now);
}

QString LinkClient::heldSetPoint(int channel, Quantity q) const {
    return m_held[std::size_t(fieldIndex(channel, q))];
}

int LinkClient::readingIntervalMs() const {
    return m_timings.readingIntervalMs(m_fast || guardArmed());
}

void LinkClient::link(const QString& portName, Done done) {
    const Ticket t = give(std::move(done));
    call([l = m_link, portName, t] { l->link(portName, t); });
}

void LinkClient::setSetPoint(int channel, Quantity q, double value, const QString& text,
                             Origin origin, Done done) {
    if (origin == Origin::Window)
        m_actions.setPoint(actionsClock(), channel, q == Quantity::Voltage, value);
    const Ticket t = give(std::move(done));
    call([l = m_link, channel, q, value, text, origin, t] {
        l->setSetPoint(channel, q, value, text, origin, t);
    });
}

void LinkClient::stepSetPoint(int channel, Quantity q, double value, const QString& text,
                              Done done) {
    m_actions.setPoint(actionsClock(), channel, q == Quantity::Voltage, value);
    const Ticket t = give(std::move(done));
    call([l = m_link, channel, q, value, text, t] { l->stepSetPoint(channel, q, value, text, t); });
}

void LinkClient::setOutput(bool on, Done done) {
    m_actions.output(actionsClock(), on);
    const Ticket t = give(std::move(done));
    // Shown at once as where the output goes, marked pending until it has.
    m_outputAsked = on;
    m_outputTicket = t;
    Q_EMIT outputChanged(output());
    call([l = m_link, on, t] { l->setOutput(on, t); });
}

void LinkClient::selectCoupling(Coupling coupling, Done done) {
    m_actions.coupling(actionsClock(), coupling);
    const Ticket t = give(std::move(done));
    call([l = m_link, coupling, t] { l->selectCoupling(coupling, t); });
}

void LinkClient::saveMemory(const QString& slot, Done done) {
    const Ticket t = give(std::move(done));
    call([l = m_link, slot, t] { l->saveMemory(slot, t); });
}

void LinkClient::recallMemory(const QString& slot, Done done) {
    m_actions.recall(actionsClock(), slot.toInt());
    const Ticket t = give(std::move(done));
    call([l = m_link, slot, t] { l->recallMemory(slot, t); });
}

void LinkClient::measure(int channel, Quantity q, std::function<void(std::optional<double>)> done) {
    const Ticket t = ++m_nextTicket;
    m_measures.emplace(t, std::move(done));
    tellIdle();
    call([l = m_link, channel, q, t] { l->measure(channel, q, t); });
}

void LinkClient::whenIdle(std::function<void()> done) {
    const Ticket t = give([done](bool) {
        if (done) done();
    });
    call([l = m_link, t] { l->sync(t); });
}

void LinkClient::holdStarted() {
    call([l = m_link] { l->holdStarted(); });
}

void LinkClient::holdTick() {
    call([l = m_link] { l->holdTick(); });
}

void LinkClient::holdEnded() {
    call([l = m_link] { l->holdEnded(); });
}

void LinkClient::setModel(int index) {
    m_model = index;
    call([l = m_link, index] { l->setModel(index); });
}

void LinkClient::setFastReadings(bool on) {
    m_fast = on;
    call([l = m_link, on] { l->setFastReadings(on); });
}

bool LinkClient::guardArmed() const {
    if (m_envelopeArmed) return true;
    for (const auto& channel : m_guardSettings)
        for (const GuardSetting& s : channel)
            if (s.armed) return true;
    return false;
}

void LinkClient::setGuard(int channel, GuardLimit limit, const GuardSetting& setting) {
    m_guardSettings[channel == 2 ? 1 : 0][std::size_t(limit)] = setting;
    call([l = m_link, channel, limit, setting] { l->setGuard(channel, limit, setting); });
    Q_EMIT guardSettingsChanged();
}

void LinkClient::clearTrip() {
    call([l = m_link] { l->clearTrip(); });
}

void LinkClient::runPlan(const StepPlan& plan, const Envelope& envelope, Done done) {
    // Not a pending command: a run lasts as long as it lasts, and the
    // window and scripts go on meanwhile.
    m_planDone = std::move(done);
    m_planRunning = true;
    call([l = m_link, plan, envelope] { l->runPlan(plan, envelope, 0); });
    // The link arms the envelope as limits for the run: the window reads fast meanwhile.
    for (std::size_t k = 0; k < 2; ++k)
        if (envelope.maxVolts[k] > 0 || envelope.maxAmps[k] > 0 || envelope.maxWatts[k] > 0)
            m_envelopeArmed = true;
    if (m_envelopeArmed) Q_EMIT guardSettingsChanged();
}

void LinkClient::stopPlan() {
    call([l = m_link] { l->stopPlan(); });
}

void LinkClient::pausePlan(bool paused) {
    call([l = m_link, paused] { l->pausePlan(paused); });
}

void LinkClient::nextPlanStep() {
    call([l = m_link] { l->nextPlanStep(); });
}

std::function<ActionRecorder::Time()> LinkClient::actionsClock = [] {
    return std::chrono::steady_clock::now();
};

void LinkClient::recordActions(bool on) {
    if (on)
        m_actions.start(actionsClock());
    else
        m_actions.finish(actionsClock());
}

StepPlan LinkClient::recordedActions() {
    return m_actions.finish(actionsClock());
}

void LinkClient::clearCounters(int channel) {
    m_counters[channel == 2 ? 1 : 0] = {};
    call([l = m_link, channel] { l->clearCounters(channel); });
}

void LinkClient::setTimings(const LinkTimings& timings) {
    m_timings = timings;
    call([l = m_link, timings] { l->setTimings(timings); });
}

void LinkClient::queryingClosed() {
    call([l = m_link] { l->queryingClosed(); });
}

void LinkClient::stop() {
    call([l = m_link] { l->stop(); });
}

void LinkClient::giveUp() {
    call([l = m_link] { l->giveUp(); });
}

}  // namespace lqs
