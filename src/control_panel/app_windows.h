// Creates the program's windows in their start-up order.
#pragma once

#include "control_panel/main_window.h"
#include "serial/port_list.h"

namespace lqs {

// The main window first, then the querying dialog, the two memory dialogs,
// the About box, the time-out box, the port dialog, the recorder setup and the
// read-time dialog. The recorder window is made on first use.
TForm1* createWindows(const PortListSources& ports = {});

}  // namespace lqs
