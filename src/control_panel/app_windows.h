// Creates the program's windows in their start-up order.
#pragma once

#include "control_panel/main_window.h"
#include "serial/port_list.h"

namespace lqs {

// The main window, which makes its dialogs in their start-up order, and the
// offer of a recording a killed program left behind. The recorder window is
// made on first use; the guard's trips and the channels' charge and energy
// reach it from the link once it is.
TForm1* createWindows(const PortListSources& ports = {}, const LinkOptions& link = LinkOptions());

}  // namespace lqs
