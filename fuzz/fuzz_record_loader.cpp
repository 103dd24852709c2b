// libFuzzer target: arbitrary bytes as a record file, loaded and merged into
// a small table the way the recorder merges a saved record.
//
// Checks: only files that are not text are refused, and none with NUL bytes
// loads; a file whose first line is not a record header is refused with the
// table unchanged; otherwise the table grows by the file's record lines
// (fitted to its columns) and marks (trips, a sequence's steps and end), the
// others counted as skipped, its bytes end with CR LF, every merged line
// reads back unchanged between the header and the old data, and the merged
// table saved and loaded again gives its own lines.
#include "recorder/record_files.h"
#include "recorder/record_table.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace lqs;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// One folder for the whole run; libFuzzer ends the process itself.
const QString& scratch() {
    static QTemporaryDir* dir = new QTemporaryDir;
    static const QString path = dir->path();
    return path;
}

QList<QByteArray> linesOf(const RecordTable& t) {
    QList<QByteArray> lines;
    for (int i = 0; i < t.lineCount(); ++i) lines.append(t.line(i));
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString input = QDir(scratch()).filePath(QStringLiteral("input.txt"));
    {
        QFile f(input);
        check(f.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write the input file");
        check(f.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size),
              "short write of the input file");
    }
    RecordLines lines;
    try {
        lines = readRecordLines(input);
    } catch (const EFileError&) {
        // Refused: only files that are not text may be.
        const bool text = std::all_of(data, data + size, [](std::uint8_t c) {
            return (c >= 0x20 && c != 0x7F) || (c >= '\t' && c <= '\r');
        });
        check(!text, "a text file refused");
        return 0;
    }
    check(std::none_of(data, data + size, [](std::uint8_t c) { return c == 0; }),
          "NUL bytes loaded");
    for (qsizetype i = 0; i < lines.count(); ++i)
        check(!lines.line(i).contains('\r') && !lines.line(i).contains('\n'),
              "line end inside a line");

    RecordTable table = RecordTable::withHeader();
    const QDateTime when(QDate(2026, 12, 6), QTime(9, 5));
    table.appendSample(1, when, QStringLiteral("12.345"), QStringLiteral("1.234"),
                       QStringLiteral("0.000"), QStringLiteral("0.000"));
    table.appendSample(2, when, QStringLiteral("12.346"), QStringLiteral("1.235"),
                       QStringLiteral("0.001"), QStringLiteral("0.000"));
    const QList<QByteArray> before = linesOf(table);

    const bool counters = lines.count() > 0 && lines.line(0) == RecordTable::header(true);
    const bool record = counters || (lines.count() > 0 && lines.line(0) == RecordTable::header());
    // Marks as they are; record lines of the file's kind, without the charge
    // and energy columns the table does not have.
    QList<QByteArray> merged;
    for (qsizetype i = 1; i < lines.count(); ++i) {
        const QByteArray line = lines.line(i).toByteArray();
        if (isMarkLine(line))
            merged.append(line);
        else if (counters ? isCounterRecordLine(line) : isRecordLine(line))
            merged.append(counters ? line.split('\t').mid(0, 6).join('\t') : line);
    }
    const qsizetype count = lines.count();
    MergeCount n;
    try {
        n = mergeRecordFile(table, std::move(lines), input);
    } catch (const EFileError&) {
        check(!record, "a record refused");
        check(linesOf(table) == before, "a refused file changed the table");
        return 0;
    }
    check(record, "a file without the header merged");
    check(n.merged == merged.size() && n.merged + n.skipped == count - 1, "merge counts");
    check(table.lineCount() == int(before.size() + merged.size()), "line count");
    check(table.bytes().endsWith("\r\n"), "bytes end in CR LF");
    const QList<QByteArray> after = linesOf(table);
    check(after == QList<QByteArray>{before.first()} + merged + before.mid(1), "merged order");

    const QString saved = QDir(scratch()).filePath(QStringLiteral("saved.txt"));
    writeRecordFile(saved, table);
    const RecordLines back = readRecordLines(saved);
    check(back.count() == after.size(), "saved table reads back: count");
    for (qsizetype i = 0; i < back.count(); ++i)
        check(back.line(i) == after[i], "saved table reads back");
    return 0;
}
