// The SCPI parser: one line from a remote client into the commands it holds,
// and the parameter forms those commands take. Pure functions of the bytes;
// ScpiSession runs what they return.
//
// Headers are case-insensitive and take the short form (the upper-case letters
// of "VOLTage") or the long form, nothing in between; nodes in [brackets] may
// be left out and a leading ":" is allowed. Commands on one line are separated
// by ";". Unlike full SCPI, every header after a ";" is resolved from the
// root, not from the previous command's branch: "VOLT 5;CURR 1" works, but
// "INST:SEL CH2;NSEL?" must be written "INST:SEL CH2;INST:NSEL?".
// Common commands (*IDN? and its kin) may stand anywhere. Empty commands
// (";;" or a trailing ";") are skipped. A ";" inside a quoted string ("..."
// or '...') does not end a command.
// A form a command lacks ("*CLS?", "MEAS:VOLT") is an undefined header
// (-113); a missing or an extra parameter is a command error (-100).
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace lqs {

enum class ScpiCommand : std::uint8_t {
    Identify,           // *IDN?
    ClearStatus,        // *CLS
    OperationComplete,  // *OPC, *OPC?
    Wait,               // *WAI
    Reset,              // *RST
    EventStatus,        // *ESR?
    EventEnable,        // *ESE n, ?
    StatusByte,         // *STB?
    Save,               // *SAV n
    Recall,             // *RCL n
    SystemError,        // SYSTem:ERRor[:NEXT]?
    SystemLink,         // SYSTem:LINK, SYSTem:LINK?
    SystemModel,        // SYSTem:MODel name, ?
    InstrumentSelect,   // INSTrument[:SELect] CH1|CH2, ?
    InstrumentNumber,   // INSTrument:NSELect 1|2, ?
    Voltage,            // [SOURce:]VOLTage[:LEVel][:IMMediate][:AMPLitude] v, ?, ? MIN|MAX
    Current,            // [SOURce:]CURRent[:LEVel][:IMMediate][:AMPLitude] the same
    MeasureVoltage,     // MEASure[:SCALar]:VOLTage[:DC]? [(@n)]
    MeasureCurrent,     // MEASure[:SCALar]:CURRent[:DC]? [(@n)]
    Output,             // OUTPut[:STATe] ON|OFF|1|0, ?
    OutputPair,         // OUTPut:PAIR OFF|PARallel|SERies, ?
    // The guard, per selected channel: [SOURce:]VOLTage:PROTection[:LEVel],
    // :STATe and :DELay, the same under VOLTage:PROTection:LOW (the floor),
    // CURRent:PROTection and POWer:PROTection; CURRent:PROTection:CC.
    VoltageProtection,
    VoltageProtectionState,
    VoltageProtectionDelay,
    VoltageFloor,
    VoltageFloorState,
    VoltageFloorDelay,
    CurrentProtection,
    CurrentProtectionState,
    CurrentProtectionDelay,
    CurrentProtectionCc,
    PowerProtection,
    PowerProtectionState,
    PowerProtectionDelay,
    ProtectionTripped,  // OUTPut:PROTection:TRIPped?
    ProtectionClear,    // OUTPut:PROTection:CLEar
    MeasurePower,       // MEASure[:SCALar]:POWer[:DC]? [(@n)]
    MeasureCharge,      // MEASure[:SCALar]:CHARge? [(@n)]
    MeasureEnergy,      // MEASure[:SCALar]:ENERgy? [(@n)]
    AccumulateClear,    // [SENSe:]ACCumulate:CLEar
    // Budgets under [SENSe:]ACCumulate:CHARge:PROTection and ...:ENERgy:PROTection.
    ChargeProtection,
    ChargeProtectionState,
    ChargeProtectionDelay,
    EnergyProtection,
    EnergyProtectionState,
    EnergyProtectionDelay,
    // Runs of steps, under [SOURce:]LIST.
    ListVoltage,    // LIST:VOLTage v{,v}, ? (the selected channel's)
    ListCurrent,    // LIST:CURRent a{,a}, ?
    ListDwell,      // LIST:DWELl s{,s}, ?
    ListCount,      // LIST:COUNt n|INFinity, ?
    ListTerminate,  // LIST:TERMinate OFF|LAST|FIRSt, ?
    ListRun,        // LIST:RUN
    ListStop,       // LIST:STOP
    ListState,      // LIST:STATe?
    ListSave,       // LIST:SAVE "name"
    ListLoad,       // LIST:LOAD "name"
};

// The SCPI error numbers in use.
namespace ScpiError {
constexpr int None = 0;
constexpr int Command = -100;    // syntax, missing or extra parameter, line too long
constexpr int Execution = -200;  // not linked, no reply, link failed
constexpr int SettingsConflict = -221;
constexpr int DataOutOfRange = -222;
constexpr int IllegalValue = -224;  // a word outside the enumeration
constexpr int UndefinedHeader = -113;
constexpr int MassStorage = -250;
constexpr int FileNameNotFound = -256;
constexpr int FileNameError = -257;
constexpr int QueueOverflow = -350;
}  // namespace ScpiError

// "Data out of range" and so on; empty for an unknown number.
QString scpiErrorText(int code);

struct ScpiCall {
    ScpiCommand command = ScpiCommand::Identify;
    bool query = false;
    QByteArray parameter;         // trimmed; empty when none was given
    int error = ScpiError::None;  // when set, nothing runs and this error is queued
    QString detail;               // said after the error's text
};

// The line's commands in order. The parser knows which forms exist and
// whether they take a parameter; what the parameter means is the session's.
std::vector<ScpiCall> parseScpiLine(const QByteArray& line);

// Whether word is the short or the long form of a mnemonic written as
// "PARallel" (short form: the leading letters that are not lower case).
bool scpiWordMatches(const QByteArray& word, const char* mnemonic);

enum class ScpiUnit : std::uint8_t { None, Volt, Ampere, Watt, Second, AmpHour, WattHour };

struct ScpiNumber {
    enum class Kind : std::uint8_t { Invalid, Value, Minimum, Maximum };
    Kind kind = Kind::Invalid;
    // In volts or amperes. Infinite (with its sign) when beyond a double's range.
    double value = 0;
};

// A decimal number ("5", "+5.0", "5e0", ".5", "5."), then the unit's suffix
// if any (V or MV for Volt, A or MA for Ampere, AH or MAH for AmpHour and so
// on), or MIN / MAX.
ScpiNumber parseScpiNumber(const QByteArray& text, ScpiUnit unit);
// ON, OFF, 1 or 0.
std::optional<bool> parseScpiBoolean(const QByteArray& text);
// The channel of "(@n)"; -1 when the text is not of that form.
int parseScpiChannelList(const QByteArray& text);

// The text of a quoted string ("a ""b""" or 'a'), quotes undoubled; nullopt
// when text is not one quoted string.
std::optional<QByteArray> parseScpiString(const QByteArray& text);

// Client bytes made fit to quote in an error: printable ASCII, shortened.
QString scpiEcho(const QByteArray& text);

}  // namespace lqs
