// The main window on any screen: it may grow past its designed size, and on a
// screen smaller than that its client area scrolls instead of being cut.
#pragma once

#include <QSize>

class QMainWindow;
class QWidget;

namespace lqs {

// Puts `frame`, the window's central widget, in a scroll area and keeps
// `least` as the frame's least size; the window opens at that size with its
// menu, tool and status bars (no larger than the screen), and may be resized.
void fitToScreen(QMainWindow* window, QWidget* frame, const QSize& least);

}  // namespace lqs
