// "Remote Control": starts and stops the SCPI server and lists its clients.
// Non-modal; it follows the server however it was started (the command line
// too), so it may be opened and closed at any time.
#pragma once

#include <QDialog>
#include <QPointer>

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace lqs {

class ScpiServer;

class RemoteDialog : public QDialog {
    Q_OBJECT
public:
    explicit RemoteDialog(ScpiServer* server, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void startServer();
    void stopServer();
    void showState();
    void showClients();

    QPointer<ScpiServer> m_server;
    QSpinBox* m_port;
    QCheckBox* m_allowOthers;
    QPushButton* m_start;
    QPushButton* m_stop;
    QLabel* m_state;
    QListWidget* m_clients;
    QString m_error;  // why the last start failed, until the next start or stop
};

}  // namespace lqs
