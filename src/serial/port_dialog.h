// "Config RS232": picks the serial port and opens it on the main window's TComm.
#pragma once

#include "serial/port_list.h"

#include <QDialog>

#include <functional>
#include <memory>

class QFileSystemWatcher;
class QScreen;
class QTimer;

namespace lqs {

class TComm;

namespace Ui {
class TForm3;
}

class TForm3 : public QDialog {
    Q_OBJECT
public:
    // comm belongs to the caller and must outlive the dialog. The dialog is
    // made once and shown with show() each time it is needed.
    explicit TForm3(TComm* comm, QWidget* parent = nullptr, PortListSources sources = {});
    ~TForm3() override;

    // Top-left corner that centres a frame of the given size in area.
    static QPoint centredTopLeft(const QRect& area, const QSize& frame);

    // Opens name as OK does with it chosen (--port); an error box says why it could not.
    bool openPort(const QString& name);
    // Whether a link stands on the open port: OK asks before it drops it.
    void setLinkStands(std::function<bool()> linkStands) { m_linkStands = std::move(linkStands); }
    // Chosen at a showing while no port is open, when it is listed (the port last used).
    void setPreferredPort(const QString& name) { m_preferred = name; }

Q_SIGNALS:
    // The port is open on the chosen device; the dialog is closing.
    void portOpened();
    // Sent however the dialog goes away: OK, Cancel, the close box or Esc.
    void dialogClosed();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void FormShow();
    // Reads the ports again; the chosen one stays chosen while it is listed,
    // and without keepChoice the open port is chosen when it is listed.
    void relist(bool keepChoice);
    void watchPortDirectories();
    void Button1Click();
    void Button2Click();
    bool dropLinkConfirmed(const QString& name);
    QScreen* targetScreen() const;

    std::unique_ptr<Ui::TForm3> ui;
    TComm* m_comm;
    PortListSources m_sources;
    QFileSystemWatcher* m_watcher = nullptr;  // only while shown
    QTimer* m_relistTimer;
    std::function<bool()> m_linkStands;
    QString m_preferred;
};

}  // namespace lqs
