// The soak check: the real main window polls the simulated instrument for many
// cycles while faults are injected at random (seeded; LQS_SOAK_SEED repeats a
// run, LQS_SOAK_CYCLES changes its length). Every fault must show its
// expected effect, and the run ends with a lost reply closing the program.
#include "control_panel/messages_box.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/up_down.h"
#include "device_link/link_state.h"
#include "sim_program.h"

#include <QLineEdit>
#include <QRadioButton>
#include <QScopeGuard>
#include <QToolButton>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <random>

using namespace lqs;
using Clock = std::chrono::steady_clock;

namespace {

enum Kind { GarbleNumber, GarbleStatus, Split, Late, Silence, KindCount };
const char* const kKindNames[KindCount] = {"garble_number", "garble_status", "split", "late",
                                           "silence"};

// Poll queries by the field their answer goes to (index 1..8); [0] is the status.
const std::array<std::string, 9> kQueries = {"STATUS?", "VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?",
                                             "VSET1?",  "ISET1?", "VSET2?", "ISET2?"};

int fieldOf(const QString& query) {
    for (int i = 1; i <= 8; ++i) {
        if (query == QString::fromStdString(kQueries[std::size_t(i)])) return i;
    }
    return 0;
}

int envInt(const char* name, int fallback) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}

// Faults armed by the test and injected from the simulator's I/O thread as the
// chosen query arrives, so each one hits exactly that query's reply.
class FaultPlan {
public:
    struct LateReply {
        QString query;
        Clock::time_point askedAt;
        std::chrono::milliseconds delay;
    };

    void arm(Kind kind, const std::string& query, sim::Fault fault) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = Armed{kind, query, fault};
    }
    void disarm() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed.reset();
    }
    int injected(Kind k) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_injected[k];
    }
    int statusQueries() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_statusQueries;
    }
    std::optional<LateReply> takeLate(const QString& query) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_late || m_late->query != query) return std::nullopt;
        std::optional<LateReply> out = m_late;
        m_late.reset();
        return out;
    }
    bool lateOutstanding() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_late.has_value();
    }

    // In the I/O thread.
    void onFrame(sim::PtyEndpoint& sim, const sim::Exchange& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (e.command == kQueries[0]) ++m_statusQueries;
        if (!m_armed || e.command != m_armed->query) return;
        sim.injectFault(m_armed->fault);
        ++m_injected[m_armed->kind];
        if (m_armed->kind == Late) {
            m_late =
                LateReply{QString::fromStdString(e.command), Clock::now(), m_armed->fault.delay};
        }
        m_armed.reset();
    }

private:
    struct Armed {
        Kind kind;
        std::string query;
        sim::Fault fault;
    };
    mutable std::mutex m_mutex;
    std::optional<Armed> m_armed;
    std::optional<LateReply> m_late;
    std::array<int, KindCount> m_injected{};
    int m_statusQueries = 0;
};

// What a received block may change on the window.
struct Snapshot {
    std::array<QString, 9> fields;
    QString status1, status2, caption;
    int coupling = 0;
};

class Soak {
public:
    FaultPlan plan;  // first, so that it outlives the simulator's thread
    test::SimProgram p{sim::Model::B, 8};
    sim::PtyEndpoint& sim = p.sim;
    std::unique_ptr<TForm1>& form = p.form;
    std::array<int, KindCount> seen{};
    QStringList violations;
    QStringList trace;  // what each cycle did, for a failure's report
    bool watching = false;
    std::chrono::milliseconds cycle{0};                    // one poll cycle at the soak's timings
    std::array<double, 4> confirmed{12.0, 1.0, 5.0, 0.5};  // Edit5 .. Edit8 as last confirmed

    Soak() {
        sim.setLineModel(
            sim::LineModel::instant());  // pauses eight times short leave no time for the line
        const LinkTimings t = LinkTimings().scaled(8);
        cycle = std::chrono::milliseconds(t.pollStartMs + 9 * (2 * t.pollPasses * t.passMs + 30));
        sim.setFrameObserver([this](const sim::Exchange& e) { plan.onFrame(sim, e); });
        sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
        auto handle = form->comm1->OnReceiveData;
        form->comm1->OnReceiveData = [this, handle](TComm* c, void* buffer, std::uint16_t length) {
            received(QByteArray(static_cast<const char*>(buffer), length),
                     [&] { handle(c, buffer, length); });
        };
        for (int i = 1; i <= 8; ++i) {
            QObject::connect(edit(i), &QLineEdit::textChanged, [this, i](const QString& text) {
                for (QChar c : text) {
                    if (c.isLetter()) {
                        violation(QStringLiteral("Edit%1 showed \"%2\"").arg(i).arg(text));
                        break;
                    }
                }
            });
        }
    }

    QLineEdit* edit(int i) const {
        QLineEdit* const e[] = {nullptr,
                                test::field(form, "Edit1"),
                                test::field(form, "Edit2"),
                                test::field(form, "Edit3"),
                                test::field(form, "Edit4"),
                                test::field(form, "Edit5"),
                                test::field(form, "Edit6"),
                                test::field(form, "Edit7"),
                                test::field(form, "Edit8")};
        return e[i];
    }

    Snapshot snapshot() const {
        Snapshot s;
        for (int i = 1; i <= 8; ++i) s.fields[std::size_t(i)] = edit(i)->text();
        s.status1 = form->statusText(1);
        s.status2 = form->statusText(2);
        s.caption = test::onMain<QPushButton>(form, "BitBtn4")->text();
        s.coupling = test::onMain<QRadioButton>(form, "RadioButton1")->isChecked()   ? 1
                     : test::onMain<QRadioButton>(form, "RadioButton2")->isChecked() ? 2
                     : test::onMain<QRadioButton>(form, "RadioButton3")->isChecked() ? 3
                                                                                     : 0;
        return s;
    }

    void arm(Kind kind, const std::string& query, sim::Fault fault) {
        note(QStringLiteral("%1 on %2, %3 ms")
                 .arg(QString::fromLatin1(kKindNames[kind]), QString::fromStdString(query))
                 .arg(fault.delay.count()));
        plan.arm(kind, query, fault);
    }
    void note(const QString& what) {
        trace << QStringLiteral("cycle %1: %2").arg(plan.statusQueries()).arg(what);
    }

    // The last actions and frames, for a failure's message.
    QString report() const {
        const QStringList frames = test::frames(sim);
        return QStringLiteral("last actions:\n  ") +
               trace.mid(trace.size() - 8).join(QStringLiteral("\n  ")) +
               QStringLiteral("\nlast frames: ") +
               frames.mid(frames.size() - 40).join(QLatin1Char(' '));
    }

    bool instrumentOutput() {
        return sim.withInstrument([](sim::Instrument& i) { return i.output(); });
    }

private:
    bool m_splitTail = false;

    void violation(const QString& what) {
        violations << QStringLiteral("cycle %1: %2").arg(plan.statusQueries()).arg(what);
        if (violations.size() == 1) violations << report();  // what led to the first
    }

    // Runs the link's handler on one block and checks what it did.
    template <class F>
    void received(const QByteArray& block, F&& handle) {
        if (!watching) {
            handle();
            return;
        }
        const LinkState& s = form->link->state();
        const QString query = s.lastQuery();
        const bool isStatus = query == QString::fromStdString(kQueries[0]);
        const Snapshot before = snapshot();
        const int counterBefore = s.ReplyCounter;
        const bool waiting = s.SetPointDeferred == 1;
        handle();
        const Snapshot after = snapshot();
        const int counter = s.ReplyCounter;
        const QString text = QString::fromLatin1(block.left(block.size() - 2))
                                 .replace(QLatin1Char('\n'), QStringLiteral("\\n"))
                                 .replace(QLatin1Char('\r'), QStringLiteral("\\r"));
        const bool complete = block.endsWith('\r');

        if (block.contains('x') || block.contains('y') || block.contains('z')) {
            if (isStatus) {
                ++seen[GarbleStatus];
                if (after.status1 != before.status1 || after.status2 != before.status2 ||
                    after.caption != before.caption || after.coupling != before.coupling) {
                    violation(
                        QStringLiteral("garbled status \"%1\" changed the window while polling")
                            .arg(text));
                }
            } else {
                ++seen[GarbleNumber];
                if (after.fields != before.fields) {
                    violation(QStringLiteral("garbled number \"%1\" changed a field").arg(text));
                }
            }
            return;
        }
        if (!complete) {  // the first half of a split reply
            ++seen[Split];
            m_splitTail = true;
            if (counter != (isStatus ? 0 : counterBefore)) {
                violation(QStringLiteral("half a reply counted: %1 -> %2")
                              .arg(counterBefore)
                              .arg(counter));
            }
            return;
        }
        if (m_splitTail) {  // the rest of it: one reply counted in all
            m_splitTail = false;
            if (counter != (isStatus ? 0 : counterBefore + 1)) {
                violation(
                    QStringLiteral("split reply counted %1 -> %2").arg(counterBefore).arg(counter));
            }
            return;
        }
        if (const auto late = plan.takeLate(query)) {
            ++seen[Late];
            if (Clock::now() - late->askedAt < late->delay) {
                violation(QStringLiteral("late reply to %1 came early").arg(query));
            }
        }
        const int field = fieldOf(query);
        if (field && !(field >= 5 && waiting) && s.ParserMode == Parse::Polling &&
            s.PendingOperation != Op::None && after.fields[std::size_t(field)] != text) {
            violation(QStringLiteral("reply \"%1\" to %2 not shown: Edit%3 holds \"%4\"")
                          .arg(text, query)
                          .arg(field)
                          .arg(after.fields[std::size_t(field)]));
        }
    }
};

}  // namespace

class tst_SoakLink : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void soak();

private:
    void waitCycle(Soak& f);
    void toggleOutput(Soak& f);
    void changeSetPoint(Soak& f, std::mt19937& rng);
    void holdStepper(Soak& f, std::mt19937& rng);

    int m_toggles = 0;
    int m_setPoints = 0;
    int m_holds = 0;
};

// Until the next status query has gone out and no late reply is still due.
void tst_SoakLink::waitCycle(Soak& f) {
    const int target = f.plan.statusQueries() + 1;
    QString problem;
    if (!QTest::qWaitFor(
            [&] { return f.plan.statusQueries() >= target && !f.plan.lateOutstanding(); }, 15000)) {
        problem = QStringLiteral("no poll cycle within 15 s");
    } else if (f.form->windows().Messages->isVisible()) {
        problem = QStringLiteral("time-out box without a lost reply");
    } else if (f.form->windows().Querying->isVisible()) {
        problem = QStringLiteral("querying dialog while polling");
    } else if (const QString broken = test::pollingViolation(f.sim, 2 * f.cycle, true);
               !broken.isEmpty()) {
        problem = broken;
    } else if (const QString flags = test::wireFlags(f.sim); !flags.isEmpty()) {
        problem = flags;
    } else if (!f.violations.isEmpty()) {
        QFAIL(qPrintable(f.violations.join(QLatin1Char('\n'))));
    }
    if (!problem.isEmpty()) QFAIL(qPrintable(problem + QLatin1Char('\n') + f.report()));
}

void tst_SoakLink::toggleOutput(Soak& f) {
    ++m_toggles;
    f.note(QStringLiteral("output off and on"));
    QTest::mouseClick(test::onMain<QPushButton>(f.form, "BitBtn4"), Qt::LeftButton);
    QTRY_COMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("OFF"));
    QTRY_VERIFY(!f.instrumentOutput());
    QTest::mouseClick(test::onMain<QPushButton>(f.form, "BitBtn4"),
                      Qt::LeftButton);  // on again at once
    QTRY_COMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("ON"));
    QTRY_VERIFY(f.instrumentOutput());
}

// The instrument's set point behind field 5 .. 8.
double setPointOf(Soak& f, int edit) {
    return f.sim.withInstrument([edit](sim::Instrument& i) {
        return edit == 5   ? i.voltageSet(1)
               : edit == 6 ? i.currentSet(1)
               : edit == 7 ? i.voltageSet(2)
                           : i.currentSet(2);
    });
}

// Typed and confirmed with the output on: it goes out from the poll thread.
void tst_SoakLink::changeSetPoint(Soak& f, std::mt19937& rng) {
    ++m_setPoints;
    const int edit = 5 + int(rng() % 4);
    const int hundredths = std::uniform_int_distribution<int>(10, edit % 2 ? 3000 : 300)(rng);
    const QString typed = QString::number(hundredths / 100.0, 'f', 2);
    f.note(QStringLiteral("Edit%1 := %2").arg(edit).arg(typed));
    QLineEdit* e = f.edit(edit);
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(e, typed);
    QTest::keyClick(e, Qt::Key_Return);
    const double shown = e->text().toDouble();
    f.confirmed[std::size_t(edit - 5)] = shown;
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(setPointOf(f, edit) - shown) < 0.006, 5000);
    QTRY_COMPARE(f.form->link->state().SetPointDeferred, std::uint8_t(0));
}

// An arrow held down pauses the queries until it is let go; its steps then go out.
void tst_SoakLink::holdStepper(Soak& f, std::mt19937& rng) {
    ++m_holds;
    const int edit = 5 + int(rng() % 4);
    TUpDown* const arrows[] = {
        test::onMain<TUpDown>(f.form, "UpDown1"), test::onMain<TUpDown>(f.form, "UpDown2"),
        test::onMain<TUpDown>(f.form, "UpDown3"), test::onMain<TUpDown>(f.form, "UpDown4")};
    QToolButton* down = arrows[edit - 5]->downButton();  // down never meets a ceiling
    f.note(QStringLiteral("arrow of Edit%1 held").arg(edit));
    QTest::qWait(int(rng() % 800));
    QTest::mousePress(down, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(f.form->link->state().HoldTicks > 0, 3000);
    QTest::qWait(250);  // a query already past the gate may still go out
    const std::size_t held = f.sim.transcript().size();
    QTest::qWait(400);
    QCOMPARE(f.sim.transcript().size(), held);
    QTest::mouseRelease(down, Qt::LeftButton);
    QCOMPARE(f.form->link->state().HoldTicks, 0);
    QTRY_VERIFY(f.sim.transcript().size() > held);
    const double shown = f.edit(edit)->text().toDouble();
    f.confirmed[std::size_t(edit - 5)] = shown;
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(setPointOf(f, edit) - shown) < 0.006, 5000);
}

void tst_SoakLink::soak() {
    const unsigned seed =
        unsigned(envInt("LQS_SOAK_SEED", int(std::random_device{}() & 0x7fffffff)));
    const int cycles = envInt("LQS_SOAK_CYCLES", 200);
    std::printf("soak: seed=%u cycles=%d\n", seed, cycles);
    std::fflush(stdout);
    std::mt19937 rng(seed);
    const auto started = Clock::now();

    Soak f;
    QSignalSpy closed(f.form.get(), &TForm1::closed);
    QVERIFY(f.form->comm1->IsOpen());
    test::action(f.form, "ToolButton1")->trigger();
    QTRY_COMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("ON"));
    QTRY_COMPARE(f.form->link->state().ParserMode, Parse::Polling);
    f.watching = true;

    const int first = f.plan.statusQueries();
    // Printed however the run ends, for scripts/soak's summary.
    const auto summary = qScopeGuard([&] {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("soak: %d cycles in %.1f s\n", f.plan.statusQueries() - first, seconds);
        std::printf("soak: faults injected:");
        for (int k = 0; k < KindCount; ++k)
            std::printf(" %s=%d", kKindNames[k], f.plan.injected(Kind(k)));
        std::printf("\nsoak: actions: output_toggles=%d set_points=%d holds=%d\n", m_toggles,
                    m_setPoints, m_holds);
        std::fflush(stdout);
    });
    while (f.plan.statusQueries() - first < cycles) {
        const int roll = int(rng() % 100);
        if (roll < 3) {
            toggleOutput(f);
        } else if (roll < 8) {
            changeSetPoint(f, rng);
        } else if (roll < 12) {
            holdStepper(f, rng);
        } else if (roll < 27) {
            f.arm(GarbleNumber, kQueries[1 + rng() % 8], sim::Fault::garbleNumber());
        } else if (roll < 37) {
            f.arm(
                GarbleStatus, kQueries[0],
                rng() % 2 ? sim::Fault::garbleStatusCoupling() : sim::Fault::garbleStatusOutput());
        } else if (roll < 52) {
            // A pause well over the read interval, so the reply comes as two blocks.
            const std::string& query = kQueries[rng() % 9];
            const int ms = 35 + int(rng() % 16);
            f.arm(Split, query, sim::Fault::split(std::chrono::milliseconds(ms)));
        } else if (roll < 62) {
            // Past the pause before the next query but inside the grace a missing reply
            // gets; the link grants that grace only in its own polling operation, so
            // after a set-point change the answer stays inside the pause.
            const bool grace = f.form->link->state().PendingOperation == Op::Polling;
            const int ms = grace ? 60 + int(rng() % 61) : 20 + int(rng() % 41);
            f.arm(Late, kQueries[1 + rng() % 8], sim::Fault::late(std::chrono::milliseconds(ms)));
        }
        if (QTest::currentTestFailed()) return;
        waitCycle(f);
        if (QTest::currentTestFailed()) return;
        f.plan.disarm();  // one whose query never came (a hold, a toggle) is not counted
    }

    // A lost reply: polling must be in its own mode again for the loss to show.
    toggleOutput(f);
    if (QTest::currentTestFailed()) return;
    waitCycle(f);
    if (QTest::currentTestFailed()) return;
    f.arm(Silence, kQueries[1 + rng() % 8], sim::Fault::silence());
    TMessages* box = f.form->windows().Messages;
    QTRY_VERIFY_WITH_TIMEOUT(box->isVisible(), 15000);
    f.watching = false;

    QVERIFY2(f.violations.isEmpty(), qPrintable(f.violations.join(QLatin1Char('\n'))));
    for (int k = 0; k < Silence; ++k) {
        QVERIFY2(f.seen[std::size_t(k)] == f.plan.injected(Kind(k)),
                 qPrintable(QStringLiteral("%1: %2 injected, %3 seen")
                                .arg(QString::fromLatin1(kKindNames[k]))
                                .arg(f.plan.injected(Kind(k)))
                                .arg(f.seen[std::size_t(k)])));
    }
    QCOMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(),
             f.instrumentOutput() ? QStringLiteral("ON") : QStringLiteral("OFF"));
    for (int edit = 5; edit <= 8; ++edit) {
        const double held = setPointOf(f, edit);
        QVERIFY2(
            std::abs(held - f.confirmed[std::size_t(edit - 5)]) < 0.006,
            qPrintable(QStringLiteral("Edit%1: the instrument holds %2, the operator confirmed %3")
                           .arg(edit)
                           .arg(held)
                           .arg(f.confirmed[std::size_t(edit - 5)])));
    }
    QVERIFY(f.p.boxes.seen.isEmpty());

    QVERIFY(!f.form->frameEnabled());
    QTest::mouseClick(test::named<QPushButton>(box, "Button1"), Qt::LeftButton);
    QCOMPARE(closed.count(), 1);
    QVERIFY(!f.form->comm1->IsOpen());
    QTRY_VERIFY_WITH_TIMEOUT(!f.form->link->pollRunning(), 5000);
}

QTEST_MAIN(tst_SoakLink)
#include "tst_soak_link.moc"
