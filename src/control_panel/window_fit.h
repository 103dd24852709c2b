// The main window on any screen: it may grow past its designed size, and on a
// screen smaller than that its client area scrolls instead of being cut.
#pragma once

#include <QColor>
#include <QPalette>
#include <QSize>

#include <initializer_list>

class QAbstractButton;
class QMainWindow;
class QWidget;

namespace lqs {

// Puts `frame`, the window's central widget, in a scroll area and keeps
// `least` as the frame's least size; the window opens at that size with its
// menu, tool and status bars (no larger than the screen), and may be resized.
void fitToScreen(QMainWindow* window, QWidget* frame, const QSize& least);

// The red of a field whose text needs a word, readable on the palette's base,
// light or dark: no one red is on both.
QColor markedTextColor(const QPalette& palette);

// The checked one of these buttons in bold: a style's small check mark alone
// is hard to see in some palettes. Each is made wide enough for its bold text.
void boldWhenChecked(std::initializer_list<QAbstractButton*> buttons);

}  // namespace lqs
