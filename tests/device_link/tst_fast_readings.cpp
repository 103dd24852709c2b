// Fast readings end to end: the real window and serial component against the
// simulated instrument, switched on from the Interface menu.
#include "control_panel/messages_box.h"
#include "named.h"
#include "sim_program.h"

#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>

#include <array>
#include <cmath>
#include <memory>
#include <random>

using namespace lqs;
using namespace std::chrono_literals;
using test::enter;
using test::frames;

namespace {
// Fast readings are about the line: its own time, and the link's pauses a
// quarter. The time-out's countdown is shorter still: no case is about its pace.
struct Fixture : test::SimProgram {
    Fixture() : test::SimProgram(sim::Model::B, 4) {
        sim.setLineModel(sim::LineModel());
        timings.countdownStepMs = 5;
        form->linkClient()->setTimings(timings);
    }
};
const QStringList kMeasured{"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?"};

QLabel* panel(Fixture& f, const char* name) {
    return f.form->findChild<QLabel*>(QLatin1String(name));
}

// The frames after the nth.
QStringList framesFrom(const Fixture& f, qsizetype n) {
    return frames(f.sim).mid(n);
}

// Fast readings at their pace: two rounds of the measured values after the
// nth frame, leaving out the one after it (a query handed over before a
// schedule began may still arrive).
bool fastFrom(const Fixture& f, qsizetype n) {
    return QTest::qWaitFor(
        [&] { return framesFrom(f, n + 1).count(QStringLiteral("IOUT2?")) >= 2; }, 15000);
}

// Links to an instrument whose output is on, with fast readings chosen first.
bool fastRunning(Fixture& f) {
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    test::action(f.form, "FastReadings1")->trigger();
    f.linkStart();
    return fastFrom(f, qsizetype(test::kStartupQueries.size()));
}

// Fast readings off and on again: a fresh schedule that learns its pause
// anew, its frames after the index returned. The line changes while off,
// before the cycle's first query.
qsizetype startAfresh(Fixture& f, const sim::LineModel& line = {},
                      const FastPollTimings& timings = {}) {
    QAction* const fast = test::action(f.form, "FastReadings1");
    fast->trigger();
    f.sim.setLineModel(line);
    f.form->link->setFastTimings(timings);
    const qsizetype from = frames(f.sim).size();
    fast->trigger();
    return from;
}
}  // namespace

class tst_FastReadings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void cleanupTestCase() { m_p.reset(); }
    void readsAtTheLinesSpeed();
    void setPointWithinOneExchange();
    void setPointNotTakenIsSaid();
    void missedReplyAskedAgainOnce();
    void spacedInstrumentLosesNoSetPoint();
    void offReturnsToTheCycle();
    void outputOffAtTheNextGap();
    void silentInstrumentTakesTheUsualPath();

private:
    // One linked program for the cases, made when the first needs it. Each
    // leaves fast readings at their pace on the plain line with the output
    // on; one that fails, or ends the link, leaves it to be made anew.
    std::unique_ptr<Fixture> m_p;
};

void tst_FastReadings::init() {
    if (m_p) return;
    m_p = std::make_unique<Fixture>();
    // Off at every start; chosen before the link.
    const bool offAtStart = !test::action(m_p->form, "FastReadings1")->isChecked();
    const bool running = fastRunning(*m_p);
    if (!offAtStart || !running) m_p.reset();
    QVERIFY(offAtStart);
    QVERIFY(running);
}

void tst_FastReadings::cleanup() {
    if (QTest::currentTestFailed() ||
        (m_p && (m_p->form->windows().Messages->isVisible() || !m_p->boxes.seen.isEmpty())))
        m_p.reset();
}

// The measured values in turn, the status every second, the rate in the link panel.
void tst_FastReadings::readsAtTheLinesSpeed() {
    Fixture& f = *m_p;
    const qsizetype from = frames(f.sim).size();
    QTest::qWait(2500);  // a stretch to count in: nothing to wait for
    const QStringList run = framesFrom(f, from);
    QStringList measured;
    for (const QString& q : run)
        if (kMeasured.contains(q)) measured << q;
    QVERIFY2(measured.size() >= 20, qPrintable(run.join(QLatin1Char(' '))));
    for (qsizetype i = 1; i < measured.size(); ++i)
        QCOMPARE(kMeasured.indexOf(measured[i]), (kMeasured.indexOf(measured[i - 1]) + 1) % 4);
    QVERIFY(run.count(QStringLiteral("STATUS?")) >= 2);
    QVERIFY(run.count(QStringLiteral("STATUS?")) <= 4);
    const QRegularExpression health(
        QStringLiteral("^Linked: .+ \u2014 \\d+\\.\\d readings/s, \\d+ ms per reply(; .+)?$"));
    QVERIFY2(health.match(panel(f, "LinkPanel")->text()).hasMatch(),
             qPrintable(panel(f, "LinkPanel")->text()));
    QVERIFY(f.form->link->fastStats().readingsPerSecond > 8);
    QVERIFY(!test::field(f.form, "Edit1")->text().isEmpty());
    QCOMPARE(test::wireFlags(f.sim), QString());
    QVERIFY(f.boxes.seen.isEmpty());
}

// Confirmed at random moments, each set point goes out ahead of the next
// query and is read back right after.
void tst_FastReadings::setPointWithinOneExchange() {
    Fixture& f = *m_p;
    std::mt19937 rng(QRandomGenerator::global()->generate());
    std::uniform_int_distribution<int> wait(0, 60);
    for (int n = 0; n < 12; ++n) {
        QTest::qWait(wait(rng));
        const QString text = QStringLiteral("%1.5").arg(2 + n);
        const qsizetype before = frames(f.sim).size();
        enter(test::field(f.form, "Edit5"), text);
        const QString command = QStringLiteral("VSET1:") + text;
        QTRY_VERIFY_WITH_TIMEOUT(framesFrom(f, before).contains(command), 2000);
        const QStringList after = framesFrom(f, before);
        const qsizetype at = after.indexOf(command);
        QVERIFY2(at <= 1,
                 qPrintable(after.join(QLatin1Char(' '))));  // at most the query already under way
        QTRY_VERIFY(framesFrom(f, before).size() > at + 1);
        QCOMPARE(framesFrom(f, before).at(at + 1), QStringLiteral("VSET1?"));
    }
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.settings().vset1; }), 13.5);
    QTRY_COMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("13.50"));
    QCOMPARE(test::wireFlags(f.sim), QString());
}

// An instrument that keeps another value: sent once more, then the field
// shows what it holds, and the second panel says so.
void tst_FastReadings::setPointNotTakenIsSaid() {
    Fixture& f = *m_p;
    sim::PtyEndpoint* const sim = &f.sim;
    test::Observing observing(*sim, [sim](const sim::Exchange& e) {
        if (e.command.rfind("VSET1:", 0) == 0)
            sim->withInstrument([](sim::Instrument& i) { i.setVoltageSet(1, 12.0); });
    });
    const qsizetype before = frames(f.sim).size();
    enter(test::field(f.form, "Edit5"), QStringLiteral("7.5"));
    QTRY_COMPARE(panel(f, "StatusPanel2")->text(), QStringLiteral("CH1 V is 12.00"));
    QCOMPARE(framesFrom(f, before).count(QStringLiteral("VSET1:7.5")), 2);
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("12.00"));
    QVERIFY(panel(f, "StatusPanel2")->toolTip().contains(QStringLiteral("not 7.5")));
    observing.stop();
    enter(test::field(f.form, "Edit5"), QStringLiteral("8"));
    QTRY_COMPARE(panel(f, "StatusPanel2")->text(), QString());
    QTRY_COMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("8.00"));
}

// A query with no answer is asked once more, after a pause twice as long.
void tst_FastReadings::missedReplyAskedAgainOnce() {
    Fixture& f = *m_p;
    FastPollTimings timings;
    timings.cleanRunToShrink = 1 << 30;  // the pause stays where it starts until the miss
    // A slow machine (ThreadSanitizer) must not miss a reply that comes.
    timings.shortestDeadline = std::chrono::milliseconds(400);
    QVERIFY(fastFrom(f, startAfresh(f, sim::LineModel(), timings)));
    const int gapBefore = int(timings.firstGap.count());
    const int missesBefore = f.form->link->fastStats().misses;
    const qsizetype before = frames(f.sim).size();
    f.sim.injectFault(sim::Fault::silence());
    QTRY_VERIFY(f.form->link->fastStats().misses == missesBefore + 1);
    QTRY_VERIFY(framesFrom(f, before).size() > 6);
    const QStringList after = framesFrom(f, before);
    qsizetype twice = -1;
    for (qsizetype i = 1; i < after.size(); ++i)
        if (after[i] == after[i - 1]) twice = i;
    QVERIFY2(twice > 0, qPrintable(after.join(QLatin1Char(' '))));
    QVERIFY(after.mid(twice + 1).indexOf(after[twice]) != 0);  // not a third time
    QCOMPARE(f.form->link->fastStats().gapMs, 2 * gapBefore);
    QVERIFY2(panel(f, "LinkPanel")->text().contains(QStringLiteral("unanswered")),
             qPrintable(panel(f, "LinkPanel")->text()));
    QVERIFY(f.boxes.seen.isEmpty());
    QCOMPARE(f.form->windows().Messages->isVisible(), false);
    QVERIFY(fastFrom(f, startAfresh(f)));
}

// Firmware that drops a command coming within 50 ms of its last reply: the
// pause is learned from missed queries, and of 60 set points typed at
// random moments none is dropped; the instrument ends holding the last of each.
void tst_FastReadings::spacedInstrumentLosesNoSetPoint() {
    Fixture& f = *m_p;
    sim::LineModel line = f.sim.lineModel();
    line.minSpacing = 50ms;
    const int missesBefore = f.form->link->fastStats().misses;
    const auto ignoredBefore = qsizetype(f.sim.ignoredFrames().size());
    QVERIFY(fastFrom(f, startAfresh(f, line)));
    const auto ignored = [&] {
        QStringList out;
        const std::vector<std::string> all = f.sim.ignoredFrames();
        for (std::size_t i = std::size_t(ignoredBefore); i < all.size(); ++i)
            out << QString::fromStdString(all[i]);
        return out;
    };
    std::mt19937 rng(QRandomGenerator::global()->generate());
    QLineEdit* const fields[] = {test::field(f.form, "Edit5"), test::field(f.form, "Edit6"),
                                 test::field(f.form, "Edit7"), test::field(f.form, "Edit8")};
    std::array<double, 4> last{};
    QStringList notes;
    QObject listener;
    QObject::connect(f.form->linkClient(), &LinkClient::setPointNotHeld, &listener,
                     [&](int channel, Quantity q, const QString& holds, const QString&) {
                         if (!holds.isEmpty())
                             notes << QStringLiteral("CH%1 %2 holds %3")
                                          .arg(channel)
                                          .arg(q == Quantity::Voltage ? 'V' : 'A')
                                          .arg(holds);
                     });
    for (int n = 0; n < 60; ++n) {
        QTest::qWait(std::uniform_int_distribution<int>(0, 120)(rng));
        const int k = std::uniform_int_distribution<int>(0, 3)(rng);
        const int hundredths = std::uniform_int_distribution<int>(0, k % 2 ? 300 : 3000)(rng);
        enter(fields[k], QString::number(hundredths / 100.0, 'f', 2));
        last[std::size_t(k)] = hundredths / 100.0;
    }
    QTRY_COMPARE_WITH_TIMEOUT(f.form->link->state().SetPointDeferred, std::uint8_t(0), 5000);
    const auto holds = [&] {
        const sim::Settings h =
            f.sim.withInstrument([](sim::Instrument& i) { return i.settings(); });
        const std::array<double, 4> own{h.vset1, h.iset1, h.vset2, h.iset2};
        for (std::size_t i = 0; i < 4; ++i)
            if (std::abs(own[i] - last[i]) >= 0.005) return false;
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(holds(), 3000);
    QStringList droppedSetPoints;
    for (const QString& frame : ignored())
        if (frame.contains(QLatin1Char(':'))) droppedSetPoints << frame;
    QVERIFY2(droppedSetPoints.isEmpty(), qPrintable(droppedSetPoints.join(QLatin1Char(' '))));
    QVERIFY2(notes.isEmpty(), qPrintable(notes.join(QLatin1Char(' '))));
    // Learned from misses, and settled: three seconds come without one.
    QVERIFY(f.form->link->fastStats().misses > missesBefore);
    qsizetype seen = ignored().size();
    auto quietSince = std::chrono::steady_clock::now();
    const bool settled = QTest::qWaitFor(
        [&] {
            const auto now = std::chrono::steady_clock::now();
            if (const qsizetype n = ignored().size(); n != seen) {
                seen = n;
                quietSince = now;
            }
            return now - quietSince >= 3s;
        },
        25000);
    QVERIFY2(settled, qPrintable(ignored().join(QLatin1Char(' '))));
    QVERIFY(f.form->link->fastStats().readingsPerSecond > 5);
    QVERIFY(f.boxes.seen.isEmpty());
    QVERIFY(fastFrom(f, startAfresh(f)));
}

// Switched off mid-run: the nine-query cycle again, at its pace, with no
// fast query among its frames.
void tst_FastReadings::offReturnsToTheCycle() {
    Fixture& f = *m_p;
    // The cycle at a sixth of its pace: its start still well apart from a
    // fast gap, and three times a reply's time between two of its queries.
    LinkTimings t = f.timings;
    t.pollStartMs = LinkTimings().scaled(6).pollStartMs;
    t.pollPasses = LinkTimings().scaled(6).pollPasses;
    f.form->linkClient()->setTimings(t);
    std::mt19937 rng(QRandomGenerator::global()->generate());
    QTest::qWait(std::uniform_int_distribution<int>(0, 100)(rng));
    test::action(f.form, "FastReadings1")->trigger();
    const auto at = std::chrono::steady_clock::now();
    // Counted on the wire: an earlier case's frames the instrument ignored are there too.
    const std::size_t clicked = f.sim.wireFrames().size();
    // A query handed over as the menu was clicked may still arrive; the next is the cycle's.
    const auto cycleFrom = [&] {
        const auto times = f.sim.wireTimes();
        std::size_t i = clicked;
        while (i < times.size() && times[i] - at < 50ms) ++i;
        return i;
    };
    const auto wireFrom = [&](std::size_t n) {
        QStringList out;
        const std::vector<std::string> wire = f.sim.wireFrames();
        for (std::size_t i = n; i < wire.size(); ++i)
            out << QString::fromStdString(wire[i]).chopped(2);
        return out;
    };
    const QStringList cycle = test::kPollQueries;
    QTRY_VERIFY_WITH_TIMEOUT(wireFrom(cycleFrom()).size() >= cycle.size() + 4, 15000);
    const std::size_t before = cycleFrom();
    const auto start = std::chrono::milliseconds(t.pollStartMs + t.pollPasses * t.passMs - 5);
    QVERIFY(f.sim.wireTimes()[before] - at >= start);  // the cycle's own start, not the next gap
    QCOMPARE(wireFrom(before).mid(0, cycle.size() + 4), cycle + cycle.mid(0, 4));
    QVERIFY(!panel(f, "LinkPanel")->text().contains(QStringLiteral("readings/s")));
    QCOMPARE(test::wireFlags(f.sim), QString());
    const qsizetype on = frames(f.sim).size();
    test::action(f.form, "FastReadings1")->trigger();
    QVERIFY(fastFrom(f, on));
    f.form->linkClient()->setTimings(f.timings);  // the cycle no longer reads them
}

// At the instrument's own pace the output goes off within a reply's
// deadline and a gap of the press, not after the half second the nine-query
// cycle needs to let its last reply come.
void tst_FastReadings::outputOffAtTheNextGap() {
    Fixture& f = *m_p;
    f.form->linkClient()->setTimings(LinkTimings());
    QTest::qWait(std::uniform_int_distribution<int>(0, 60)(*QRandomGenerator::global()));
    const auto pressed = std::chrono::steady_clock::now();
    QPushButton* const output = test::onMain<QPushButton>(f.form, "BitBtn4");
    QTest::mouseClick(output, Qt::LeftButton);
    QTRY_VERIFY(frames(f.sim).contains(QStringLiteral("OUT0")));
    const auto wire = f.sim.wireFrames();
    const auto at = f.sim.wireTimes()[std::size_t(std::find(wire.begin(), wire.end(), "OUT0\r\n") -
                                                  wire.begin())];
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(at - pressed).count();
    QVERIFY2(took < 400, qPrintable(QString::number(took)));
    QTRY_COMPARE(output->text(), QStringLiteral("OFF"));
    QTest::qWait(300);  // no query may follow: nothing to wait for
    QCOMPARE(frames(f.sim).last(), QStringLiteral("OUT0"));
    QCOMPARE(test::wireFlags(f.sim), QString());
    f.form->linkClient()->setTimings(f.timings);
    const qsizetype on = frames(f.sim).size();
    QTest::mouseClick(output, Qt::LeftButton);
    QVERIFY(fastFrom(f, on));
}

// No reply for the whole miss budget: the link panel says so, and what a
// missing reply leads to without fast readings follows: the countdown, then
// the time-out box.
void tst_FastReadings::silentInstrumentTakesTheUsualPath() {
    Fixture& f = *m_p;
    const int before = f.form->link->fastStats().misses;
    f.sim.setSilent(true);
    QTRY_VERIFY_WITH_TIMEOUT(f.form->windows().Messages->isVisible(), 15000);
    QVERIFY2(panel(f, "LinkPanel")->text().contains(QStringLiteral("; no reply for ")),
             qPrintable(panel(f, "LinkPanel")->text()));
    QVERIFY(f.form->link->fastStats().misses - before >= 3);
    QVERIFY(!f.form->frameEnabled());
}

QTEST_MAIN(tst_FastReadings)
#include "tst_fast_readings.moc"
