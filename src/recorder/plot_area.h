// pb1: the recorder's drawing area. It keeps its picture in an image, which
// the recorder paints whole from the samples it keeps.
#pragma once

#include <QImage>
#include <QWidget>

namespace lqs {

class PlotArea : public QWidget {
    Q_OBJECT
public:
    explicit PlotArea(QWidget* parent = nullptr);
    QImage& canvas() { return m_canvas; }
    const QImage& canvas() const { return m_canvas; }

Q_SIGNALS:
    // The mouse moved over the plot, no button needed; and left it.
    void hovered(const QPoint& pos);
    void left();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QImage m_canvas;
};

}  // namespace lqs
