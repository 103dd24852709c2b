// Texts placed by hand at 96 dpi: at a larger font or scale a text can be
// wider than the place the design gave it.
#pragma once

#include <QSize>

class QWidget;

namespace lqs {

// Widens (and heightens) each label, radio button, check box, push button,
// combo box and group box under `root` whose text no longer fits, away from
// the side its text is aligned to; what stands to its right in its row moves
// right to clear it, and a parent widens to hold its children. Widgets a
// layout places are left to the layout.
void fitTexts(QWidget* root);

// The size the text of such a widget needs; empty for other widgets.
QSize textSize(const QWidget* w);

}  // namespace lqs
