// The link at random moments, on the clock the test drives: the whole
// program against the simulated instrument takes output toggles, set-point
// entries (typed with Enter, and arrow clicks), coupling changes, saves and
// recalls at uniformly random moments of the poll cycle, placed to the
// microsecond, while split, late and garbled replies are injected. After
// every action the instrument's record must show one cycle at a time at the
// cycle's paces, no stall longer than the link's rules allow and a clean
// line; at the end the instrument holds what the operator confirmed last and
// no cycle is left. The seed is fixed and printed, and a run repeats
// exactly; LQS_TIMING_SEED picks another, LQS_TIMING_SECONDS the length in
// seconds of the link's clock, split between the nine-query cycle and fast
// readings.
#include "clocked_link.h"
#include "clocked_wire.h"
#include "control_panel/memory_dialogs.h"
#include "control_panel/messages_box.h"
#include "control_panel/up_down.h"

#include <QLineEdit>
#include <QRadioButton>
#include <QToolButton>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>

using namespace lqs;
using namespace std::chrono_literals;

namespace {

int envInt(const char* name, int fallback) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}

// The longest a reply is made late, and the longest pause inside a split
// status: within the pace after the query, so the link must ride them out.
// A split's first half reaches the link after the line's silence at most.
constexpr std::chrono::milliseconds kLongestLate{450};
constexpr std::chrono::milliseconds kLongestSplit{400};

// What the instrument must hold: the set points as the operator last
// confirmed them (Edit5, Edit6, Edit7, Edit8 order), its coupling button and
// the four memory slots.
struct Expected {
    std::array<double, 4> own{12.0, 1.0, 5.0, 0.5};
    int coupling = 1;  // 1 INDEP, 2 PARALL, 3 TRACK
    struct Slot {
        std::array<double, 4> own;
        int coupling;
    };
    std::array<Slot, 4> slots{};
    Expected() {
        for (int n = 1; n <= 4; ++n) {
            slots[std::size_t(n - 1)] = {{5.0 * n, 0.5 * n, 3.0 * n, 0.25 * n},
                                         n == 3   ? 3
                                         : n == 4 ? 2
                                                  : 1};
        }
    }
};

// Faults for the replies to chosen queries, each injected as its query acts.
struct Armed {
    std::map<std::string, sim::Fault> faults;
    int injected = 0;
    void arm(const std::string& query, sim::Fault fault) { faults[query] = fault; }
    void onFrame(sim::ClockedLine& line, const sim::Exchange& e) {
        const auto it = faults.find(e.command);
        if (it == faults.end()) return;
        line.injectFault(it->second);
        faults.erase(it);
        ++injected;
    }
};

}  // namespace

class tst_LinkTiming : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void randomMoments_data();
    void randomMoments();

private:
    void check(const char* after);
    QString notHeld() const;
    void toggleOutput();
    void enterSetPoint();
    void clickArrow();
    void changeCoupling();
    void save();
    void recall();
    int chooseSlot(QPushButton* opener, TMemoryDialog* dialog);
    QList<int> editable() const;
    QLineEdit* field(int edit) const;
    int pick(int n) { return int(m_rng() % unsigned(n)); }

    test::ClockedProgram* m_p = nullptr;
    std::mt19937 m_rng;
    Expected m_expected;
    std::chrono::milliseconds m_maxGap{0};
    bool m_fast = false;
    QMap<QString, int> m_actions;
    QStringList m_trace;  // each action with its frame index, for a failure's report
};

QLineEdit* tst_LinkTiming::field(int edit) const {
    static const char* const names[] = {"Edit5", "Edit6", "Edit7", "Edit8"};
    return test::field(m_p->form, names[edit - 5]);
}

// Coupled, the instrument runs channel 2 from channel 1's set points.
QList<int> tst_LinkTiming::editable() const {
    return m_expected.coupling == 1 ? QList<int>{5, 6, 7, 8} : QList<int>{5, 6};
}

void tst_LinkTiming::check(const char* after) {
    const sim::ClockedLine& line = *m_p->line;
    const LinkTime now = m_p->link().scheduler().now();
    const bool on = m_p->client().output().state == OutputState::On;
    const QString broken =
        m_fast ? test::fastViolation(line, now, m_maxGap, on)
               : test::cycleViolation(line, now, m_p->link().setup().timings, m_maxGap, on);
    const QString flags = test::clockedWireFlags(line);
    QString boxes;
    if (m_p->client().mode() == LinkMode::TimedOut || m_p->form->windows().Messages->isVisible())
        boxes = QStringLiteral("a time-out without a lost reply");
    if (!m_p->boxes.seen.isEmpty()) boxes = m_p->boxes.seen.first().text;
    const QString held = notHeld();
    if (broken.isEmpty() && flags.isEmpty() && boxes.isEmpty() && held.isEmpty()) return;
    const QStringList all = m_p->frames();
    QFAIL(qPrintable(QStringLiteral("after %1: %2%3%4%5\nlast frames: %6\nlast actions: %7")
                         .arg(QLatin1String(after), broken, flags, boxes, held,
                              all.mid(all.size() - 30).join(QLatin1Char(' ')),
                              m_trace.mid(m_trace.size() - 20).join(QLatin1Char(' ')))));
}

// Once nothing is under way and no frame is still on the line, the
// instrument holds every set point and coupling the operator confirmed and
// every slot as saved; what it does not, else empty.
QString tst_LinkTiming::notHeld() const {
    const std::vector<LinkTime>& times = m_p->line->wireTimes();
    if (!m_p->client().idle() || (!times.empty() && times.back() >= m_p->link().scheduler().now()))
        return QString();
    const sim::Instrument& i = m_p->line->instrument();
    const auto differs = [](const sim::Settings& h, const std::array<double, 4>& own,
                            int coupling) {
        static const sim::Coupling couplings[] = {sim::Coupling::Independent,
                                                  sim::Coupling::Parallel, sim::Coupling::Series};
        const std::array<double, 4> held{h.vset1, h.iset1, h.vset2, h.iset2};
        for (std::size_t k = 0; k < 4; ++k)
            if (std::abs(held[k] - own[k]) >= 0.005) return true;
        return h.coupling != couplings[coupling - 1];
    };
    const auto text = [](const sim::Settings& h) {
        return QStringLiteral("%1 %2 %3 %4 coupling %5")
            .arg(h.vset1)
            .arg(h.iset1)
            .arg(h.vset2)
            .arg(h.iset2)
            .arg(int(h.coupling));
    };
    sim::Settings now = i.settings();
    now.coupling = i.coupling();
    if (differs(now, m_expected.own, m_expected.coupling))
        return QStringLiteral("the instrument holds %1").arg(text(now));
    for (int n = 1; n <= 4; ++n) {
        const Expected::Slot& slot = m_expected.slots[std::size_t(n - 1)];
        if (differs(i.slot(n), slot.own, slot.coupling))
            return QStringLiteral("slot %1 holds %2").arg(n).arg(text(i.slot(n)));
    }
    return QString();
}

void tst_LinkTiming::toggleOutput() {
    QPushButton* output = test::onMain<QPushButton>(m_p->form, "BitBtn4");
    QTest::mouseClick(output, Qt::LeftButton);
    m_trace << QStringLiteral("output %1").arg(output->text());
}

void tst_LinkTiming::enterSetPoint() {
    const QList<int> fields = editable();
    const int edit = fields.at(pick(fields.size()));
    const bool voltage = edit == 5 || edit == 7;
    const int hundredths = std::uniform_int_distribution<int>(0, voltage ? 3000 : 300)(m_rng);
    const QString typed = QString::number(hundredths / 100.0, 'f', 2);
    QLineEdit* e = field(edit);
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(e, typed);
    QTest::keyClick(e, Qt::Key_Return);
    QCOMPARE(e->text(), typed);
    m_expected.own[std::size_t(edit - 5)] = hundredths / 100.0;
    m_trace << QStringLiteral("Edit%1 := %2").arg(edit).arg(typed);
}

void tst_LinkTiming::clickArrow() {
    const QList<int> fields = editable();
    const int edit = fields.at(pick(fields.size()));
    static const char* const arrows[] = {"UpDown1", "UpDown2", "UpDown3", "UpDown4"};
    TUpDown* arrow = test::onMain<TUpDown>(m_p->form, arrows[edit - 5]);
    QTest::mouseClick(pick(2) ? arrow->upButton() : arrow->downButton(), Qt::LeftButton);
    m_expected.own[std::size_t(edit - 5)] = field(edit)->text().toDouble();
    m_trace << QStringLiteral("Edit%1 stepped to %2").arg(edit).arg(field(edit)->text());
}

void tst_LinkTiming::changeCoupling() {
    QRadioButton* const buttons[] = {test::onMain<QRadioButton>(m_p->form, "RadioButton1"),
                                     test::onMain<QRadioButton>(m_p->form, "RadioButton2"),
                                     test::onMain<QRadioButton>(m_p->form, "RadioButton3")};
    const int to = 1 + (m_expected.coupling - 1 + 1 + pick(2)) % 3;  // one of the other two
    QTest::mouseClick(buttons[to - 1], Qt::LeftButton);
    QVERIFY(buttons[to - 1]->isChecked());
    m_expected.coupling = to;
    m_trace << QStringLiteral("coupling %1").arg(to);
}

// Opens a memory dialog, types a random slot and presses OK; the slot.
int tst_LinkTiming::chooseSlot(QPushButton* opener, TMemoryDialog* dialog) {
    const int slot = 1 + pick(4);
    QTest::mouseClick(opener, Qt::LeftButton);
    if (!dialog->isVisible()) {
        QTest::qFail("the memory dialog did not open", __FILE__, __LINE__);
        return 0;
    }
    auto* field = test::named<QLineEdit>(dialog, "Edit1");
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, QString::number(slot));
    QTest::mouseClick(test::named<QPushButton>(dialog, "Button1"), Qt::LeftButton);
    return slot;
}

void tst_LinkTiming::save() {
    const int slot =
        chooseSlot(test::onMain<QPushButton>(m_p->form, "BitBtn5"), m_p->form->windows().save);
    if (slot == 0) return;
    m_expected.slots[std::size_t(slot - 1)] = {m_expected.own, m_expected.coupling};
    m_trace << QStringLiteral("save %1").arg(slot);
}

void tst_LinkTiming::recall() {
    const int slot =
        chooseSlot(test::onMain<QPushButton>(m_p->form, "BitBtn6"), m_p->form->windows().recall);
    if (slot == 0) return;
    m_expected.own = m_expected.slots[std::size_t(slot - 1)].own;
    m_expected.coupling = m_expected.slots[std::size_t(slot - 1)].coupling;
    m_trace << QStringLiteral("recall %1").arg(slot);
    // The window stays disabled until the exchange and what its replies set going have run.
    QVERIFY(m_p->advanceUntil([&] { return m_p->client().idle(); }, 20s));
    QRadioButton* const buttons[] = {test::onMain<QRadioButton>(m_p->form, "RadioButton1"),
                                     test::onMain<QRadioButton>(m_p->form, "RadioButton2"),
                                     test::onMain<QRadioButton>(m_p->form, "RadioButton3")};
    QVERIFY(buttons[m_expected.coupling - 1]->isChecked());
}

void tst_LinkTiming::randomMoments_data() {
    QTest::addColumn<bool>("fast");
    QTest::newRow("nine-query cycle") << false;
    QTest::newRow("fast readings") << true;
}

void tst_LinkTiming::randomMoments() {
    QFETCH(bool, fast);
    m_fast = fast;
    m_actions.clear();
    m_trace.clear();
    m_expected = Expected();
    const unsigned seed = unsigned(envInt("LQS_TIMING_SEED", 20261208));
    const int seconds = envInt("LQS_TIMING_SECONDS", 1200) / 2;
    std::printf("link timing: seed=%u seconds=%d%s\n", seed, seconds, fast ? " fast readings" : "");
    std::fflush(stdout);
    m_rng.seed(seed);

    test::ClockedProgram p(sim::Model::B);
    m_p = &p;
    const LinkSetup& setup = p.link().setup();
    const LinkTimings& t = setup.timings;
    const std::chrono::milliseconds pace(t.pollPasses * t.passMs);
    const std::chrono::milliseconds silence(setup.silenceMs);
    if (fast) {
        // Fast readings learn the line's own time. The longest stretch
        // without a frame: a late reply misses its deadline, the line is let
        // come quiet after it, then the pause learned, the normal pace at most.
        const std::chrono::milliseconds line(30);  // a frame's and a reply's bytes, the answer
        p.line->setLineModel(sim::LineModel());    // 9600 baud, 10 ms to answer
        m_maxGap = std::max(setup.fast.firstDeadline, kLongestLate + line) + silence +
                   setup.fast.longestGap + line;
    } else {
        // The line takes no time, so what it received is the link's pace to
        // the microsecond. The longest stretch without a frame: from the
        // status query, its late reply's first bytes handed over after the
        // silence, then the cycle's start and a pace.
        m_maxGap = kLongestLate + silence + std::chrono::milliseconds(t.pollStartMs) + pace;
    }
    Armed armed;
    p.line->onFrame = [&](const sim::Exchange& e) { armed.onFrame(*p.line, e); };
    test::action(p.form, "LQS6200B1")->trigger();  // the simulated instrument's resolution
    if (fast) {
        test::action(p.form, "FastReadings1")->setChecked(true);
        p.line->setEndAtCarriageReturn(true);  // as comm1 now cuts blocks
    }
    QVERIFY(p.linked());
    check("the link");
    if (QTest::currentTestFailed()) return;

    const char* const queries[] = {"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?",
                                   "VSET1?", "VSET2?", "ISET1?", "ISET2?"};
    const LinkTime start = p.link().scheduler().now();
    const LinkTime end = start + std::chrono::seconds(seconds);
    const auto cycle = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::milliseconds(t.cycleMs()));
    int faults = 0;
    while (p.link().scheduler().now() < end) {
        switch (pick(6)) {
            case 0:
                armed.arm("STATUS?", sim::Fault::split(std::chrono::milliseconds(
                                         1 + pick(int(kLongestSplit.count())))));
                ++faults;
                break;
            case 1:
                armed.arm(queries[pick(8)], sim::Fault::late(std::chrono::milliseconds(
                                                1 + pick(int(kLongestLate.count())))));
                ++faults;
                break;
            case 2:
                // With fast readings, garbles hit measured values only: a
                // garbled read-back still leaves its set point, and every
                // command behind it, waiting for good.
                if (fast)
                    armed.arm(queries[pick(4)], sim::Fault::garbleNumber());
                else
                    p.line->injectFault(sim::Fault::garbleNumber());
                ++faults;
                break;
            default:
                break;
        }
        p.advance(std::chrono::microseconds(
            std::uniform_int_distribution<long>(0, long(cycle.count()) - 1)(m_rng)));
        check("the pause before an action");
        if (QTest::currentTestFailed()) return;
        const int roll = pick(100);
        const char* what = roll < 25   ? "output"
                           : roll < 55 ? "enter"
                           : roll < 75 ? "arrow"
                           : roll < 85 ? "coupling"
                           : roll < 93 ? "save"
                                       : "recall";
        ++m_actions[QLatin1String(what)];
        m_trace << QStringLiteral("[frame %1 at %2 ms]")
                       .arg(p.line->wireFrames().size())
                       .arg(test::msSince(start, p.link().scheduler().now()));
        if (roll < 25) {
            toggleOutput();
        } else if (roll < 55) {
            enterSetPoint();
        } else if (roll < 75) {
            clickArrow();
        } else if (roll < 85) {
            changeCoupling();
        } else if (roll < 93) {
            save();
        } else {
            armed.faults.clear();  // meant for polling, not for the recall's own queries
            recall();
        }
        if (QTest::currentTestFailed()) return;
        p.advance(0ms);  // what the action set going at this moment
        check(what);
        if (QTest::currentTestFailed()) return;
    }
    QStringList counts;
    for (auto it = m_actions.cbegin(); it != m_actions.cend(); ++it)
        counts << it.key() + QLatin1Char('=') + QString::number(it.value());
    std::printf("link timing: actions %s, faults %d armed %d injected\n",
                qPrintable(counts.join(QLatin1Char(' '))), faults, armed.injected);

    // Output off: whatever still waited goes out, and the cycle ends. A
    // coupling change clicked last may still be on its way behind it.
    if (p.client().outputIntended()) toggleOutput();
    QVERIFY(p.advanceUntil([&] { return !p.link().pollRunning() && p.client().idle(); }, 20s));
    QCOMPARE(p.link().state().SetPointDeferred, std::uint8_t(0));
    check("the end");
    QStringList after;  // handed to the line from now on
    p.link().FrameHandedOver = [&](const QString& frame) { after << frame; };
    p.advance(30s);
    QCOMPARE(after, QStringList());  // no cycle left
    p.link().FrameHandedOver = nullptr;
    const sim::Settings held = p.line->instrument().settings();
    const std::array<double, 4> own{held.vset1, held.iset1, held.vset2, held.iset2};
    for (std::size_t i = 0; i < 4; ++i) {
        if (std::abs(own[i] - m_expected.own[i]) >= 0.005)
            std::printf("actions: %s\nframes: %s\n", qPrintable(m_trace.join(QLatin1Char(' '))),
                        qPrintable(p.frames().join(QLatin1Char(' '))));
        QVERIFY2(
            std::abs(own[i] - m_expected.own[i]) < 0.005,
            qPrintable(QStringLiteral("Edit%1: the instrument holds %2, the operator confirmed %3")
                           .arg(i + 5)
                           .arg(own[i])
                           .arg(m_expected.own[i])));
    }
    const sim::Coupling couplings[] = {sim::Coupling::Independent, sim::Coupling::Parallel,
                                       sim::Coupling::Series};
    QCOMPARE(int(held.coupling), int(couplings[m_expected.coupling - 1]));
    m_p = nullptr;
}

QTEST_MAIN(tst_LinkTiming)
#include "tst_link_timing.moc"
