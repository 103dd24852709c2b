#include "control_panel/sequence_editor.h"

#include "control_panel/sequence_plot.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "device_link/set_point_math.h"
#include "remote/sequence_files.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QSplitter>
#include <QStyle>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>

namespace lqs {

using ms = std::chrono::milliseconds;

namespace {

enum Column {
    ColCoupling,
    ColRecall,
    ColV1,
    ColA1,
    ColV2,
    ColA2,
    ColOutput,
    ColDwell,
    ColRamp,
    ColUntil,
    ColChannel,
    ColLevel,
    ColumnCount
};

const char* const kHeads[ColumnCount] = {"Coupling", "Recall",    "Ch1 V",   "Ch1 A",
                                         "Ch2 V",    "Ch2 A",     "Output",  "Dwell (s)",
                                         "Ramp",     "Ends when", "Channel", "Level"};
const char* const kCouplings[] = {"unchanged", "Independent", "Parallel", "Tracking"};
const char* const kRecalls[] = {"none", "M1", "M2", "M3", "M4"};
const char* const kOutputs[] = {"unchanged", "on", "off"};
// In EndCondition::Kind's order.
const char* const kUntils[] = {"None",
                               "V ≥",
                               "V ≤",
                               "I ≥",
                               "I ≤",
                               "enters CC",
                               "enters CV",
                               "charge reached (Ah)",
                               "energy reached (Wh)",
                               "operator's Next"};
constexpr int kValueColumns[4] = {ColV1, ColA1, ColV2, ColA2};

QString shortest(double v) {
    return QLocale::c().toString(v, 'g', QLocale::FloatingPointShortest);
}

QString secondsText(double s) {
    return s < 10 ? QString::number(s, 'f', 2) : QString::number(s, 'f', 1);
}

QString valueText(int modelIndex, double v) {
    const QString t = FormatForModel(modelIndex, v);
    return t.isEmpty() ? QString::number(v, 'f', 2) : t;
}

// A cell as typed: blank, a number, or neither.
std::optional<double> parseCell(QString text, bool* bad) {
    text = text.trimmed();
    *bad = false;
    if (text.isEmpty()) return std::nullopt;
    text.replace(u',', u'.');  // a decimal comma is meant as a point
    bool ok = false;
    const double v = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(v)) {
        *bad = true;
        return std::nullopt;
    }
    return v;
}

QString clockText(ms left) {
    const long long s = std::max<long long>(0, (left.count() + 999) / 1000);
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600)
            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QComboBox* comboOf(const char* const* items, int count, int current) {
    auto* box = new QComboBox;
    for (int i = 0; i < count; ++i) box->addItem(QString::fromUtf8(items[i]));
    box->setCurrentIndex(current);
    return box;
}

const QColor kBadCell(0xff, 0xc8, 0xc8);

}  // namespace

// ---- The line's pace ----

double exchangeMs(int frameBytes, int replyBytes, const LinePace& pace) {
    const double bytesMs =
        pace.baud > 0 ? (frameBytes + replyBytes) * 10.0 * 1000.0 / pace.baud : 0;
    return bytesMs + (replyBytes > 0 ? pace.replyMs : 0) + pace.gapMs;
}

namespace {

constexpr int kReplyBytes = 6;  // "12.34" and its CR
constexpr int kQueryBytes = 8;  // "VSET1?" and CR LF

// A set point sent ("VSET1:12.34" CR LF) and read back.
double setPointMs(int modelIndex, double value, const LinePace& pace) {
    const int command = 6 + int(valueText(modelIndex, value).size()) + 2;
    return exchangeMs(command, 0, pace) + exchangeMs(kQueryBytes, kReplyBytes, pace);
}

}  // namespace

ms stepSendTime(const PlanStep& step, int modelIndex, const LinePace& pace) {
    double total = 0;
    for (const ChannelTarget& t : step.channels)
        for (const std::optional<double>& v : {t.volts, t.amps})
            if (v) total += setPointMs(modelIndex, *v, pace);
    if (step.output != OutputChange::Unchanged)  // "OUT1", then STATUS? to confirm
        total += exchangeMs(6, 0, pace) + exchangeMs(9, 3, pace);
    if (step.coupling) total += exchangeMs(8, 0, pace);
    if (step.recall > 0)  // "RCL1", then every set point and reading asked again
        total += exchangeMs(6, 0, pace) + 9 * exchangeMs(kQueryBytes, kReplyBytes, pace);
    return ms(std::llround(std::ceil(total)));
}

RampPace rampPace(double from, double to, ms dwell, int modelIndex, const LinePace& pace,
                  int rampedTogether, int passMs) {
    const double perPoint = setPointMs(modelIndex, to, pace) * std::max(1, rampedTogether);
    const ms interval(std::max<long long>(passMs, std::llround(std::ceil(perPoint))));
    const ModelProfile* p = modelProfile(modelIndex);
    const std::vector<RampPoint> points =
        rampPoints(from, to, dwell, interval, p ? p->fineStep : 0);
    RampPace out;
    out.subSteps = int(points.size());
    if (out.subSteps > 0) {
        out.stepSize = std::abs(to - from) / out.subSteps;
        out.every = dwell / out.subSteps;
    }
    if (dwell.count() > 0) out.perSecond = (to - from) * 1000.0 / double(dwell.count());
    return out;
}

// ---- The table ----

struct SequenceEditor::RowText {
    int coupling = 0;
    int recall = 0;
    std::array<QString, 4> values;  // Ch1 V, Ch1 A, Ch2 V, Ch2 A
    int output = 0;
    QString dwell = QStringLiteral("1");
    bool ramp = false;
    int until = 0;
    int channel = 0;  // index: channel 1
    QString level;
};

SequenceEditor::SequenceEditor(LinkClient* client, Coupling coupling, QWidget* parent)
    : QDialog(parent), m_client(client), m_coupling(coupling) {
    setObjectName(QStringLiteral("SequenceEditor"));
    setWindowTitle(QStringLiteral("Sequence"));
    setModal(false);
    buildWindow();
    connect(m_client, &LinkClient::couplingChanged, this, [this](Coupling c) {
        m_coupling = c;
        recheck();
    });
    connect(m_client, &LinkClient::modeChanged, this, &SequenceEditor::showRunState);
    // The dwell warnings follow the line's measured pace, not each exchange.
    connect(m_client, &LinkClient::fastStatsChanged, this, [this] {
        const LinePace p = pace();
        if (!isVisible() || m_running ||
            (std::abs(p.replyMs - m_checkedPace.replyMs) < 5 &&
             std::abs(p.gapMs - m_checkedPace.gapMs) < 5))
            return;
        recheck();
    });
    connect(m_client, &LinkClient::planStepStarted, this,
            [this](int pass, int step, qint64) { stepStarted(pass, step); });
    connect(m_client, &LinkClient::planEnded, this, &SequenceEditor::planEnded);
    connect(m_client, &LinkClient::readingTaken, this, &SequenceEditor::reading);
    // The time left counts down between steps too.
    m_tick = new QTimer(this);
    m_tick->setInterval(1000);
    connect(m_tick, &QTimer::timeout, this, [this] {
        if (m_running) showProgress();
    });
    tableToPlan();
    recheck();
}

SequenceEditor::~SequenceEditor() {
    cancelDryRun();
}

void SequenceEditor::done(int result) {
    if (m_dryThread) {
        m_dryCancel->store(true);  // its finish, a moment later, says so
        m_dryLabel->setText(QStringLiteral("Cancelling the dry run…"));
    }
    QDialog::done(result);
}

// Given up and waited for: a cancelled run ends at the next moment it simulates.
void SequenceEditor::cancelDryRun() {
    if (!m_dryThread) return;
    m_dryCancel->store(true);
    m_dryThread->disconnect(this);
    m_dryThread->wait();
    delete m_dryThread;
    m_dryThread = nullptr;
}

void SequenceEditor::buildWindow() {
    auto* top = new QVBoxLayout(this);

    auto* rowButtons = new QHBoxLayout;
    const auto button = [this](const char* name, const QString& text, QHBoxLayout* into) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        into->addWidget(b);
        return b;
    };
    QPushButton* add = button("AddStep", QStringLiteral("Add Step"), rowButtons);
    QPushButton* remove = button("RemoveStep", QStringLiteral("Remove"), rowButtons);
    QPushButton* up = button("MoveUp", QStringLiteral("Move Up"), rowButtons);
    QPushButton* down = button("MoveDown", QStringLiteral("Move Down"), rowButtons);
    QPushButton* copy = button("CopyStep", QStringLiteral("Copy"), rowButtons);
    copy->setToolTip(QStringLiteral("Copies the selected steps below them"));
    rowButtons->addStretch();
    QPushButton* load = button("Load", QStringLiteral("Load…"), rowButtons);
    QPushButton* save = button("Save", QStringLiteral("Save…"), rowButtons);
    m_record = button("RecordActions", QStringLiteral("Record Actions"), rowButtons);
    m_record->setCheckable(true);
    m_record->setToolTip(
        QStringLiteral("Records the set points and output switches you make in the main window "
                       "as steps, replacing the table when you stop"));
    top->addLayout(rowButtons);
    connect(add, &QPushButton::clicked, this, &SequenceEditor::addStep);
    connect(remove, &QPushButton::clicked, this, &SequenceEditor::removeSteps);
    connect(up, &QPushButton::clicked, this, [this] { moveSteps(-1); });
    connect(down, &QPushButton::clicked, this, [this] { moveSteps(1); });
    connect(copy, &QPushButton::clicked, this, &SequenceEditor::copySteps);
    connect(load, &QPushButton::clicked, this, &SequenceEditor::loadClicked);
    connect(save, &QPushButton::clicked, this, &SequenceEditor::saveClicked);
    connect(m_record, &QPushButton::toggled, this, &SequenceEditor::recordToggled);
    m_locked = {add, remove, up, down, copy, load, m_record};

    m_table = new QTableWidget(0, ColumnCount, this);
    m_table->setObjectName(QStringLiteral("Steps"));
    QStringList heads;
    for (const char* h : kHeads) heads << QString::fromUtf8(h);
    m_table->setHorizontalHeaderLabels(heads);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->setToolTip(QStringLiteral("A blank value keeps what the step before left"));
    connect(m_table, &QTableWidget::itemChanged, this, [this] { edited(); });

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(m_table);
    m_plot = new SequencePlot(this);
    m_plot->setObjectName(QStringLiteral("Plot"));
    split->addWidget(m_plot);
    top->addWidget(split, 1);

    auto* settings = new QHBoxLayout;
    auto* runBox = new QGroupBox(QStringLiteral("Run"), this);
    auto* runForm = new QFormLayout(runBox);
    m_repeats = new QSpinBox(runBox);
    m_repeats->setObjectName(QStringLiteral("Repeats"));
    m_repeats->setRange(0, 1000000);
    m_repeats->setValue(1);
    m_repeats->setSpecialValueText(QStringLiteral("Until stopped"));
    runForm->addRow(QStringLiteral("Repeats:"), m_repeats);
    m_endState = new QComboBox(runBox);
    m_endState->setObjectName(QStringLiteral("EndState"));
    m_endState->addItems({QStringLiteral("Output off"), QStringLiteral("Hold last step"),
                          QStringLiteral("Back to first step")});
    runForm->addRow(QStringLiteral("At the end:"), m_endState);
    settings->addWidget(runBox);
    connect(m_repeats, &QSpinBox::valueChanged, this, [this] { edited(); });
    connect(m_endState, &QComboBox::currentIndexChanged, this, [this] { edited(); });

    auto* envelopeBox = new QGroupBox(QStringLiteral("Envelope (0: the model's own)"), this);
    envelopeBox->setObjectName(QStringLiteral("Envelope"));
    auto* grid = new QGridLayout(envelopeBox);
    grid->addWidget(new QLabel(QStringLiteral("Max V"), envelopeBox), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Max A"), envelopeBox), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Max W"), envelopeBox), 0, 3);
    const auto spin = [this, envelopeBox](const QString& name, int decimals, double most) {
        auto* s = new QDoubleSpinBox(envelopeBox);
        s->setObjectName(name);
        s->setDecimals(decimals);
        s->setRange(0, most);
        connect(s, &QDoubleSpinBox::valueChanged, this, [this] { edited(); });
        m_locked.push_back(s);
        return s;
    };
    for (int c = 1; c <= 2; ++c) {
        const std::size_t k = std::size_t(c - 1);
        grid->addWidget(new QLabel(QStringLiteral("Channel %1").arg(c), envelopeBox), c, 0);
        m_maxVolts[k] = spin(QStringLiteral("MaxVolts%1").arg(c), 3, 1000);
        m_maxAmps[k] = spin(QStringLiteral("MaxAmps%1").arg(c), 3, 1000);
        m_maxWatts[k] = spin(QStringLiteral("MaxWatts%1").arg(c), 2, 100000);
        grid->addWidget(m_maxVolts[k], c, 1);
        grid->addWidget(m_maxAmps[k], c, 2);
        grid->addWidget(m_maxWatts[k], c, 3);
    }
    grid->addWidget(new QLabel(QStringLiteral("Longest run (s)"), envelopeBox), 3, 0);
    m_maxDuration = spin(QStringLiteral("MaxDuration"), 1, 7 * 24 * 3600.0);
    m_maxDuration->setSpecialValueText(QStringLiteral("No limit"));
    grid->addWidget(m_maxDuration, 3, 1, 1, 3);
    settings->addWidget(envelopeBox);

    auto* dryBox = new QGroupBox(QStringLiteral("Dry run on the simulator"), this);
    auto* dryForm = new QFormLayout(dryBox);
    for (int c = 1; c <= 2; ++c) {
        auto* s = new QDoubleSpinBox(dryBox);
        s->setObjectName(QStringLiteral("Load%1").arg(c));
        s->setRange(0, 1e6);
        s->setDecimals(2);
        s->setValue(10);
        s->setSuffix(QStringLiteral(" Ω"));
        s->setSpecialValueText(QStringLiteral("Open"));
        m_loads[std::size_t(c - 1)] = s;
        dryForm->addRow(QStringLiteral("Channel %1 load:").arg(c), s);
    }
    m_dryRun = new QPushButton(QStringLiteral("Dry Run"), dryBox);
    m_dryRun->setObjectName(QStringLiteral("DryRun"));
    m_dryRun->setAutoDefault(false);
    m_dryRun->setToolTip(QStringLiteral(
        "Runs the sequence on the built-in simulator in accelerated time; the instrument is not "
        "touched"));
    dryForm->addRow(m_dryRun);
    m_dryLabel = new QLabel(dryBox);
    m_dryLabel->setObjectName(QStringLiteral("DryRunResult"));
    m_dryLabel->setWordWrap(true);
    dryForm->addRow(m_dryLabel);
    settings->addWidget(dryBox);
    connect(m_dryRun, &QPushButton::clicked, this, &SequenceEditor::dryRunClicked);
    top->addLayout(settings);
    m_locked.push_back(m_repeats);
    m_locked.push_back(m_endState);

    m_problems = new QListWidget(this);
    m_problems->setObjectName(QStringLiteral("Problems"));
    m_problems->setMaximumHeight(110);
    top->addWidget(m_problems);

    auto* runRow = new QHBoxLayout;
    m_run = button("Run", QStringLiteral("Run"), runRow);
    m_pause = button("Pause", QStringLiteral("Pause"), runRow);
    m_pause->setCheckable(true);
    m_next = button("Next", QStringLiteral("Next"), runRow);
    m_next->setToolTip(QStringLiteral("Ends the step under way and starts the next one"));
    m_stop = button("Stop", QStringLiteral("Stop"), runRow);
    m_progress = new QLabel(this);
    m_progress->setObjectName(QStringLiteral("Progress"));
    runRow->addWidget(m_progress, 1);
    top->addLayout(runRow);
    connect(m_run, &QPushButton::clicked, this, &SequenceEditor::runClicked);
    connect(m_pause, &QPushButton::toggled, this, [this](bool paused) {
        if (!m_running) return;
        const auto now = LinkClient::actionsClock();
        if (paused) {
            m_pausedAt = now;
        } else if (m_pausedAt) {
            m_pausedFor += now - *m_pausedAt;
            m_pausedAt.reset();
        }
        m_client->pausePlan(paused);
        showProgress();
    });
    connect(m_next, &QPushButton::clicked, m_client, &LinkClient::nextPlanStep);
    connect(m_stop, &QPushButton::clicked, m_client, &LinkClient::stopPlan);
    resize(980, 720);
}

void SequenceEditor::addTableRow(int at, const RowText& row) {
    m_table->insertRow(at);
    const auto combo = [&](int column, const char* const* items, int count, int current) {
        QComboBox* box = comboOf(items, count, current);
        connect(box, &QComboBox::currentIndexChanged, this, [this] { edited(); });
        m_table->setCellWidget(at, column, box);
    };
    combo(ColCoupling, kCouplings, int(std::size(kCouplings)), row.coupling);
    combo(ColRecall, kRecalls, int(std::size(kRecalls)), row.recall);
    for (int i = 0; i < 4; ++i)
        m_table->setItem(at, kValueColumns[i], new QTableWidgetItem(row.values[std::size_t(i)]));
    combo(ColOutput, kOutputs, int(std::size(kOutputs)), row.output);
    m_table->setItem(at, ColDwell, new QTableWidgetItem(row.dwell));
    auto* ramp = new QCheckBox(m_table);
    ramp->setChecked(row.ramp);
    connect(ramp, &QCheckBox::toggled, this, [this] { edited(); });
    m_table->setCellWidget(at, ColRamp, ramp);
    combo(ColUntil, kUntils, int(std::size(kUntils)), row.until);
    const char* const channels[] = {"1", "2"};
    combo(ColChannel, channels, 2, row.channel);
    m_table->setItem(at, ColLevel, new QTableWidgetItem(row.level));
}

SequenceEditor::RowText SequenceEditor::readRow(int row) const {
    const auto index = [&](int column) {
        auto* box = qobject_cast<QComboBox*>(m_table->cellWidget(row, column));
        return box ? box->currentIndex() : 0;
    };
    const auto text = [&](int column) {
        QTableWidgetItem* item = m_table->item(row, column);
        return item ? item->text() : QString();
    };
    RowText r;
    r.coupling = index(ColCoupling);
    r.recall = index(ColRecall);
    for (int i = 0; i < 4; ++i) r.values[std::size_t(i)] = text(kValueColumns[i]);
    r.output = index(ColOutput);
    r.dwell = text(ColDwell);
    auto* ramp = qobject_cast<QCheckBox*>(m_table->cellWidget(row, ColRamp));
    r.ramp = ramp && ramp->isChecked();
    r.until = index(ColUntil);
    r.channel = index(ColChannel);
    r.level = text(ColLevel);
    return r;
}

std::vector<SequenceEditor::RowText> SequenceEditor::readRows() const {
    std::vector<RowText> rows;
    for (int r = 0; r < m_table->rowCount(); ++r) rows.push_back(readRow(r));
    return rows;
}

void SequenceEditor::writeRows(const std::vector<RowText>& rows) {
    m_filling = true;
    m_table->setRowCount(0);
    for (const RowText& r : rows) addTableRow(m_table->rowCount(), r);
    m_filling = false;
    edited();
}

void SequenceEditor::planToTable(const StepPlan& plan) {
    std::vector<RowText> rows;
    for (const PlanStep& s : plan.steps) {
        RowText r;
        r.coupling = s.coupling ? int(*s.coupling) : 0;
        r.recall = std::clamp(s.recall, 0, 4);
        for (int i = 0; i < 4; ++i) {
            const ChannelTarget& t = s.channels[std::size_t(i / 2)];
            const std::optional<double>& v = i % 2 ? t.amps : t.volts;
            r.values[std::size_t(i)] = v ? shortest(*v) : QString();
        }
        r.output = int(s.output);
        r.dwell = shortest(double(s.dwell.count()) / 1000.0);
        r.ramp = s.ramp;
        r.until = int(s.until.kind);
        r.channel = s.until.channel == 2 ? 1 : 0;
        r.level = s.until.kind == EndCondition::Kind::None ? QString() : shortest(s.until.level);
        rows.push_back(r);
    }
    m_filling = true;
    m_repeats->setValue(plan.repeats);
    m_endState->setCurrentIndex(int(plan.end));
    m_filling = false;
    writeRows(rows);
}

std::vector<int> SequenceEditor::selectedRows() const {
    std::set<int> rows;
    for (const QModelIndex& i : m_table->selectionModel()->selectedIndexes()) rows.insert(i.row());
    if (rows.empty() && m_table->currentRow() >= 0) rows.insert(m_table->currentRow());
    return {rows.begin(), rows.end()};
}

void SequenceEditor::selectRows(int first, int count) {
    m_table->clearSelection();
    if (count <= 0 || first < 0 || first >= m_table->rowCount()) return;
    m_table->setCurrentCell(first, ColDwell);
    m_table->setRangeSelected(
        QTableWidgetSelectionRange(first, 0, first + count - 1, ColumnCount - 1), true);
}

void SequenceEditor::addStep() {
    std::vector<RowText> rows = readRows();
    const std::vector<int> sel = selectedRows();
    const int at = sel.empty() ? int(rows.size()) : sel.back() + 1;
    rows.insert(rows.begin() + at, RowText());
    writeRows(rows);
    selectRows(at, 1);
}

void SequenceEditor::removeSteps() {
    const std::vector<int> sel = selectedRows();
    if (sel.empty()) return;
    std::vector<RowText> rows = readRows();
    for (auto it = sel.rbegin(); it != sel.rend(); ++it) rows.erase(rows.begin() + *it);
    writeRows(rows);
    selectRows(std::min(sel.front(), int(rows.size()) - 1), 1);
}

// A contiguous block moves as one; anything else moves its first row's block.
void SequenceEditor::moveSteps(int by) {
    const std::vector<int> sel = selectedRows();
    if (sel.empty()) return;
    std::vector<RowText> rows = readRows();
    const int first = sel.front();
    const int count = sel.back() - first + 1;
    if (first + by < 0 || first + count + by > int(rows.size())) return;
    if (by < 0)
        std::rotate(rows.begin() + first + by, rows.begin() + first, rows.begin() + first + count);
    else
        std::rotate(rows.begin() + first, rows.begin() + first + count,
                    rows.begin() + first + count + by);
    writeRows(rows);
    selectRows(first + by, count);
}

void SequenceEditor::copySteps() {
    const std::vector<int> sel = selectedRows();
    if (sel.empty()) return;
    std::vector<RowText> rows = readRows();
    std::vector<RowText> copies;
    for (int r : sel) copies.push_back(rows[std::size_t(r)]);
    rows.insert(rows.begin() + sel.back() + 1, copies.begin(), copies.end());
    writeRows(rows);
    selectRows(sel.back() + 1, int(copies.size()));
}

// ---- Checking ----

void SequenceEditor::edited() {
    if (m_filling) return;
    // A dry run tells of the plan it ran, not of this one.
    if (!m_dryProblems.empty() || !m_dryLabel->text().isEmpty()) {
        m_dryProblems.clear();
        m_dryLabel->clear();
        m_plot->clearPredicted();
    }
    tableToPlan();
    recheck();
}

// The plan from the table. A cell that is not a number is marked; recheck()
// names it.
void SequenceEditor::tableToPlan() {
    const QSignalBlocker quiet(m_table);
    StepPlan plan;
    plan.repeats = m_repeats->value();
    plan.end = EndState(m_endState->currentIndex());
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const RowText r = readRow(row);
        const auto number = [&](int column, const QString& text) {
            bool bad = false;
            const std::optional<double> v = parseCell(text, &bad);
            if (QTableWidgetItem* item = m_table->item(row, column)) {
                item->setData(Qt::BackgroundRole, bad ? QVariant(kBadCell) : QVariant());
                item->setToolTip(bad ? QStringLiteral("Not a number") : QString());
            }
            return v;
        };
        PlanStep s;
        if (r.coupling > 0) s.coupling = Coupling(r.coupling);
        s.recall = r.recall;
        for (int i = 0; i < 4; ++i) {
            ChannelTarget& t = s.channels[std::size_t(i / 2)];
            (i % 2 ? t.amps : t.volts) = number(kValueColumns[i], r.values[std::size_t(i)]);
        }
        s.output = OutputChange(r.output);
        const std::optional<double> dwell = number(ColDwell, r.dwell);
        // Blank or not a number: listed as such, not again as a dwell of 0.
        s.dwell = dwell ? ms(std::llround(*dwell * 1000)) : PlanStep().dwell;
        s.ramp = r.ramp;
        s.until.kind = EndCondition::Kind(r.until);
        s.until.channel = r.channel + 1;
        s.until.level = number(ColLevel, r.level).value_or(0);
        plan.steps.push_back(s);
    }
    m_plan = std::move(plan);
}

LinePace SequenceEditor::pace() const {
    LinePace p;
    const FastStats stats = m_client->fastStats();
    if (stats.replyMs > 0) p.replyMs = stats.replyMs;
    if (stats.gapMs > 0) p.gapMs = stats.gapMs;
    return p;
}

HeldValues SequenceEditor::heldNow() const {
    HeldValues held{};
    for (int c = 1; c <= 2; ++c)
        for (Quantity q : {Quantity::Voltage, Quantity::Current}) {
            bool ok = false;
            const double v = QLocale::c().toDouble(m_client->heldSetPoint(c, q), &ok);
            if (!ok) continue;
            ChannelTarget& t = held[std::size_t(c - 1)];
            (q == Quantity::Voltage ? t.volts : t.amps) = v;
        }
    return held;
}

Envelope SequenceEditor::envelope() const {
    Envelope e;
    for (std::size_t k = 0; k < 2; ++k) {
        e.maxVolts[k] = m_maxVolts[k]->value();
        e.maxAmps[k] = m_maxAmps[k]->value();
        e.maxWatts[k] = m_maxWatts[k]->value();
    }
    e.maxDuration = ms(std::llround(m_maxDuration->value() * 1000));
    return e;
}

void SequenceEditor::recheck() {
    m_problems->clear();
    m_errors = false;
    const auto say = [this](const QString& text, bool warning) {
        auto* item =
            new QListWidgetItem(style()->standardIcon(warning ? QStyle::SP_MessageBoxWarning
                                                              : QStyle::SP_MessageBoxCritical),
                                text, m_problems);
        item->setData(Qt::UserRole, warning);
        if (!warning) m_errors = true;
    };
    const int model = m_client->model();

    // Cells that are not numbers, by step and column.
    for (int row = 0; row < m_table->rowCount(); ++row)
        for (int column : {ColV1, ColA1, ColV2, ColA2, ColDwell, ColLevel}) {
            QTableWidgetItem* item = m_table->item(row, column);
            bool bad = false;
            if (item) parseCell(item->text(), &bad);
            if (bad)
                say(QStringLiteral("Step %1: \"%2\" in %3 is not a number.")
                        .arg(row + 1)
                        .arg(item->text().trimmed(), QString::fromUtf8(kHeads[column])),
                    false);
            else if (column == ColDwell && (!item || item->text().trimmed().isEmpty()))
                say(QStringLiteral("Step %1: the dwell is blank.").arg(row + 1), false);
        }
    for (const PlanViolation& v : checkPlan(m_plan, model, m_coupling, envelope()))
        say(v.step > 0 ? QStringLiteral("Step %1: %2").arg(v.step).arg(v.what) : v.what, false);

    // What the line can do in each step's dwell.
    const LinePace p = pace();
    m_checkedPace = p;
    const int passMs = LinkTimings().passMs;  // the ramp's finest grain on the link
    const std::vector<HeldValues> held = heldAfterEachStep(m_plan, heldNow());
    for (std::size_t i = 0; i < m_plan.steps.size(); ++i) {
        const PlanStep& s = m_plan.steps[i];
        const int row = int(i);
        QStringList rampNotes;
        if (s.ramp && i > 0) {
            int together = 0;
            for (const ChannelTarget& t : s.channels)
                together += (t.volts ? 1 : 0) + (t.amps ? 1 : 0);
            for (int c = 1; c <= 2; ++c)
                for (bool volts : {true, false}) {
                    const ChannelTarget& from = held[i - 1][std::size_t(c - 1)];
                    const ChannelTarget& to = s.channels[std::size_t(c - 1)];
                    const std::optional<double>& a = volts ? from.volts : from.amps;
                    const std::optional<double>& b = volts ? to.volts : to.amps;
                    if (!a || !b) continue;
                    const RampPace r = rampPace(*a, *b, s.dwell, model, p, together, passMs);
                    const QString unit = volts ? QStringLiteral("V") : QStringLiteral("A");
                    rampNotes << QStringLiteral(
                                     "Channel %1 %2 from %3 to %4 %5: %6 steps of %7 %5, one "
                                     "every %8 ms (%9 %5/s).")
                                     .arg(c)
                                     .arg(volts ? QStringLiteral("voltage")
                                                : QStringLiteral("current"),
                                          valueText(model, *a), valueText(model, *b), unit)
                                     .arg(r.subSteps)
                                     .arg(QString::number(r.stepSize, 'g', 3))
                                     .arg(r.every.count())
                                     .arg(QString::number(r.perSecond, 'g', 3));
                }
        } else {
            const ms need = stepSendTime(s, model, p);
            if (s.dwell.count() > 0 && need > s.dwell)
                say(QStringLiteral("Step %1: its dwell of %2 s is shorter than the %3 s the line "
                                   "needs to send its set points and read them back.")
                        .arg(row + 1)
                        .arg(secondsText(double(s.dwell.count()) / 1000),
                             secondsText(double(need.count()) / 1000)),
                    true);
        }
        const QString tip = rampNotes.join(u'\n');
        if (auto* ramp = m_table->cellWidget(row, ColRamp)) ramp->setToolTip(tip);
        const QSignalBlocker quiet(m_table);
        if (QTableWidgetItem* dwell = m_table->item(row, ColDwell))
            if (!dwell->data(Qt::BackgroundRole).isValid()) dwell->setToolTip(tip);
    }
    for (const QString& d : m_dryProblems) say(d, true);
    m_plot->setExpected(m_plan, heldNow());
    showRunState();
}

void SequenceEditor::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_running) recheck();  // the model, the held values or the line's pace may have changed
}

// ---- The run ----

void SequenceEditor::setRowEditable(int row, bool editable) {
    for (int column = 0; column < ColumnCount; ++column)
        if (QWidget* w = m_table->cellWidget(row, column)) w->setEnabled(editable);
}

void SequenceEditor::showRunState() {
    const bool recording = m_record->isChecked();
    m_run->setEnabled(!m_running && !m_errors && m_client->linked() && !m_client->planRunning() &&
                      !recording);
    QString why;
    if (!m_client->linked())
        why = QStringLiteral("Link to the instrument first.");
    else if (m_errors)
        why = QStringLiteral("The problems listed below must be put right first.");
    m_run->setToolTip(why);
    m_pause->setEnabled(m_running);
    m_next->setEnabled(m_running);
    m_stop->setEnabled(m_running);
    m_table->setEditTriggers(m_running ? QAbstractItemView::NoEditTriggers
                                       : QAbstractItemView::DoubleClicked |
                                             QAbstractItemView::EditKeyPressed |
                                             QAbstractItemView::AnyKeyPressed);
    for (int row = 0; row < m_table->rowCount(); ++row) setRowEditable(row, !m_running);
    for (QWidget* w : m_locked) w->setEnabled(!m_running && (w == m_record || !recording));
    m_dryRun->setEnabled(!m_dryThread);
}

void SequenceEditor::runClicked() {
    tableToPlan();
    recheck();
    if (m_errors || !m_client->linked() || m_running) return;
    m_running = true;
    m_pass = 0;
    m_step = -1;
    m_endText.clear();
    m_pausedFor = {};
    m_pausedAt.reset();
    m_runStart = m_stepStart = LinkClient::actionsClock();
    m_plot->startMeasured();
    showRunState();
    showProgress();
    m_tick->start();
    m_client->runPlan(m_plan, envelope());
}

void SequenceEditor::stepStarted(int pass, int step) {
    if (!m_running) return showRunState();  // a script's run: no Run meanwhile
    m_pass = pass;
    m_step = step;
    m_stepStart = LinkClient::actionsClock();
    m_pausedFor = {};
    if (m_pausedAt) m_pausedAt = m_stepStart;
    m_plot->markStep(std::chrono::duration<double>(m_stepStart - m_runStart).count(), step + 1);
    showProgress();
}

void SequenceEditor::showProgress() {
    if (!m_running) {
        m_progress->setText(m_endText);
        return;
    }
    const int steps = int(m_plan.steps.size());
    if (m_step < 0) {
        m_progress->setText(QStringLiteral("Starting…"));
        return;
    }
    const QString repeats =
        m_plan.repeats > 0 ? QString::number(m_plan.repeats) : QStringLiteral("∞");
    QString text = QStringLiteral("Step %1 of %2 · repeat %3 of %4")
                       .arg(m_step + 1)
                       .arg(steps)
                       .arg(m_pass + 1)
                       .arg(repeats);
    if (const std::optional<ms> total = planDuration(m_plan)) {
        const auto now = m_pausedAt ? *m_pausedAt : LinkClient::actionsClock();
        const ms dwell = m_plan.steps[std::size_t(m_step)].dwell;
        const ms inStep = std::clamp(
            std::chrono::duration_cast<ms>(now - m_stepStart - m_pausedFor), ms(0), dwell);
        text += QStringLiteral(" · %1 left")
                    .arg(clockText(*total - stepDeadline(m_plan, m_pass, m_step) - inStep));
    } else {
        text += QStringLiteral(" · until stopped");
    }
    if (m_pausedAt) text += QStringLiteral(" · paused");
    m_progress->setText(text);
}

void SequenceEditor::planEnded(PlanEnd end, const QString& why) {
    if (!m_running) return showRunState();
    m_running = false;
    m_tick->stop();
    const QSignalBlocker quiet(m_pause);
    m_pause->setChecked(false);
    m_pausedAt.reset();
    switch (end) {
        case PlanEnd::Completed:
            m_endText = why;
            break;
        case PlanEnd::Stopped:
            m_endText = QStringLiteral("Stopped at step %1.").arg(m_step + 1);
            break;
        case PlanEnd::Tripped:
        case PlanEnd::LineLost:
            m_endText = QStringLiteral("Ended at step %1: %2").arg(m_step + 1).arg(why);
            break;
        case PlanEnd::Refused:
            m_endText = QStringLiteral("Not run: %1").arg(why);
            break;
    }
    showRunState();
    showProgress();
}

void SequenceEditor::reading(const Reading& r) {
    if (!m_running) return;
    m_plot->addMeasured(std::chrono::duration<double>(r.at - m_runStart).count(), r.channel,
                        r.quantity, r.value);
}

// ---- Dry run ----

void SequenceEditor::dryRunClicked() {
    cancelDryRun();  // the newest plan is the one to try
    tableToPlan();
    DryRunSetup setup;
    setup.modelIndex = m_client->model();
    setup.coupling = m_coupling;
    setup.envelope = envelope();
    for (std::size_t k = 0; k < 2; ++k) setup.loadOhms[k] = m_loads[k]->value();
    setup.start = heldNow();
    m_dryPlan = m_plan;
    m_dryStart = setup.start;
    // A sequence repeated until stopped is tried for a few passes.
    const double pass = std::chrono::duration<double>(passDuration(m_plan)).count();
    const double limit = m_plan.repeats > 0 ? 7 * 24 * 3600.0 : std::max(3 * pass, 1.0);
    auto result = std::make_shared<DryRunResult>();
    m_dryCancel = std::make_shared<std::atomic<bool>>(false);
    m_dryThread = QThread::create([plan = m_dryPlan, setup, limit, result, cancel = m_dryCancel] {
        *result = dryRunPlan(plan, setup, limit, cancel.get());
    });
    connect(m_dryThread, &QThread::finished, this, [this, result, cancel = m_dryCancel] {
        if (cancel != m_dryCancel) return;  // given up and waited for already
        m_dryThread->deleteLater();
        m_dryThread = nullptr;
        dryRunDone(*result);
    });
    m_dryLabel->setText(QStringLiteral("Running on the simulator…"));
    m_dryThread->start();
    showRunState();
}

void SequenceEditor::dryRunDone(const DryRunResult& result) {
    if (result.cancelled) {
        m_dryLabel->setText(result.why);
        showRunState();
        Q_EMIT dryRunFinished();
        return;
    }
    if (!(m_dryPlan == m_plan)) {
        m_dryLabel->setText(
            QStringLiteral("The sequence was changed during the dry run: try it again."));
        showRunState();
        return;
    }
    m_plot->setPredicted(result);
    m_dryProblems.clear();
    for (const PlanViolation& v : result.violations)
        m_dryProblems.push_back(v.step > 0
                                    ? QStringLiteral("Dry run, step %1: %2").arg(v.step).arg(v.what)
                                    : QStringLiteral("Dry run: %1").arg(v.what));
    // A load that holds a channel at its current limit keeps its voltage
    // below the set point: said once per step and channel.
    const std::vector<HeldValues> held = heldAfterEachStep(m_plan, m_dryStart);
    std::set<std::pair<std::size_t, int>> said;
    for (const DrySample& s : result.samples) {
        const auto it =
            std::upper_bound(result.stepStarts.begin(), result.stepStarts.end(), s.seconds);
        if (it == result.stepStarts.begin() || held.empty()) continue;
        const std::size_t step = std::size_t(it - result.stepStarts.begin() - 1) % held.size();
        const ChannelTarget& t = held[step][std::size_t(s.channel - 1)];
        if (!t.volts || !t.amps || *t.amps <= 0 || s.amps < 0.98 * *t.amps ||
            s.volts > 0.98 * *t.volts || said.count({step, s.channel}))
            continue;
        said.insert({step, s.channel});
        m_dryProblems.push_back(
            QStringLiteral("Dry run, step %1: channel %2 reaches its %3 A limit and holds "
                           "%4 V instead of %5 V.")
                .arg(step + 1)
                .arg(s.channel)
                .arg(shortest(*t.amps), QString::number(s.volts, 'f', 2), shortest(*t.volts)));
    }
    QString text = result.violations.empty()
                       ? QStringLiteral("%1 s simulated: %2")
                             .arg(QString::number(result.seconds, 'f', 1), result.why)
                       : result.why;
    if (result.violations.empty() && m_plan.repeats <= 0)
        text += QStringLiteral(" (a sequence repeated until stopped is tried for three passes)");
    m_dryLabel->setText(text);
    recheck();
    Q_EMIT dryRunFinished();
}

// ---- Files ----

bool SequenceEditor::saveTo(const QString& path, QString* why) {
    QSaveFile file(path);
    const QByteArray csv = planToCsv(m_plan);
    if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit()) {
        if (why) *why = QStringLiteral("Cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool SequenceEditor::loadFrom(const QString& path) {
    QFile file(path);
    QString error;
    StepPlan plan;
    if (!file.open(QIODevice::ReadOnly))
        error = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
    else if (file.size() > 4 * 1024 * 1024)
        error = QStringLiteral("%1 is too large to be a sequence.").arg(path);
    else
        plan = planFromCsv(file.readAll(), &error);
    if (!error.isEmpty()) {
        QMessageBox::warning(
            this, QStringLiteral("Load Sequence"),
            QStringLiteral("%1 is not loaded.\n%2").arg(QDir::toNativeSeparators(path), error));
        return false;
    }
    m_dryProblems.clear();
    planToTable(plan);
    return true;
}

void SequenceEditor::saveClicked() {
    tableToPlan();
    const QString folder = sequencesFolder();
    QDir().mkpath(folder);
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Sequence"), folder,
                                                      QStringLiteral("Sequences (*.csv)"));
    if (path.isEmpty()) return;
    QString why;
    if (!saveTo(path, &why)) {
        QMessageBox::warning(this, QStringLiteral("Save Sequence"), why);
        return;
    }
    // Said rather than found out at the next load.
    QString error;
    if (!(planFromCsv(planToCsv(m_plan), &error) == m_plan))
        QMessageBox::warning(this, QStringLiteral("Save Sequence"),
                             QStringLiteral("Saved, but reading the file back does not give "
                                            "the same sequence."));
}

void SequenceEditor::loadClicked() {
    const QString folder = sequencesFolder();
    QDir().mkpath(folder);
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Load Sequence"), folder,
                                                      QStringLiteral("Sequences (*.csv)"));
    if (!path.isEmpty()) loadFrom(path);
}

void SequenceEditor::recordToggled(bool on) {
    if (on) {
        m_client->recordActions(true);
        m_progress->setText(QStringLiteral(
            "Recording: set points and output switches in the main window become steps."));
        showRunState();
        return;
    }
    const StepPlan recorded = m_client->recordedActions();
    showRunState();
    if (recorded.steps.empty()) {
        m_progress->setText(QStringLiteral("Nothing was recorded."));
        return;
    }
    const auto steps = [](std::size_t n) {
        return n == 1 ? QStringLiteral("1 step") : QStringLiteral("%1 steps").arg(n);
    };
    m_progress->setText(QStringLiteral("%1 recorded.").arg(steps(recorded.steps.size())));
    if (m_table->rowCount() > 0) {
        QMessageBox box(
            QMessageBox::Question, QStringLiteral("Record Actions"),
            QStringLiteral("Replace the %1 in the table with the %2 recorded?")
                .arg(steps(std::size_t(m_table->rowCount())), steps(recorded.steps.size())),
            QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::Yes);
        if (box.exec() != QMessageBox::Yes) return;
    }
    m_dryProblems.clear();
    planToTable(recorded);
}

}  // namespace lqs
