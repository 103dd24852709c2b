// The sequence editor's plot: what the plan should give over time (its set
// points, ramps drawn as slopes), what a dry run predicts, and what the
// instrument reads while the plan runs, on one time axis from the run's
// start, with a marker where each step began.
#pragma once

#include "control_panel/dry_run.h"
#include "device_link/link_types.h"
#include "device_link/step_plan.h"

#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

class QCheckBox;
class QLabel;

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
// held; a quantity nothing gives has no points. After a step recalls a
// memory the values are unknown until a step gives them: a point with a NaN
// value marks that gap.
std::vector<PlotPoint> expectedCurve(const StepPlan& plan, const HeldValues& start, int channel,
                                     PlotQuantity q, int passes = 1);

// What `columns` pixel columns across [t0, t1] can show of a time-ordered
// line: per column its first, lowest, highest and last point in their own
// order, so a one-sample spike survives. A non-finite value is kept as one
// gap point; a point at a non-finite time is dropped.
std::vector<PlotPoint> decimateForPixels(const std::vector<PlotPoint>& line, double t0, double t1,
                                         int columns);

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
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    enum Kind : std::uint8_t { Expected, Predicted, Measured };
    static constexpr int kKinds = 3;
    static constexpr int kQuantities = 3;

    // One drawn line with its extent, and what was last drawn of it.
    struct Series {
        std::vector<PlotPoint> points;
        double tMin = 0, tMax = 0, vMin = 0, vMax = 0;
        bool hasTime = false, hasValue = false;
        std::uint64_t version = 0;
        // The decimated copy for the geometry it was made for.
        std::vector<PlotPoint> drawn;
        std::uint64_t drawnVersion = ~std::uint64_t(0);
        int drawnColumns = -1;
        double drawnT0 = 0, drawnT1 = 0;

        void clear();
        void add(PlotPoint p);
        void assign(std::vector<PlotPoint> p);
        const std::vector<PlotPoint>& decimated(double t0, double t1, int columns);
    };
    struct StepSpan {
        double from, to;
        int step;  // from 1
    };
    struct Pane {
        PlotQuantity q;
        QRect rect;
        double lo, hi, tick;
    };
    struct Frame {
        QRect area;  // all panes and the gaps between them
        std::vector<Pane> panes;
        double t0 = 0, t1 = 1;
    };

    Series& series(Kind k, int channel, PlotQuantity q);
    Frame frame() const;
    void scheduleRepaint();
    void refresh();
    void appendMeasured(int channel, PlotQuantity q, PlotPoint p);
    void drawPane(QPainter& p, const Pane& pane);
    void drawLines(QPainter& p, const Frame& f, const Pane& pane);
    void drawTimeAxis(QPainter& p, const Frame& f);
    void drawMarkers(QPainter& p, const Frame& f);
    void drawLegend(QPainter& p, const Frame& f);
    QString readoutAt(QPoint pos);

    std::array<Series, std::size_t(kKinds * 2 * kQuantities)> m_series;
    std::vector<StepSpan> m_steps;                    // the plan's steps over the passes drawn
    std::vector<double> m_predictedStarts;            // faint: where the dry run began each step
    std::vector<int> m_violated;                      // steps the dry run's check refused
    std::vector<std::pair<double, int>> m_marks;      // seconds, step
    std::array<std::array<double, 2>, 2> m_newest{};  // per channel: V, A; NaN until read
    std::array<QCheckBox*, kQuantities> m_showQuantity{};
    std::array<QCheckBox*, 2> m_showChannel{};
    QLabel* m_readout = nullptr;
    std::optional<QPoint> m_hover;
    QTimer m_repaint;
};

}  // namespace lqs
