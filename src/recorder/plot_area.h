// pb1: the recorder's drawing area. It keeps its picture in an image, so a
// live segment stays as drawn until the next full repaint.
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

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_canvas;
};

}  // namespace lqs
