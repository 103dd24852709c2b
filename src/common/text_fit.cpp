#include "common/text_fit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

#include <algorithm>

namespace lqs {

QSize textSize(const QWidget* w) {
    const QFontMetrics fm(w->font());
    if (auto* l = qobject_cast<const QLabel*>(w)) {
        if (l->text().isEmpty() || l->wordWrap() || l->textFormat() == Qt::RichText) return {};
        const int frame = l->width() - l->contentsRect().width() + 2 * l->margin();
        const int vframe = l->height() - l->contentsRect().height() + 2 * l->margin();
        return {fm.horizontalAdvance(l->text()) + frame, fm.height() + vframe};
    }
    if (qobject_cast<const QRadioButton*>(w) || qobject_cast<const QCheckBox*>(w))
        return static_cast<const QAbstractButton*>(w)->sizeHint();
    if (auto* b = qobject_cast<const QPushButton*>(w)) {
        if (b->text().isEmpty()) return {};
        return {fm.horizontalAdvance(b->text()) + 8, fm.height()};
    }
    if (auto* g = qobject_cast<const QGroupBox*>(w)) {
        if (g->title().isEmpty()) return {};
        return {fm.horizontalAdvance(g->title()) + 16, 0};
    }
    return {};
}

namespace {

Qt::Alignment alignment(const QWidget* w) {
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->alignment();
    if (qobject_cast<const QPushButton*>(w)) return Qt::AlignHCenter | Qt::AlignVCenter;
    return Qt::AlignLeft | Qt::AlignVCenter;
}

// [from, from + length) grown to `need`, kept inside [0, room).
void grow(int& from, int& length, int need, bool toStart, bool centred, int room) {
    if (need <= length) return;
    const int extra = need - length;
    if (toStart)
        from -= extra;
    else if (centred)
        from -= extra / 2;
    length = need;
    from = std::clamp(from, 0, std::max(0, room - length));
}

}  // namespace

void fitTexts(QWidget* root) {
    for (QWidget* w : root->findChildren<QWidget*>()) {
        QWidget* parent = w->parentWidget();
        if (w->isWindow() || !parent || (parent->layout() && parent->layout()->indexOf(w) >= 0))
            continue;
        const QSize need = textSize(w);
        if (need.isEmpty()) continue;
        const Qt::Alignment a = alignment(w);
        // A parent not sized yet still holds its children's design.
        const QRect design = parent->childrenRect();
        const int roomX = std::max(parent->width(), design.right() + 1);
        const int roomY = std::max(parent->height(), design.bottom() + 1);
        int x = w->x(), y = w->y(), width = w->width(), height = w->height();
        grow(x, width, need.width(), a & Qt::AlignRight, a & Qt::AlignHCenter, roomX);
        grow(y, height, need.height(), a & Qt::AlignBottom, a & Qt::AlignVCenter, roomY);
        w->setGeometry(x, y, width, height);
    }
}

}  // namespace lqs
