#include "remote/remote_dialog.h"

#include "remote/scpi_server.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace lqs {

RemoteDialog::RemoteDialog(ScpiServer* server, QWidget* parent)
    : QDialog(parent),
      m_server(server),
      m_port(new QSpinBox(this)),
      m_allowOthers(new QCheckBox(QStringLiteral("Allow connections from other computers"), this)),
      m_start(new QPushButton(QStringLiteral("Start"), this)),
      m_stop(new QPushButton(QStringLiteral("Stop"), this)),
      m_state(new QLabel(this)),
      m_clients(new QListWidget(this)) {
    setObjectName(QStringLiteral("RemoteControl"));
    setWindowTitle(QStringLiteral("Remote Control"));
    setModal(false);
    m_port->setObjectName(QStringLiteral("PortSpin"));
    m_allowOthers->setObjectName(QStringLiteral("AllowOthers"));
    m_start->setObjectName(QStringLiteral("StartButton"));
    m_stop->setObjectName(QStringLiteral("StopButton"));
    m_state->setObjectName(QStringLiteral("StateLabel"));
    m_clients->setObjectName(QStringLiteral("ClientList"));

    m_port->setRange(1, 65535);
    m_port->setValue(5025);
    m_allowOthers->setToolTip(QStringLiteral(
        "Anyone who can reach this computer may then set the outputs: there is no password."));
    m_state->setWordWrap(true);
    m_state->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_start->setAutoDefault(false);
    m_stop->setAutoDefault(false);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("TCP port:"), m_port);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_start);
    buttons->addWidget(m_stop);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_allowOthers);
    layout->addLayout(buttons);
    layout->addWidget(m_state);
    layout->addWidget(new QLabel(QStringLiteral("Connected clients:"), this));
    layout->addWidget(m_clients);

    connect(m_start, &QPushButton::clicked, this, &RemoteDialog::startServer);
    connect(m_stop, &QPushButton::clicked, this, &RemoteDialog::stopServer);
    if (m_server) {
        connect(m_server, &ScpiServer::runningChanged, this, &RemoteDialog::showState);
        connect(m_server, &ScpiServer::clientsChanged, this, &RemoteDialog::showClients);
    }
    showState();
    showClients();
}

void RemoteDialog::showEvent(QShowEvent* event) {
    showState();
    showClients();
    QDialog::showEvent(event);
}

void RemoteDialog::startServer() {
    if (!m_server) return;
    QString error;
    m_error =
        m_server->start(static_cast<quint16>(m_port->value()), m_allowOthers->isChecked(), &error)
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
        m_port->setValue(m_server->port());
        m_allowOthers->setChecked(!m_server->loopbackOnly());
        m_state->setText(QStringLiteral("Listening on %1").arg(m_server->listeningText()));
    } else {
        m_state->setText(m_error.isEmpty() ? QStringLiteral("Stopped") : m_error);
    }
    m_port->setEnabled(!running);
    m_allowOthers->setEnabled(!running);
    m_start->setEnabled(!running && m_server);
    m_stop->setEnabled(running);
}

void RemoteDialog::showClients() {
    m_clients->clear();
    if (m_server) m_clients->addItems(m_server->clientNames());
}

}  // namespace lqs
