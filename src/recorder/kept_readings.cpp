// Every reading of a recording, kept with its own time: in memory for the
// readings window and the Readings export, and in a journal of its own as
// it comes, so a program killed while recording loses none.
#include "recorder/wave_window.h"

#include "common/guarded.h"
#include "recorder/reading_log.h"
#include "recorder/readings_window.h"
#include "recorder/record_files.h"
#include "recorder/recorder_log.h"

#include <QSaveFile>

namespace lqs {

namespace {

int decimalsOf(const QString& text) {
    const qsizetype dot = text.indexOf(QLatin1Char('.'));
    return dot < 0 ? 0 : int(text.size() - dot - 1);
}

}  // namespace

void TForm_Wave::startKeptReadings(const QDateTime& started) {
    m_readings->start(started);
    m_readingRows.emplace(started);
    m_anchorMono = -1;
    m_readingsJournal.remove();
    if (m_readingsWindow) m_readingsWindow->readingsAdded();
    if (RecordDir.isEmpty()) return;
    const QString path = readingsJournalPath(journalPath(RecordDir));
    try {
        const QByteArray header = readingsCsvHeader();
        m_readingsJournal.open(path,
                               QByteArrayView(header).chopped(header.endsWith("\r\n") ? 2 : 0));
    } catch (const EFileError& e) {
        qCInfo(lqsRecorder).noquote() << "readings journal not kept:" << e.what();
        return;
    }
    if (!tmr_Journal->isActive()) tmr_Journal->start();
}

// Closed with the recording; kept on disk only while its record journal is.
void TForm_Wave::stopKeptReadings(bool remove) {
    if (remove)
        m_readingsJournal.remove();
    else
        m_readingsJournal.close();
}

void TForm_Wave::keepReading(int index, const QString& text, double value, qint64 monoMs,
                             const QDateTime& wall) {
    if (index < 0 || index > 3 || !state.Table || !tmr_Scale->isActive()) return;
    // Times on the link's monotonic clock from the first reading on, so a
    // wall clock set meanwhile bends nothing; the first one places them.
    if (m_anchorMono < 0) {
        m_anchorMono = monoMs;
        m_anchorMs = std::max<qint64>(0, m_readings->started().msecsTo(wall));
    }
    const qint64 ms = m_anchorMs + (monoMs - m_anchorMono);
    const int decimals = decimalsOf(text);
    m_readings->add(ms, index, value, decimals);
    if (m_readingsJournal.isOpen() && m_readingRows) {
        QByteArray rows;
        m_readingRows->add(ms, index, value, decimals, rows);
        m_readingRows->flush(rows);  // on disk now: a kill loses no reading
        try {
            for (qsizetype at = 0, end; (end = rows.indexOf("\r\n", at)) >= 0; at = end + 2)
                m_readingsJournal.append(QByteArrayView(rows).sliced(at, end - at));
        } catch (const EFileError& e) {
            qCInfo(lqsRecorder).noquote() << "readings journal given up:" << e.what();
            m_readingsJournal.close();
        }
    }
    if (m_readingsWindow) m_readingsWindow->readingsAdded();
}

void TForm_Wave::showReadings() {
    if (!m_readingsWindow) {
        m_readingsWindow = new ReadingsWindow(m_readings.get(), this);
        m_readingsWindow->setWindowFlag(Qt::Window);
        m_readingsWindow->setObjectName(QStringLiteral("readingsWindow"));
        m_readingsWindow->setWindowTitle(QStringLiteral("Readings"));
    }
    m_readingsWindow->show();
    m_readingsWindow->raise();
    m_readingsWindow->activateWindow();
}

// Written whole beside the file and renamed over it, so a failure leaves no
// half file; through a link, the file it leads to.
void TForm_Wave::exportReadings(const QString& path) {
    QSaveFile file(path);
    QString why;
    if (!file.open(QIODevice::WriteOnly) ||
        !writeReadingsCsv(&file, *m_readings, m_readings->firstMs(), m_readings->lastMs(), &why) ||
        !file.commit())
        failFile(QStringLiteral("Cannot write file"), path,
                 why.isEmpty() ? file.errorString() : why);
    qCInfo(lqsRecorder).noquote() << "exported" << m_readings->size() << "readings to" << path;
}

}  // namespace lqs
