#include "control_panel/main_window.h"

#include "device_link/link_client.h"
#include "recorder/wave_window.h"
#include "serial/comm.h"
#include "ui_main_window.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QTimer>

namespace lqs {

// The link stops when the window closes; stopping it here first would leave
// no way to switch the output off when the close asks to.
void TForm1::Exit1Click() {
    close();
}

// A spontaneous close (the close box) is refused while a blocking dialog has
// the main window disabled, as a disabled window cannot be closed.
void TForm1::closeEvent(QCloseEvent* event) {
    if (!m_frameEnabled && event->spontaneous()) {
        event->ignore();
        return;
    }
    // A close while a question of the last one waits is that close's business.
    if (m_closing || m_outputQuestion) {
        event->ignore();
        return;
    }
    // A recording goes only by the operator's choice.
    m_closing = true;
    const bool recordingLetGo = !m_wave || m_wave->confirmClose();
    m_closing = false;
    if (!recordingLetGo) {
        event->ignore();
        return;
    }
    Q_EMIT outputStopping();  // also ends a Start still waiting for its readings
    if (outputOffBeforeClose()) {
        event->ignore();
        return;
    }
    FormClose();
    QMainWindow::closeEvent(event);
    Q_EMIT closed();
}

// True when the operator chose to switch the output off first: the window
// closes once OUT0 has gone out.
bool TForm1::outputOffBeforeClose() {
    if (m_outputAsked || !m_linkedPicture || !m_client->linked() ||
        m_client->output().state != OutputState::On)
        return false;
    m_outputAsked = true;
    // Opened, not run: a second close while it waits must not slip past it.
    auto* box = new QMessageBox(QMessageBox::Question, QCoreApplication::applicationName(),
                                QStringLiteral("The output is on. Switch it off before closing?"),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setObjectName(QStringLiteral("outputOnAtClose"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setDefaultButton(QMessageBox::No);
    m_outputQuestion = box;
    connect(box, &QMessageBox::finished, this, [this, box] {
        m_outputQuestion = nullptr;
        if (box->clickedButton() != box->button(QMessageBox::Yes)) {
            QTimer::singleShot(0, this, &QWidget::close);
            return;
        }
        // Closing the port discards what the line has not carried yet: OUT0
        // takes 6 ms at 9600 baud once the send thread has written it.
        m_client->setOutput(false,
                            [this](bool) { QTimer::singleShot(100, this, &QWidget::close); });
    });
    box->open();
    return true;
}

void TForm1::endOnRequest() {
    saveRecordingQuietly();
    Q_EMIT outputStopping();
    FormClose();
    hide();
    QCoreApplication::exit(0);  // ends any nested loop too
}

void TForm1::saveRecordingQuietly() {
    if (m_wave) m_wave->saveBeforeEnd(false);
}

void TForm1::FormClose() {
    m_client->stop();
    comm1->ClosePort();
}

// The recorder's close ends the program without a question, so an unsaved
// recording is saved first. Should that fail, the close asks; kept open, the
// window is enabled again so the recording can be exported elsewhere.
void TForm1::closeMainWindow() {
    if (m_wave) m_wave->saveBeforeEnd();
    close();
    if (isVisible()) setFrameEnabled(true);
}

}  // namespace lqs
