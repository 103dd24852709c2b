// Fast readings end to end on a clock the test drives: the real window, its
// link and the simulated instrument at the line's own pace (9600 baud, 10 ms
// to answer), the replies cut at their CR as comm1 cuts them while fast
// readings are chosen. Every pace is exact, and a minute of the line takes
// no time.
#include "clocked_link.h"
#include "control_panel/messages_box.h"
#include "control_panel/querying_dialog.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

using namespace lqs;
using namespace std::chrono_literals;

namespace {

using Ms = std::chrono::milliseconds;

const QStringList kMeasured{"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?"};
const QStringList kSetPointQueries{"VSET1?", "ISET1?", "VSET2?", "ISET2?"};
const QStringList kCycle{"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "VSET1?",
                         "VSET2?", "ISET1?", "ISET2?", "STATUS?"};
const FastPollTimings kFast;  // the instrument's figures, as the program keeps them
const sim::LineModel kLine;   // 9600 baud, 10 ms to answer
// The line's silence that ends a reply, as the program keeps it.
const Ms kSilence{LinkSetup().silenceMs};

struct FastProgram : test::ClockedProgram {
    explicit FastProgram(const sim::LineModel& model = kLine) { line->setLineModel(model); }
    LinkTime now() { return link().scheduler().now(); }
    QLabel* panel(const char* name) { return form->findChild<QLabel*>(QLatin1String(name)); }
};

// Fast readings chosen or not from the Interface menu; the line cuts
// blocks as comm1 then does: at a reply's CR, or after the line's silence.
void chooseFast(FastProgram& p, bool on) {
    test::action(p.form, "FastReadings1")->setChecked(on);
    p.line->setEndAtCarriageReturn(on);
}

// Fast readings chosen before Link, on an instrument whose output is on: the
// link goes from its start-up query straight to them.
bool fastRunning(FastProgram& p) {
    p.line->instrument().setOutput(true);
    chooseFast(p, true);
    return p.linked() &&
           p.advanceUntil([&] { return p.client().mode() == LinkMode::FastReadings; });
}

// What went each way, with when: each frame as the link handed it to the
// line, and each block as the line handed it back.
struct Traffic {
    struct Frame {
        QString text;
        LinkTime at;
    };
    explicit Traffic(FastProgram& p) : m_p(p), m_firstBlock(p.line->blocks().size()) {
        p.link().FrameHandedOver = [this](const QString& command) {
            frames.push_back({command, m_p.now()});
        };
    }
    ~Traffic() { m_p.link().FrameHandedOver = nullptr; }
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;

    std::vector<Frame> frames;
    std::vector<sim::ClockedLine::Block> blocks() const {
        const auto& all = m_p.line->blocks();
        return {all.begin() + std::ptrdiff_t(m_firstBlock), all.end()};
    }
    QStringList texts(std::size_t from = 0) const {
        QStringList out;
        for (std::size_t i = from; i < frames.size(); ++i) out << frames[i].text;
        return out;
    }
    // The index of the first frame handed over at or after t.
    std::size_t firstAt(LinkTime t) const {
        std::size_t i = 0;
        while (i < frames.size() && frames[i].at < t) ++i;
        return i;
    }

private:
    FastProgram& m_p;
    std::size_t m_firstBlock;
};

qint64 ms(LinkDuration d) {
    return std::chrono::duration_cast<Ms>(d).count();
}
qint64 us(LinkDuration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

// Typed over the field's text and confirmed with Enter, as the operator does.
void enter(QLineEdit* field, const QString& text) {
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
}

QLineEdit* setPointField(FastProgram& p, int k) {
    static const char* const names[] = {"Edit5", "Edit6", "Edit7", "Edit8"};
    return test::field(p.form, names[k]);
}

// The instrument's set points in the order of the fields Edit5 .. Edit8.
std::array<double, 4> heldSetPoints(FastProgram& p) {
    const sim::Settings s = p.line->instrument().settings();
    return {s.vset1, s.iset1, s.vset2, s.iset2};
}

// Frames a strict line would reject: not ending in CR LF, or with a byte
// outside printable ASCII. Empty while the program behaves.
QStringList badFrames(const sim::ClockedLine& line) {
    QStringList out;
    for (const std::string& frame : line.wireFrames()) {
        if (frame.size() < 3 || frame.compare(frame.size() - 2, 2, "\r\n") != 0 ||
            !std::all_of(frame.begin(), frame.end() - 2,
                         [](char c) { return c >= 0x20 && c < 0x7f; }))
            out << QString::fromLatin1(QByteArray::fromStdString(frame).toPercentEncoding());
    }
    return out;
}

bool noBoxOpen(FastProgram& p) {
    return !QApplication::activeModalWidget() && !p.form->windows().Messages->isVisible();
}

}  // namespace

class tst_FastReadings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsAtTheLinesSpeed();
    void setPointWithinOneExchange();
    void setPointNotTakenIsSaid();
    void missedReplyAskedAgainOnce_data();
    void missedReplyAskedAgainOnce();
    void spacedInstrumentLosesNoSetPoint();
    void offReturnsToTheCycle_data();
    void offReturnsToTheCycle();
    void outputOffAtTheNextGap_data();
    void outputOffAtTheNextGap();
    void silentInstrumentTakesTheUsualPath();
};

// A minute of fast readings once the pause is learned: the measured values
// in turn, the status once a second and the set points once every ten; each
// query the shortest pause after the reply before it, none missed; the rate
// shown is the one the line carried, at least 0.8 of what the line allows.
void tst_FastReadings::readsAtTheLinesSpeed() {
    FastProgram p;
    QVERIFY(!test::action(p.form, "FastReadings1")->isChecked());  // off at every start
    QVERIFY(fastRunning(p));
    p.advance(10s);  // the pause learned
    QCOMPARE(p.client().fastStats().gapMs, int(kFast.shortestGap.count()));
    const int missesBefore = p.client().fastStats().misses;

    Traffic traffic(p);
    std::vector<LinkTime> readings;
    std::vector<std::pair<LinkTime, FastStats>> published;
    QObject context;
    QObject::connect(&p.link(), &DeviceLink::readingTaken, &context,
                     [&](const Reading& r) { readings.push_back(r.at); });
    QObject::connect(&p.link(), &DeviceLink::fastStatsChanged, &context,
                     [&](const FastStats& s) { published.emplace_back(p.now(), s); });
    p.advance(60s);

    const auto& frames = traffic.frames;
    const auto blocks = traffic.blocks();
    QVERIFY(frames.size() > 60 * 30);
    QStringList measured;
    std::vector<LinkTime> statusAt, roundAt;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const QString& q = frames[i].text;
        if (kMeasured.contains(q)) measured << q;
        if (q == QLatin1String("STATUS?")) statusAt.push_back(frames[i].at);
        if (q == QLatin1String("VSET1?")) {
            roundAt.push_back(frames[i].at);
            // A round of the four, only the status between them.
            QStringList round = traffic.texts(i).mid(0, 5);
            round.removeAll(QStringLiteral("STATUS?"));
            QCOMPARE(round.mid(0, 4), kSetPointQueries);
        }
    }
    for (qsizetype i = 1; i < measured.size(); ++i)
        QCOMPARE(kMeasured.indexOf(measured[i]), (kMeasured.indexOf(measured[i - 1]) + 1) % 4);
    // Due once its period is over, asked at the next query: an exchange late at most.
    for (std::size_t i = 1; i < statusAt.size(); ++i) {
        const qint64 apart = ms(statusAt[i] - statusAt[i - 1]);
        QVERIFY2(apart >= 1000 && apart <= 1040, qPrintable(QString::number(apart)));
    }
    QVERIFY(statusAt.size() >= 57);
    QCOMPARE(roundAt.size(), std::size_t(6));
    for (std::size_t i = 1; i < roundAt.size(); ++i) {
        const qint64 apart = ms(roundAt[i] - roundAt[i - 1]);
        QVERIFY2(apart >= 10000 && apart <= 10040, qPrintable(QString::number(apart)));
    }

    // One reply to each query, and the next query the learned pause after it.
    std::size_t b = 0;
    qint64 shortestReplyUs = 1'000'000, longestReplyUs = 0;
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        while (b < blocks.size() && blocks[b].at < frames[i].at) ++b;
        QVERIFY2(b < blocks.size() && blocks[b].at < frames[i + 1].at,
                 qPrintable(QStringLiteral("no reply to %1").arg(frames[i].text)));
        QVERIFY(b + 1 >= blocks.size() || blocks[b + 1].at >= frames[i + 1].at);
        const qint64 pauseUs = us(frames[i + 1].at - blocks[b].at);
        QVERIFY2(
            pauseUs == 1000 * kFast.shortestGap.count(),
            qPrintable(
                QStringLiteral("%1 us after the reply to %2").arg(pauseUs).arg(frames[i].text)));
        shortestReplyUs = std::min(shortestReplyUs, us(blocks[b].at - frames[i].at));
        longestReplyUs = std::max(longestReplyUs, us(blocks[b].at - frames[i].at));
    }
    QCOMPARE(p.client().fastStats().misses, missesBefore);

    // Each second's figure is the readings that came in it.
    const double byteMs = std::chrono::duration<double, std::milli>(kLine.byteTime()).count();
    const double limit = 1000.0 / (15 * byteMs + double(kLine.answer.count()));
    QVERIFY(published.size() >= 55);
    for (std::size_t k = 1; k < published.size(); ++k) {
        const auto [from, ignored] = published[k - 1];
        const auto [to, stats] = published[k];
        const auto n = std::count_if(readings.begin(), readings.end(),
                                     [&](LinkTime t) { return t > from && t <= to; });
        const double seconds = std::chrono::duration<double>(to - from).count();
        QVERIFY2(std::abs(stats.readingsPerSecond - double(n) / seconds) < 1e-9,
                 qPrintable(QStringLiteral("%1 readings/s shown, %2 in %3 s")
                                .arg(stats.readingsPerSecond)
                                .arg(n)
                                .arg(seconds)));
        QVERIFY2(stats.readingsPerSecond >= 0.8 * limit,
                 qPrintable(QStringLiteral("%1 readings/s where the line allows %2")
                                .arg(stats.readingsPerSecond)
                                .arg(limit)));
        QVERIFY(stats.replyMs * 1000 >= double(shortestReplyUs) &&
                stats.replyMs * 1000 <= double(longestReplyUs));
    }

    // The link panel says the last second's figures.
    const FastStats last = published.back().second;
    const QString text = p.panel("LinkPanel")->text();
    const QRegularExpression health(
        QStringLiteral("^Linked: .+ \u2014 (\\d+\\.\\d) readings/s, (\\d+) ms per reply$"));
    const QRegularExpressionMatch m = health.match(text);
    QVERIFY2(m.hasMatch(), qPrintable(text));
    QCOMPARE(m.captured(1), QString::number(last.readingsPerSecond, 'f', 1));
    QCOMPARE(m.captured(2).toInt(), qRound(last.replyMs));
    QCOMPARE(p.form->readingTexts(), (QStringList{"10.00", "1.00", "5.00", "0.25"}));
    QCOMPARE(badFrames(*p.line), QStringList());
    QVERIFY(noBoxOpen(p));
}

// Confirmed at moments spread over an exchange, each set point goes out
// ahead of the next query (the one under way may still come first) and is
// read back right after; the field shows what the instrument then holds.
void tst_FastReadings::setPointWithinOneExchange() {
    FastProgram p;
    QVERIFY(fastRunning(p));
    p.advance(10s);
    Traffic traffic(p);
    for (int n = 0; n < 40; ++n) {
        p.advance(Ms(7 + n % 29));  // every phase of an exchange, in turn
        const int k = n % 4;
        const QString text = k % 2 == 0 ? QStringLiteral("%1.5").arg(2 + n % 20)
                                        : QStringLiteral("0.%1").arg(10 + n);
        const QString command = kSetPointQueries[k].chopped(1) + QLatin1Char(':') + text;
        const std::size_t before = traffic.frames.size();
        const LinkTime entered = p.now();
        enter(setPointField(p, k), text);
        QVERIFY(p.advanceUntil(
            [&] {
                const QStringList after = traffic.texts(before);
                const qsizetype at = after.indexOf(command);
                return at >= 0 && after.size() > at + 1;
            },
            2s));
        const QStringList after = traffic.texts(before);
        const qsizetype at = after.indexOf(command);
        QVERIFY2(at == 0, qPrintable(after.join(QLatin1Char(' '))));
        QCOMPARE(after.at(at + 1), kSetPointQueries[k]);
        const qint64 took = ms(traffic.frames[before + std::size_t(at)].at - entered);
        QVERIFY2(took <= 40, qPrintable(QStringLiteral("%1 after %2 ms").arg(command).arg(took)));
        QVERIFY(p.advanceUntil([&] { return p.client().idle(); }, 2s));
        QCOMPARE(heldSetPoints(p)[std::size_t(k)], text.toDouble());
        QCOMPARE(setPointField(p, k)->text(), QString::number(text.toDouble(), 'f', 2));
    }
    QCOMPARE(p.client().fastStats().retries, 0);
}

// An instrument that keeps another value: sent once more, the normal pace
// after the read-back, so that it cannot have come too soon; then the field
// shows what the instrument holds, and the second panel says so until a
// value is taken.
void tst_FastReadings::setPointNotTakenIsSaid() {
    FastProgram p;
    QVERIFY(fastRunning(p));
    p.advance(5s);
    p.line->onFrame = [&](const sim::Exchange& e) {
        if (e.command.rfind("VSET1:", 0) == 0) p.line->instrument().setVoltageSet(1, 12.0);
    };
    Traffic traffic(p);
    enter(test::field(p.form, "Edit5"), QStringLiteral("7.5"));
    QVERIFY(p.advanceUntil([&] { return !p.panel("StatusPanel2")->text().isEmpty(); }, 5s));
    QCOMPARE(p.panel("StatusPanel2")->text(), QStringLiteral("CH1 V is 12.00"));
    QVERIFY(p.panel("StatusPanel2")->toolTip().contains(QStringLiteral("not 7.5")));
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("12.00"));
    QCOMPARE(p.client().fastStats().retries, 1);
    const QStringList sent = traffic.texts();
    QCOMPARE(sent.count(QStringLiteral("VSET1:7.5")), 2);
    const qsizetype first = sent.indexOf(QStringLiteral("VSET1:7.5"));
    const qsizetype again = sent.lastIndexOf(QStringLiteral("VSET1:7.5"));
    QCOMPARE(sent.at(first + 1), QStringLiteral("VSET1?"));
    QCOMPARE(sent.at(again + 1), QStringLiteral("VSET1?"));
    // From the read-back's reply to the second send: the normal pace.
    const LinkTime readBack = traffic.frames[std::size_t(first + 1)].at;
    const auto blocks = traffic.blocks();
    const auto reply =
        std::find_if(blocks.begin(), blocks.end(),
                     [&](const sim::ClockedLine::Block& b) { return b.at > readBack; });
    QVERIFY(reply != blocks.end());
    QCOMPARE(ms(traffic.frames[std::size_t(again)].at - reply->at), kFast.longestGap.count());

    p.line->onFrame = nullptr;
    enter(test::field(p.form, "Edit5"), QStringLiteral("8"));
    QVERIFY(p.advanceUntil([&] { return p.client().idle(); }, 5s));
    p.advance(100ms);
    QCOMPARE(p.panel("StatusPanel2")->text(), QString());
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("8.00"));
    QCOMPARE(p.line->instrument().voltageSet(1), 8.0);
}

void tst_FastReadings::missedReplyAskedAgainOnce_data() {
    QTest::addColumn<int>("silences");
    QTest::newRow("missed once") << 1;
    QTest::newRow("missed twice") << 2;
}

// A query with no answer is given up at its deadline, the line let fall
// quiet, and asked once more after a pause twice as long; missed again, the
// schedule goes on with the next value instead of a third time, at the same
// pace: the same query twice is that value's trouble, not the line's. No box.
void tst_FastReadings::missedReplyAskedAgainOnce() {
    QFETCH(int, silences);
    FastProgram p;
    QVERIFY(fastRunning(p));
    p.advance(10s);
    const int gap = p.client().fastStats().gapMs;
    QCOMPARE(gap, int(kFast.shortestGap.count()));
    const int missesBefore = p.client().fastStats().misses;
    bool armed = true;
    p.line->onFrame = [&](const sim::Exchange& e) {
        if (e.command == "VOUT2?" && std::exchange(armed, false))
            p.line->injectFault(sim::Fault::silence(), silences);
    };
    Traffic traffic(p);
    QVERIFY(p.advanceUntil([&] { return !armed; }, 2s));
    p.advance(2s);
    const QStringList sent = traffic.texts();
    const qsizetype missed = sent.indexOf(QStringLiteral("VOUT2?"));
    QCOMPARE(sent.mid(missed, 3), (QStringList{"VOUT2?", "VOUT2?", "IOUT2?"}));
    // The deadline, the line's silence, then the pause, doubled by the first miss.
    LinkTime askedAt = traffic.frames[std::size_t(missed)].at;
    int pause = gap;
    for (int miss = 1; miss <= silences; ++miss) {
        if (miss == 1) pause *= 2;
        const LinkTime next = traffic.frames[std::size_t(missed + miss)].at;
        const qint64 expected = kFast.shortestDeadline.count() + kSilence.count() + pause;
        QVERIFY2(us(next - askedAt) == 1000 * expected,
                 qPrintable(QStringLiteral("miss %1: %2 us, %3 ms expected")
                                .arg(miss)
                                .arg(us(next - askedAt))
                                .arg(expected)));
        askedAt = next;
    }
    QCOMPARE(p.client().fastStats().misses, missesBefore + silences);
    QCOMPARE(p.client().mode(), LinkMode::FastReadings);
    QVERIFY2(p.panel("LinkPanel")
                 ->text()
                 .endsWith(QStringLiteral("; VOUT2? unanswered, pause now %1 ms").arg(pause)),
             qPrintable(p.panel("LinkPanel")->text()));
    QCOMPARE(test::field(p.form, "Edit3")->text(), QStringLiteral("5.00"));
    QVERIFY(noBoxOpen(p));
}

// Firmware that ignores a frame ending within 50 ms of its last reply: the
// pause is learned from missed queries, and of 200 set points typed at
// random moments none is ignored, each is read back as sent, and the
// instrument ends holding the last of each. A missed pause is tried again
// only after a while without a miss, so the misses stay rare.
void tst_FastReadings::spacedInstrumentLosesNoSetPoint() {
    FastProgram p;
    QVERIFY(fastRunning(p));
    sim::LineModel spaced = kLine;
    spaced.minSpacing = 50ms;
    p.line->setLineModel(spaced);
    p.line->clearTranscript();
    const LinkTime spacedFrom = p.now();
    QStringList notes;
    QObject context;
    QObject::connect(&p.client(), &LinkClient::setPointNotHeld, &context,
                     [&](int channel, Quantity q, const QString& holds, const QString&) {
                         if (!holds.isEmpty())
                             notes << QStringLiteral("CH%1 %2 holds %3")
                                          .arg(channel)
                                          .arg(q == Quantity::Voltage ? 'V' : 'A')
                                          .arg(holds);
                     });
    std::mt19937 rng(20261209);
    std::array<double, 4> last = heldSetPoints(p);
    for (int n = 0; n < 200; ++n) {
        p.advance(Ms(std::uniform_int_distribution<int>(0, 120)(rng)));
        const int k = std::uniform_int_distribution<int>(0, 3)(rng);
        const int hundredths = std::uniform_int_distribution<int>(0, k % 2 ? 300 : 3000)(rng);
        enter(setPointField(p, k), QString::number(hundredths / 100.0, 'f', 2));
        last[std::size_t(k)] = hundredths / 100.0;
    }
    QVERIFY(p.advanceUntil([&] { return p.client().idle(); }, 10s));
    int readings = 0;
    QObject::connect(&p.link(), &DeviceLink::readingTaken, &context, [&] { ++readings; });
    p.advance(60s);
    const std::array<double, 4> held = heldSetPoints(p);
    for (std::size_t i = 0; i < 4; ++i) QVERIFY(std::abs(held[i] - last[i]) < 0.005);
    QStringList ignoredSetPoints;
    for (const std::string& frame : p.line->ignoredFrames())
        if (frame.find(':') != std::string::npos) ignoredSetPoints << QString::fromStdString(frame);
    QVERIFY2(ignoredSetPoints.isEmpty(), qPrintable(ignoredSetPoints.join(QLatin1Char(' '))));
    QVERIFY2(notes.isEmpty(), qPrintable(notes.join(QLatin1Char(' '))));
    // Learned from misses, each an ignored query, at most one in five
    // seconds; and ten readings a second at least, where the plain line
    // carries 36.
    const FastStats stats = p.client().fastStats();
    QCOMPARE(stats.retries, 0);
    QCOMPARE(badFrames(*p.line), QStringList());
    QCOMPARE(int(p.line->ignoredFrames().size()), stats.misses);
    const double seconds = std::chrono::duration<double>(p.now() - spacedFrom).count();
    QVERIFY2(stats.misses >= 1 && stats.misses <= seconds / 5,
             qPrintable(QStringLiteral("%1 misses in %2 s").arg(stats.misses).arg(seconds)));
    QVERIFY2(readings >= 60 * 10, qPrintable(QString::number(readings)));
    QCOMPARE(p.client().mode(), LinkMode::FastReadings);
    QVERIFY(noBoxOpen(p));
}

void tst_FastReadings::offReturnsToTheCycle_data() {
    QTest::addColumn<int>("afterMs");
    for (int after : {0, 5, 11, 17, 23})
        QTest::newRow(qPrintable(QStringLiteral("%1 ms into an exchange").arg(after))) << after;
}

// Switched off at any moment of an exchange: after the query under way,
// the nine-query cycle at its own pace, its first query 950 ms after the
// switch and 900 ms a query, with no fast query among its frames; its
// status's reply starts the next. Switched on again: fast readings at once.
void tst_FastReadings::offReturnsToTheCycle() {
    QFETCH(int, afterMs);
    FastProgram p;
    QVERIFY(fastRunning(p));
    p.advance(5s);
    Traffic traffic(p);
    QVERIFY(p.advanceUntil([&] { return !traffic.frames.empty(); }, 1s));
    p.advance(Ms(afterMs));
    const LinkTime off = p.now();
    chooseFast(p, false);
    p.advance(20s);
    const LinkTimings t;
    const qint64 pace = t.pollPasses * t.passMs;
    std::size_t first = traffic.firstAt(off);
    const auto& frames = traffic.frames;
    if (ms(frames[first].at - off) < t.pollStartMs) ++first;  // the query under way
    QCOMPARE(traffic.texts(first).mid(0, 2 * kCycle.size()), kCycle + kCycle);
    QCOMPARE(ms(frames[first].at - off), t.pollStartMs + pace);
    for (std::size_t i = first + 1; i < first + std::size_t(kCycle.size()); ++i)
        QCOMPARE(ms(frames[i].at - frames[i - 1].at), 2 * pace);
    const LinkTime status = frames[first + std::size_t(kCycle.size()) - 1].at;
    const auto blocks = traffic.blocks();
    const auto reply =
        std::find_if(blocks.begin(), blocks.end(),
                     [&](const sim::ClockedLine::Block& b) { return b.at > status; });
    QVERIFY(reply != blocks.end());
    QCOMPARE(ms(frames[first + std::size_t(kCycle.size())].at - reply->at), t.pollStartMs + pace);
    QVERIFY(!p.panel("LinkPanel")->text().contains(QStringLiteral("readings/s")));
    QCOMPARE(p.client().mode(), LinkMode::Polling);

    const LinkTime on = p.now();
    chooseFast(p, true);
    p.advance(1s);
    QCOMPARE(p.client().mode(), LinkMode::FastReadings);
    const std::size_t fast = traffic.firstAt(on);
    QVERIFY(frames.size() > fast + 15);
    QVERIFY(kMeasured.contains(frames[fast].text));
    QVERIFY(frames[fast].at - on <= kFast.firstGap);
}

void tst_FastReadings::outputOffAtTheNextGap_data() {
    QTest::addColumn<int>("afterMs");
    for (int after : {0, 3, 9, 14, 20, 26})
        QTest::newRow(qPrintable(QStringLiteral("%1 ms into an exchange").arg(after))) << after;
}

// At the instrument's own pace the output goes off a reply's deadline and a
// gap after the press, after the reply under way and not the half second
// the nine-query cycle lets its last reply take; no query follows it.
void tst_FastReadings::outputOffAtTheNextGap() {
    QFETCH(int, afterMs);
    FastProgram p;
    QVERIFY(fastRunning(p));
    p.advance(10s);
    Traffic traffic(p);
    QVERIFY(p.advanceUntil([&] { return !traffic.frames.empty(); }, 1s));
    p.advance(Ms(afterMs));
    const LinkTime pressed = p.now();
    QPushButton* const output = test::onMain<QPushButton>(p.form, "BitBtn4");
    QTest::mouseClick(output, Qt::LeftButton);
    p.advance(3s);
    const QStringList sent = traffic.texts();
    QCOMPARE(sent.last(), QStringLiteral("OUT0"));
    QCOMPARE(sent.count(QStringLiteral("OUT0")), 1);
    const LinkTime offAt = traffic.frames.back().at;
    const qint64 took = ms(offAt - pressed);
    QVERIFY2(took <= kFast.shortestDeadline.count() + 10, qPrintable(QString::number(took)));
    // The last query's reply came before it.
    const auto blocks = traffic.blocks();
    QVERIFY(!blocks.empty() && blocks.back().at < offAt &&
            blocks.back().at > traffic.frames[traffic.frames.size() - 2].at);
    QCOMPARE(output->text(), QStringLiteral("OFF"));
    QVERIFY(!p.line->instrument().output());
    QCOMPARE(p.form->readingTexts(), (QStringList{"", "", "", ""}));
}

// No reply for the miss budget: fast readings give up at the first deadline
// past it, the link panel says how long it has been, and what a missing
// reply leads to without fast readings follows: the countdown, 61 steps of
// 150 ms, then the time-out box. Nothing goes out meanwhile.
void tst_FastReadings::silentInstrumentTakesTheUsualPath() {
    FastProgram p;
    QVERIFY(fastRunning(p));
    p.advance(5s);
    Traffic traffic(p);
    QVERIFY(p.advanceUntil([&] { return !traffic.frames.empty(); }, 1s));
    p.line->setSilent(true);
    const LinkTime silent = p.now();
    QVERIFY(p.advanceUntil([&] { return p.client().mode() == LinkMode::TimedOut; }, 10s));
    const LinkTime gaveUp = p.now();
    const auto blocks = traffic.blocks();
    const LinkTime lastReply = blocks.back().at;
    QVERIFY(lastReply <= silent);
    const auto& frames = traffic.frames;
    QVERIFY(frames.size() >= 2);
    // Given up at the deadline of the last query asked.
    const LinkTime lastAsked = frames.back().at;
    QCOMPARE(ms(gaveUp - lastAsked), kFast.shortestDeadline.count());
    QVERIFY(gaveUp - lastReply >= kFast.missBudget);
    QVERIFY(frames[frames.size() - 2].at + kFast.shortestDeadline - lastReply < kFast.missBudget);
    const QString text = p.panel("LinkPanel")->text();
    QVERIFY2(text.endsWith(
                 QStringLiteral("; no reply for %1 s")
                     .arg(std::chrono::duration<double>(gaveUp - lastReply).count(), 0, 'f', 1)),
             qPrintable(text));
    QVERIFY(!p.form->frameEnabled());
    QVERIFY(p.form->windows().Querying->isVisible());
    const LinkTimings t;
    p.advance(Ms(61 * t.countdownStepMs) - (p.now() - gaveUp) - 1ms);
    QVERIFY(!p.form->windows().Messages->isVisible());
    p.advance(1ms);
    QVERIFY(p.form->windows().Messages->isVisible());
    QCOMPARE(traffic.frames.back().at, lastAsked);
}

QTEST_MAIN(tst_FastReadings)
#include "tst_fast_readings.moc"
