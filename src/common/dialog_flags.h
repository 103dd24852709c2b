// Window flags of the program's small fixed dialogs: a title bar with only a
// close box, no resizing.
#pragma once

#include <Qt>

namespace lqs {

inline constexpr Qt::WindowFlags kFixedDialogFlags =
    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
    Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint;

}  // namespace lqs
