// pb1: the recorder's drawing area. Its picture is painted whole, in the
// 600 x 250 pixels of its own scale, into an image of that size; at any other
// size it is painted at the widget's size instead, its lines keeping their
// width rather than stretched. Each image is painted only when it is needed.
// A legend stands over its top right corner.
#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QWidget>

#include <functional>

namespace lqs {

class PlotArea : public QWidget {
    Q_OBJECT
public:
    struct LegendEntry {
        QString name;
        QColor color;
    };

    // Paints the picture in canvas pixels, on a cleared ground, its lines
    // cosmetic and lineScale times their width at the canvas's own size.
    using Picture = std::function<void(QPainter&, qreal lineScale)>;

    explicit PlotArea(QWidget* parent = nullptr);
    const QImage& canvas() const;
    void setPicture(Picture picture);  // painted from the next redraw()
    // The picture changed: paint it again.
    void redraw();

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
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    mutable QImage m_canvas;
    mutable bool m_canvasStale = false;
    QImage m_sized;  // at the widget's size and pixel ratio; null until needed
    Picture m_picture;
    QList<LegendEntry> m_legend;
};

}  // namespace lqs
