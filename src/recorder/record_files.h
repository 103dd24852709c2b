// Record files: their names, where they live, saving, loading and export.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <stdexcept>
#include <string>

class QDateTime;

namespace lqs {

class RecordTable;

// A record file could not be read, written or placed; the message names the
// path and the reason.
class EFileError : public std::runtime_error {
public:
    explicit EFileError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

// Files above this are refused unread: the longest record is about 35 MB.
constexpr qint64 kMaxRecordFileBytes = qint64(512) * 1024 * 1024;
// And so are files of more lines than this (each costs a list entry).
constexpr qsizetype kMaxRecordFileLines = qsizetype(16) * 1024 * 1024;

// "2026-12-6 21 5 33.txt": local time, no leading zeros.
QString recordFileName(const QDateTime& t);

// Writes table.bytes() to a temporary file beside `path` and renames it over
// `path`, so a failure leaves any earlier file untouched. Throws EFileError.
void writeRecordFile(const QString& path, const RecordTable& table);

// The file's lines, split at CR LF, CR or LF; a final line end adds no empty
// line. Throws EFileError when the file cannot be read or is too large.
QList<QByteArray> readRecordLines(const QString& path);

// `chosen` with its last suffix replaced by ".xls", or ".xls" added when the
// file name has none; kept as it is when it already ends in ".xls".
QString exportPath(const QString& chosen);

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
