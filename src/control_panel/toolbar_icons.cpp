#include "control_panel/toolbar_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <functional>

namespace lqs::icons {

namespace {

QIcon paint(const std::function<void(QPainter&)>& draw) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, true);
    draw(p);
    p.end();
    QIcon icon(pm);
    return icon;
}

// A small box-shaped instrument with a screen, shared by three pictures.
void device(QPainter& p) {
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(QColor(200, 200, 200));
    p.drawRect(QRectF(1.5, 3.5, 10, 8));
    p.setBrush(QColor(40, 90, 160));
    p.drawRect(QRectF(3.5, 5.5, 6, 3));
    p.setPen(QPen(QColor(60, 60, 60), 1.5));
    p.drawLine(QPointF(6.5, 11.5), QPointF(6.5, 14));
    p.drawLine(QPointF(3, 14.5), QPointF(10, 14.5));
}

}  // namespace

QIcon notLinked() {
    return paint([](QPainter& p) {
        device(p);
        p.setPen(QPen(QColor(220, 0, 0), 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(10, 8), QPointF(15, 13));
        p.drawLine(QPointF(15, 8), QPointF(10, 13));
    });
}

QIcon linked() {
    return paint([](QPainter& p) {
        device(p);
        p.setPen(QPen(QColor(120, 90, 0), 1));
        p.setBrush(QColor(250, 210, 0));
        p.drawRoundedRect(QRectF(10.5, 7.5, 4.5, 5), 1, 1);
        p.drawLine(QPointF(12, 7.5), QPointF(12, 5.5));
        p.drawLine(QPointF(14, 7.5), QPointF(14, 5.5));
    });
}

QIcon port() {
    return paint([](QPainter& p) {
        device(p);
        p.setPen(QPen(QColor(40, 40, 40), 1));
        p.setBrush(QColor(150, 150, 160));
        QPolygonF d;  // the trapezoid of a D-sub connector
        d << QPointF(10, 8) << QPointF(15.5, 8) << QPointF(14.5, 12) << QPointF(11, 12);
        p.drawPolygon(d);
        p.setPen(QPen(Qt::black, 1));
        for (double x : {11.5, 13.0, 14.5}) p.drawPoint(QPointF(x, 9.5));
    });
}

QIcon panel(int variant) {
    return paint([variant](QPainter& p) {
        p.setPen(QPen(QColor(90, 90, 90), 1));
        p.setBrush(QColor(170, 170, 170));
        p.drawRect(QRectF(1.5, 2.5, 13, 11));
        p.setPen(QPen(QColor(0, 160, 0), 1.4));
        for (int i = 0; i < 3; ++i) {
            const double y = 5.5 + i * 3;
            p.drawLine(QPointF(3.5, y), QPointF(variant == 0 ? 12.5 : 8.5 + i * 2, y));
        }
    });
}

QIcon clock(bool cyan) {
    return paint([cyan](QPainter& p) {
        p.setPen(QPen(QColor(40, 40, 40), 1));
        p.setBrush(cyan ? QColor(0, 200, 220) : QColor(0, 170, 0));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(3.5, 3.5, 9, 9));
        p.setPen(QPen(Qt::black, 1.3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 8), QPointF(8, 4.8));
        p.drawLine(QPointF(8, 8), QPointF(10.5, 9));
    });
}

QIcon running() {
    return paint([](QPainter& p) {
        p.setPen(QPen(QColor(20, 60, 160), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(QColor(20, 60, 160));
        p.drawEllipse(QRectF(8.5, 1, 3, 3));
        p.drawLine(QPointF(9, 5), QPointF(7, 10));      // body
        p.drawLine(QPointF(8.5, 6), QPointF(5, 7));     // back arm
        p.drawLine(QPointF(8.5, 6), QPointF(12, 8));    // front arm
        p.drawLine(QPointF(7, 10), QPointF(10, 12.5));  // front leg
        p.drawLine(QPointF(10, 12.5), QPointF(10, 15));
        p.drawLine(QPointF(7, 10), QPointF(4.5, 13));  // back leg
        p.drawLine(QPointF(4.5, 13), QPointF(2, 13));
    });
}

QIcon circularArrows() {
    return paint([](QPainter& p) {
        p.setPen(QPen(QColor(0, 150, 0), 2, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        const QRectF r(2.5, 2.5, 11, 11);
        p.drawArc(r, 30 * 16, 150 * 16);
        p.drawArc(r, 210 * 16, 150 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 150, 0));
        p.drawPolygon(QPolygonF({QPointF(12, 1), QPointF(15.5, 6), QPointF(10.5, 6.5)}));
        p.drawPolygon(QPolygonF({QPointF(4, 15), QPointF(0.5, 10), QPointF(5.5, 9.5)}));
    });
}

QIcon pointingHand() {
    return paint([](QPainter& p) {
        p.setPen(QPen(QColor(120, 70, 20), 1));
        p.setBrush(QColor(250, 210, 160));
        p.drawRoundedRect(QRectF(6.5, 1.5, 3, 8), 1.5, 1.5);  // index finger
        p.drawRoundedRect(QRectF(3.5, 7.5, 10, 7), 2, 2);     // palm with folded fingers
        p.drawRoundedRect(QRectF(1.5, 8.5, 3, 4), 1.5, 1.5);  // thumb
    });
}

QIcon questionMark() {
    return paint([](QPainter& p) {
        QFont f;
        f.setPixelSize(15);
        f.setBold(true);
        p.setFont(f);
        p.setPen(QColor(0, 60, 220));
        p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
    });
}

}  // namespace lqs::icons
