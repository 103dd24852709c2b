// The sequence editor: running the plan, and running it dry.
#include "control_panel/sequence_editor.h"

#include "control_panel/sequence_editor_table.h"
#include "control_panel/sequence_plot.h"
#include "device_link/link_client.h"

#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <set>

namespace lqs {

using namespace sequence_table;

namespace {

QString clockText(ms left) {
    const long long s = std::max<long long>(0, (left.count() + 999) / 1000);
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600)
            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

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

}  // namespace lqs
