// The link at random moments: the real window against the simulator, with
// every pause shortened, takes output toggles, set-point entries (typed with
// Enter, and arrow clicks), coupling changes, saves and recalls at uniformly
// random points of the poll cycle while split, late and garbled replies are
// injected. After every action the instrument's record must show one cycle
// at a time, no polling stall and a clean line; at the end the instrument
// holds what the operator confirmed last and no poll thread is left.
// The seed is fixed so a run can be repeated (the moments still move with the
// machine's timing); LQS_TIMING_SEED picks another, LQS_TIMING_SECONDS the length.
#include "control_panel/memory_dialogs.h"
#include "control_panel/messages_box.h"
#include "control_panel/up_down.h"
#include "named.h"
#include "sim_program.h"

#include <QLineEdit>
#include <QRadioButton>
#include <QToolButton>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>

using namespace lqs;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kDivisor = 4;  // sanitized code runs slower: keep the pauses' proportions
#else
constexpr int kDivisor = 8;
#endif

int envInt(const char* name, int fallback) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}

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

// Faults for the reply to one chosen query, injected as that query arrives.
class Armed {
public:
    void arm(const std::string& query, sim::Fault fault) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_query = query;
        m_fault = fault;
        m_set = true;
    }
    void disarm() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_set = false;
    }
    void onFrame(sim::PtyEndpoint& sim, const sim::Exchange& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_set || e.command != m_query) return;
        sim.injectFault(m_fault);
        m_set = false;
        ++injected;
    }
    std::atomic<int> injected{0};

private:
    std::mutex m_mutex;
    bool m_set = false;
    std::string m_query;
    sim::Fault m_fault;
};

}  // namespace

class tst_LinkTiming : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void randomMoments_data();
    void randomMoments();

private:
    void check(const char* after);
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

    test::SimProgram* m_p = nullptr;
    std::mt19937 m_rng;
    Expected m_expected;
    std::chrono::milliseconds m_cycle{0};
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
    const bool on = test::onMain<QPushButton>(m_p->form, "BitBtn4")->text() == QLatin1String("ON");
    const QString broken = m_fast ? test::fastPollingViolation(m_p->sim, 2 * m_cycle, on)
                                  : test::pollingViolation(m_p->sim, 2 * m_cycle, on);
    const QString flags = test::wireFlags(m_p->sim);
    if (broken.isEmpty() && flags.isEmpty()) return;
    const QStringList all = test::frames(m_p->sim);
    QFAIL(qPrintable(QStringLiteral("after %1: %2%3\nlast frames: %4")
                         .arg(QLatin1String(after), broken, flags,
                              all.mid(all.size() - 30).join(QLatin1Char(' ')))));
}

void tst_LinkTiming::toggleOutput() {
    QTest::mouseClick(test::onMain<QPushButton>(m_p->form, "BitBtn4"), Qt::LeftButton);
    m_trace
        << QStringLiteral("output %1").arg(test::onMain<QPushButton>(m_p->form, "BitBtn4")->text());
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
    if (!QTest::qWaitFor([&] { return dialog->isVisible(); })) {
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
    QTRY_VERIFY_WITH_TIMEOUT(m_p->form->linkClient()->idle(), 10000);
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
    const int seconds = envInt("LQS_TIMING_SECONDS", 10) / 2;
    std::printf("link timing: seed=%u seconds=%d%s\n", seed, seconds, fast ? " fast readings" : "");
    std::fflush(stdout);
    m_rng.seed(seed);

    Armed armed;  // outlives the simulator's thread
    // Fast readings learn the instrument's real timing; the cycle's pauses,
    // shortened this much, leave no time for the line's.
    const int divisor = fast ? 4 : kDivisor;
    test::SimProgram p(sim::Model::B, divisor);
    if (!fast) p.sim.setLineModel(sim::LineModel::instant());
    m_p = &p;
    const LinkTimings t = LinkTimings().scaled(divisor);
    // One cycle with a reply's time on the line after each query.
    m_cycle = std::chrono::milliseconds(t.pollStartMs + 9 * (2 * t.pollPasses * t.passMs + 30));
    p.sim.setFrameObserver([&](const sim::Exchange& e) { armed.onFrame(p.sim, e); });
    test::action(p.form, "LQS6200B1")->trigger();  // the simulated instrument's resolution
    if (fast) test::action(p.form, "FastReadings1")->trigger();
    QVERIFY(p.linkAndSettle());
    check("the link");
    if (QTest::currentTestFailed()) return;

    const char* const queries[] = {"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?",
                                   "VSET1?", "VSET2?", "ISET1?", "ISET2?"};
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    int faults = 0;
    while (Clock::now() < end) {
        // Faults within what the link must ride out: a late reply stays inside
        // the pause after its query and the grace of the next.
        switch (pick(6)) {
            case 0:
                armed.arm("STATUS?", sim::Fault::split(std::chrono::milliseconds(40 + pick(20))));
                ++faults;
                break;
            case 1:
                armed.arm(queries[pick(8)],
                          sim::Fault::late(std::chrono::milliseconds(20 + pick(t.pollPasses))));
                ++faults;
                break;
            case 2:
                p.sim.injectFault(sim::Fault::garbleNumber());
                ++faults;
                break;
            default:
                break;
        }
        QTest::qWait(int(std::uniform_int_distribution<long>(0, long(m_cycle.count()) - 1)(m_rng)));
        const int roll = pick(100);
        const char* what = roll < 25   ? "output"
                           : roll < 55 ? "enter"
                           : roll < 75 ? "arrow"
                           : roll < 85 ? "coupling"
                           : roll < 93 ? "save"
                                       : "recall";
        ++m_actions[QLatin1String(what)];
        m_trace << QStringLiteral("[frame %1]").arg(p.sim.wireFrames().size());
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
            armed.disarm();  // meant for polling, not for the recall's own queries
            recall();
        }
        if (QTest::currentTestFailed()) return;
        check(what);
        if (QTest::currentTestFailed()) return;
        QVERIFY2(!p.form->windows().Messages->isVisible(), "time-out box without a lost reply");
        QVERIFY2(p.boxes.seen.isEmpty(), qPrintable(p.boxes.seen.value(0).text));
    }
    QStringList counts;
    for (auto it = m_actions.cbegin(); it != m_actions.cend(); ++it)
        counts << it.key() + QLatin1Char('=') + QString::number(it.value());
    std::printf("link timing: actions %s, faults %d armed %d injected\n",
                qPrintable(counts.join(QLatin1Char(' '))), faults, armed.injected.load());

    // Output off: whatever still waited goes out, and every poll thread ends.
    // A coupling change clicked last may still be on its way behind it.
    if (test::onMain<QPushButton>(p.form, "BitBtn4")->text() == QLatin1String("ON")) toggleOutput();
    QTRY_VERIFY_WITH_TIMEOUT(!p.form->link->pollRunning() && p.form->linkClient()->idle(), 5000);
    QTRY_COMPARE(p.form->link->state().SetPointDeferred, std::uint8_t(0));
    const auto holds = [&] {
        const auto h = p.sim.withInstrument([](sim::Instrument& i) { return i.settings(); });
        const std::array<double, 4> own{h.vset1, h.iset1, h.vset2, h.iset2};
        for (std::size_t i = 0; i < 4; ++i) {
            if (std::abs(own[i] - m_expected.own[i]) >= 0.005) return false;
        }
        return true;
    };
    const bool settled = QTest::qWaitFor(holds, 3000);  // the last frames may still be on the line
    check("the end");
    const auto held = p.sim.withInstrument([](sim::Instrument& i) { return i.settings(); });
    const std::array<double, 4> own{held.vset1, held.iset1, held.vset2, held.iset2};
    for (std::size_t i = 0; i < 4; ++i) {
        if (!settled && std::abs(own[i] - m_expected.own[i]) >= 0.005) {
            std::printf("actions: %s\nframes: %s\n", qPrintable(m_trace.join(QLatin1Char(' '))),
                        qPrintable(test::frames(p.sim).join(QLatin1Char(' '))));
        }
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
