#include "control_panel/main_window.h"

#include "common/error_box.h"
#include "control_panel/port_return_watch.h"
#include "control_panel/readings_model.h"
#include "control_panel/set_point_entry.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "serial/comm.h"
#include "ui_main_window.h"

#include <QMessageBox>

namespace lqs {

void TForm1::ToolButton1Click() {
    if (ConfirmReset) {
        if (ConfirmReset()) startLink();
        return;
    }
    if (m_resetQuestion) return;
    // Opened, not run: the link, the port and the close go on while it waits.
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Querying"),
                                QStringLiteral("Do you Reset?"),
                                QMessageBox::Ok | QMessageBox::Cancel, this);
    box->setObjectName(QStringLiteral("resetQuestion"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_resetQuestion = box;
    connect(box, &QMessageBox::finished, this, [this, box] {
        m_resetQuestion = nullptr;
        // The port may have gone while the question waited.
        if (box->clickedButton() == box->button(QMessageBox::Ok) && ui->ToolButton1->isEnabled() &&
            comm1->IsOpen())
            startLink();
    });
    box->open();
}

void TForm1::startLink() {
    if (!reopenSilentPort(nullptr)) return;
    stopWatchingLostPort();
    m_channel2Own.reset();
    m_linkedAdapter = usbAdapterIdentity(comm1->CommName(), m_portSources);
    setStatusText(1, QString());
    setLinkedPicture(true);
    setSendingEnabled(true);
    setLinkText(QString());
    m_client->link(comm1->CommName());
    setStatusText(0, QString());
    ui->Record1->setEnabled(true);
}

// After a hang-up the operator is offered the link when the instrument is back.
void TForm1::watchLostPort() {
    stopWatchingLostPort();
    if (m_lostPort.isEmpty()) return;
    m_portWatch = new PortReturnWatch(m_lostPort, m_linkedAdapter, m_portSources, this);
    connect(m_portWatch, &PortReturnWatch::back, this, &TForm1::offerPortBack);
}

void TForm1::stopWatchingLostPort() {
    delete m_portWatch;
    m_portWatch = nullptr;
    if (m_backQuestion) m_backQuestion->close();
}

void TForm1::offerPortBack(const QString& port) {
    if (m_backQuestion || comm1->IsOpen()) return;
    setLinkText(QStringLiteral("The instrument is back on %1.").arg(port));
    auto* box =
        new QMessageBox(QMessageBox::Question, QCoreApplication::applicationName(),
                        QStringLiteral("The instrument is back on %1. Link again?").arg(port),
                        QMessageBox::Yes | QMessageBox::No, this);
    box->setObjectName(QStringLiteral("portBack"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_backQuestion = box;
    connect(box, &QMessageBox::finished, this, [this, box, port] {
        if (box->clickedButton() != box->button(QMessageBox::Yes)) return;
        m_backQuestion = nullptr;
        stopWatchingLostPort();
        comm1->setCommName(port);
        try {
            comm1->OpenPort();
        } catch (const ECommsError& e) {
            showErrorBox(this, QString::fromUtf8(e.what()), QString::fromStdString(e.detail()));
            return;
        }
        ui->ToolButton1->setEnabled(true);
        startLink();
    });
    box->open();
}

void TForm1::connectLink() {
    LinkClient* c = m_client;
    connect(c, &LinkClient::readingTaken, this, &TForm1::showReading);
    connect(c, &LinkClient::readingsCleared, this, &TForm1::clearReadings);
    connect(c, &LinkClient::setPointRead, this, [this](int channel, Quantity q, const QString& t) {
        // A reply never overwrites what the operator is typing: Enter would send a mix.
        const int number = readingField(channel, q) + 4;
        if (!m_entry->typing(number)) setFieldText(number, t);
    });
    connect(c, &LinkClient::outputChanged, this, &TForm1::showOutput);
    connect(c, &LinkClient::couplingChanged, this, [this](Coupling got) { showCoupling(got); });
    connect(c, &LinkClient::couplingStatusUnreadable, this, [this](bool unreadable) {
        setStatusText(1, unreadable ? QStringLiteral("TRACK 出错重发!") : QString());
    });
    connect(c, &LinkClient::outputStatusUnreadable, this, [this](bool unreadable) {
        setStatusText(2, unreadable ? QStringLiteral("输出 出错") : QString());
    });
    connect(c, &LinkClient::frameRefused, this, &TForm1::showSendFailed);
    connect(c, &LinkClient::conversionFailed, this, &TForm1::showConversionError);
    connect(c, &LinkClient::readingsStale, this, &TForm1::showReadingsStale);
    connect(c, &LinkClient::readingsFresh, this, &TForm1::showReadingsFresh);
    connect(c, &LinkClient::readingAged, this, &TForm1::showReadingAged);
    connect(c, &LinkClient::setPointNotHeld, this,
            [this](int channel, Quantity q, const QString& holds, const QString& sent) {
                showSetPointNotHeld(readingField(channel, q) + 4, holds, sent);
            });
    connect(c, &LinkClient::linkedTo, this, [this] {
        const EventSource was = setNoteSource(EventSource::Instrument);
        adoptIdentityModel();
        setLinkText(linkedText());
        setNoteSource(was);
    });
    connect(c, &LinkClient::fastStatsChanged, this, &TForm1::showFastStats);
    connect(c, &LinkClient::lineLost, this, &TForm1::lineLost);
    showOutput(c->output());
}

QString TForm1::linkedText() const {
    const QString identity = m_client->identity();
    const QString port = comm1->CommName();
    if (identity.isEmpty()) return QStringLiteral("Linked: %1").arg(port);
    QString text = QStringLiteral("Linked: %1 \u2014 %2").arg(port, identity);
    if (!m_identityModelNote.isEmpty()) return text + QStringLiteral("; ") + m_identityModelNote;
    // The operator chose another model than the identity names: where to choose it.
    const int named = modelFromIdentity(identity);
    if (named != 0 && named != m_model)
        text += QStringLiteral("; the instrument is an %1: choose it under Interface > Series")
                    .arg(QLatin1String(modelProfile(named)->name));
    return text;
}

// The last word before giving up is shown even though the countdown has begun.
void TForm1::showFastStats(const FastStats& stats, const QString& note, bool givenUp) {
    if (!m_client->fastReadings() && !m_client->guardArmed()) return;
    if (!givenUp && m_client->mode() != LinkMode::FastReadings) return;
    QString text = QStringLiteral("Linked: %1 \u2014 %2 readings/s, %3 ms per reply")
                       .arg(comm1->CommName())
                       .arg(stats.readingsPerSecond, 0, 'f', 1)
                       .arg(qRound(stats.replyMs));
    if (!note.isEmpty()) text += QStringLiteral("; ") + note;
    setLinkText(text);
}

// The port is closed from the event loop, not inside the component's own notice.
void TForm1::lineLost() {
    m_silentPort.clear();
    logEvent(QStringLiteral("Line lost: %1").arg(comm1->CommName()), EventSource::Instrument);
    setLinkText(QStringLiteral("Line lost: %1").arg(comm1->CommName()));
    setLinkedPicture(false);
    m_lostPort = comm1->CommName();
    comm1->ClosePort();
    standDown(QString());
    ui->ToolButton1->setEnabled(false);  // until a port is open again
    setStatusText(0, QStringLiteral("Please Config RS232 COM!"));
    watchLostPort();
    showGuardDown(LinkMode::LineLost);
}

// The link's boxes open from the event loop and do not wait: the link goes
// on meanwhile, and a second one is not stacked on the first.
void TForm1::showSendFailed() {
    if (m_linkBox) return;
    auto* box = new QMessageBox(QMessageBox::Critical, QCoreApplication::applicationName(),
                                QStringLiteral("发送失败 !"), QMessageBox::Yes, this);
    box->setObjectName(QStringLiteral("sendFailed"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_linkBox = box;
    box->open();
}

void TForm1::showConversionError(const QString& message) {
    if (m_linkBox) return;
    QMessageBox* box = openErrorBox(this, message);
    if (!box) return;
    m_linkBox = box;
}

}  // namespace lqs
