#include "recorder/reading_log.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QtTest>

#include <ctime>

using namespace lqs;

namespace {

// Channel 1 (series 0, 1) read every periodMs over [0, endMs]: V and I
// change from their first to their second value at stepMs. Channel 2 reads
// its own constant 5 V, 0.25 A at the same times, which must not mix in.
void fillLoad(ReadingLog& log, qint64 periodMs, qint64 endMs, qint64 stepMs, double v1, double v2,
              double i1, double i2) {
    log.start(QDateTime(QDate(2026, 12, 9), QTime(12, 0)));
    for (qint64 t = 0; t <= endMs; t += periodMs) {
        log.add(t, 0, t < stepMs ? v1 : v2, 3);
        log.add(t, 1, t < stepMs ? i1 : i2, 3);
        log.add(t, 2, 5.0, 3);
        log.add(t, 3, 0.25, 3);
    }
}

// Every reading looked at, none summarised.
std::vector<ReadingColumn> bruteColumns(const ReadingLog& log, int series, qint64 t0, qint64 t1,
                                        int n) {
    std::vector<ReadingColumn> cols(static_cast<size_t>(n));
    for (qsizetype i = 0; i < log.size(); ++i) {
        const qint64 m = log.msAt(i);
        if (log.seriesAt(i) != series || m < t0 || m >= t1) continue;
        ReadingColumn& c = cols[size_t((m - t0) * n / (t1 - t0))];
        const double v = log.valueAt(i);
        c.min = c.any ? std::min(c.min, v) : v;
        c.max = c.any ? std::max(c.max, v) : v;
        c.any = true;
    }
    return cols;
}

// Random readings: gaps of 0 to maxGap ms (so several share a ms), random
// series, values with 2 or 3 decimals.
void fillRandom(ReadingLog& log, QRandomGenerator& rng, int count, int maxGap) {
    log.start(QDateTime(QDate(2026, 6, 1), QTime(8, 0)));
    qint64 t = 1000;
    for (int i = 0; i < count; ++i) {
        t += rng.bounded(maxGap + 1);
        const int decimals = 2 + rng.bounded(2);
        const double value = rng.bounded(-3000, 30000) / std::pow(10.0, decimals);
        log.add(t, rng.bounded(4), value, decimals);
    }
}

void setZone(const QByteArray& tz) {
    qputenv("TZ", tz);
    tzset();
}

}  // namespace

class tst_ReadingLog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { setZone("Europe/Berlin"); }
    void stats_data();
    void stats();
    void statsLeaveOtherChannelOut();
    void oneSpikeSurvivesEveryZoom_data();
    void oneSpikeSurvivesEveryZoom();
    void columnsAgreeWithBruteForce_data();
    void columnsAgreeWithBruteForce();
    void dropsOldestAtCapacity_data();
    void dropsOldestAtCapacity();
    void isoTimes_data();
    void isoTimes();
    void csvRows();
    void csvBetweenTimesKnowsEarlierValues();
    void csvJournalEqualsExportAndReadsBack();
    void csvWriteFailureGivesReason();
};

void tst_ReadingLog::stats_data() {
    QTest::addColumn<qint64>("periodMs");
    QTest::addColumn<qint64>("stepMs");
    QTest::addColumn<qint64>("endMs");
    QTest::addColumn<qint64>("t0");
    QTest::addColumn<qint64>("t1");
    QTest::addColumn<qsizetype>("count");
    QTest::addColumn<double>("vMean");
    QTest::addColumn<double>("vMin");
    QTest::addColumn<double>("vMax");
    QTest::addColumn<double>("vChange");
    QTest::addColumn<double>("iMean");
    QTest::addColumn<double>("iMin");
    QTest::addColumn<double>("iMax");
    QTest::addColumn<double>("iChange");
    QTest::addColumn<double>("ah");
    QTest::addColumn<double>("wh");
    const qint64 hour = 3600000, never = 100 * hour;
    // Load 12 V 1 A, stepping to 11.5 V 2 A where a step is made.
    QTest::newRow("constant load, an hour")
        << qint64(100) << never << hour << qint64(0) << hour << qsizetype(36001) << 12.0 << 12.0
        << 12.0 << 0.0 << 1.0 << 1.0 << 1.0 << 0.0 << 1.0 << 12.0;
    QTest::newRow("cursors in either order")
        << qint64(100) << never << hour << hour << qint64(0) << qsizetype(36001) << 12.0 << 12.0
        << 12.0 << 0.0 << 1.0 << 1.0 << 1.0 << 0.0 << 1.0 << 12.0;
    QTest::newRow("stepped load") << qint64(100) << hour / 2 << hour << qint64(0) << hour
                                  << qsizetype(36001) << 11.75 << 11.5 << 12.0 << -0.5 << 1.5 << 1.0
                                  << 2.0 << 1.0 << 1.5 << 17.5;
    QTest::newRow("within part of one reading interval")
        << qint64(1000) << never << hour << qint64(250) << qint64(750) << qsizetype(0) << 12.0
        << 0.0 << 0.0 << 0.0 << 1.0 << 0.0 << 0.0 << 0.0 << 500.0 / hour << 6000.0 / hour;
    // The held 1 A before the step counts from t0 to the step at 10 s.
    QTest::newRow("partial intervals either side of a step")
        << qint64(1000) << qint64(10000) << hour << qint64(9500) << qint64(10500) << qsizetype(1)
        << 11.75 << 11.5 << 11.5 << 0.0 << 1.5 << 2.0 << 2.0 << 0.0 << 1500.0 / hour
        << (12.0 * 500 + 23.0 * 500) / hour;
    QTest::newRow("after the last reading, values held")
        << qint64(1000) << never << qint64(10000) << qint64(10000) << qint64(20000) << qsizetype(1)
        << 12.0 << 12.0 << 12.0 << 0.0 << 1.0 << 1.0 << 1.0 << 0.0 << 10000.0 / hour
        << 120000.0 / hour;
}

void tst_ReadingLog::stats() {
    QFETCH(qint64, periodMs);
    QFETCH(qint64, stepMs);
    QFETCH(qint64, endMs);
    QFETCH(qint64, t0);
    QFETCH(qint64, t1);
    QFETCH(qsizetype, count);
    ReadingLog log;
    fillLoad(log, periodMs, endMs, stepMs, 12.0, 11.5, 1.0, 2.0);
    const ChannelStats s = log.stats(1, t0, t1);
    QCOMPARE(s.durationMs, std::abs(t1 - t0));
    QCOMPARE(s.volts.count, count);
    QCOMPARE(s.amps.count, count);
    QVERIFY(s.volts.held && s.amps.held);
    auto check = [](const char* name, double got, double want) {
        if (std::abs(got - want) > 1e-9 * std::max(1.0, std::abs(want)))
            QFAIL(qPrintable(QStringLiteral("%1: %2, expected %3")
                                 .arg(QLatin1String(name))
                                 .arg(got, 0, 'g', 12)
                                 .arg(want, 0, 'g', 12)));
    };
    QFETCH(double, vMean);
    check("V mean", s.volts.mean, vMean);
    QFETCH(double, iMean);
    check("I mean", s.amps.mean, iMean);
    if (count > 0) {
        QFETCH(double, vMin);
        QFETCH(double, vMax);
        QFETCH(double, vChange);
        QFETCH(double, iMin);
        QFETCH(double, iMax);
        QFETCH(double, iChange);
        QCOMPARE(s.volts.min, vMin);
        QCOMPARE(s.volts.max, vMax);
        QCOMPARE(s.volts.change, vChange);
        QCOMPARE(s.amps.min, iMin);
        QCOMPARE(s.amps.max, iMax);
        QCOMPARE(s.amps.change, iChange);
    }
    QFETCH(double, ah);
    QFETCH(double, wh);
    check("Ah", s.ampHours, ah);
    check("Wh", s.wattHours, wh);
}

void tst_ReadingLog::statsLeaveOtherChannelOut() {
    ReadingLog log;
    fillLoad(log, 100, 3600000, 1800000, 12.0, 11.5, 1.0, 2.0);
    const ChannelStats s = log.stats(2, 0, 3600000);
    QCOMPARE(s.volts.min, 5.0);
    QCOMPARE(s.volts.max, 5.0);
    QCOMPARE(s.amps.max, 0.25);
    QCOMPARE(s.ampHours, 0.25);
    QCOMPARE(s.wattHours, 1.25);
}

void tst_ReadingLog::oneSpikeSurvivesEveryZoom_data() {
    QTest::addColumn<qint64>("span");
    QTest::addColumn<int>("columns");
    QTest::newRow("two hours") << qint64(7200000) << 1200;
    QTest::newRow("an hour") << qint64(3600000) << 1000;
    QTest::newRow("a minute") << qint64(60000) << 1200;
    QTest::newRow("a second") << qint64(1000) << 1200;
    QTest::newRow("few columns") << qint64(7200000) << 3;
}

void tst_ReadingLog::oneSpikeSurvivesEveryZoom() {
    QFETCH(qint64, span);
    QFETCH(int, columns);
    // Two hours of fast readings, 29 ms apart, current 1.000 A but for one 9.999 A.
    ReadingLog log;
    log.start(QDateTime(QDate(2026, 12, 9), QTime(0, 0)));
    const qint64 spikeAt = 29 * 123457;
    for (qint64 t = 0; t < 7200000; t += 29) {
        log.add(t, 0, 12.0, 3);
        log.add(t, 1, t == spikeAt ? 9.999 : 1.0, 3);
    }
    const qint64 t0 = std::max<qint64>(0, spikeAt - span / 3);
    const auto cols = log.columns(1, t0, t0 + span, columns);
    const qint64 k = (spikeAt - t0) * columns / span;
    QVERIFY(cols[size_t(k)].any);
    QCOMPARE(cols[size_t(k)].max, 9.999);
    for (size_t j = 0; j < cols.size(); ++j)
        if (qint64(j) != k && cols[j].any) QCOMPARE(cols[j].max, 1.0);
}

void tst_ReadingLog::columnsAgreeWithBruteForce_data() {
    QTest::addColumn<qsizetype>("capacity");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("maxGap");
    QTest::newRow("dense") << qsizetype(1 << 20) << 30000 << 3;
    QTest::newRow("sparse") << qsizetype(1 << 20) << 20000 << 200;
    // The oldest dropped in the middle of a chunk and of a block.
    QTest::newRow("after dropping") << qsizetype(9000) << 30037 << 5;
}

void tst_ReadingLog::columnsAgreeWithBruteForce() {
    QFETCH(qsizetype, capacity);
    QFETCH(int, count);
    QFETCH(int, maxGap);
    QRandomGenerator rng(1234 + count);
    ReadingLog log(capacity);
    fillRandom(log, rng, count, maxGap);
    const qint64 first = log.firstMs(), last = log.lastMs();
    for (int round = 0; round < 40; ++round) {
        const qint64 a = first - 500 + rng.bounded(last - first + 1000);
        const qint64 span = 1 + rng.bounded(round % 2 ? 5000 : last - first + 2000);
        const int n = 1 + rng.bounded(round % 3 ? 1500 : 40);
        const int series = rng.bounded(4);
        const auto cols = log.columns(series, a, a + span, n);
        const auto wanted = bruteColumns(log, series, a, a + span, n);
        QCOMPARE(int(cols.size()), n);
        for (int k = 0; k < n; ++k) {
            const ReadingColumn& want = wanted[size_t(k)];
            const ReadingColumn& got = cols[size_t(k)];
            if (got.any != want.any || (want.any && (got.min != want.min || got.max != want.max)))
                QFAIL(qPrintable(QStringLiteral("view %1+%2 in %3, series %4, column %5")
                                     .arg(a)
                                     .arg(span)
                                     .arg(n)
                                     .arg(series)
                                     .arg(k)));
        }
    }
}

void tst_ReadingLog::dropsOldestAtCapacity_data() {
    QTest::addColumn<qsizetype>("capacity");
    QTest::newRow("less than a chunk") << qsizetype(100);
    QTest::newRow("one chunk") << qsizetype(ReadingLog::kChunkReadings);
    QTest::newRow("not a whole number of chunks") << qsizetype(5000);
}

void tst_ReadingLog::dropsOldestAtCapacity() {
    QFETCH(qsizetype, capacity);
    ReadingLog log(capacity);
    log.start(QDateTime(QDate(2026, 12, 9), QTime(0, 0)));
    const qsizetype added = 3 * capacity + 7;
    for (qsizetype i = 0; i < added; ++i) log.add(i * 10, int(i % 4), double(i % 1000), 0);
    QCOMPARE(log.size(), capacity);
    QCOMPARE(log.dropped(), added - capacity);
    QCOMPARE(log.firstMs(), (added - capacity) * 10);
    QCOMPARE(log.lastMs(), (added - 1) * 10);
    for (qsizetype i = 0; i < capacity; ++i) {
        const qsizetype n = added - capacity + i;
        if (log.msAt(i) != n * 10 || log.seriesAt(i) != n % 4 || log.valueAt(i) != n % 1000)
            QFAIL(qPrintable(QStringLiteral("reading %1 of those kept").arg(i)));
    }
    // Memory stays bounded: at most two chunks beyond the capacity.
    const qint64 chunks = (capacity + ReadingLog::kChunkReadings - 1) / ReadingLog::kChunkReadings;
    QVERIFY(log.memoryBytes() < (chunks + 2) * 11 * ReadingLog::kChunkReadings);
    log.start(log.started());
    QCOMPARE(log.size(), 0);
    QCOMPARE(log.dropped(), 0);
}

void tst_ReadingLog::isoTimes_data() {
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QDateTime>("at");
    QTest::addColumn<QByteArray>("text");
    const QDateTime winter(QDate(2026, 12, 9), QTime(22, 45, 1, 234), QTimeZone::utc());
    const QDateTime summer(QDate(2026, 7, 1), QTime(10, 0, 0, 5), QTimeZone::utc());
    QTest::newRow("winter in Berlin")
        << QByteArray("Europe/Berlin") << winter << QByteArray("2026-12-09T23:45:01.234+01:00");
    QTest::newRow("summer in Berlin")
        << QByteArray("Europe/Berlin") << summer << QByteArray("2026-07-01T12:00:00.005+02:00");
    QTest::newRow("UTC, never Z") << QByteArray("UTC") << winter
                                  << QByteArray("2026-12-09T22:45:01.234+00:00");
    QTest::newRow("half an hour behind")
        << QByteArray("America/St_Johns") << winter << QByteArray("2026-12-09T19:15:01.234-03:30");
}

void tst_ReadingLog::isoTimes() {
    QFETCH(QByteArray, zone);
    QFETCH(QDateTime, at);
    QFETCH(QByteArray, text);
    setZone(zone);
    const QByteArray got = isoLocalTime(at);
    // The export's own texts, kept per minute, say the same.
    ReadingLog log;
    log.start(at.addMSecs(-61000));
    log.add(61000, 0, 1.0, 2);
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    QVERIFY(writeReadingsCsv(&buf, log, 0, 61000));
    setZone("Europe/Berlin");
    QCOMPARE(got, text);
    QCOMPARE(buf.data().split('\n').value(1).left(text.size()), text);
}

void tst_ReadingLog::csvRows() {
    ReadingLog log;
    const QDateTime started(QDate(2026, 12, 9), QTime(23, 45, 0));
    log.start(started);
    log.add(0, 0, 12.345, 3);
    log.add(0, 1, 1.2, 2);
    log.add(0, 2, 5.0, 3);  // CH2 current not yet known: no power
    log.add(1234, 1, 1.25, 2);
    log.add(1234, 3, 0.5, 3);
    log.add(61001, 2, 4.5, 3);
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    QVERIFY(writeReadingsCsv(&buf, log, 0, 100000));
    const QByteArray want =
        "Time,Seconds,CH1 Voltage (V),CH1 Current (A),CH1 Power (W),CH2 Voltage (V),"
        "CH2 Current (A),CH2 Power (W)\r\n"
        "2026-12-09T23:45:00.000+01:00,0.000,12.345,1.20,14.8140,5.000,,\r\n"
        "2026-12-09T23:45:01.234+01:00,1.234,,1.25,15.4313,,0.500,2.5000\r\n"
        "2026-12-09T23:46:01.001+01:00,61.001,,,,4.500,,2.2500\r\n";
    QCOMPARE(buf.data(), want);
    QCOMPARE(readingsCsvHeader(), want.left(want.indexOf('\n') + 1));
}

void tst_ReadingLog::csvBetweenTimesKnowsEarlierValues() {
    ReadingLog log;
    log.start(QDateTime(QDate(2026, 12, 9), QTime(10, 0)));
    log.add(0, 0, 10.0, 3);
    log.add(0, 1, 2.0, 3);
    log.add(5000, 1, 3.0, 3);
    log.add(9000, 0, 11.0, 3);
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    QVERIFY(writeReadingsCsv(&buf, log, 1000, 9000));
    const QList<QByteArray> lines = buf.data().split('\n');
    QCOMPARE(lines.size(), 4);  // header, two rows, nothing after the last CR LF
    QCOMPARE(lines[1], QByteArray("2026-12-09T10:00:05.000+01:00,5.000,,3.000,30.0000,,,\r"));
    QCOMPARE(lines[2], QByteArray("2026-12-09T10:00:09.000+01:00,9.000,11.000,,33.0000,,,\r"));
}

void tst_ReadingLog::csvJournalEqualsExportAndReadsBack() {
    QRandomGenerator rng(99);
    ReadingLog log;
    log.start(QDateTime(QDate(2026, 3, 29), QTime(1, 58)));  // through the change to summer time
    ReadingsCsvRows journal(log.started());
    QByteArray journalBytes = readingsCsvHeader();
    qint64 t = 0;
    for (int i = 0; i < 20000; ++i) {
        t += rng.bounded(2) ? 0 : 1 + rng.bounded(40);
        // One reading per series and ms, as the link gives them.
        const int series = t == (log.isEmpty() ? -1 : log.lastMs())
                               ? (log.seriesAt(log.size() - 1) + 1) % 4
                               : rng.bounded(4);
        if (!log.isEmpty() && t == log.lastMs() && series == 0) {
            t += 1;
        }
        const int decimals = 2 + rng.bounded(2);
        const double value = rng.bounded(-3000, 30000) / std::pow(10.0, decimals);
        log.add(t, series, value, decimals);
        journal.add(t, series, value, decimals, journalBytes);
    }
    journal.flush(journalBytes);
    QBuffer exported;
    exported.open(QIODevice::WriteOnly);
    QVERIFY(writeReadingsCsv(&exported, log, 0, log.lastMs()));
    QCOMPARE(journalBytes, exported.data());

    exported.close();
    exported.open(QIODevice::ReadOnly);
    ReadingLog back;
    QString error;
    QVERIFY2(readReadingsCsv(&exported, &back, &error), qPrintable(error));
    QCOMPARE(back.started(), log.started());
    QCOMPARE(back.size(), log.size());
    for (qsizetype i = 0; i < log.size(); ++i) {
        if (back.msAt(i) != log.msAt(i) || back.seriesAt(i) != log.seriesAt(i) ||
            back.valueAt(i) != log.valueAt(i) || back.decimalsAt(i) != log.decimalsAt(i))
            QFAIL(qPrintable(QStringLiteral("reading %1").arg(i)));
    }
}

void tst_ReadingLog::csvWriteFailureGivesReason() {
    ReadingLog log;
    log.start(QDateTime(QDate(2026, 12, 9), QTime(10, 0)));
    log.add(0, 0, 10.0, 3);
    QBuffer buf;
    buf.open(QIODevice::ReadOnly);
    QString error;
    QVERIFY(!writeReadingsCsv(&buf, log, 0, 1000, &error));
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(tst_ReadingLog)
#include "tst_reading_log.moc"
