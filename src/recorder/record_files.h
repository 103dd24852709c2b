// Record files: their names, where they live, saving, loading and export.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include "recorder/record_table.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace lqs {

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
    // Drops the lines from `first` on that `keep` refuses, in place; returns
    // how many went.
    qsizetype keepOnly(qsizetype first, bool (*keep)(QByteArrayView));

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

// Writes the table to a new file `name` in `dir`, or, when that name is
// taken by anything at all, "<name> (2).txt", "<name> (3).txt" and so on:
// never replaces a file nor writes through a link. Returns the path written.
// Throws EFileError; a failed write leaves no file behind.
QString saveNewRecordFile(const QString& dir, const QString& name, const RecordTable& table);

// Where writing `path` lands: `path` itself, or the file a symbolic link
// there leads to.
struct WriteTarget {
    QString path;          // the file to write
    bool viaLink = false;  // reached through a symbolic link at the path asked for
    bool exists = false;   // something is there to be replaced
};
// Throws EFileError, naming `path`, for a link that leads nowhere or to
// anything but a regular file.
WriteTarget writeTarget(const QString& path);

// The table's lines as comma-separated values: each TAB-separated field one
// value, quoted as RFC 4180 asks when it holds a comma, a quote, CR or LF;
// CR LF after every line.
QByteArray csvBytes(const RecordTable& table);

// Reads a record file for merging. Throws EFileError, naming the file, when
// it is not a regular file (or a link to one), cannot be read, holds NUL bytes
// or other binary data, or is larger or has more lines than the longest record.
// Never waits on a pipe or device.
RecordLines readRecordLines(const QString& path);

// Throws EFileError when the file is not a regular file (or a link to one)
// or cannot be opened for reading. Never waits on a pipe or device.
void checkReadable(const QString& path);

// Deletes a record file, only a regular file or a link to one (the link
// itself goes). Throws EFileError, naming the file, when it cannot.
void deleteRecordFile(const QString& path);

// A sample line as a recording writes it: a sample number, the time as
// RecordTable::formatTime gives it, and four readings StrToFloat takes,
// TAB-separated and nothing else.
bool isRecordLine(QByteArrayView line);
// The same with the four charge and energy columns after the readings, each
// a reading or empty (not recorded: the line came from a record without them).
bool isCounterRecordLine(QByteArrayView line);

// A trip of the output's guard, recorded where it happened among the samples:
// "Trip", the time with seconds, "CH1" or "CH2", the limit, the reading and
// the level with their units (both empty for a limit without a level),
// TAB-separated. Its first field is no sample number, so a program that does
// not know the line skips it as it skips any other.
QByteArray tripLine(const QDateTime& when, int channel, const QString& limit,
                    const QString& reading, const QString& level);
bool isTripLine(QByteArrayView line);

// A sequence's step starting, recorded the same way: "Step", the time with
// seconds, the step and "repeat <pass>", both counted from 1.
QByteArray stepLine(const QDateTime& when, int step, int pass);
bool isStepLine(QByteArrayView line);
// The sequence's end: "Sequence end", the time with seconds, and why it ended.
QByteArray sequenceEndLine(const QDateTime& when, const QString& why);
bool isSequenceEndLine(QByteArrayView line);

// A trip, a step or a sequence's end: a line among the samples that is no sample.
bool isMarkLine(QByteArrayView line);

struct MergeCount {
    qsizetype merged = 0;   // record lines and marks
    qsizetype trips = 0;    // of them
    qsizetype steps = 0;    // of them, a sequence's steps
    qsizetype skipped = 0;  // lines that are neither
    // The file's charge and energy columns were left out: the table has none.
    bool countersDropped = false;
};
// Merges a record file's lines, as readRecordLines gave them from `path`,
// after the table's header, leaving out the lines that are neither record
// lines of the file's header nor marks. Its record lines take the table's
// columns: without charge and energy in the table theirs are left out, with
// them in the table and not in the file they are left empty.
// Throws EFileError naming the file, the table unchanged, when its first
// line is not a record header, or when the merged record would be more
// than a record file may hold, so that saved it could not be loaded again.
MergeCount mergeRecordFile(RecordTable& table, RecordLines lines, const QString& path);
// The file has record lines and every one of them is a line of the table
// already, as when the record just saved is loaded into its own recording.
bool recordLinesAlreadyIn(const RecordTable& table, const RecordLines& lines);

// `chosen` with its last suffix replaced by `suffix` (".xls", ".csv"), or
// `suffix` added when the file name has none; kept when it already ends in
// exactly `suffix`.
QString exportPath(const QString& chosen, const QString& suffix = QStringLiteral(".xls"));

// Where records are saved and listed: the program's folder when it is a
// build tree (the user's own folder, writable, outside the system's folders),
// else the user's data folder (created if missing). Nothing is written into
// the program's folder to find out.
QString recordDirectory();
QString recordDirectory(const QString& programDir, const QString& fallbackDir);

// Names of the regular files of `dir`, and of links to regular files, that
// match "*.txt" in any case, in the order the file system lists them.
QStringList searchAllSaveFiles(const QString& dir);

// The hidden file in the record folder that a recording's lines are written
// to as they are taken, until they are saved or discarded: one for each
// running program, named by its process id.
// The Readings file a recording writes beside its journal as readings come:
// it goes where the journal goes.
QString readingsJournalPath(const QString& journal);

QString journalPath(const QString& dir, qint64 pid = -1);

// The journals in `dir` that no running program holds (their lock is free),
// by name: those programs were killed, or ended with their lines unsaved.
// Also entries at a journal's name that cannot be a journal (a link, a pipe,
// a file that cannot be read), to be told as they are. Includes the single
// ".recording.journal" that earlier versions kept.
QStringList leftJournals(const QString& dir);

// A journal a killed program left behind: its header, its whole record lines
// and marks after it (a last line cut short mid-write is left out), and the
// time of the first, invalid when there is none. Throws EFileError, naming
// the file, when it cannot be read (a link is not followed, a pipe or a
// device not opened) or does not start with a record header.
struct LeftJournal {
    RecordTable table;
    QDateTime started;
};
LeftJournal readJournal(const QString& path);

// A record file's name as the saved-record list shows it: its last ".txt",
// in any case, left out.
QString savedRecordEntry(const QString& fileName);

}  // namespace lqs
