#include "recorder/plot_area.h"

#include "recorder/plot_math.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <utility>

namespace lqs {

namespace {
constexpr int kLegendMargin = 4;
constexpr int kLegendPad = 4;
constexpr int kLegendLine = 14;  // the sample of the curve before each name
}  // namespace

PlotArea::PlotArea(QWidget* parent)
    : QWidget(parent), m_canvas(kPlotWidth, kPlotHeight, QImage::Format_RGB32) {
    setObjectName(QStringLiteral("pb1"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    m_canvas.fill(PlotColors::ButtonText);
}

void PlotArea::setPicture(Picture picture) {
    m_picture = std::move(picture);
}

const QImage& PlotArea::canvas() const {
    if (m_canvasStale) {
        m_canvasStale = false;
        m_canvas.fill(PlotColors::ButtonText);
        if (m_picture) {
            QPainter p(&m_canvas);
            m_picture(p, 1);
        }
    }
    return m_canvas;
}

// The canvas is painted at once while it is what is shown, else when asked for.
void PlotArea::redraw() {
    m_canvasStale = true;
    if (size() == m_canvas.size()) canvas();
    m_sized = QImage();
    update();
}

void PlotArea::resizeEvent(QResizeEvent*) {
    m_sized = QImage();
}

void PlotArea::setLegend(const QList<LegendEntry>& entries) {
    m_legend = entries;
    update();
}

QRect PlotArea::legendRect() const {
    if (m_legend.isEmpty()) return {};
    const QFontMetrics fm(font());
    int textWidth = 0;
    for (const LegendEntry& e : m_legend)
        textWidth = std::max(textWidth, fm.horizontalAdvance(e.name));
    const int w = 2 * kLegendPad + kLegendLine + 4 + textWidth;
    const int h = 2 * kLegendPad + int(m_legend.size()) * fm.height();
    return QRect(width() - kLegendMargin - w, kLegendMargin, w, h);
}

QRect PlotArea::legendLineRect(int i) const {
    const QRect box = legendRect();
    const int lineHeight = QFontMetrics(font()).height();
    return QRect(box.left() + kLegendPad, box.top() + kLegendPad + i * lineHeight,
                 box.width() - 2 * kLegendPad, lineHeight);
}

QPoint PlotArea::toCanvas(const QPoint& pos) const {
    return QPoint(pos.x() * m_canvas.width() / std::max(1, width()),
                  pos.y() * m_canvas.height() / std::max(1, height()));
}

QPoint PlotArea::fromCanvas(const QPoint& pos) const {
    return QPoint(pos.x() * width() / m_canvas.width(), pos.y() * height() / m_canvas.height());
}

void PlotArea::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    if (size() == m_canvas.size()) {
        p.drawImage(event->rect(), canvas(), event->rect());
    } else {
        const qreal ratio = devicePixelRatioF();
        if (m_sized.isNull() ||
            m_sized.devicePixelRatio() != ratio) {  // or moved to another screen
            m_sized = QImage(size() * ratio, QImage::Format_RGB32);
            m_sized.setDevicePixelRatio(ratio);
            m_sized.fill(PlotColors::ButtonText);
            // Lines as wide as the canvas's pixels stretched, on the same
            // device pixels: a line n wide stands right of and below its
            // coordinate, so that the ones on the far edges stay outside.
            const qreal lineScale = std::max<qreal>(1, std::round(ratio));
            const qreal shift = std::floor(lineScale / 2) / ratio;
            QPainter sized(&m_sized);
            sized.translate(shift, shift);
            sized.scale(qreal(width()) / m_canvas.width(), qreal(height()) / m_canvas.height());
            if (m_picture) m_picture(sized, lineScale);
        }
        p.drawImage(event->rect(), m_sized,
                    QRectF(QPointF(event->rect().topLeft()) * m_sized.devicePixelRatio(),
                           QSizeF(event->rect().size()) * m_sized.devicePixelRatio()));
    }
    if (m_legend.isEmpty()) return;
    p.fillRect(legendRect(), PlotColors::ButtonText);
    p.setPen(PlotColors::AppWorkspace);
    p.drawRect(legendRect().adjusted(0, 0, -1, -1));
    const QFontMetrics fm(font());
    for (int i = 0; i < m_legend.size(); ++i) {
        const QRect line = legendLineRect(i);
        const int y = line.center().y();
        p.fillRect(QRect(line.left(), y - 1, kLegendLine, 3), m_legend[i].color);
        p.setPen(PlotColors::Step);  // a dark curve colour would not read
        p.drawText(line.adjusted(kLegendLine + 4, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                   m_legend[i].name);
    }
}

void PlotArea::mouseMoveEvent(QMouseEvent* event) {
    Q_EMIT hovered(toCanvas(event->position().toPoint()));
}

void PlotArea::leaveEvent(QEvent*) {
    Q_EMIT left();
}

}  // namespace lqs
