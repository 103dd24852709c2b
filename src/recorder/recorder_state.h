// The recorder's state: one record, shared by the recorder window and its
// setup dialog.
#pragma once

#include "record_table.h"

#include <QString>

#include <array>
#include <optional>

namespace lqs {

struct PlotPoint {
    int x = 0;
    int y = 0;
};

constexpr int kMaxPoints = 601;
// Numbered 1 to 601 as the plot counts them; entry 0 is unused.
using PointArray = std::array<PlotPoint, kMaxPoints + 1>;

struct RecorderState {
    int RecordLengthMs = 0;
    int TimeSliceMs = 0;
    QString PointOperation;
    std::optional<RecordTable> Table;  // absent until the first Start
    int SampleNo = 0;
    int PointCount = 0;
    int CurrentX = 0;
    bool WindowFull = false;
    int SecondTicks = 0;
    int ElapsedH = 0, ElapsedM = 0, ElapsedS = 0;
    int TotalD = 0, TotalH = 0, TotalM = 0, TotalS = 0;
    PointArray PointsCh1V{}, PointsCh1A{}, PointsCh2V{}, PointsCh2A{};
};

}  // namespace lqs
