// The link on a clock the test drives, against the simulated instrument on
// the same clock: the instrument's paces to the millisecond, commands that
// complete in order, and a line that drops, cuts, delays and adds replies.
#include "clocked_link.h"
#include "device_link/protocol.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <optional>

using namespace lqs;
using namespace std::chrono_literals;
using test::ClockedLink;

namespace {

// What each measured value reads on the simulator's default loads: channel 1
// held at its 1 A limit (12 V into 10 ohms), channel 2 at 5 V into 20 ohms.
double expected(int channel, Quantity q) {
    if (channel == 1) return q == Quantity::Voltage ? 10.0 : 1.0;
    return q == Quantity::Voltage ? 5.0 : 0.25;
}

// Every reading the link took, and those that were not what the instrument read.
struct Readings {
    explicit Readings(LinkClient& c) {
        QObject::connect(&c, &LinkClient::readingTaken, &context, [this](const Reading& r) {
            ++count;
            if (std::abs(r.value - expected(r.channel, r.quantity)) > 1e-9)
                wrong << QStringLiteral("CH%1 %2 %3")
                             .arg(r.channel)
                             .arg(r.quantity == Quantity::Voltage ? 'V' : 'A')
                             .arg(r.text);
        });
    }
    QObject context;
    int count = 0;
    QStringList wrong;
};

LinkSetup fastSetup() {
    LinkSetup s = test::drivenSetup();
    s.silenceMs = 100;
    return s;
}

bool outputOn(ClockedLink& c) {
    c.client.setOutput(true);
    return c.advanceUntil([&] { return c.client.idle() && c.client.mode() == LinkMode::Polling; });
}

bool fastOn(ClockedLink& c) {
    c.client.setFastReadings(true);
    c.line.setEndAtCarriageReturn(true);
    c.client.setOutput(true);
    return c.advanceUntil(
        [&] { return c.client.idle() && c.client.mode() == LinkMode::FastReadings; });
}

}  // namespace

class tst_LinkOnClock : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void instrumentPaces_data();
    void instrumentPaces();
    void scriptCommandsCompleteInOrder_data();
    void scriptCommandsCompleteInOrder();
    void lostStatusReplyTakesTheMissingReplyPath();
    void lateTailAnswersNoLaterQuery_data();
    void lateTailAnswersNoLaterQuery();
    void strayLineDuringAQuery_data();
    void strayLineDuringAQuery();
    void outputBurstEndsAsTheLastCommand();
    void fastReadingsRecoverAfterDrops();
    void guardTripsOnALoadStepAndLatches();
    void measureWaitsForAFreshReading();
};

// The pace between frames, as the instrument's sequences give it: the
// start-up query 300 ms apart, the poll cycle 500 ms then 900 ms a query,
// output off 500 ms after the stop, a recall's paces 300 ms.
void tst_LinkOnClock::instrumentPaces_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QList<int>>("gapsMs");  // from each frame to the next
    QTest::newRow("start-up query")
        << "link" << QStringList{"*IDN?", "VSET1?", "VSET2?", "ISET1?", "ISET2?", "VOUT1?"}
        << QList<int>{300, 300, 300, 300, 300};
    QTest::newRow("poll cycle") << "on" << QStringList{"OUT1", "VOUT1?", "IOUT1?", "VOUT2?"}
                                << QList<int>{950, 900, 900};
    QTest::newRow("output off") << "off" << QStringList{"OUT0"} << QList<int>{};
    QTest::newRow("recall") << "recall" << QStringList{"OUT0", "RCL2", "VSET1?", "VSET2?", "ISET1?"}
                            << QList<int>{0, 300, 300, 300};
}

void tst_LinkOnClock::instrumentPaces() {
    QFETCH(QString, what);
    QFETCH(QStringList, frames);
    QFETCH(QList<int>, gapsMs);
    ClockedLink c;
    if (what != QLatin1String("link")) QVERIFY(c.linked());
    if (what == QLatin1String("off")) QVERIFY(outputOn(c));
    c.line.clearTranscript();
    const LinkTime asked = c.now();
    if (what == QLatin1String("link")) c.client.link(QStringLiteral("sim"));
    if (what == QLatin1String("on")) c.client.setOutput(true);
    if (what == QLatin1String("off")) c.client.setOutput(false);
    if (what == QLatin1String("recall")) c.client.recallMemory(QStringLiteral("2"));
    c.advance(8s);
    QCOMPARE(c.frames().mid(0, frames.size()), frames);
    const auto& times = c.line.wireTimes();
    // Each frame's LF is on the line 1 ms or so after it was handed over.
    for (int i = 0; i < gapsMs.size(); ++i) {
        const qint64 gap = test::msSince(times[std::size_t(i)], times[std::size_t(i + 1)]);
        QVERIFY2(
            std::abs(gap - gapsMs[i]) <= 2,
            qPrintable(QStringLiteral("%1 to %2: %3 ms").arg(frames[i], frames[i + 1]).arg(gap)));
    }
    if (what == QLatin1String("off")) {
        // The poll stops, and 500 ms later the output goes off.
        QVERIFY(std::abs(test::msSince(asked, times[0]) - 500) <= 2);
    }
}

// A script's set points each take effect, in order, and a measurement asked
// after one reads what it set; done (for *OPC?) comes only after the frame.
void tst_LinkOnClock::scriptCommandsCompleteInOrder_data() {
    QTest::addColumn<bool>("fast");
    QTest::newRow("classic cycle") << false;
    QTest::newRow("fast readings") << true;
}

void tst_LinkOnClock::scriptCommandsCompleteInOrder() {
    QFETCH(bool, fast);
    ClockedLink c;
    c.line.instrument().setLoad(1, 1000.0);  // CV: the voltage read is the one set
    QVERIFY(c.linked());
    QVERIFY(fast ? fastOn(c) : outputOn(c));
    QStringList log;
    for (int volts : {2, 3, 4}) {
        const QString text = QStringLiteral("%1.00").arg(volts);
        c.client.setSetPoint(1, Quantity::Voltage, volts, text, Origin::Script, [&, volts](bool) {
            const auto& wire = c.line.wireFrames();
            const std::string frame = QStringLiteral("VSET1:%1.\r\n").arg(volts).toStdString();
            log << QStringLiteral("set %1 (%2 on the line)")
                       .arg(volts)
                       .arg(std::find(wire.begin(), wire.end(), frame) != wire.end());
        });
        c.client.whenIdle([&, volts] { log << QStringLiteral("done %1").arg(volts); });
        c.client.measure(1, Quantity::Voltage, [&](std::optional<double> v) {
            log << QStringLiteral("read %1").arg(v ? QString::number(*v) : QStringLiteral("none"));
        });
    }
    QVERIFY(c.advanceUntil([&] { return log.size() == 9; }, 30s));
    QCOMPARE(log, (QStringList{"set 2 (1 on the line)", "done 2", "read 2", "set 3 (1 on the line)",
                               "done 3", "read 3", "set 4 (1 on the line)", "done 4", "read 4"}));
    QCOMPARE(c.frames().filter(QStringLiteral("VSET1:")),
             (QStringList{"VSET1:2.", "VSET1:3.", "VSET1:4."}));
}

// No reply to the cycle's STATUS?: the readings are no longer current and
// the countdown runs, rather than a link that says it stands and reads nothing.
void tst_LinkOnClock::lostStatusReplyTakesTheMissingReplyPath() {
    ClockedLink c;
    QVERIFY(c.linked());
    QVERIFY(outputOn(c));
    bool dropped = false;
    c.line.onFrame = [&](const sim::Exchange& e) {
        if (e.command == "STATUS?" && !dropped) {
            dropped = true;
            c.line.injectFault(sim::Fault::silence());
        }
    };
    QSignalSpy stale(&c.client, &LinkClient::readingsStale);
    QSignalSpy timedOut(&c.client, &LinkClient::timedOut);
    QVERIFY(c.advanceUntil([&] { return dropped; }, 20s));
    const LinkTime droppedAt = c.now();
    QVERIFY(c.advanceUntil([&] { return c.client.mode() == LinkMode::TimedOut; }, 5s));
    // The status's pace and its grace, then the missing-reply path.
    QVERIFY(test::msSince(droppedAt, c.now()) <= 450 + 500 + 5);
    QCOMPARE(stale.count(), 1);
    QVERIFY(c.advanceUntil([&] { return timedOut.count() == 1; }, 15s));
}

// A reply cut by a pause longer than its deadline (fast readings) or than
// the time to the next query (the classic cycle). Its tail answers no later
// query; every reading after it is the value its own query asked for.
void tst_LinkOnClock::lateTailAnswersNoLaterQuery_data() {
    QTest::addColumn<bool>("fast");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<int>("at");
    QTest::newRow("fast, cut after two bytes, 300 ms") << true << 300 << 2;
    QTest::newRow("fast, cut before the terminators, 600 ms") << true << 600 << 5;
    QTest::newRow("fast, cut after one byte, 150 ms") << true << 150 << 1;
    QTest::newRow("classic, cut after two bytes, 1200 ms") << false << 1200 << 2;
}

void tst_LinkOnClock::lateTailAnswersNoLaterQuery() {
    QFETCH(bool, fast);
    QFETCH(int, pauseMs);
    QFETCH(int, at);
    ClockedLink c(sim::Model::B, fastSetup());
    sim::LineModel line;  // 9600 baud, 10 ms answer
    c.line.setLineModel(line);
    QVERIFY(c.linked());
    QVERIFY(fast ? fastOn(c) : outputOn(c));
    c.advance(3s);  // the pause learned
    Readings readings(c.client);
    int cuts = 0;
    c.line.onFrame = [&](const sim::Exchange& e) {
        if (e.command == "VOUT1?" && cuts < 3) {
            ++cuts;
            c.line.injectFault(
                sim::Fault::splitAt(std::size_t(at), std::chrono::milliseconds(pauseMs)));
        }
    };
    c.advance(fast ? 10s : 40s);
    QCOMPARE(cuts, 3);
    QVERIFY2(readings.count > 10, qPrintable(QString::number(readings.count)));
    QVERIFY2(readings.wrong.isEmpty(), qPrintable(readings.wrong.join(QLatin1String(", "))));
    QCOMPARE(c.client.mode(), fast ? LinkMode::FastReadings : LinkMode::Polling);
}

// A line nobody asked for arrives while a query waits for its reply: a value
// the model cannot read is no reply, and the query's own reply is taken.
void tst_LinkOnClock::strayLineDuringAQuery_data() {
    QTest::addColumn<bool>("fast");
    QTest::newRow("classic cycle") << false;
    QTest::newRow("fast readings") << true;
}

void tst_LinkOnClock::strayLineDuringAQuery() {
    QFETCH(bool, fast);
    ClockedLink c(sim::Model::B, fastSetup());
    QVERIFY(c.linked());
    QVERIFY(fast ? fastOn(c) : outputOn(c));
    Readings readings(c.client);
    int strays = 0;
    c.line.onFrame = [&](const sim::Exchange& e) {
        if ((e.command == "VOUT1?" || e.command == "IOUT2?") && strays < 4) {
            ++strays;
            c.line.sendUnasked("99.999\n\r");
        }
    };
    c.line.setLineModel({0, 5ms, {}, {}});  // the real reply comes after the stray
    c.advance(fast ? 3s : 20s);
    QCOMPARE(strays, 4);
    QVERIFY(readings.count >= 8);
    QVERIFY2(readings.wrong.isEmpty(), qPrintable(readings.wrong.join(QLatin1String(", "))));
    QVERIFY(c.link.unsolicitedBytes() >= 4 * 8);
}

// Twenty commands on and off in a burst, then off: the output ends off,
// long before twenty switchings would have taken.
void tst_LinkOnClock::outputBurstEndsAsTheLastCommand() {
    ClockedLink c;
    QVERIFY(c.linked());
    for (int i = 0; i < 20; ++i) {
        c.client.setOutput(true);
        c.client.setOutput(false);
    }
    c.client.setOutput(true);
    c.advance(10ms);
    c.client.setOutput(false);  // the operator's OFF, last
    QCOMPARE(c.client.output().target, OutputState::Off);
    const LinkTime pressed = c.now();
    QVERIFY(c.advanceUntil([&] { return c.client.idle(); }, 30s));
    QCOMPARE(c.client.output().state, OutputState::Off);
    QVERIFY(!c.line.instrument().output());
    QVERIFY2(test::msSince(pressed, c.now()) < 2000,
             qPrintable(QString::number(test::msSince(pressed, c.now()))));
    // At most one switching on and one off after the link's own OUT0.
    QVERIFY(c.frames().count(QStringLiteral("OUT1")) <= 1);
}

// An armed floor on channel 1 and a load step that drags it below: the link
// reads fast although fast readings are off, OUT0 goes out within a few
// exchanges of the step, and the output stays off until the trip is cleared.
void tst_LinkOnClock::guardTripsOnALoadStepAndLatches() {
    ClockedLink c(sim::Model::B, fastSetup());
    c.line.setLineModel(sim::LineModel());
    QVERIFY(c.linked());
    c.line.setEndAtCarriageReturn(true);  // as the window has it whenever the schedule is fast
    c.client.setGuard(1, GuardLimit::UnderVoltage, {true, 8.0, 0ms});
    const auto guardedOn = [&] {
        c.client.setOutput(true);
        return c.advanceUntil(
            [&] { return c.client.idle() && c.client.mode() == LinkMode::FastReadings; });
    };
    QVERIFY(guardedOn());
    c.advance(3s);  // 10 V, 1 A: above the floor
    QVERIFY(!c.client.trip());

    QSignalSpy tripped(&c.client, &LinkClient::guardTripped);
    const int offsBefore = int(c.frames().count(QStringLiteral("OUT0")));
    c.advance(std::chrono::milliseconds(QRandomGenerator::global()->bounded(100)));
    const LinkTime step = c.now();
    c.line.instrument().setLoad(1, 5.0);  // held at 1 A: 5 V
    QVERIFY(
        c.advanceUntil([&] { return c.frames().count(QStringLiteral("OUT0")) > offsBefore; }, 5s));
    const qint64 ms = test::msSince(step, c.now());
    QVERIFY2(ms < 250, qPrintable(QString::number(ms)));
    QVERIFY(!c.line.instrument().output());
    QVERIFY(c.advanceUntil([&] { return c.client.idle(); }));
    QCOMPARE(tripped.count(), 1);
    QVERIFY(c.client.trip());
    QCOMPARE(c.client.trip()->limit, GuardLimit::UnderVoltage);
    QCOMPARE(c.client.trip()->reading, 5.0);
    QCOMPARE(c.client.output().state, OutputState::Off);

    // Latched: "on" is refused and nothing goes out.
    c.line.instrument().setLoad(1, 10.0);
    const int ons = int(c.frames().count(QStringLiteral("OUT1")));
    std::optional<bool> took;
    c.client.setOutput(true, [&](bool ok) { took = ok; });
    QVERIFY(c.advanceUntil([&] { return took.has_value(); }));
    QVERIFY(!*took);
    c.advance(2s);
    QCOMPARE(int(c.frames().count(QStringLiteral("OUT1"))), ons);
    QVERIFY(!c.line.instrument().output());

    c.client.clearTrip();
    QVERIFY(c.advanceUntil([&] { return !c.client.trip(); }));
    QVERIFY(guardedOn());
    c.advance(1s);
    QVERIFY(c.line.instrument().output());
    QCOMPARE(tripped.count(), 1);
}

// A burst of dropped replies, then a clean line: the link keeps going, and
// the learned pause comes back down instead of staying at its longest.
void tst_LinkOnClock::fastReadingsRecoverAfterDrops() {
    ClockedLink c(sim::Model::B, fastSetup());
    c.line.setLineModel(sim::LineModel());
    QVERIFY(c.linked());
    QVERIFY(fastOn(c));
    c.advance(10s);
    const int learned = c.client.fastStats().gapMs;
    c.line.setSilent(true);
    c.advance(800ms);  // a few misses in under a second: no give-up
    c.line.setSilent(false);
    c.advance(1s);
    QCOMPARE(c.client.mode(), LinkMode::FastReadings);
    QVERIFY(c.client.fastStats().misses >= 2);
    c.advance(40s);
    QCOMPARE(c.client.mode(), LinkMode::FastReadings);
    QVERIFY2(c.client.fastStats().gapMs <= std::max(2 * learned, learned + 10),
             qPrintable(QStringLiteral("%1 ms against %2 ms before the drops")
                            .arg(c.client.fastStats().gapMs)
                            .arg(learned)));
    QVERIFY(c.client.fastStats().readingsPerSecond > 10);
}

// One value no longer answered, the others still: a measurement of it
// never returns its last old reading.
void tst_LinkOnClock::measureWaitsForAFreshReading() {
    ClockedLink c(sim::Model::B, fastSetup());
    QVERIFY(c.linked());
    QVERIFY(fastOn(c));
    c.advance(2s);
    c.line.onFrame = [&](const sim::Exchange& e) {
        if (e.command == "VOUT1?") c.line.injectFault(sim::Fault::silence());
    };
    c.advance(500ms);
    std::optional<std::optional<double>> voltage, current;
    c.client.measure(1, Quantity::Voltage, [&](std::optional<double> v) { voltage = v; });
    c.client.measure(1, Quantity::Current, [&](std::optional<double> v) { current = v; });
    QVERIFY(c.advanceUntil([&] { return voltage && current; }, 10s));
    QVERIFY(!voltage->has_value());
    QCOMPARE(current->value_or(-1), 1.0);
}

QTEST_MAIN(tst_LinkOnClock)
#include "tst_link_on_clock.moc"
