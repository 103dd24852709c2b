// The recorder's state: one record, shared by the recorder window and its
// setup dialog.
#pragma once

#include "recorder/record_table.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <optional>

namespace lqs {

// A sample as the plot keeps it: its readings, not pixels, so that every
// scale, span and repaint draws it from the same numbers.
struct PlotSample {
    QDateTime when;
    std::array<double, 4> values{};  // CH1 V, CH1 A, CH2 V, CH2 A
};

constexpr int kMaxPoints = 601;
// Numbered 1 to 601 as the plot counts them; entry 0 is unused.
using PlotSamples = std::array<PlotSample, kMaxPoints + 1>;

struct RecorderState {
    int RecordLengthMs = 0;
    int TimeSliceMs = 0;
    QString PointOperation;
    std::optional<RecordTable> Table;  // absent until the first Start
    int SampleNo = 0;
    int PointCount = 0;
    bool WindowFull = false;
    int SecondTicks = 0;
    int ElapsedH = 0, ElapsedM = 0, ElapsedS = 0;
    int TotalD = 0, TotalH = 0, TotalM = 0, TotalS = 0;
    // The slice the plotted samples were taken at: a later setup does not
    // stretch them.
    int PlotSliceMs = 0;
    PlotSamples Points{};
};

}  // namespace lqs
