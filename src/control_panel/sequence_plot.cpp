#include "control_panel/sequence_plot.h"

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
constexpr int kMostTicks = 100;
constexpr double kFarthest = 1e12;
// Step marks closer than this many pixels on average are drawn as short ticks.
constexpr int kMarkRoom = 4;
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

// 1, 2 or 5 times a power of ten, at least `raw`.
double niceStep(double raw) {
    if (!std::isfinite(raw) || raw <= 0) return 1;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * mag * (1 + 1e-9)) return m * mag;
    return 10 * mag;
}

QString tickText(double v, double step) {
    if (std::abs(v) >= 1e6) return QString::number(v, 'g', 3);
    const int decimals = std::clamp(int(-std::floor(std::log10(step) + 1e-9)), 0, 6);
    if (std::abs(v) < step * 1e-6) v = 0;  // no "-0"
    return QString::number(v, 'f', decimals);
}

QString valueText(double v) {
    return std::isfinite(v) ? QString::number(v, 'g', 4) : QStringLiteral("—");
}

QString secondsText(double t) {
    const double a = std::abs(t);
    return QString::number(t, 'f', a < 100 ? 2 : a < 1000 ? 1 : 0);
}

const char* unitOf(PlotQuantity q) {
    return q == PlotQuantity::Volts ? "V" : q == PlotQuantity::Amps ? "A" : "W";
}

QColor channelColor(int channel) {
    return channel == 1 ? PlotColors::activeCaption() : PlotColors::Lime;
}

QPen kindPen(int channel, int kind) {
    QPen pen(channelColor(channel));
    switch (kind) {
        case 0:  // set point
            pen.setStyle(Qt::DashLine);
            break;
        case 1:  // predicted
            pen.setStyle(Qt::DotLine);
            pen.setColor(pen.color().darker(130));
            break;
        default:  // measured
            pen.setWidthF(2);
            break;
    }
    return pen;
}

const QColor kStepMark(0xFF, 0xC8, 0x00);
const QColor kPredictedMark(0xFF, 0xFF, 0xFF, 0x40);
const QColor kViolated(0xC0, 0x00, 0x00, 0x70);
const QColor kViolatedText(0xFF, 0x60, 0x60);

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

// ---- painting ----

namespace {

double xOf(const QRect& r, double t0, double t1, double t) {
    return r.left() + (t - t0) / (t1 - t0) * r.width();
}

double yOf(const QRect& r, double lo, double hi, double v) {
    const double y = r.bottom() - (v - lo) / (hi - lo) * (r.height() - 1);
    return std::clamp(y, double(r.top() - 2), double(r.bottom() + 2));
}

}  // namespace

void SequencePlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const Frame f = frame();
    if (f.panes.empty()) {
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(f.area, Qt::AlignCenter | Qt::TextWordWrap,
                   tr("Tick V, A or W above to show a quantity."));
        return;
    }
    // Back to front: the panes and grid, the step marks, then the lines over them.
    for (const Pane& pane : f.panes) drawPane(p, pane);
    drawTimeAxis(p, f);
    drawMarkers(p, f);
    for (const Pane& pane : f.panes) drawLines(p, f, pane);
    drawLegend(p, f);
    const bool empty =
        std::none_of(m_series.begin(), m_series.end(), [](const Series& s) { return s.hasTime; });
    if (empty && m_marks.empty()) {
        p.setPen(PlotColors::AppWorkspace);
        p.drawText(f.area, Qt::AlignCenter, tr("Nothing to show yet"));
    }
}

void SequencePlot::drawPane(QPainter& p, const Pane& pane) {
    const QRect& r = pane.rect;
    const QFontMetrics fm(font());
    p.fillRect(r, PlotColors::ButtonText);
    // The value scale: grid rows and their labels at the left.
    for (int i = 0; i <= kMostTicks; ++i) {
        const double v = pane.lo + i * pane.tick;
        if (v > pane.hi + pane.tick / 2) break;
        const int y = int(std::lround(yOf(r, pane.lo, pane.hi, v)));
        p.setPen(QPen(PlotColors::AppWorkspace, 0, Qt::DotLine));
        if (i > 0 && v < pane.hi - pane.tick / 2) p.drawLine(r.left(), y, r.right(), y);
        p.setPen(palette().color(QPalette::WindowText));
        // Kept beside their own pane: the ends' labels move inwards rather than
        // run into the next pane's.
        const int labelTop = std::clamp(y - fm.height() / 2, r.top(), r.bottom() + 1 - fm.height());
        const QRect label(0, labelTop, r.left() - 4, fm.height());
        if (r.height() >= fm.height())
            p.drawText(label, Qt::AlignRight | Qt::AlignVCenter, tickText(v, pane.tick));
    }
    p.setPen(PlotColors::AppWorkspace);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    p.setPen(QColor(0xE0, 0xE0, 0xE0));
    p.drawText(r.adjusted(4, 2, -4, -2), Qt::AlignRight | Qt::AlignTop,
               QString::fromLatin1(unitOf(pane.q)));
}

void SequencePlot::drawLines(QPainter& p, const Frame& f, const Pane& pane) {
    const QRect& r = pane.rect;
    p.save();
    p.setClipRect(r.adjusted(0, -1, 1, 1));
    p.setRenderHint(QPainter::Antialiasing, true);
    const int columns = std::max(1, r.width());
    for (int k = 0; k < kKinds; ++k)
        for (int c = 1; c <= 2; ++c) {
            if (!m_showChannel[std::size_t(c - 1)]->isChecked()) continue;
            const std::vector<PlotPoint>& line =
                series(Kind(k), c, pane.q).decimated(f.t0, f.t1, columns);
            p.setPen(kindPen(c, k));
            QPolygonF run;
            const auto flush = [&] {
                if (run.size() == 1) {
                    QPen dot = p.pen();
                    dot.setWidthF(std::max(3.0, dot.widthF() + 2));
                    dot.setStyle(Qt::SolidLine);
                    p.save();
                    p.setPen(dot);
                    p.drawPoint(run.front());
                    p.restore();
                } else if (run.size() > 1) {
                    p.drawPolyline(run);
                }
                run.clear();
            };
            for (const PlotPoint& pt : line) {
                if (!std::isfinite(pt.value)) {
                    flush();
                    continue;
                }
                // On pixel centres, so holds and step changes stay crisp.
                run << QPointF(std::floor(xOf(r, f.t0, f.t1, pt.seconds)) + 0.5,
                               std::floor(yOf(r, pane.lo, pane.hi, pt.value)) + 0.5);
            }
            flush();
        }
    p.restore();
}

void SequencePlot::drawTimeAxis(QPainter& p, const Frame& f) {
    const QFontMetrics fm(font());
    const double span = f.t1 - f.t0;
    // Long runs read better in minutes or hours than in thousands of seconds.
    const double scale = span > 3 * 3600 ? 3600 : span > 180 ? 60 : 1;
    const QString unit = scale == 3600 ? tr("h") : scale == 60 ? tr("min") : tr("s");
    const double lo = f.t0 / scale, hi = f.t1 / scale;
    const int room = fm.horizontalAdvance(QStringLiteral("00000")) + 12;
    const double step = niceStep((hi - lo) / std::max(1, f.area.width() / room));
    const int labelTop = f.area.bottom() + 3;
    int lastRight = std::numeric_limits<int>::min();
    const double firstTick = std::ceil(lo / step - 1e-9);
    for (int i = 0; i <= kMostTicks; ++i) {
        const double v = (firstTick + i) * step;
        if (v > hi + step * 1e-9) break;
        const int x = int(std::lround(xOf(f.area, lo, hi, v)));
        p.setPen(QPen(PlotColors::AppWorkspace, 0, Qt::DotLine));
        for (const Pane& pane : f.panes)
            if (x > pane.rect.left() && x < pane.rect.right())
                p.drawLine(x, pane.rect.top() + 1, x, pane.rect.bottom() - 1);
        const QString text = tickText(v, step);
        const int w = fm.horizontalAdvance(text);
        if (x - w / 2 <= lastRight + 4) continue;
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(QRect(x - w / 2 - 2, labelTop, w + 4, fm.height()), Qt::AlignCenter, text);
        lastRight = x + w / 2;
    }
    // The unit at the axis' right end, under the last column.
    p.setPen(palette().color(QPalette::WindowText));
    const QRect unitBox(f.area.right() - 60, labelTop + fm.height(), 60 + 2, fm.height());
    p.drawText(unitBox, Qt::AlignRight | Qt::AlignVCenter, tr("time, %1").arg(unit));
}

void SequencePlot::drawMarkers(QPainter& p, const Frame& f) {
    const QFontMetrics fm(font());
    const QRect& a = f.area;
    const auto columnOf = [&](double t) { return int(std::lround(xOf(a, f.t0, f.t1, t))); };
    // Marks too many for the width are short ticks at each pane's top, not lines.
    const auto crowded = [&](std::size_t count) {
        return count * kMarkRoom > std::size_t(std::max(1, a.width()));
    };
    const auto marker = [&](std::size_t count) {
        return [&f, &p, dense = crowded(count)](int x) {
            for (const Pane& pane : f.panes)
                p.drawLine(x, pane.rect.top(), x, dense ? pane.rect.top() + 4 : pane.rect.bottom());
        };
    };
    // Steps the dry run's check refused, over each pass of the plan.
    if (!m_violated.empty()) {
        const auto refused = [&](int step) {
            return std::find(m_violated.begin(), m_violated.end(), step) != m_violated.end();
        };
        std::vector<StepSpan> spans = m_steps;
        if (spans.empty())
            for (std::size_t i = 0; i < m_predictedStarts.size(); ++i)
                spans.push_back({m_predictedStarts[i],
                                 i + 1 < m_predictedStarts.size() ? m_predictedStarts[i + 1] : f.t1,
                                 int(i) + 1});
        int lastRight = std::numeric_limits<int>::min();
        for (const StepSpan& s : spans) {
            if (!refused(s.step)) continue;
            const int x0 = columnOf(s.from), x1 = std::max(x0 + 1, columnOf(s.to));
            for (const Pane& pane : f.panes)
                p.fillRect(QRect(x0, pane.rect.top(), x1 - x0, pane.rect.height()), kViolated);
            const QString text = QString::number(s.step);
            const int w = fm.horizontalAdvance(text);
            const int x = (x0 + x1) / 2 - w / 2;
            if (x <= lastRight + 2) continue;
            p.setPen(kViolatedText);
            const QRect& last = f.panes.back().rect;
            p.drawText(QRect(x, last.bottom() - fm.height() - 1, w, fm.height()), Qt::AlignCenter,
                       text);
            lastRight = x + w;
        }
    }
    // Where the dry run began each step: faint, once per pixel column.
    p.setPen(kPredictedMark);
    const auto predictedMark = marker(m_predictedStarts.size());
    int lastX = std::numeric_limits<int>::min();
    for (double t : m_predictedStarts) {
        if (!std::isfinite(t)) continue;
        const int x = columnOf(t);
        if (x == lastX) continue;
        predictedMark(x);
        lastX = x;
    }
    // Each step the run began, numbered where the label has room.
    const auto stepMark = marker(m_marks.size());
    lastX = std::numeric_limits<int>::min();
    int lastRight = std::numeric_limits<int>::min();
    for (const auto& [t, step] : m_marks) {
        const int x = columnOf(t);
        p.setPen(kStepMark);
        if (x != lastX) stepMark(x);
        lastX = x;
        if (crowded(m_marks.size())) continue;  // numbers would be a smear
        const QString text = QString::number(step);
        const int w = fm.horizontalAdvance(text);
        const int unitRoom = fm.horizontalAdvance(QStringLiteral("W")) + 8;
        if (x + 2 <= lastRight + 3 || x + 2 + w > a.right() - unitRoom) continue;
        const QRect first = f.panes.front().rect;
        p.fillRect(QRect(x + 1, first.top() + 1, w + 3, fm.height()), PlotColors::ButtonText);
        p.drawText(QRect(x + 2, first.top() + 1, w + 2, fm.height()), Qt::AlignCenter, text);
        lastRight = x + 2 + w;
    }
}

void SequencePlot::drawLegend(QPainter& p, const Frame& f) {
    const QFontMetrics fm(font());
    const int y = f.area.bottom() + 3 + fm.height();
    int x = f.area.left();
    const QString names[] = {tr("set point"), tr("predicted"), tr("measured")};
    const QColor text = palette().color(QPalette::WindowText);
    for (int k = 0; k < kKinds; ++k) {
        QPen pen = kindPen(1, k);
        pen.setColor(text);
        p.setPen(pen);
        p.drawLine(x, y + fm.height() / 2, x + 20, y + fm.height() / 2);
        x += 24;
        p.setPen(text);
        const int w = fm.horizontalAdvance(names[k]);
        p.drawText(QRect(x, y, w + 2, fm.height()), Qt::AlignLeft | Qt::AlignVCenter, names[k]);
        x += w + 12;
    }
}

// ---- the readout ----

QString SequencePlot::readoutAt(QPoint pos) {
    const Frame f = frame();
    const auto pane = std::find_if(f.panes.begin(), f.panes.end(), [&](const Pane& x) {
        return x.rect.adjusted(0, 0, 1, 1).contains(pos);
    });
    if (pane == f.panes.end()) return {};
    const QRect& r = pane->rect;
    const double t = f.t0 + (pos.x() - r.left()) * (f.t1 - f.t0) / std::max(1, r.width());
    const QString names[] = {tr("set point"), tr("predicted"), tr("measured")};
    double best = std::numeric_limits<double>::infinity();
    QString nearest;
    for (int k = 0; k < kKinds; ++k)
        for (int c = 1; c <= 2; ++c) {
            if (!m_showChannel[std::size_t(c - 1)]->isChecked()) continue;
            const std::vector<PlotPoint>& pts = series(Kind(k), c, pane->q).points;
            // The points either side of the mouse's time, and their neighbours.
            const auto at =
                std::lower_bound(pts.begin(), pts.end(), t,
                                 [](const PlotPoint& a, double b) { return a.seconds < b; });
            const std::ptrdiff_t i = at - pts.begin();
            // A set point holds between its points: read it at the mouse's time.
            if (k == Expected && i > 0 && i < std::ptrdiff_t(pts.size())) {
                const PlotPoint& a = pts[std::size_t(i - 1)];
                const PlotPoint& b = pts[std::size_t(i)];
                const double v =
                    b.seconds > a.seconds
                        ? a.value + (b.value - a.value) * (t - a.seconds) / (b.seconds - a.seconds)
                        : b.value;
                const double dy = yOf(r, pane->lo, pane->hi, v) - pos.y();
                if (std::isfinite(v) && dy * dy < best) {
                    best = dy * dy;
                    nearest = tr("Ch %1 set point: %2 %3 at %4 s")
                                  .arg(c)
                                  .arg(valueText(v), QString::fromLatin1(unitOf(pane->q)),
                                       secondsText(t));
                }
                continue;
            }
            for (std::ptrdiff_t j = std::max<std::ptrdiff_t>(0, i - 2);
                 j < std::min<std::ptrdiff_t>(std::ptrdiff_t(pts.size()), i + 2); ++j) {
                const PlotPoint& pt = pts[std::size_t(j)];
                if (!std::isfinite(pt.value)) continue;
                const double dx = xOf(r, f.t0, f.t1, pt.seconds) - pos.x();
                const double dy = yOf(r, pane->lo, pane->hi, pt.value) - pos.y();
                const double d = dx * dx + dy * dy;
                if (d < best) {
                    best = d;
                    nearest =
                        tr("Ch %1 %2: %3 %4 at %5 s")
                            .arg(c)
                            .arg(names[k], valueText(pt.value),
                                 QString::fromLatin1(unitOf(pane->q)), secondsText(pt.seconds));
                }
            }
        }
    return nearest.isEmpty() ? tr("%1 s").arg(secondsText(t)) : nearest;
}

void SequencePlot::mouseMoveEvent(QMouseEvent* event) {
    m_hover = event->position().toPoint();
    m_readout->setText(readoutAt(*m_hover));
    m_readout->setToolTip(m_readout->text());
    QWidget::mouseMoveEvent(event);
}

void SequencePlot::leaveEvent(QEvent* event) {
    m_hover.reset();
    m_readout->clear();
    m_readout->setToolTip({});
    QWidget::leaveEvent(event);
}

}  // namespace lqs
