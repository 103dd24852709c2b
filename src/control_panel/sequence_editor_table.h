// The sequence editor's step table: its columns, the texts its cells show,
// and one row as typed. Shared by the editor's source files only.
#pragma once

#include "control_panel/sequence_editor.h"
#include "device_link/set_point_math.h"

#include <QLocale>
#include <QString>

#include <array>
#include <chrono>

namespace lqs {

using ms = std::chrono::milliseconds;

namespace sequence_table {

enum Column {
    ColCoupling,
    ColRecall,
    ColV1,
    ColA1,
    ColV2,
    ColA2,
    ColOutput,
    ColDwell,
    ColRamp,
    ColUntil,
    ColChannel,
    ColLevel,
    ColumnCount
};

inline constexpr const char* kHeads[ColumnCount] = {"Coupling", "Recall",    "Ch1 V",   "Ch1 A",
                                                    "Ch2 V",    "Ch2 A",     "Output",  "Dwell (s)",
                                                    "Ramp",     "Ends when", "Channel", "Level"};
inline constexpr int kValueColumns[4] = {ColV1, ColA1, ColV2, ColA2};

inline QString shortest(double v) {
    return QLocale::c().toString(v, 'g', QLocale::FloatingPointShortest);
}

inline QString valueText(int modelIndex, double v) {
    const QString t = FormatForModel(modelIndex, v);
    return t.isEmpty() ? QString::number(v, 'f', 2) : t;
}

}  // namespace sequence_table

struct SequenceEditor::RowText {
    int coupling = 0;
    int recall = 0;
    std::array<QString, 4> values;  // Ch1 V, Ch1 A, Ch2 V, Ch2 A
    int output = 0;
    QString dwell = QStringLiteral("1");
    bool ramp = false;
    int until = 0;
    int channel = 0;  // index: channel 1
    QString level;
};

}  // namespace lqs
