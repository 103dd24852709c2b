// The guard's limits and counters, fed readings with times the test chooses.
#include "device_link/guard.h"
#include "device_link/model_profile.h"

#include <QtTest>

using namespace lqs;
using namespace std::chrono_literals;

namespace {

using Time = Guard::Time;
const Time kStart = Time() + 1h;

// A channel read the way fast readings read it: voltage, then current,
// every `every`, until `until`; returns the first trip and when it came.
struct Feed {
    Guard& guard;
    int channel = 1;
    std::chrono::milliseconds every = 25ms;
    std::optional<GuardTrip> run(Time from, Time until, double volts, double amps) {
        for (Time t = from; t < until; t += 2 * every) {
            if (auto trip = guard.voltage(channel, volts, t)) return trip;
            if (auto trip = guard.current(channel, amps, t + every)) return trip;
        }
        return std::nullopt;
    }
};

}  // namespace

class tst_Guard : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void tripsAfterItsDelayNotBefore_data();
    void tripsAfterItsDelayNotBefore();
    void glitchShorterThanTheDelay();
    void latchedUntilCleared();
    void countersAgainstAConstantLoad();
    void budgetsTrip();
    void levelsTheModelCannotReach_data();
    void levelsTheModelCannotReach();
};

// Each limit: readings at 95 % of its level for a minute never trip; past
// it, the trip comes at the first reading once the delay has run, not before.
void tst_Guard::tripsAfterItsDelayNotBefore_data() {
    QTest::addColumn<GuardLimit>("limit");
    QTest::addColumn<double>("level");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<double>("safeVolts");
    QTest::addColumn<double>("safeAmps");
    QTest::addColumn<double>("pastVolts");
    QTest::addColumn<double>("pastAmps");
    QTest::newRow("over-voltage, at once")
        << GuardLimit::OverVoltage << 10.0 << 0 << 9.5 << 1.0 << 10.01 << 1.0;
    QTest::newRow("over-voltage, 200 ms")
        << GuardLimit::OverVoltage << 10.0 << 200 << 9.5 << 1.0 << 12.0 << 1.0;
    QTest::newRow("under-voltage floor")
        << GuardLimit::UnderVoltage << 3.0 << 100 << 3.16 << 1.0 << 2.9 << 1.0;
    QTest::newRow("over-current") << GuardLimit::OverCurrent << 2.0 << 50 << 5.0 << 1.9 << 5.0
                                  << 2.05;
    QTest::newRow("over-power") << GuardLimit::OverPower << 10.0 << 1000 << 5.0 << 1.9 << 5.0
                                << 2.1;
}

void tst_Guard::tripsAfterItsDelayNotBefore() {
    QFETCH(GuardLimit, limit);
    QFETCH(double, level);
    QFETCH(int, delayMs);
    QFETCH(double, safeVolts);
    QFETCH(double, safeAmps);
    QFETCH(double, pastVolts);
    QFETCH(double, pastAmps);
    Guard g;
    g.set(1, limit, {true, level, std::chrono::milliseconds(delayMs)});
    QVERIFY(g.armed());
    Feed feed{g};
    QVERIFY(!feed.run(kStart, kStart + 60s, safeVolts, safeAmps));
    // Channel 2 past every level: its limits are its own.
    Feed other{g, 2};
    QVERIFY(!other.run(kStart, kStart + 10s, 30.0, 3.0));

    const Time past = kStart + 60s;
    const auto trip = feed.run(past, past + 70s, pastVolts, pastAmps);
    QVERIFY(trip);
    QCOMPARE(trip->limit, limit);
    QCOMPARE(trip->channel, 1);
    QCOMPARE(trip->level, level);
    // The first reading past the level comes at `past` (voltage) or 25 ms on
    // (current); the trip at the first reading at least the delay after it.
    const Time first = limit == GuardLimit::OverCurrent ? past + 25ms : past;
    const auto after = trip->at - first;
    QVERIFY2(after >= std::chrono::milliseconds(delayMs),
             qPrintable(QString::number((after / 1ms))));
    QVERIFY2(after < std::chrono::milliseconds(delayMs) + 50ms,
             qPrintable(QString::number((after / 1ms))));
    QVERIFY(g.tripped());
}

// Past the level for less than the delay, then back: no trip, and the next
// excursion waits the whole delay again.
void tst_Guard::glitchShorterThanTheDelay() {
    Guard g;
    g.set(1, GuardLimit::OverCurrent, {true, 1.0, 100ms});
    QVERIFY(!g.current(1, 1.5, kStart));
    QVERIFY(!g.current(1, 1.5, kStart + 90ms));
    QVERIFY(!g.current(1, 0.5, kStart + 95ms));
    QVERIFY(!g.current(1, 1.5, kStart + 150ms));
    QVERIFY(!g.current(1, 1.5, kStart + 240ms));
    // An interruption (output off, readings no longer current) restarts it too.
    g.interrupted();
    QVERIFY(!g.current(1, 1.5, kStart + 260ms));
    QVERIFY(!g.current(1, 1.5, kStart + 350ms));
    const auto trip = g.current(1, 1.5, kStart + 360ms);
    QVERIFY(trip);
    QCOMPARE(trip->reading, 1.5);
}

void tst_Guard::latchedUntilCleared() {
    Guard g;
    g.set(1, GuardLimit::OverVoltage, {true, 5.0, 0ms});
    g.set(2, GuardLimit::EnteringCc, {true, 0, 0ms});
    QVERIFY(g.voltage(1, 6.0, kStart));
    // Tripped: nothing else trips, the first trip stays what it says.
    QVERIFY(!g.voltage(1, 7.0, kStart + 25ms));
    QVERIFY(!g.constantCurrent(2, true, kStart + 30ms));
    QCOMPARE(g.trip()->reading, 6.0);
    g.clear();
    QVERIFY(!g.tripped());
    const auto cc = g.constantCurrent(2, true, kStart + 40ms);
    QVERIFY(cc);
    QCOMPARE(cc->limit, GuardLimit::EnteringCc);
    QVERIFY(g.tripped());
    QVERIFY(!g.voltage(1, 7.0, kStart + 50ms));
}

// An hour at 2.5 A and 4.2 V read 20 times a second is 2.5 Ah and 10.5 Wh to
// within 0.5 %; a ramp is integrated as a ramp; a gap adds nothing.
void tst_Guard::countersAgainstAConstantLoad() {
    Guard g;
    Feed feed{g};
    feed.run(kStart, kStart + 1h, 4.2, 2.5);
    QVERIFY(qAbs(g.counter(1).ampHours() - 2.5) < 2.5 * 0.005);
    QVERIFY(qAbs(g.counter(1).wattHours() - 10.5) < 10.5 * 0.005);
    QCOMPARE(g.counter(2).ampHours(), 0.0);

    g.clearCounter(1);
    QCOMPARE(g.counter(1).ampHours(), 0.0);
    // 0 A to 2 A over 100 s at 5 V: 100 As, 500 Ws; then the output goes
    // off for an hour and comes back on: the hour adds nothing.
    Time t = kStart + 2h;
    for (int i = 0; i <= 100; ++i) {
        g.voltage(1, 5.0, t);
        g.current(1, 0.02 * i, t);
        t += 1s;
    }
    QVERIFY(qAbs(g.counter(1).ampHours() * 3600 - 100) < 0.5);
    QVERIFY(qAbs(g.counter(1).wattHours() * 3600 - 500) < 2.5);
    g.interrupted();
    t += 1h;
    g.voltage(1, 5.0, t);
    g.current(1, 2.0, t);
    QVERIFY(qAbs(g.counter(1).ampHours() * 3600 - 100) < 0.5);
    // Readings of one channel too far apart to be one moment are no pair.
    g.voltage(1, 5.0, t + 10s);
    QVERIFY(qAbs(g.counter(1).ampHours() * 3600 - 100) < 0.5);
}

void tst_Guard::budgetsTrip() {
    Guard g;
    g.set(2, GuardLimit::Charge, {true, 0.1, 0ms});
    g.set(2, GuardLimit::Energy, {true, 1.0, 0ms});
    Feed feed{g, 2};
    // 2 A: 0.1 Ah after 180 s; 2 W: 1 Wh only after 1800 s, so the charge trips first.
    const auto trip = feed.run(kStart, kStart + 1h, 1.0, 2.0);
    QVERIFY(trip);
    QCOMPARE(trip->limit, GuardLimit::Charge);
    QCOMPARE(trip->channel, 2);
    const double seconds = std::chrono::duration<double>(trip->at - kStart).count();
    QVERIFY2(qAbs(seconds - 180) < 1, qPrintable(QString::number(seconds)));
}

void tst_Guard::levelsTheModelCannotReach_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<GuardLimit>("limit");
    QTest::addColumn<double>("level");
    QTest::addColumn<bool>("taken");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("OV at the ceiling") << 2 << GuardLimit::OverVoltage << 32.0 << true;
    QTest::newRow("OV above it") << 2 << GuardLimit::OverVoltage << 32.5 << false;
    QTest::newRow("floor above it") << 1 << GuardLimit::UnderVoltage << 40.0 << false;
    QTest::newRow("OC on the 3 A model") << 2 << GuardLimit::OverCurrent << 4.0 << false;
    QTest::newRow("OC on the 5 A model") << 3 << GuardLimit::OverCurrent << 4.0 << true;
    QTest::newRow("OP within V times I") << 3 << GuardLimit::OverPower << 150.0 << true;
    QTest::newRow("OP beyond it") << 2 << GuardLimit::OverPower << 150.0 << false;
    QTest::newRow("zero") << 2 << GuardLimit::OverCurrent << 0.0 << false;
    QTest::newRow("negative") << 2 << GuardLimit::Charge << -1.0 << false;
    QTest::newRow("not a number") << 2 << GuardLimit::Energy << nan << false;
    QTest::newRow("a budget") << 2 << GuardLimit::Energy << 500.0 << true;
    QTest::newRow("CC has no level") << 2 << GuardLimit::EnteringCc << 0.0 << true;
    QTest::newRow("no model chosen") << 0 << GuardLimit::OverVoltage << 5.0 << false;
}

void tst_Guard::levelsTheModelCannotReach() {
    QFETCH(int, model);
    QFETCH(GuardLimit, limit);
    QFETCH(double, level);
    QFETCH(bool, taken);
    const QString why = checkGuardLevel(limit, level, modelProfile(model));
    QCOMPARE(why.isEmpty(), taken);
}

QTEST_GUILESS_MAIN(tst_Guard)
#include "tst_guard.moc"
