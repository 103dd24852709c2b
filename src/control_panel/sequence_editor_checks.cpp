// The sequence editor: checking the table's plan before it runs.
#include "control_panel/sequence_editor.h"

#include "control_panel/sequence_editor_table.h"
#include "control_panel/sequence_plot.h"
#include "device_link/link_client.h"
#include "device_link/model_profile.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

#include <cmath>

namespace lqs {

using namespace sequence_table;

namespace {

QString secondsText(double s) {
    return s < 10 ? QString::number(s, 'f', 2) : QString::number(s, 'f', 1);
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

const QColor kBadCell(0xff, 0xc8, 0xc8);

}  // namespace

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

}  // namespace lqs
