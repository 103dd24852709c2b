#include "recorder/record_files.h"

#include "common/convert.h"
#include "recorder/record_file_system.h"
#include "recorder/record_table.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>
#include <limits>

namespace lqs {

QString shownPath(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// Qt gives some reasons in lower case ("file to open is a directory"); they
// read as a second sentence here.
void failFile(const QString& what, const QString& path, QString reason) {
    if (!reason.isEmpty()) reason[0] = reason[0].toUpper();
    throw EFileError(QStringLiteral("%1 \"%2\". %3").arg(what, shownPath(path), reason));
}

namespace {

QString shown(const QString& path) {
    return shownPath(path);
}
[[noreturn]] void fail(const QString& what, const QString& path, const QString& reason) {
    failFile(what, path, reason);
}

// Reads at most kMaxRecordFileBytes, so a file that reports no
// size (/proc) or grows while read cannot exhaust memory either.
QByteArray readBounded(const QString& path, bool followLink = true) {
    QFile file;
    openRegularFile(file, path, followLink);
    const QString tooLarge =
        QStringLiteral("It is larger than %1 MB, more than the longest record needs")
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

void writeFileBytes(const QString& path, const QByteArray& data) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("Cannot create file"), path, file.errorString());
    // A short write carries no reason; the next attempt fails with it (disk full).
    for (qsizetype done = 0; done < data.size();) {
        const qint64 n = file.write(data.constData() + done, data.size() - done);
        if (n <= 0) fail(QStringLiteral("Cannot write file"), path, file.errorString());
        done += qsizetype(n);
    }
    if (!file.commit()) fail(QStringLiteral("Cannot write file"), path, file.errorString());
}

void writeRecordFile(const QString& path, const RecordTable& table) {
    writeFileBytes(path, table.bytes());
}

namespace {

// Far more records than one second can see; only a bound on the search.
constexpr int kMaxSameName = 10000;

}  // namespace

QString saveNewRecordFile(const QString& dir, const QString& name, const RecordTable& table) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString suffix = dot > 0 ? name.mid(dot) : QString();
    for (int n = 1;; ++n) {
        const QString path =
            dir + QLatin1Char('/') +
            (n == 1 ? name : QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(suffix));
        if (createNewFile(path, table.bytes(), n < kMaxSameName)) return path;
    }
}

QByteArray csvBytes(const RecordTable& table) {
    const qsizetype size = table.bytes().size();
    QByteArray out;
    out.reserve(size + size / 16);
    const auto special = [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; };
    for (int i = 0; i < table.lineCount(); ++i) {
        const QByteArrayView line = table.lineView(i);
        if (std::none_of(line.begin(), line.end(), special)) {
            // The usual line: nothing to quote, only the separators change.
            const qsizetype at = out.size();
            out.append(line.data(), line.size());
            std::replace(out.begin() + at, out.end(), '\t', ',');
            out.append("\r\n", 2);
            continue;
        }
        qsizetype from = 0;
        for (;;) {
            qsizetype tab = line.indexOf('\t', from);
            const QByteArrayView field = line.sliced(from, (tab < 0 ? line.size() : tab) - from);
            const bool quote = std::any_of(field.begin(), field.end(), special);
            if (quote) {
                out.append('"');
                for (char c : field) {
                    if (c == '"') out.append('"');
                    out.append(c);
                }
                out.append('"');
            } else {
                out.append(field);
            }
            if (tab < 0) break;
            out.append(',');
            from = tab + 1;
        }
        out.append("\r\n", 2);
    }
    return out;
}

RecordLines RecordLines::fromBytes(QByteArray bytes) {
    RecordLines r;
    r.m_data = std::move(bytes);
    const char* const begin = r.m_data.constData();
    const char* const end = begin + r.m_data.size();
    const char* start = begin;
    const auto add = [&](const char* stop) {
        r.m_spans.push_back({quint32(start - begin), quint32(stop - start)});
    };
    for (const char* p = begin; p != end; ++p) {
        if (*p != '\n' && *p != '\r') continue;
        add(p);
        if (*p == '\r' && p + 1 != end && p[1] == '\n') ++p;
        start = p + 1;
    }
    if (start != end) add(end);
    return r;
}

namespace {

// Text in the 8-bit character set of record files: any byte but the C0
// controls other than TAB, LF, VT, FF and CR, and DEL.
bool isTextByte(unsigned char c) {
    return (c >= 0x20 && c != 0x7F) || (c >= '\t' && c <= '\r');
}

qsizetype lineCount(const QByteArray& data) {
    const char* const begin = data.constData();
    const char* const end = begin + data.size();
    qsizetype count = 0;
    for (const char* p = begin; p != end; ++p) {
        if (*p == '\n' || (*p == '\r' && (p + 1 == end || p[1] != '\n'))) ++count;
    }
    if (!data.isEmpty() && end[-1] != '\n' && end[-1] != '\r') ++count;
    return count;
}

}  // namespace

RecordLines readRecordLines(const QString& path) {
    QByteArray data = readBounded(path);
    const QString load = QStringLiteral("Cannot load file");
    if (data.contains('\0'))
        fail(load, path, QStringLiteral("It holds NUL bytes, so it is not a record"));
    if (!std::all_of(data.cbegin(), data.cend(),
                     [](char c) { return isTextByte((unsigned char)c); }))
        fail(load, path, QStringLiteral("It holds binary data, not text, so it is not a record"));
    // Counted before the line table is allocated.
    if (lineCount(data) > kMaxRecordFileLines) {
        fail(load, path,
             QStringLiteral("It has more than %1 lines, more than the longest record holds")
                 .arg(kMaxRecordFileLines));
    }
    return RecordLines::fromBytes(std::move(data));
}

void checkReadable(const QString& path) {
    QFile file;
    openRegularFile(file, path);
}

void deleteRecordFile(const QString& path) {
    checkReadable(path);  // anything but a file stays
    QFile file(path);
    if (!file.remove()) fail(QStringLiteral("Cannot delete file"), path, file.errorString());
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A number as RecordTable writes it: decimal digits, no sign, no leading
// zero, at most `max`. Moves `p` past it.
bool takeNumber(const char*& p, const char* end, int max, int& value) {
    const char* const start = p;
    qint64 v = 0;
    for (; p != end && isDigit(*p); ++p) {
        v = v * 10 + (*p - '0');
        if (v > max) return false;
    }
    value = int(v);
    return p != start && (*start != '0' || p - start == 1);
}

bool take(const char*& p, const char* end, char c) {
    if (p == end || *p != c) return false;
    ++p;
    return true;
}

// "2026-12-6 9:5", as RecordTable::formatTime writes a real date; with
// seconds "2026-12-6 9:5:33", as a trip has it.
bool isRecordTime(QByteArrayView field, bool seconds = false) {
    const char* p = field.begin();
    const char* const end = field.end();
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    return takeNumber(p, end, 9999, y) && take(p, end, '-') && takeNumber(p, end, 12, mo) &&
           take(p, end, '-') && takeNumber(p, end, 31, d) && take(p, end, ' ') &&
           takeNumber(p, end, 23, h) && take(p, end, ':') && takeNumber(p, end, 59, mi) &&
           (!seconds || (take(p, end, ':') && takeNumber(p, end, 59, sec))) && p == end &&
           QDate::isValid(y, mo, d);
}

// A reading the recording took: a text StrToFloat reads.
bool isReading(QByteArrayView field) {
    // The usual "-12.345" is one at once, without a QString or an exception.
    const char* p = field.begin();
    const char* const end = field.end();
    if (p != end && *p == '-') ++p;
    const char* const digits = p;
    while (p != end && isDigit(*p)) ++p;
    bool plain = p != digits && field.size() <= 32;
    if (plain && p != end && *p == '.') {
        for (++p; p != end && isDigit(*p);) ++p;
    }
    if (plain && p == end) return true;
    try {
        StrToFloat(QString::fromLatin1(field));  // the readings are Latin-1
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

}  // namespace

namespace {

constexpr int kFields = 6;
constexpr int kCounterFields = 10;

// Exactly `n` TAB-separated fields, into `fields`.
bool splitFields(QByteArrayView line, int n, QByteArrayView* fields) {
    qsizetype from = 0;
    for (int i = 0; i < n; ++i) {
        const qsizetype tab = line.indexOf('\t', from);
        if ((tab < 0) != (i == n - 1)) return false;
        const qsizetype to = tab < 0 ? line.size() : tab;
        fields[i] = line.sliced(from, to - from);
        from = to + 1;
    }
    return true;
}

bool isSample(const QByteArrayView* fields) {
    int sampleNo = 0;
    const char* p = fields[0].begin();
    return takeNumber(p, fields[0].end(), std::numeric_limits<int>::max(), sampleNo) &&
           p == fields[0].end() && isRecordTime(fields[1]) &&
           std::all_of(fields + 2, fields + kFields, isReading);
}

bool isCounterOrEmpty(QByteArrayView field) {
    return field.isEmpty() || isReading(field);
}

}  // namespace

bool isRecordLine(QByteArrayView line) {
    QByteArrayView fields[kFields];
    return splitFields(line, kFields, fields) && isSample(fields);
}

bool isCounterRecordLine(QByteArrayView line) {
    QByteArrayView fields[kCounterFields];
    return splitFields(line, kCounterFields, fields) && isSample(fields) &&
           std::all_of(fields + kFields, fields + kCounterFields, isCounterOrEmpty);
}

namespace {

const QByteArray kTrip = QByteArrayLiteral("Trip");

// Latin-1, on one line and in one field.
QByteArray fieldText(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        out.append(u == '\t' || u == '\r' || u == '\n' ? ' ' : u <= 0xFF ? char(u) : '?');
    }
    return out;
}

// A mark's first two fields: its kind and the time with seconds.
QByteArray markStart(const QByteArray& kind, const QDateTime& when) {
    QByteArray line = kind;
    return line.append('\t')
        .append(RecordTable::formatTime(when))
        .append(':')
        .append(QByteArray::number(when.toLocalTime().time().second()));
}

const QByteArray kStep = QByteArrayLiteral("Step");
const QByteArray kSequenceEnd = QByteArrayLiteral("Sequence end");
const QByteArray kRepeat = QByteArrayLiteral("repeat ");

// A count from 1 as a step or a repeat is written.
bool isCount(QByteArrayView field) {
    const char* p = field.begin();
    int n = 0;
    return takeNumber(p, field.end(), std::numeric_limits<int>::max(), n) && p == field.end() &&
           n >= 1;
}

}  // namespace

QByteArray tripLine(const QDateTime& when, int channel, const QString& limit,
                    const QString& reading, const QString& level) {
    QByteArray line = markStart(kTrip, when);
    line.append(channel == 2 ? "\tCH2\t" : "\tCH1\t")
        .append(fieldText(limit))
        .append('\t')
        .append(fieldText(reading))
        .append('\t')
        .append(fieldText(level));
    return line;
}

bool isTripLine(QByteArrayView line) {
    QByteArrayView fields[kFields];
    return line.startsWith(kTrip) && splitFields(line, kFields, fields) && fields[0] == kTrip &&
           isRecordTime(fields[1], true) && (fields[2] == "CH1" || fields[2] == "CH2") &&
           !fields[3].isEmpty();
}

QByteArray stepLine(const QDateTime& when, int step, int pass) {
    QByteArray line = markStart(kStep, when);
    return line.append('\t')
        .append(QByteArray::number(step))
        .append('\t')
        .append(kRepeat)
        .append(QByteArray::number(pass));
}

bool isStepLine(QByteArrayView line) {
    QByteArrayView fields[4];
    return line.startsWith(kStep) && splitFields(line, 4, fields) && fields[0] == kStep &&
           isRecordTime(fields[1], true) && isCount(fields[2]) && fields[3].startsWith(kRepeat) &&
           isCount(fields[3].sliced(kRepeat.size()));
}

QByteArray sequenceEndLine(const QDateTime& when, const QString& why) {
    return markStart(kSequenceEnd, when).append('\t').append(fieldText(why));
}

bool isSequenceEndLine(QByteArrayView line) {
    QByteArrayView fields[3];
    return line.startsWith(kSequenceEnd) && splitFields(line, 3, fields) &&
           fields[0] == kSequenceEnd && isRecordTime(fields[1], true);
}

bool isMarkLine(QByteArrayView line) {
    return isTripLine(line) || isStepLine(line) || isSequenceEndLine(line);
}

namespace {

bool isRecordOrMark(QByteArrayView line) {
    return isRecordLine(line) || isMarkLine(line);
}
bool isCounterRecordOrMark(QByteArrayView line) {
    return isCounterRecordLine(line) || isMarkLine(line);
}

// Which record header the line is; false when it is none.
bool recordHeader(QByteArrayView line, bool& counters) {
    counters = line == RecordTable::header(true);
    return counters || line == RecordTable::header(false);
}

// The record lines after the header fitted to the other kind of table: the
// charge and energy columns left out, or added empty. Marks stay as they are.
RecordLines fitted(const RecordLines& lines, bool counters) {
    QByteArray out;
    out.reserve(qsizetype(lines.count()) * 64);
    out.append("header\n");
    for (qsizetype i = 1; i < lines.count(); ++i) {
        const QByteArrayView line = lines.line(i);
        if (isMarkLine(line)) {
            out.append(line);
        } else if (counters) {
            out.append(line).append("\t\t\t\t");
        } else {
            qsizetype at = -1;
            for (int tab = 0; tab < kFields; ++tab) at = line.indexOf('\t', at + 1);
            out.append(line.first(at));
        }
        out.append('\n');
    }
    return RecordLines::fromBytes(std::move(out));
}

}  // namespace

qsizetype RecordLines::keepOnly(qsizetype first, bool (*keep)(QByteArrayView)) {
    if (first >= count()) return 0;
    const auto from = m_spans.begin() + first;
    const auto kept = std::remove_if(from, m_spans.end(), [&](const Span& s) {
        return !keep(QByteArrayView(m_data.constData() + s.start, s.size));
    });
    const qsizetype dropped = m_spans.end() - kept;
    m_spans.erase(kept, m_spans.end());
    return dropped;
}

MergeCount mergeRecordFile(RecordTable& table, RecordLines lines, const QString& path) {
    bool fileCounters = false;
    if (lines.count() == 0 || !recordHeader(lines.line(0), fileCounters))
        fail(QStringLiteral("Cannot load file"), path,
             QStringLiteral("Its first line is not the record header, so it is not a record"));
    MergeCount count;
    count.skipped = lines.keepOnly(1, fileCounters ? isCounterRecordOrMark : isRecordOrMark);
    count.merged = lines.count() - 1;
    qsizetype marks = 0;
    for (qsizetype i = 1; i < lines.count(); ++i) {
        const QByteArrayView line = lines.line(i);
        count.trips += isTripLine(line);
        count.steps += isStepLine(line);
        marks += isMarkLine(line);
    }
    const bool tableCounters = table.hasCounters();
    if (fileCounters != tableCounters && count.merged > marks) {
        lines = fitted(lines, tableCounters);
        count.countersDropped = fileCounters;
    }

    // Load refuses a file past these; merged, the record must still load.
    const QString merge = QStringLiteral("Cannot merge file");
    const qsizetype total = table.lineCount() + count.merged;
    if (total > kMaxRecordFileLines) {
        fail(merge, path,
             QStringLiteral(
                 "The record would then have %1 lines, more than the %2 a record file holds")
                 .arg(total)
                 .arg(kMaxRecordFileLines));
    }
    qint64 bytes = table.bytes().size();
    for (qsizetype i = 1; i < lines.count(); ++i) bytes += lines.line(i).size() + 2;
    if (bytes > kMaxRecordFileBytes) {
        fail(merge, path,
             QStringLiteral(
                 "The record would then be larger than %1 MB, more than a record file holds")
                 .arg(kMaxRecordFileBytes / (1024 * 1024)));
    }
    table.insertAfterHeader(lines, 1);
    return count;
}

bool recordLinesAlreadyIn(const RecordTable& table, const RecordLines& lines) {
    QSet<QByteArrayView> have;
    have.reserve(table.lineCount());
    for (int i = 1; i < table.lineCount(); ++i) have.insert(table.lineView(i));
    bool any = false;
    for (qsizetype i = 1; i < lines.count(); ++i) {
        const QByteArrayView line = lines.line(i);
        if (!isRecordLine(line) && !isCounterRecordLine(line)) continue;  // marks may repeat
        if (!have.contains(line)) return false;
        any = true;
    }
    return any;
}

QString exportPath(const QString& chosen, const QString& suffix) {
    // QFileDialog gives '/' as the separator on every platform.
    const qsizetype nameStart = chosen.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = chosen.lastIndexOf(QLatin1Char('.'));
    if (dot < nameStart) return chosen + suffix;
    if (QStringView(chosen).mid(dot) == suffix) return chosen;
    return chosen.left(dot) + suffix;
}

namespace {

// Records are the user's data: beside the program only in a build tree, whose
// folder is the user's own. An installed program's folder is the system's,
// and root may write there, so neither a probe file nor the permission bits
// tell them apart; the owner and the place do.
bool isBuildTree(const QString& programDir) {
    const QString dir = QFileInfo(programDir).canonicalFilePath();  // /bin may lead to /usr/bin
    if (dir.isEmpty() || dir == QLatin1String("/")) return false;
    for (const char* system : {"/usr", "/opt", "/bin", "/sbin", "/lib", "/lib32", "/lib64",
                               "/libx32", "/etc", "/snap"}) {
        const QString s = QString::fromLatin1(system);
        if (dir == s || dir.startsWith(s + QLatin1Char('/'))) return false;
    }
    return isOwnWritableFolder(dir);
}

}  // namespace

QString recordDirectory(const QString& programDir, const QString& fallbackDir) {
    if (isBuildTree(programDir)) return programDir;
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
    QStringList names;
    const QFileInfoList found = QDir(dir).entryInfoList({QStringLiteral("*.txt")},
                                                        QDir::Files | QDir::Hidden, QDir::NoSort);
    // isFile() follows links and holds for regular files only.
    for (const QFileInfo& info : found) {
        if (info.isFile()) names << info.fileName();
    }
    return names;
}

QString savedRecordEntry(const QString& fileName) {
    return fileName.endsWith(QStringLiteral(".txt"), Qt::CaseInsensitive) ? fileName.chopped(4)
                                                                          : fileName;
}

QString journalPath(const QString& dir, qint64 pid) {
    return dir + QStringLiteral("/.recording.%1.journal")
                     .arg(pid < 0 ? QCoreApplication::applicationPid() : pid);
}

QString readingsJournalPath(const QString& journal) {
    return journal + QStringLiteral(".readings.csv");
}

QStringList leftJournals(const QString& dir) {
    QStringList left;
    const QStringList names = QDir(dir).entryList(
        {QStringLiteral(".recording.journal"), QStringLiteral(".recording.*.journal")},
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        const QString path = dir + QLatin1Char('/') + name;
        if (JournalClaim(path).offerable()) left << path;
    }
    return left;
}

LeftJournal readJournal(const QString& path) {
    // Never through a link: what it leads to is no journal this program wrote.
    QByteArray data = readBounded(path, false);
    data.truncate(data.lastIndexOf('\n') + 1);  // a line cut short by the kill goes
    RecordLines lines = RecordLines::fromBytes(std::move(data));
    bool counters = false;
    if (lines.count() == 0 || !recordHeader(lines.line(0), counters))
        fail(QStringLiteral("Cannot load file"), path,
             QStringLiteral("It is not a recording's journal"));
    lines.keepOnly(1, counters ? isCounterRecordOrMark : isRecordOrMark);
    LeftJournal left{RecordTable::withHeader(counters), {}};
    left.table.insertAfterHeader(lines, 1);
    if (left.table.lineCount() > 1) {
        const QByteArray first = left.table.line(1);
        const QList<QByteArray> fields = first.split('\t');
        left.started = QDateTime::fromString(
            QString::fromLatin1(fields.value(1)),
            isMarkLine(first) ? QStringLiteral("yyyy-M-d H:m:s") : QStringLiteral("yyyy-M-d H:m"));
    }
    return left;
}

}  // namespace lqs
