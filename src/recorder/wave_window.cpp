#include "recorder/wave_window.h"

#include "common/error_box.h"
#include "common/guarded.h"
#include "common/text_fit.h"
#include "recorder/plot_math.h"
#include "recorder/record_files.h"
#include "recorder/recorder_host.h"
#include "recorder/recorder_log.h"
#include "recorder/setup_dialog.h"
#include "ui_wave_window.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QStandardPaths>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cstdio>

namespace lqs {

Q_LOGGING_CATEGORY(lqsRecorder, "lqs.recorder", QtWarningMsg)

namespace {

// How a part follows the window grown past its designed size: the shares of
// the extra width and height it moves by and grows by. The plot takes all
// of it; what stands beside or under the plot moves with its edge.
struct Follow {
    const char* name;
    double moveX, moveY, growX, growY;
};
constexpr Follow kFollow[] = {
    {"pnl1", 0, 0, 1, 1},
    {"lst_Load", 0, 0, 1, 1},
    {"lbl_AmpAxis", 1, 0, 0, 0},
    {"lbl_Amax", 1, 0, 0, 0},
    {"lbl1_Amid", 1, 0.5, 0, 0},
    {"lbl2", 1, 1, 0, 0},
    {"grp_Channels", 1, 0, 0, 0},
    {"lbl_Vmid", 0, 0.5, 0, 0},
    {"lbl_Vmin", 0, 1, 0, 0},
    {"lbl_Tmin", 0, 1, 0, 0},
    {"lbl_Tmid", 0.5, 1, 0, 0},
    {"lbl_Tmax", 1, 1, 0, 0},
    {"lbl_ElapsedTime", 0.5, 1, 0, 0},
    {"grp_Files", 0, 1, 0, 0},
    {"lbl_TimeLen", 0, 1, 0, 0},
    {"cbb_", 0, 1, 0, 0},
    {"lbl_VoltageScale", 0, 1, 0, 0},
    {"lbl_CurrentScale", 0, 1, 0, 0},
    {"lst1", 0, 1, 0, 0},
};

}  // namespace

std::function<QString()> TForm_Wave::LocateRecordDir = [] { return recordDirectory(); };

TForm_Wave::TForm_Wave(RecorderHost* host, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TForm_Wave>()), m_host(host) {
    // Without a folder the recorder still records and exports; Save says why it cannot.
    runGuarded(this, [this] { RecordDir = LocateRecordDir(); });
    ShowMessage = [this](const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, programTitle(), text, QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("recorderMessage"));
        box.exec();
    };
    // The dialog does not ask before replacing: the name typed is not always
    // the name written, so Export asks about the file it will write.
    ChooseExportPath = [this] {
        const QString xls = QStringLiteral("*.xls"), csv = QStringLiteral("CSV (*.csv)"),
                      readings = QStringLiteral("Readings (*.csv)");
        QFileDialog dialog(this, QString(), RecordDir);
        dialog.setObjectName(QStringLiteral("exportDialog"));
        dialog.setNameFilters({xls, csv, readings});
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return ExportChoice{};
        const QString filter = dialog.selectedNameFilter();
        return ExportChoice{dialog.selectedFiles().first(), filter == csv, filter == readings};
    };

    ui->setupUi(this);
    // Sizes in pixels: the lists must hold their lines on any font setting.
    QFont small = ui->lst1->font();
    small.setPixelSize(13);
    ui->lst1->setFont(small);
    ui->lst1->addItem(QString());  // one empty line until a setup is accepted
    QFont big = ui->lst_Load->font();
    big.setPixelSize(17);
    ui->lst_Load->setFont(big);
    ui->lst_Load->installEventFilter(this);
    ui->lst_Load->hide();
    setCurveColor(ui->pnl_Ch1v, PlotColors::activeCaption());
    setCurveColor(ui->pnl_Ch1A, ampsColor(PlotColors::activeCaption()));
    setCurveColor(ui->pnl_Ch2v, PlotColors::Lime);
    setCurveColor(ui->pnl_Ch2A, ampsColor(PlotColors::Lime));

    tmr_All = new QTimer(this);
    tmr_Scale = new QTimer(this);
    tmr_time = new QTimer(this);
    // At most one sync a second, so a long recording costs the disk little.
    tmr_Journal = new QTimer(this);
    tmr_Journal->setInterval(1000);
    tmr_All->setObjectName(QStringLiteral("tmr_All"));
    tmr_Scale->setObjectName(QStringLiteral("tmr_Scale"));
    tmr_time->setObjectName(QStringLiteral("tmr_time"));
    tmr_time->setInterval(1000);

    connectControls();
    FormShow();
    // The channel column widens to the right for what its texts need, and the
    // least width of the frame it fills with it; the plot and its labels stay.
    const int designedColumn = ui->grp_Channels->width();
    // Under the plot's corners the times grow downwards and the lowest
    // values upwards, so a larger font keeps them apart.
    for (QLabel* l :
         findChildren<QLabel*>(QRegularExpression(QStringLiteral("^lbl_T(min|mid|max)"))))
        l->setAlignment((l->alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignTop);
    for (QLabel* l : {ui->lbl_Vmin, ui->lbl2})
        l->setAlignment((l->alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignBottom);
    fitTexts(this);
    // Each chooser's caption stays just above it.
    for (const auto& [caption, chooser] :
         {std::pair<QWidget*, QWidget*>{ui->lbl_TimeLen, ui->cbb_Time},
          {ui->lbl_VoltageScale, ui->cbb_Voltage},
          {ui->lbl_CurrentScale, ui->cbb_Current}})
        caption->move(chooser->x(), std::min(caption->y(), chooser->y() - caption->height()));
    const int wider = ui->grp_Channels->width() - designedColumn;
    m_designedSize = size() + QSize(wider, 0);
    if (QWidget* frame = parentWidget(); frame && wider > 0) {
        frame->setMinimumWidth(frame->minimumWidth() + wider);
        window()->resize(window()->width() + wider, window()->height());
    }
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        m_designed.emplace_back(w, w->geometry());
}

void TForm_Wave::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int dx = std::max(0, width() - m_designedSize.width());
    const int dy = std::max(0, height() - m_designedSize.height());
    for (const auto& [w, designed] : m_designed) {
        for (const Follow& f : kFollow) {
            if (!w->objectName().startsWith(QLatin1String(f.name))) continue;
            w->setGeometry(designed.x() + int(dx * f.moveX), designed.y() + int(dy * f.moveY),
                           designed.width() + int(dx * f.growX),
                           designed.height() + int(dy * f.growY));
            break;
        }
    }
    ui->pb1->setGeometry(ui->pnl1->rect().adjusted(1, 1, -1, -1));
}

// Nothing unsaved: the journal holds nothing worth offering back.
TForm_Wave::~TForm_Wave() {
    if (m_unsaved == 0) m_journal.remove();
}

void TForm_Wave::connectControls() {
    connect(ui->Btn_Start, &QPushButton::clicked, this, &TForm_Wave::Btn_StartClick);
    connect(ui->Btn_Stop, &QPushButton::clicked, this, &TForm_Wave::Btn_StopClick);
    connect(ui->Btn_Setup, &QPushButton::clicked, this, &TForm_Wave::Btn_SetupClick);
    connect(ui->Btn_Refresh, &QPushButton::clicked, this, &TForm_Wave::Btn_RefreshClick);
    connect(ui->Btn_Return, &QPushButton::clicked, this, &TForm_Wave::Btn_ReturnClick);
    connect(ui->btn_Save, &QPushButton::clicked, this, &TForm_Wave::btn_SaveClick);
    connect(ui->btn_Load, &QPushButton::clicked, this, &TForm_Wave::btn_LoadClick);
    connect(ui->btn_Delete, &QPushButton::clicked, this, &TForm_Wave::btn_DeleteClick);
    connect(ui->btn_Export, &QPushButton::clicked, this, &TForm_Wave::btn_ExportClick);
    connect(ui->lst_Load, &QListWidget::itemClicked, this, &TForm_Wave::lst_LoadClick);
    connect(tmr_All, &QTimer::timeout, this, &TForm_Wave::tmr_AllTimer);
    connect(tmr_Scale, &QTimer::timeout, this, &TForm_Wave::tmr_ScaleTimer);
    connect(tmr_time, &QTimer::timeout, this, &TForm_Wave::tmr_timeTimer);
    connect(tmr_Journal, &QTimer::timeout, this, [this] {
        m_journal.syncIfWritten();
        m_readingsJournal.syncIfWritten();
    });
    connect(ui->cbb_Time, &QComboBox::currentIndexChanged, this, &TForm_Wave::cbb_TimeChange);
    connect(ui->cbb_Voltage, &QComboBox::currentIndexChanged, this, &TForm_Wave::cbb_VoltageChange);
    connect(ui->cbb_Current, &QComboBox::currentIndexChanged, this, &TForm_Wave::cbb_CurrentChange);
    ui->pb1->setPicture([this](QPainter& p, qreal lineScale) { drawPlot(p, lineScale); });
    connect(ui->pb1, &PlotArea::hovered, this, &TForm_Wave::showSampleTip);
    connect(ui->pb1, &PlotArea::left, this, [] { QToolTip::hideText(); });
    for (QCheckBox* c :
         {ui->fltchckbxckbx1, ui->fltchckbxckbx2, ui->fltchckbxckbx3, ui->fltchckbxckbx4}) {
        connect(c, &QCheckBox::clicked, this, &TForm_Wave::pb1Paint);
    }
}

void TForm_Wave::FormShow() {
    for (QCheckBox* c :
         {ui->fltchckbxckbx1, ui->fltchckbxckbx2, ui->fltchckbxckbx3, ui->fltchckbxckbx4})
        c->setChecked(true);
    ui->cbb_Time->setCurrentIndex(0);
    ui->cbb_Voltage->setCurrentIndex(0);
    ui->cbb_Current->setCurrentIndex(0);
    ui->chk_Ch3V->setEnabled(false);
    ui->chk_Ch3A->setEnabled(false);
    resetTimeLabels();
    fillSavedRecordList();
    pb1Paint();
}

void TForm_Wave::Btn_RefreshClick() {
    pb1Paint();
}

void TForm_Wave::Btn_ReturnClick() {
    if (m_host) m_host->showControlPanel();
}

void TForm_Wave::Btn_SetupClick() {
    // Made when needed and discarded after use; it opens showing the setup in
    // use, or the defaults before the first. Opened, not run: recording and the link go on
    // meanwhile; it is modal to the main window, whose menu could open it again.
    TFrm_Setup* dialog = StartupSetup ? StartupSetup.data() : new TFrm_Setup(this);
    StartupSetup = nullptr;
    if (m_setupInUse) dialog->showChoices(*m_setupInUse);
    dialog->setRecordCounters(state.RecordCounters);
    connect(dialog, &QDialog::finished, this, [this, dialog](int result) {
        const SetupChoices choices = dialog->choices();
        dialog->deleteLater();
        if (result == QDialog::Accepted) applySetup(choices);
    });
    dialog->open();
}

void TForm_Wave::applySetup(const SetupChoices& c) {
    setCurveColor(ui->pnl_Ch1v, c.Ch1Color);
    setCurveColor(ui->pnl_Ch1A, ampsColor(c.Ch1Color));
    setCurveColor(ui->pnl_Ch2v, c.Ch2Color);
    setCurveColor(ui->pnl_Ch2A, ampsColor(c.Ch2Color));
    // A timer given the interval it already has keeps its schedule; a new
    // interval restarts a running timer from now.
    if (tmr_All->interval() != c.RecordLengthMs) tmr_All->setInterval(c.RecordLengthMs);
    state.RecordLengthMs = c.RecordLengthMs;
    state.PointOperation = c.PointOperation;
    state.RecordCounters = c.RecordCounters;  // a recording running keeps its columns
    if (tmr_Scale->interval() != c.TimeSliceMs) tmr_Scale->setInterval(c.TimeSliceMs);
    state.TimeSliceMs = c.TimeSliceMs;
    setSummary({QStringLiteral("Total Time:0d 0:0:0"),
                QStringLiteral("Time Slice: %1sec").arg(roundHalfEven(c.TimeSliceMs / 1000.0)),
                QStringLiteral("Sample: 0"), QStringLiteral("CH1 Max:V A"),
                QStringLiteral("CH1 Min:V A"), QStringLiteral("CH2 Max:V A"),
                QStringLiteral("CH2 Min:V A")});
    m_setupInUse = c;
    Q_EMIT setupApplied(c);
}

QColor TForm_Wave::curveColor(const QFrame* s) const {
    return s->palette().color(QPalette::Window);
}

void TForm_Wave::setCurveColor(QFrame* s, const QColor& color) {
    QPalette pal = s->palette();
    pal.setColor(QPalette::Window, color);
    s->setPalette(pal);
}

void TForm_Wave::setSummary(const QStringList& lines) {
    ui->lst1->clear();
    ui->lst1->addItems(lines);
}

QStringList TForm_Wave::summary() const {
    QStringList out;
    for (int i = 0; i < ui->lst1->count(); ++i) out << ui->lst1->item(i)->text();
    return out;
}

bool TForm_Wave::askYesNo(const QString& text, const char* name) {
    QMessageBox box(QMessageBox::Question, programTitle(), text, QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setObjectName(QString::fromLatin1(name));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

// ---- Closing ----

// Closing the recorder closes the program.
void TForm_Wave::closeEvent(QCloseEvent* event) {
    if (!confirmClose()) {
        event->ignore();
        return;
    }
    event->accept();
    Btn_StopClick();
    if (m_host) m_host->closeMainWindow();
}
bool TForm_Wave::confirmClose() {
    return confirmUnsaved(QStringLiteral("Save the recording before closing?"));
}

// Unsaved lines about to go: Save (and only once written), Discard, or Cancel.
bool TForm_Wave::confirmUnsaved(const QString& question) {
    if (m_unsaved == 0) return true;
    QMessageBox box(QMessageBox::Question, programTitle(),
                    m_unsaved == 1
                        ? QStringLiteral("1 recorded line has not been saved.")
                        : QStringLiteral("%1 recorded lines have not been saved.").arg(m_unsaved),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("unsavedRecord"));
    box.setInformativeText(question);
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Save:
            return runGuarded(this,
                              [this] { saveRecord(); });  // a failed save keeps the program open
        case QMessageBox::Discard:
            m_unsaved = 0;
            m_journal.remove();
            m_readingsJournal.remove();
            return true;
        default:
            return false;
    }
}

void TForm_Wave::saveBeforeEnd(bool tellOperator) {
    if (m_unsaved == 0) return;
    QString path;
    if (!tellOperator) {
        // The program ends whatever happens here: the record goes to the first
        // folder that takes it, the record folder, the user's data, the temp.
        const QString fallbacks[] = {
            QStandardPaths::writableLocation(QStandardPaths::AppDataLocation), QDir::tempPath()};
        for (int i = -1; i < 2; ++i) {
            try {
                if (i < 0) {
                    path = saveRecord();
                } else {
                    const QString& folder = fallbacks[i];
                    if (folder.isEmpty()) continue;
                    if (!QDir().mkpath(folder)) {
                        std::fprintf(stderr, "Cannot create folder \"%s\".\n",
                                     qPrintable(QDir::toNativeSeparators(folder)));
                        continue;
                    }
                    path = saveNewRecordFile(folder, recordFileName(Now()), *state.Table);
                    m_unsaved = 0;
                    m_journal.remove();  // where the folder lets it go
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s\n", e.what());
                continue;
            }
            std::fprintf(stderr, "The recording was saved to \"%s\".\n",
                         qPrintable(QDir::toNativeSeparators(path)));
            return;
        }
        return;
    }
    if (!runGuarded(this, [&] { path = saveRecord(); })) return;
    const QString text =
        QStringLiteral("The recording was saved to \"%1\".").arg(QDir::toNativeSeparators(path));
    if (m_host) m_host->setStatusText(0, text);
    ShowMessage(text);
}

}  // namespace lqs
