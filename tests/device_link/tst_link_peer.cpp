// The link against a peer that misbehaves: lines nobody asked for, replies cut
// anywhere by a pause, a flood of random bytes, and an operator who acts the
// moment the window lets them. The real window and serial component on a
// pseudo-terminal, asserted on what the instrument received and holds.
#include "control_panel/messages_box.h"
#include "control_panel/querying_dialog.h"
#include "named.h"
#include "sim_program.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>

#include <fstream>
#include <memory>
#include <random>

using namespace lqs;
using namespace std::chrono_literals;
using test::frames;
using test::outputButton;

namespace {
// Unasked lines and cut replies are timed between the silence that ends a
// reply and the next query: the pauses an eighth leave room on both sides.
struct Fixture : test::SimProgram {
    Fixture() : test::SimProgram(sim::Model::B, 8) {}
};
const QStringList& kStartup = test::kStartupQueries;

// Every text a field takes while this lives.
struct History {
    QStringList texts;
    QMetaObject::Connection connection;
    explicit History(QLineEdit* e) {
        connection = QObject::connect(e, &QLineEdit::textChanged, e,
                                      [this](const QString& t) { texts << t; });
    }
    ~History() { QObject::disconnect(connection); }
    History(const History&) = delete;
    History& operator=(const History&) = delete;
};

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

std::uint64_t unsolicited(test::SimProgram& f) {
    return f.form->link->unsolicitedBytes();
}

int envInt(const char* name, int fallback) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}
}  // namespace

class tst_LinkPeer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        // A program of a case's own never runs beside the shared one: each
        // would answer the other's boxes.
        if (!sharesLink(QTest::currentTestFunction())) m_linked.reset();
    }
    void cleanup() {
        if (QTest::currentTestFailed()) m_linked.reset();  // the next case starts afresh
    }
    void cleanupTestCase() { m_linked.reset(); }
    void unaskedBeforeLink_data();
    void unaskedBeforeLink();
    // These share one linked program; the last one closes its port.
    void unaskedWhilePolling();
    void replyCutAnywhere_data();
    void replyCutAnywhere();
    void offThenOnAtOnce();
    void refusedFramesOneBox();
    // These again have a program of their own.
    void floodBeforeLink();
    void outputOnTheMomentTheWindowAllows();

private:
    static bool sharesLink(const char* testFunction) {
        for (const char* name :
             {"unaskedWhilePolling", "replyCutAnywhere", "offThenOnAtOnce", "refusedFramesOneBox"})
            if (qstrcmp(name, testFunction) == 0) return true;
        return false;
    }
    Fixture* linkedOff();
    // Linked once, for the cases that switch the output on themselves and
    // need no start-up of their own; each finds it idle with the output off.
    std::unique_ptr<Fixture> m_linked;
};

Fixture* tst_LinkPeer::linkedOff() {
    if (!m_linked) {
        auto p = std::make_unique<Fixture>();
        if (!p->linkAndSettle()) return nullptr;
        m_linked = std::move(p);
    }
    return test::restingWithOutputOff(*m_linked) ? m_linked.get() : nullptr;
}

void tst_LinkPeer::unaskedBeforeLink_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("status, outputs on") << QByteArray("1101001000001\n\r");
    QTest::newRow("number") << QByteArray("12.34\n\r");
    QTest::newRow("garbage") << QByteArray("x\x01\xff?z\r");
    QTest::newRow("no terminator") << QByteArray("1101001000001");
}

// The port is open and Link was never pressed: whatever arrives changes nothing.
void tst_LinkPeer::unaskedBeforeLink() {
    QFETCH(QByteArray, line);
    test::SimProgram f;  // nothing here is timed against a query
    QSignalSpy readings(f.form->linkClient(), &LinkClient::readingTaken);
    QSignalSpy setPoints(f.form->linkClient(), &LinkClient::setPointRead);
    QVERIFY(readings.isValid() && setPoints.isValid());
    const QString edit5 = test::field(f.form, "Edit5")->text();
    // Each line a block of its own: the next goes once the link has counted this one.
    for (int i = 1; i <= 10; ++i) {
        f.sim.sendUnasked(line.toStdString());
        QTRY_VERIFY(unsolicited(f) >= std::uint64_t(i * line.size()));
    }
    QCOMPARE(unsolicited(f), std::uint64_t(10 * line.size()));
    QCOMPARE(frames(f.sim), QStringList());
    QCOMPARE(readings.count() + setPoints.count(), 0);
    QCOMPARE(test::field(f.form, "Edit5")->text(), edit5);
    QCOMPARE(outputButton(f)->text(), QStringLiteral("OFF"));
    QCOMPARE(f.form->findChild<QLabel*>(QStringLiteral("LinkPanel"))->text(), QString());
    QCOMPARE(f.form->link->state().ReplyCounter, std::uint8_t(0));
    QVERIFY(f.boxes.seen.isEmpty());
    // Nothing of it lingers to spoil the first replies of a link.
    f.linkStart();
    QTRY_COMPARE(frames(f.sim), kStartup + QStringList{"OUT0"});
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("12.00"));
    QCOMPARE(
        f.form->findChild<QLabel*>(QStringLiteral("LinkPanel"))->text(),
        QStringLiteral(
            "Linked: %1 \u2014 LQS-6200B V2.1; the instrument is an LQS-6200B: choose it under "
            "Interface > Series")
            .arg(f.form->comm1->CommName()));
}

// A line of its own between the queries answers none of them: no field shows
// it, and every field still shows its own reading.
void tst_LinkPeer::unaskedWhilePolling() {
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    std::vector<std::unique_ptr<History>> shown;
    for (const char* name : {"Edit1", "Edit2", "Edit3", "Edit4", "Edit5"})
        shown.push_back(std::make_unique<History>(test::field(f.form, name)));
    // Well after the reply, past the silence that ends its block, and
    // well before the next query; from the first query of polling on.
    std::atomic<bool> polling{false};
    std::atomic<int> lines{0};
    test::Observing observing(f.sim, [&](const sim::Exchange& e) {
        if (e.command == "OUT1") polling = true;
        if (!polling || e.command.back() != '?') return;
        ++lines;
        QMetaObject::invokeMethod(f.form.get(), [&f] {
            QTimer::singleShot(60, f.form.get(), [&f] { f.sim.sendUnasked("99.99\n\r"); });
        });
    });
    const std::uint64_t before = f.form->link->unsolicitedBytes();
    QTest::mouseClick(outputButton(f), Qt::LeftButton);
    // A whole cycle, each of its nine queries followed by a line.
    QTRY_VERIFY_WITH_TIMEOUT(f.form->link->unsolicitedBytes() >= before + 9 * 7, 10000);
    observing.stop();
    // The lines still on their way, so that none is left for the next case.
    QTRY_COMPARE(f.form->link->unsolicitedBytes(), before + 7 * std::uint64_t(lines.load()));
    for (const auto& h : shown) QVERIFY(!h->texts.contains(QStringLiteral("99.99")));
    const auto [v1, vset1] = f.sim.withInstrument([](sim::Instrument& i) {
        return std::pair{QString::fromStdString(i.formatNumber(i.measuredVoltage(1))),
                         QString::fromStdString(i.formatNumber(i.voltageSet(1)))};
    });
    QCOMPARE(test::field(f.form, "Edit1")->text(), v1);
    QCOMPARE(test::field(f.form, "Edit5")->text(), vset1);
    QVERIFY(!f.form->windows().Messages->isVisible());
    QCOMPARE(test::wireFlags(f.sim), QString());
}

void tst_LinkPeer::replyCutAnywhere_data() {
    QTest::addColumn<int>("at");
    // "7.50" LF CR: a pause after every byte but the last.
    for (int at = 1; at <= 5; ++at)
        QTest::newRow(qPrintable(QStringLiteral("after byte %1").arg(at))) << at;
}

// A measured reply cut by a pause longer than the line's silence: the field,
// and so the recorder that samples it, only ever holds a whole reading. The
// rows share one link; each switches the output on and cuts the first reading.
void tst_LinkPeer::replyCutAnywhere() {
    QFETCH(int, at);
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    QLineEdit* edit1 = test::field(f.form, "Edit1");
    QCOMPARE(edit1->text(), QString());  // the output is off: no reading shown
    History shown(edit1);
    f.sim.withInstrument([](sim::Instrument& i) {
        i.setLoad(1, 1000.0);  // constant voltage: the set point
        i.setVoltageSet(1, 7.5);
    });
    // The first reading of the poll cycle, the first one the field shows.
    std::atomic<bool> polling{false};
    std::atomic<bool> armed{true};
    test::Observing observing(f.sim, [&](const sim::Exchange& e) {
        if (e.command == "OUT1") polling = true;
        if (e.command == "VOUT1?" && polling && armed.exchange(false))
            f.sim.injectFault(sim::Fault::splitAt(std::size_t(at), 60ms));
    });
    QTest::mouseClick(outputButton(f), Qt::LeftButton);
    // The query after the cut one has its reading: the cut reply was settled
    // before that query went out.
    QTRY_VERIFY_WITH_TIMEOUT(!armed && !test::field(f.form, "Edit2")->text().isEmpty(), 10000);
    const QRegularExpression whole(QStringLiteral("^(\\d+\\.\\d{2})?$"));
    for (const QString& t : shown.texts) QVERIFY2(whole.match(t).hasMatch(), qPrintable(t));
    QCOMPARE(edit1->text(), QStringLiteral("7.50"));
    QVERIFY(!f.form->windows().Messages->isVisible());
}

// Random bytes at the line's full speed before Link: the window stays live,
// no box opens, memory stays bounded, and the link works once it stops.
// LQS_FLOOD_SECONDS makes it a soak.
void tst_LinkPeer::floodBeforeLink() {
    const int seconds = envInt("LQS_FLOOD_SECONDS", 3);
    Fixture f;
    f.sim.setLineModel(sim::LineModel::instant());  // a flood faster than 9600 baud could carry
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
    while (clock.elapsed() < seconds * 1000) {
        // Now and then a chunk ends in CR and a pause ends its block, as a reply would.
        const bool line = rng() % 4 == 0;
        std::string chunk(line ? 16 + rng() % 48 : 4096, '\0');
        for (char& c : chunk) c = char(rng());
        if (line) chunk.back() = '\r';
        f.sim.sendUnasked(chunk);
        sent += chunk.size();
        QTest::qWait(line ? 30 : 5);
        // The simulator's own queue is no part of the program's memory: keep it short.
        while (sent - f.form->link->unsolicitedBytes() > 256 * 1024 &&
               clock.elapsed() < seconds * 1000)
            QTest::qWait(5);
        peak = std::max(peak, statusKiB("VmRSS"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(f.form->link->unsolicitedBytes() > 0, 5000);
    const long stackAfter = statusKiB("VmStk");
    qInfo(
        "flood: %llu bytes sent, %llu ignored, RSS %ld -> %ld KiB, stack %ld -> %ld KiB, longest "
        "stall %lld ms",
        static_cast<unsigned long long>(sent),
        static_cast<unsigned long long>(f.form->link->unsolicitedBytes()), before, peak,
        stackBefore, stackAfter, worstGap);
    QVERIFY(f.boxes.seen.isEmpty());
    QCOMPARE(frames(f.sim), QStringList());
    QCOMPARE(f.form->link->state().ReplyCounter, std::uint8_t(0));
    QCOMPARE(f.form->findChild<QLabel*>(QStringLiteral("LinkPanel"))->text(), QString());
    QVERIFY2(peak - before < 64 * 1024, "memory grew under the flood");
    QVERIFY2(worstGap < 1000, "the window stalled under the flood");
    QVERIFY2(stackAfter - stackBefore < 256, "the stack grew under the flood");
    // The flood drained (every byte counted; a full queue may have let some
    // go, so at most 200 ms), the link is as good as new.
    if (!QTest::qWaitFor([&] { return f.form->link->unsolicitedBytes() == sent; }, 200))
        qInfo("flood: %llu bytes not counted",
              static_cast<unsigned long long>(sent - f.form->link->unsolicitedBytes()));
    f.linkStart();
    QTRY_COMPARE_WITH_TIMEOUT(frames(f.sim), kStartup + QStringList{"OUT0"}, 10000);
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("12.00"));
}

// ON pressed the moment the link enables the window, while the link's own
// OUT0 for an instrument that was off is still to come: ON is what stays.
void tst_LinkPeer::outputOnTheMomentTheWindowAllows() {
    Fixture f;
    bool clicked = false;
    QObject::connect(f.form->linkClient(), &LinkClient::queryingCloseRequested, f.form.get(), [&] {
        if (clicked) return;
        clicked = true;
        QTimer::singleShot(0, f.form.get(), [&] {
            QTest::mouseClick(test::onMain<QPushButton>(f.form, "BitBtn4"), Qt::LeftButton);
        });
    });
    f.linkStart();
    QTRY_VERIFY(clicked);
    QTRY_VERIFY_WITH_TIMEOUT(frames(f.sim).mid(kStartup.size()).contains(QStringLiteral("VOUT1?")),
                             10000);
    const QStringList after = frames(f.sim).mid(kStartup.size());
    QCOMPARE(after.mid(0, 2), (QStringList{"OUT0", "OUT1"}));
    QVERIFY(f.sim.withInstrument([](sim::Instrument& i) { return i.output(); }));
    QCOMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("ON"));
    QCOMPARE(test::wireFlags(f.sim), QString());
}

// OFF then ON within the off sequence's pause: one OUT0, then OUT1, and the
// output ends on with polling running.
void tst_LinkPeer::offThenOnAtOnce() {
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    f.sim.clearTranscript();
    QTest::mouseClick(outputButton(f), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(frames(f.sim).contains(QStringLiteral("VOUT1?")), 10000);
    f.sim.clearTranscript();
    QTest::mouseClick(outputButton(f), Qt::LeftButton);
    QTest::mouseClick(outputButton(f), Qt::LeftButton);
    const auto pollingAgain = [&] {
        const QStringList sent = frames(f.sim);
        const int on = sent.indexOf(QStringLiteral("OUT1"));
        return on >= 0 && sent.mid(on).contains(QStringLiteral("VOUT1?"));
    };
    QTRY_VERIFY2_WITH_TIMEOUT(pollingAgain(), qPrintable(frames(f.sim).join(QLatin1Char(' '))),
                              10000);
    const QStringList sent = frames(f.sim);
    QCOMPARE(sent.count(QStringLiteral("OUT0")), 1);
    QVERIFY(sent.indexOf(QStringLiteral("OUT0")) < sent.indexOf(QStringLiteral("OUT1")));
    QVERIFY(f.sim.withInstrument([](sim::Instrument& i) { return i.output(); }));
    QCOMPARE(outputButton(f)->text(), QStringLiteral("ON"));
}

// The port closed under the link: every frame is refused, and one
// "发送失败 !" box stays up rather than one per frame.
void tst_LinkPeer::refusedFramesOneBox() {
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    f.boxes.holdMs = 60000;  // left open, as by an operator away from the desk
    f.form->comm1->ClosePort();
    for (QLineEdit* e : {test::field(f.form, "Edit5"), test::field(f.form, "Edit6"),
                         test::field(f.form, "Edit8")}) {
        QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(e, QStringLiteral("1.5"));
        QTest::keyClick(e, Qt::Key_Return);
    }
    QTRY_COMPARE(f.boxes.seen.size(), 1);
    QTest::qWait(300);  // a second box would be up by now
    QCOMPARE(f.boxes.seen.size(), 1);
    // The watcher sees the box on top only: none stacked under it either.
    QCOMPARE(f.form->findChildren<QMessageBox*>(QStringLiteral("sendFailed")).size(), 1);
    QCOMPARE(f.boxes.seen.first().text, QStringLiteral("发送失败 !"));
    QVERIFY(!f.form->windows().Messages->isVisible());
    m_linked.reset();  // its port is closed
}

QTEST_MAIN(tst_LinkPeer)
#include "tst_link_peer.moc"
