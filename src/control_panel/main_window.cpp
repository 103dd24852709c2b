#include "control_panel/main_window.h"

#include "common/text_fit.h"
#include "control_panel/about_box.h"
#include "control_panel/memory_dialogs.h"
#include "control_panel/messages_box.h"
#include "control_panel/panel_log.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/read_time_dialog.h"
#include "control_panel/remote_control.h"
#include "control_panel/set_point_entry.h"
#include "control_panel/toolbar_icons.h"
#include "control_panel/up_down.h"
#include "control_panel/window_fit.h"
#include "device_link/device_link.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "recorder/setup_dialog.h"
#include "recorder/wave_window.h"
#include "serial/comm.h"
#include "serial/port_dialog.h"
#include "ui_main_window.h"

#include <QApplication>
#include <QScreen>
#include <QThread>
#include <QTimer>

namespace lqs {

Q_LOGGING_CATEGORY(lqsUi, "lqs.ui", QtWarningMsg)

namespace {

constexpr int kToolBarHeight = 25;
constexpr int kStatusBarHeight = 19;

void setPixelFont(QWidget* w, int pixelHeight, bool bold = false) {
    QFont f = w->font();
    f.setPixelSize(pixelHeight);
    if (bold) f.setBold(true);
    w->setFont(f);
}

}  // namespace

TForm1::TForm1(const PortListSources& ports, QWidget* parent, const LinkOptions& options)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                              Qt::WindowMaximizeButtonHint | Qt::CustomizeWindowHint),
      comm1(new TComm(this)),
      link(nullptr),
      ui(std::make_unique<Ui::TForm1>()),
      tmr1(new QTimer(this)),
      m_portSources(ports) {
    ui->setupUi(this);
    setWindowTitle(programCaption());
    comm1->setObjectName(QStringLiteral("comm1"));
    // The main window's port: 9600 8N1 without flow control, DTR and RTS on.
    comm1->setCommName(QStringLiteral("COM1"));
    comm1->setOutx_XonXoffFlow(false);
    comm1->setInx_XonXoffFlow(false);
    tmr1->setObjectName(QStringLiteral("tmr1"));

    Beep = [](int, int) { QApplication::beep(); };

    // The link: an actor in a thread of its own, which hears its line there.
    const LinkSetup setup = options.setup ? *options.setup : LinkSetup();
    LinkPort* port = options.port;
    if (!port) {
        m_commPort = std::make_unique<CommLinkPort>(comm1);
        port = m_commPort.get();
    }
    link = new DeviceLink(port, setup);
    if (!options.port) {
        DeviceLink* l = link;
        comm1->OnReceiveData = [l](TComm*, void* buffer, std::uint16_t length) {
            l->receive(static_cast<const char*>(buffer), length);
        };
        // Raised when the receive or send thread finds the device gone.
        comm1->OnRequestHangup = [l](TComm*) { l->hangUp(); };
    }
    if (options.ownThread) {
        m_linkThread = new QThread(this);
        m_linkThread->setObjectName(QStringLiteral("link"));
        link->moveToThread(m_linkThread);
        if (!options.port) comm1->deliverNoticesIn(m_linkThread);
        m_linkThread->start();
    } else {
        link->setParent(this);
    }
    m_client = new LinkClient(link, setup.timings, this);

    m_seriesItems[0] = ui->LQS6200A1;
    m_seriesItems[1] = ui->LQS6200B1;
    m_seriesItems[2] = ui->LQS6500B1;
    setUpToolBar();
    setUpPanel();
    buildStatusBar();
    // The panel's designed size is the least; the window may grow, or scroll it.
    boldWhenChecked({ui->RadioButton1, ui->RadioButton2, ui->RadioButton3});
    fitTexts(ui->Panel1);
    fitToScreen(this, ui->frameArea, ui->Panel1->size());

    connectLink();
    connectActions();
    connectGuard();
    // Set-point entry and stepping: the key filter, Enter, the arrows and tmr1.
    auto* entry = new SetPointEntry({ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8},
                                    {ui->UpDown1, ui->UpDown2, ui->UpDown3, ui->UpDown4}, tmr1,
                                    m_client, this);
    entry->ShowPrompt = [this](const QString& text) { setStatusText(2, text); };
    entry->ShowNote = [this](const QString& text) { noteInLinkPanel(text); };
    m_entry = entry;
    m_remote = new RemoteControl(this);
    connect(ui->RemoteControl1, &QAction::triggered, m_remote, &RemoteControl::showDialog);
    FormCreate();
    makeDialogs(ports);
    connectDialogs();
}

// The port closes first, so nothing more reaches the link; the link goes in
// its own thread, before the thread ends.
TForm1::~TForm1() {
    comm1->ClosePort();
    comm1->OnReceiveData = nullptr;
    comm1->OnRequestHangup = nullptr;
    if (m_linkThread) {
        DeviceLink* l = link;
        QMetaObject::invokeMethod(
            l, [l] { delete l; }, Qt::QueuedConnection);
        m_linkThread->quit();
        m_linkThread->wait();
    } else {
        delete link;
    }
    link = nullptr;
}

void TForm1::makeDialogs(const PortListSources& ports) {
    m_windows.Querying = new TQuerying(this);
    m_windows.save = new Tsave(this);
    m_windows.recall = new Trecall(this);
    m_windows.Form2 = new TForm2(this);
    m_windows.Messages = new TMessages(this);
    m_windows.Form3 = new TForm3(comm1, this, ports);
    m_windows.Frm_Setup = new TFrm_Setup(this);
    m_windows.Form_ReadTime = new TForm_ReadTime(this);
}

void TForm1::connectDialogs() {
    TQuerying* q = m_windows.Querying;
    // While the querying dialog is up the main window is disabled.
    connect(m_client, &LinkClient::queryingShown, q, [this, q] {
        setFrameEnabled(false);
        q->show();
        q->raise();
    });
    connect(m_client, &LinkClient::queryingProgress, q, [q](int position, int seconds) {
        q->showProgress(position, seconds < 0
                                      ? QString()
                                      : QStringLiteral("Remaining %1 seconds!").arg(seconds));
    });
    connect(m_client, &LinkClient::queryingCloseRequested, q, [this, q] {
        if (q->isVisible()) q->close();
        if (!m_windows.Messages->isVisible()) setFrameEnabled(true);
    });
    connect(q, &TQuerying::dialogClosed, this, [this] {
        m_client->queryingClosed();
        setFrameEnabled(true);
    });

    TMessages* m = m_windows.Messages;
    connect(m_client, &LinkClient::timedOut, m, [this, m] {
        m->show();
        m->raise();
        setFrameEnabled(false);
    });
    connect(m, &TMessages::dialogClosed, this, &TForm1::noAnswer);

    connect(m_windows.save, &Tsave::slotChosen, this,
            [this](const QString& slot) { saveMemorySlot(slot); });
    connect(m_windows.recall, &Trecall::slotChosen, this,
            [this](const QString& slot) { recallMemorySlot(slot); });
    connect(m_windows.Form3, &TForm3::portOpened, this, [this] {
        // The port was closed and opened again: the link that stood is gone.
        if (m_linkedPicture) {
            m_client->stop();
            standDown(QStringLiteral("Not linked: press Link to read the instrument on %1")
                          .arg(comm1->CommName()));
        }
        m_silentPort.clear();
        stopWatchingLostPort();
        ui->ToolButton1->setEnabled(true);
        setStatusText(0, QStringLiteral("Please Link..."));
    });
    m_windows.Form3->setLinkStands([this] { return m_linkedPicture; });
    const auto enableFrame = [this] { setFrameEnabled(true); };
    connect(m_windows.Form3, &TForm3::dialogClosed, this, enableFrame);
    connect(m_windows.Form2, &TForm2::dialogClosed, this, enableFrame);
    connect(m_windows.save, &Tsave::dialogClosed, this, enableFrame);
    connect(m_windows.recall, &Trecall::dialogClosed, this, enableFrame);
}

void TForm1::connectActions() {
    connect(ui->FastReadings1, &QAction::toggled, this, [this](bool on) {
        m_client->setFastReadings(on);
        applyFastChoice();
    });
    connect(ui->Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
    connect(ui->LQS6200A1, &QAction::triggered, this, &TForm1::LQS6200A1Click);
    connect(ui->LQS6200B1, &QAction::triggered, this, &TForm1::LQS6200B1Click);
    connect(ui->LQS6500B1, &QAction::triggered, this, &TForm1::LQS6500B1Click);
    connect(ui->SaveMemory1, &QAction::triggered, this, &TForm1::SaveMemory1Click);
    connect(ui->RecallMemory1, &QAction::triggered, this, &TForm1::RecallMemory1Click);
    connect(ui->ReadTime1, &QAction::triggered, this, &TForm1::ReadTime1Click);
    connect(ui->OutPut1, &QAction::triggered, this, &TForm1::OutPut1Click);
    connect(ui->Start1, &QAction::triggered, this,
            [this] { ensureWaveWindow()->Btn_StartClick(); });
    // The operator's Stop, as if on the recorder's own button.
    connect(ui->Stop1, &QAction::triggered, this, [this] { ensureWaveWindow()->Btn_StopClick(); });
    connect(ui->Setup1, &QAction::triggered, this,
            [this] { ensureWaveWindow()->Btn_SetupClick(); });
    connect(ui->Save1, &QAction::triggered, this, [this] { ensureWaveWindow()->btn_SaveClick(); });
    connect(ui->Load1, &QAction::triggered, this, [this] { ensureWaveWindow()->btn_LoadClick(); });
    connect(ui->Control1, &QAction::triggered, this, &TForm1::Control1Click);
    connect(ui->Wave1, &QAction::triggered, this, &TForm1::Wave1Click);
    connect(ui->Readings1, &QAction::triggered, this, &TForm1::Readings1Click);
    connect(ui->Events1, &QAction::triggered, this, &TForm1::Events1Click);
    connect(ui->oolbar1, &QAction::triggered, this, &TForm1::oolbar1Click);
    connect(ui->StatusBar2, &QAction::triggered, this, &TForm1::StatusBar2Click);
    connect(ui->About1, &QAction::triggered, this, &TForm1::About1Click);

    connect(ui->ToolButton1, &QAction::triggered, this, &TForm1::ToolButton1Click);
    connect(ui->ToolButton3, &QAction::triggered, this, &TForm1::ToolButton3Click);
    connect(ui->btn5, &QAction::triggered, this, &TForm1::btn5Click);
    connect(ui->ToolButton2, &QAction::triggered, this, &TForm1::About1Click);
    // The Interface menu's items act through the buttons, and only when they can.
    for (const auto& [item, button] :
         {std::pair{ui->Port1, ui->ToolButton3}, std::pair{ui->Link1, ui->ToolButton1}}) {
        item->setEnabled(button->isEnabled());
        connect(button, &QAction::enabledChanged, item, &QAction::setEnabled);
        connect(item, &QAction::triggered, button, &QAction::trigger);
    }

    connect(ui->BitBtn4, &QPushButton::clicked, this, &TForm1::BitBtn4Click);
    connect(ui->BitBtn5, &QPushButton::clicked, this, &TForm1::BitBtn5Click);
    connect(ui->BitBtn6, &QPushButton::clicked, this, &TForm1::BitBtn6Click);
    // toggled fires for selection from code too, which must act as a click does.
    connect(ui->RadioButton1, &QRadioButton::toggled, this, [this](bool on) {
        if (on) RadioButton1Click();
    });
    connect(ui->RadioButton2, &QRadioButton::toggled, this, [this](bool on) {
        if (on) RadioButton2Click();
    });
    connect(ui->RadioButton3, &QRadioButton::toggled, this, [this](bool on) {
        if (on) RadioButton3Click();
    });
}

void TForm1::setUpToolBar() {
    // Set here: the height a .ui gives a toolbar does not hold.
    ui->ToolBar1->setFixedHeight(kToolBarHeight);
    const std::pair<QAction*, QIcon> pictures[] = {
        {ui->ToolButton1, icons::notLinked()}, {ui->ToolButton3, icons::port()},
        {ui->btn1, icons::panel(0)},           {ui->btn2, icons::panel(1)},
        {ui->btn3, icons::clock(false)},       {ui->btn4, icons::clock(true)},
        {ui->btn5, icons::running()},          {ui->btn7, icons::circularArrows()},
        {ui->btn8, icons::pointingHand()},     {ui->ToolButton2, icons::questionMark()}};
    for (const auto& [action, icon] : pictures) action->setIcon(icon);
    // The buttons show pictures only; the accessible name says what each is for.
    const std::pair<QAction*, const char*> functions[] = {
        {ui->ToolButton1, "Link"},       {ui->ToolButton3, "Port"}, {ui->btn1, "Panel view"},
        {ui->btn2, "Second panel view"}, {ui->btn3, "Timer"},       {ui->btn4, "Second timer"},
        {ui->btn5, "Output on or off"},  {ui->btn7, "Repeat"},      {ui->btn8, "Pointer"},
        {ui->ToolButton2, "About"}};
    for (const auto& [action, function] : functions) {
        if (QWidget* w = ui->ToolBar1->widgetForAction(action)) {
            w->setFixedSize(25, kToolBarHeight - 2);
            w->setAccessibleName(QString::fromLatin1(function));
        }
    }

    // A disabled button says why instead of what it does.
    const auto whyDisabled = [](QAction* a, const QString& why) {
        const QString what = a->toolTip();
        const auto setTip = [a, what, why] { a->setToolTip(a->isEnabled() ? what : why); };
        setTip();
        QObject::connect(a, &QAction::enabledChanged, a, setTip);
    };
    whyDisabled(ui->ToolButton1, QStringLiteral("Pick a port first"));
    whyDisabled(ui->btn5, QStringLiteral("Link to the instrument first"));
    for (QAction* a : {ui->btn1, ui->btn2, ui->btn3, ui->btn4, ui->btn7, ui->btn8})
        whyDisabled(a, QStringLiteral("%1 is not available in this program").arg(a->toolTip()));
}

void TForm1::setUpPanel() {
    // Pixel heights, whatever the screen's resolution.
    for (QLineEdit* e : {ui->Edit1, ui->Edit2, ui->Edit3, ui->Edit4}) setPixelFont(e, 25);
    for (QLineEdit* e : {ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8}) setPixelFont(e, 13);
    setPixelFont(ui->BitBtn4, 18, true);
    // The labels keep the layout's size at 96 dpi, or more when the font in use needs it.
    for (QLabel* l : ui->Panel1->findChildren<QLabel*>()) {
        if (!l->text().isEmpty()) l->resize(l->size().expandedTo(l->sizeHint()));
    }
    // Constant current or constant voltage, judged from the readings; ours.
    m_modeLabels[0] = ui->ModeLabel1;
    m_modeLabels[1] = ui->ModeLabel2;
}

void TForm1::buildStatusBar() {
    QStatusBar* bar = ui->StatusBar1;
    bar->setFixedHeight(kStatusBarHeight);  // until the panels' fonts say more
    // Each panel keeps its width of the 96-dpi layout unless a text it carries
    // needs more in the font in use.
    const int widths[3] = {160, 100, 100};
    const QStringList texts[3] = {
        {QStringLiteral("Please Config RS232 COM!"), QStringLiteral("Please Link...")},
        {QStringLiteral("TRACK \u51FA\u9519\u91CD\u53D1!")},
        {QStringLiteral("Please press Enter key!"), QStringLiteral("\u8F93\u51FA \u51FA\u9519")}};
    int textHeight = 0;
    for (int i = 0; i < 3; ++i) {
        m_panels[i] = new QLabel(bar);
        m_panels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        m_panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        const QFontMetrics fm(m_panels[i]->font());
        const int frame = 2 * m_panels[i]->frameWidth();
        int width = widths[i];
        for (const QString& text : texts[i])
            width = qMax(width, fm.horizontalAdvance(text) + frame + 4);
        m_panels[i]->setFixedWidth(width);
        textHeight = qMax(textHeight, fm.height() + frame);
        bar->addWidget(m_panels[i]);
    }
    m_linkPanel = new QLabel(bar);
    m_linkPanel->setObjectName(QStringLiteral("LinkPanel"));
    m_linkPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    bar->addWidget(m_linkPanel, 1);
    // The bar keeps 3 pixels above its items and 2 below.
    bar->setFixedHeight(qMax(kStatusBarHeight, textHeight + 5));
}

QString TForm1::statusText(int panel) const {
    return panel >= 0 && panel < 3 ? m_panels[panel]->text() : QString();
}

void TForm1::setStatusText(int panel, const QString& text) {
    if (panel >= 0 && panel < 3) m_panels[panel]->setText(text);
}

void TForm1::setFrameEnabled(bool enabled) {
    m_frameEnabled = enabled;
    menuBar()->setEnabled(enabled);
    ui->ToolBar1->setEnabled(enabled);
    ui->frameArea->setEnabled(enabled);
    ui->StatusBar1->setEnabled(enabled);
}

bool TForm1::panelEnabled() const {
    return !ui->Panel1->testAttribute(Qt::WA_ForceDisabled);
}

void TForm1::showBlocking(QWidget* dialog) {
    if (!dialog) return;
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    setFrameEnabled(false);
}

void TForm1::FormCreate() {
    setSendingEnabled(false);
    ui->ToolButton1->setEnabled(false);
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_shownOnce) return;
    m_shownOnce = true;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    FormShow();
}

void TForm1::FormShow() {
    InitialiseModel();
    if (Beep) Beep(2600, 100);
    setStatusText(0, QStringLiteral("Please Config RS232 COM!"));
}

void TForm1::SaveMemory1Click() {
    if (panelEnabled()) ui->BitBtn5->click();
}

void TForm1::RecallMemory1Click() {
    if (panelEnabled()) ui->BitBtn6->click();
}

void TForm1::BitBtn5Click() {
    showBlocking(m_windows.save);
}
void TForm1::BitBtn6Click() {
    showBlocking(m_windows.recall);
}

void TForm1::ReadTime1Click() {
    m_windows.Form_ReadTime->exec();
}

void TForm1::OutPut1Click() {
    ui->BitBtn4->click();
}

void TForm1::btn5Click() {
    if (panelEnabled()) ui->BitBtn4->click();
}

TForm_Wave* TForm1::ensureWaveWindow() {
    if (!m_wave) {
        m_wave = new TForm_Wave(this, ui->frameArea);
        m_wave->StartupSetup = m_windows.Frm_Setup;
        m_wave->setFastReadings(m_fastEffective);
        connect(this, &TForm1::outputStopping, m_wave, &TForm_Wave::outputStopping);
        connect(this, &TForm1::fastReadingsChanged, m_wave, &TForm_Wave::setFastReadings);
        connect(this, &TForm1::readingArrived, m_wave, &TForm_Wave::takeReading);
        connect(this, &TForm1::readingTimed, m_wave, &TForm_Wave::keepReading);
        m_wave->setGeometry(ui->frameArea->rect());  // shown maximized in the frame
        m_wave->show();
        ui->Panel1->raise();
        Q_EMIT recorderMade(m_wave);
    }
    return m_wave;
}

void TForm1::Control1Click() {
    ui->Panel1->show();
}

void TForm1::logEvent(const QString& what, EventSource who) {
    m_events->add(QDateTime::currentDateTime(), what, who);
}

void TForm1::Events1Click() {
    if (!m_eventsWindow) m_eventsWindow = new EventsWindow(m_events, this);
    m_eventsWindow->show();
    m_eventsWindow->raise();
    m_eventsWindow->activateWindow();
}

void TForm1::Readings1Click() {
    ensureWaveWindow()->showReadings();
}

void TForm1::Wave1Click() {
    ensureWaveWindow()->show();
    ui->Panel1->hide();
}

void TForm1::oolbar1Click() {
    const bool show = !ui->ToolBar1->isVisible();
    ui->ToolBar1->setVisible(show);
    ui->oolbar1->setText(show ? QStringLiteral("\u221AToolbar") : QStringLiteral("  Toolbar"));
}

void TForm1::StatusBar2Click() {
    const bool show = !ui->StatusBar1->isVisible();
    ui->StatusBar1->setVisible(show);
    ui->StatusBar2->setText(show ? QStringLiteral("\u221AStatus Bar")
                                 : QStringLiteral("  Status Bar"));
}

void TForm1::About1Click() {
    showBlocking(m_windows.Form2);
}

void TForm1::ToolButton3Click() {
    showBlocking(m_windows.Form3);
}

void TForm1::setLinkText(const QString& text) {
    if (text != m_linkText) logEvent(text);
    showLinkText(text);
}

void TForm1::showLinkText(const QString& text) {
    m_linkText = text;
    QString shown = text;
    const QString guard = guardNote();
    if (!guard.isEmpty()) shown = shown.isEmpty() ? guard : shown + QStringLiteral(" | ") + guard;
    if (!m_remoteNote.isEmpty())
        shown = shown.isEmpty() ? m_remoteNote : shown + QStringLiteral(" | ") + m_remoteNote;
    qCInfo(lqsUi).noquote() << "link panel:" << shown;
    m_linkPanel->setText(shown);
    m_linkPanel->setToolTip(shown);
}

void TForm1::setRemoteNote(const QString& note) {
    if (note != m_remoteNote) logEvent(note);
    m_remoteNote = note;
    setLinkText(m_linkText);
}

void TForm1::setLinkedPicture(bool linked) {
    ui->ToolButton1->setIcon(linked ? icons::linked() : icons::notLinked());
    m_linkedPicture = linked;
}

void TForm1::showControlPanel() {
    ui->Panel1->show();
}

// The button reads where the output goes: pressed while it reads ON (or
// while nobody knows), it switches off; while it reads OFF, on.
void TForm1::BitBtn4Click() {
    setOutput(m_client->output().target == OutputState::Off);
}

// No link stands: nothing that sends is offered until the next Link, so no
// value can be entered that never reaches the instrument.
void TForm1::standDown(const QString& linkText) {
    setSendingEnabled(false);
    setLinkedPicture(false);
    if (!linkText.isEmpty()) setLinkText(linkText);
}

// The panel and the menus and tool buttons that stand for its buttons, so no
// menu is offered that would do nothing.
void TForm1::setSendingEnabled(bool enabled) {
    ui->Panel1->setEnabled(enabled);
    for (QAction* a : {ui->OutPut1, ui->btn5, ui->SaveMemory1, ui->RecallMemory1})
        a->setEnabled(enabled);
}

// What the link's sequences do without a word, said after the link's own text.
void TForm1::noteInLinkPanel(const QString& note) {
    logEvent(note);
    const QString text = m_linkText;
    const qsizetype cut = text.indexOf(QStringLiteral("; "));
    showLinkText((cut < 0 ? text : text.left(cut)) + QStringLiteral("; ") + note);
}

}  // namespace lqs
