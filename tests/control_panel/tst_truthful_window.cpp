// What the window shows against what the simulated instrument holds: a
// model change, a coupling change, old readings, the channels' modes, and
// the words for what a sequence does without asking.
#include "control_panel/memory_dialogs.h"
#include "sim_program.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>

#include <atomic>
#include <memory>

using namespace lqs;
using namespace std::chrono_literals;
using test::enter;
using test::frames;
using test::outputButton;

namespace {
using Fixture = test::SimProgram;

QLabel* label(Fixture& f, const char* name) {
    return f.form->findChild<QLabel*>(QLatin1String(name));
}

bool linkedAndIdle(Fixture& f) {
    return f.linkAndSettle() &&
           QTest::qWaitFor([&f] { return f.form->linkClient()->idle(); }, 10000);
}

// Links to an instrument whose output is on; true once polling asks its first query.
bool pollingStarted(Fixture& f) {
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    f.linkStart();
    return QTest::qWaitFor(
        [&f] {
            return frames(f.sim)
                .mid(test::kStartupQueries.size())
                .contains(QStringLiteral("VOUT1?"));
        },
        15000);
}

// ON pressed; true once polling asks its first query.
bool switchedOn(Fixture& f) {
    f.sim.clearTranscript();
    QTest::mouseClick(outputButton(f), Qt::LeftButton);
    return QTest::qWaitFor([&f] { return frames(f.sim).contains(QStringLiteral("VOUT1?")); },
                           10000);
}

const char* const kSetPointFields[] = {"Edit5", "Edit6", "Edit7", "Edit8"};

QStringList setPointTexts(Fixture& f) {
    QStringList texts;
    for (const char* name : kSetPointFields) texts << test::field(f.form, name)->text();
    return texts;
}

// The instrument's own, as it answers them: VSET1, ISET1, VSET2, ISET2.
QStringList heldSetPoints(Fixture& f) {
    return f.sim.withInstrument([](sim::Instrument& i) {
        QStringList held;
        for (int channel : {1, 2}) {
            held << QString::fromStdString(i.formatNumber(i.voltageSet(channel)));
            held << QString::fromStdString(i.formatNumber(i.currentSet(channel)));
        }
        return held;
    });
}

// Calls back on every change of a widget's tooltip, as it happens.
class ToolTipWatch : public QObject {
public:
    ToolTipWatch(QWidget* w, std::function<void(const QString&)> changed)
        : m_widget(w), m_changed(std::move(changed)) {
        w->installEventFilter(this);
    }
    ~ToolTipWatch() override { m_widget->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (watched == m_widget && e->type() == QEvent::ToolTipChange)
            m_changed(m_widget->toolTip());
        return false;
    }

private:
    QWidget* m_widget;
    std::function<void(const QString&)> m_changed;
};
}  // namespace

class tst_TruthfulWindow : public QObject {
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
    void modelChangeKeepsWhatTheInstrumentHolds();
    void identityNamesAnotherModel();
    void outputOnAtClose_data();
    void outputOnAtClose();
    // These share one linked program; oldReadingIsGreyed first, so that the
    // window's once-a-second ageing of readings ticks from its first reading.
    void oldReadingIsGreyed();
    void couplingShowsChannelTwoAtOnce();
    void typedButNotSent();
    void refusedEntrySaysSo_data();
    void refusedEntrySaysSo();
    void channelModes();
    void saveWithOutputOnSaysSo();
    void noLinkNoControls_data();
    void noLinkNoControls();

private:
    static bool sharesLink(const char* testFunction) {
        for (const char* name :
             {"oldReadingIsGreyed", "couplingShowsChannelTwoAtOnce", "typedButNotSent",
              "refusedEntrySaysSo", "channelModes", "saveWithOutputOnSaysSo", "noLinkNoControls"})
            if (qstrcmp(name, testFunction) == 0) return true;
        return false;
    }
    Fixture* linkedOff();
    // Linked once on the LQS-6200B, for the cases that need no start-up of
    // their own. Each finds it idle, the output off, the channels
    // independent and the set points as the link read them, and leaves it so.
    std::unique_ptr<Fixture> m_linked;
    QStringList m_linkedSetPoints;
};

Fixture* tst_TruthfulWindow::linkedOff() {
    if (!m_linked) {
        auto p = std::make_unique<Fixture>();
        test::action(p->form, "LQS6200B1")->trigger();
        if (!linkedAndIdle(*p)) return nullptr;
        m_linked = std::move(p);
        m_linkedSetPoints = setPointTexts(*m_linked);
    }
    Fixture& f = *m_linked;
    if (!test::restingWithOutputOff(f)) return nullptr;
    if (!test::onMain<QRadioButton>(f.form, "RadioButton1")->isChecked() ||
        setPointTexts(f) != m_linkedSetPoints || heldSetPoints(f) != m_linkedSetPoints ||
        !f.boxes.seen.isEmpty()) {
        qWarning("the shared program was left otherwise: shows %s, holds %s",
                 qPrintable(setPointTexts(f).join(QLatin1Char(' '))),
                 qPrintable(heldSetPoints(f).join(QLatin1Char(' '))));
        return nullptr;
    }
    f.sim.clearTranscript();
    return &f;
}

// Linked, a model change keeps each set point in the new model's format; a
// value the new model could not take is marked; nothing is sent.
void tst_TruthfulWindow::modelChangeKeepsWhatTheInstrumentHolds() {
    Fixture f(sim::Model::C);  // an LQS-6500B, with its 5 A
    f.sim.withInstrument([](sim::Instrument& i) {
        i.setVoltageSet(1, 21.0);
        i.setCurrentSet(1, 4.5);
    });
    test::action(f.form, "LQS6500B1")->trigger();
    QVERIFY(linkedAndIdle(f));
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("21.00"));
    QCOMPARE(test::field(f.form, "Edit6")->text(), QStringLiteral("4.50"));
    const qsizetype sent = frames(f.sim).size();
    test::action(f.form, "LQS6200A1")->trigger();
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("21.000"));
    QCOMPARE(test::field(f.form, "Edit6")->text(), QStringLiteral("4.500"));
    QVERIFY(test::field(f.form, "Edit5")->toolTip().isEmpty());
    QVERIFY2(test::field(f.form, "Edit6")
                 ->toolTip()
                 .contains(QStringLiteral("above this model's 3.2 A limit")),
             qPrintable(test::field(f.form, "Edit6")->toolTip()));
    QTest::qWait(200);  // nothing to wait for: a set point sent for the new model would be out
    QCOMPARE(frames(f.sim).size(), sent);
    // Unlinked, as before: the model's zero.
    Fixture g;
    test::action(g.form, "LQS6500B1")->trigger();
    QCOMPARE(test::field(g.form, "Edit5")->text(), QStringLiteral("0.00"));
}

// Coupled, channel 2 shows channel 1's set points at once, as the instrument
// now holds; independent again, its own.
void tst_TruthfulWindow::couplingShowsChannelTwoAtOnce() {
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    QCOMPARE(test::field(f.form, "Edit7")->text(), QStringLiteral("5.00"));
    QTest::mouseClick(test::onMain<QRadioButton>(f.form, "RadioButton3"), Qt::LeftButton);
    QCOMPARE(test::field(f.form, "Edit7")->text(), test::field(f.form, "Edit5")->text());
    QCOMPARE(test::field(f.form, "Edit8")->text(), test::field(f.form, "Edit6")->text());
    QVERIFY(QTest::qWaitFor([&] { return frames(f.sim).contains(QStringLiteral("TRACK1")); }));
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.voltageSet(2); }),
             test::field(f.form, "Edit7")->text().toDouble());
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.currentSet(2); }),
             test::field(f.form, "Edit8")->text().toDouble());
    QTRY_VERIFY(f.form->linkClient()->idle());
    QTest::mouseClick(test::onMain<QRadioButton>(f.form, "RadioButton1"), Qt::LeftButton);
    QCOMPARE(test::field(f.form, "Edit7")->text(), QStringLiteral("5.00"));
    QVERIFY(QTest::qWaitFor([&] { return frames(f.sim).contains(QStringLiteral("TRACK0")); }));
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.voltageSet(2); }), 5.0);
}

// The identity names the instrument's model: another chosen one is said,
// with where to choose; the right one, nothing; no model is chosen by itself.
void tst_TruthfulWindow::identityNamesAnotherModel() {
    Fixture f;  // the simulator is an LQS-6200B; the window starts on the first model
    QCOMPARE(test::action(f.form, "LQS6200A1")->toolTip(), QStringLiteral("LQS-6200A"));
    QVERIFY(linkedAndIdle(f));
    QLabel* panel = label(f, "LinkPanel");
    QVERIFY2(panel->text().endsWith(QStringLiteral(
                 "; the instrument is an LQS-6200B: choose it under Interface > Series")),
             qPrintable(panel->text()));
    QCOMPARE(f.form->link->state().ModelIndex, std::uint8_t(1));
    test::action(f.form, "LQS6200B1")->trigger();
    QCOMPARE(panel->text(),
             QStringLiteral("Linked: %1 \u2014 LQS-6200B V2.1").arg(f.form->comm1->CommName()));
}

// A reading that stops coming (its replies garbled) greys once it is older
// than two cycles, while the others stay current.
void tst_TruthfulWindow::oldReadingIsGreyed() {
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    QLineEdit* edit1 = test::field(f.form, "Edit1");
    // Cycles of about 0.8 s, set with no cycle running: two of them (1.7 s)
    // grey the reading at the window's second once-a-second ageing tick, well
    // before the next reading; after one cycle it would grey at the first.
    LinkTimings pace = f.timings;
    pace.pollPasses = 40;
    f.form->linkClient()->setTimings(pace);
    const qint64 limit = 2 * qint64(f.form->linkClient()->readingIntervalMs());
    // Every reply to VOUT1? after the first one is garbled, until the field greys.
    enum Phase { FirstReading, Garbling, Greyed };
    std::atomic<int> phase{FirstReading};
    QElapsedTimer clock;
    clock.start();
    qint64 readAt = -1;
    qint64 greyedAt = -1;
    QObject context;
    QObject::connect(f.form->linkClient(), &LinkClient::readingTaken, &context,
                     [&](const Reading& r) {
                         if (r.channel != 1 || r.quantity != Quantity::Voltage ||
                             r.text.isEmpty() || phase != FirstReading)
                             return;
                         readAt = clock.elapsed();
                         phase = Garbling;
                     });
    ToolTipWatch watch(edit1, [&](const QString& tip) {
        if (phase != Garbling || !tip.startsWith(QStringLiteral("Not current since "))) return;
        greyedAt = clock.elapsed();
        phase = Greyed;
    });
    test::Observing observing(f.sim, [&](const sim::Exchange& e) {
        if (e.command == "VOUT1?" && phase == Garbling)
            f.sim.injectFault(sim::Fault::garbleNumber());
    });
    QVERIFY(switchedOn(f));
    QTRY_VERIFY_WITH_TIMEOUT(phase == Greyed, 3 * limit);
    // Not sooner than two cycles (less 50 ms: this case notes the reading
    // just after the window does).
    QVERIFY2(greyedAt - readAt > limit - 50,
             qPrintable(QStringLiteral("greyed %1 ms after the last reading, the limit is %2 ms")
                            .arg(greyedAt - readAt)
                            .arg(limit)));
    QVERIFY(edit1->toolTip().contains(QStringLiteral("no new reading for")));
    QCOMPARE(edit1->palette().color(QPalette::Text),
             edit1->palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(test::field(f.form, "Edit2")->toolTip().isEmpty());
    observing.stop();
    QTRY_VERIFY_WITH_TIMEOUT(edit1->toolTip().isEmpty(), 2 * limit);
    f.sim.clearFaults();
    // The pace back as the other cases have it, once no cycle runs to read it.
    QTest::mouseClick(outputButton(f), Qt::LeftButton);
    QTRY_VERIFY(outputButton(f)->text() == QLatin1String("OFF") && f.form->linkClient()->idle() &&
                !f.form->link->pollRunning());
    f.form->linkClient()->setTimings(f.timings);
}

// A load that draws the limit: CC; one that draws less: CV; output off: nothing.
void tst_TruthfulWindow::channelModes() {
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    const auto loads = f.sim.withInstrument([](sim::Instrument& i) {
        return std::pair{i.load(1), i.load(2)};
    });
    f.sim.withInstrument([](sim::Instrument& i) {
        i.setLoad(1, 1.0);     // 12 V into 1 ohm wants 12 A: held at the 1 A limit
        i.setLoad(2, 1000.0);  // 5 V into 1 kohm: 5 mA
    });
    QVERIFY(switchedOn(f));
    QTRY_COMPARE(label(f, "ModeLabel1")->text(), QStringLiteral("CC"));
    QTRY_COMPARE(label(f, "ModeLabel2")->text(), QStringLiteral("CV"));
    QTest::mouseClick(outputButton(f), Qt::LeftButton);
    QTRY_COMPARE(label(f, "ModeLabel1")->text(), QString());
    f.sim.withInstrument([&](sim::Instrument& i) {
        i.setLoad(1, loads.first);
        i.setLoad(2, loads.second);
    });
}

void tst_TruthfulWindow::outputOnAtClose_data() {
    QTest::addColumn<bool>("switchOff");
    QTest::newRow("Yes: OUT0, then closed") << true;
    QTest::newRow("No: closed with the output on") << false;
}

// Closing with the output on asks, No by default; Yes switches it off with
// the usual OUT0 before the window goes.
void tst_TruthfulWindow::outputOnAtClose() {
    QFETCH(bool, switchOff);
    Fixture f;
    QVERIFY(pollingStarted(f));
    bool defaultNo = false;
    f.boxes.holdMs = 60000;  // answered by this test's own watcher
    test::ModalWatcher answer([&](QMessageBox* b) -> QAbstractButton* {
        defaultNo = b->defaultButton() == b->button(QMessageBox::No);
        return b->button(switchOff ? QMessageBox::Yes : QMessageBox::No);
    });
    QSignalSpy closed(f.form.get(), &TForm1::closed);
    f.form->close();
    f.form->close();  // a second close while the question waits does not pass it
    QVERIFY(f.form->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 5000);
    QCOMPARE(answer.seen.size(), 1);
    QVERIFY(defaultNo);
    QCOMPARE(answer.seen.first().text,
             QStringLiteral("The output is on. Switch it off before closing?"));
    QTest::qWait(100);  // the line's own time
    QCOMPARE(frames(f.sim).contains(QStringLiteral("OUT0")), switchOff);
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.output(); }), !switchOff);
}

void tst_TruthfulWindow::saveWithOutputOnSaysSo() {
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    QVERIFY(switchedOn(f));
    QTest::mouseClick(test::onMain<QPushButton>(f.form, "BitBtn5"), Qt::LeftButton);
    Tsave* save = f.form->windows().save;
    QTRY_VERIFY(save->isVisible());
    QTest::keyClick(test::named<QLineEdit>(save, "Edit1"), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(test::named<QLineEdit>(save, "Edit1"), QStringLiteral("2"));
    QTest::mouseClick(test::named<QPushButton>(save, "Button1"), Qt::LeftButton);
    QVERIFY2(label(f, "LinkPanel")
                 ->text()
                 .endsWith(QStringLiteral("; the output goes off to save memory 2")),
             qPrintable(label(f, "LinkPanel")->text()));
    QTRY_VERIFY(frames(f.sim).contains(QStringLiteral("SAV2")));
    QTRY_COMPARE(outputButton(f)->text(), QStringLiteral("OFF"));
}

void tst_TruthfulWindow::noLinkNoControls_data() {
    QTest::addColumn<bool>("hangUp");
    // The lost line ends the shared program: last.
    QTest::newRow("OK in the port dialog") << false;
    QTest::newRow("the line lost") << true;
}

// With no link standing, nothing that sends is offered; the next Link
// offers it again.
void tst_TruthfulWindow::noLinkNoControls() {
    QFETCH(bool, hangUp);
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    QVERIFY(switchedOn(f));
    QVERIFY(test::field(f.form, "Edit5")->isEnabled());
    QTRY_VERIFY(!label(f, "ModeLabel1")->text().isEmpty());
    f.boxes.holdMs = 60000;  // an offer to link again stays open
    if (hangUp) {
        f.sim.hangUpNow();
    } else {
        test::action(f.form, "ToolButton3")->trigger();
        QTest::mouseClick(test::named<QPushButton>(f.form->windows().Form3, "Button1"),
                          Qt::LeftButton);
    }
    QTRY_VERIFY(!test::field(f.form, "Edit5")->isEnabled());
    for (QWidget* w : std::initializer_list<QWidget*>{
             outputButton(f), test::onMain<QRadioButton>(f.form, "RadioButton3"),
             test::onMain<QPushButton>(f.form, "BitBtn5")})
        QVERIFY(!w->isEnabled());
    QVERIFY(!test::action(f.form, "OutPut1")->isEnabled());
    if (hangUp) {
        QCOMPARE(label(f, "ModeLabel1")->text(), QString());  // no mode from a lost line
        m_linked.reset();                                     // its line is gone
        return;
    }
    QCOMPARE(label(f, "LinkPanel")->text(),
             QStringLiteral("Not linked: press Link to read the instrument on %1")
                 .arg(f.form->comm1->CommName()));
    QTRY_VERIFY(!f.form->link->pollRunning());  // polling ended with the link
    const qsizetype sent = frames(f.sim).size();
    QTest::qWait(200);  // nothing to wait for: a cycle left running would ask by now
    QCOMPARE(frames(f.sim).size(), sent);
    f.sim.clearTranscript();
    f.linkStart();
    QTRY_VERIFY(test::field(f.form, "Edit5")->isEnabled());
    QTRY_VERIFY(frames(f.sim).mid(0, test::kStartupQueries.size()) == test::kStartupQueries);
    f.boxes.holdMs = 0;
}

// Typed without Enter: marked as not sent, and nothing goes out; Escape
// brings back what the instrument holds; Enter sends and clears the mark.
void tst_TruthfulWindow::typedButNotSent() {
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    const qsizetype sent = frames(f.sim).size();
    QLineEdit* e = test::field(f.form, "Edit5");
    QTest::mouseClick(e, Qt::LeftButton);
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(e, QStringLiteral("7"));
    QVERIFY(e->font().italic());
    QCOMPARE(e->toolTip(), QStringLiteral("Not sent: press Enter"));
    QTest::keyClick(e, Qt::Key_Tab);
    QVERIFY(e->font().italic());
    QTest::keyClick(e, Qt::Key_Escape);
    QCOMPARE(e->text(), QStringLiteral("12.00"));
    QVERIFY(!e->font().italic());
    QTest::qWait(100);  // nothing to wait for: a set point sent without Enter would be out
    QCOMPARE(frames(f.sim).size(), sent);
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(e, QStringLiteral("7"));
    QTest::keyClick(e, Qt::Key_Return);
    QVERIFY(!e->font().italic());
    QVERIFY(e->toolTip().isEmpty());
    QTRY_VERIFY(frames(f.sim).contains(QStringLiteral("VSET1:7.")));
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.voltageSet(1); }), 7.0);
    enter(e, QStringLiteral("12.00"));  // as the link read it, for the next case
    QTRY_COMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.voltageSet(1); }), 12.0);
}

void tst_TruthfulWindow::refusedEntrySaysSo_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("note");
    QTest::newRow("above the limit") << "35"
                                     << "35 is above the 32 V limit: 0.00 V set";
    QTest::newRow("no number") << "."
                               << "\".\" is not a number: 0.00 V set";
}

// Enter makes an entry it cannot take zero, as always, and now says so.
void tst_TruthfulWindow::refusedEntrySaysSo() {
    QFETCH(QString, typed);
    QFETCH(QString, note);
    Fixture* p = linkedOff();
    QVERIFY(p);
    Fixture& f = *p;
    QLineEdit* e = test::field(f.form, "Edit5");
    QCOMPARE(e->text(), QStringLiteral("12.00"));
    enter(e, typed);
    QCOMPARE(e->text(), QStringLiteral("0.00"));
    QVERIFY2(label(f, "LinkPanel")->text().endsWith(QStringLiteral("; ") + note),
             qPrintable(label(f, "LinkPanel")->text()));
    QTRY_VERIFY(frames(f.sim).contains(QStringLiteral("VSET1:0.")));
    enter(e, QStringLiteral("12.00"));  // as the link read it, for the next row
    QTRY_COMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.voltageSet(1); }), 12.0);
}

QTEST_MAIN(tst_TruthfulWindow)
#include "tst_truthful_window.moc"
