// "Remote Control": starts and stops the SCPI server and lists its clients.
// Non-modal; it follows the server however it was started (the command line
// too), so it may be opened and closed at any time.
#pragma once

#include "remote/listen_address.h"

#include <QDialog>
#include <QPointer>

#include <memory>

namespace lqs {

class ScpiServer;

namespace Ui {
class RemoteDialog;
}

class RemoteDialog : public QDialog {
    Q_OBJECT
public:
    explicit RemoteDialog(ScpiServer* server, QWidget* parent = nullptr);
    ~RemoteDialog() override;

    // The port, scope and allowed addresses offered while the server is stopped.
    void setChoice(quint16 port, bool allowOthers, const AllowList& allow = {});

protected:
    void showEvent(QShowEvent* event) override;

private:
    void startServer();
    void stopServer();
    void showState();
    void showClients();

    std::unique_ptr<Ui::RemoteDialog> ui;
    QPointer<ScpiServer> m_server;
    QString m_error;  // why the last start failed, until the next start or stop
};

}  // namespace lqs
