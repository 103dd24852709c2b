#include "remote/scpi_parser.h"

#include <QList>

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace lqs {

namespace {

// What a form of a command accepts. Absent: the form does not exist.
enum class Takes : std::uint8_t { Absent, Nothing, Parameter, OptionalParameter };

struct Pattern {
    ScpiCommand command;
    const char* header;  // nodes separated by ":", optional ones in brackets
    Takes set;
    Takes query;
};

constexpr Pattern kPatterns[] = {
    {ScpiCommand::Identify, "*IDN", Takes::Absent, Takes::Nothing},
    {ScpiCommand::ClearStatus, "*CLS", Takes::Nothing, Takes::Absent},
    {ScpiCommand::OperationComplete, "*OPC", Takes::Nothing, Takes::Nothing},
    {ScpiCommand::Wait, "*WAI", Takes::Nothing, Takes::Absent},
    {ScpiCommand::Reset, "*RST", Takes::Nothing, Takes::Absent},
    {ScpiCommand::EventStatus, "*ESR", Takes::Absent, Takes::Nothing},
    {ScpiCommand::EventEnable, "*ESE", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::StatusByte, "*STB", Takes::Absent, Takes::Nothing},
    {ScpiCommand::Save, "*SAV", Takes::Parameter, Takes::Absent},
    {ScpiCommand::Recall, "*RCL", Takes::Parameter, Takes::Absent},
    {ScpiCommand::SystemError, "SYSTem:ERRor:[NEXT]", Takes::Absent, Takes::Nothing},
    {ScpiCommand::SystemLink, "SYSTem:LINK", Takes::Nothing, Takes::Nothing},
    {ScpiCommand::SystemModel, "SYSTem:MODel", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::InstrumentSelect, "INSTrument:[SELect]", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::InstrumentNumber, "INSTrument:NSELect", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::Voltage, "[SOURce]:VOLTage:[LEVel]:[IMMediate]:[AMPLitude]", Takes::Parameter,
     Takes::OptionalParameter},
    {ScpiCommand::Current, "[SOURce]:CURRent:[LEVel]:[IMMediate]:[AMPLitude]", Takes::Parameter,
     Takes::OptionalParameter},
    {ScpiCommand::MeasureVoltage, "MEASure:[SCALar]:VOLTage:[DC]", Takes::Absent,
     Takes::OptionalParameter},
    {ScpiCommand::MeasureCurrent, "MEASure:[SCALar]:CURRent:[DC]", Takes::Absent,
     Takes::OptionalParameter},
    {ScpiCommand::Output, "OUTPut:[STATe]", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::OutputPair, "OUTPut:PAIR", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::VoltageFloor, "[SOURce]:VOLTage:PROTection:LOW:[LEVel]", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::VoltageFloorState, "[SOURce]:VOLTage:PROTection:LOW:STATe", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::VoltageFloorDelay, "[SOURce]:VOLTage:PROTection:LOW:DELay", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::VoltageProtection, "[SOURce]:VOLTage:PROTection:[LEVel]", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::VoltageProtectionState, "[SOURce]:VOLTage:PROTection:STATe", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::VoltageProtectionDelay, "[SOURce]:VOLTage:PROTection:DELay", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::CurrentProtection, "[SOURce]:CURRent:PROTection:[LEVel]", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::CurrentProtectionState, "[SOURce]:CURRent:PROTection:STATe", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::CurrentProtectionDelay, "[SOURce]:CURRent:PROTection:DELay", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::CurrentProtectionCc, "[SOURce]:CURRent:PROTection:CC", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::PowerProtection, "[SOURce]:POWer:PROTection:[LEVel]", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::PowerProtectionState, "[SOURce]:POWer:PROTection:STATe", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::PowerProtectionDelay, "[SOURce]:POWer:PROTection:DELay", Takes::Parameter,
     Takes::Nothing},
    {ScpiCommand::ProtectionTripped, "OUTPut:PROTection:TRIPped", Takes::Absent, Takes::Nothing},
    {ScpiCommand::ProtectionClear, "OUTPut:PROTection:CLEar", Takes::Nothing, Takes::Absent},
    {ScpiCommand::MeasurePower, "MEASure:[SCALar]:POWer:[DC]", Takes::Absent,
     Takes::OptionalParameter},
    {ScpiCommand::MeasureCharge, "MEASure:[SCALar]:CHARge", Takes::Absent,
     Takes::OptionalParameter},
    {ScpiCommand::MeasureEnergy, "MEASure:[SCALar]:ENERgy", Takes::Absent,
     Takes::OptionalParameter},
    {ScpiCommand::AccumulateClear, "[SENSe]:ACCumulate:CLEar", Takes::Nothing, Takes::Absent},
    {ScpiCommand::ChargeProtection, "[SENSe]:ACCumulate:CHARge:PROTection:[LEVel]",
     Takes::Parameter, Takes::Nothing},
    {ScpiCommand::ChargeProtectionState, "[SENSe]:ACCumulate:CHARge:PROTection:STATe",
     Takes::Parameter, Takes::Nothing},
    {ScpiCommand::ChargeProtectionDelay, "[SENSe]:ACCumulate:CHARge:PROTection:DELay",
     Takes::Parameter, Takes::Nothing},
    {ScpiCommand::EnergyProtection, "[SENSe]:ACCumulate:ENERgy:PROTection:[LEVel]",
     Takes::Parameter, Takes::Nothing},
    {ScpiCommand::EnergyProtectionState, "[SENSe]:ACCumulate:ENERgy:PROTection:STATe",
     Takes::Parameter, Takes::Nothing},
    {ScpiCommand::EnergyProtectionDelay, "[SENSe]:ACCumulate:ENERgy:PROTection:DELay",
     Takes::Parameter, Takes::Nothing},
    {ScpiCommand::ListVoltage, "[SOURce]:LIST:VOLTage:[LEVel]", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::ListCurrent, "[SOURce]:LIST:CURRent:[LEVel]", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::ListDwell, "[SOURce]:LIST:DWELl", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::ListCount, "[SOURce]:LIST:COUNt", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::ListTerminate, "[SOURce]:LIST:TERMinate", Takes::Parameter, Takes::Nothing},
    {ScpiCommand::ListRun, "[SOURce]:LIST:RUN", Takes::Nothing, Takes::Absent},
    {ScpiCommand::ListStop, "[SOURce]:LIST:STOP", Takes::Nothing, Takes::Absent},
    {ScpiCommand::ListState, "[SOURce]:LIST:STATe", Takes::Absent, Takes::Nothing},
    {ScpiCommand::ListSave, "[SOURce]:LIST:SAVE", Takes::Parameter, Takes::Absent},
    {ScpiCommand::ListLoad, "[SOURce]:LIST:LOAD", Takes::Parameter, Takes::Absent},
};

struct Node {
    QByteArray mnemonic;
    bool optional;
};

std::vector<Node> nodesOf(const char* header) {
    std::vector<Node> nodes;
    for (const QByteArray& node : QByteArray(header).split(':')) {
        const bool optional = node.startsWith('[');
        nodes.push_back({optional ? node.mid(1, node.size() - 2) : node, optional});
    }
    return nodes;
}

bool matches(const std::vector<QByteArray>& words, std::size_t w, const std::vector<Node>& nodes,
             std::size_t n) {
    if (n == nodes.size()) return w == words.size();
    if (nodes[n].optional && matches(words, w, nodes, n + 1)) return true;
    return w < words.size() && scpiWordMatches(words[w], nodes[n].mnemonic.constData()) &&
           matches(words, w + 1, nodes, n + 1);
}

const Pattern* findPattern(const std::vector<QByteArray>& words) {
    static const std::vector<std::vector<Node>> nodes = [] {
        std::vector<std::vector<Node>> all;
        for (const Pattern& p : kPatterns) all.push_back(nodesOf(p.header));
        return all;
    }();
    for (std::size_t i = 0; i < nodes.size(); ++i)
        if (matches(words, 0, nodes[i], 0)) return &kPatterns[i];
    return nullptr;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}
bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

QByteArray trimmed(const QByteArray& text) {
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && isSpace(text.at(from))) ++from;
    while (to > from && isSpace(text.at(to - 1))) --to;
    return text.mid(from, to - from);
}

bool equalsUpper(const QByteArray& word, const QByteArray& mnemonic) {
    if (word.size() != mnemonic.size()) return false;
    for (qsizetype i = 0; i < word.size(); ++i)
        if (upper(word.at(i)) != upper(mnemonic.at(i))) return false;
    return true;
}

ScpiCall failed(int error, const QString& detail) {
    ScpiCall call;
    call.error = error;
    call.detail = detail;
    return call;
}

// The mnemonics of a header without its "?", or nothing with the reason in call.
bool splitHeader(const QByteArray& header, std::vector<QByteArray>& words, ScpiCall& call) {
    for (char c : header) {
        if (!isLetter(c) && !isDigit(c) && c != '_' && c != ':' && c != '*' && c != '?') {
            call = failed(ScpiError::Command, QStringLiteral("invalid character in the header"));
            return false;
        }
    }
    QByteArray body = header;
    if (body.endsWith('?')) body.chop(1);
    bool wellFormed = !body.contains('?');
    if (body.startsWith('*')) {
        // A common command is one word: "*" and letters.
        wellFormed =
            wellFormed && body.size() > 1 && body.indexOf('*', 1) < 0 && !body.contains(':');
        for (qsizetype i = 1; wellFormed && i < body.size(); ++i) wellFormed = isLetter(body.at(i));
        words = {body};
    } else {
        if (body.startsWith(':')) body.remove(0, 1);
        wellFormed = wellFormed && !body.contains('*');
        words.clear();
        for (const QByteArray& word : body.split(':')) {
            if (word.isEmpty() || !isLetter(word.at(0))) wellFormed = false;
            words.push_back(word);
        }
    }
    if (!wellFormed) {
        call =
            failed(ScpiError::Command, QStringLiteral("malformed header %1").arg(scpiEcho(header)));
        return false;
    }
    return true;
}

ScpiCall parseCommand(const QByteArray& text) {
    qsizetype end = 0;
    while (end < text.size() && !isSpace(text.at(end))) ++end;
    const QByteArray header = text.left(end);
    const QByteArray parameter = trimmed(text.mid(end));

    ScpiCall call;
    std::vector<QByteArray> words;
    if (!splitHeader(header, words, call)) return call;
    call.query = header.endsWith('?');
    const Pattern* pattern = findPattern(words);
    const Takes takes = pattern ? (call.query ? pattern->query : pattern->set) : Takes::Absent;
    if (takes == Takes::Absent) return failed(ScpiError::UndefinedHeader, scpiEcho(header));
    call.command = pattern->command;
    if (takes == Takes::Nothing && !parameter.isEmpty())
        return failed(ScpiError::Command,
                      QStringLiteral("%1 takes no parameter").arg(scpiEcho(header)));
    if (takes == Takes::Parameter && parameter.isEmpty())
        return failed(ScpiError::Command,
                      QStringLiteral("%1 needs a parameter").arg(scpiEcho(header)));
    call.parameter = parameter;
    return call;
}

}  // namespace

QString scpiErrorText(int code) {
    switch (code) {
        case ScpiError::None:
            return QStringLiteral("No error");
        case ScpiError::Command:
            return QStringLiteral("Command error");
        case ScpiError::UndefinedHeader:
            return QStringLiteral("Undefined header");
        case ScpiError::Execution:
            return QStringLiteral("Execution error");
        case ScpiError::SettingsConflict:
            return QStringLiteral("Settings conflict");
        case ScpiError::DataOutOfRange:
            return QStringLiteral("Data out of range");
        case ScpiError::IllegalValue:
            return QStringLiteral("Illegal parameter value");
        case ScpiError::QueueOverflow:
            return QStringLiteral("Queue overflow");
        case ScpiError::MassStorage:
            return QStringLiteral("Mass storage error");
        case ScpiError::FileNameNotFound:
            return QStringLiteral("File name not found");
        case ScpiError::FileNameError:
            return QStringLiteral("File name error");
        default:
            return QString();
    }
}

std::vector<ScpiCall> parseScpiLine(const QByteArray& line) {
    std::vector<ScpiCall> calls;
    const auto take = [&](const QByteArray& command) {
        const QByteArray text = trimmed(command);
        if (!text.isEmpty()) calls.push_back(parseCommand(text));
    };
    char quote = 0;  // the quote of the string under way
    qsizetype from = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line.at(i);
        if (quote) {
            // A doubled quote closes and reopens: the same for the split.
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';') {
            take(line.mid(from, i - from));
            from = i + 1;
        }
    }
    take(line.mid(from));
    return calls;
}

std::optional<QByteArray> parseScpiString(const QByteArray& text) {
    if (text.size() < 2) return std::nullopt;
    const char quote = text.at(0);
    if ((quote != '"' && quote != '\'') || text.back() != quote) return std::nullopt;
    QByteArray out;
    for (qsizetype i = 1; i < text.size() - 1; ++i) {
        const char c = text.at(i);
        if (c == quote) {
            if (i + 1 >= text.size() - 1 || text.at(i + 1) != quote) return std::nullopt;
            ++i;
        }
        out += c;
    }
    return out;
}

bool scpiWordMatches(const QByteArray& word, const char* mnemonic) {
    const QByteArray full(mnemonic);
    qsizetype shortLength = 0;
    while (shortLength < full.size() &&
           !(full.at(shortLength) >= 'a' && full.at(shortLength) <= 'z'))
        ++shortLength;
    return equalsUpper(word, full) || equalsUpper(word, full.left(shortLength));
}

ScpiNumber parseScpiNumber(const QByteArray& text, ScpiUnit unit) {
    ScpiNumber number;
    if (scpiWordMatches(text, "MINimum")) {
        number.kind = ScpiNumber::Kind::Minimum;
        return number;
    }
    if (scpiWordMatches(text, "MAXimum")) {
        number.kind = ScpiNumber::Kind::Maximum;
        return number;
    }

    // Sign, mantissa with at least one digit, exponent: 488.2's decimal numeric data.
    qsizetype i = 0;
    const qsizetype size = text.size();
    if (i < size && (text.at(i) == '+' || text.at(i) == '-')) ++i;
    int digits = 0;
    while (i < size && isDigit(text.at(i))) ++i, ++digits;
    if (i < size && text.at(i) == '.') ++i;
    while (i < size && isDigit(text.at(i))) ++i, ++digits;
    if (digits == 0) return number;
    if (i < size && (text.at(i) == 'e' || text.at(i) == 'E')) {
        ++i;
        if (i < size && (text.at(i) == '+' || text.at(i) == '-')) ++i;
        int exponentDigits = 0;
        while (i < size && isDigit(text.at(i))) ++i, ++exponentDigits;
        if (exponentDigits == 0) return number;
    }
    const qsizetype numberEnd = i;
    while (i < size && isSpace(text.at(i))) ++i;
    const QByteArray suffix = text.mid(i);

    double scale = 1;
    if (!suffix.isEmpty()) {
        const char* base = unit == ScpiUnit::Volt       ? "V"
                           : unit == ScpiUnit::Ampere   ? "A"
                           : unit == ScpiUnit::Watt     ? "W"
                           : unit == ScpiUnit::Second   ? "S"
                           : unit == ScpiUnit::AmpHour  ? "AH"
                           : unit == ScpiUnit::WattHour ? "WH"
                                                        : nullptr;
        if (!base) return number;
        if (equalsUpper(suffix, QByteArray(base)))
            scale = 1;
        else if (equalsUpper(suffix, QByteArray("M") + base))
            scale = 1000;  // divided by, so "3200 mA" is exactly 3.2
        else
            return number;
    }

    // from_chars, unlike strtod, ignores the process locale; it takes no "+".
    const char* first = text.constData() + (text.at(0) == '+' ? 1 : 0);
    const char* last = text.constData() + numberEnd;
    double value = 0;
    const auto result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range)
        value = text.at(0) == '-' ? -std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::infinity();
    else if (result.ec != std::errc() || result.ptr != last)
        return number;
    number.kind = ScpiNumber::Kind::Value;
    number.value = value / scale;
    return number;
}

std::optional<bool> parseScpiBoolean(const QByteArray& text) {
    if (equalsUpper(text, "ON") || text == "1") return true;
    if (equalsUpper(text, "OFF") || text == "0") return false;
    return std::nullopt;
}

int parseScpiChannelList(const QByteArray& text) {
    if (!text.startsWith("(@") || !text.endsWith(')')) return -1;
    const QByteArray inner = trimmed(text.mid(2, text.size() - 3));
    if (inner.isEmpty() || inner.size() > 9) return -1;
    for (char c : inner)
        if (!isDigit(c)) return -1;
    return inner.toInt();
}

QString scpiEcho(const QByteArray& text) {
    constexpr qsizetype kLongest = 40;
    QString echo;
    for (qsizetype i = 0; i < text.size() && i < kLongest; ++i) {
        const char c = text.at(i);
        echo += QLatin1Char(c >= 0x20 && c < 0x7f ? c : '?');
    }
    if (text.size() > kLongest) echo += QStringLiteral("...");
    return echo;
}

}  // namespace lqs
