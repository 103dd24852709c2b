// The one table of the four set points: field, operation codes and command.
// The window's entry and the link's sender both read it.
#pragma once

#include "link_state.h"

#include <cstdint>

namespace lqs {

struct SetPointOp {
    int edit;             // Edit5 .. Edit8; 0 for a code that is not a set point
    std::uint8_t step;    // an arrow's code
    std::uint8_t enter;   // Enter's code
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
