// libFuzzer target: arbitrary bytes as a record file, loaded and merged into
// a small table the way the recorder merges a saved record (its first line,
// the file's header, is left out).
//
// Checks: the table grows by the file's lines less one, its bytes end with
// CR LF, every merged line reads back unchanged between the header and the
// old data, and the merged table saved and loaded again gives its own lines.
#include "record_files.h"
#include "record_table.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

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
    const QList<QByteArray> lines = readRecordLines(input);
    for (const QByteArray& l : lines)
        check(!l.contains('\r') && !l.contains('\n'), "line end inside a line");

    RecordTable table = RecordTable::withHeader();
    const QDateTime when(QDate(2026, 12, 6), QTime(9, 5));
    table.appendSample(1, when, QStringLiteral("12.345"), QStringLiteral("1.234"),
                       QStringLiteral("0.000"), QStringLiteral("0.000"));
    table.appendSample(2, when, QStringLiteral("12.346"), QStringLiteral("1.235"),
                       QStringLiteral("0.001"), QStringLiteral("0.000"));
    const QList<QByteArray> before = linesOf(table);

    const QList<QByteArray> merged = lines.isEmpty() ? lines : lines.mid(1);
    table.insertAfterHeader(merged);

    const int expectedCount = int(before.size() + (lines.isEmpty() ? 0 : lines.size() - 1));
    check(table.lineCount() == expectedCount, "line count");
    check(table.bytes().endsWith("\r\n"), "bytes end in CR LF");
    const QList<QByteArray> after = linesOf(table);
    check(after == QList<QByteArray>{before.first()} + merged + before.mid(1), "merged order");

    const QString saved = QDir(scratch()).filePath(QStringLiteral("saved.txt"));
    writeRecordFile(saved, table);
    check(readRecordLines(saved) == after, "saved table reads back");
    return 0;
}
