// Record figures for the longest record (691,196 data lines): the table's
// memory, appending every sample, Save, Export, and loading a saved record of
// that size and merging it into a table of that size.
#include "recorder/record_files.h"
#include "recorder/record_table.h"

#include <QDateTime>
#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <malloc.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using namespace lqs;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kLines = 691196;
constexpr int kRuns = 5;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Bytes the allocator has handed out, heap and mmap.
double heapMb() {
    const struct mallinfo2 m = mallinfo2();
    return double(m.uordblks + m.hblkhd) / 1e6;
}

double rssMb() {
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1e3;  // kB
    }
    return 0;
}

// Readings as the instrument sends them: "12.345" volts, "1.234" amps.
std::vector<QString> readings(int count, double scale, int seed) {
    std::vector<QString> r;
    unsigned x = unsigned(seed);
    for (int i = 0; i < count; ++i) {
        x = x * 1103515245u + 12345u;
        r.push_back(QString::number(scale * double(x % 100000) / 100000.0, 'f', 3));
    }
    return r;
}

struct Samples {
    std::vector<QDateTime> times;
    std::vector<QString> volts = readings(997, 30.0, 1);
    std::vector<QString> amps = readings(991, 3.0, 2);
};

RecordTable fill(const Samples& s) {
    RecordTable t = RecordTable::withHeader();
    for (int i = 0; i < kLines; ++i) {
        const std::size_t k = std::size_t(i);
        t.appendSample(i + 1, s.times[k], s.volts[k % 997], s.amps[k % 991],
                       s.volts[(k + 500) % 997], s.amps[(k + 300) % 991]);
    }
    return t;
}

void report(const char* what, std::vector<double> ms, double target) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-34s median %7.1f ms  worst %7.1f ms  (target under %.0f ms)  %s\n", what,
                ms[ms.size() / 2], ms.back(), target, ms.back() < target ? "ok" : "OVER");
}

}  // namespace

int main() {
    Samples s;
    s.times.reserve(kLines);
    const QDateTime start(QDate(2026, 12, 6), QTime(9, 5, 0));
    for (int i = 0; i < kLines; ++i) s.times.push_back(start.addSecs(i));

    const double heap0 = heapMb();
    const double rss0 = rssMb();
    auto t0 = Clock::now();
    RecordTable table = fill(s);
    const double appendMs = msSince(t0);
    const double heapTable = heapMb() - heap0;
    const double rssTable = rssMb() - rss0;
    std::printf("table: %d lines, %.1f MB of text\n", table.lineCount(),
                double(table.bytes().size()) / 1e6);
    std::printf("%-34s heap %.1f MB, RSS %.1f MB  (target under 80 MB)  %s\n", "table memory",
                heapTable, rssTable, std::max(heapTable, rssTable) < 80 ? "ok" : "OVER");
    std::printf("%-34s %7.1f ms  (%.0f ns a line)\n", "append all samples", appendMs,
                appendMs * 1e6 / kLines);

    QTemporaryDir dir;
    const QString savePath =
        QDir(dir.path()).filePath(recordFileName(QDateTime(QDate(2026, 12, 6), QTime(21, 5, 33))));
    const QString chosen = QDir(dir.path()).filePath(QStringLiteral("export.txt"));
    std::vector<double> save, exportMs, csvMs, read, merge, total, checked;
    for (int run = 0; run < kRuns; ++run) {
        t0 = Clock::now();
        writeRecordFile(savePath, table);
        save.push_back(msSince(t0));

        t0 = Clock::now();
        writeRecordFile(exportPath(chosen), table);
        exportMs.push_back(msSince(t0));

        t0 = Clock::now();
        writeFileBytes(exportPath(chosen, QStringLiteral(".csv")), csvBytes(table));
        csvMs.push_back(msSince(t0));

        RecordTable target = fill(s);
        t0 = Clock::now();
        const RecordLines lines = readRecordLines(savePath);
        read.push_back(msSince(t0));
        const auto t1 = Clock::now();
        target.insertAfterHeader(lines, 1);
        merge.push_back(msSince(t1));
        total.push_back(msSince(t0));
        if (target.lineCount() != 2 * kLines + 1) {
            std::fprintf(stderr, "merge gave %d lines\n", target.lineCount());
            return 1;
        }

        // As Load merges: every line checked, into a record with room for them.
        RecordTable empty = RecordTable::withHeader();
        t0 = Clock::now();
        const MergeCount n = mergeRecordFile(empty, readRecordLines(savePath), savePath);
        checked.push_back(msSince(t0));
        if (n.merged != kLines || n.skipped != 0) {
            std::fprintf(stderr, "checked merge took %lld lines\n",
                         static_cast<long long>(n.merged));
            return 1;
        }
    }
    std::printf("runs: %d each; Save and Export include QSaveFile's fsync\n", kRuns);
    report("Save (writeRecordFile)", save, 300);
    report("Export (exportPath + write)", exportMs, 300);
    report("Export as CSV", csvMs, 300);
    report("  readRecordLines", read, 500);
    report("  insertAfterHeader", merge, 500);
    report("load + merge", total, 500);
    report("load + checked merge (Load)", checked, 500);

    // What a loaded file costs while it is merged: its bytes and 8 bytes a line.
    {
        const double before = heapMb();
        const RecordLines lines = readRecordLines(savePath);
        std::printf("%-34s heap %.1f MB for %lld lines\n", "loaded file", heapMb() - before,
                    static_cast<long long>(lines.count()));
    }
    return 0;
}
