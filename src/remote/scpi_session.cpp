#include "remote/scpi_session.h"

#include "remote/sequence_files.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace lqs {

namespace {

// Shortest form for an error's words: "35 V", "3.2 A".
QString plain(double value) {
    return QString::number(value, 'g', 12);
}

// Text from elsewhere (the link's reasons, the instrument's identity) kept to one line.
QString oneLine(QString text) {
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char(' ');
    return text;
}

// The standard event status register's bits.
namespace Event {
constexpr int OperationComplete = 1;
constexpr int QueryError = 4;
constexpr int DeviceError = 8;
constexpr int ExecutionError = 16;
constexpr int CommandError = 32;
}  // namespace Event

// The event an error number belongs to, by its hundreds.
int eventOf(int code) {
    switch (-code / 100) {
        case 1:
            return Event::CommandError;
        case 2:
            return Event::ExecutionError;
        case 3:
            return Event::DeviceError;
        case 4:
            return Event::QueryError;
        default:
            return 0;
    }
}

}  // namespace

ScpiSession::ScpiSession(RemoteInstrument& instrument, std::shared_ptr<ScpiErrorQueue> errors,
                         QString maker, QString version)
    : m_instrument(instrument),
      m_maker(std::move(maker)),
      m_version(std::move(version)),
      m_errors(std::move(errors)) {}

// m_alive goes with the session, so pending callbacks find it expired.
ScpiSession::~ScpiSession() = default;

void ScpiSession::takeLine(const QByteArray& line) {
    m_calls = parseScpiLine(line);
    m_next = 0;
    m_answers.clear();
    runOn();
}

void ScpiSession::lineTooLong() {
    pushError(ScpiError::Command, QStringLiteral("line too long"));
}

template <typename Handle>
auto ScpiSession::later(const std::shared_ptr<Wait>& wait, Handle handle) {
    return [this, alive = std::weak_ptr<bool>(m_alive), wait, handle](auto... args) {
        if (alive.expired() || wait->called) return;
        wait->called = true;
        handle(args...);
        // An early call is picked up by the loop that is still running.
        if (wait->returned) runOn();
    };
}

void ScpiSession::runOn() {
    while (m_next < m_calls.size()) {
        const ScpiCall call = m_calls[m_next++];
        if (!run(call)) return;
    }
    finishLine();
}

void ScpiSession::finishLine() {
    const bool anyAnswer = !m_answers.isEmpty();
    const QByteArray reply = m_answers.join(';');
    m_calls.clear();
    m_next = 0;
    m_answers.clear();
    // The server may end the session from either call; copies outlive it.
    const std::weak_ptr<bool> alive = m_alive;
    if (anyAnswer && write) {
        const auto send = write;
        send(reply);
    }
    if (alive.expired() || !finished) return;
    const auto done = finished;
    done();
}

bool ScpiSession::run(const ScpiCall& call) {
    if (call.error != ScpiError::None) {
        pushError(call.error, call.detail);
        return true;
    }
    switch (call.command) {
        case ScpiCommand::Identify: {
            QString identity = oneLine(m_instrument.instrumentIdentity());
            identity.replace(QLatin1Char(','), QLatin1Char(' '));
            identity = identity.trimmed();
            if (identity.isEmpty()) identity = QStringLiteral("0");
            answer(QStringList{m_maker, m_instrument.modelName(), identity, m_version}.join(
                QLatin1Char(',')));
            return true;
        }
        case ScpiCommand::ClearStatus:
            m_errors->clear();
            m_eventStatus = 0;
            ++m_clears;
            return true;
        case ScpiCommand::OperationComplete:
            if (!call.query) {
                // Sets its bit once every command before has ended; the line goes on.
                m_instrument.whenIdle(
                    [this, alive = std::weak_ptr<bool>(m_alive), clears = m_clears] {
                        if (!alive.expired() && clears == m_clears)
                            m_eventStatus |= Event::OperationComplete;
                    });
                return true;
            }
            return afterIdle([this] { answer(QStringLiteral("1")); });
        case ScpiCommand::Wait:
            return afterIdle([] {});
        case ScpiCommand::Reset:
            reset();
            return true;
        case ScpiCommand::EventStatus:
            answer(QString::number(m_eventStatus));
            m_eventStatus = 0;
            return true;
        case ScpiCommand::EventEnable:
            if (call.query)
                answer(QString::number(m_eventEnable));
            else
                setEventEnable(call);
            return true;
        case ScpiCommand::StatusByte:
            answer(QString::number(statusByte()));
            return true;
        case ScpiCommand::Save:
        case ScpiCommand::Recall:
            memory(call, call.command == ScpiCommand::Save);
            return true;
        case ScpiCommand::SystemError:
            answer(m_errors->pop());
            return true;
        case ScpiCommand::SystemLink:
            if (!call.query) return link();
            answer(m_instrument.linked() ? QStringLiteral("1") : QStringLiteral("0"));
            return true;
        case ScpiCommand::SystemModel:
            if (call.query)
                answer(m_instrument.modelName());
            else
                setModel(call);
            return true;
        case ScpiCommand::InstrumentSelect:
        case ScpiCommand::InstrumentNumber:
            if (!call.query)
                selectChannel(call);
            else if (call.command == ScpiCommand::InstrumentSelect)
                answer(QStringLiteral("CH%1").arg(m_channel));
            else
                answer(QString::number(m_channel));
            return true;
        case ScpiCommand::Voltage:
        case ScpiCommand::Current: {
            const bool current = call.command == ScpiCommand::Current;
            if (call.query)
                queryLevel(call, current);
            else
                setLevel(call, current);
            return true;
        }
        case ScpiCommand::MeasureVoltage:
            return measure(call, false);
        case ScpiCommand::MeasureCurrent:
            return measure(call, true);
        case ScpiCommand::MeasurePower:
            return measurePower(call);
        case ScpiCommand::MeasureCharge:
        case ScpiCommand::MeasureEnergy:
            return accumulated(call, call.command == ScpiCommand::MeasureEnergy);
        case ScpiCommand::AccumulateClear:
            m_instrument.clearCounters(m_channel);
            return true;
        case ScpiCommand::Output:
            if (!call.query) {
                setOutput(call);
            } else if (const auto on = m_instrument.outputOn()) {
                answer(*on ? QStringLiteral("1") : QStringLiteral("0"));
            } else {
                pushError(ScpiError::Execution,
                          QStringLiteral("the output's state is not known: link first"));
            }
            return true;
        case ScpiCommand::VoltageProtection:
        case ScpiCommand::VoltageProtectionState:
        case ScpiCommand::VoltageProtectionDelay:
        case ScpiCommand::VoltageFloor:
        case ScpiCommand::VoltageFloorState:
        case ScpiCommand::VoltageFloorDelay:
        case ScpiCommand::CurrentProtection:
        case ScpiCommand::CurrentProtectionState:
        case ScpiCommand::CurrentProtectionDelay:
        case ScpiCommand::CurrentProtectionCc:
        case ScpiCommand::PowerProtection:
        case ScpiCommand::PowerProtectionState:
        case ScpiCommand::PowerProtectionDelay:
        case ScpiCommand::ChargeProtection:
        case ScpiCommand::ChargeProtectionState:
        case ScpiCommand::ChargeProtectionDelay:
        case ScpiCommand::EnergyProtection:
        case ScpiCommand::EnergyProtectionState:
        case ScpiCommand::EnergyProtectionDelay:
            protection(call);
            return true;
        case ScpiCommand::ProtectionTripped:
            answer(m_instrument.protectionTripped() ? QStringLiteral("1") : QStringLiteral("0"));
            return true;
        case ScpiCommand::ProtectionClear:
            m_instrument.clearProtection();
            // The latch is known to be gone once the link has taken the
            // clear: an "OUTP ON" after it must not find it still set.
            return afterIdle([] {});
        case ScpiCommand::ListVoltage:
        case ScpiCommand::ListCurrent:
        case ScpiCommand::ListDwell:
            listValues(call);
            return true;
        case ScpiCommand::ListCount:
        case ScpiCommand::ListTerminate:
            listSettings(call);
            return true;
        case ScpiCommand::ListRun:
            runList();
            return true;
        case ScpiCommand::ListStop:
            m_instrument.stopList();
            return true;
        case ScpiCommand::ListState:
            if (const std::optional<int> step = m_instrument.listStep())
                answer(QStringLiteral("RUN,%1").arg(*step));
            else
                answer(QStringLiteral("IDLE"));
            return true;
        case ScpiCommand::ListSave:
        case ScpiCommand::ListLoad:
            listFile(call);
            return true;
        case ScpiCommand::OutputPair: {
            if (!call.query) {
                setPair(call);
                return true;
            }
            const int coupling = m_instrument.coupling();
            answer(coupling == 2   ? QStringLiteral("PAR")
                   : coupling == 3 ? QStringLiteral("SER")
                                   : QStringLiteral("OFF"));
            return true;
        }
    }
    return true;
}

namespace {
using Protection = RemoteInstrument::Protection;
enum class Aspect { Level, State, Delay };
struct ProtectionCommand {
    ScpiCommand command;
    Protection limit;
    Aspect aspect;
    ScpiUnit unit;
};
constexpr ProtectionCommand kProtectionCommands[] = {
    {ScpiCommand::VoltageProtection, Protection::OverVoltage, Aspect::Level, ScpiUnit::Volt},
    {ScpiCommand::VoltageProtectionState, Protection::OverVoltage, Aspect::State, ScpiUnit::None},
    {ScpiCommand::VoltageProtectionDelay, Protection::OverVoltage, Aspect::Delay, ScpiUnit::Second},
    {ScpiCommand::VoltageFloor, Protection::UnderVoltage, Aspect::Level, ScpiUnit::Volt},
    {ScpiCommand::VoltageFloorState, Protection::UnderVoltage, Aspect::State, ScpiUnit::None},
    {ScpiCommand::VoltageFloorDelay, Protection::UnderVoltage, Aspect::Delay, ScpiUnit::Second},
    {ScpiCommand::CurrentProtection, Protection::OverCurrent, Aspect::Level, ScpiUnit::Ampere},
    {ScpiCommand::CurrentProtectionState, Protection::OverCurrent, Aspect::State, ScpiUnit::None},
    {ScpiCommand::CurrentProtectionDelay, Protection::OverCurrent, Aspect::Delay, ScpiUnit::Second},
    {ScpiCommand::CurrentProtectionCc, Protection::EnteringCc, Aspect::State, ScpiUnit::None},
    {ScpiCommand::PowerProtection, Protection::OverPower, Aspect::Level, ScpiUnit::Watt},
    {ScpiCommand::PowerProtectionState, Protection::OverPower, Aspect::State, ScpiUnit::None},
    {ScpiCommand::PowerProtectionDelay, Protection::OverPower, Aspect::Delay, ScpiUnit::Second},
    {ScpiCommand::ChargeProtection, Protection::Charge, Aspect::Level, ScpiUnit::AmpHour},
    {ScpiCommand::ChargeProtectionState, Protection::Charge, Aspect::State, ScpiUnit::None},
    {ScpiCommand::ChargeProtectionDelay, Protection::Charge, Aspect::Delay, ScpiUnit::Second},
    {ScpiCommand::EnergyProtection, Protection::Energy, Aspect::Level, ScpiUnit::WattHour},
    {ScpiCommand::EnergyProtectionState, Protection::Energy, Aspect::State, ScpiUnit::None},
    {ScpiCommand::EnergyProtectionDelay, Protection::Energy, Aspect::Delay, ScpiUnit::Second},
};
constexpr double kLongestDelaySeconds = 60;
}  // namespace

// A limit's level, its on/off or its delay on the selected channel. Arming a
// limit with no level yet is refused: a level of 0 would trip at once.
void ScpiSession::protection(const ScpiCall& call) {
    const ProtectionCommand* p = nullptr;
    for (const ProtectionCommand& c : kProtectionCommands)
        if (c.command == call.command) p = &c;
    if (!p) return;
    RemoteInstrument::ProtectionSetting s = m_instrument.protection(m_channel, p->limit);
    if (call.query) {
        switch (p->aspect) {
            case Aspect::Level:
                answer(plain(s.level));
                break;
            case Aspect::State:
                answer(s.on ? QStringLiteral("1") : QStringLiteral("0"));
                break;
            case Aspect::Delay:
                answer(plain(s.delaySeconds));
                break;
        }
        return;
    }
    if (p->aspect == Aspect::State) {
        const std::optional<bool> on = parseScpiBoolean(call.parameter);
        if (!on) {
            pushError(ScpiError::IllegalValue,
                      QStringLiteral("%1 is not ON, OFF, 1 or 0").arg(scpiEcho(call.parameter)));
            return;
        }
        if (*on && s.level <= 0 && p->limit != Protection::EnteringCc) {
            pushError(ScpiError::SettingsConflict, QStringLiteral("set the level first"));
            return;
        }
        s.on = *on;
    } else {
        const ScpiNumber number = parseScpiNumber(call.parameter, p->unit);
        if (number.kind != ScpiNumber::Kind::Value) {
            pushError(ScpiError::Command,
                      QStringLiteral("%1 is not a number").arg(scpiEcho(call.parameter)));
            return;
        }
        if (p->aspect == Aspect::Delay) {
            if (!(number.value >= 0 && number.value <= kLongestDelaySeconds)) {
                pushError(ScpiError::DataOutOfRange, QStringLiteral("the delay is from 0 to 60 s"));
                return;
            }
            s.delaySeconds = number.value;
        } else {
            s.level = number.value;
        }
    }
    const QString why = m_instrument.setProtection(m_channel, p->limit, s);
    if (!why.isEmpty()) pushError(ScpiError::DataOutOfRange, why);
}

void ScpiSession::setLevel(const ScpiCall& call, bool current) {
    const ScpiNumber number =
        parseScpiNumber(call.parameter, current ? ScpiUnit::Ampere : ScpiUnit::Volt);
    const double limit = current ? m_instrument.currentLimit() : m_instrument.voltageLimit();
    const QString unit = current ? QStringLiteral("A") : QStringLiteral("V");
    double value = 0;
    switch (number.kind) {
        case ScpiNumber::Kind::Invalid:
            pushError(ScpiError::Command,
                      QStringLiteral("%1 is not a number").arg(scpiEcho(call.parameter)));
            return;
        case ScpiNumber::Kind::Minimum:
            value = 0;
            break;
        case ScpiNumber::Kind::Maximum:
            value = limit;
            break;
        case ScpiNumber::Kind::Value:
            value = number.value;
            break;
    }
    if (!std::isfinite(value)) {
        pushError(ScpiError::DataOutOfRange,
                  QStringLiteral("%1 is out of range").arg(scpiEcho(call.parameter)));
        return;
    }
    if (value < 0) {
        pushError(ScpiError::DataOutOfRange,
                  QStringLiteral("%1 %2 is below zero").arg(plain(value), unit));
        return;
    }
    // Room for binary fractions only: "3.2" must not count as above 3.2.
    if (value > limit + 1e-9) {
        pushError(
            ScpiError::DataOutOfRange,
            QStringLiteral("%1 %2 is above the %3 %2 limit").arg(plain(value), unit, plain(limit)));
        return;
    }
    if (!requireLink()) return;
    if (m_channel == 2 && m_instrument.channel2Follows(current)) {
        pushError(ScpiError::SettingsConflict,
                  QStringLiteral("channel 2 follows channel 1 in this coupling"));
        return;
    }
    m_instrument.setSetPoint(m_channel, current, format(std::min(value, limit)),
                             unlessDone(current ? QStringLiteral("the current limit")
                                                : QStringLiteral("the voltage limit")));
}

void ScpiSession::queryLevel(const ScpiCall& call, bool current) {
    if (call.parameter.isEmpty()) {
        answer(m_instrument.setPoint(m_channel, current));
        return;
    }
    const double limit = current ? m_instrument.currentLimit() : m_instrument.voltageLimit();
    switch (parseScpiNumber(call.parameter, ScpiUnit::None).kind) {
        case ScpiNumber::Kind::Minimum:
            answer(format(0));
            return;
        case ScpiNumber::Kind::Maximum:
            answer(format(limit));
            return;
        default:
            pushError(ScpiError::IllegalValue,
                      QStringLiteral("%1 is not MIN or MAX").arg(scpiEcho(call.parameter)));
    }
}

// The selected channel, or the one a measurement's channel list names.
std::optional<int> ScpiSession::measuredChannel(const ScpiCall& call) {
    if (call.parameter.isEmpty()) return m_channel;
    const int channel = parseScpiChannelList(call.parameter);
    if (channel < 0) {
        pushError(
            ScpiError::Command,
            QStringLiteral("%1 is not a channel list such as (@1)").arg(scpiEcho(call.parameter)));
        return std::nullopt;
    }
    if (channel != 1 && channel != 2) {
        pushError(ScpiError::DataOutOfRange, QStringLiteral("there is no channel %1").arg(channel));
        return std::nullopt;
    }
    return channel;
}

bool ScpiSession::measure(const ScpiCall& call, bool current) {
    const std::optional<int> channel = measuredChannel(call);
    if (!channel || !requireLink()) return true;
    const auto wait = std::make_shared<Wait>();
    m_instrument.measure(*channel, current, later(wait, [this](std::optional<double> value) {
        if (value)
            answer(format(*value));
        else
            pushError(ScpiError::Execution, QStringLiteral("no reply from the instrument"));
    }));
    wait->returned = true;
    return wait->called;
}

// Volts times amperes, each a fresh reading. Both are asked at once so that
// they are taken as close together as the link allows.
bool ScpiSession::measurePower(const ScpiCall& call) {
    const std::optional<int> channel = measuredChannel(call);
    if (!channel || !requireLink()) return true;
    struct Both {
        std::optional<double> value[2];
        bool told[2] = {false, false};
    };
    const auto both = std::make_shared<Both>();
    const auto wait = std::make_shared<Wait>();
    const auto done = later(wait, [this, both] {
        if (both->value[0] && both->value[1])
            answer(format(*both->value[0] * *both->value[1]));
        else
            pushError(ScpiError::Execution, QStringLiteral("no reply from the instrument"));
    });
    for (const int k : {0, 1}) {  // volts, amperes
        m_instrument.measure(*channel, k == 1, [both, done, k](std::optional<double> v) {
            if (both->told[k]) return;
            both->told[k] = true;
            both->value[k] = v;
            if (both->told[0] && both->told[1]) done();
        });
    }
    wait->returned = true;
    return wait->called;
}

// The program's own count, so no link is needed; read once every command
// before has ended, so that a clear given before it shows.
bool ScpiSession::accumulated(const ScpiCall& call, bool energy) {
    const std::optional<int> channel = measuredChannel(call);
    if (!channel) return true;
    return afterIdle([this, channel = *channel, energy] {
        const RemoteInstrument::Counters c = m_instrument.counters(channel);
        answer(QString::number(energy ? c.wattHours : c.ampHours, 'g', 6));
    });
}

// Runs then once every command given before has ended; the line waits.
bool ScpiSession::afterIdle(std::function<void()> then) {
    const auto wait = std::make_shared<Wait>();
    m_instrument.whenIdle(later(wait, std::move(then)));
    wait->returned = true;
    return wait->called;
}

// A run stopped, the output off and every limit of the guard disarmed, their
// levels and delays kept; the set points, the coupling, a latched trip, the
// counters and the lists stay as they are.
void ScpiSession::reset() {
    m_channel = 1;
    if (m_instrument.listStep()) m_instrument.stopList();
    if (!m_instrument.linked())
        pushError(ScpiError::Execution,
                  QStringLiteral("not linked: the output was not switched off"));
    else if (m_instrument.outputOn() != false)
        m_instrument.setOutput(false, unlessDone(QStringLiteral("the output command")));
    for (const int channel : {1, 2}) {
        for (int i = 0; i < RemoteInstrument::kProtections; ++i) {
            const auto limit = Protection(i);
            RemoteInstrument::ProtectionSetting s = m_instrument.protection(channel, limit);
            if (!s.on) continue;
            s.on = false;
            const QString why = m_instrument.setProtection(channel, limit, s);
            if (!why.isEmpty()) pushError(ScpiError::Execution, why);
        }
    }
}

void ScpiSession::setEventEnable(const ScpiCall& call) {
    const ScpiNumber number = parseScpiNumber(call.parameter, ScpiUnit::None);
    if (number.kind != ScpiNumber::Kind::Value) {
        pushError(ScpiError::Command,
                  QStringLiteral("%1 is not a number").arg(scpiEcho(call.parameter)));
        return;
    }
    const double mask = std::round(number.value);
    if (!(mask >= 0 && mask <= 255)) {
        pushError(
            ScpiError::DataOutOfRange,
            QStringLiteral("the mask is from 0 to 255, not %1").arg(scpiEcho(call.parameter)));
        return;
    }
    m_eventEnable = int(mask);
}

int ScpiSession::statusByte() const {
    constexpr int kErrorQueued = 4;
    constexpr int kEventSummary = 32;
    return (m_errors->empty() ? 0 : kErrorQueued) |
           ((m_eventStatus & m_eventEnable) != 0 ? kEventSummary : 0);
}

// The name as a word (LQS6500B) or as a string ("LQS-6500B").
void ScpiSession::setModel(const ScpiCall& call) {
    const QByteArray name = parseScpiString(call.parameter).value_or(call.parameter);
    QString why;
    switch (m_instrument.setModel(QString::fromLatin1(name), &why)) {
        case RemoteInstrument::ModelChange::Done:
            return;
        case RemoteInstrument::ModelChange::Unknown:
            pushError(ScpiError::IllegalValue,
                      QStringLiteral("%1 is not LQS-6200A, LQS-6200B or LQS-6500B")
                          .arg(scpiEcho(call.parameter)));
            return;
        case RemoteInstrument::ModelChange::Refused:
            pushError(ScpiError::SettingsConflict, why);
            return;
    }
}

void ScpiSession::selectChannel(const ScpiCall& call) {
    if (call.command == ScpiCommand::InstrumentSelect) {
        if (scpiWordMatches(call.parameter, "CH1") || scpiWordMatches(call.parameter, "CH2"))
            m_channel = call.parameter.endsWith('1') ? 1 : 2;
        else
            pushError(ScpiError::IllegalValue,
                      QStringLiteral("%1 is not CH1 or CH2").arg(scpiEcho(call.parameter)));
        return;
    }
    const ScpiNumber number = parseScpiNumber(call.parameter, ScpiUnit::None);
    if (number.kind != ScpiNumber::Kind::Value) {
        pushError(ScpiError::Command,
                  QStringLiteral("%1 is not a number").arg(scpiEcho(call.parameter)));
    } else if (number.value != 1 && number.value != 2) {
        pushError(ScpiError::DataOutOfRange,
                  QStringLiteral("there is no channel %1").arg(scpiEcho(call.parameter)));
    } else {
        m_channel = int(number.value);
    }
}

void ScpiSession::setOutput(const ScpiCall& call) {
    const std::optional<bool> on = parseScpiBoolean(call.parameter);
    if (!on) {
        pushError(ScpiError::IllegalValue,
                  QStringLiteral("%1 is not ON, OFF, 1 or 0").arg(scpiEcho(call.parameter)));
        return;
    }
    if (!requireLink()) return;
    // The link would refuse it too, but the window would show it on meanwhile.
    if (*on && m_instrument.protectionTripped()) {
        pushError(ScpiError::Execution,
                  QStringLiteral("the output is latched off by the protection: clear it first "
                                 "with OUTP:PROT:CLE"));
        return;
    }
    // Absolute: one already where it is asked to be changes nothing.
    if (m_instrument.outputOn() != on)
        m_instrument.setOutput(*on, unlessDone(QStringLiteral("the output command")));
}

void ScpiSession::setPair(const ScpiCall& call) {
    const QByteArray& word = call.parameter;
    const int coupling = scpiWordMatches(word, "OFF")        ? 1
                         : scpiWordMatches(word, "PARallel") ? 2
                         : scpiWordMatches(word, "SERies")   ? 3
                                                             : 0;
    if (coupling == 0) {
        pushError(ScpiError::IllegalValue,
                  QStringLiteral("%1 is not OFF, PARallel or SERies").arg(scpiEcho(word)));
        return;
    }
    if (requireLink() && m_instrument.coupling() != coupling)
        m_instrument.setCoupling(coupling, unlessDone(QStringLiteral("the coupling")));
}

void ScpiSession::memory(const ScpiCall& call, bool save) {
    const ScpiNumber number = parseScpiNumber(call.parameter, ScpiUnit::None);
    if (number.kind != ScpiNumber::Kind::Value) {
        pushError(ScpiError::Command,
                  QStringLiteral("%1 is not a number").arg(scpiEcho(call.parameter)));
        return;
    }
    const double slot = number.value;
    if (!(slot >= 1 && slot <= 4 && slot == std::floor(slot))) {
        pushError(ScpiError::DataOutOfRange,
                  QStringLiteral("the memories are 1 to 4, not %1").arg(scpiEcho(call.parameter)));
        return;
    }
    if (!requireLink()) return;
    if (save)
        m_instrument.saveMemory(int(slot), unlessDone(QStringLiteral("the save")));
    else
        m_instrument.recallMemory(int(slot), unlessDone(QStringLiteral("the recall")));
}

bool ScpiSession::link() {
    // A link that stands is kept: relinking would drop it for nothing.
    if (m_instrument.linked()) return true;
    QString why;
    if (!m_instrument.startLink(&why)) {
        pushError(ScpiError::Execution,
                  why.isEmpty() ? QStringLiteral("the link cannot start") : why);
        return true;
    }
    const auto wait = std::make_shared<Wait>();
    m_instrument.whenLinkSettled(later(wait, [this](bool linked) {
        if (!linked) pushError(ScpiError::Execution, QStringLiteral("the link failed"));
    }));
    wait->returned = true;
    return wait->called;
}

namespace {
constexpr double kLongestDwellSeconds = 7 * 24 * 3600.0;
constexpr int kMostPasses = 1000000;
}  // namespace

// A voltage, current or dwell list: set whole, or read back.
void ScpiSession::listValues(const ScpiCall& call) {
    const bool dwell = call.command == ScpiCommand::ListDwell;
    const bool current = call.command == ScpiCommand::ListCurrent;
    std::vector<double>& list = dwell     ? m_list.dwellSeconds
                                : current ? m_list.amps[std::size_t(m_channel - 1)]
                                          : m_list.volts[std::size_t(m_channel - 1)];
    if (call.query) {
        QStringList values;
        for (const double v : list) values << (dwell ? plain(v) : format(v));
        answer(values.join(QLatin1Char(',')));
        return;
    }
    const ScpiUnit unit = dwell ? ScpiUnit::Second : current ? ScpiUnit::Ampere : ScpiUnit::Volt;
    std::vector<double> values;
    for (const QByteArray& item : call.parameter.split(',')) {
        const QByteArray text = item.trimmed();
        const ScpiNumber number = parseScpiNumber(text, unit);
        if (number.kind != ScpiNumber::Kind::Value) {
            pushError(ScpiError::Command, QStringLiteral("%1 is not a number").arg(scpiEcho(text)));
            return;
        }
        const double v = number.value;
        // Whole milliseconds: the step's clock has no finer grain.
        if (dwell && !(v >= 0.001 && v <= kLongestDwellSeconds)) {
            pushError(ScpiError::DataOutOfRange,
                      QStringLiteral("a dwell is from 1 ms to a week, not %1").arg(scpiEcho(text)));
            return;
        }
        if (!dwell && !(std::isfinite(v) && v >= 0)) {
            pushError(ScpiError::DataOutOfRange,
                      QStringLiteral("%1 is out of range").arg(scpiEcho(text)));
            return;
        }
        values.push_back(v);
    }
    list = std::move(values);
    m_list.asLoaded.clear();
}

void ScpiSession::listSettings(const ScpiCall& call) {
    using End = RemoteInstrument::ListRun::End;
    if (call.command == ScpiCommand::ListTerminate) {
        if (call.query) {
            answer(m_list.end == End::HoldLast      ? QStringLiteral("LAST")
                   : m_list.end == End::BackToFirst ? QStringLiteral("FIRS")
                                                    : QStringLiteral("OFF"));
            return;
        }
        const QByteArray& word = call.parameter;
        if (scpiWordMatches(word, "OFF"))
            m_list.end = End::OutputOff;
        else if (scpiWordMatches(word, "LAST"))
            m_list.end = End::HoldLast;
        else if (scpiWordMatches(word, "FIRSt"))
            m_list.end = End::BackToFirst;
        else
            pushError(ScpiError::IllegalValue,
                      QStringLiteral("%1 is not OFF, LAST or FIRSt").arg(scpiEcho(word)));
        return;
    }
    if (call.query) {
        answer(m_list.count == 0 ? QStringLiteral("INF") : QString::number(m_list.count));
        return;
    }
    if (scpiWordMatches(call.parameter, "INFinity")) {
        m_list.count = 0;
        return;
    }
    const ScpiNumber number = parseScpiNumber(call.parameter, ScpiUnit::None);
    if (number.kind != ScpiNumber::Kind::Value) {
        pushError(ScpiError::Command,
                  QStringLiteral("%1 is not a number or INF").arg(scpiEcho(call.parameter)));
        return;
    }
    const double n = number.value;
    if (!(n >= 1 && n <= kMostPasses && n == std::floor(n))) {
        pushError(ScpiError::DataOutOfRange,
                  QStringLiteral("the count is a whole number from 1 to %1, or INF, not %2")
                      .arg(kMostPasses)
                      .arg(scpiEcho(call.parameter)));
        return;
    }
    m_list.count = int(n);
}

// Why the lists make no run: none set, or lengths that disagree.
QString ScpiSession::listProblem() const {
    if (!m_list.asLoaded.isEmpty()) return {};
    std::size_t steps = 0;
    bool anyValues = false;
    const auto lists = {&m_list.volts[0], &m_list.volts[1], &m_list.amps[0], &m_list.amps[1],
                        &m_list.dwellSeconds};
    for (const std::vector<double>* list : lists) {
        steps = std::max(steps, list->size());
        anyValues = anyValues || (!list->empty() && list != &m_list.dwellSeconds);
    }
    if (!anyValues) return QStringLiteral("no voltage or current list is set");
    for (const std::vector<double>* list : lists)
        if (list->size() > 1 && list->size() != steps)
            return QStringLiteral(
                       "the lists have %1 and %2 values: give each the same length, or one value")
                .arg(list->size())
                .arg(steps);
    return {};
}

void ScpiSession::runList() {
    if (const QString problem = listProblem(); !problem.isEmpty()) {
        pushError(ScpiError::SettingsConflict, problem);
        return;
    }
    if (!requireLink()) return;
    if (m_instrument.listStep()) {
        pushError(ScpiError::SettingsConflict,
                  QStringLiteral("a run is under way: LIST:STOP ends it"));
        return;
    }
    const auto refusal =
        m_instrument.runList(m_list, [this, alive = std::weak_ptr<bool>(m_alive)](QString why) {
            if (!alive.expired())
                pushError(ScpiError::Execution, QStringLiteral("the run ended early: ") + why);
        });
    if (refusal)
        pushError(refusal->byCoupling ? ScpiError::SettingsConflict : ScpiError::DataOutOfRange,
                  refusal->why);
}

void ScpiSession::listFile(const ScpiCall& call) {
    const bool save = call.command == ScpiCommand::ListSave;
    const std::optional<QByteArray> quoted = parseScpiString(call.parameter);
    if (!quoted) {
        pushError(ScpiError::Command,
                  QStringLiteral("%1 is not a name in quotes").arg(scpiEcho(call.parameter)));
        return;
    }
    const QString name = QString::fromUtf8(*quoted);
    if (const QString problem = sequenceNameProblem(name); !problem.isEmpty()) {
        pushError(ScpiError::FileNameError, problem);
        return;
    }
    if (save) {
        if (const QString problem = listProblem(); !problem.isEmpty()) {
            pushError(ScpiError::SettingsConflict, problem);
            return;
        }
    }
    QString why;
    RemoteInstrument::ListRun loaded;
    const RemoteInstrument::FileOutcome outcome = save ? m_instrument.saveList(name, m_list, &why)
                                                       : m_instrument.loadList(name, &loaded, &why);
    using Outcome = RemoteInstrument::FileOutcome;
    switch (outcome) {
        case Outcome::Done:
            if (!save) m_list = std::move(loaded);
            return;
        case Outcome::Missing:
            pushError(ScpiError::FileNameNotFound, why);
            return;
        case Outcome::Refused:
            pushError(ScpiError::FileNameError, why);
            return;
        case Outcome::Malformed:
            pushError(ScpiError::DataOutOfRange, why);
            return;
        case Outcome::Failed:
            pushError(ScpiError::MassStorage, why);
            return;
    }
}

// A command that never reached the instrument is an error the client can
// read, like one refused at once; told however much later it is known.
RemoteInstrument::Done ScpiSession::unlessDone(const QString& what) {
    return [this, alive = std::weak_ptr<bool>(m_alive), what](bool tookEffect) {
        if (alive.expired() || tookEffect) return;
        pushError(ScpiError::Execution, what + QStringLiteral(" did not reach the instrument"));
    };
}

bool ScpiSession::requireLink() {
    if (m_instrument.linked()) return true;
    pushError(ScpiError::Execution, QStringLiteral("not linked"));
    return false;
}

void ScpiSession::pushError(int code, const QString& detail) {
    m_eventStatus |= eventOf(code);
    if (!m_errors->push(code, oneLine(detail))) m_eventStatus |= eventOf(ScpiError::QueueOverflow);
}

QString ScpiSession::format(double value) const {
    QString text = QString::number(value, 'f', m_instrument.decimals());
    // A small negative reading rounds to "-0.00"; say "0.00".
    if (text.startsWith(QLatin1Char('-')) && text.toDouble() == 0) text.remove(0, 1);
    return text;
}

void ScpiSession::answer(const QString& text) {
    m_answers.append(text.toUtf8());
}

}  // namespace lqs
