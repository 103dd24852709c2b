// The sequence plot drawn: its panes, lines, time axis, step markers and
// legend, and the readout where the mouse rests.
#include "control_panel/sequence_plot.h"

#include "control_panel/sequence_plot_scale.h"
#include "recorder/plot_math.h"

#include <QCheckBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace lqs {

using namespace sequence_scale;

namespace {

// Step marks closer than this many pixels on average are drawn as short ticks.
constexpr int kMarkRoom = 4;

QString valueText(double v) {
    return std::isfinite(v) ? QString::number(v, 'g', 4) : QStringLiteral("—");
}

QString secondsText(double t) {
    const double a = std::abs(t);
    return QString::number(t, 'f', a < 100 ? 2 : a < 1000 ? 1 : 0);
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
