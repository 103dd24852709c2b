#include "recorder/wave_window.h"

#include "common/convert.h"
#include "common/error_box.h"
#include "common/guarded.h"
#include "recorder/plot_area.h"
#include "recorder/plot_math.h"
#include "recorder/record_files.h"
#include "recorder/recorder_host.h"
#include "recorder/recorder_log.h"
#include "recorder/setup_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace lqs {

Q_LOGGING_CATEGORY(lqsRecorder, "lqs.recorder", QtWarningMsg)

namespace {

QLabel* label(QWidget* parent, const QString& text, int x, int y, const char* name = nullptr,
              int w = 40) {
    auto* l = new QLabel(text, parent);
    if (name) l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(x, y, w, 16);
    return l;
}

QPushButton* button(QWidget* parent, const QString& text, const char* name, int x, int y, int w,
                    int h) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(x, y, w, h);
    return b;
}

QFrame* swatch(QWidget* parent, const char* name, int x, int y, int w, int h) {
    auto* f = new QFrame(parent);
    f->setObjectName(QString::fromLatin1(name));
    f->setGeometry(x, y, w, h);
    f->setAutoFillBackground(true);
    return f;
}

// One pause of the wait for the readings. False when something else ended
// it: the program is quitting, and from then on every nested loop returns at
// once, so waiting on would spin.
bool pauseFor(int ms) {
    QEventLoop loop;
    bool elapsed = false;
    QTimer::singleShot(ms, &loop, [&] {
        elapsed = true;
        loop.quit();
    });
    loop.exec();
    return elapsed;
}

int textToInt(const QLabel* l) {
    bool ok = false;
    const int v = l->text().toInt(&ok);
    return ok ? v : 0;
}

void setClock(const std::array<QLabel*, 3>& labels, int seconds) {
    labels[0]->setText(QString::number(seconds / 3600));
    labels[1]->setText(QString::number(seconds / 60 % 60));
    labels[2]->setText(QString::number(seconds % 60));
}

// An off-scale mark: a small triangle pointing out of the plot.
constexpr int kArrowHalf = 3;
constexpr int kArrowHeight = 6;
// Marks of one long off-scale run stand at least this far apart.
constexpr int kArrowGap = 8;

void drawArrow(QPainter& p, int x, int edge) {
    const int tip = edge > 0 ? 0 : kPlotHeight - 1;
    const int base = edge > 0 ? tip + kArrowHeight - 1 : tip - kArrowHeight + 1;
    const QPoint corners[3] = {{x, tip}, {x - kArrowHalf, base}, {x + kArrowHalf, base}};
    p.drawPolygon(corners, 3);
}

}  // namespace

std::function<QString()> TForm_Wave::LocateRecordDir = [] { return recordDirectory(); };

TForm_Wave::TForm_Wave(RecorderHost* host, QWidget* parent) : QWidget(parent), m_host(host) {
    setObjectName(QStringLiteral("Form_Wave"));
    setWindowTitle(QStringLiteral("Form_Wave"));
    setAutoFillBackground(true);
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
        const QString xls = QStringLiteral("*.xls"), csv = QStringLiteral("CSV (*.csv)");
        QFileDialog dialog(this, QString(), RecordDir);
        dialog.setObjectName(QStringLiteral("exportDialog"));
        dialog.setNameFilters({xls, csv});
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return ExportChoice{};
        return ExportChoice{dialog.selectedFiles().first(), dialog.selectedNameFilter() == csv};
    };
    build();
    FormShow();
}

// Nothing unsaved: the journal holds nothing worth offering back.
TForm_Wave::~TForm_Wave() {
    if (m_unsaved == 0) m_journal.remove();
}

void TForm_Wave::build() {
    resize(766, 451);

    label(this, QStringLiteral("Voltage"), 4, 7, nullptr, 50);
    label(this, QStringLiteral("Amp"), 657, 8, nullptr, 30);
    pnl1 = new QFrame(this);
    pnl1->setObjectName(QStringLiteral("pnl1"));
    pnl1->setGeometry(43, 31, 602, 252);
    pnl1->setFrameStyle(QFrame::Box | QFrame::Plain);
    pnl1->setLineWidth(1);
    pb1 = new PlotArea(pnl1);
    pb1->setGeometry(1, 1, kPlotWidth, kPlotHeight);

    lbl_Vmax = label(this, QStringLiteral("30"), 24, 26, "lbl_Vmax", 19);
    lbl_Vmid = label(this, QStringLiteral("15"), 22, 151, "lbl_Vmid", 21);
    lbl_Vmin = label(this, QStringLiteral("0"), 28, 276, "lbl_Vmin", 15);
    lbl_Amax = label(this, QStringLiteral("3"), 652, 25, "lbl_Amax", 30);
    lbl1_Amid = label(this, QStringLiteral("1.5"), 649, 152, "lbl1_Amid", 40);
    lbl2 = label(this, QStringLiteral("0"), 657, 276, "lbl2", 20);

    // Their texts come from resetTimeLabels().
    auto clock = [this](int x, const char* h, const char* m, const char* s, QLabel*& lh,
                        QLabel*& lm, QLabel*& ls) {
        lh = label(this, QString(), x, 288, h, 16);
        label(this, QStringLiteral(":"), x + 16, 288, nullptr, 4);
        lm = label(this, QString(), x + 20, 288, m, 16);
        label(this, QStringLiteral(":"), x + 36, 288, nullptr, 4);
        ls = label(this, QString(), x + 40, 288, s, 16);
    };
    clock(36, "lbl_TminH", "lbl_TminM", "lbl_TminS", lbl_TminH, lbl_TminM, lbl_TminS);
    clock(326, "lbl_TmidH", "lbl_TmidM", "lbl_TmidS", lbl_TmidH, lbl_TmidM, lbl_TmidS);
    clock(616, "lbl_TmaxH", "lbl_TmaxM", "lbl_TmaxS", lbl_TmaxH, lbl_TmaxM, lbl_TmaxS);
    label(this, QStringLiteral("Elapsed Time[Sec]"), 304, 308, nullptr, 110);

    auto* column = new QGroupBox(this);
    column->setGeometry(695, -4, 61, 327);
    auto check = [column](const QString& text, const char* name, int top) {
        auto* c = new QCheckBox(text, column);
        c->setObjectName(QString::fromLatin1(name));
        c->setGeometry(4, top, 56, 18);
        return c;
    };
    fltchckbxckbx1 = check(QStringLiteral("CH1V"), "fltchckbxckbx1", 13);
    fltchckbxckbx2 = check(QStringLiteral("CH1A"), "fltchckbxckbx2", 45);
    fltchckbxckbx3 = check(QStringLiteral("Ch2V"), "fltchckbxckbx3", 77);
    fltchckbxckbx4 = check(QStringLiteral("CH2A"), "fltchckbxckbx4", 109);
    chk_Ch3V = check(QStringLiteral("CH3V"), "chk_Ch3V", 141);
    chk_Ch3A = check(QStringLiteral("CH3A"), "chk_Ch3A", 173);
    pnl_Ch1v = swatch(column, "pnl_Ch1v", 13, 33, 34, 6);
    pnl_Ch1A = swatch(column, "pnl_Ch1A", 13, 66, 34, 4);
    pnl_Ch2v = swatch(column, "pnl_Ch2v", 13, 98, 34, 6);
    pnl_Ch2A = swatch(column, "pnl_Ch2A", 13, 130, 34, 4);
    setCurveColor(pnl_Ch1v, PlotColors::activeCaption());
    setCurveColor(pnl_Ch1A, PlotColors::activeCaption());
    setCurveColor(pnl_Ch2v, PlotColors::Lime);
    setCurveColor(pnl_Ch2A, PlotColors::Lime);
    Btn_Start = button(column, QStringLiteral("Start"), "Btn_Start", 1, 203, 58, 25);
    Btn_Stop = button(column, QStringLiteral("Stop"), "Btn_Stop", 1, 227, 58, 25);
    Btn_Setup = button(column, QStringLiteral("Setup"), "Btn_Setup", 1, 251, 58, 25);
    Btn_Refresh = button(column, QStringLiteral("Refresh"), "Btn_Refresh", 1, 275, 58, 25);
    Btn_Return = button(column, QStringLiteral("Return"), "Btn_Return", 1, 299, 58, 25);

    auto* files = new QGroupBox(this);
    files->setGeometry(224, 330, 257, 34);
    btn_Save = button(files, QStringLiteral("Save"), "btn_Save", 9, 8, 46, 20);
    btn_Load = button(files, QStringLiteral("Load"), "btn_Load", 57, 8, 46, 20);
    btn_Delete = button(files, QStringLiteral("Delete"), "btn_Delete", 105, 8, 46, 20);
    btn_Export = button(files, QStringLiteral("Export"), "btn_Export", 153, 8, 46, 20);
    btn_Print = button(files, QStringLiteral("Print"), "btn_Print", 201, 8, 46, 20);

    auto chooser = [this](const char* name, const QString& caption, int x,
                          const QStringList& items) {
        label(this, caption, x, 364, nullptr, 60);
        auto* c = new QComboBox(this);
        c->setObjectName(QString::fromLatin1(name));
        c->setGeometry(x, 379, 78, 21);
        c->addItems(items);
        return c;
    };
    cbb_Time = chooser("cbb_Time", QStringLiteral("Time Len"), 232,
                       {QStringLiteral("5m"), QStringLiteral("10m"), QStringLiteral("20m"),
                        QStringLiteral("30m"), QStringLiteral("60m")});
    QStringList volts{QStringLiteral("Default"), QStringLiteral("1V"), QStringLiteral("5V"),
                      QStringLiteral("10V"), QStringLiteral("15V")};
    for (int v = 20; v <= 105; v += 5) volts << QString::number(v) + QLatin1Char('v');
    cbb_Voltage = chooser("cbb_Voltage", QStringLiteral("Voltage"), 314, volts);
    cbb_Current =
        chooser("cbb_Current", QStringLiteral("Current"), 401,
                {QStringLiteral("Default"), QStringLiteral("0.1A"), QStringLiteral("0.5A"),
                 QStringLiteral("1A"),      QStringLiteral("1.5A"), QStringLiteral("2A"),
                 QStringLiteral("2.5A"),    QStringLiteral("3A"),   QStringLiteral("3.5A"),
                 QStringLiteral("4A"),      QStringLiteral("4.5A"), QStringLiteral("5A"),
                 QStringLiteral("10A"),     QStringLiteral("15A"),  QStringLiteral("20A"),
                 QStringLiteral("25A"),     QStringLiteral("30A"),  QStringLiteral("35A"),
                 QStringLiteral("40A"),     QStringLiteral("45A"),  QStringLiteral("50A")});

    lst1 = new QListWidget(this);
    lst1->setObjectName(QStringLiteral("lst1"));
    lst1->setGeometry(0, 335, 225, 67);
    QFont small = lst1->font();
    small.setPixelSize(13);
    lst1->setFont(small);
    lst1->setUniformItemSizes(true);
    lst1->addItem(QString());  // one empty line until a setup is accepted

    lst_Load = new QListWidget(this);
    lst_Load->setObjectName(QStringLiteral("lst_Load"));
    lst_Load->setGeometry(42, 32, 602, 250);
    QFont big = lst_Load->font();
    big.setPixelSize(17);
    lst_Load->setFont(big);
    lst_Load->setUniformItemSizes(true);
    lst_Load->setAutoFillBackground(true);
    lst_Load->installEventFilter(this);
    lst_Load->hide();

    tmr_All = new QTimer(this);
    tmr_Scale = new QTimer(this);
    tmr_time = new QTimer(this);
    // At most one sync a second, so a long recording costs the disk little.
    tmr_Journal = new QTimer(this);
    tmr_Journal->setInterval(1000);
    connect(tmr_Journal, &QTimer::timeout, this, [this] { m_journal.syncIfWritten(); });
    tmr_All->setObjectName(QStringLiteral("tmr_All"));
    tmr_Scale->setObjectName(QStringLiteral("tmr_Scale"));
    tmr_time->setObjectName(QStringLiteral("tmr_time"));
    tmr_time->setInterval(1000);

    connect(Btn_Start, &QPushButton::clicked, this, &TForm_Wave::Btn_StartClick);
    connect(Btn_Stop, &QPushButton::clicked, this, &TForm_Wave::Btn_StopClick);
    connect(Btn_Setup, &QPushButton::clicked, this, &TForm_Wave::Btn_SetupClick);
    connect(Btn_Refresh, &QPushButton::clicked, this, &TForm_Wave::Btn_RefreshClick);
    connect(Btn_Return, &QPushButton::clicked, this, &TForm_Wave::Btn_ReturnClick);
    connect(btn_Save, &QPushButton::clicked, this, &TForm_Wave::btn_SaveClick);
    connect(btn_Load, &QPushButton::clicked, this, &TForm_Wave::btn_LoadClick);
    connect(btn_Delete, &QPushButton::clicked, this, &TForm_Wave::btn_DeleteClick);
    connect(btn_Export, &QPushButton::clicked, this, &TForm_Wave::btn_ExportClick);
    connect(lst_Load, &QListWidget::itemClicked, this, &TForm_Wave::lst_LoadClick);
    connect(tmr_All, &QTimer::timeout, this, &TForm_Wave::tmr_AllTimer);
    connect(tmr_Scale, &QTimer::timeout, this, &TForm_Wave::tmr_ScaleTimer);
    connect(tmr_time, &QTimer::timeout, this, &TForm_Wave::tmr_timeTimer);
    connect(cbb_Time, &QComboBox::currentIndexChanged, this, &TForm_Wave::cbb_TimeChange);
    connect(cbb_Voltage, &QComboBox::currentIndexChanged, this, &TForm_Wave::cbb_VoltageChange);
    connect(cbb_Current, &QComboBox::currentIndexChanged, this, &TForm_Wave::cbb_CurrentChange);
    connect(pb1, &PlotArea::hovered, this, &TForm_Wave::showSampleTip);
    connect(pb1, &PlotArea::left, this, [] { QToolTip::hideText(); });
    for (QCheckBox* c : {fltchckbxckbx1, fltchckbxckbx2, fltchckbxckbx3, fltchckbxckbx4}) {
        connect(c, &QCheckBox::clicked, this, &TForm_Wave::pb1Paint);
    }
}

void TForm_Wave::FormShow() {
    for (QCheckBox* c : {fltchckbxckbx1, fltchckbxckbx2, fltchckbxckbx3, fltchckbxckbx4})
        c->setChecked(true);
    cbb_Time->setCurrentIndex(0);
    cbb_Voltage->setCurrentIndex(0);
    cbb_Current->setCurrentIndex(0);
    chk_Ch3V->setEnabled(false);
    chk_Ch3A->setEnabled(false);
    resetTimeLabels();
    fillSavedRecordList();
    pb1Paint();
}

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
    if (m_unsaved == 0) return true;
    QMessageBox box(QMessageBox::Question, programTitle(),
                    m_unsaved == 1
                        ? QStringLiteral("1 recorded line has not been saved.")
                        : QStringLiteral("%1 recorded lines have not been saved.").arg(m_unsaved),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("unsavedRecord"));
    box.setInformativeText(QStringLiteral("Save the recording before closing?"));
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Save:
            return runGuarded(this,
                              [this] { saveRecord(); });  // a failed save keeps the program open
        case QMessageBox::Discard:
            m_unsaved = 0;
            m_journal.remove();
            return true;
        default:
            return false;
    }
}

void TForm_Wave::saveBeforeEnd(bool tellOperator) {
    if (m_unsaved == 0) return;
    QString path;
    if (!tellOperator) {
        try {
            path = saveRecord();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return;
        }
        std::fprintf(stderr, "The recording was saved to \"%s\".\n",
                     qPrintable(QDir::toNativeSeparators(path)));
        return;
    }
    if (!runGuarded(this, [&] { path = saveRecord(); })) return;
    const QString text =
        QStringLiteral("The recording was saved to \"%1\".").arg(QDir::toNativeSeparators(path));
    if (m_host) m_host->setStatusText(0, text);
    ShowMessage(text);
}

void TForm_Wave::resetTimeLabels() {
    state.ElapsedH = state.ElapsedM = state.ElapsedS = 0;
    for (QLabel* l : {lbl_TminH, lbl_TminM, lbl_TminS, lbl_TmidH}) l->setText(QStringLiteral("0"));
    // The 5-minute span's labels, every one of them; then the chosen span's.
    const SpanLabels first = spanLabels(QStringLiteral("5m"));
    lbl_TmidM->setText(first.midM);
    lbl_TmidS->setText(first.midS);
    lbl_TmaxH->setText(first.rightH);
    lbl_TmaxM->setText(first.rightM);
    lbl_TmaxS->setText(first.rightS);
    cbb_TimeChange();
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
    lst1->clear();
    lst1->addItems(lines);
}

QStringList TForm_Wave::summary() const {
    QStringList out;
    for (int i = 0; i < lst1->count(); ++i) out << lst1->item(i)->text();
    return out;
}

void TForm_Wave::setChoosersEnabled(bool enabled) {
    for (QComboBox* c : {cbb_Time, cbb_Voltage, cbb_Current}) c->setEnabled(enabled);
}

// ---- Acquisition ----

void TForm_Wave::Btn_StartClick() {
    if (m_waiting) return;  // already waiting for the readings
    if (m_host && m_host->outputCaption() == QLatin1String("OFF")) {
        ShowMessage(QStringLiteral("Please Turn on Device into Output(Run) Mode"));
        return;
    }
    if (state.PointOperation.isEmpty()) {
        ShowMessage(QStringLiteral("Please setup the time length of record first."));
        return;
    }
    // Wait for all four readings, letting the link fill them meanwhile. The
    // wait ends without starting when the output goes off or Stop is pressed.
    m_waiting = true;
    m_stopWaiting = false;
    QPointer<TForm_Wave> self(this);
    for (;;) {
        const bool paused = pauseFor(20);
        if (!self) return;
        if (!paused || m_stopWaiting ||
            (m_host && m_host->outputCaption() == QLatin1String("OFF"))) {
            m_waiting = false;
            return;
        }
        const QStringList r = m_host ? m_host->readingTexts() : QStringList();
        if (r.size() == 4 &&
            std::none_of(r.begin(), r.end(), [](const QString& t) { return t.isEmpty(); }))
            break;
    }
    m_waiting = false;

    resetTimeLabels();
    setChoosersEnabled(false);
    state.WindowFull = false;
    for (QTimer* t : {tmr_All, tmr_Scale, tmr_time}) {
        if (!t->isActive()) t->start();  // a running timer keeps its schedule
    }
    state.PointCount = 0;
    state.PlotSliceMs = state.TimeSliceMs;
    state.SampleNo = -1;
    state.SecondTicks = 1;
    state.ElapsedS = state.ElapsedM = state.ElapsedH = 0;
    state.Table = RecordTable::withHeader();
    m_slice.clear();  // readings from before the start are no sample of it
    m_unsaved = 0;
    startJournal();
    for (auto& channel : m_max) channel[0] = channel[1] = Extreme{};
    for (auto& channel : m_min) channel[0] = channel[1] = Extreme{};
    pb1Paint();
}

void TForm_Wave::outputStopping() {
    Btn_StopClick();
}

void TForm_Wave::Btn_StopClick() {
    m_stopWaiting = true;
    for (QTimer* t : {tmr_All, tmr_Scale, tmr_time, tmr_Journal}) t->stop();
    // Kept on disk until the lines are saved or discarded.
    if (m_unsaved == 0)
        m_journal.remove();
    else
        m_journal.close();
    setChoosersEnabled(true);
}

void TForm_Wave::tmr_AllTimer() {
    Btn_StopClick();
}

// A slice cut short by switching off is not carried into the next switch on.
void TForm_Wave::setFastReadings(bool on) {
    m_fast = on;
    m_slice.clear();
}

void TForm_Wave::takeReading(int index, const QString& text) {
    if (m_fast) m_slice.add(index, text);
}

bool TForm_Wave::Panduandaodian() const {
    return qint64(state.SecondTicks) * 1000 ==
           qint64(spanMinutes(cbb_Time->currentText())) * 60000 + 1000;
}

void TForm_Wave::tmr_timeTimer() {
    RecorderState& s = state;
    if (s.SecondTicks == 1) s.TotalS = s.TotalM = s.TotalH = s.TotalD = 0;
    s.TotalS += 1;
    if (Panduandaodian()) s.WindowFull = true;
    s.SecondTicks += 1;
    if (!s.WindowFull) return;
    addOneSecond(s.ElapsedH, s.ElapsedM, s.ElapsedS);
    lbl_TminS->setText(QString::number(s.ElapsedS));
    lbl_TminM->setText(QString::number(s.ElapsedM));
    lbl_TminH->setText(QString::number(s.ElapsedH));
    for (auto group : {std::array<QLabel*, 3>{lbl_TmidH, lbl_TmidM, lbl_TmidS},
                       std::array<QLabel*, 3>{lbl_TmaxH, lbl_TmaxM, lbl_TmaxS}}) {
        int h = textToInt(group[0]), m = textToInt(group[1]), sec = textToInt(group[2]);
        addOneSecond(h, m, sec);
        group[0]->setText(QString::number(h));
        group[1]->setText(QString::number(m));
        group[2]->setText(QString::number(sec));
    }
}

void TForm_Wave::trackExtremes(const QStringList& readings, const double (&values)[4]) {
    for (int i = 0; i < 4; ++i) {
        Extreme& hi = m_max[i / 2][i % 2];
        Extreme& lo = m_min[i / 2][i % 2];
        if (!hi.set || values[i] > hi.value) hi = {true, values[i], readings[i]};
        if (!lo.set || values[i] < lo.value) lo = {true, values[i], readings[i]};
    }
}

QString TForm_Wave::extremeLine(int channel, bool max) const {
    const auto& e = max ? m_max[channel] : m_min[channel];
    return QStringLiteral("CH%1 %2:%3V %4A")
        .arg(channel + 1)
        .arg(max ? QStringLiteral("Max") : QStringLiteral("Min"), e[0].text, e[1].text);
}

void TForm_Wave::tmr_ScaleTimer() {
    RecorderState& s = state;
    if (!s.Table) return;  // no recording has started
    const QDateTime when = Now();
    const QStringList latest = m_host ? m_host->readingTexts() : QStringList(4, QString());
    const QStringList r = m_fast ? m_slice.take(s.PointOperation, latest) : latest;
    double v[4];
    try {
        for (int i = 0; i < 4; ++i) v[i] = StrToFloat(r.value(i));
    } catch (const EConvertError& e) {
        // One box at a time: ticks that come while it is open are skipped quietly.
        if (m_tickErrorShown) return;
        m_tickErrorShown = true;
        QPointer<TForm_Wave> self(this);
        showErrorBox(this, QString::fromUtf8(e.what()));
        if (self) m_tickErrorShown = false;
        return;
    }

    if (s.TotalS >= 60) {
        s.TotalM += s.TotalS / 60;
        s.TotalS %= 60;
    }
    if (s.TotalM >= 60) {
        s.TotalH += s.TotalM / 60;
        s.TotalM %= 60;
    }
    if (s.TotalH >= 24) {
        s.TotalD += s.TotalH / 24;
        s.TotalH %= 24;
    }

    trackExtremes(r, v);
    setSummary(
        {QStringLiteral("Total Time:%1d %2:%3:%4")
             .arg(s.TotalD)
             .arg(s.TotalH)
             .arg(s.TotalM)
             .arg(s.TotalS),
         QStringLiteral("Time Slice: %1sec").arg(roundHalfEven(tmr_Scale->interval() / 1000.0)),
         QStringLiteral("Sample: %1").arg(s.SampleNo + 1), extremeLine(0, true),
         extremeLine(0, false), extremeLine(1, true), extremeLine(1, false)});

    const bool full = s.WindowFull || s.PointCount >= kMaxPoints;  // never past the array's end

    s.SampleNo += 1;
    s.Table->appendSample(s.SampleNo, when, r.value(0), r.value(1), r.value(2), r.value(3));
    ++m_unsaved;
    if (m_journal.isOpen()) {
        try {
            m_journal.append(s.Table->lineView(s.Table->lineCount() - 1));
        } catch (const EFileError& e) {
            journalFailed(QString::fromUtf8(e.what()));
        }
    }

    s.PlotSliceMs = s.TimeSliceMs;
    PlotSample sample{when, {v[0], v[1], v[2], v[3]}};
    if (full) {
        // Scrolling: every column shows the next sample on.
        if (s.PointCount >= 1) {
            auto first = s.Points.begin() + 1, last = first + s.PointCount;
            std::move(first + 1, last, first);
            *(last - 1) = std::move(sample);
        }
    } else {
        s.PointCount += 1;
        s.Points[std::size_t(s.PointCount)] = std::move(sample);
    }
    // Painted whole every tick (a fraction of a millisecond), so the live
    // plot is the one any repaint shows.
    pb1Paint();
}

void TForm_Wave::Btn_RefreshClick() {
    pb1Paint();
}

void TForm_Wave::Btn_ReturnClick() {
    if (m_host) m_host->showControlPanel();
}

// ---- The plot ----

int TForm_Wave::plotSlices() const {
    return slicesPerSpan(spanMinutes(cbb_Time->currentText()), state.PlotSliceMs);
}

// From the samples kept, at the scales and span chosen now.
void TForm_Wave::pb1Paint() {
    QImage& img = pb1->canvas();
    img.fill(PlotColors::ButtonText);
    QPainter p(&img);
    const RecorderState& s = state;
    const int slices = plotSlices();
    const double vScale = fullScale(cbb_Voltage->currentText(), true);
    const double aScale = fullScale(cbb_Current->currentText(), false);
    auto curve = [&](const QCheckBox* box, int reading, const QFrame* sw, int width) {
        if (!box->isChecked() || s.PointCount < 1) return;
        const std::size_t r = std::size_t(reading);
        const double scale = reading % 2 ? aScale : vScale;
        const QColor color = curveColor(sw);
        p.setPen(QPen(color, width));
        QPoint from(0, plotRow(scale, s.Points[1].values[r]));
        for (int k = 1; k <= s.PointCount; ++k) {
            const QPoint to(ChSecondG(slices, k),
                            plotRow(scale, s.Points[std::size_t(k)].values[r]));
            p.drawLine(from, to);
            from = to;
        }
        // Off-scale readings lie on the edge: a mark says they go beyond it.
        p.setPen(QPen(color, 1));
        p.setBrush(color);
        int lastMark[2] = {INT_MIN / 2, INT_MIN / 2};  // below, above
        for (int k = 1; k <= s.PointCount; ++k) {
            const int edge = offScale(scale, s.Points[std::size_t(k)].values[r]);
            const int x = ChSecondG(slices, k);
            if (edge == 0 || x > kPlotWidth) continue;
            int& last = lastMark[edge > 0 ? 1 : 0];
            if (x - last < kArrowGap) continue;
            last = x;
            drawArrow(p, std::clamp(x, kArrowHalf, kPlotWidth - 1 - kArrowHalf), edge);
        }
        p.setBrush(Qt::NoBrush);
    };
    curve(fltchckbxckbx1, 0, pnl_Ch1v, 3);
    curve(fltchckbxckbx3, 2, pnl_Ch2v, 3);
    curve(fltchckbxckbx2, 1, pnl_Ch1A, 1);
    curve(fltchckbxckbx4, 3, pnl_Ch2A, 1);
    // DrawLine: the grid, over the curves.
    for (int i = 1; i <= 12; ++i) {
        p.setPen(QPen(i == 6 ? QColor(Qt::white) : PlotColors::AppWorkspace, 1));
        p.drawLine(50 * i, 250, 50 * i, 0);
    }
    for (int i = 1; i <= 10; ++i) {
        p.setPen(QPen(i == 5 ? QColor(Qt::white) : PlotColors::AppWorkspace, 1));
        p.drawLine(0, 25 * i, 600, 25 * i);
    }
    p.end();
    pb1->update();
}

// The sample drawn nearest column x; 0 where the curves have ended.
int TForm_Wave::sampleAt(int x) const {
    const int count = state.PointCount;
    if (count < 1) return 0;
    const int slices = plotSlices();
    const int reach = std::max(1, roundHalfEven(kPlotWidth / 2.0 / slices));
    if (x > ChSecondG(slices, count) + reach) return 0;
    int best = 1;
    for (int k = 2; k <= count; ++k) {
        if (std::abs(ChSecondG(slices, k) - x) < std::abs(ChSecondG(slices, best) - x)) best = k;
    }
    return best;
}

void TForm_Wave::showSampleTip(const QPoint& pos) {
    const int k = sampleAt(pos.x());
    if (k == 0) {
        QToolTip::hideText();
        return;
    }
    const PlotSample& sample = state.Points[std::size_t(k)];
    const auto& v = sample.values;
    const QString text = QStringLiteral("%1 \u2014 CH1 %2 V %3 A, CH2 %4 V %5 A")
                             .arg(sample.when.toString(QStringLiteral("HH:mm:ss")),
                                  QString::number(v[0], 'f', 2), QString::number(v[1], 'f', 3),
                                  QString::number(v[2], 'f', 2), QString::number(v[3], 'f', 3));
    QToolTip::showText(pb1->mapToGlobal(pos), text, pb1);
}

void TForm_Wave::cbb_TimeChange() {
    const RecorderState& s = state;
    const int left = (s.ElapsedH * 60 + s.ElapsedM) * 60 + s.ElapsedS;
    if (left == 0) {
        const SpanLabels l = spanLabels(cbb_Time->currentText());
        lbl_TmidM->setText(l.midM);
        lbl_TmidS->setText(l.midS);
        lbl_TmaxH->setText(l.rightH);
        lbl_TmaxM->setText(l.rightM);
        if (!l.rightS.isEmpty()) lbl_TmaxS->setText(l.rightS);
    } else {
        // A scrolled plot keeps its left edge; the curves spread from there.
        const int span = spanMinutes(cbb_Time->currentText()) * 60;
        setClock({lbl_TmidH, lbl_TmidM, lbl_TmidS}, left + span / 2);
        setClock({lbl_TmaxH, lbl_TmaxM, lbl_TmaxS}, left + span);
    }
    pb1Paint();
}

void TForm_Wave::cbb_VoltageChange() {
    const QStringList l = scaleLabels(cbb_Voltage->currentText(), true);
    lbl_Vmax->setText(l[0]);
    lbl_Vmid->setText(l[1]);
    pb1Paint();
}

void TForm_Wave::cbb_CurrentChange() {
    const QStringList l = scaleLabels(cbb_Current->currentText(), false);
    lbl_Amax->setText(l[0]);
    lbl1_Amid->setText(l[1]);
    pb1Paint();
}

// ---- The setup dialog ----

void TForm_Wave::Btn_SetupClick() {
    // Made when needed and discarded after use, so every showing starts from the defaults.
    TFrm_Setup* dialog = StartupSetup ? StartupSetup.data() : new TFrm_Setup(this);
    StartupSetup = nullptr;
    dialog->attachRecorder(this);
    dialog->exec();
    delete dialog;
}

// ---- Record files ----

QString TForm_Wave::saveRecord() {
    if (RecordDir.isEmpty()) {
        RecordDir = LocateRecordDir();  // reports again why there is no folder
        fillSavedRecordList();
    }
    const QString path = saveNewRecordFile(RecordDir, recordFileName(Now()), *state.Table);
    qCInfo(lqsRecorder).noquote() << "saved" << state.Table->lineCount() - 1 << "lines to" << path;
    m_unsaved = 0;
    // The saved lines need no journal; a recording still running starts a fresh one.
    if (tmr_Scale->isActive())
        startJournal();
    else
        m_journal.remove();
    addSavedRecord(QFileInfo(path).fileName());
    return path;
}

void TForm_Wave::startJournal() {
    if (RecordDir.isEmpty()) return;
    try {
        m_journal.open(journalPath(RecordDir), RecordTable::header());
    } catch (const EFileError& e) {
        journalFailed(QString::fromUtf8(e.what()));
        return;
    }
    qCDebug(lqsRecorder).noquote() << "journal started:" << journalPath(RecordDir);
    tmr_Journal->start();
}

// The recording goes on; only what a kill would take is at risk.
void TForm_Wave::journalFailed(const QString& why) {
    qCInfo(lqsRecorder).noquote() << "journal given up:" << why;
    m_journal.close();
    tmr_Journal->stop();
    if (m_host)
        m_host->setStatusText(
            0,
            QStringLiteral("Recorded lines are no longer kept on disk until saved: %1").arg(why));
}

// The entry shows the name without ".txt" and keeps the file's own name.
void TForm_Wave::addSavedRecord(const QString& fileName) {
    auto* item = new QListWidgetItem(savedRecordEntry(fileName), lst_Load);
    item->setData(Qt::UserRole, fileName);
}

void TForm_Wave::btn_SaveClick() {
    if (!state.Table) return;
    runGuarded(this, [this] { saveRecord(); });
}

bool TForm_Wave::askYesNo(const QString& text, const char* name) {
    QMessageBox box(QMessageBox::Question, programTitle(), text, QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setObjectName(QString::fromLatin1(name));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void TForm_Wave::btn_ExportClick() {
    const ExportChoice chosen = ChooseExportPath ? ChooseExportPath() : ExportChoice{};
    if (chosen.path.isEmpty() || !state.Table) return;
    const QString path =
        exportPath(chosen.path, chosen.csv ? QStringLiteral(".csv") : QStringLiteral(".xls"));
    WriteTarget target;
    if (!runGuarded(this, [&] { target = writeTarget(path); })) return;
    const QString shownPath = QDir::toNativeSeparators(path);
    // Through a link the file replaced lies elsewhere: the question names it.
    const QString question =
        target.viaLink ? QStringLiteral("\"%1\" is a link to \"%2\". Replace \"%2\"?")
                             .arg(shownPath, QDir::toNativeSeparators(target.path))
                       : QStringLiteral("\"%1\" already exists. Replace it?").arg(shownPath);
    if (target.exists && !askYesNo(question, "replaceExport")) return;
    runGuarded(this, [&] {
        if (chosen.csv)
            writeFileBytes(target.path, csvBytes(*state.Table));
        else
            writeRecordFile(target.path, *state.Table);
        qCInfo(lqsRecorder).noquote() << "exported to" << target.path;
    });
}

bool TForm_Wave::loadMode() const {
    return lst_Load->palette().color(QPalette::Base) == PlotColors::MoneyGreen;
}

void TForm_Wave::showSavedRecordList(const QColor& mode) {
    QPalette pal = lst_Load->palette();
    pal.setColor(QPalette::Base, mode);
    lst_Load->setPalette(pal);
    if (lst_Load->count() == 0) return;
    lst_Load->show();
    lst_Load->raise();
    lst_Load->setFocus();
    qApp->installEventFilter(this);  // a click anywhere else hides it
}

void TForm_Wave::hideSavedRecordList() {
    qApp->removeEventFilter(this);
    lst_Load->hide();
}

// Escape in the saved-record list, or a press anywhere else in this window's
// frame, leaves it without loading or deleting. Boxes it opens are windows
// of their own and do not count.
bool TForm_Wave::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lst_Load && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        hideSavedRecordList();
        return true;
    }
    if (event->type() == QEvent::MouseButtonPress && lst_Load->isVisible()) {
        auto* w = qobject_cast<QWidget*>(watched);
        if (w && w->window() == window() && w != lst_Load && !lst_Load->isAncestorOf(w))
            hideSavedRecordList();
    }
    return QWidget::eventFilter(watched, event);
}

void TForm_Wave::btn_LoadClick() {
    showSavedRecordList(PlotColors::MoneyGreen);
}

void TForm_Wave::btn_DeleteClick() {
    showSavedRecordList(PlotColors::Fuchsia);
}

void TForm_Wave::fillSavedRecordList() {
    lst_Load->clear();
    const QString where = RecordDir.isEmpty() ? QString()
                                              : QStringLiteral("Records are kept in \"%1\".")
                                                    .arg(QDir::toNativeSeparators(RecordDir));
    for (QWidget* w : {btn_Save, btn_Load, btn_Delete}) w->setToolTip(where);
    if (RecordDir.isEmpty()) return;
    for (const QString& name : searchAllSaveFiles(RecordDir)) addSavedRecord(name);
}

void TForm_Wave::lst_LoadClick() {
    QListWidgetItem* item = lst_Load->currentItem();
    if (!item) return;
    const QString path = RecordDir + QLatin1Char('/') + item->data(Qt::UserRole).toString();
    if (!loadMode()) {
        const QString name = item->text();
        if (!askYesNo(QStringLiteral("Delete %1?").arg(name), "confirmDelete")) {
            hideSavedRecordList();
            return;
        }
    }
    const bool ok = runGuarded(this, [&] {
        if (loadMode()) {
            RecordLines lines = readRecordLines(path);
            if (!state.Table) {
                if (m_host) m_host->setStatusText(0, QStringLiteral("No recording to merge into"));
                return;
            }
            const MergeCount n = mergeRecordFile(*state.Table, std::move(lines), path);
            qCInfo(lqsRecorder).noquote()
                << "loaded" << path << "-" << n.merged << "lines merged," << n.skipped << "skipped";
            m_unsaved += int(n.merged);
            QString text = n.merged == 1 ? QStringLiteral("Merged 1 line")
                                         : QStringLiteral("Merged %1 lines").arg(n.merged);
            if (n.skipped == 1) text += QStringLiteral("; skipped 1 that is not a record line");
            if (n.skipped > 1)
                text += QStringLiteral("; skipped %1 that are not record lines").arg(n.skipped);
            if (m_host) m_host->setStatusText(0, text);
        } else {
            deleteRecordFile(path);
            qCInfo(lqsRecorder).noquote() << "deleted" << path;
            fillSavedRecordList();
        }
    });
    if (ok) hideSavedRecordList();
}

void offerLeftRecording(QWidget* parent) {
    QString dir;
    try {
        dir = TForm_Wave::LocateRecordDir();
    } catch (const EFileError&) {
        return;  // the recorder says why when it is used
    }
    const QString path = journalPath(dir);
    if (dir.isEmpty() || !QFileInfo::exists(path)) return;
    LeftJournal left;
    if (!runGuarded(parent, [&] { left = readJournal(path); })) return;
    const int lines = left.table.lineCount() - 1;
    qCInfo(lqsRecorder).noquote() << "journal left behind:" << path << "with" << lines << "lines";
    if (lines == 0) {
        QFile::remove(path);
        return;
    }
    const QDateTime when = left.started.isValid() ? left.started : QFileInfo(path).lastModified();
    QMessageBox box(QMessageBox::Question, programTitle(),
                    (lines == 1 ? QStringLiteral("A recording of 1 line from %2 was not saved.")
                                : QStringLiteral("A recording of %1 lines from %2 was not saved."))
                        .arg(lines)
                        .arg(QLocale().toString(when, QLocale::ShortFormat)),
                    QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("leftRecording"));
    box.setInformativeText(QStringLiteral("Recover it as a record file, or discard it?"));
    QPushButton* recover = box.addButton(QStringLiteral("Recover"), QMessageBox::AcceptRole);
    QPushButton* discard = box.addButton(QStringLiteral("Discard"), QMessageBox::DestructiveRole);
    box.setDefaultButton(recover);
    box.exec();
    if (box.clickedButton() == discard) {
        qCInfo(lqsRecorder) << "left journal discarded";
        QFile::remove(path);
        return;
    }
    if (box.clickedButton() != recover) return;  // asked again at the next start
    QString saved;
    if (!runGuarded(parent, [&] {
            saved =
                saveNewRecordFile(dir, recordFileName(QDateTime::currentDateTime()), left.table);
        }))
        return;
    qCInfo(lqsRecorder).noquote() << "left journal recovered to" << saved;
    QFile::remove(path);
    QMessageBox done(QMessageBox::Information, programTitle(),
                     QStringLiteral("The recording was recovered to \"%1\".")
                         .arg(QDir::toNativeSeparators(saved)),
                     QMessageBox::Ok, parent);
    done.setObjectName(QStringLiteral("recoveredRecording"));
    done.exec();
}

}  // namespace lqs
