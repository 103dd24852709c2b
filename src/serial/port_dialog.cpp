#include "serial/port_dialog.h"

#include "ui_port_dialog.h"

#include "common/guarded.h"
#include "serial/comm.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QShowEvent>
#include <QThread>
#include <QTimer>

namespace lqs {

TForm3::TForm3(TComm* comm, QWidget* parent, PortListSources sources)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      ui(new Ui::TForm3),
      m_comm(comm),
      m_sources(std::move(sources)),
      m_relistTimer(new QTimer(this)) {
    // Fixed places at 96 dpi: the port on top, the line format it is opened
    // with below it, the buttons along the bottom. The label sits above the
    // box so that a whole device path fits in its width.
    ui->setupUi(this);
    ui->cbo1->setFocus();

    connect(ui->Button1, &QPushButton::clicked, this, &TForm3::Button1Click);
    connect(ui->Button2, &QPushButton::clicked, this, &TForm3::Button2Click);
    // Every way out (accept, reject, Esc, the close box) ends in done().
    connect(this, &QDialog::finished, this, &TForm3::dialogClosed);

    // udev touches a new node several times, so the changes of a moment are
    // read as one. The timer is not restarted by later changes, so a busy
    // directory still gets a fresh list at its pace.
    m_relistTimer->setSingleShot(true);
    m_relistTimer->setInterval(250);
    connect(m_relistTimer, &QTimer::timeout, this, [this] { relist(true); });
}

TForm3::~TForm3() = default;

QPoint TForm3::centredTopLeft(const QRect& area, const QSize& frame) {
    return {area.x() + (area.width() - frame.width()) / 2,
            area.y() + (area.height() - frame.height()) / 2};
}

QScreen* TForm3::targetScreen() const {
    if (parentWidget() && parentWidget()->screen()) return parentWidget()->screen();
    return QGuiApplication::primaryScreen();
}

void TForm3::showEvent(QShowEvent* event) {
    // A spontaneous show is the window coming back from the task bar, not a new showing.
    if (!event->spontaneous()) {
        if (QScreen* s = targetScreen()) {
            const QSize frameSize = size() + (frameGeometry().size() - geometry().size());
            move(centredTopLeft(s->availableGeometry(), frameSize));
        }
        FormShow();
    }
    QDialog::showEvent(event);
}

void TForm3::hideEvent(QHideEvent* event) {
    if (!event->spontaneous()) {
        m_relistTimer->stop();
        delete m_watcher;
        m_watcher = nullptr;
    }
    QDialog::hideEvent(event);
}

void TForm3::FormShow() {
    // Ports come and go (USB adapters, the simulator), so the list is read afresh.
    relist(false);
    ui->cbo1->setFocus();
}

void TForm3::watchPortDirectories() {
    // An adapter plugged in or pulled out shows in /dev (a simulator in its
    // link directory). Watched only while the dialog is shown, so the
    // program's start-up and the rest of its run spend nothing on it.
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(this);
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
            if (!m_relistTimer->isActive()) m_relistTimer->start();
        });
    }
    const QStringList wanted = portListWatchPaths(m_sources);
    const QStringList watched = m_watcher->directories();
    for (const QString& dir : watched)
        if (!wanted.contains(dir)) m_watcher->removePath(dir);
    for (const QString& dir : wanted)
        if (!watched.contains(dir)) m_watcher->addPath(dir);
}

void TForm3::relist(bool keepChoice) {
    // Watched before the list is read, so no change after the reading is
    // missed; a link directory made meanwhile (a simulator started) is
    // watched itself from now on.
    watchPortDirectories();
    // The item's data is the port's name; its text and tooltip add what the
    // system knows of it.
    QStringList names, lines;
    for (const PortEntry& port : listPortEntries(m_sources)) {
        names << port.name;
        lines << (port.description.isEmpty()
                      ? port.name
                      : port.name + QStringLiteral(" \u2014 ") + port.description);
    }
    // Writes to any node under /dev (even /dev/null) wake the watcher; an
    // unchanged list is left alone so an open drop-down is not disturbed.
    if (keepChoice && ui->cbo1->count() == names.size()) {
        bool same = true;
        for (int i = 0; same && i < ui->cbo1->count(); ++i)
            same =
                ui->cbo1->itemData(i).toString() == names[i] && ui->cbo1->itemText(i) == lines[i];
        if (same) return;
    }
    // A fresh showing starts at the port in use, so OK alone keeps it.
    QString chosen;
    if (keepChoice)
        chosen = ui->cbo1->currentData().toString();
    else if (m_comm->IsOpen())
        chosen = m_comm->CommName();
    else
        chosen = m_preferred;
    ui->cbo1->clear();
    for (int i = 0; i < names.size(); ++i) {
        ui->cbo1->addItem(lines[i], names[i]);
        ui->cbo1->setItemData(i, lines[i], Qt::ToolTipRole);
    }
    const int kept = chosen.isEmpty() ? -1 : ui->cbo1->findData(chosen);
    ui->cbo1->setCurrentIndex(kept >= 0 ? kept : (ui->cbo1->count() > 0 ? 0 : -1));
    // The drop-down may be wider than the box, so long lines are read in full.
    ui->cbo1->view()->setMinimumWidth(ui->cbo1->view()->sizeHintForColumn(0) + 8);
}

void TForm3::Button1Click() {
    const QString name =
        ui->cbo1->currentIndex() >= 0 ? ui->cbo1->currentData().toString() : QString();
    if (!name.isEmpty() && m_linkStands && m_linkStands() && !dropLinkConfirmed(name)) return;
    if (!openPort(name)) return;
    accept();
}

// Opening a port closes the one the link stands on; No leaves both as they are.
bool TForm3::dropLinkConfirmed(const QString& name) {
    QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(),
                    QStringLiteral("The instrument on %1 is linked. Drop the link and open %2?")
                        .arg(m_comm->CommName(), name),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("dropLink"));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

bool TForm3::openPort(const QString& name) {
    const bool ran = runGuarded(this, [this, &name] {
        // Short settling pauses around the close, which some adapters need
        // before the same device is opened again.
        QThread::msleep(10);
        m_comm->ClosePort();
        QThread::msleep(10);
        m_comm->setCommName(name);
        try {
            m_comm->OpenPort();
        } catch (const ECommsError& e) {
            // The component's own text, and under it why and what to do.
            showErrorBox(this, QString::fromUtf8(e.what()), QString::fromStdString(e.detail()));
        }
    });
    // A failed open leaves the port closed.
    if (!ran || !m_comm->IsOpen()) return false;
    Q_EMIT portOpened();
    return true;
}

void TForm3::Button2Click() {
    reject();
}

}  // namespace lqs
