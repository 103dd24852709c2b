#include "common/text_fit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
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
    if (qobject_cast<const QRadioButton*>(w) || qobject_cast<const QCheckBox*>(w) ||
        qobject_cast<const QComboBox*>(w))
        return w->sizeHint();
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
    if (qobject_cast<const QComboBox*>(w)) return Qt::AlignLeft | Qt::AlignTop;  // under its label
    return Qt::AlignLeft | Qt::AlignVCenter;
}

// [from, from + length) grown to `need`, kept inside [0, room) when `room`.
void grow(int& from, int& length, int need, bool toStart, bool centred, int room) {
    if (need <= length) return;
    const int extra = need - length;
    if (toStart)
        from -= extra;
    else if (centred)
        from -= extra / 2;
    length = need;
    from = std::max(0, room > 0 ? std::min(from, room - length) : from);
}

bool placedByHand(const QWidget* w) {
    const QWidget* parent = w->parentWidget();
    return !w->isWindow() && parent && !(parent->layout() && parent->layout()->indexOf(w) >= 0);
}

int depth(const QWidget* w, const QWidget* root) {
    int d = 0;
    for (; w && w != root; w = w->parentWidget()) ++d;
    return d;
}

// What stands to the right of a widened widget in its row moves right just
// clear of it, and so on along the row.
void makeRoom(QWidget* parent, QSet<QWidget*>& moved) {
    QList<QWidget*> row;
    for (QWidget* c : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (placedByHand(c) && !c->isHidden()) row << c;
    std::sort(row.begin(), row.end(), [](QWidget* a, QWidget* b) { return a->x() < b->x(); });
    for (int i = 0; i < row.size(); ++i) {
        for (int j = 0; j < i; ++j) {
            const QRect a = row[j]->geometry(), b = row[i]->geometry();
            // In one row: side by side for most of their height, not just touching.
            const bool sameRow =
                a.intersected(QRect(a.x(), b.y(), a.width(), b.height())).height() >
                std::min(a.height(), b.height()) / 2;
            const bool widened = moved.contains(row[j]) || moved.contains(row[i]);
            if (!widened || !sameRow || a.x() > b.x() || a.right() < b.left()) continue;
            row[i]->move(a.right() + 2, b.y());
            moved.insert(row[i]);
        }
    }
}

}  // namespace

void fitTexts(QWidget* root) {
    QSet<QWidget*> moved;
    QList<QWidget*> parents;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!placedByHand(w)) continue;
        const QSize need = textSize(w);
        if (need.isEmpty()) continue;
        QWidget* parent = w->parentWidget();
        const Qt::Alignment a = alignment(w);
        // A parent not sized yet still holds its children's design.
        const int roomY = std::max(parent->height(), parent->childrenRect().bottom() + 1);
        int x = w->x(), y = w->y(), width = w->width(), height = w->height();
        grow(x, width, need.width(), a & Qt::AlignRight, a & Qt::AlignHCenter, 0);
        grow(y, height, need.height(), a & Qt::AlignBottom, a & Qt::AlignVCenter, roomY);
        if (QRect(x, y, width, height) == w->geometry()) continue;
        w->setGeometry(x, y, width, height);
        moved.insert(w);
        if (!parents.contains(parent)) parents << parent;
    }
    // The deepest first: a group widened for its texts makes room in its own row.
    std::sort(parents.begin(), parents.end(),
              [root](QWidget* a, QWidget* b) { return depth(a, root) > depth(b, root); });
    for (int i = 0; i < parents.size(); ++i) {
        QWidget* parent = parents[i];
        makeRoom(parent, moved);
        if (parent == root || !placedByHand(parent)) continue;
        int right = 0;
        for (QWidget* c : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!c->isHidden() && !c->isWindow()) right = std::max(right, c->geometry().right());
        if (right + 3 <= parent->width()) continue;
        parent->resize(right + 3, parent->height());
        moved.insert(parent);
        if (!parents.contains(parent->parentWidget())) parents << parent->parentWidget();
    }
}

}  // namespace lqs
