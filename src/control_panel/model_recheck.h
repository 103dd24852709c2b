// A model chosen while linked: the set-point fields keep what the instrument
// holds, each in the new model's format; a value the new model could not take
// is named, and never sent.
#pragma once

#include <QString>

#include <array>

namespace lqs {

struct FieldRecheck {
    bool number = false;  // false: the field is left as it is
    QString text;         // in the new model's format
    QString note;         // why the value is not sent, or empty
};

// Fields in the window's order: CH1 V, CH1 A, CH2 V, CH2 A.
std::array<FieldRecheck, 4> recheckForModel(int model, const std::array<QString, 4>& fields);

}  // namespace lqs
