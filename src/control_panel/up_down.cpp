#include "control_panel/up_down.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QToolButton>

namespace lqs {

TUpDown::TUpDown(QWidget* parent)
    : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this)) {
    for (QToolButton* b : {m_up, m_down}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->installEventFilter(this);
    }
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    m_up->setObjectName(QStringLiteral("up"));
    m_down->setObjectName(QStringLiteral("down"));
    m_up->setAccessibleName(QStringLiteral("Step up"));
    m_down->setAccessibleName(QStringLiteral("Step down"));
    connect(m_up, &QToolButton::clicked, this, [this] { Q_EMIT stepped(true); });
    connect(m_down, &QToolButton::clicked, this, [this] { Q_EMIT stepped(false); });
    resize(17, 24);
}

void TUpDown::resizeEvent(QResizeEvent*) {
    const int half = height() / 2;
    m_up->setGeometry(0, 0, width(), half);
    m_down->setGeometry(0, half, width(), height() - half);
}

void TUpDown::endHold() {
    if (!m_held) return;
    // A release outside the arrow lets the button come up without a click and
    // forget the press, so a later move cannot start the repeat again.
    const QPointF outside(-1, -1);
    for (QToolButton* b : {m_up, m_down}) {
        QMouseEvent release(QEvent::MouseButtonRelease, outside, b->mapToGlobal(outside),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(b, &release);  // reports mouseUp through the filter
        b->setDown(false);
    }
    m_held = false;
}

// While a window is blocked by a box, hidden or disabled, the real release
// never reaches the arrow; without this the repeat would run on by itself.
bool TUpDown::event(QEvent* event) {
    switch (event->type()) {
        case QEvent::WindowBlocked:
        case QEvent::Hide:
        case QEvent::WindowDeactivate:
            endHold();
            break;
        case QEvent::EnabledChange:
            if (!isEnabled()) endHold();
            break;
        default:
            break;
    }
    return QWidget::event(event);
}

// With auto-repeat the buttons' own pressed()/released() signals fire on every
// repeat, so the hold is taken from the mouse events themselves.
bool TUpDown::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_up || watched == m_down) {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick:
                if (isEnabled() && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
                    m_held = true;
                    Q_EMIT mouseDown();
                }
                break;
            case QEvent::MouseButtonRelease:
                if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && m_held) {
                    m_held = false;
                    Q_EMIT mouseUp();
                }
                break;
            case QEvent::MouseMove:
                // A move without the button means its release went elsewhere.
                if (m_held && !(static_cast<QMouseEvent*>(event)->buttons() & Qt::LeftButton))
                    endHold();
                break;
            case QEvent::UngrabMouse:
                endHold();
                break;
            default:
                break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace lqs
