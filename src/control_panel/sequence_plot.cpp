#include "control_panel/sequence_plot.h"

#include "control_panel/sequence_plot_scale.h"
#include "recorder/plot_math.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace lqs {

using namespace sequence_scale;

namespace {

using ms = std::chrono::milliseconds;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A plan repeated many times is drawn for at most this many steps in all.
constexpr long long kMostStepsDrawn = 50000;
// A measured line compacts itself to the screen's grain beyond this many points.
constexpr std::size_t kMostMeasured = 1 << 17;
constexpr int kCompactColumns = 8192;
constexpr int kRepaintMs = 50;
constexpr int kPaneGap = 6;
constexpr double kFarthest = 1e12;
// A ramp of both voltage and current gives a curved power line: drawn in pieces.
constexpr int kPowerRampPieces = 8;

double secondsOf(ms t) {
    return double(t.count()) / 1000.0;
}

std::optional<double> valueOf(const ChannelTarget& t, PlotQuantity q) {
    switch (q) {
        case PlotQuantity::Volts:
            return t.volts;
        case PlotQuantity::Amps:
            return t.amps;
        case PlotQuantity::Watts:
            if (t.volts && t.amps) return *t.volts * *t.amps;
            return std::nullopt;
    }
    return std::nullopt;
}

bool plansQuantity(const StepPlan& plan, std::size_t c, PlotQuantity q) {
    return std::any_of(plan.steps.begin(), plan.steps.end(), [&](const PlanStep& s) {
        const ChannelTarget& t = s.channels[c];
        return q == PlotQuantity::Volts  ? bool(t.volts)
               : q == PlotQuantity::Amps ? bool(t.amps)
                                         : t.volts || t.amps;
    });
}

// Adds a point, merging a flat hold over several steps into its two ends.
void addPoint(std::vector<PlotPoint>& out, double t, double v) {
    const std::size_t n = out.size();
    if (n >= 1 && out[n - 1].seconds == t && out[n - 1].value == v) return;
    if (n >= 2 && out[n - 1].value == v && out[n - 2].value == v) {
        out[n - 1].seconds = t;
        return;
    }
    out.push_back({t, v});
}

}  // namespace

std::vector<PlotPoint> expectedCurve(const StepPlan& plan, const HeldValues& start, int channel,
                                     PlotQuantity q, int passes) {
    std::vector<PlotPoint> out;
    if (channel != 1 && channel != 2) return out;
    const std::size_t c = std::size_t(channel - 1);
    if (!plansQuantity(plan, c, q)) return out;
    ChannelTarget held = start[c];
    ms at{0};  // each step's deadline, as stepDeadline adds them up
    for (int pass = 0; pass < std::max(passes, 1); ++pass)
        for (const PlanStep& s : plan.steps) {
            const double t0 = secondsOf(at);
            at += s.dwell;
            const double t1 = secondsOf(at);
            if (s.recall) held = {};  // the memory's values: unknown until the run reads them
            // What each set point is as the step begins and as its dwell ends:
            // a ramp starts from what was held, when anything was.
            ChannelTarget begin = held, end = held;
            if (s.channels[c].volts) {
                end.volts = s.channels[c].volts;
                begin.volts = s.ramp && held.volts ? held.volts : end.volts;
            }
            if (s.channels[c].amps) {
                end.amps = s.channels[c].amps;
                begin.amps = s.ramp && held.amps ? held.amps : end.amps;
            }
            held = end;
            const std::optional<double> from = valueOf(begin, q), to = valueOf(end, q);
            if (!from || !to) {
                // Unknown after being known: a gap, not a line across it.
                if (!out.empty() && !std::isnan(out.back().value)) out.push_back({t0, kNaN});
                continue;
            }
            addPoint(out, t0, *from);
            if (q == PlotQuantity::Watts && begin.volts != end.volts && begin.amps != end.amps) {
                for (int k = 1; k < kPowerRampPieces; ++k) {
                    const double f = double(k) / kPowerRampPieces;
                    addPoint(out, t0 + (t1 - t0) * f,
                             (*begin.volts + (*end.volts - *begin.volts) * f) *
                                 (*begin.amps + (*end.amps - *begin.amps) * f));
                }
            }
            addPoint(out, t1, *to);
        }
    return out;
}

std::vector<PlotPoint> decimateForPixels(const std::vector<PlotPoint>& line, double t0, double t1,
                                         int columns) {
    std::vector<PlotPoint> out;
    if (columns < 1) columns = 1;
    const double span = t1 - t0;
    const bool spread = std::isfinite(span) && span > 0 && std::isfinite(t0);
    const auto columnOf = [&](double t) {
        if (!spread) return 0;
        return int(std::clamp(std::floor((t - t0) / span * columns), 0.0, double(columns - 1)));
    };
    // The column being gathered: indices of its first, lowest, highest and last point.
    int column = -1;
    std::size_t first = 0, low = 0, high = 0, last = 0;
    const auto flush = [&] {
        if (column < 0) return;
        std::size_t keep[4] = {first, low, high, last};
        std::sort(keep, keep + 4);
        for (std::size_t i = 0; i < 4; ++i)
            if (i == 0 || keep[i] != keep[i - 1]) out.push_back(line[keep[i]]);
        column = -1;
    };
    bool inGap = false;
    int gapColumn = -1;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const PlotPoint& p = line[i];
        if (!std::isfinite(p.seconds)) continue;
        if (!std::isfinite(p.value)) {
            // One gap per run and per column: readings broken often stay bounded.
            const int col = columnOf(p.seconds);
            if (inGap || col == gapColumn) continue;
            flush();
            out.push_back({p.seconds, kNaN});
            inGap = true;
            gapColumn = col;
            continue;
        }
        inGap = false;
        const int col = columnOf(p.seconds);
        if (col != column) {
            flush();
            column = col;
            first = low = high = last = i;
            continue;
        }
        last = i;
        if (p.value < line[low].value) low = i;
        if (p.value > line[high].value) high = i;
    }
    flush();
    return out;
}

// ---- the series ----

void SequencePlot::Series::clear() {
    assign({});
}

void SequencePlot::Series::add(PlotPoint p) {
    if (!std::isfinite(p.seconds)) return;
    points.push_back(p);
    tMin = hasTime ? std::min(tMin, p.seconds) : p.seconds;
    tMax = hasTime ? std::max(tMax, p.seconds) : p.seconds;
    hasTime = true;
    if (std::isfinite(p.value)) {
        vMin = hasValue ? std::min(vMin, p.value) : p.value;
        vMax = hasValue ? std::max(vMax, p.value) : p.value;
        hasValue = true;
    }
    ++version;
}

void SequencePlot::Series::assign(std::vector<PlotPoint> p) {
    points.clear();
    hasTime = hasValue = false;
    points.reserve(p.size());
    for (const PlotPoint& x : p) add(x);
    ++version;
}

const std::vector<PlotPoint>& SequencePlot::Series::decimated(double t0, double t1, int columns) {
    if (drawnVersion != version || drawnColumns != columns || drawnT0 != t0 || drawnT1 != t1) {
        drawn = decimateForPixels(points, t0, t1, columns);
        drawnVersion = version;
        drawnColumns = columns;
        drawnT0 = t0;
        drawnT1 = t1;
    }
    return drawn;
}

// ---- the widget ----

SequencePlot::SequencePlot(QWidget* parent) : QWidget(parent) {
    for (auto& c : m_newest) c = {kNaN, kNaN};
    setMouseTracking(true);
    setAutoFillBackground(true);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(0, 0, 0, 0);
    bar->setSpacing(8);
    const char* names[] = {"showVolts", "showAmps", "showWatts"};
    const QString tips[] = {tr("Show the voltages"), tr("Show the currents"),
                            tr("Show the power: voltage times current")};
    for (int i = 0; i < kQuantities; ++i) {
        auto* box = new QCheckBox(QString::fromLatin1(unitOf(PlotQuantity(i))), this);
        box->setObjectName(QString::fromLatin1(names[i]));
        box->setToolTip(tips[i]);
        box->setChecked(PlotQuantity(i) != PlotQuantity::Watts);
        connect(box, &QCheckBox::toggled, this, &SequencePlot::refresh);
        bar->addWidget(box);
        m_showQuantity[std::size_t(i)] = box;
    }
    bar->addSpacing(8);
    for (int c = 1; c <= 2; ++c) {
        auto* box = new QCheckBox(tr("Ch %1").arg(c), this);
        box->setObjectName(QStringLiteral("showChannel%1").arg(c));
        box->setToolTip(tr("Show channel %1").arg(c));
        QPixmap swatch(12, 12);
        swatch.fill(PlotColors::ButtonText);
        QPainter sp(&swatch);
        sp.fillRect(1, 5, 10, 3, channelColor(c));
        sp.end();
        box->setIcon(swatch);
        box->setChecked(true);
        connect(box, &QCheckBox::toggled, this, &SequencePlot::refresh);
        bar->addWidget(box);
        m_showChannel[std::size_t(c - 1)] = box;
    }
    m_readout = new QLabel(this);
    m_readout->setObjectName(QStringLiteral("readout"));
    m_readout->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Its text may be longer than the room left: cut, not widening the plot.
    m_readout->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    bar->addWidget(m_readout, 1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(4, 2, 4, 2);
    column->addLayout(bar);
    column->addStretch(1);

    m_repaint.setSingleShot(true);
    m_repaint.setInterval(kRepaintMs);
    connect(&m_repaint, &QTimer::timeout, this, &SequencePlot::refresh);
}

SequencePlot::Series& SequencePlot::series(Kind k, int channel, PlotQuantity q) {
    return m_series[std::size_t((int(k) * 2 + (channel - 1)) * kQuantities + int(q))];
}

void SequencePlot::setExpected(const StepPlan& plan, const HeldValues& start) {
    const long long steps = std::max<long long>(1, (long long)plan.steps.size());
    const int passes = int(std::clamp<long long>(plan.repeats <= 0 ? 1 : plan.repeats, 1,
                                                 std::max(1LL, kMostStepsDrawn / steps)));
    for (int c = 1; c <= 2; ++c)
        for (int q = 0; q < kQuantities; ++q)
            series(Expected, c, PlotQuantity(q))
                .assign(expectedCurve(plan, start, c, PlotQuantity(q), passes));
    m_steps.clear();
    ms at{0};
    for (int pass = 0; pass < passes; ++pass)
        for (std::size_t i = 0; i < plan.steps.size(); ++i) {
            const double from = secondsOf(at);
            at += plan.steps[i].dwell;
            m_steps.push_back({from, secondsOf(at), int(i) + 1});
        }
    refresh();
}

void SequencePlot::setPredicted(const DryRunResult& result) {
    std::array<std::array<std::vector<PlotPoint>, kQuantities>, 2> lines;
    for (const DrySample& s : result.samples) {
        if (s.channel != 1 && s.channel != 2) continue;
        auto& l = lines[std::size_t(s.channel - 1)];
        l[0].push_back({s.seconds, s.volts});
        l[1].push_back({s.seconds, s.amps});
        l[2].push_back({s.seconds, s.volts * s.amps});
    }
    for (int c = 1; c <= 2; ++c)
        for (int q = 0; q < kQuantities; ++q)
            series(Predicted, c, PlotQuantity(q))
                .assign(std::move(lines[std::size_t(c - 1)][std::size_t(q)]));
    m_predictedStarts = result.stepStarts;
    m_violated.clear();
    for (const PlanViolation& v : result.violations)
        if (v.step > 0) m_violated.push_back(v.step);
    refresh();
}

void SequencePlot::clearPredicted() {
    setPredicted(DryRunResult());
}

void SequencePlot::startMeasured() {
    for (int c = 1; c <= 2; ++c)
        for (int q = 0; q < kQuantities; ++q) series(Measured, c, PlotQuantity(q)).clear();
    for (auto& c : m_newest) c = {kNaN, kNaN};
    m_marks.clear();
    refresh();
}

void SequencePlot::appendMeasured(int channel, PlotQuantity q, PlotPoint p) {
    Series& s = series(Measured, channel, q);
    s.add(p);
    if (s.points.size() >= kMostMeasured)
        s.assign(decimateForPixels(s.points, s.tMin, s.tMax, kCompactColumns));
}

void SequencePlot::addMeasured(double seconds, int channel, Quantity q, double value) {
    if (channel != 1 && channel != 2) return;
    auto& newest = m_newest[std::size_t(channel - 1)];
    const bool volts = q == Quantity::Voltage;
    newest[volts ? 0 : 1] = value;
    appendMeasured(channel, volts ? PlotQuantity::Volts : PlotQuantity::Amps, {seconds, value});
    // The power as soon as both are known, from the newest of each.
    if (!std::isnan(newest[0]) && !std::isnan(newest[1]))
        appendMeasured(channel, PlotQuantity::Watts, {seconds, newest[0] * newest[1]});
    scheduleRepaint();
}

void SequencePlot::markStep(double seconds, int step) {
    if (!std::isfinite(seconds)) return;
    m_marks.emplace_back(seconds, step);
    scheduleRepaint();
}

// Readings come many a second: they are drawn together, at most every 50 ms.
void SequencePlot::scheduleRepaint() {
    if (!m_repaint.isActive()) m_repaint.start();
}

// What is shown changed: the readout follows it where the mouse rests.
void SequencePlot::refresh() {
    update();
    if (m_hover) m_readout->setText(readoutAt(*m_hover));
    m_readout->setToolTip(m_readout->text());
}

QSize SequencePlot::sizeHint() const {
    return {480, 240};
}

QSize SequencePlot::minimumSizeHint() const {
    return {240, 140};
}

// ---- layout ----

SequencePlot::Frame SequencePlot::frame() const {
    Frame f;
    const QFontMetrics fm(font());
    bool any = false;
    double tMin = 0, tMax = 0;
    for (const Series& s : m_series)
        if (s.hasTime) {
            tMin = std::min(tMin, s.tMin);
            tMax = std::max(tMax, s.tMax);
            any = true;
        }
    for (const auto& m : m_marks) tMax = std::max(tMax, m.first);
    for (double t : m_predictedStarts)
        if (std::isfinite(t)) tMax = std::max(tMax, t);
    if (!any && m_marks.empty()) tMax = 10;
    if (!(tMax > tMin)) tMax = tMin + 1;  // one instant still gets a second's room
    f.t0 = tMin;
    f.t1 = tMax;

    int top = 0;
    for (const QCheckBox* b : m_showChannel) top = std::max(top, b->geometry().bottom());
    top += 6;
    const int bottom = height() - 2 * fm.height() - 6;
    std::vector<PlotQuantity> shown;
    for (int q = 0; q < kQuantities; ++q)
        if (m_showQuantity[std::size_t(q)]->isChecked()) shown.push_back(PlotQuantity(q));

    // Each pane's scale: from 0 (or below, if anything is) to its largest value.
    int labelWidth = fm.horizontalAdvance(QStringLiteral("00.0"));
    const int n = int(shown.size());
    const int paneHeight = n > 0 ? std::max(1, (bottom - top - kPaneGap * (n - 1)) / n) : 0;
    for (int i = 0; i < n; ++i) {
        Pane pane{shown[std::size_t(i)], {}, 0, 1, 0.5};
        bool seen = false;
        double lo = 0, hi = 0;
        for (int k = 0; k < kKinds; ++k)
            for (int c = 1; c <= 2; ++c) {
                if (!m_showChannel[std::size_t(c - 1)]->isChecked()) continue;
                const Series& s =
                    m_series[std::size_t((k * 2 + c - 1) * kQuantities + int(pane.q))];
                if (!s.hasValue) continue;
                lo = std::min(lo, s.vMin);
                hi = std::max(hi, s.vMax);
                seen = true;
            }
        // Beyond any instrument's reach: held where the arithmetic survives, drawn at the edge.
        lo = std::clamp(lo, -kFarthest, 0.0);
        hi = std::clamp(hi, 0.0, kFarthest);
        if (!seen || !(hi - lo > 1e-9)) hi = lo + 1;
        const int ticks = std::max(2, paneHeight * 2 / (fm.height() * 3));
        const double highest = hi + (hi - lo) * 0.05;
        pane.tick = niceStep((highest - lo) / ticks);
        pane.lo = std::floor(lo / pane.tick) * pane.tick;
        pane.hi = std::max(pane.lo + pane.tick, std::ceil(highest / pane.tick) * pane.tick);
        for (int j = 0; j <= kMostTicks; ++j) {
            const double v = pane.lo + j * pane.tick;
            if (v > pane.hi + pane.tick / 2) break;
            labelWidth = std::max(labelWidth, fm.horizontalAdvance(tickText(v, pane.tick)));
        }
        f.panes.push_back(pane);
    }
    const int left = labelWidth + 10;
    const int right = width() - 4 - fm.horizontalAdvance(QStringLiteral("000")) / 2;
    f.area = QRect(QPoint(left, top), QPoint(std::max(left + 1, right), std::max(top + 1, bottom)));
    for (int i = 0; i < n; ++i)
        f.panes[std::size_t(i)].rect =
            QRect(left, top + i * (paneHeight + kPaneGap), f.area.width(), paneHeight);
    return f;
}

}  // namespace lqs
