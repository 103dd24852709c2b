#include "control_panel/window_fit.h"

#include <QAbstractButton>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QToolBar>

namespace lqs {

void fitToScreen(QMainWindow* window, QWidget* frame, const QSize& least) {
    frame->setMinimumSize(least);
    auto* scroll = new QScrollArea(window);
    scroll->setObjectName(QStringLiteral("frameScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setWidget(window->takeCentralWidget());
    window->setCentralWidget(scroll);
    // The bars are fixed in height, taller only for a larger font.
    int bars = window->menuBar()->sizeHint().height();
    for (QWidget* bar : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if ((qobject_cast<QToolBar*>(bar) || qobject_cast<QStatusBar*>(bar)) && !bar->isHidden())
            bars += bar->maximumHeight();
    }
    const QSize size = least + QSize(0, bars);
    const QScreen* screen = window->screen();
    window->resize(screen ? size.boundedTo(screen->availableGeometry().size()) : size);
}

QColor markedTextColor(const QPalette& palette) {
    return palette.color(QPalette::Base).lightness() < 128 ? QColor(0xff, 0x80, 0x80)
                                                           : QColor(0xb0, 0x00, 0x00);
}

void boldWhenChecked(std::initializer_list<QAbstractButton*> buttons) {
    for (QAbstractButton* b : buttons) {
        const auto show = [b](bool checked) {
            QFont f = b->font();
            f.setBold(checked);
            b->setFont(f);
        };
        show(true);
        b->resize(b->size().expandedTo(b->sizeHint()));
        show(b->isChecked());
        QObject::connect(b, &QAbstractButton::toggled, b, show);
    }
}

}  // namespace lqs
