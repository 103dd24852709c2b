#include "control_panel/app_windows.h"

#include "recorder/wave_window.h"

#include <QTimer>

namespace lqs {

TForm1* createWindows(const PortListSources& ports, const LinkOptions& link) {
    auto* form1 = new TForm1(ports, nullptr, link);
    // Once the main window is up: a recording a killed program left behind.
    QTimer::singleShot(0, form1, [form1] { offerLeftRecording(form1); });
    return form1;
}

}  // namespace lqs
