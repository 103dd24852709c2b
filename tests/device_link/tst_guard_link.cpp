// The guard on the link, against a real load step on the simulator and the
// clock the test drives: each limit trips after its delay and not before,
// the trip's off is confirmed, and the counters match what flowed.
#include "supply_bench.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <array>
#include <cmath>
#include <optional>

using namespace lqs;
using namespace lqs::test;
using namespace std::chrono_literals;

class tst_GuardLink : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void eachLimitTripsOnALoadStep_data();
    void eachLimitTripsOnALoadStep();
    void readingsAt95PercentNeverTrip();
    void tripWhileASetPointWaits();
    void tripOffIsConfirmedAndLaterOffsKeepTheirPace();
    void countersAgainstAConstantLoad_data();
    void countersAgainstAConstantLoad();
    void anOffSeparatesTheReadings_data();
    void anOffSeparatesTheReadings();
};

void tst_GuardLink::eachLimitTripsOnALoadStep_data() {
    QTest::addColumn<GuardLimit>("limit");
    QTest::addColumn<double>("level");
    QTest::addColumn<double>("fromOhms");
    QTest::addColumn<double>("toOhms");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<double>("reading");  // what the trip names
    struct Row {
        const char* name;
        GuardLimit limit;
        double level, from, to, reading;
    };
    const Row rows[] = {
        {"over-voltage", GuardLimit::OverVoltage, 8.0, 5.0, 20.0, 10.0},
        {"under-voltage", GuardLimit::UnderVoltage, 8.0, 20.0, 5.0, 5.0},
        {"over-current", GuardLimit::OverCurrent, 0.8, 20.0, 5.0, 1.0},
        {"over-power", GuardLimit::OverPower, 7.0, 20.0, 12.0, 10.0 * 0.83},
        {"entering CC", GuardLimit::EnteringCc, 0.0, 20.0, 5.0, 1.0},
    };
    for (const Row& r : rows)
        for (int delay : {0, 2000})
            QTest::addRow("%s, delay %d ms", r.name, delay)
                << r.limit << r.level << r.from << r.to << delay << r.reading;
}

void tst_GuardLink::eachLimitTripsOnALoadStep() {
    QFETCH(GuardLimit, limit);
    QFETCH(double, level);
    QFETCH(double, fromOhms);
    QFETCH(double, toOhms);
    QFETCH(int, delayMs);
    QFETCH(double, reading);
    SupplyBench b;
    QVERIFY(b.start(fromOhms));
    b.c.client.setGuard(1, limit, {true, level, std::chrono::milliseconds(delayMs)});
    QVERIFY(b.on());
    b.c.advance(3s);
    QVERIFY(!b.c.client.trip());

    const int before = b.offs();
    b.c.advance(std::chrono::milliseconds(QRandomGenerator::global()->bounded(200)));
    const LinkTime step = b.c.now();
    b.c.line.instrument().setLoad(1, toOhms);
    if (delayMs > 0) {
        // Past the level for less than its delay: nothing goes out.
        b.c.advance(std::chrono::milliseconds(delayMs - 100));
        QCOMPARE(b.offs(), before);
    }
    QVERIFY(b.c.advanceUntil([&] { return b.offs() > before; }, 10s));
    const qint64 ms = msSince(step, b.c.now());
    QVERIFY2(ms >= delayMs && ms < delayMs + 250, qPrintable(QString::number(ms)));
    QVERIFY(!b.c.line.instrument().output());
    QVERIFY(b.c.advanceUntil([&] { return b.c.client.idle(); }));
    QVERIFY(b.c.client.trip());
    QCOMPARE(b.c.client.trip()->limit, limit);
    QCOMPARE(b.c.client.trip()->channel, 1);
    QVERIFY2(std::abs(b.c.client.trip()->reading - reading) < 0.02,
             qPrintable(QString::number(b.c.client.trip()->reading)));
    QCOMPARE(b.c.client.output().state, OutputState::Off);
}

// A load drawing 95 % of the level for ten minutes of readings, with the
// reply times wandering: the guard never cuts it.
void tst_GuardLink::readingsAt95PercentNeverTrip() {
    SupplyBench b;
    sim::LineModel jittery;
    jittery.jitter = 20ms;
    b.c.line.setLineModel(jittery);
    QVERIFY(b.start(20.0));  // 0.5 A
    const double level = 0.5 / 0.95;
    b.c.client.setGuard(1, GuardLimit::OverCurrent, {true, level, 0ms});
    b.c.client.setGuard(1, GuardLimit::OverPower, {true, 5.0 / 0.95, 0ms});
    QVERIFY(b.on());
    QSignalSpy readings(&b.c.client, &LinkClient::readingTaken);
    b.c.advance(600s);
    QVERIFY2(readings.count() > 6000, qPrintable(QString::number(readings.count())));
    QVERIFY(!b.c.client.trip());
    QVERIFY(b.c.line.instrument().output());
}

// A set point given just before the trip still ends (no caller waits for
// ever), and the output stays off whatever it did.
void tst_GuardLink::tripWhileASetPointWaits() {
    SupplyBench b;
    QVERIFY(b.start(20.0));
    b.c.client.setGuard(1, GuardLimit::OverCurrent, {true, 0.8, 0ms});
    QVERIFY(b.on());
    b.c.advance(1s);
    std::optional<bool> setDone, onDone;
    b.c.client.setSetPoint(1, Quantity::Voltage, 9.0, QStringLiteral("9.00"), Origin::Script,
                           [&](bool ok) { setDone = ok; });
    b.c.line.instrument().setLoad(1, 5.0);
    b.c.client.setOutput(true, [&](bool ok) { onDone = ok; });  // a script insisting
    QVERIFY(b.c.advanceUntil(
        [&] { return b.c.client.trip() && setDone && onDone && b.c.client.idle(); }, 10s));
    QVERIFY(!b.c.line.instrument().output());
    b.c.advance(3s);
    QVERIFY(!b.c.line.instrument().output());
    QCOMPARE(b.c.client.output().state, OutputState::Off);
}

// "STATUS?" follows the trip's "OUT0" and says the output is off. Once the
// trip is cleared and the guard disarmed, an off waits its full 500 ms
// after the poll stops, as any other.
void tst_GuardLink::tripOffIsConfirmedAndLaterOffsKeepTheirPace() {
    SupplyBench b;
    QVERIFY(b.start(20.0));
    b.c.client.setGuard(1, GuardLimit::OverPower, {true, 7.0, 0ms});
    QVERIFY(b.on());
    b.c.advance(1s);
    QSignalSpy confirmed(&b.c.client, &LinkClient::tripConfirmed);
    b.c.line.clearTranscript();
    b.c.line.instrument().setLoad(1, 12.0);  // 8.3 W
    QVERIFY(b.c.advanceUntil([&] { return confirmed.count() == 1; }, 10s));
    QCOMPARE(confirmed.at(0).at(0).value<TripConfirmation>(), TripConfirmation::Off);
    const QStringList frames = b.c.frames();
    const qsizetype off = frames.indexOf(QStringLiteral("OUT0"));
    QVERIFY(off >= 0);
    QCOMPARE(frames.mid(off + 1), QStringList{QStringLiteral("STATUS?")});

    // Cleared and on again at once, still armed: what was read before the
    // off is no reading now.
    b.c.client.clearTrip();
    b.c.line.instrument().setLoad(1, 20.0);
    QVERIFY(b.c.advanceUntil([&] { return !b.c.client.trip(); }));
    QVERIFY(b.on());
    b.c.advance(2s);
    QVERIFY(!b.c.client.trip());

    b.c.client.setGuard(1, GuardLimit::OverPower, {});  // back to the classic cycle
    QVERIFY(b.c.advanceUntil(
        [&] { return b.c.client.idle() && b.c.client.mode() == LinkMode::Polling; }));
    b.c.advance(2s);
    b.c.line.clearTranscript();
    const LinkTime asked = b.c.now();
    b.c.client.setOutput(false);
    QVERIFY(b.c.advanceUntil([&] { return !b.c.line.instrument().output(); }));
    b.c.advance(1s);
    QCOMPARE(b.c.frames(), QStringList{QStringLiteral("OUT0")});  // no confirmation asked
    const qint64 offMs = msSince(asked, b.c.line.wireTimes().front());
    QVERIFY2(std::abs(offMs - 500) <= 60, qPrintable(QString::number(offMs)));
}

// 10 V into 20 ohms: 0.5 A, 5 W. The trapezoid sum over the readings is
// within 0.5 % of what flowed between the first and the last current
// reading, on the fast schedule and on the classic nine-second cycle.
void tst_GuardLink::countersAgainstAConstantLoad_data() {
    QTest::addColumn<bool>("armed");
    QTest::newRow("fast, a budget armed") << true;
    QTest::newRow("classic cycle, nothing armed") << false;
}

void tst_GuardLink::countersAgainstAConstantLoad() {
    QFETCH(bool, armed);
    SupplyBench b;
    QVERIFY(b.start(20.0));
    if (armed) b.c.client.setGuard(1, GuardLimit::Charge, {true, 1.0, 0ms});  // far off
    std::optional<LinkTime> first, last;
    connect(&b.c.client, &LinkClient::readingTaken, this, [&](const Reading& r) {
        if (r.channel != 1 || r.quantity != Quantity::Current) return;
        if (!first) first = r.at;
        last = r.at;
    });
    b.c.client.setOutput(true);
    b.c.advance(180s);
    QVERIFY(first && last);
    const double hours = double(msSince(*first, *last)) / 3600e3;
    const ChannelCounters got = b.c.client.counters(1);
    QVERIFY2(std::abs(got.ampHours / (0.5 * hours) - 1) < 0.005,
             qPrintable(QString::number(got.ampHours / (0.5 * hours), 'g', 8)));
    QVERIFY2(std::abs(got.wattHours / (5.0 * hours) - 1) < 0.005,
             qPrintable(QString::number(got.wattHours / (5.0 * hours), 'g', 8)));

    b.c.client.clearCounters(1);
    QCOMPARE(b.c.client.counters(1).ampHours, 0.0);
    b.c.advance(30s);
    QVERIFY(b.c.client.counters(1).ampHours > 0);
}

void tst_GuardLink::anOffSeparatesTheReadings_data() {
    QTest::addColumn<double>("ohms");
    QTest::addColumn<double>("amps");
    QTest::newRow("over the limit either side of the off") << 5.0 << 1.0;
    QTest::newRow("under it") << 20.0 << 0.5;
}

// On for 1.5 s, off for 20 s, on again: over 0.8 A for 1.5 s either side of
// the off is not 2 s over it, and the counters count what flowed while on,
// not the off between.
void tst_GuardLink::anOffSeparatesTheReadings() {
    QFETCH(double, ohms);
    QFETCH(double, amps);
    SupplyBench b;
    QVERIFY(b.start(ohms));
    b.c.client.setGuard(1, GuardLimit::OverCurrent, {true, 0.8, 2000ms});
    // The first and last current reading of each time on.
    std::array<std::optional<std::pair<LinkTime, LinkTime>>, 2> spans;
    int on = 0;
    connect(&b.c.client, &LinkClient::readingTaken, this, [&](const Reading& r) {
        if (r.channel != 1 || r.quantity != Quantity::Current || r.value < 0.1) return;
        auto& span = spans[std::size_t(on)];
        span = std::make_pair(span ? span->first : r.at, r.at);
    });
    QVERIFY(b.on());
    b.c.advance(1500ms);
    b.c.client.setOutput(false);
    QVERIFY(b.c.advanceUntil([&] { return !b.c.line.instrument().output(); }, 2s));
    b.c.advance(20s);
    on = 1;
    QVERIFY(b.on());
    b.c.advance(1500ms);
    QVERIFY(!b.c.client.trip());
    const ChannelCounters got = b.c.client.counters(1);
    QVERIFY(spans[0] && spans[1]);
    double seconds = 0;
    for (const auto& span : spans)
        seconds += std::chrono::duration<double>(span->second - span->first).count();
    QVERIFY2(std::abs(got.ampHours / (amps * seconds / 3600) - 1) < 0.01,
             qPrintable(QStringLiteral("%1 Ah in %2 s on").arg(got.ampHours).arg(seconds)));
    if (amps > 0.8) {
        // Tripped 2 s after it went over again.
        QVERIFY(b.c.advanceUntil([&] { return b.c.client.trip().has_value(); }, 2s));
        const qint64 over = msSince(spans[1]->first, b.c.client.trip()->at);
        QVERIFY2(over >= 2000 && over < 2250, qPrintable(QString::number(over)));
    }
}

QTEST_GUILESS_MAIN(tst_GuardLink)
#include "tst_guard_link.moc"
