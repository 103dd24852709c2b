// The instrument stopped answering while its port stays: switched off at its
// own switch, its USB adapter still plugged in.
#include "common/error_box.h"
#include "control_panel/main_window.h"
#include "device_link/link_client.h"
#include "serial/comm.h"
#include "ui_main_window.h"

namespace lqs {

// As after a lost line: the recording is kept, nothing that sends is
// offered, and the output may have changed at the instrument's own switch.
void TForm1::noAnswer() {
    m_client->giveUp();
    m_silentPort = comm1->CommName();
    logEvent(QStringLiteral("No answer from the instrument on %1").arg(m_silentPort),
             EventSource::Instrument);
    standDown(QStringLiteral("No answer from the instrument on %1: switch it on, then press Link")
                  .arg(m_silentPort));
    ui->ToolButton1->setEnabled(comm1->IsOpen());
    setStatusText(0, QStringLiteral("Please Link..."));
    setFrameEnabled(true);
}

// The port is opened anew, as the link after a lost line opens it, so that
// nothing the instrument half sent as it went off is taken for a reply.
bool TForm1::reopenSilentPort(QString* why) {
    if (m_silentPort.isEmpty()) return true;
    const QString port = std::exchange(m_silentPort, QString());
    comm1->ClosePort();
    comm1->setCommName(port);
    try {
        comm1->OpenPort();
    } catch (const ECommsError& e) {
        ui->ToolButton1->setEnabled(false);
        setStatusText(0, QStringLiteral("Please Config RS232 COM!"));
        if (why)
            *why = QString::fromUtf8(e.what());
        else
            showErrorBox(this, QString::fromUtf8(e.what()), QString::fromStdString(e.detail()));
        return false;
    }
    return true;
}

}  // namespace lqs
