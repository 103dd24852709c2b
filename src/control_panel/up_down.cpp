#include "up_down.h"

#include <QEvent>
#include <QMouseEvent>
#include <QToolButton>

namespace lqs {

TUpDown::TUpDown(QWidget* parent) : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this)) {
    for (QToolButton* b : {m_up, m_down}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->installEventFilter(this);
    }
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    m_up->setObjectName(QStringLiteral("up"));
    m_down->setObjectName(QStringLiteral("down"));
    connect(m_up, &QToolButton::clicked, this, [this] { Q_EMIT stepped(true); });
    connect(m_down, &QToolButton::clicked, this, [this] { Q_EMIT stepped(false); });
    resize(17, 24);
}

void TUpDown::resizeEvent(QResizeEvent*) {
    const int half = height() / 2;
    m_up->setGeometry(0, 0, width(), half);
    m_down->setGeometry(0, half, width(), height() - half);
}

// With auto-repeat the buttons' own pressed()/released() signals fire on every
// repeat, so the hold is taken from the mouse events themselves.
bool TUpDown::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == m_up || watched == m_down) && isEnabled()) {
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) Q_EMIT mouseDown();
        } else if (event->type() == QEvent::MouseButtonRelease) {
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) Q_EMIT mouseUp();
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace lqs
