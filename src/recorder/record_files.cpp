#include "record_files.h"

#include "record_table.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <algorithm>

namespace lqs {

namespace {

QString shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// Qt gives some reasons in lower case ("file to open is a directory"); they
// read as a second sentence here.
[[noreturn]] void fail(const QString& what, const QString& path, QString reason) {
    if (!reason.isEmpty()) reason[0] = reason[0].toUpper();
    throw EFileError(QStringLiteral("%1 \"%2\". %3").arg(what, shown(path), reason));
}

// Reads at most kMaxRecordFileBytes, so a file that reports no
// size (a pipe, /proc) or grows while read cannot exhaust memory either.
QByteArray readBounded(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        fail(QStringLiteral("Cannot open file"), path, file.errorString());
    const QString tooLarge = QStringLiteral("The file is larger than %1 MB, too large for a record")
                                 .arg(kMaxRecordFileBytes / (1024 * 1024));
    const qint64 reported = file.size();
    if (reported > kMaxRecordFileBytes) fail(QStringLiteral("Cannot load file"), path, tooLarge);

    QByteArray data(qsizetype(reported), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < data.size()) {
        const qint64 n = file.read(data.data() + got, data.size() - got);
        if (n < 0) fail(QStringLiteral("Cannot read file"), path, file.errorString());
        if (n == 0) break;
        got += qsizetype(n);
    }
    data.resize(got);
    if (got < reported) return data;  // shrank while read

    // More than the size said: a file without one, or one that grew.
    char chunk[64 * 1024];
    for (;;) {
        const qint64 n = file.read(chunk, sizeof chunk);
        if (n < 0) fail(QStringLiteral("Cannot read file"), path, file.errorString());
        if (n == 0) break;
        if (data.size() + n > kMaxRecordFileBytes)
            fail(QStringLiteral("Cannot load file"), path, tooLarge);
        data.append(chunk, qsizetype(n));
    }
    return data;
}

}  // namespace

QString recordFileName(const QDateTime& t) {
    const QDateTime local = t.toLocalTime();
    const QDate d = local.date();
    const QTime h = local.time();
    return QStringLiteral("%1-%2-%3 %4 %5 %6.txt")
        .arg(d.year())
        .arg(d.month())
        .arg(d.day())
        .arg(h.hour())
        .arg(h.minute())
        .arg(h.second());
}

void writeRecordFile(const QString& path, const RecordTable& table) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("Cannot create file"), path, file.errorString());
    const QByteArray data = table.bytes();
    // A short write carries no reason; the next attempt fails with it (disk full).
    for (qsizetype done = 0; done < data.size();) {
        const qint64 n = file.write(data.constData() + done, data.size() - done);
        if (n <= 0) fail(QStringLiteral("Cannot write file"), path, file.errorString());
        done += qsizetype(n);
    }
    if (!file.commit()) fail(QStringLiteral("Cannot write file"), path, file.errorString());
}

QList<QByteArray> readRecordLines(const QString& path) {
    const QByteArray data = readBounded(path);
    const char* const begin = data.constData();
    const char* const end = begin + data.size();

    // Count first: the line limit is checked before anything is allocated,
    // and the list is allocated once.
    qsizetype count = 0;
    for (const char* p = begin; p != end; ++p) {
        if (*p == '\n' || (*p == '\r' && (p + 1 == end || p[1] != '\n'))) ++count;
    }
    if (!data.isEmpty() && end[-1] != '\n' && end[-1] != '\r') ++count;
    if (count > kMaxRecordFileLines) {
        fail(QStringLiteral("Cannot load file"), path,
             QStringLiteral("The file has more than %1 lines, too many for a record")
                 .arg(kMaxRecordFileLines));
    }

    QList<QByteArray> lines;
    lines.reserve(count);
    const char* start = begin;
    for (const char* p = begin; p != end; ++p) {
        if (*p != '\n' && *p != '\r') continue;
        lines.append(QByteArray(start, p - start));
        if (*p == '\r' && p + 1 != end && p[1] == '\n') ++p;
        start = p + 1;
    }
    if (start != end) lines.append(QByteArray(start, end - start));
    return lines;
}

QString exportPath(const QString& chosen) {
    const QString xls = QStringLiteral(".xls");
    // QFileDialog gives '/' as the separator on every platform.
    const qsizetype nameStart = chosen.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = chosen.lastIndexOf(QLatin1Char('.'));
    if (dot < nameStart) return chosen + xls;
    if (QStringView(chosen).mid(dot) == xls) return chosen;
    return chosen.left(dot) + xls;
}

QString recordDirectory(const QString& programDir, const QString& fallbackDir) {
    // Only creating a file tells: permission bits say nothing to root, nor
    // about read-only mounts or ACLs.
    if (QFileInfo(programDir).isDir()) {
        QTemporaryFile probe(QDir(programDir).filePath(QStringLiteral(".lqs-probe-XXXXXX")));
        if (probe.open()) return programDir;
    }
    if (fallbackDir.isEmpty() || !QDir().mkpath(fallbackDir)) {
        throw EFileError(
            QStringLiteral("Cannot create folder \"%1\" for the records").arg(shown(fallbackDir)));
    }
    return fallbackDir;
}

QString recordDirectory() {
    return recordDirectory(QCoreApplication::applicationDirPath(),
                           QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
}

QStringList searchAllSaveFiles(const QString& dir) {
    return QDir(dir).entryList(
        {QStringLiteral("*.txt")},
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
}

QStringList savedRecordEntries(const QString& dir) {
    QStringList names = searchAllSaveFiles(dir);
    for (QString& name : names) name.remove(QStringLiteral(".txt"), Qt::CaseInsensitive);
    return names;
}

}  // namespace lqs
