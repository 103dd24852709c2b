// Texts placed by hand at 96 dpi: at a larger font or scale a text can be
// wider than the place the design gave it.
#pragma once

#include <QSize>

class QWidget;

namespace lqs {

// Widens (and heightens) each label, radio button, check box, push button
// and group box under `root` whose text no longer fits, away from the side
// its text is aligned to, and never past its parent. Widgets a layout
// places are left to the layout.
void fitTexts(QWidget* root);

// The size the text of such a widget needs; empty for other widgets.
QSize textSize(const QWidget* w);

}  // namespace lqs
