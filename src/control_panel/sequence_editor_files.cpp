// The sequence editor: plans saved to and loaded from files, and recorded
// from the main window.
#include "control_panel/sequence_editor.h"

#include "device_link/link_client.h"
#include "remote/sequence_files.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QSaveFile>
#include <QTableWidget>

namespace lqs {

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
