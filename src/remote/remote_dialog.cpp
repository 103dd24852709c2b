#include "remote/remote_dialog.h"

#include "ui_remote_dialog.h"

#include "remote/scpi_server.h"

namespace lqs {

RemoteDialog::RemoteDialog(ScpiServer* server, QWidget* parent)
    : QDialog(parent), ui(new Ui::RemoteDialog), m_server(server) {
    ui->setupUi(this);

    connect(ui->StartButton, &QPushButton::clicked, this, &RemoteDialog::startServer);
    connect(ui->StopButton, &QPushButton::clicked, this, &RemoteDialog::stopServer);
    connect(ui->AllowOthers, &QCheckBox::toggled, this, &RemoteDialog::showState);
    if (m_server) {
        connect(m_server, &ScpiServer::runningChanged, this, &RemoteDialog::showState);
        connect(m_server, &ScpiServer::clientsChanged, this, &RemoteDialog::showClients);
    }
    showState();
    showClients();
}

RemoteDialog::~RemoteDialog() = default;

void RemoteDialog::setChoice(quint16 port, bool allowOthers, const AllowList& allow) {
    if (m_server && m_server->running()) return;
    ui->PortSpin->setValue(port);
    ui->AllowOthers->setChecked(allowOthers);
    ui->AllowList->setText(allowListText(allow));
}

void RemoteDialog::showEvent(QShowEvent* event) {
    showState();
    showClients();
    QDialog::showEvent(event);
}

void RemoteDialog::startServer() {
    if (!m_server) return;
    AllowList allow;
    QString error;
    if (ui->AllowOthers->isChecked() && !parseAllowList(ui->AllowList->text(), &allow, &error)) {
        m_error = QStringLiteral("Only from: %1").arg(error);
        showState();
        return;
    }
    // Set before listening, so no one outside it gets in between.
    m_server->setAllowList(allow);
    m_error = m_server->start(static_cast<quint16>(ui->PortSpin->value()),
                              ui->AllowOthers->isChecked(), &error)
                  ? QString()
                  : error;
    showState();
}

void RemoteDialog::stopServer() {
    m_error.clear();
    if (m_server) m_server->stop();
    showState();
}

void RemoteDialog::showState() {
    const bool running = m_server && m_server->running();
    if (running) {
        m_error.clear();
        ui->PortSpin->setValue(m_server->port());
        ui->AllowOthers->setChecked(!m_server->loopbackOnly());
        ui->AllowList->setText(allowListText(m_server->allowList()));
        ui->StateLabel->setText(
            QStringLiteral("Listening on %1").arg(m_server->listeningAddresses()));
    } else {
        ui->StateLabel->setText(m_error.isEmpty() ? QStringLiteral("Stopped") : m_error);
    }
    ui->PortSpin->setEnabled(!running);
    ui->AllowOthers->setEnabled(!running);
    ui->AllowList->setEnabled(!running && ui->AllowOthers->isChecked());
    ui->StartButton->setEnabled(!running && m_server);
    ui->StopButton->setEnabled(running);
}

void RemoteDialog::showClients() {
    ui->ClientList->clear();
    if (m_server) ui->ClientList->addItems(m_server->clientNames());
}

}  // namespace lqs
