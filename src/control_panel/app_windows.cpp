#include "control_panel/app_windows.h"

#include "control_panel/about_box.h"
#include "control_panel/memory_dialogs.h"
#include "control_panel/messages_box.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/read_time_dialog.h"
#include "recorder/setup_dialog.h"
#include "recorder/wave_window.h"
#include "serial/port_dialog.h"

#include <QTimer>

namespace lqs {

TForm1* createWindows(const PortListSources& ports) {
    auto* form1 = new TForm1;
    form1->setPortSources(ports);
    TForm1::Windows w;
    w.Querying = new TQuerying(form1);
    w.save = new Tsave(form1);
    w.recall = new Trecall(form1);
    w.Form2 = new TForm2(form1);
    w.Messages = new TMessages(form1);
    w.Form3 = new TForm3(form1->comm1, form1, ports);
    w.Frm_Setup = new TFrm_Setup(form1);
    w.Form_ReadTime = new TForm_ReadTime(form1);
    form1->attachWindows(w);
    // Once the main window is up: a recording a killed program left behind.
    QTimer::singleShot(0, form1, [form1] { offerLeftRecording(form1); });
    return form1;
}

}  // namespace lqs
