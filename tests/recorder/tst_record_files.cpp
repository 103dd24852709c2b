#include "recorder/record_file_system.h"
#include "recorder/record_files.h"
#include "recorder/record_table.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <csignal>
#include <optional>

#include "csv_reader.h"
#include "fifo_guard.h"
#include "test_files.h"

using namespace lqs;

namespace {

const auto& slurp = test::readAll;
const auto& spit = test::writeFile;

// The message the call raised, or an empty string when it did not raise.
template <class F>
QString failureOf(F&& f) {
    try {
        f();
    } catch (const EFileError& e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

QList<QByteArray> linesOf(const RecordTable& t) {
    QList<QByteArray> lines;
    for (int i = 0; i < t.lineCount(); ++i) lines.append(t.line(i));
    return lines;
}

QList<QByteArray> linesOf(const RecordLines& r) {
    QList<QByteArray> lines;
    for (qsizetype i = 0; i < r.count(); ++i) lines.append(r.line(i).toByteArray());
    return lines;
}

RecordLines linesFrom(const QList<QByteArray>& lines) {
    return RecordLines::fromBytes(lines.isEmpty() ? QByteArray() : lines.join("\r\n") + "\r\n");
}

RecordTable twoSamples() {
    RecordTable t = RecordTable::withHeader();
    t.appendSample(1, QDateTime(QDate(2026, 12, 6), QTime(9, 5, 7)), "12.340", "0.500", "5.000",
                   "-0.001");
    t.appendSample(10, QDateTime(QDate(2026, 12, 6), QTime(10, 0)), "0", "", " 1.2", "3A");
    return t;
}

const QByteArray kHeader = "No.\tTime\tCh1 V\tCh1 A\tCh2 V\tCh2 A";

}  // namespace

class TestRecordFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void savedBytes();
    void times_data();
    void times();
    void split_data();
    void split();
    void insertAfterHeader_data();
    void insertAfterHeader();
    void exportPath_data();
    void exportPath();
    void listsRegularFilesOnly();
    void recordFolder_data();
    void recordFolder();
    void failures_data();
    void failures();
    void refusesWhatIsNotAFile_data();
    void refusesWhatIsNotAFile();
    void refusesWhatIsNotARecord_data();
    void refusesWhatIsNotARecord();
    void recordLines_data();
    void recordLines();
    void counterAndTripLines_data();
    void counterAndTripLines();
    void merge_data();
    void merge();
    void mergeFitsTheColumns_data();
    void mergeFitsTheColumns();
    void mergeStaysLoadable_data();
    void mergeStaysLoadable();
    void csvReadsBack();
    void failedWriteKeepsOldFile();
    void journalWritesEachLineAndSyncsOnlyWhenWritten();
    void journalIsHeldWhileKept();
    void journalLeftBehind_data();
    void journalLeftBehind();

private:
    QTemporaryDir m_dir;
    std::optional<RecordTable> m_nearlyFull;  // a line or a byte short of a limit
    bool m_nearlyFullBytes = false;           // the byte limit, else the line limit
};

void TestRecordFiles::savedBytes() {
    QTemporaryDir dir;
    const QString path = dir.filePath("saved.txt");
    writeRecordFile(path, twoSamples());
    QCOMPARE(slurp(path), kHeader +
                              "\r\n"
                              "1\t2026-12-6 9:5\t12.340\t0.500\t5.000\t-0.001\r\n"
                              "10\t2026-12-6 10:0\t0\t\t 1.2\t3A\r\n");
    // A second save to the name replaces the file whole and leaves no temporary.
    writeRecordFile(path, RecordTable::withHeader());
    QCOMPARE(slurp(path), kHeader + "\r\n");
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"saved.txt"});
}

void TestRecordFiles::times_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("single digits") << QDateTime(QDate(2026, 12, 6), QTime(9, 5, 7))
                                   << QByteArray("2026-12-6 9:5") << QString("2026-12-6 9 5 7.txt");
    QTest::newRow("zeros") << QDateTime(QDate(2027, 1, 1), QTime(0, 0, 0, 999))
                           << QByteArray("2027-1-1 0:0") << QString("2027-1-1 0 0 0.txt");
    QTest::newRow("two digits") << QDateTime(QDate(2026, 10, 31), QTime(21, 10, 33))
                                << QByteArray("2026-10-31 21:10")
                                << QString("2026-10-31 21 10 33.txt");
}

void TestRecordFiles::times() {
    QFETCH(QDateTime, when);
    QFETCH(QByteArray, text);
    QFETCH(QString, fileName);
    QCOMPARE(RecordTable::formatTime(when), text);
    QCOMPARE(recordFileName(when), fileName);
    // A trip's time has its seconds too.
    const QByteArray seconds = text + ':' + QByteArray::number(when.time().second());
    QCOMPARE(tripLine(when, 1, "over-voltage", "1 V", "1 V").split('\t').at(1), seconds);
    QCOMPARE(stepLine(when, 3, 12), "Step\t" + seconds + "\t3\trepeat 12");
    QCOMPARE(sequenceEndLine(when, "Stopped."), "Sequence end\t" + seconds + "\tStopped.");
}

void TestRecordFiles::split_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QByteArray>>("lines");
    using L = QList<QByteArray>;
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << L{"a", "b"};
    QTest::newRow("CR") << QByteArray("a\rb\r") << L{"a", "b"};
    QTest::newRow("LF") << QByteArray("a\nb\n") << L{"a", "b"};
    QTest::newRow("empty line between") << QByteArray("a\r\n\r\nb") << L{"a", "", "b"};
    QTest::newRow("mixed") << QByteArray("a\n\rb\r\r\nc\n\nd") << L{"a", "", "b", "", "c", "", "d"};
    QTest::newRow("no final end") << QByteArray("a\r\nb") << L{"a", "b"};
    QTest::newRow("empty file") << QByteArray() << L{};
    QTest::newRow("line end only") << QByteArray("\r\n") << L{""};
    QTest::newRow("header only") << kHeader + "\r\n" << L{kHeader};
    QTest::newRow("high bytes, TAB, FF kept")
        << QByteArray("\xe9\xff\t\f\r\n") << L{QByteArray("\xe9\xff\t\f")};
}

void TestRecordFiles::split() {
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QByteArray>, lines);
    const QString path = m_dir.filePath("split.txt");
    spit(path, bytes);
    QCOMPARE(linesOf(readRecordLines(path)), lines);
}

void TestRecordFiles::insertAfterHeader_data() {
    QTest::addColumn<bool>("withData");
    QTest::addColumn<QList<QByteArray>>("inserted");
    QTest::addColumn<QList<QByteArray>>("expected");
    using L = QList<QByteArray>;
    const QByteArray d1 = "1\t2026-12-6 9:5\t12.340\t0.500\t5.000\t-0.001";
    const QByteArray d2 = "10\t2026-12-6 10:0\t0\t\t 1.2\t3A";
    QTest::newRow("header only") << false << L{"x", "", "y\tz"} << L{kHeader, "x", "", "y\tz"};
    QTest::newRow("ahead of data") << true << L{"x", "y"} << L{kHeader, "x", "y", d1, d2};
    QTest::newRow("malformed lines as they are")
        << true << L{"", "\t\t", "1\t2"} << L{kHeader, "", "\t\t", "1\t2", d1, d2};
    QTest::newRow("nothing") << true << L{} << L{kHeader, d1, d2};
}

void TestRecordFiles::insertAfterHeader() {
    QFETCH(bool, withData);
    QFETCH(QList<QByteArray>, inserted);
    QFETCH(QList<QByteArray>, expected);
    RecordTable t = withData ? twoSamples() : RecordTable::withHeader();
    t.insertAfterHeader(linesFrom(QList<QByteArray>{"file's own header"} + inserted), 1);
    QCOMPARE(linesOf(t), expected);
    QCOMPARE(t.bytes(), expected.join("\r\n") + "\r\n");
    // Still appendable after the rebuild.
    t.appendSample(3, QDateTime(QDate(2026, 1, 2), QTime(3, 4)), "v", "a", "v", "a");
    QCOMPARE(t.line(t.lineCount() - 1), "3\t2026-1-2 3:4\tv\ta\tv\ta");
    QVERIFY(t.bytes().endsWith("\tv\ta\tv\ta\r\n"));
}

void TestRecordFiles::exportPath_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("path");
    QTest::newRow("no extension") << QString("data") << QString("data.xls");
    QTest::newRow("other extension") << QString("data.txt") << QString("data.xls");
    QTest::newRow("already") << QString("data.xls") << QString("data.xls");
    QTest::newRow("upper case") << QString("data.XLS") << QString("data.xls");
    QTest::newRow("last suffix only") << QString("data.xls.txt") << QString("data.xls.xls");
    QTest::newRow("longer") << QString("data.xlsx") << QString("data.xls");
    QTest::newRow("dot in a folder")
        << QString("/tmp/run.1/data") << QString("/tmp/run.1/data.xls");
    QTest::newRow("trailing dot") << QString("data.") << QString("data.xls");
    QTest::newRow("csv: none") << QString("data") << QString("data.csv");
    QTest::newRow("csv: .xls replaced") << QString("data.xls") << QString("data.csv");
    QTest::newRow("csv: .CSV replaced") << QString("data.CSV") << QString("data.csv");
    QTest::newRow("csv: kept") << QString("data.csv") << QString("data.csv");
}

void TestRecordFiles::exportPath() {
    QFETCH(QString, chosen);
    QFETCH(QString, path);
    const QString suffix = QString(QTest::currentDataTag()).startsWith("csv") ? ".csv" : ".xls";
    QCOMPARE(lqs::exportPath(chosen, suffix), path);
}

// Only regular files, or links to them, are records: a folder, a pipe or a
// dangling link named like one is left out.
void TestRecordFiles::listsRegularFilesOnly() {
    QTemporaryDir dir;
    for (const char* name :
         {".hidden.txt", "a.TXT.txt", "b.Txt", "run.txt", "run.txt.txt", "y.doc"})
        spit(dir.filePath(name), "x");
    QVERIFY(QDir(dir.path()).mkdir("folder.txt"));
    test::FifoGuard pipe(dir.filePath("pipe.txt"));
    QVERIFY(pipe.made);
    QVERIFY(QFile::link(dir.filePath("run.txt"), dir.filePath("link.txt")));
    QVERIFY(QFile::link(dir.filePath("gone"), dir.filePath("dangling.txt")));
    const QStringList found = searchAllSaveFiles(dir.path());
    QCOMPARE(
        QSet<QString>(found.begin(), found.end()),
        (QSet<QString>{".hidden.txt", "a.TXT.txt", "b.Txt", "run.txt", "run.txt.txt", "link.txt"}));
    QVERIFY(searchAllSaveFiles(dir.filePath("missing")).isEmpty());
}

void TestRecordFiles::recordFolder_data() {
    QTest::addColumn<QString>("program");  // the program's folder; "own", "other's": a new one
    QTest::addColumn<bool>("beside");      // records kept there
    QTest::newRow("a build tree: a folder of the user's own") << "own" << true;
    QTest::newRow("installed: /usr/bin, even for root") << "/usr/bin" << false;
    QTest::newRow("someone else's folder") << "other's" << false;
    // Nothing can be created in /proc/self, not even by root.
    QTest::newRow("a folder nobody may write to") << "/proc/self" << false;
    QTest::newRow("a missing folder") << "missing" << false;
}

void TestRecordFiles::recordFolder() {
    QFETCH(QString, program);
    QFETCH(bool, beside);
    QTemporaryDir own, data;
    QString dir = program;
    if (program == "own" || program == "other's") dir = own.path();
    if (program == "missing") dir = own.filePath("missing");
    if (program == "other's") {
        if (geteuid() == 0)
            QCOMPARE(chown(QFile::encodeName(dir).constData(), 65534, 65534), 0);
        else
            dir = "/tmp";  // root's
    }
    const QString fallback = data.filePath("data/nested");
    QCOMPARE(recordDirectory(dir, fallback), beside ? dir : fallback);
    QCOMPARE(QFileInfo(fallback).isDir(), !beside);
    QVERIFY(!failureOf([] { recordDirectory("/proc/self", "/proc/self/records"); }).isEmpty());
}

void TestRecordFiles::failures_data() {
    QTest::addColumn<bool>("write");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("what");
    QTest::newRow("read a missing file")
        << false << m_dir.filePath("gone") << QString("Cannot open file");
    QTest::newRow("write into a missing folder")
        << true << m_dir.filePath("gone/x.txt") << QString("Cannot create file");
    QTest::newRow("write over a folder") << true << m_dir.path() << QString("Cannot create file");
}

void TestRecordFiles::failures() {
    QFETCH(bool, write);
    QFETCH(QString, path);
    QFETCH(QString, what);
    const QString message = failureOf([&] {
        if (write)
            writeRecordFile(path, RecordTable::withHeader());
        else
            readRecordLines(path);
    });
    const QString start = what + " \"" + path + "\". ";
    QVERIFY2(message.startsWith(start) && message.size() > start.size(), qPrintable(message));
}

// Loading and deleting open only regular files, and never wait on a pipe.
void TestRecordFiles::refusesWhatIsNotAFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("named pipe") << QString("pipe") << QString("It is a named pipe, not a file");
    QTest::newRow("link to a named pipe")
        << QString("link") << QString("It is a link to a named pipe, not a file");
    QTest::newRow("device") << QString("device") << QString("It is a device, not a file");
    QTest::newRow("folder") << QString("folder") << QString("It is a folder, not a file");
    QTest::newRow("dangling link")
        << QString("dangling") << QString("It is a link to \"%1/gone\", which does not exist");
}

void TestRecordFiles::refusesWhatIsNotAFile() {
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QString path = dir.filePath("x.txt");
    std::optional<test::FifoGuard> pipe;
    if (kind == "pipe" || kind == "link") {
        pipe.emplace(dir.filePath(kind == "link" ? "pipe" : "x.txt"));
        QVERIFY(pipe->made);
    }
    if (kind == "link") QVERIFY(QFile::link(dir.filePath("pipe"), path));
    if (kind == "dangling") QVERIFY(QFile::link(dir.filePath("gone"), path));
    if (kind == "device") path = "/dev/null";
    if (kind == "folder") path = dir.path();
    const QString expected = "Cannot open file \"" + path + "\". " + reason.arg(dir.path());
    QCOMPARE(failureOf([&] { readRecordLines(path); }), expected);
    QCOMPARE(failureOf([&] { checkReadable(path); }), expected);
    QVERIFY(!pipe || !pipe->blocked);
}

void TestRecordFiles::refusesWhatIsNotARecord_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("size");  // grown sparse to this, when not 0
    QTest::addColumn<QString>("reason");
    QTest::newRow("NUL bytes") << QByteArray("h\r\n1\t\0\0\r\n", 9) << qint64(0)
                               << "It holds NUL bytes";
    QTest::newRow("binary") << QByteArray(
                                   "\x7f"
                                   "ELF\x02\x01\x01")
                            << qint64(0) << "It holds binary data";
    QTest::newRow("more lines than the longest record")
        << QByteArray(kMaxRecordFileLines + 1, '\n') << qint64(0) << "more than 691197 lines";
    QTest::newRow("larger than 64 MB")
        << QByteArray() << qint64(65) * 1024 * 1024 << "larger than 64 MB";
}

void TestRecordFiles::refusesWhatIsNotARecord() {
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, size);
    QFETCH(QString, reason);
    const QString path = m_dir.filePath("not a record.txt");
    spit(path, bytes);
    if (size) QVERIFY(QFile::resize(path, size));
    const QString message = failureOf([&] { readRecordLines(path); });
    QVERIFY2(message.startsWith("Cannot load file \"" + path + "\". ") && message.contains(reason),
             qPrintable(message));
    // The longest record itself still loads.
    if (QTest::currentDataTag() == QByteArray("more lines than the longest record")) {
        spit(path, QByteArray(kMaxRecordFileLines, '\n'));
        QCOMPARE(readRecordLines(path).count(), kMaxRecordFileLines);
    }
    QFile::remove(path);
}

void TestRecordFiles::recordLines_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("record");
    const QByteArray r = "\t2026-12-6 9:5\t12.000\t1.200\t5.000\t0.250";
    QTest::newRow("as a recording writes it") << "0" + r << true;
    QTest::newRow("last of the longest record")
        << QByteArray("691195\t2026-12-31 23:59\t12.\t.5\t-0.001\t0") << true;
    QTest::newRow("blanks around a reading")
        << QByteArray("7\t2028-2-29 0:0\t 1.2 \t1e1\t1\t1") << true;
    QTest::newRow("no day 29 in February 2026")
        << QByteArray("7\t2026-2-29 0:0\t1\t1\t1\t1") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("2 fields") << QByteArray("1\t2") << false;
    QTest::newRow("8 fields") << "0" + r + "\t1\t2" << false;
    QTest::newRow("TAB at the end") << "0" + r + "\t" << false;
    QTest::newRow("passwd") << QByteArray("root:x:0:0:root:/root:/bin/bash") << false;
    QTest::newRow("the header") << kHeader << false;
    QTest::newRow("sample number with a leading zero") << "01" + r << false;
    QTest::newRow("negative sample number") << "-1" + r << false;
    QTest::newRow("sample number past int") << "2147483648" + r << false;
    QTest::newRow("month with a leading zero")
        << QByteArray("1\t2026-09-6 9:5\t1\t1\t1\t1") << false;
    QTest::newRow("month 13") << QByteArray("1\t2026-13-6 9:5\t1\t1\t1\t1") << false;
    QTest::newRow("seconds") << QByteArray("1\t2026-12-6 9:5:7\t1\t1\t1\t1") << false;
    QTest::newRow("empty reading") << QByteArray("1\t2026-12-6 9:5\t1\t\t1\t1") << false;
    QTest::newRow("reading with a unit") << QByteArray("1\t2026-12-6 9:5\t1\t1\t12V\t1") << false;
    QTest::newRow("nan") << QByteArray("1\t2026-12-6 9:5\t1\t1\t1\tnan") << false;
}

void TestRecordFiles::recordLines() {
    QFETCH(QByteArray, line);
    QFETCH(bool, record);
    QCOMPARE(isRecordLine(line), record);
}

// Which kind of line each is: a record line with the charge and energy
// columns, a trip, a sequence's step or end, or none of them.
void TestRecordFiles::counterAndTripLines_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("kind");  // "counters", "trip", "step", "end", "record" or ""
    const QByteArray r = "0\t2026-12-6 9:5\t12.000\t1.200\t5.000\t0.250";
    const QDateTime at(QDate(2026, 12, 6), QTime(9, 5, 33));
    QTest::newRow("counters") << r + "\t0.0123\t0.1480\t0.0000\t0.0000"
                              << "counters";
    QTest::newRow("counters left empty") << r + "\t\t\t\t"
                                         << "counters";
    QTest::newRow("readings only") << r << "record";
    QTest::newRow("counter not a number") << r + "\t1\t2\t3\tAh"
                                          << "";
    QTest::newRow("empty reading before counters")
        << QByteArray("0\t2026-12-6 9:5\t12\t\t5\t0.2\t1\t2\t3\t4") << "";
    QTest::newRow("trip as written")
        << tripLine(at, 1, "over-current", "2.153 A", "2.000 A") << "trip";
    QTest::newRow("trip without a level")
        << tripLine(at, 2, "constant current", QString(), QString()) << "trip";
    QTest::newRow("trip without seconds")
        << QByteArray("Trip\t2026-12-6 9:5\tCH1\tover-current\t2.153 A\t2.000 A") << "";
    QTest::newRow("trip on channel 3")
        << QByteArray("Trip\t2026-12-6 9:5:33\tCH3\tover-current\t2.153 A\t2.000 A") << "";
    QTest::newRow("trip naming no limit")
        << QByteArray("Trip\t2026-12-6 9:5:33\tCH1\t\t2.153 A\t2.000 A") << "";
    QTest::newRow("tab in the limit's name kept in its field")
        << tripLine(at, 1, "over\tcurrent", "1 A", "1 A") << "trip";
    QTest::newRow("step as written") << stepLine(at, 2, 1) << "step";
    QTest::newRow("step 0") << QByteArray("Step\t2026-12-6 9:5:33\t0\trepeat 1") << "";
    QTest::newRow("step without seconds") << QByteArray("Step\t2026-12-6 9:5\t2\trepeat 1") << "";
    QTest::newRow("step, repeat with a leading zero")
        << QByteArray("Step\t2026-12-6 9:5:33\t2\trepeat 01") << "";
    QTest::newRow("step with a field more") << stepLine(at, 2, 1) + "\t"
                                            << "";
    QTest::newRow("sequence end as written") << sequenceEndLine(at, "Stopped.") << "end";
    QTest::newRow("tab in why the sequence ended kept in its field")
        << sequenceEndLine(at, "line\tlost") << "end";
    QTest::newRow("sequence end without its time") << QByteArray("Sequence end\t\tStopped.") << "";
}

void TestRecordFiles::counterAndTripLines() {
    QFETCH(QByteArray, line);
    QFETCH(QString, kind);
    QCOMPARE(isCounterRecordLine(line), kind == "counters");
    QCOMPARE(isTripLine(line), kind == "trip");
    QCOMPARE(isStepLine(line), kind == "step");
    QCOMPARE(isSequenceEndLine(line), kind == "end");
    QCOMPARE(isMarkLine(line), kind == "trip" || kind == "step" || kind == "end");
    QCOMPARE(isRecordLine(line), kind == "record");
}

namespace {
const QByteArray kR1 = "5\t2026-12-6 8:0\t1.000\t0.100\t2.000\t0.200";
const QByteArray kR2 = "6\t2026-12-6 8:1\t1.001\t0.101\t2.001\t0.201";
}  // namespace

void TestRecordFiles::merge_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<QByteArray>>("merged");
    QTest::addColumn<qsizetype>("skipped");
    QTest::addColumn<QString>("refused");  // the reason; empty: merged
    using L = QList<QByteArray>;
    const QString notARecord = "Its first line is not the record header, so it is not a record";
    QTest::newRow("record lines") << kHeader + "\r\n" + kR1 + "\r\n" + kR2 + "\r\n"
                                  << L{kR1, kR2} << qsizetype(0) << "";
    QTest::newRow("header only") << kHeader + "\n" << L{} << qsizetype(0) << "";
    QTest::newRow("other lines skipped and counted")
        << kHeader + "\r\n1\t2\r\n" + kR1 + "\n\nroot:x:0:0:root:/root:/bin/bash\r\n" + kR1 +
               "\t7\t8\r\n" + kR2
        << L{kR1, kR2} << qsizetype(4) << "";
    QTest::newRow("no header: passwd")
        << QByteArray("root:x:0:0:root:/root:/bin/bash\nbin:x:2:2:bin:/bin:/usr/sbin/nologin\n")
        << L{} << qsizetype(0) << notARecord;
    QTest::newRow("no header: record lines only")
        << kR1 + "\r\n" + kR2 << L{} << qsizetype(0) << notARecord;
    QTest::newRow("no header: exported as CSV")
        << QByteArray("No.,Time,Ch1 V,Ch1 A,Ch2 V,Ch2 A\r\n") << L{} << qsizetype(0) << notARecord;
    QTest::newRow("empty file") << QByteArray() << L{} << qsizetype(0) << notARecord;
}

void TestRecordFiles::merge() {
    QFETCH(QByteArray, file);
    QFETCH(QList<QByteArray>, merged);
    QFETCH(qsizetype, skipped);
    QFETCH(QString, refused);
    const QString path = m_dir.filePath("merged.txt");
    spit(path, file);
    RecordTable t = twoSamples();
    const QList<QByteArray> before = linesOf(t);
    MergeCount count;
    const QString message =
        failureOf([&] { count = mergeRecordFile(t, readRecordLines(path), path); });
    if (!refused.isEmpty()) {
        QCOMPARE(message, "Cannot load file \"" + path + "\". " + refused);
        QCOMPARE(linesOf(t), before);
        return;
    }
    QCOMPARE(message, QString());
    QCOMPARE(count.merged, merged.size());
    QCOMPARE(count.skipped, skipped);
    QCOMPARE(linesOf(t), QList<QByteArray>{kHeader} + merged + before.mid(1));
}

// Trips merge as they are; record lines take the table's columns, so that
// every line of the merged record has the columns of its header.
void TestRecordFiles::mergeFitsTheColumns_data() {
    QTest::addColumn<bool>("tableCounters");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<QByteArray>>("merged");
    QTest::addColumn<qsizetype>("skipped");
    QTest::addColumn<bool>("dropped");
    using L = QList<QByteArray>;
    const QByteArray plain = RecordTable::header(false) + "\r\n";
    const QByteArray withCounters = RecordTable::header(true) + "\r\n";
    const QByteArray c = "\t0.0100\t0.1200\t0.0000\t0.0000";
    const QByteArray trip = "Trip\t2026-12-6 8:0:41\tCH1\tover-current\t2.153 A\t2.000 A";
    QTest::newRow("trip into a plain record") << false << plain + kR1 + "\r\n" + trip + "\r\n" + kR2
                                              << L{kR1, trip, kR2} << qsizetype(0) << false;
    QTest::newRow("trip into a record with counters")
        << true << plain + kR1 + "\r\n" + trip + "\r\n" + kR2
        << L{kR1 + "\t\t\t\t", trip, kR2 + "\t\t\t\t"} << qsizetype(0) << false;
    QTest::newRow("counters into a plain record: left out")
        << false << withCounters + kR1 + c + "\r\n" + trip + "\r\n" + kR2 + c << L{kR1, trip, kR2}
        << qsizetype(0) << true;
    QTest::newRow("counters into counters")
        << true << withCounters + kR1 + c + "\r\n" + kR2 + "\t\t\t\t"
        << L{kR1 + c, kR2 + "\t\t\t\t"} << qsizetype(0) << false;
    // Lines of the other kind than the file's header are no lines of it.
    QTest::newRow("plain lines in a file with counters")
        << true << withCounters + kR1 + "\r\n" + kR2 + c << L{kR2 + c} << qsizetype(1) << false;
    QTest::newRow("counter lines in a plain file")
        << false << plain + kR1 + c + "\r\n" + kR2 << L{kR2} << qsizetype(1) << false;
    QTest::newRow("only a trip, counters in the file")
        << false << withCounters + trip << L{trip} << qsizetype(0) << false;
    const QByteArray step = "Step\t2026-12-6 8:0:42\t2\trepeat 1";
    const QByteArray end = "Sequence end\t2026-12-6 8:0:59\tStopped.";
    QTest::newRow("a sequence into a record with counters")
        << true << plain + kR1 + "\r\n" + step + "\r\n" + end + "\r\n" + kR2
        << L{kR1 + "\t\t\t\t", step, end, kR2 + "\t\t\t\t"} << qsizetype(0) << false;
    QTest::newRow("only a sequence, counters in the file")
        << false << withCounters + step + "\r\n" + end << L{step, end} << qsizetype(0) << false;
}

void TestRecordFiles::mergeFitsTheColumns() {
    QFETCH(bool, tableCounters);
    QFETCH(QByteArray, file);
    QFETCH(QList<QByteArray>, merged);
    QFETCH(qsizetype, skipped);
    QFETCH(bool, dropped);
    const QString path = m_dir.filePath("merged.txt");
    spit(path, file);
    RecordTable t = RecordTable::withHeader(tableCounters);
    const std::array<double, 4> counters{1.5, 18, 0, 0.25};
    t.appendSample(0, QDateTime(QDate(2026, 12, 6), QTime(9, 5)), "12.000", "1.200", "5.000",
                   "0.250", tableCounters ? &counters : nullptr);
    const QByteArray own = t.line(1);
    QCOMPARE(own.endsWith("\t1.5000\t18.0000\t0.0000\t0.2500"), tableCounters);
    const MergeCount count = mergeRecordFile(t, readRecordLines(path), path);
    QCOMPARE(linesOf(t), QList<QByteArray>{RecordTable::header(tableCounters)} + merged +
                             QList<QByteArray>{own});
    QCOMPARE(count.merged, merged.size());
    QCOMPARE(count.trips, qsizetype(std::count_if(merged.begin(), merged.end(),
                                                  [](auto& l) { return l.startsWith("Trip"); })));
    QCOMPARE(count.steps, qsizetype(std::count_if(merged.begin(), merged.end(),
                                                  [](auto& l) { return l.startsWith("Step"); })));
    QCOMPARE(count.skipped, skipped);
    QCOMPARE(count.countersDropped, dropped);
    // Saved, it merges again whole: every line is one of its header's.
    writeRecordFile(path, t);
    RecordTable again = RecordTable::withHeader(tableCounters);
    QCOMPARE(mergeRecordFile(again, readRecordLines(path), path).skipped, qsizetype(0));
    QCOMPARE(again.bytes(), t.bytes());
}

void TestRecordFiles::mergeStaysLoadable_data() {
    QTest::addColumn<bool>("bytes");  // the size is at stake, else the line count
    QTest::addColumn<int>("lines");   // record lines in the file
    QTest::addColumn<QString>("refused");
    QTest::newRow("the longest record") << false << 1 << "";
    QTest::newRow("a line more than the longest record")
        << false << 2
        << "The record would then have 691198 lines, more than the 691197 a record file holds";
    QTest::newRow("64 MB") << true << 1 << "";
    QTest::newRow("more than 64 MB")
        << true << 2 << "The record would then be larger than 64 MB, more than a record file holds";
}

// A merge that Load would refuse once saved is refused.
void TestRecordFiles::mergeStaysLoadable() {
    QFETCH(bool, bytes);
    QFETCH(int, lines);
    QFETCH(QString, refused);
    // Built once for the two rows at each limit; each row merges into a copy.
    if (!m_nearlyFull || m_nearlyFullBytes != bytes) {
        m_nearlyFullBytes = bytes;
        RecordTable& b = m_nearlyFull.emplace(RecordTable::withHeader());
        const QDateTime when(QDate(2026, 12, 6), QTime(9, 5));
        if (bytes) {
            // One sample whose first reading fills the table to a line short of the limit.
            b.appendSample(0, when, "", "1", "1", "1");
            const qsizetype fill = kMaxRecordFileBytes - (kR1.size() + 2) - b.bytes().size();
            b = RecordTable::withHeader();
            b.appendSample(0, when, QString(fill, QLatin1Char('1')), "1", "1", "1");
        } else {
            for (int i = 0; i < kLongestRecordDataLines - 1; ++i)
                b.appendSample(i, when, "1", "1", "1", "1");
        }
    }
    RecordTable t = *m_nearlyFull;
    if (bytes) QCOMPARE(t.bytes().size() + kR1.size() + 2, kMaxRecordFileBytes);
    const int linesBefore = t.lineCount();
    const qsizetype bytesBefore = t.bytes().size();
    const QString path = m_dir.filePath("merged.txt");
    spit(path, kHeader + "\r\n" + (lines == 2 ? kR1 + "\r\n" + kR2 : kR1));
    const QString message = failureOf([&] { mergeRecordFile(t, readRecordLines(path), path); });
    if (!refused.isEmpty()) {
        QCOMPARE(message, "Cannot merge file \"" + path + "\". " + refused);
        QCOMPARE(t.lineCount(), linesBefore);
        QCOMPARE(t.bytes().size(), bytesBefore);
    } else {
        QCOMPARE(message, QString());
        writeRecordFile(path, t);
        QCOMPARE(readRecordLines(path).count(), t.lineCount());
    }
    QFile::remove(path);
}

void TestRecordFiles::csvReadsBack() {
    RecordTable t = twoSamples();
    const auto readsBack = [](const RecordTable& table) {
        bool ok = false;
        const QList<QList<QByteArray>> records = test::parseCsv(csvBytes(table), &ok);
        QVERIFY(ok);
        QCOMPARE(records.size(), table.lineCount());
        for (int i = 0; i < table.lineCount(); ++i) QCOMPARE(records[i], table.line(i).split('\t'));
        QCOMPARE(records[0],
                 (QList<QByteArray>{"No.", "Time", "Ch1 V", "Ch1 A", "Ch2 V", "Ch2 A"}));
        QCOMPARE(records.last(),
                 (QList<QByteArray>{"10", "2026-12-6 10:0", "0", "", " 1.2", "3A"}));
    };
    readsBack(t);  // nothing to quote
    if (QTest::currentTestFailed()) return;
    const QList<QByteArray> odd{"2,5\t\"quoted\"\t", "a\tb,\"c\"\td", ""};
    t.insertAfterHeader(linesFrom(QList<QByteArray>{"h"} + odd), 1);
    readsBack(t);
}

void TestRecordFiles::failedWriteKeepsOldFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("record.txt");
    writeRecordFile(path, twoSamples());
    const QByteArray good = slurp(path);

    RecordTable large = RecordTable::withHeader();
    for (int i = 1; i <= 20000; ++i)
        large.appendSample(i, QDateTime::currentDateTime(), "12.345", "1.234", "12.345", "1.234");
    QVERIFY(large.bytes().size() > 512 * 1024);

    // A file size limit makes the write fail part way, as a full disk would;
    // it binds root too.
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 256 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString message = failureOf([&] { writeRecordFile(path, large); });
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(message, "Cannot write file \"" + path + "\". File too large");
    QCOMPARE(slurp(path), good);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"record.txt"});
}

void TestRecordFiles::journalWritesEachLineAndSyncsOnlyWhenWritten() {
    QTemporaryDir dir;
    const QString path = journalPath(dir.path());
    QVERIFY(QFileInfo(path).isHidden());
    RecordJournal journal;
    QVERIFY(!journal.syncIfWritten());  // not open
    journal.open(path, "head");
    journal.append("one");
    QCOMPARE(slurp(path), QByteArray("head\r\none\r\n"));  // on disk before any sync
    QVERIFY(journal.syncIfWritten());
    QVERIFY(!journal.syncIfWritten());  // nothing new: no sync
    journal.append("two");
    QVERIFY(journal.syncIfWritten());
    QCOMPARE(journal.writes(), 3);
    QCOMPARE(journal.syncs(), 2);
    journal.close();
    QCOMPARE(slurp(path), QByteArray("head\r\none\r\ntwo\r\n"));
    journal.open(path, "head");  // a new recording starts it afresh
    QCOMPARE(slurp(path), QByteArray("head\r\n"));
    journal.remove();
    QVERIFY(!QFileInfo::exists(path));

    // Never written through a link planted at the name.
    const QString target = dir.filePath("target");
    spit(target, "kept");
    QVERIFY(QFile::link(target, path));
    QCOMPARE(failureOf([&] { journal.open(path, "head"); }),
             "Cannot create file \"" + path + "\". It is a symbolic link, not a file");
    QVERIFY(!journal.isOpen());
    QCOMPARE(slurp(target), QByteArray("kept"));
    // Nor into a pipe, which would hold the recording up until something reads it.
    QVERIFY(QFile::remove(path));
    test::FifoGuard pipe(path);
    QVERIFY(pipe.made);
    QCOMPARE(failureOf([&] { journal.open(path, "head"); }),
             "Cannot create file \"" + path + "\". It is a named pipe, not a file");
    QVERIFY(!pipe.blocked);
    QVERIFY(QFileInfo(path).exists());  // left as it was
}

// The lock goes with the descriptor, not with close(): lines kept unsaved
// after Stop are still this program's.
void TestRecordFiles::journalIsHeldWhileKept() {
    QTemporaryDir dir;
    const QString path = journalPath(dir.path());
    RecordJournal journal;
    journal.open(path, "head");
    journal.append("one");
    journal.close();
    QVERIFY(!JournalClaim(path).offerable());
    QVERIFY(leftJournals(dir.path()).isEmpty());
    RecordJournal other;
    QCOMPARE(failureOf([&] { other.open(path, "other"); }),
             "Cannot create file \"" + path + "\". It is in use by another running program");
    other.remove();  // never opened: removes nothing
    QCOMPARE(slurp(path), QByteArray("head\r\none\r\n"));
    journal.release();
    QCOMPARE(leftJournals(dir.path()), QStringList{path});

    // Lines at this program's name were left by a dead one with its id: kept.
    journal.open(path, "head");
    QCOMPARE(slurp(path), QByteArray("head\r\n"));
    const QStringList left = leftJournals(dir.path());
    QCOMPARE(left.size(), 1);
    QVERIFY(left[0] != path);
    QCOMPARE(slurp(left[0]), QByteArray("head\r\none\r\n"));
}

void TestRecordFiles::journalLeftBehind_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("lines");  // -1: refused; -2: see below
    const QByteArray head = RecordTable::header() + "\r\n";
    const QByteArray l0 = "0\t2026-12-6 9:5\t1.000\t0.100\t2.000\t0.200\r\n";
    const QByteArray l1 = "1\t2026-12-6 9:5\t1.000\t0.100\t2.000\t0.200\r\n";
    QTest::newRow("whole lines") << head + l0 + l1 << 2;
    QTest::newRow("last line cut mid-write") << head + l0 + l1.left(12) << 1;
    QTest::newRow("cut between CR and LF") << head + l0 + l1.chopped(1) << 1;
    QTest::newRow("header only") << head << 0;
    QTest::newRow("not a journal") << "something else\r\n" + l0 << -1;
    const QByteArray trip = "Trip\t2026-12-6 9:5:41\tCH2\tover-power\t61.200 W\t60.000 W\r\n";
    QTest::newRow("a trip kept") << head + l0 + trip + l1 << 3;
    const QByteArray c = "\t0.0100\t0.1200\t0.0000\t0.0000\r\n";
    const QByteArray counters = RecordTable::header(true) + "\r\n";
    QTest::newRow("with counters") << counters + l0.chopped(2) + c + trip << 2;
    QTest::newRow("plain lines under the counters' header are not its lines")
        << counters + l0 + l1.chopped(2) + c << -2;
    QTest::newRow("a trip first") << head + trip + l0 << 2;
    const QByteArray step = "Step\t2026-12-6 9:5:41\t1\trepeat 2\r\n";
    const QByteArray end = "Sequence end\t2026-12-6 9:5:50\tThe sequence ran to its end.\r\n";
    QTest::newRow("a sequence kept") << head + l0 + step + end + l1 << 4;
    QTest::newRow("a step first") << head + step + l0 << 2;
}

void TestRecordFiles::journalLeftBehind() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, lines);
    QTemporaryDir dir;
    const QString path = journalPath(dir.path());
    spit(path, bytes);
    std::optional<LeftJournal> left;
    const QString message = failureOf([&] { left = readJournal(path); });
    if (lines == -1) {
        QCOMPARE(message, "Cannot load file \"" + path + "\". It is not a recording's journal");
        return;
    }
    QVERIFY2(message.isEmpty(), qPrintable(message));
    if (lines == -2) {  // the one line of the journal's own kind, after the other
        QCOMPARE(left->table.lineCount(), 2);
        QVERIFY(left->table.line(1).startsWith("1\t"));
        return;
    }
    QCOMPARE(left->table.lineCount(), lines + 1);
    QCOMPARE(left->table.bytes(), bytes.left(left->table.bytes().size()));
    QCOMPARE(left->started.isValid(), lines > 0);
    const bool markFirst = QByteArray(QTest::currentDataTag()).endsWith("first");
    if (lines > 0)
        QCOMPARE(left->started, QDateTime(QDate(2026, 12, 6), QTime(9, 5, markFirst ? 41 : 0)));
}

QTEST_GUILESS_MAIN(TestRecordFiles)
#include "tst_record_files.moc"
