// pb1: the recorder's drawing area. It keeps its picture in an image, which
// the recorder paints whole from the samples it keeps; the widget shows it
// stretched to its own size, with a legend over its top right corner.
#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QWidget>

namespace lqs {

class PlotArea : public QWidget {
    Q_OBJECT
public:
    struct LegendEntry {
        QString name;
        QColor color;
    };

    explicit PlotArea(QWidget* parent = nullptr);
    QImage& canvas() { return m_canvas; }
    const QImage& canvas() const { return m_canvas; }

    void setLegend(const QList<LegendEntry>& entries);
    const QList<LegendEntry>& legend() const { return m_legend; }
    // Where the legend is painted, in the widget; its line for entry i.
    QRect legendRect() const;
    QRect legendLineRect(int i) const;
    // A point of the widget in the canvas, and back.
    QPoint toCanvas(const QPoint& pos) const;
    QPoint fromCanvas(const QPoint& pos) const;

Q_SIGNALS:
    // The mouse moved over the plot, no button needed (in canvas pixels); and left it.
    void hovered(const QPoint& pos);
    void left();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QImage m_canvas;
    QList<LegendEntry> m_legend;
};

}  // namespace lqs
