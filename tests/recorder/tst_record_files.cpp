#include "record_files.h"
#include "record_table.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <unistd.h>
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
    void directoryFallback();
    void failures_data();
    void failures();
    void refusesWhatIsNotAFile_data();
    void refusesWhatIsNotAFile();
    void refusesWhatIsNotARecord_data();
    void refusesWhatIsNotARecord();
    void csvReadsBack();
    void failedWriteKeepsOldFile();

private:
    QTemporaryDir m_dir;
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

void TestRecordFiles::directoryFallback() {
    QTemporaryDir program;
    const QString fallback = m_dir.filePath("data/nested");
    QCOMPARE(recordDirectory(program.path(), fallback), program.path());
    QVERIFY(QDir(program.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    QVERIFY(!QFileInfo::exists(fallback));

    // Nothing can be created in /proc/self, not even by root.
    QCOMPARE(recordDirectory("/proc/self", fallback), fallback);
    QVERIFY(QFileInfo(fallback).isDir());
    QCOMPARE(recordDirectory(m_dir.filePath("missing"), fallback), fallback);

    QVERIFY(!failureOf([] { recordDirectory("/proc/self", "/proc/self/records"); }).isEmpty());

    if (geteuid() == 0) QSKIP("root writes into a 0555 folder");
    QVERIFY(QFile::setPermissions(program.path(), QFile::ReadOwner | QFile::ExeOwner));
    const QString chosen = recordDirectory(program.path(), fallback);
    QFile::setPermissions(program.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(chosen, fallback);
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

QTEST_GUILESS_MAIN(TestRecordFiles)
#include "tst_record_files.moc"
