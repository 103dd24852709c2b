// The recorder's record files: Save, the saved-record list that loads
// (merges) or deletes, Export, and the recording a killed program left.
#include "recorder/wave_window.h"

#include "common/error_box.h"
#include "common/guarded.h"
#include "recorder/plot_math.h"
#include "recorder/record_file_system.h"
#include "recorder/record_files.h"
#include "recorder/recorder_host.h"
#include "recorder/recorder_log.h"
#include "ui_wave_window.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>

namespace lqs {

QString TForm_Wave::saveRecord() {
    if (RecordDir.isEmpty()) {
        RecordDir = LocateRecordDir();  // reports again why there is no folder
        fillSavedRecordList();
    }
    const QString path = saveNewRecordFile(RecordDir, recordFileName(Now()), *state.Table);
    qCInfo(lqsRecorder).noquote() << "saved" << state.Table->lineCount() - 1 << "lines to" << path;
    m_unsaved = 0;
    // The saved lines need no journal; a recording still running starts a fresh one.
    if (tmr_Scale->isActive()) {
        startJournal();
    } else {
        m_journal.remove();
        m_readingsJournal.remove();  // the recording is over and its lines are safe
    }
    addSavedRecord(QFileInfo(path).fileName());
    return path;
}

// The entry shows the name without ".txt" and keeps the file's own name.
void TForm_Wave::addSavedRecord(const QString& fileName) {
    auto* item = new QListWidgetItem(savedRecordEntry(fileName), ui->lst_Load);
    item->setData(Qt::UserRole, fileName);
}

void TForm_Wave::btn_SaveClick() {
    if (!state.Table) return;
    runGuarded(this, [this] { saveRecord(); });
}

void TForm_Wave::btn_ExportClick() {
    const ExportChoice chosen = ChooseExportPath ? ChooseExportPath() : ExportChoice{};
    if (chosen.path.isEmpty() || !state.Table) return;
    const QString path =
        exportPath(chosen.path,
                   chosen.csv || chosen.readings ? QStringLiteral(".csv") : QStringLiteral(".xls"));
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
        if (chosen.readings)
            exportReadings(target.path);
        else if (chosen.csv)
            writeFileBytes(target.path, csvBytes(*state.Table));
        else
            writeRecordFile(target.path, *state.Table);
        qCInfo(lqsRecorder).noquote() << "exported to" << target.path;
    });
}

// The list's colour says what a click in it does.
void TForm_Wave::showSavedRecordList(SavedListMode mode) {
    state.SavedList = mode;
    QPalette pal = ui->lst_Load->palette();
    pal.setColor(QPalette::Base,
                 mode == SavedListMode::Load ? PlotColors::MoneyGreen : PlotColors::Fuchsia);
    // Both are light whatever the palette: black reads on them, a dark palette's text does not.
    pal.setColor(QPalette::Text, Qt::black);
    ui->lst_Load->setPalette(pal);
    if (ui->lst_Load->count() == 0) return;
    ui->lst_Load->show();
    ui->lst_Load->raise();
    ui->lst_Load->setFocus();
    qApp->installEventFilter(this);  // a click anywhere else hides it
}

void TForm_Wave::hideSavedRecordList() {
    qApp->removeEventFilter(this);
    ui->lst_Load->hide();
}

// Escape in the saved-record list, or a press anywhere else in this window's
// frame, leaves it without loading or deleting. Boxes it opens are windows
// of their own and do not count.
bool TForm_Wave::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->lst_Load && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        hideSavedRecordList();
        return true;
    }
    if (event->type() == QEvent::MouseButtonPress && ui->lst_Load->isVisible()) {
        auto* w = qobject_cast<QWidget*>(watched);
        if (w && w->window() == window() && w != ui->lst_Load && !ui->lst_Load->isAncestorOf(w))
            hideSavedRecordList();
    }
    return QWidget::eventFilter(watched, event);
}

void TForm_Wave::btn_LoadClick() {
    showSavedRecordList(SavedListMode::Load);
}

void TForm_Wave::btn_DeleteClick() {
    showSavedRecordList(SavedListMode::Delete);
}

void TForm_Wave::fillSavedRecordList() {
    ui->lst_Load->clear();
    const QString where = RecordDir.isEmpty() ? QString()
                                              : QStringLiteral("Records are kept in \"%1\".")
                                                    .arg(QDir::toNativeSeparators(RecordDir));
    for (QWidget* w : {ui->btn_Save, ui->btn_Load, ui->btn_Delete}) w->setToolTip(where);
    if (RecordDir.isEmpty()) return;
    for (const QString& name : searchAllSaveFiles(RecordDir)) addSavedRecord(name);
}

void TForm_Wave::lst_LoadClick() {
    QListWidgetItem* item = ui->lst_Load->currentItem();
    if (!item) return;
    const QString path = RecordDir + QLatin1Char('/') + item->data(Qt::UserRole).toString();
    const bool loading = state.SavedList == SavedListMode::Load;
    if (!loading) {
        const QString name = item->text();
        if (!askYesNo(QStringLiteral("Delete %1?").arg(name), "confirmDelete")) {
            hideSavedRecordList();
            return;
        }
    }
    const bool ok = runGuarded(this, [&] {
        if (loading) {
            RecordLines lines = readRecordLines(path);
            if (!state.Table) {
                if (m_host) m_host->setStatusText(0, QStringLiteral("No recording to merge into"));
                return;
            }
            // Loading the record just saved would double every line.
            if (recordLinesAlreadyIn(*state.Table, lines) &&
                !askYesNo(QStringLiteral("The lines of \"%1\" are already in this recording. "
                                         "Merge them again?")
                              .arg(item->text()),
                          "mergeAgain"))
                return;
            const MergeCount n = mergeRecordFile(*state.Table, std::move(lines), path);
            qCInfo(lqsRecorder).noquote()
                << "loaded" << path << "-" << n.merged << "lines merged," << n.skipped << "skipped";
            m_unsaved += int(n.merged);
            QString text = n.merged == 1 ? QStringLiteral("Merged 1 line")
                                         : QStringLiteral("Merged %1 lines").arg(n.merged);
            if (n.trips == 1) text += QStringLiteral(", 1 of them a trip");
            if (n.trips > 1) text += QStringLiteral(", %1 of them trips").arg(n.trips);
            if (n.steps == 1) text += QStringLiteral(", 1 of them a sequence step");
            if (n.steps > 1) text += QStringLiteral(", %1 of them sequence steps").arg(n.steps);
            if (n.skipped == 1) text += QStringLiteral("; skipped 1 that is not a record line");
            if (n.skipped > 1)
                text += QStringLiteral("; skipped %1 that are not record lines").arg(n.skipped);
            if (n.countersDropped)
                text += QStringLiteral(
                    "; left out its charge and energy, which this recording does not record");
            if (m_host) m_host->setStatusText(0, text);
        } else {
            deleteRecordFile(path);
            qCInfo(lqsRecorder).noquote() << "deleted" << path;
            fillSavedRecordList();
        }
    });
    if (ok) hideSavedRecordList();
}

namespace {

// A journal that cannot be offered back would be told at every start:
// set aside under a name no longer a journal's, it is asked about no more.
void offerToSetAside(QWidget* parent, const QString& path, const QString& why) {
    qCInfo(lqsRecorder).noquote() << "broken journal:" << why;
    QMessageBox box(QMessageBox::Warning, programTitle(), why, QMessageBox::NoButton, parent);
    box.setObjectName(QStringLiteral("brokenJournal"));
    box.setInformativeText(QStringLiteral(
        "A recording left it behind, but it cannot be recovered. Set it aside under another "
        "name, or keep it and be asked again at the next start?"));
    QPushButton* aside = box.addButton(QStringLiteral("Set Aside"), QMessageBox::AcceptRole);
    QPushButton* keep = box.addButton(QStringLiteral("Keep"), QMessageBox::RejectRole);
    box.setDefaultButton(aside);
    box.setEscapeButton(keep);
    box.exec();
    if (box.clickedButton() != aside) return;
    const QString base =
        path + QDateTime::currentDateTime().toString(QStringLiteral("'.broken-'yyyyMMdd-HHmmss"));
    runGuarded(parent, [&] {
        QString to = base;
        for (int n = 2; !renameAside(path, to); ++n) to = base + QStringLiteral("-%1").arg(n);
        qCInfo(lqsRecorder).noquote() << "broken journal set aside as" << to;
    });
}

void offerLeftJournal(QWidget* parent, const QString& dir, const QString& path) {
    LeftJournal left;
    try {
        left = readJournal(path);
    } catch (const EFileError& e) {
        offerToSetAside(parent, path, QString::fromUtf8(e.what()));
        return;
    }
    const int lines = left.table.lineCount() - 1;
    qCInfo(lqsRecorder).noquote() << "journal left behind:" << path << "with" << lines << "lines";
    const QString readings = readingsJournalPath(path);
    if (lines == 0) {
        QFile::remove(path);
        QFile::remove(readings);
        return;
    }
    const QDateTime when = left.started.isValid() ? left.started : QFileInfo(path).lastModified();
    // To the minute: the journal's own times hold no seconds.
    const QString from = when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    QMessageBox box(
        QMessageBox::Question, programTitle(),
        lines == 1
            ? QStringLiteral("A recording of 1 line from %1 was not saved.").arg(from)
            : QStringLiteral("A recording of %1 lines from %2 was not saved.").arg(lines).arg(from),
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
        QFile::remove(readings);
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
    QString text = QStringLiteral("The recording was recovered to \"%1\".")
                       .arg(QDir::toNativeSeparators(saved));
    // Its readings, already a Readings file, go beside the record under its name.
    if (QFileInfo(readings).isFile() && !QFileInfo(readings).isSymLink()) {
        const QString base = saved.chopped(4) + QStringLiteral(" readings");
        QString to = base + QStringLiteral(".csv");
        try {
            for (int n = 2; !renameAside(readings, to); ++n)
                to = base + QStringLiteral(" (%1).csv").arg(n);
            text +=
                QStringLiteral(" Its readings are in \"%1\".").arg(QDir::toNativeSeparators(to));
        } catch (const EFileError& e) {
            text += QStringLiteral(" Its readings stay in \"%1\": %2")
                        .arg(QDir::toNativeSeparators(readings), QString::fromUtf8(e.what()));
        }
    }
    QMessageBox done(QMessageBox::Information, programTitle(), text, QMessageBox::Ok, parent);
    done.setObjectName(QStringLiteral("recoveredRecording"));
    done.exec();
}

}  // namespace

void offerLeftRecording(QWidget* parent) {
    QString dir;
    try {
        dir = TForm_Wave::LocateRecordDir();
    } catch (const EFileError&) {
        return;  // the recorder says why when it is used
    }
    if (dir.isEmpty()) return;
    for (const QString& path : leftJournals(dir)) {
        // Held while it is offered: a program started meanwhile leaves it be.
        const JournalClaim claim(path);
        if (claim.offerable()) offerLeftJournal(parent, dir, path);
    }
}

}  // namespace lqs
