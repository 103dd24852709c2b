// The sequence editor's plot: what the plan should give over time (its set
// points, ramps drawn as slopes), what a dry run predicts, and what the
// instrument reads while the plan runs, on one time axis from the run's
// start, with a marker where each step began.
#pragma once

#include "control_panel/dry_run.h"
#include "device_link/link_types.h"
#include "device_link/step_plan.h"

#include <QWidget>

#include <vector>

namespace lqs {

// One line of the plot: a channel's voltage, current or power.
enum class PlotQuantity : std::uint8_t { Volts, Amps, Watts };

struct PlotPoint {
    double seconds = 0;
    double value = 0;
};

// The set point a plan gives over one pass (more when `passes` > 1), held
// and ramped as the runner sends it: a step at each start, a ramp as a
// straight line over its dwell. Blanks keep what `start` or the step before
// held; a quantity nothing gives has no points.
std::vector<PlotPoint> expectedCurve(const StepPlan& plan, const HeldValues& start, int channel,
                                     PlotQuantity q, int passes = 1);

class SequencePlot : public QWidget {
    Q_OBJECT
public:
    explicit SequencePlot(QWidget* parent = nullptr);

    // The plan's expected set points; replaces the ones before.
    void setExpected(const StepPlan& plan, const HeldValues& start);
    // A dry run's predicted readings, step starts and violated steps.
    void setPredicted(const DryRunResult& result);
    void clearPredicted();
    // A run begins: the measured lines and step markers start again.
    void startMeasured();
    void addMeasured(double seconds, int channel, Quantity q, double value);
    void markStep(double seconds, int step);  // step counts from 1

    QSize sizeHint() const override;
};

}  // namespace lqs
