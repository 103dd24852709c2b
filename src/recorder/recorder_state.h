// The recorder's state: one record, kept by the recorder window and set from
// the choices its setup dialog returns.
#pragma once

#include "recorder/record_table.h"

#include <QColor>
#include <QDateTime>
#include <QString>

#include <array>
#include <optional>
#include <vector>

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

// What an accepted setup asks of the recorder.
struct SetupChoices {
    int RecordLengthMs = 0;
    int TimeSliceMs = 0;
    QString PointOperation;
    QColor Ch1Color, Ch2Color;  // each for both of its channel's curves
    // Each channel's charge and energy in every line, from the next Start on.
    bool RecordCounters = false;
};

// A trip of the output's guard as the plot marks it: where it fell among the
// samples (the sample number before it plus the part of a slice since), and
// what the tip over the mark says.
struct TripMark {
    double at = 0;
    QString text;
};

// A sequence's step starting, or its end, as the plot marks it: where, the
// short label at the top of the mark, and the tip.
struct StepMark {
    double at = 0;
    QString label;
    QString text;
};

// What a click in the saved-record list does; its colour shows which.
enum class SavedListMode { None, Load, Delete };

struct RecorderState {
    int RecordLengthMs = 0;
    int TimeSliceMs = 0;
    QString PointOperation;
    bool RecordCounters = false;
    std::optional<RecordTable> Table;  // absent until the first Start
    int SampleNo = 0;
    int PointCount = 0;
    bool WindowFull = false;
    int SecondTicks = 0;
    // The plot's left edge once it scrolls: the time labels are written from
    // it, never read back.
    int ElapsedH = 0, ElapsedM = 0, ElapsedS = 0;
    int TotalD = 0, TotalH = 0, TotalM = 0, TotalS = 0;
    // The slice the plotted samples were taken at: a later setup does not
    // stretch them.
    int PlotSliceMs = 0;
    PlotSamples Points{};
    std::vector<TripMark> Trips;  // of the recording running or last run
    std::vector<StepMark> Steps;  // the same, those still on the plot
    SavedListMode SavedList = SavedListMode::None;
};

inline int elapsedSeconds(const RecorderState& s) {
    return (s.ElapsedH * 60 + s.ElapsedM) * 60 + s.ElapsedS;
}

}  // namespace lqs
