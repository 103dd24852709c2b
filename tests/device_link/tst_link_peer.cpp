// The link against a peer that misbehaves: lines nobody asked for, replies cut
// anywhere by a pause, a flood of random bytes, and an operator who acts the
// moment the window lets them. What hangs on the link's time runs on the
// driven clock, the whole program against the simulated instrument in
// process; the flood and a port closed under the link need the real serial
// component on a pseudo-terminal.
#include "clocked_link.h"
#include "control_panel/messages_box.h"
#include "sim_program.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>

using namespace lqs;
using namespace std::chrono_literals;
using test::ClockedProgram;

namespace {

const QStringList& kStartup = test::kStartupQueries;

// Every text a field takes while this lives, and when on the link's clock.
struct History {
    QStringList texts;
    std::vector<LinkTime> at;
    QMetaObject::Connection connection;
    History(QLineEdit* e, ClockedProgram& p) {
        connection = QObject::connect(e, &QLineEdit::textChanged, e, [this, &p](const QString& t) {
            texts << t;
            at.push_back(p.link().scheduler().now());
        });
    }
    ~History() { QObject::disconnect(connection); }
    History(const History&) = delete;
    History& operator=(const History&) = delete;
};

QString linkPanel(const TForm1& form) {
    return form.findChild<QLabel*>(QStringLiteral("LinkPanel"))->text();
}

bool outputOn(ClockedProgram& p) {
    QTest::mouseClick(p.outputButton(), Qt::LeftButton);
    return p.advanceUntil(
        [&] { return p.client().idle() && p.client().mode() == LinkMode::Polling; });
}

// When the line carried the nth frame (from 0) after the first OUT1.
LinkTime afterOutputOn(const sim::ClockedLine& line, const std::string& frame, int nth) {
    const auto& wire = line.wireFrames();
    auto it = std::find(wire.begin(), wire.end(), "OUT1\r\n");
    for (int n = 0; it != wire.end(); ++n) {
        it = std::find(it + 1, wire.end(), frame + "\r\n");
        if (n == nth) break;
    }
    return it == wire.end() ? LinkTime::max() : line.wireTimes()[std::size_t(it - wire.begin())];
}

// The simulator's own reading of a measured value or a set point, as it replies it.
QString replied(ClockedProgram& p, int field) {
    sim::Instrument& i = p.line->instrument();
    const int channel = field <= 2 || field == 5 || field == 6 ? 1 : 2;
    const bool voltage = field % 2 == 1;
    const double value = field <= 4
                             ? (voltage ? i.measuredVoltage(channel) : i.measuredCurrent(channel))
                             : (voltage ? i.voltageSet(channel) : i.currentSet(channel));
    return QString::fromStdString(i.formatNumber(value));
}

// A line of /proc/self/status in KiB: VmRSS, or VmStk, the main thread's
// stack, which never shrinks, so it is the deepest the stack has been.
long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ':';
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    }
    return 0;
}

int envInt(const char* name, int fallback) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}

// On the pseudo-terminal a reply has a real thread and event loop to get
// through: the link's pauses a quarter of the instrument's leave it 200 ms
// before it counts as missing, on a machine busy with other work too.
constexpr int kPtyDivisor = 4;

// f() run in the link's own thread, and its answer.
template <typename F>
auto inLinkThread(test::SimProgram& p, F f) {
    decltype(f()) answer{};
    QMetaObject::invokeMethod(
        p.form->link, [&] { answer = f(); }, Qt::BlockingQueuedConnection);
    return answer;
}

}  // namespace

class tst_LinkPeer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void unaskedBeforeLink_data();
    void unaskedBeforeLink();
    void unaskedBetweenQueries();
    void replyCutAnywhere_data();
    void replyCutAnywhere();
    void offThenOnAtOnce();
    void outputOnTheMomentTheWindowAllows();
    void refusedFramesOneBox();
    void floodBeforeLink();
};

void tst_LinkPeer::unaskedBeforeLink_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("status, outputs on") << QByteArray("1101001000001\n\r");
    QTest::newRow("number") << QByteArray("12.34\n\r");
    QTest::newRow("garbage") << QByteArray("x\x01\xff?z\r");
    QTest::newRow("no terminator") << QByteArray("1101001000001");
}

// The port is open and Link was never pressed: whatever arrives changes
// nothing, and nothing of it lingers to spoil the first replies of a link.
void tst_LinkPeer::unaskedBeforeLink() {
    QFETCH(QByteArray, line);
    ClockedProgram p;
    QSignalSpy readings(&p.client(), &LinkClient::readingTaken);
    QSignalSpy setPoints(&p.client(), &LinkClient::setPointRead);
    QVERIFY(readings.isValid() && setPoints.isValid());
    const QString edit5 = test::field(p.form, "Edit5")->text();
    for (int i = 0; i < 10; ++i) {
        p.line->sendUnasked(line.toStdString());
        p.advance(300ms);  // past the silence: each line a block of its own
    }
    QCOMPARE(p.line->blocks().size(), std::size_t(10));
    QCOMPARE(p.link().unsolicitedBytes(), std::uint64_t(10 * line.size()));
    QCOMPARE(p.frames(), QStringList());
    QCOMPARE(readings.count() + setPoints.count(), 0);
    QCOMPARE(test::field(p.form, "Edit5")->text(), edit5);
    QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));
    QCOMPARE(linkPanel(*p.form), QString());
    QCOMPARE(p.link().state().ReplyCounter, std::uint8_t(0));
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(p.linked());
    QCOMPARE(p.frames(), kStartup + QStringList{"OUT0"});
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("12.00"));
    QCOMPARE(linkPanel(*p.form),
             QStringLiteral(
                 "Linked: %1 \u2014 LQS-6200B V2.1; model set to the LQS-6200B from its identity")
                 .arg(p.form->comm1->CommName()));
}

// A line of its own between the cycle's queries, after one reply's block
// and well before the next query, answers none of them: no field shows it,
// though any field could hold its value, and every field still shows its
// own reading.
void tst_LinkPeer::unaskedBetweenQueries() {
    const std::string stray = "1.23\n\r";
    ClockedProgram p;
    QVERIFY(p.linked());
    std::vector<std::unique_ptr<History>> shown;
    for (const char* name :
         {"Edit1", "Edit2", "Edit3", "Edit4", "Edit5", "Edit6", "Edit7", "Edit8"})
        shown.push_back(std::make_unique<History>(test::field(p.form, name), p));
    int lines = 0;
    bool polling = false;
    Scheduler& clock = p.link().scheduler();
    p.line->onFrame = [&](const sim::Exchange& e) {
        if (e.command == "OUT1") polling = true;
        if (!polling || e.command.back() != '?') return;
        ++lines;
        clock.after(400ms, [&] { p.line->sendUnasked(stray); });
    };
    const std::uint64_t before = p.link().unsolicitedBytes();
    QVERIFY(outputOn(p));
    // A whole cycle and the next one's start, each query followed by a line.
    QVERIFY(p.advanceUntil([&] { return lines == 10; }, 20s));
    p.line->onFrame = nullptr;
    p.advance(1s);
    QCOMPARE(p.link().unsolicitedBytes(), before + stray.size() * std::uint64_t(lines));
    for (int field = 1; field <= 8; ++field) {
        const QStringList& texts = shown[std::size_t(field - 1)]->texts;
        // The readings come with the output on; the set points are shown already.
        QVERIFY(field > 4 || !texts.isEmpty());
        for (const QString& t : texts)
            QVERIFY2(t == replied(p, field),
                     qPrintable(QStringLiteral("Edit%1: %2").arg(field).arg(t)));
    }
    QCOMPARE(test::field(p.form, "Edit5")->text(), replied(p, 5));
    QCOMPARE(p.client().mode(), LinkMode::Polling);
    QVERIFY(!p.form->windows().Messages->isVisible());
}

void tst_LinkPeer::replyCutAnywhere_data() {
    QTest::addColumn<int>("at");
    QTest::addColumn<int>("pauseMs");
    // "7.50" LF CR: a pause after every byte but the last, within the
    // query's pace or past the next query.
    for (int at = 1; at <= 5; ++at) {
        for (int pauseMs : {300, 1200}) {
            QTest::newRow(qPrintable(QStringLiteral("after byte %1, %2 ms").arg(at).arg(pauseMs)))
                << at << pauseMs;
        }
    }
}

// A measured reply cut by a pause longer than the line's silence: the
// field, and so the recorder that samples it, only ever holds a whole
// reading. A reply whose rest comes within the query's pace is whole, and
// shown before the next query; one still cut short when the next query is
// due is shown only if it had ended in a terminator byte, and its tail
// answers no query.
void tst_LinkPeer::replyCutAnywhere() {
    QFETCH(int, at);
    QFETCH(int, pauseMs);
    ClockedProgram p;
    p.line->instrument().setLoad(1, 1000.0);  // constant voltage: the set point
    p.line->instrument().setVoltageSet(1, 7.5);
    QVERIFY(p.linked());
    History edit1(test::field(p.form, "Edit1"), p);
    History edit2(test::field(p.form, "Edit2"), p);
    bool armed = true;
    p.line->onFrame = [&](const sim::Exchange& e) {
        if (e.command == "VOUT1?" && std::exchange(armed, false))
            p.line->injectFault(
                sim::Fault::splitAt(std::size_t(at), std::chrono::milliseconds(pauseMs)));
    };
    QVERIFY(outputOn(p));
    p.advance(20s);  // two whole cycles after the cut
    QVERIFY(!armed);
    // Whole readings only, each the instrument's own.
    QVERIFY(!edit1.texts.isEmpty() && !edit2.texts.isEmpty());
    for (const QString& t : edit1.texts) QCOMPARE(t, QStringLiteral("7.50"));
    for (const QString& t : edit2.texts) QCOMPARE(t, replied(p, 2));
    // Shown by the time the next query is due, or only from the next cycle.
    const bool shown = pauseMs < LinkTimings().pollPasses || at == 5;
    const LinkTime nextQuery = afterOutputOn(*p.line, "IOUT1?", 0);
    const LinkTime nextCycle = afterOutputOn(*p.line, "VOUT1?", 1);
    if (shown)
        QVERIFY(edit1.at.front() <= nextQuery);
    else
        QVERIFY(edit1.at.front() > nextCycle);
    QCOMPARE(p.client().mode(), LinkMode::Polling);
    QVERIFY(!p.form->windows().Messages->isVisible());
}

// OFF then ON at once, within the off sequence's pause: the poll stops, the
// output goes off 500 ms later, then on again and polling resumes 950 ms on.
void tst_LinkPeer::offThenOnAtOnce() {
    ClockedProgram p;
    QVERIFY(p.linked());
    QVERIFY(outputOn(p));
    p.line->clearTranscript();
    const LinkTime pressed = p.link().scheduler().now();
    QTest::mouseClick(p.outputButton(), Qt::LeftButton);
    QTest::mouseClick(p.outputButton(), Qt::LeftButton);
    p.advance(5s);
    const QStringList sent = p.frames();
    const qsizetype off = sent.indexOf(QStringLiteral("OUT0"));
    QVERIFY2(off >= 0 && sent.mid(off, 3) == (QStringList{"OUT0", "OUT1", "VOUT1?"}),
             qPrintable(sent.join(QLatin1Char(' '))));
    QCOMPARE(sent.count(QStringLiteral("OUT0")), 1);
    const auto& times = p.line->wireTimes();
    const LinkTimings t;
    QCOMPARE(test::msSince(pressed, times[std::size_t(off)]), qint64(t.outputOffWaitMs));
    QCOMPARE(test::msSince(times[std::size_t(off + 1)], times[std::size_t(off + 2)]),
             qint64(t.pollStartMs + t.pollPasses * t.passMs));
    QVERIFY(p.line->instrument().output());
    QCOMPARE(p.outputButton()->text(), QStringLiteral("ON"));
    QCOMPARE(p.client().mode(), LinkMode::Polling);
}

// ON pressed the moment the link enables the window, while the link's own
// OUT0 for an instrument that was off is still to come: ON is what stays.
void tst_LinkPeer::outputOnTheMomentTheWindowAllows() {
    ClockedProgram p;
    bool clicked = false;
    QObject::connect(&p.client(), &LinkClient::queryingCloseRequested, p.form.get(), [&] {
        if (std::exchange(clicked, true)) return;
        QTimer::singleShot(0, p.form.get(),
                           [&] { QTest::mouseClick(p.outputButton(), Qt::LeftButton); });
    });
    test::action(p.form, "ToolButton1")->trigger();
    QVERIFY(p.advanceUntil(
        [&] { return p.frames().mid(kStartup.size()).contains(QStringLiteral("VOUT1?")); }, 20s));
    QVERIFY(clicked);
    QCOMPARE(p.frames().mid(kStartup.size(), 3), (QStringList{"OUT0", "OUT1", "VOUT1?"}));
    QVERIFY(p.line->instrument().output());
    QCOMPARE(p.outputButton()->text(), QStringLiteral("ON"));
}

// comm1 closed under the link: every frame is refused, and one "发送失败 !"
// box stays up rather than one per frame.
void tst_LinkPeer::refusedFramesOneBox() {
    test::SimProgram f(sim::Model::B, kPtyDivisor);
    QVERIFY(f.linkAndSettle());
    QTRY_VERIFY(f.form->linkClient()->idle());
    f.boxes.holdMs = 60000;  // left open, as by an operator away from the desk
    f.form->comm1->ClosePort();
    QSignalSpy refused(f.form->linkClient(), &LinkClient::frameRefused);
    for (QLineEdit* e :
         {test::field(f.form, "Edit5"), test::field(f.form, "Edit6"), test::field(f.form, "Edit8")})
        test::enter(e, QStringLiteral("1.5"));
    // Each refused, and each refusal told to the window.
    QTRY_COMPARE(refused.count(), 3);
    QTRY_VERIFY(f.form->linkClient()->idle());
    QCOMPARE(f.form->findChildren<QMessageBox*>(QStringLiteral("sendFailed")).size(), 1);
    QTRY_COMPARE(f.boxes.seen.size(), 1);
    QCOMPARE(f.boxes.seen.first().text, QStringLiteral("发送失败 !"));
    QVERIFY(!f.form->windows().Messages->isVisible());
}

// Random bytes at the line's full speed before Link, at the link in its own
// thread as in the program: the window stays live, no box opens, memory
// stays bounded, and the link works once it stops. LQS_FLOOD_SECONDS makes
// it a soak.
void tst_LinkPeer::floodBeforeLink() {
    const int seconds = envInt("LQS_FLOOD_SECONDS", 1);
    test::SimProgram f(sim::Model::B, kPtyDivisor, test::onePortSources, true);
    const auto counted = [&] {
        return inLinkThread(f, [&] { return f.form->link->unsolicitedBytes(); });
    };
    std::mt19937 rng(11);
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    qint64 worstGap = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] {
        worstGap = std::max(worstGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    beat.start(20);
    const long before = statusKiB("VmRSS");
    const long stackBefore = statusKiB("VmStk");
    long peak = before;
    std::uint64_t sent = 0;
    std::uint64_t lost = 0;  // let go by a full queue, as far as the test can tell
    // the line's own time: the flood lasts this long, and the stall is real time
    const auto flooding = [&] { return clock.elapsed() < seconds * 1000; };
    while (flooding()) {
        // Now and then a line ending in CR, as a reply would.
        const bool line = rng() % 4 == 0;
        std::string chunk(line ? 16 + rng() % 48 : 4096, '\0');
        for (char& c : chunk) c = char(rng());
        if (line) chunk.back() = '\r';
        f.sim.sendUnasked(chunk);
        sent += chunk.size();
        if (line) {
            // A pause ends its block, as after a reply: once the link has taken it.
            if (!QTest::qWaitFor([&] { return counted() + lost >= sent; }, 1000))
                lost = sent - counted();
        } else {
            // The simulator's own queue is no part of the program's memory: keep it short.
            const auto caughtUp = [&] {
                return sent - counted() - lost <= 256 * 1024 || !flooding();
            };
            if (!QTest::qWaitFor(caughtUp, 5000)) lost = sent - counted();
        }
        peak = std::max(peak, statusKiB("VmRSS"));
    }
    QVERIFY(QTest::qWaitFor([&] { return counted() > 0; }, 5000));
    const long stackAfter = statusKiB("VmStk");
    qInfo(
        "flood: %llu bytes sent, %llu ignored, RSS %ld -> %ld KiB, stack %ld -> %ld KiB, longest "
        "stall %lld ms",
        static_cast<unsigned long long>(sent), static_cast<unsigned long long>(counted()), before,
        peak, stackBefore, stackAfter, worstGap);
    QVERIFY(f.boxes.seen.isEmpty());
    QCOMPARE(test::frames(f.sim), QStringList());
    QCOMPARE(inLinkThread(f, [&] { return f.form->link->state().ReplyCounter; }), std::uint8_t(0));
    QCOMPARE(linkPanel(*f.form), QString());
    QVERIFY2(peak - before < 64 * 1024, "memory grew under the flood");
    QVERIFY2(worstGap < 1000, "the window stalled under the flood");
    QVERIFY2(stackAfter - stackBefore < 256, "the stack grew under the flood");
    // The flood drained (a full queue may have let some go), and the link is as good as new.
    if (!QTest::qWaitFor([&] { return counted() == sent; }, 1000))
        qInfo("flood: %llu bytes not counted", static_cast<unsigned long long>(sent - counted()));
    f.linkStart();
    QTRY_COMPARE_WITH_TIMEOUT(test::frames(f.sim), kStartup + QStringList{"OUT0"}, 10000);
    QTRY_COMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("12.00"));
}

QTEST_MAIN(tst_LinkPeer)
#include "tst_link_peer.moc"
