#include "control_panel/main_window.h"

#include "common/convert.h"
#include "common/error_box.h"
#include "control_panel/about_box.h"
#include "control_panel/memory_dialogs.h"
#include "control_panel/messages_box.h"
#include "control_panel/panel_log.h"
#include "control_panel/protection_dialog.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/read_time_dialog.h"
#include "control_panel/remote_control.h"
#include "control_panel/sequence_editor.h"
#include "control_panel/set_point_entry.h"
#include "control_panel/toolbar_icons.h"
#include "control_panel/up_down.h"
#include "device_link/device_link.h"
#include "device_link/link_client.h"
#include "device_link/link_state.h"
#include "device_link/model_profile.h"
#include "device_link/protocol.h"
#include "device_link/set_point_math.h"
#include "recorder/setup_dialog.h"
#include "recorder/wave_window.h"
#include "serial/comm.h"
#include "serial/port_dialog.h"
#include "ui_main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <QTimer>

namespace lqs {

Q_LOGGING_CATEGORY(lqsUi, "lqs.ui", QtWarningMsg)

namespace {

constexpr int kClientWidth = 761;
constexpr int kClientHeight = 459;
constexpr int kToolBarHeight = 25;
constexpr int kStatusBarHeight = 19;

void setPixelFont(QWidget* w, int pixelHeight, bool bold = false) {
    QFont f = w->font();
    f.setPixelSize(pixelHeight);
    if (bold) f.setBold(true);
    w->setFont(f);
}

}  // namespace

namespace {
// Where a measured value goes: Edit1 .. Edit4, each channel's voltage first.
int readingField(int channel, Quantity q) {
    return (channel == 2 ? 3 : 1) + (q == Quantity::Current ? 1 : 0);
}
}  // namespace

TForm1::TForm1(const PortListSources& ports, QWidget* parent, const LinkOptions& options)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                              Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint),
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
    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());

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

void TForm1::setStartModel(int index) {
    if (!modelProfile(index)) return;
    m_startModel = index;
    if (m_shownOnce) chooseModel(index);
}

void TForm1::InitialiseModel() {
    m_model = m_startModel;
    m_client->setModel(m_model);
    ShowModelProfile();
    ResetSetPointFields();
    setWindowTitle(programCaption());
    m_windows.Form2->showCaption(programCaption());
    for (QAction* a : {ui->Delay1, ui->OutMode1, ui->AutoMode1, ui->OutPut1, ui->AutoRun1,
                       ui->ClearErrorofProtection1})
        a->setEnabled(false);
    ui->Record1->setEnabled(false);  // the menu widget: its item follows it
    for (QAction* a : {ui->btn1, ui->btn2, ui->btn5, ui->btn7, ui->btn8, ui->btn3, ui->btn4})
        a->setEnabled(false);
}

void TForm1::ResetModelCaptions() {
    for (int i = 0; i < 3; ++i) m_seriesItems[i]->setText(seriesCaption(i + 1));
}

void TForm1::ShowModelProfile() {
    ResetModelCaptions();
    const int index = m_model;
    const ModelProfile* profile = modelProfile(index);
    if (!profile) return;
    m_seriesItems[index - 1]->setText(QStringLiteral("->") + seriesCaption(index));
    setWindowTitle(QString::fromLatin1(profile->resolution));
}

void TForm1::ResetSetPointFields() {
    const ModelProfile* profile = modelProfile(m_model);
    if (!profile) return;
    const QString zero = QString::fromLatin1(profile->zeroText);
    for (QLineEdit* e : {ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8}) e->setText(zero);
}

// Unlinked, a model change starts the fields from its zero. Linked, they
// show what the instrument holds, which a menu choice does not change: each
// keeps its value in the new model's format, and one the new model could not
// take is marked, never sent.
void TForm1::chooseModel(int index) {
    m_model = index;
    m_client->setModel(index);
    if (!m_linkedPicture) {
        ShowModelProfile();
        ResetSetPointFields();
        return;
    }
    QLineEdit* const fields[] = {ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8};
    double values[4];
    bool numbers[4];
    for (int i = 0; i < 4; ++i) {
        numbers[i] = true;
        try {
            values[i] = StrToFloat(fields[i]->text());
        } catch (const EConvertError&) {
            numbers[i] = false;
        }
    }
    ShowModelProfile();
    if (m_client->linked() && !m_client->fastReadings()) setLinkText(linkedText());
    const ModelProfile* profile = modelProfile(index);
    for (int i = 0; i < 4; ++i) {
        if (!numbers[i]) continue;
        QLineEdit* e = fields[i];
        const bool voltage = i % 2 == 0;
        e->setText(FormatForModel(index, values[i]));
        if (profile && !AcceptedOnEnter(index, values[i], voltage)) {
            const QString limit = voltage ? QStringLiteral("%1 V").arg(profile->voltageCeiling)
                                          : QStringLiteral("%1 A").arg(profile->currentCeiling);
            markField(
                e, QStringLiteral(
                       "The instrument holds %1 %2, above this model's %3 limit; it is not sent.")
                       .arg(e->text(), voltage ? QStringLiteral("V") : QStringLiteral("A"), limit));
        }
    }
}

// A field whose text needs a word: red, with the word as its tooltip, until the text changes.
void TForm1::markField(QLineEdit* field, const QString& why) {
    QPalette p = field->palette();
    p.setColor(QPalette::Text, QColor(176, 0, 0));
    field->setPalette(p);
    field->setToolTip(why);
    const QString marked = field->text();
    auto* watch = new QObject(field);
    connect(field, &QLineEdit::textChanged, watch, [field, watch, marked](const QString& text) {
        if (text == marked) return;
        field->setPalette(QPalette());
        field->setToolTip(QString());
        watch->deleteLater();
    });
}

void TForm1::LQS6200A1Click() {
    selectModel(1);
}
void TForm1::LQS6200B1Click() {
    selectModel(2);
}
void TForm1::LQS6500B1Click() {
    selectModel(3);
}

void TForm1::selectModel(int index) {
    m_modelByIdentity.chosen();
    m_identityModelNote.clear();
    chooseModel(index);
}

// Before the link text is made, so it says the model it chose.
void TForm1::adoptIdentityModel() {
    m_identityModelNote.clear();
    const int index = m_modelByIdentity.atLink(m_client->identity());
    if (index == 0 || index == m_model) return;
    m_identityModelNote = QStringLiteral("model set to the %1 from its identity")
                              .arg(QLatin1String(modelProfile(index)->name));
    chooseModel(index);
}

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

namespace {
// What a port's path leads to: a new device, or the same one back, reads
// differently from the one that went away.
QString portIdentity(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) return QString();
    return info.symLinkTarget() + QLatin1Char('|') +
           QString::number(info.birthTime().toMSecsSinceEpoch()) + QLatin1Char('|') +
           QString::number(info.metadataChangeTime().toMSecsSinceEpoch());
}
}  // namespace

// After a hang-up, the folder of the lost port is watched: when the port is
// there again (an adapter plugged back, the simulator started anew), or its
// USB adapter is back under another node, the operator is offered the link.
// Nothing is opened to find out.
void TForm1::watchLostPort() {
    stopWatchingLostPort();
    if (m_lostPort.isEmpty()) return;
    m_lostPortIdentity = portIdentity(m_lostPort);
    m_lostPortWasGone = m_lostPortIdentity.isEmpty();
    m_adapterWasGone = portWithUsbIdentity(m_linkedAdapter, m_portSources).isEmpty();
    m_portWatch = new QFileSystemWatcher(this);
    m_portWatch->addPath(QFileInfo(m_lostPort).absolutePath());
    if (!m_linkedAdapter.isEmpty()) m_portWatch->addPath(m_portSources.dev);
    connect(m_portWatch, &QFileSystemWatcher::directoryChanged, this, &TForm1::lostPortChanged);
    // The node can appear before the system has its adapter's attributes.
    connect(m_portWatch, &QFileSystemWatcher::directoryChanged, this,
            [this] { QTimer::singleShot(500, m_portWatch, [this] { lostPortChanged(); }); });
}

void TForm1::stopWatchingLostPort() {
    delete m_portWatch;
    m_portWatch = nullptr;
    if (m_backQuestion) m_backQuestion->close();
}

void TForm1::lostPortChanged() {
    if (m_backQuestion || comm1->IsOpen()) return;
    QString port;
    if (!m_linkedAdapter.isEmpty()) {
        // Known by its serial number: another adapter on the old node is not it.
        port = portWithUsbIdentity(m_linkedAdapter, m_portSources);
        if (port.isEmpty()) m_adapterWasGone = true;
        if (port.isEmpty() || !m_adapterWasGone) return;
    } else {
        const QString identity = portIdentity(m_lostPort);
        if (identity.isEmpty()) {
            m_lostPortWasGone = true;
            return;
        }
        if (!m_lostPortWasGone && identity == m_lostPortIdentity)
            return;  // something else in the folder
        port = m_lostPort;
    }
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

QLineEdit* TForm1::edit(int number) const {
    QLineEdit* const edits[] = {ui->Edit1, ui->Edit2, ui->Edit3, ui->Edit4,
                                ui->Edit5, ui->Edit6, ui->Edit7, ui->Edit8};
    return number >= 1 && number <= 8 ? edits[number - 1] : nullptr;
}

QString TForm1::fieldText(int number) const {
    const QLineEdit* e = edit(number);
    return e ? e->text() : QString();
}

// A measured value is judged as it is shown: its age counts from now.
void TForm1::setFieldText(int number, const QString& text) {
    QLineEdit* e = edit(number);
    if (!e) return;
    e->setText(text);
    if (number <= 4) judgeReading(number, text);
}

void TForm1::selectCoupling(int button) {
    QRadioButton* const buttons[] = {ui->RadioButton1, ui->RadioButton2, ui->RadioButton3};
    if (button >= 1 && button <= 3) buttons[button - 1]->setChecked(true);
}

// The recorder's close ends the program without a question, so an unsaved
// recording is saved first. Should that fail, the close asks; kept open, the
// window is enabled again so the recording can be exported elsewhere.
void TForm1::closeMainWindow() {
    if (m_wave) m_wave->saveBeforeEnd();
    close();
    if (isVisible()) setFrameEnabled(true);
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

// A reading no longer current is no reading: the recorder leaves a gap.
QStringList TForm1::readingTexts() const {
    QStringList texts;
    for (int i = 0; i < 4; ++i) texts << (readingCurrent(i) ? edit(i + 1)->text() : QString());
    return texts;
}

bool TForm1::readingCurrent(int index) const {
    return !m_linkStale && index >= 0 && index <= 3 && !m_aged[index] &&
           !edit(index + 1)->text().isEmpty();
}

// What the recorder reads: the button's "ON", or "OFF" for anything else.
QString TForm1::outputCaption() const {
    return ui->BitBtn4->text() == QLatin1String("ON") ? QStringLiteral("ON")
                                                      : QStringLiteral("OFF");
}

void TForm1::showControlPanel() {
    ui->Panel1->show();
}

void TForm1::EnableSetPointControls(int upDown1, int edit5, int upDown2, int edit6, int upDown3,
                                    int edit7, int upDown4, int edit8) {
    ui->UpDown1->setEnabled(upDown1 == 1);
    ui->Edit5->setEnabled(edit5 == 1);
    ui->UpDown2->setEnabled(upDown2 == 1);
    ui->Edit6->setEnabled(edit6 == 1);
    ui->UpDown3->setEnabled(upDown3 == 1);
    ui->Edit7->setEnabled(edit7 == 1);
    ui->UpDown4->setEnabled(upDown4 == 1);
    ui->Edit8->setEnabled(edit8 == 1);
}

// A coupling button that became selected, by a click or from code. With the
// output on, the change leaves it off.
void TForm1::couplingSelected(QRadioButton* button, std::uint8_t code, const int (&e)[8]) {
    if (!button->isChecked()) return;
    EnableSetPointControls(e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7]);
    showChannel2For(code);
    // What the link did itself (a coupling the instrument reported) is only shown.
    if (m_reportedCoupling) return;
    if (m_client->outputIntended())
        noteInLinkPanel(QStringLiteral("the output goes off to change the coupling"));
    stopRecorderIfOutputOn();
    m_client->selectCoupling(Coupling(code - Op::CouplingIndep + 1));
}

void TForm1::showCoupling(Coupling coupling, bool fromInstrument) {
    if (coupling == Coupling(this->coupling())) return;
    m_reportedCoupling = true;
    m_couplingFromInstrument = fromInstrument;
    selectCoupling(int(coupling));
    m_reportedCoupling = false;
    m_couplingFromInstrument = false;
}

// Coupled, the instrument runs channel 2 from channel 1: in parallel wholly,
// tracking only its voltage; channel 2's current stays its own. On the
// operator's click the followed values are shown at once, so channel 2 never
// shows what the instrument no longer holds until the next reading; back to
// independent, its own again. A coupling the instrument reported changes no
// field: they hold its replies. Followed fields say so.
void TForm1::showChannel2For(std::uint8_t code) {
    const bool voltageFollows = code != Op::CouplingIndep;
    const bool currentFollows = code == Op::CouplingParall;
    const QString follows = QStringLiteral("Follows channel 1's %1 while the channels are %2");
    const QString mode =
        currentFollows ? QStringLiteral("in parallel") : QStringLiteral("tracking");
    ui->Edit7->setToolTip(voltageFollows ? follows.arg(QStringLiteral("voltage"), mode)
                                         : QString());
    ui->Edit8->setToolTip(currentFollows ? follows.arg(QStringLiteral("current"), mode)
                                         : QString());
    if (!m_linkedPicture) return;
    if (m_couplingFromInstrument) {
        m_channel2Own.reset();
        return;
    }
    if (voltageFollows) {
        if (!m_channel2Own) m_channel2Own = std::make_pair(ui->Edit7->text(), ui->Edit8->text());
        ui->Edit7->setText(ui->Edit5->text());
        ui->Edit8->setText(currentFollows ? ui->Edit6->text() : m_channel2Own->second);
    } else if (m_channel2Own) {
        ui->Edit7->setText(m_channel2Own->first);
        ui->Edit8->setText(m_channel2Own->second);
        m_channel2Own.reset();
    }
}

void TForm1::RadioButton1Click() {
    couplingSelected(ui->RadioButton1, Op::CouplingIndep, {1, 1, 1, 1, 1, 1, 1, 1});
}
void TForm1::RadioButton2Click() {
    couplingSelected(ui->RadioButton2, Op::CouplingParall, {1, 1, 1, 1, 0, 0, 0, 0});
}
void TForm1::RadioButton3Click() {
    couplingSelected(ui->RadioButton3, Op::CouplingTrack, {1, 1, 1, 1, 0, 0, 1, 1});
}

// The button reads where the output goes: pressed while it reads ON (or
// while nobody knows), it switches off; while it reads OFF, on.
void TForm1::BitBtn4Click() {
    setOutput(m_client->output().target == OutputState::Off);
}

void TForm1::setFastReadings(bool on) {
    ui->FastReadings1->setChecked(on);
}

// Latched by a trip, "on" is not even asked: the button would show ON for a
// moment. Should the trip come while the "on" is on its way, the link refuses it.
void TForm1::setOutput(bool on, Done done) {
    const auto refused = [this] {
        const QString note = QStringLiteral("The output stays off until the trip is cleared.");
        if (!m_tripText.isEmpty() && !m_tripText.endsWith(note))
            m_tripText += QLatin1Char(' ') + note;
        showGuardBanner();
    };
    if (on && m_client->trip()) {
        refused();
        if (done) done(false);
        return;
    }
    if (!on) Q_EMIT outputStopping();
    m_client->setOutput(on, [this, on, refused, done = std::move(done)](bool tookEffect) {
        if (on && !tookEffect && m_client->trip()) refused();
        if (done) done(tookEffect);
    });
}

// As the button's click does it; the button shows it at once.
void TForm1::setCoupling(int button, Done done) {
    if (button < 1 || button > 3 || button == coupling()) {
        if (done) done(true);
        return;
    }
    if (m_client->outputIntended())
        noteInLinkPanel(QStringLiteral("the output goes off to change the coupling"));
    stopRecorderIfOutputOn();
    m_client->selectCoupling(Coupling(button), std::move(done));
    showCoupling(Coupling(button), false);
}

// A save or a recall with the output on leaves it off and the readings empty:
// the recorder stops first, as it does for the output button.
void TForm1::stopRecorderIfOutputOn() {
    if (m_client->output().state == OutputState::On) Q_EMIT outputStopping();
}

void TForm1::saveMemorySlot(const QString& slot, Done done) {
    if (m_client->outputIntended())
        noteInLinkPanel(QStringLiteral("the output goes off to save memory %1").arg(slot));
    stopRecorderIfOutputOn();
    m_client->saveMemory(slot, std::move(done));
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

void TForm1::recallMemorySlot(const QString& slot, Done done) {
    stopRecorderIfOutputOn();
    m_client->recallMemory(slot, std::move(done));
}

// The link button, without its question: a script asked for it.
bool TForm1::linkWithoutQuestion(QString* why) {
    if (!ui->ToolButton1->isEnabled() || !comm1->IsOpen()) {
        if (why) *why = QStringLiteral("no serial port is open");
        return false;
    }
    if (!reopenSilentPort(why)) return false;
    startLink();
    return true;
}

void TForm1::enterSetPoint(int edit, const QString& text, Done done) {
    m_entry->enter(edit, text, Origin::Script, std::move(done));
}

int TForm1::coupling() const {
    if (ui->RadioButton2->isChecked()) return 2;
    if (ui->RadioButton3->isChecked()) return 3;
    return 1;
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

void TForm1::showReading(const Reading& r) {
    const int number = readingField(r.channel, r.quantity);
    setFieldText(number, r.text);
    // With fast readings the recorder sees every reading of a slice, not just the last.
    Q_EMIT readingArrived(number - 1, r.text);
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    Q_EMIT readingTimed(number - 1, r.text, r.value,
                        duration_cast<milliseconds>(r.at.time_since_epoch()).count(), r.wall);
}

void TForm1::clearReadings() {
    for (int number = 1; number <= 4; ++number) {
        setFieldText(number, QString());
        Q_EMIT readingArrived(number - 1, QString());
    }
}

// The button shows where the output goes: "ON" or "OFF", or "?" while the
// instrument has not said. A state still on its way is shown in italics.
void TForm1::showOutput(const OutputView& v) {
    const bool wasOn = m_outputShown.state == OutputState::On;
    m_outputShown = v;
    QPushButton* b = ui->BitBtn4;
    b->setText(v.target == OutputState::On    ? QStringLiteral("ON")
               : v.target == OutputState::Off ? QStringLiteral("OFF")
                                              : QStringLiteral("?"));
    QFont f = b->font();
    f.setItalic(v.pending());
    b->setFont(f);
    const QString since = v.since.toString(QStringLiteral("HH:mm:ss"));
    if (v.state == OutputState::Unknown) {
        b->setToolTip(QStringLiteral("The output's state is not known since %1: it may be on. "
                                     "Link to read it from the instrument.")
                          .arg(since));
    } else if (v.pending()) {
        b->setToolTip(
            QStringLiteral("Switching %1; the output is %2 until then.")
                .arg(v.target == OutputState::On ? QStringLiteral("on") : QStringLiteral("off"),
                     v.state == OutputState::On ? QStringLiteral("on") : QStringLiteral("off")));
    } else {
        b->setToolTip(QString());
    }
    // The recorder stops whenever the output goes off, whoever switched it.
    if (wasOn && v.state != OutputState::On) Q_EMIT outputStopping();
    for (int channel : {0, 1}) showChannelMode(channel);
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

// Fast readings read each set point back: one the instrument would not take
// is shown as it holds it, and said in the second panel until taken.
void TForm1::showSetPointNotHeld(int edit, const QString& holds, const QString& sent) {
    static const char* const names[] = {"CH1 V", "CH1 A", "CH2 V", "CH2 A"};
    if (edit < 5 || edit > 8) return;
    const QString name = QString::fromLatin1(names[edit - 5]);
    QLabel* panel = m_panels[2];
    if (holds.isEmpty()) {
        if (panel->text().startsWith(name + QLatin1Char(' '))) {
            setStatusText(2, QString());
            panel->setToolTip(QString());
        }
        return;
    }
    // The panel is narrow; the tooltip says it whole.
    setStatusText(2, QStringLiteral("%1 is %2").arg(name, holds));
    panel->setToolTip(
        QStringLiteral("The instrument holds %1 for %2, not %3 as sent.").arg(holds, name, sent));
}

// Greyed, saying since when; the recorder stops as it does when the output
// goes off, so no reading from before is recorded as a new one.
void TForm1::showReadingsStale(const QDateTime& since, StaleReason why) {
    m_linkStale = true;
    const QString tip =
        QStringLiteral("Not current since %1: %2.")
            .arg(since.toString(QStringLiteral("HH:mm:ss")),
                 why == StaleReason::LineLost ? QStringLiteral("the line was lost")
                                              : QStringLiteral("the instrument stopped answering"));
    for (QLineEdit* e : {ui->Edit1, ui->Edit2, ui->Edit3, ui->Edit4}) greyReading(e, tip);
    for (int channel : {0, 1}) showChannelMode(channel);
    Q_EMIT outputStopping();
}

void TForm1::showReadingsFresh() {
    m_linkStale = false;
    for (QLineEdit* e : {ui->Edit1, ui->Edit2, ui->Edit3, ui->Edit4}) {
        e->setPalette(QPalette());
        e->setToolTip(QString());
    }
}

void TForm1::greyReading(QLineEdit* e, const QString& tip) {
    QPalette p = e->palette();
    p.setColor(QPalette::Text, p.color(QPalette::Disabled, QPalette::Text));
    e->setPalette(p);
    e->setToolTip(tip);
}

// Each reading as it comes: current again, and the channel's mode judged.
void TForm1::judgeReading(int number, const QString& text) {
    if (number < 1 || number > 4) return;
    QLineEdit* e = edit(number);
    m_aged[number - 1] = false;
    if (!text.isEmpty() && !m_linkStale) {
        e->setPalette(QPalette());
        e->setToolTip(QString());
    }
    showChannelMode((number - 1) / 2);
}

// No new reading for twice its interval: greyed, saying since when.
void TForm1::showReadingAged(int channel, Quantity q, const QDateTime& readAt, int ageSeconds) {
    const int number = readingField(channel, q);
    m_aged[number - 1] = true;
    if (m_linkStale) return;
    greyReading(edit(number), QStringLiteral("Not current since %1: no new reading for %2 s.")
                                  .arg(readAt.toString(QStringLiteral("HH:mm:ss")))
                                  .arg(ageSeconds));
}

// At the current limit within one step the channel regulates current (CC),
// otherwise voltage (CV). Nothing is said without both readings and limits.
void TForm1::showChannelMode(int channel) {
    QLabel* label = m_modeLabels[channel];
    const ModelProfile* profile = modelProfile(m_model);
    QString mode;
    try {
        const QString amps = edit(2 + 2 * channel)->text();
        const QString limit = edit(6 + 2 * channel)->text();
        // Old readings say nothing about the mode now.
        if (profile && !m_linkStale && !amps.isEmpty() &&
            !edit(1 + 2 * channel)->text().isEmpty() &&
            m_client->output().state == OutputState::On) {
            const double step = profile->fineStep;
            mode = StrToFloat(amps) >= StrToFloat(limit) - step * 1.5 ? QStringLiteral("CC")
                                                                      : QStringLiteral("CV");
        }
    } catch (const EConvertError&) {
        mode.clear();
    }
    label->setText(mode);
    label->setToolTip(mode == QLatin1String("CC")
                          ? QStringLiteral("Constant current: the load draws the current limit")
                      : mode == QLatin1String("CV")
                          ? QStringLiteral("Constant voltage: below the current limit")
                          : QString());
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

// ---- The guard ----

void TForm1::connectGuard() {
    LinkClient* c = m_client;
    connect(c, &LinkClient::guardTripped, this, &TForm1::showTrip);
    connect(c, &LinkClient::tripConfirmed, this, &TForm1::showTripConfirmed);
    connect(c, &LinkClient::guardCleared, this, &TForm1::showTripCleared);
    connect(c, &LinkClient::countersChanged, this, &TForm1::showCounters);
    // The guard's settings (the dialog's or a script's), the output and the
    // link's mode each bear on whether the readings come fast.
    connect(c, &LinkClient::modeChanged, this, [this](LinkMode mode) {
        showGuardDown(mode);
        applyFastChoice();
    });
    connect(c, &LinkClient::outputChanged, this, &TForm1::applyFastChoice);
    connect(c, &LinkClient::guardSettingsChanged, this, &TForm1::applyFastChoice);
    connect(ui->Protection1, &QAction::triggered, this, &TForm1::Protection1Click);
    connect(ui->Sequence1, &QAction::triggered, this, &TForm1::Sequence1Click);
    connect(ui->GuardBannerClear, &QPushButton::clicked, c, &LinkClient::clearTrip);
    connect(ui->ClearErrorofProtection1, &QAction::triggered, c, &LinkClient::clearTrip);
    for (int channel : {1, 2}) {
        QPushButton* reset = channel == 1 ? ui->ResetCounters1 : ui->ResetCounters2;
        connect(reset, &QPushButton::clicked, this, [this, channel] {
            m_client->clearCounters(channel);
            showCounters(channel, {});
        });
        showCounters(channel, {});
    }
}

void TForm1::Protection1Click() {
    if (!m_protection) {
        m_protection = new TFormProtection(
            m_client, [this] { return modelProfile(m_model); }, this);
        connect(m_protection, &TFormProtection::applied, this, &TForm1::applyFastChoice);
    }
    applyFastChoice();  // a script may have armed a limit since
    m_protection->show();
    m_protection->raise();
    m_protection->activateWindow();
}

void TForm1::Sequence1Click() {
    if (!m_sequence) m_sequence = new SequenceEditor(m_client, Coupling(coupling()), this);
    m_sequence->show();
    m_sequence->raise();
    m_sequence->activateWindow();
}

namespace {
QString guardValue(GuardLimit limit, double value) {
    const int decimals = limit == GuardLimit::Charge || limit == GuardLimit::Energy ? 4
                         : limit == GuardLimit::OverPower                           ? 2
                                                                                    : 3;
    return QStringLiteral("%1 %2").arg(value, 0, 'f', decimals).arg(guardLimitUnit(limit));
}
}  // namespace

void TForm1::showTrip(const GuardTrip& t) {
    const QString at = link->scheduler().wallTime(t.at).toString(QStringLiteral("HH:mm:ss"));
    QString what;
    if (t.limit == GuardLimit::EnteringCc) {
        what = QStringLiteral("channel %1 went into constant current.").arg(t.channel);
    } else {
        const bool budget = t.limit == GuardLimit::Charge || t.limit == GuardLimit::Energy;
        what = QStringLiteral("channel %1 %2, %3 %4, %5 %6.")
                   .arg(t.channel)
                   .arg(guardLimitName(t.limit), guardValue(t.limit, t.reading),
                        budget ? QStringLiteral("delivered") : QStringLiteral("read"),
                        t.limit == GuardLimit::UnderVoltage ? QStringLiteral("floor")
                        : budget                            ? QStringLiteral("budget")
                                                            : QStringLiteral("limit"),
                        guardValue(t.limit, t.level));
    }
    m_tripText = QStringLiteral("Output switched off at %1: %2").arg(at, what);
    logEvent(m_tripText, EventSource::Instrument);
    ui->ClearErrorofProtection1->setEnabled(true);
    if (m_protection && m_protection->beepOnTrip() && Beep) Beep(2600, 300);
    showGuardBanner();
}

void TForm1::showTripConfirmed(TripConfirmation confirmation) {
    if (m_tripText.isEmpty()) return;
    switch (confirmation) {
        case TripConfirmation::Off:
            m_tripText += QStringLiteral(" Output off confirmed.");
            break;
        case TripConfirmation::StillOn:
            m_tripText += QStringLiteral(
                " The instrument still reports its output on: switch it off at the instrument.");
            break;
        case TripConfirmation::Unanswered:
            m_tripText += QStringLiteral(
                " The instrument did not confirm that its output is off: check it at the "
                "instrument.");
            break;
    }
    logEvent(m_tripText, EventSource::Instrument);
    showGuardBanner();
}

void TForm1::showTripCleared() {
    m_tripText.clear();
    ui->ClearErrorofProtection1->setEnabled(false);
    showGuardBanner();
}

// Armed limits with no link reading the instrument guard nothing: the
// operator is told rather than left trusting them.
void TForm1::showGuardDown(LinkMode mode) {
    const LinkMode was = m_guardMode;
    m_guardMode = mode;
    if (standing(mode)) {
        m_guardDownText.clear();
    } else if ((standing(was) || was == LinkMode::Linking) && m_client->guardArmed()) {
        const QString why =
            mode == LinkMode::LineLost   ? QStringLiteral("the line to the instrument is lost")
            : mode == LinkMode::TimedOut ? QStringLiteral("the instrument does not answer")
                                         : QStringLiteral("the link is stopped");
        m_guardDownText =
            QStringLiteral("The guard is down: %1, and nothing will switch the output off.")
                .arg(why);
        logEvent(m_guardDownText, EventSource::Instrument);
    }
    showGuardBanner();
}

// Red for a trip, amber while the guard is down; white text on both reads
// in a dark palette as in a light one.
void TForm1::showGuardBanner() {
    QStringList parts;
    if (!m_guardDownText.isEmpty()) parts << m_guardDownText;
    if (!m_tripText.isEmpty()) parts << m_tripText;
    QFrame* banner = ui->GuardBanner;
    if (parts.isEmpty()) {
        banner->hide();
    } else {
        QPalette p = banner->palette();
        p.setColor(QPalette::Window,
                   m_tripText.isEmpty() ? QColor(0x9a, 0x5b, 0x00) : QColor(0xb0, 0x10, 0x20));
        p.setColor(QPalette::WindowText, Qt::white);
        banner->setPalette(p);
        ui->GuardBannerText->setText(parts.join(QLatin1Char('\n')));
        ui->GuardBannerClear->setVisible(!m_tripText.isEmpty());
        banner->show();
        banner->raise();
    }
    setLinkText(m_linkText);
}

void TForm1::showCounters(int channel, const ChannelCounters& c) {
    QLabel* label = channel == 2 ? ui->Counters2 : ui->Counters1;
    label->setText(
        QStringLiteral("%1 Ah  %2 Wh").arg(c.ampHours, 0, 'f', 4).arg(c.wattHours, 0, 'f', 4));
}

bool TForm1::fastByGuard() const {
    return m_client->guardArmed() && !ui->FastReadings1->isChecked();
}

// The link reads fast while the operator ticked Fast Readings or any limit
// is armed; the port cuts its blocks and the recorder takes its slices to match.
void TForm1::applyFastChoice() {
    const bool effective = ui->FastReadings1->isChecked() || m_client->guardArmed();
    // A reply ends at its CR rather than after the line's silence.
    comm1->setEndBlockAtCarriageReturn(effective);
    if (!m_client->guardArmed() && !m_guardDownText.isEmpty()) {
        m_guardDownText.clear();
        showGuardBanner();
    }
    if (effective == m_fastEffective) {
        setLinkText(m_linkText);
        return;
    }
    m_fastEffective = effective;
    if (!effective && m_client->linked())
        setLinkText(linkedText());
    else
        setLinkText(m_linkText);
    Q_EMIT fastReadingsChanged(effective);
}

QString TForm1::guardNote() const {
    QStringList parts;
    if (!m_guardDownText.isEmpty()) parts << m_guardDownText;
    if (!m_tripText.isEmpty()) parts << m_tripText;
    if (parts.isEmpty() && fastByGuard() && m_client->mode() == LinkMode::FastReadings)
        parts << QStringLiteral("Fast readings while the guard is armed");
    return parts.join(QLatin1Char(' '));
}

}  // namespace lqs
