// The link's clock and its sequences: timers in order at their own moments,
// sequences that read top to bottom and stop at any wait.
#include "device_link/scheduler.h"
#include "device_link/sequence.h"

#include <QtTest>

#include <stdexcept>

using namespace lqs;
using namespace std::chrono_literals;

namespace {

// Tells when the frame that holds it goes.
struct Marker {
    explicit Marker(bool& gone) : m_gone(gone) {}
    ~Marker() { m_gone = true; }
    bool& m_gone;
};

Sequence steps(Scheduler& s, QStringList& log, bool& gone) {
    Marker m(gone);
    log << QStringLiteral("start %1").arg((s.now() - LinkTime(1h)) / 1ms);
    co_await Until(s.now() + 100ms);
    log << QStringLiteral("after 100 %1").arg((s.now() - LinkTime(1h)) / 1ms);
    co_await Until(s.now() + 50ms);
    log << QStringLiteral("after 150 %1").arg((s.now() - LinkTime(1h)) / 1ms);
}

Task<int> twice(Scheduler& s, int x) {
    co_await Until(s.now() + 10ms);
    if (x < 0) throw std::runtime_error("negative");
    co_return 2 * x;
}

Sequence useTwice(Scheduler& s, QStringList& log) {
    const int a = co_await twice(s, 21);
    log << QString::number(a);
    try {
        co_await twice(s, -1);
    } catch (const std::runtime_error& e) {
        log << QString::fromLatin1(e.what());
    }
    log << QStringLiteral("at %1").arg((s.now() - LinkTime(1h)) / 1ms);
}

}  // namespace

class tst_Scheduler : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void timersInOrderAtTheirMoments();
    void postedFromATimerWaitsForTheNextTurn();
    void sequenceWaitsOnTheClock();
    void childSequencesGiveValuesAndErrors();
    void stopAtAWaitDestroysItsTimers_data();
    void stopAtAWaitDestroysItsTimers();
    void signalWaitsOrTimesOut();
    void steadyTimersFireFromTheEventLoop();
};

void tst_Scheduler::timersInOrderAtTheirMoments() {
    Scheduler s(Scheduler::Kind::Driven);
    const LinkTime t0 = s.now();
    QStringList log;
    const auto note = [&](const char* what) {
        return [&, what] {
            log << QStringLiteral("%1@%2").arg(QLatin1String(what)).arg((s.now() - t0) / 1ms);
        };
    };
    s.after(30ms, note("c"));
    s.after(10ms, note("a"));
    const auto gone = s.after(20ms, note("never"));
    s.after(10ms, note("b"));  // same moment: in the order set
    s.after(15ms, [&] { s.cancel(gone); });
    s.advanceBy(25ms);
    QCOMPARE(log, QStringList({"a@10", "b@10"}));
    QCOMPARE((s.now() - t0) / 1ms, 25);
    s.advanceBy(100ms);
    QCOMPARE(log, QStringList({"a@10", "b@10", "c@30"}));
    QVERIFY(!s.nextDeadline());
}

void tst_Scheduler::postedFromATimerWaitsForTheNextTurn() {
    Scheduler s(Scheduler::Kind::Driven);
    QStringList log;
    s.post([&] {
        log << QStringLiteral("first");
        s.post([&] { log << QStringLiteral("second"); });
    });
    int turns = 0;
    s.runUntil(s.now(), [&] { log << QStringLiteral("turn %1").arg(turns++); });
    QCOMPARE(log, QStringList({"turn 0", "first", "turn 1", "second", "turn 2"}));
}

void tst_Scheduler::sequenceWaitsOnTheClock() {
    Scheduler s(Scheduler::Kind::Driven);
    QStringList log;
    bool gone = false;
    bool ended = false;
    auto run = Run::start(s, steps(s, log, gone), [&] { ended = true; });
    QCOMPARE(log, QStringList({"start 0"}));  // runs now, up to its first wait
    s.advanceBy(99ms);
    QCOMPARE(log.size(), 1);
    s.advanceBy(1ms);
    QCOMPARE(log.last(), QStringLiteral("after 100 100"));
    s.advanceBy(1s);
    QCOMPARE(log.last(), QStringLiteral("after 150 150"));
    QVERIFY(run->finished());
    QVERIFY(gone);
    QVERIFY(ended);
}

void tst_Scheduler::childSequencesGiveValuesAndErrors() {
    Scheduler s(Scheduler::Kind::Driven);
    QStringList log;
    auto run = Run::start(s, useTwice(s, log));
    s.advanceBy(1s);
    QCOMPARE(log, QStringList({"42", "negative", "at 20"}));
    QVERIFY(run->finished());
}

void tst_Scheduler::stopAtAWaitDestroysItsTimers_data() {
    QTest::addColumn<bool>("fromInside");
    QTest::newRow("stopped by another") << false;
    QTest::newRow("stops itself, ends at its next wait") << true;
}

void tst_Scheduler::stopAtAWaitDestroysItsTimers() {
    QFETCH(bool, fromInside);
    Scheduler s(Scheduler::Kind::Driven);
    QStringList log;
    bool gone = false;
    std::unique_ptr<Run> run = Run::start(s, steps(s, log, gone));
    if (fromInside) {
        // The timer that resumes it stops it first: the rest after the wait never runs.
        s.after(100ms, [&] { run->stop(); });
    } else {
        s.advanceBy(50ms);
        run->stop();
        QVERIFY(gone);
    }
    s.advanceBy(1s);
    QVERIFY(gone);
    QVERIFY(run->finished());
    QCOMPARE(log.size(), fromInside ? 2 : 1);
    QVERIFY(!s.nextDeadline());
}

void tst_Scheduler::signalWaitsOrTimesOut() {
    Scheduler s(Scheduler::Kind::Driven);
    Signal signal(s);
    QStringList log;
    const auto waiter = [](Scheduler& sc, Signal& sig, QStringList& out) -> Sequence {
        const bool first = co_await sig.wait(sc.now() + 100ms);
        out << QStringLiteral("%1 at %2").arg(first).arg((sc.now() - LinkTime(1h)) / 1ms);
        const bool second = co_await sig.wait(sc.now() + 100ms);
        out << QStringLiteral("%1 at %2").arg(second).arg((sc.now() - LinkTime(1h)) / 1ms);
    };
    auto run = Run::start(s, waiter(s, signal, log));
    s.after(30ms, [&] { signal.notify(); });
    s.advanceBy(1s);
    QCOMPARE(log, QStringList({"1 at 30", "0 at 130"}));
}

void tst_Scheduler::steadyTimersFireFromTheEventLoop() {
    Scheduler s;
    const LinkTime start = s.now();
    LinkTime fired;
    s.after(20ms, [&] { fired = s.now(); });
    QTRY_VERIFY(fired != LinkTime());
    QVERIFY(fired - start >= 20ms);
}

QTEST_GUILESS_MAIN(tst_Scheduler)
#include "tst_scheduler.moc"
