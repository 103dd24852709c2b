#include "recorder/plot_area.h"

#include "recorder/plot_math.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

namespace lqs {

PlotArea::PlotArea(QWidget* parent)
    : QWidget(parent), m_canvas(kPlotWidth, kPlotHeight, QImage::Format_RGB32) {
    setObjectName(QStringLiteral("pb1"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    m_canvas.fill(PlotColors::ButtonText);
}

void PlotArea::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.drawImage(event->rect(), m_canvas, event->rect());
}

void PlotArea::mouseMoveEvent(QMouseEvent* event) {
    Q_EMIT hovered(event->position().toPoint());
}

void PlotArea::leaveEvent(QEvent*) {
    Q_EMIT left();
}

}  // namespace lqs
