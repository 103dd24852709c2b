// What the program knows of the instrument's command set, in one place: the
// query sequences, which field each query's reply fills, the command of each
// operation code, and the four set points.
#pragma once

#include "device_link/link_state.h"
#include "device_link/link_types.h"

#include <QLatin1String>
#include <QString>

#include <cstdint>

namespace lqs {

inline constexpr const char* kFullQuery[] = {"*IDN?",  "VSET1?", "VSET2?", "ISET1?", "ISET2?",
                                             "VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "STATUS?"};
inline constexpr const char* kPollQueries[] = {"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "VSET1?",
                                               "VSET2?", "ISET1?", "ISET2?", "STATUS?"};
inline constexpr const char* kRecallQueries[] = {"VSET1?", "VSET2?", "ISET1?", "ISET2?", "VOUT1?",
                                                 "IOUT1?", "VOUT2?", "IOUT2?", "STATUS?"};

// Replies longer than any number or status line are refused.
inline constexpr int kLongestReply = 64;

// The main-window field (Edit1 .. Edit8) a query's reply fills; 0 for none.
struct QueryField {
    const char* query;
    int edit;
};
inline constexpr QueryField kQueryFields[] = {{"VOUT1?", 1}, {"IOUT1?", 2}, {"VOUT2?", 3},
                                              {"IOUT2?", 4}, {"VSET1?", 5}, {"ISET1?", 6},
                                              {"VSET2?", 7}, {"ISET2?", 8}};

// The field of a channel's set point: 5 .. 8.
inline int setPointField(int channel, Quantity q) {
    return (channel == 2 ? 7 : 5) + (q == Quantity::Current ? 1 : 0);
}

inline int fieldOfQuery(const QString& query) {
    for (const QueryField& row : kQueryFields)
        if (query == QLatin1String(row.query)) return row.edit;
    return 0;
}

inline QString queryOfField(int edit) {
    for (const QueryField& row : kQueryFields)
        if (row.edit == edit) return QString::fromLatin1(row.query);
    return QString();
}

// The fixed command of an operation code; empty for codes whose commands
// carry a value or come from a sequence.
inline QString commandOfCode(std::uint8_t code) {
    switch (code) {
        case Op::CouplingIndep:
            return QStringLiteral("TRACK0");
        case Op::CouplingParall:
            return QStringLiteral("TRACK2");
        case Op::CouplingTrack:
            return QStringLiteral("TRACK1");
        case Op::OutputOn:
            return QStringLiteral("OUT1");
        case Op::OutputOff:
            return QStringLiteral("OUT0");
        case Op::BeepOn:
            return QStringLiteral("BEEP1:");
        case Op::BeepOff:
            return QStringLiteral("BEEP0:");
        default:
            return QString();
    }
}

// A command that the instrument answers.
inline bool isQuery(const QString& command) {
    return command.endsWith(QLatin1Char('?'));
}

struct SetPointOp {
    int edit;            // Edit5 .. Edit8; 0 for a code that is not a set point
    std::uint8_t step;   // an arrow's code
    std::uint8_t enter;  // Enter's code
    bool voltage;
    const char* command;  // followed by the number
};

inline constexpr SetPointOp kSetPointOps[] = {
    {5, Op::StepVset1, Op::EnterVset1, true, "VSET1:"},
    {6, Op::StepIset1, Op::EnterIset1, false, "ISET1:"},
    {7, Op::StepVset2, Op::EnterVset2, true, "VSET2:"},
    {8, Op::StepIset2, Op::EnterIset2, false, "ISET2:"},
};

// The set point an operation code changes; edit 0 when it changes none.
constexpr SetPointOp setPointOfCode(int code) {
    for (const SetPointOp& op : kSetPointOps)
        if (op.step == code || op.enter == code) return op;
    return {0, Op::None, Op::None, false, nullptr};
}

// The set point of a field 5 .. 8; edit 0 for any other field.
constexpr SetPointOp setPointOfField(int edit) {
    for (const SetPointOp& op : kSetPointOps)
        if (op.edit == edit) return op;
    return {0, Op::None, Op::None, false, nullptr};
}

}  // namespace lqs
