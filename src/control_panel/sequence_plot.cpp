#include "control_panel/sequence_plot.h"

namespace lqs {

std::vector<PlotPoint> expectedCurve(const StepPlan&, const HeldValues&, int, PlotQuantity, int) {
    return {};
}

SequencePlot::SequencePlot(QWidget* parent) : QWidget(parent) {}
void SequencePlot::setExpected(const StepPlan&, const HeldValues&) {}
void SequencePlot::setPredicted(const DryRunResult&) {}
void SequencePlot::clearPredicted() {}
void SequencePlot::startMeasured() {}
void SequencePlot::addMeasured(double, int, Quantity, double) {}
void SequencePlot::markStep(double, int) {}
QSize SequencePlot::sizeHint() const { return {480, 240}; }

}  // namespace lqs
