// Record files: their names, where they live, saving, loading and export.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <stdexcept>
#include <string>
#include <vector>

class QDateTime;

namespace lqs {

class RecordTable;

// A record file could not be read, written or placed; the message names the
// path and the reason.
class EFileError : public std::runtime_error {
public:
    explicit EFileError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

// The longest record: 7 days 23:59:55 plus one second at a one-second slice.
constexpr int kLongestRecordDataLines = 691196;
// A file to load may hold that record and its header, and no more lines.
constexpr qsizetype kMaxRecordFileLines = kLongestRecordDataLines + 1;
// The longest record is about 38 MB; this leaves room for long readings.
constexpr qint64 kMaxRecordFileBytes = qint64(64) * 1024 * 1024;

// A loaded record file: its bytes and where each line lies in them, line ends
// left out. Lines are split at CR LF, CR or LF; a final line end adds no line.
class RecordLines {
public:
    RecordLines() = default;
    // Splits bytes already in memory, under 4 GiB; no other limits are checked.
    static RecordLines fromBytes(QByteArray bytes);

    qsizetype count() const { return qsizetype(m_spans.size()); }
    QByteArrayView line(qsizetype i) const {
        const Span& s = m_spans[std::size_t(i)];
        return QByteArrayView(m_data.constData() + s.start, s.size);
    }

private:
    struct Span {
        quint32 start;
        quint32 size;
    };
    QByteArray m_data;
    std::vector<Span> m_spans;
};

// "2026-12-6 21 5 33.txt": local time, no leading zeros.
QString recordFileName(const QDateTime& t);

// Writes bytes to a temporary file beside `path` and renames it over `path`,
// so a failure leaves any earlier file untouched. Throws EFileError.
void writeFileBytes(const QString& path, const QByteArray& bytes);
// The table as a record file holds it.
void writeRecordFile(const QString& path, const RecordTable& table);

// The table's lines as comma-separated values: each TAB-separated field one
// value, quoted as RFC 4180 asks when it holds a comma, a quote, CR or LF;
// CR LF after every line.
QByteArray csvBytes(const RecordTable& table);

// Reads a record file for merging. Throws EFileError, naming the file, when
// it cannot be read, holds NUL bytes or other binary data, or is larger or
// has more lines than the longest record.
RecordLines readRecordLines(const QString& path);

// Throws EFileError when the file cannot be opened for reading.
void checkReadable(const QString& path);

// `chosen` with its last suffix replaced by `suffix` (".xls", ".csv"), or
// `suffix` added when the file name has none; kept when it already ends in
// exactly `suffix`.
QString exportPath(const QString& chosen, const QString& suffix = QStringLiteral(".xls"));

// Where records are saved and listed: the program's folder when files can be
// created there, else the user's data folder (created if missing).
QString recordDirectory();
QString recordDirectory(const QString& programDir, const QString& fallbackDir);

// Names of every entry of `dir` matching "*.txt", in the order the file system
// lists them.
QStringList searchAllSaveFiles(const QString& dir);

// searchAllSaveFiles with every ".txt", in any case, removed from each name.
QStringList savedRecordEntries(const QString& dir);

}  // namespace lqs
