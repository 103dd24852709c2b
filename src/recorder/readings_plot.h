// The readings plot: every kept reading on one time axis, volts above and
// amps below, with zoom, pan, Fit, Follow and two measuring cursors.
#pragma once

#include "recorder/reading_log.h"

#include <QColor>
#include <QRect>
#include <QWidget>

#include <optional>

class QPainter;

namespace lqs {

// What the plot shows: times in ms since the recording's start, and the
// value ranges of the volts and amps panes (bottom, top).
struct PlotView {
    qint64 t0 = 0, t1 = 60000;
    double v0 = 0, v1 = 30;
    double a0 = 0, a1 = 3;
};

// Where the panes lie in a plot of the given size.
struct PlotPanes {
    QRect volts, amps;
};
PlotPanes plotPanes(const QSize& size);

// Data to pixels and back. A time's column spans [xOf, xOf + 1); the panes
// share their left and right edges.
double xOf(const PlotView& view, const QRect& pane, double ms);
double msAt(const PlotView& view, const QRect& pane, double x);
// Value to pixel row in a pane showing [lo, hi] bottom to top, and back.
double yOf(double lo, double hi, const QRect& pane, double value);
double valueAt(double lo, double hi, const QRect& pane, double y);

// The plot's background and the colour of each series' trace.
QColor readingsPlotBackground();
QColor readingsTraceColor(int series);

class ReadingsPlot : public QWidget {
    Q_OBJECT
public:
    explicit ReadingsPlot(const ReadingLog* log, QWidget* parent = nullptr);

    // The view, its value ranges first fitted to the readings in sight when
    // they follow the data (after Fit, until the user zooms a pane).
    PlotView view() const;
    // The whole view, value ranges included (they stop following the data).
    void setView(const PlotView& view);
    // Only the times; value ranges that follow the data go on doing so.
    void showTimes(qint64 t0, qint64 t1);
    bool follows() const { return m_follow; }
    std::optional<qint64> cursorA() const { return m_cursorA; }
    std::optional<qint64> cursorB() const { return m_cursorB; }
    void setCursors(std::optional<qint64> a, std::optional<qint64> b);

    // Draws the whole plot, as paintEvent does.
    void draw(QPainter& painter);

    static constexpr qint64 kMinSpanMs = 1000;

public Q_SLOTS:
    // Everything kept in sight, values fitted.
    void fit();
    void setFollow(bool on);
    // Readings were added: the view moves with them while it follows.
    void readingsAdded();

Q_SIGNALS:
    void viewChanged();
    void followChanged(bool on);
    void cursorsChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    enum class Drag { None, Pending, Pan, Zoom, CursorA, CursorB };
    void userMoved();
    void fitValues(bool volts) const;
    void changed();
    QRect timeArea() const;
    int paneAt(const QPoint& pos) const;  // 0 volts, 1 amps, -1 neither
    void setTimes(qint64 t0, qint64 t1);
    void placeCursor(qint64 ms);

    const ReadingLog* m_log;
    mutable PlotView m_view;
    mutable bool m_autoVolts = true, m_autoAmps = true;
    bool m_follow = true;
    std::optional<qint64> m_cursorA, m_cursorB;

    Drag m_drag = Drag::None;
    QPoint m_pressPos, m_dragPos;
    PlotView m_pressView;
    int m_pressPane = -1;
};

}  // namespace lqs
