#include "control_panel/sequence_editor.h"

#include "control_panel/sequence_editor_table.h"
#include "control_panel/sequence_plot.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"
#include "remote/sequence_files.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
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

using namespace sequence_table;

namespace {

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

QComboBox* comboOf(const char* const* items, int count, int current) {
    auto* box = new QComboBox;
    for (int i = 0; i < count; ++i) box->addItem(QString::fromUtf8(items[i]));
    box->setCurrentIndex(current);
    return box;
}

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

}  // namespace lqs
