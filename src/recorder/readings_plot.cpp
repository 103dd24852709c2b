#include "recorder/readings_plot.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>

namespace lqs {

namespace {

// The legend of each pane sits in the strip above it.
constexpr int kLeft = 64, kRight = 12, kTop = 22, kBottom = 24, kGap = 22;
constexpr int kDragSlop = 3;    // pixels a press moves before it is a drag
constexpr int kCursorGrab = 5;  // pixels either side of a cursor that grab it
constexpr double kWheelStep = 0.8;
constexpr qint64 kMaxSpanMs = 400LL * 24 * 3600 * 1000;

const QColor kGrid(0x50, 0x50, 0x50);
const QColor kText(0xE0, 0xE0, 0xE0);
const QColor kCursorA(0xFF, 0xFF, 0xFF);
const QColor kCursorB(0xFF, 0xA0, 0x40);

// A round step of at least `least`: 1, 2 or 5 times a power of ten.
double niceStep(double least) {
    if (!(least > 0)) return 1;
    const double p = std::pow(10.0, std::floor(std::log10(least)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= least * (1 - 1e-9)) return m * p;
    return 10 * p;
}

qint64 timeStep(double msPerPixel, int minPixels) {
    static constexpr qint64 kSteps[] = {
        1,      2,      5,       10,      20,      50,       100,      200,      500,
        1000,   2000,   5000,    10000,   15000,   30000,    60000,    120000,   300000,
        600000, 900000, 1800000, 3600000, 7200000, 10800000, 21600000, 43200000, 86400000};
    for (qint64 s : kSteps)
        if (s / msPerPixel >= minPixels) return s;
    const qint64 day = 86400000;
    return day * qint64(std::ceil(minPixels * msPerPixel / day));
}

// The rectangle with both points as corners (QRect::normalized() moves a
// swapped corner by a pixel).
QRect spanned(const QPoint& a, const QPoint& b) {
    return QRect(QPoint(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                 QPoint(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
}

}  // namespace

PlotPanes plotPanes(const QSize& size) {
    const int w = std::max(1, size.width() - kLeft - kRight);
    const int h = std::max(2, size.height() - kTop - kBottom - kGap);
    const int ph = h / 2;
    return {QRect(kLeft, kTop, w, ph), QRect(kLeft, kTop + ph + kGap, w, ph)};
}

double xOf(const PlotView& v, const QRect& pane, double ms) {
    return pane.left() + (ms - double(v.t0)) * pane.width() / double(v.t1 - v.t0);
}

double msAt(const PlotView& v, const QRect& pane, double x) {
    return double(v.t0) + (x - pane.left()) * double(v.t1 - v.t0) / pane.width();
}

double yOf(double lo, double hi, const QRect& pane, double value) {
    return pane.top() + (hi - value) * pane.height() / (hi - lo);
}

double valueAt(double lo, double hi, const QRect& pane, double y) {
    return hi - (y - pane.top()) * (hi - lo) / pane.height();
}

QColor readingsPlotBackground() {
    return QColor(0x10, 0x10, 0x10);
}

QColor readingsTraceColor(int series) {
    static const QColor colors[kReadingSeries] = {
        QColor(0xFF, 0xD7, 0x40),  // CH1 V: amber
        QColor(0x4F, 0xC3, 0xF7),  // CH1 A: sky blue
        QColor(0x66, 0xFF, 0x66),  // CH2 V: green
        QColor(0xFF, 0x80, 0xE0),  // CH2 A: pink
    };
    return colors[std::clamp(series, 0, kReadingSeries - 1)];
}

ReadingsPlot::ReadingsPlot(const ReadingLog* log, QWidget* parent) : QWidget(parent), m_log(log) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(false);
    setMinimumSize(320, 200);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QRect ReadingsPlot::timeArea() const {
    return plotPanes(size()).volts;
}

PlotView ReadingsPlot::view() const {
    if (m_autoVolts) fitValues(true);
    if (m_autoAmps) fitValues(false);
    return m_view;
}

void ReadingsPlot::fitValues(bool volts) const {
    const int width = timeArea().width();
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (int s : volts ? std::array{0, 2} : std::array{1, 3}) {
        for (const ReadingColumn& c : m_log->columns(s, m_view.t0, m_view.t1, width)) {
            if (!c.any) continue;
            lo = std::min(lo, c.min);
            hi = std::max(hi, c.max);
        }
    }
    double& v0 = volts ? m_view.v0 : m_view.a0;
    double& v1 = volts ? m_view.v1 : m_view.a1;
    if (lo > hi) return;  // nothing in sight: the last range stays
    const double least = volts ? 0.01 : 0.001;
    const double pad = std::max((hi - lo) * 0.05, least);
    v0 = lo - pad;
    v1 = hi + pad;
}

void ReadingsPlot::setView(const PlotView& view) {
    m_view = view;
    if (m_view.t1 <= m_view.t0) m_view.t1 = m_view.t0 + kMinSpanMs;
    if (!(m_view.v1 > m_view.v0)) m_view.v1 = m_view.v0 + 1;
    if (!(m_view.a1 > m_view.a0)) m_view.a1 = m_view.a0 + 1;
    m_autoVolts = m_autoAmps = false;
    changed();
}

void ReadingsPlot::showTimes(qint64 t0, qint64 t1) {
    setTimes(std::min(t0, t1), std::max(t0, t1));
    changed();
}

void ReadingsPlot::setCursors(std::optional<qint64> a, std::optional<qint64> b) {
    m_cursorA = a;
    m_cursorB = b;
    update();
    Q_EMIT cursorsChanged();
}

void ReadingsPlot::changed() {
    update();
    Q_EMIT viewChanged();
}

void ReadingsPlot::setTimes(qint64 t0, qint64 t1) {
    if (t1 - t0 < kMinSpanMs) {
        const qint64 mid = t0 + (t1 - t0) / 2;
        t0 = mid - kMinSpanMs / 2;
        t1 = t0 + kMinSpanMs;
    }
    if (t1 - t0 > kMaxSpanMs) t1 = t0 + kMaxSpanMs;
    m_view.t0 = t0;
    m_view.t1 = t1;
}

void ReadingsPlot::fit() {
    if (!m_log->isEmpty()) {
        const qint64 first = m_log->firstMs(), last = m_log->lastMs();
        if (last - first >= kMinSpanMs) {
            m_view.t0 = first;
            m_view.t1 = last;
        } else {
            m_view.t0 = first;
            m_view.t1 = first + kMinSpanMs;
        }
    }
    m_autoVolts = m_autoAmps = true;
    changed();
}

void ReadingsPlot::setFollow(bool on) {
    if (on == m_follow) return;
    m_follow = on;
    Q_EMIT followChanged(on);
    if (on) readingsAdded();
}

void ReadingsPlot::readingsAdded() {
    if (m_follow && !m_log->isEmpty()) {
        const qint64 last = m_log->lastMs();
        if (last > m_view.t1 || last < m_view.t0) {
            const qint64 span = m_view.t1 - m_view.t0;
            m_view.t1 = last;
            m_view.t0 = last - span;
            Q_EMIT viewChanged();
        }
    }
    update();
}

void ReadingsPlot::userMoved() {
    setFollow(false);
}

int ReadingsPlot::paneAt(const QPoint& pos) const {
    const PlotPanes panes = plotPanes(size());
    if (pos.y() < panes.volts.bottom() + kGap / 2) return pos.y() >= panes.volts.top() ? 0 : -1;
    return pos.y() <= panes.amps.bottom() ? 1 : -1;
}

void ReadingsPlot::placeCursor(qint64 ms) {
    if (!m_cursorA) {
        m_cursorA = ms;
    } else if (!m_cursorB) {
        m_cursorB = ms;
    } else if (std::abs(ms - *m_cursorA) <= std::abs(ms - *m_cursorB)) {
        m_cursorA = ms;
    } else {
        m_cursorB = ms;
    }
    update();
    Q_EMIT cursorsChanged();
}

void ReadingsPlot::mousePressEvent(QMouseEvent* event) {
    m_pressPos = m_dragPos = event->position().toPoint();
    m_pressView = view();
    m_pressPane = paneAt(m_pressPos);
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    if (event->button() == Qt::RightButton || (event->button() == Qt::LeftButton && shift)) {
        m_drag = Drag::Zoom;
    } else if (event->button() == Qt::LeftButton) {
        m_drag = Drag::Pending;
        const QRect area = timeArea();
        auto near = [&](const std::optional<qint64>& c) {
            return c && std::abs(xOf(m_view, area, double(*c)) - m_pressPos.x()) <= kCursorGrab;
        };
        if (near(m_cursorB))
            m_drag = Drag::CursorB;
        else if (near(m_cursorA))
            m_drag = Drag::CursorA;
    } else {
        m_drag = Drag::None;
    }
    event->accept();
}

void ReadingsPlot::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    m_dragPos = pos;
    const QRect area = timeArea();
    switch (m_drag) {
        case Drag::Pending:
            if ((pos - m_pressPos).manhattanLength() <= kDragSlop) break;
            m_drag = Drag::Pan;
            [[fallthrough]];
        case Drag::Pan: {
            // From the view at the press, so the view moves exactly with the mouse.
            const qint64 span = m_pressView.t1 - m_pressView.t0;
            const qint64 shift =
                std::llround(double(pos.x() - m_pressPos.x()) * double(span) / area.width());
            m_view.t0 = m_pressView.t0 - shift;
            m_view.t1 = m_pressView.t1 - shift;
            const int dy = pos.y() - m_pressPos.y();
            if (dy != 0 && m_pressPane >= 0) {
                const bool volts = m_pressPane == 0;
                const double lo = volts ? m_pressView.v0 : m_pressView.a0;
                const double hi = volts ? m_pressView.v1 : m_pressView.a1;
                const double shiftV = dy * (hi - lo) / area.height();
                (volts ? m_view.v0 : m_view.a0) = lo + shiftV;
                (volts ? m_view.v1 : m_view.a1) = hi + shiftV;
                (volts ? m_autoVolts : m_autoAmps) = false;
            }
            userMoved();
            changed();
            break;
        }
        case Drag::CursorA:
        case Drag::CursorB: {
            const qint64 ms = std::llround(msAt(m_view, area, pos.x()));
            (m_drag == Drag::CursorA ? m_cursorA : m_cursorB) = ms;
            update();
            Q_EMIT cursorsChanged();
            break;
        }
        case Drag::Zoom:
            update();
            break;
        case Drag::None:
            break;
    }
    event->accept();
}

void ReadingsPlot::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    const QRect area = timeArea();
    const Drag drag = m_drag;
    m_drag = Drag::None;
    if (drag == Drag::Pending) {
        placeCursor(std::llround(msAt(m_view, area, pos.x())));
    } else if (drag == Drag::Zoom) {
        const QRect r = spanned(m_pressPos, pos);
        if (r.width() >= kDragSlop) {
            setTimes(std::llround(msAt(m_view, area, r.left())),
                     std::llround(msAt(m_view, area, r.right())));
            const PlotPanes panes = plotPanes(size());
            const int pane = paneAt(r.topLeft());
            if (r.height() >= kDragSlop && pane >= 0 && pane == paneAt(r.bottomLeft())) {
                const QRect& p = pane == 0 ? panes.volts : panes.amps;
                double& lo = pane == 0 ? m_view.v0 : m_view.a0;
                double& hi = pane == 0 ? m_view.v1 : m_view.a1;
                const double top = valueAt(lo, hi, p, r.top());
                const double bottom = valueAt(lo, hi, p, r.bottom());
                lo = bottom;
                hi = top;
                (pane == 0 ? m_autoVolts : m_autoAmps) = false;
            }
            userMoved();
            changed();
        } else {
            update();
        }
    }
    event->accept();
}

void ReadingsPlot::wheelEvent(QWheelEvent* event) {
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0) return;
    const double factor = std::pow(kWheelStep, steps);
    const QPointF pos = event->position();
    const PlotPanes panes = plotPanes(size());
    view();  // the value ranges in sight, before they stop following the data
    if (event->modifiers() & Qt::ControlModifier) {
        const int pane = paneAt(pos.toPoint());
        if (pane < 0) return;
        const QRect& p = pane == 0 ? panes.volts : panes.amps;
        double& lo = pane == 0 ? m_view.v0 : m_view.a0;
        double& hi = pane == 0 ? m_view.v1 : m_view.a1;
        const double at = valueAt(lo, hi, p, pos.y());
        lo = at - (at - lo) * factor;
        hi = at + (hi - at) * factor;
        (pane == 0 ? m_autoVolts : m_autoAmps) = false;
    } else {
        const double at = msAt(m_view, panes.volts, pos.x());
        const double span = double(m_view.t1 - m_view.t0);
        const double newSpan = std::clamp(span * factor, double(kMinSpanMs), double(kMaxSpanMs));
        const qint64 t0 = std::llround(at - (at - double(m_view.t0)) * newSpan / span);
        m_view.t0 = t0;
        m_view.t1 = t0 + std::llround(newSpan);
    }
    userMoved();
    changed();
    event->accept();
}

void ReadingsPlot::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Home) {
        fit();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ReadingsPlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    draw(p);
}

void ReadingsPlot::draw(QPainter& p) {
    const PlotView v = view();
    const PlotPanes panes = plotPanes(size());
    const QRect area = panes.volts;
    p.fillRect(rect(), readingsPlotBackground());
    p.setFont(font());
    const QFontMetrics fm(font());

    // Time grid and labels, on the wall clock when the start is known.
    const double msPerPixel = double(v.t1 - v.t0) / area.width();
    const qint64 step =
        timeStep(msPerPixel, fm.horizontalAdvance(QStringLiteral("00:00:00.000")) + 16);
    const QDateTime started = m_log->started();
    const qint64 offset =
        started.isValid() ? started.toMSecsSinceEpoch() + started.offsetFromUtc() * 1000LL : 0;
    auto floorDiv = [](qint64 a, qint64 b) {
        return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
    };
    const QString format =
        step < 1000 ? QStringLiteral("HH:mm:ss.zzz") : QStringLiteral("HH:mm:ss");
    p.setPen(kGrid);
    for (qint64 t = (floorDiv(v.t0 + offset, step) + 1) * step - offset; t < v.t1; t += step) {
        const int x = int(std::floor(xOf(v, area, double(t))));
        p.setPen(kGrid);
        p.drawLine(x, panes.volts.top(), x, panes.volts.bottom());
        p.drawLine(x, panes.amps.top(), x, panes.amps.bottom());
        QString label;
        if (started.isValid()) {
            label = started.addMSecs(t).toLocalTime().toString(format);
        } else {
            label = QString::number(double(t) / 1000.0, 'f', step < 1000 ? 3 : 0);
        }
        p.setPen(kText);
        const int w = fm.horizontalAdvance(label);
        p.drawText(x - w / 2, panes.amps.bottom() + fm.ascent() + 4, label);
    }

    auto drawPane = [&](const QRect& pane, double lo, double hi, const QString& unit,
                        std::array<int, 2> series, const QStringList& names) {
        const double vstep = niceStep((hi - lo) * (fm.height() + 12) / pane.height());
        const int decimals = std::clamp(int(-std::floor(std::log10(vstep) + 1e-9)), 0, 6);
        for (double y = std::ceil(lo / vstep) * vstep; y <= hi; y += vstep) {
            const int py = int(std::floor(yOf(lo, hi, pane, y)));
            p.setPen(kGrid);
            p.drawLine(pane.left(), py, pane.right(), py);
            p.setPen(kText);
            const QString label = QString::number(std::abs(y) < vstep / 2 ? 0.0 : y, 'f', decimals);
            p.drawText(pane.left() - 6 - fm.horizontalAdvance(label), py + fm.ascent() / 2, label);
        }
        p.setPen(kText);
        p.drawText(4, pane.top() - 6, unit);
        p.setPen(kGrid);
        p.drawRect(pane.adjusted(0, 0, -1, -1));

        p.save();
        p.setClipRect(pane);
        const qsizetype first = m_log->lowerBound(v.t0), end = m_log->lowerBound(v.t1);
        std::vector<ReadingColumn> cols;
        QList<QLineF> lines;
        for (int s : series) {
            m_log->columns(s, v.t0, v.t1, pane.width(), cols);
            lines.clear();
            // Joined to the readings either side of the view, the line cut
            // at the pane's edge: far off, x would not fit the rasterizer.
            auto toEdge = [&](double x0, double y0, double x1, double y1, double edge) {
                return y0 + (y1 - y0) * (edge - x0) / (x1 - x0);
            };
            const qsizetype before = m_log->lastOf(s, first);
            bool havePrev = before >= 0;
            double prevX = havePrev ? xOf(v, pane, double(m_log->msAt(before))) : 0;
            double prevLo = havePrev ? yOf(lo, hi, pane, m_log->valueAt(before)) : 0;
            double prevHi = prevLo;
            for (size_t k = 0; k < cols.size(); ++k) {
                const ReadingColumn& c = cols[k];
                if (!c.any) continue;
                const double x = pane.left() + double(k) + 0.5;
                const double yHi = yOf(lo, hi, pane, c.max), yLo = yOf(lo, hi, pane, c.min);
                // Joined to the previous column at the nearest ends of the two ranges.
                if (havePrev) {
                    const double from = std::clamp((yHi + yLo) / 2, prevHi, prevLo);
                    const double to = std::clamp(from, yHi, yLo);
                    const double edge = pane.left() - 1;
                    if (prevX < edge)
                        lines.append(QLineF(edge, toEdge(prevX, from, x, to, edge), x, to));
                    else
                        lines.append(QLineF(prevX, from, x, to));
                }
                lines.append(QLineF(x, yHi, x, yLo + (yLo - yHi < 1 ? 1 : 0)));
                havePrev = true;
                prevLo = yLo;
                prevHi = yHi;
                prevX = x;
            }
            if (const qsizetype after = m_log->firstOf(s, end); havePrev && after < m_log->size()) {
                const double x = xOf(v, pane, double(m_log->msAt(after)));
                const double y = yOf(lo, hi, pane, m_log->valueAt(after));
                const double from = std::clamp(y, prevHi, prevLo);
                const double edge = pane.right() + 2;
                const double startX = std::max(prevX, double(pane.left() - 1));
                const double startY = prevX < startX ? toEdge(prevX, from, x, y, startX) : from;
                if (x > edge)
                    lines.append(QLineF(startX, startY, edge, toEdge(startX, startY, x, y, edge)));
                else
                    lines.append(QLineF(startX, startY, x, y));
            }
            p.setPen(QPen(readingsTraceColor(s), 1));
            p.drawLines(lines);
        }
        p.restore();

        // The legend, above the pane.
        int lx = pane.left() + 4;
        for (int k = 0; k < 2; ++k) {
            p.setPen(QPen(readingsTraceColor(series[size_t(k)]), 2));
            const int ly = pane.top() - 6 - fm.ascent() / 3;
            p.drawLine(lx, ly, lx + 14, ly);
            p.setPen(kText);
            p.drawText(lx + 18, pane.top() - 6, names[k]);
            lx += 18 + fm.horizontalAdvance(names[k]) + 14;
        }
    };
    drawPane(panes.volts, v.v0, v.v1, QStringLiteral("V"), {0, 2},
             {QStringLiteral("CH1 V"), QStringLiteral("CH2 V")});
    drawPane(panes.amps, v.a0, v.a1, QStringLiteral("A"), {1, 3},
             {QStringLiteral("CH1 A"), QStringLiteral("CH2 A")});

    if (m_log->isEmpty()) {
        p.setPen(kText);
        p.drawText(panes.volts, Qt::AlignCenter, tr("No readings yet"));
    }

    // The cursors across both panes, each with its letter.
    auto drawCursor = [&](const std::optional<qint64>& c, const QColor& color,
                          const QString& name) {
        if (!c) return;
        const double x = std::floor(xOf(v, area, double(*c))) + 0.5;
        if (x < area.left() || x > area.right() + 1) return;
        p.setPen(QPen(color, 1, Qt::DashLine));
        p.drawLine(QPointF(x, panes.volts.top()), QPointF(x, panes.amps.bottom()));
        p.setPen(color);
        p.drawText(QPointF(x + 3, panes.volts.bottom() - 4), name);
    };
    drawCursor(m_cursorA, kCursorA, QStringLiteral("A"));
    drawCursor(m_cursorB, kCursorB, QStringLiteral("B"));

    if (m_drag == Drag::Zoom) {
        p.setPen(QPen(kText, 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(spanned(m_pressPos, m_dragPos));
    }
}

}  // namespace lqs
