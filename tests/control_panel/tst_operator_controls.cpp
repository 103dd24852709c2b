// The operator's controls on the linked program, asserted on what the
// simulated instrument received and on what the window shows. The set-point
// entry's rules run row by row in tst_set_point_entry; one row of each runs
// here, through the whole program to the instrument.
#include "control_panel/memory_dialogs.h"
#include "control_panel/messages_box.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/up_down.h"
#include "device_link/link_state.h"
#include "recorder/wave_window.h"
#include "sim_program.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

using namespace lqs;
using test::frames;

namespace {

QStringList after(const test::SimProgram& p, int skip) {
    return frames(p.sim).mid(skip);
}

using Program = test::SimProgram;

// Linked, and the link has nothing under way.
bool linkAndIdle(test::SimProgram& p) {
    return p.linkAndSettle() &&
           QTest::qWaitFor([&p] { return p.form->linkClient()->idle(); }, 10000);
}

}  // namespace

class tst_OperatorControls : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void typedEntry_data();
    void typedEntry();
    void pasteFollowsTheKeyRule();
    void keysStepAsTheArrows();
    void pageKeysTakeTheCoarseStep();
    void heldArrowEndsWhenTheViewSwitches();
    void trackWithOutputOn();
    void saveWithOutputOff();
    void saveWithOutputOnUnderParallel();
    void recallSlotTwo();
    void slotArrowsAndCancel();
    void outputOffStopsTheRecorder_data();
    void outputOffStopsTheRecorder();
    void staleReadingsStopTheRecorder_data();
    void staleReadingsStopTheRecorder();
};

// One taken and one refused entry; the instrument holds what Enter sent, and
// the link panel says why an entry was refused.
void tst_OperatorControls::typedEntry_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("sent");
    QTest::addColumn<double>("held");
    QTest::addColumn<QString>("note");
    QTest::newRow("C 5.1 A channel 2") << 3 << 8 << "5.1"
                                       << "5.10"
                                       << "ISET2:5.1" << 5.1 << "";
    QTest::newRow("33 V is out of range")
        << 2 << 5 << "33"
        << "0.00"
        << "VSET1:0." << 0.0 << "33 is above the 32 V limit: 0.00 V set";
}

void tst_OperatorControls::typedEntry() {
    QFETCH(int, model);
    QFETCH(int, field);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(QString, sent);
    QFETCH(double, held);
    QFETCH(QString, note);
    const sim::Model instruments[] = {sim::Model::A, sim::Model::B, sim::Model::C};
    Program p(instruments[model - 1]);
    QAction* models[] = {test::action(p.form, "LQS6200A1"), test::action(p.form, "LQS6200B1"),
                         test::action(p.form, "LQS6500B1")};
    models[model - 1]->trigger();
    QVERIFY(linkAndIdle(p));
    const int skip = frames(p.sim).size();
    QLineEdit* e = p.form->findChild<QLineEdit*>(QStringLiteral("Edit%1").arg(field));
    e->setFocus();
    e->selectAll();
    QTest::keyClicks(e, typed);
    QCOMPARE(p.form->statusText(2), QStringLiteral("Please press Enter key!"));
    QTest::keyClick(e, Qt::Key_Return);
    QCOMPARE(e->text(), shown);
    QCOMPARE(p.form->statusText(2), QString());
    const QString panel = p.form->findChild<QLabel*>(QStringLiteral("LinkPanel"))->text();
    QVERIFY2(note.isEmpty() ? !panel.contains(QLatin1String("; "))
                            : panel.endsWith(QStringLiteral("; ") + note),
             qPrintable(panel));
    QTRY_COMPARE(after(p, skip), QStringList{sent});
    const int channel = field < 7 ? 1 : 2;
    const bool voltage = field % 2 == 1;
    QTRY_VERIFY(qAbs(p.sim.withInstrument([&](sim::Instrument& i) {
                    return voltage ? i.voltageSet(channel) : i.currentSet(channel);
                }) - held) < 1e-6);
}

// Pasted text passes the key rule, comma included; Enter sends what the field shows.
void tst_OperatorControls::pasteFollowsTheKeyRule() {
    Program p;
    QVERIFY(linkAndIdle(p));
    const int skip = frames(p.sim).size();
    QLineEdit* e = test::field(p.form, "Edit5");
    QApplication::clipboard()->setText(QStringLiteral("1a2,5 V\n"));
    e->clear();
    e->setFocus();
    QTest::keyClick(e, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(e->text(), QStringLiteral("12.5"));
    QCOMPARE(p.form->statusText(2), QStringLiteral("Please press Enter key!"));
    QTest::keyClick(e, Qt::Key_Return);
    QCOMPARE(e->text(), QStringLiteral("12.500"));
    QTRY_COMPARE(after(p, skip), QStringList{"VSET1:12.5"});
}

// Up in a set-point field: the same text and the same frame as a click on
// the field's arrow from the same value.
void tst_OperatorControls::keysStepAsTheArrows() {
    Program p;
    QVERIFY(linkAndIdle(p));
    QLineEdit* e = test::field(p.form, "Edit5");
    const int skip = frames(p.sim).size();
    e->setText(QStringLiteral("5.000"));
    QTest::mouseClick(test::onMain<TUpDown>(p.form, "UpDown1")->upButton(), Qt::LeftButton);
    QTRY_COMPARE(after(p, skip).size(), 1);
    const QString clicked = e->text();
    QCOMPARE(clicked, QStringLiteral("5.001"));
    e->setText(QStringLiteral("5.000"));
    e->setFocus();
    QTest::keyClick(e, Qt::Key_Up);
    QCOMPARE(e->text(), clicked);
    QTRY_COMPARE(after(p, skip), (QStringList{"VSET1:5.001", "VSET1:5.001"}));
}

// Page Up: the step a held arrow takes after two seconds.
void tst_OperatorControls::pageKeysTakeTheCoarseStep() {
    Program p;
    QVERIFY(linkAndIdle(p));
    QLineEdit* e = test::field(p.form, "Edit5");
    const int skip = frames(p.sim).size();
    e->setText(QStringLiteral("5.000"));
    e->setFocus();
    QTest::keyClick(e, Qt::Key_PageUp);
    QCOMPARE(e->text(), QStringLiteral("6.000"));
    QTRY_COMPARE(after(p, skip), QStringList{"VSET1:6."});
    QTRY_VERIFY(qAbs(p.sim.withInstrument([](sim::Instrument& i) { return i.voltageSet(1); }) -
                     6.0) < 1e-6);
}

// The window's own view switch hides the held arrow: the real release never
// arrives then, so the hold ends by itself and nothing more is stepped.
void tst_OperatorControls::heldArrowEndsWhenTheViewSwitches() {
    std::atomic<int> handed{0};  // outlives the link's threads
    Program p;
    QVERIFY(linkAndIdle(p));
    p.form->link->FrameHandedOver = [&handed](const QString&) { ++handed; };
    const int skip = frames(p.sim).size();
    QToolButton* up = test::onMain<TUpDown>(p.form, "UpDown1")->upButton();
    QCOMPARE(up->autoRepeatInterval(), 100);  // the window keeps the usual repeat
    up->setAutoRepeatDelay(20);
    up->setAutoRepeatInterval(20);
    test::field(p.form, "Edit5")->setText(QStringLiteral("5.000"));
    QTest::mousePress(up, Qt::LeftButton);
    QTRY_VERIFY(handed >= 2);  // repeating, every step sent with the output off
    QVERIFY(test::onMain<QTimer>(p.form, "tmr1")->isActive());
    test::action(p.form, "Wave1")->trigger();
    QVERIFY(!up->isVisible());
    QVERIFY(!up->isDown());
    QVERIFY(!test::onMain<QTimer>(p.form, "tmr1")->isActive());
    QCOMPARE(p.form->link->state().HoldTicks, 0);
    test::action(p.form, "Control1")->trigger();
    QVERIFY(up->isVisible());
    QTRY_VERIFY(p.form->linkClient()->idle());
    const QString shown = test::field(p.form, "Edit5")->text();
    const int sent = handed;
    // Nothing to wait for: a hold still running would step every 20 ms.
    QTest::qWait(200);
    QCOMPARE(test::field(p.form, "Edit5")->text(), shown);
    QCOMPARE(handed.load(), sent);
    QTRY_COMPARE(after(p, skip).size(), sent);
    QCOMPARE(p.boxes.seen.size(), 0);
    QTest::mouseRelease(up, Qt::LeftButton);
}

void tst_OperatorControls::trackWithOutputOn() {
    std::atomic<int> handed{0};  // outlives the link's threads
    Program p;
    p.form->link->FrameHandedOver = [&handed](const QString&) { ++handed; };
    p.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    QVERIFY(linkAndIdle(p));
    QTRY_VERIFY(frames(p.sim).size() > test::kStartupQueries.size() + 2);  // polling
    test::action(p.form, "Start1")->trigger();  // the recorder window exists
    const int skip = frames(p.sim).size();
    QTest::mouseClick(test::onMain<QRadioButton>(p.form, "RadioButton3"), Qt::LeftButton);
    QTRY_VERIFY(after(p, skip).contains(QStringLiteral("OUT0")));
    QTRY_COMPARE(test::onMain<QPushButton>(p.form, "BitBtn4")->text(), QStringLiteral("OFF"));
    QStringList sent = after(p, skip);
    sent.removeIf(
        [](const QString& f) { return test::kPollQueries.contains(f); });  // one may be in flight
    QCOMPARE(sent, (QStringList{"TRACK1", "OUT0"}));
    QTRY_VERIFY(test::field(p.form, "Edit1")->text().isEmpty());
    QTRY_VERIFY(!p.form->link->pollRunning());
    QTRY_VERIFY(p.form->linkClient()->idle());
    // The selected button again: nothing, not even an intent.
    const int settled = handed;
    QTest::mouseClick(test::onMain<QRadioButton>(p.form, "RadioButton3"), Qt::LeftButton);
    QVERIFY(p.form->linkClient()->idle());
    QCOMPARE(handed.load(), settled);
}

void tst_OperatorControls::saveWithOutputOff() {
    Program p;
    QVERIFY(linkAndIdle(p));
    const int skip = frames(p.sim).size();
    test::action(p.form, "SaveMemory1")->trigger();
    Tsave* save = p.form->windows().save;
    QVERIFY(save->isVisible());
    test::named<QLineEdit>(save, "Edit1")->setText(QStringLiteral("3"));
    QTest::mouseClick(test::named<QPushButton>(save, "Button1"), Qt::LeftButton);
    QVERIFY(!save->isVisible());
    QVERIFY(p.form->frameEnabled());
    QTRY_COMPARE(after(p, skip), QStringList{"SAV3"});
    QTRY_COMPARE(p.form->link->state().PendingOperation, Op::None);
}

void tst_OperatorControls::saveWithOutputOnUnderParallel() {
    Program p;
    QVERIFY(linkAndIdle(p));
    QTest::mouseClick(test::onMain<QRadioButton>(p.form, "RadioButton2"), Qt::LeftButton);
    QTest::mouseClick(test::onMain<QPushButton>(p.form, "BitBtn4"), Qt::LeftButton);
    QTRY_COMPARE(test::onMain<QPushButton>(p.form, "BitBtn4")->text(), QStringLiteral("ON"));
    // Polling has begun once a query follows OUT1 (the start-up queries came before it).
    QTRY_VERIFY(frames(p.sim).contains(QStringLiteral("OUT1")) &&
                frames(p.sim).size() > frames(p.sim).lastIndexOf(QStringLiteral("OUT1")) + 1);
    const int skip = frames(p.sim).size();
    QTest::mouseClick(test::onMain<QPushButton>(p.form, "BitBtn5"), Qt::LeftButton);
    test::named<QLineEdit>(p.form->windows().save, "Edit1")->setText(QStringLiteral("3"));
    QTest::mouseClick(test::named<QPushButton>(p.form->windows().save, "Button1"), Qt::LeftButton);
    QTRY_VERIFY(after(p, skip).contains(QStringLiteral("OUT0")));
    QStringList sent = after(p, skip);
    sent.removeIf([](const QString& f) { return test::kPollQueries.contains(f); });
    QCOMPARE(sent, (QStringList{"SAV3", "TRACK2", "OUT0"}));
    QTRY_COMPARE(test::onMain<QPushButton>(p.form, "BitBtn4")->text(), QStringLiteral("OFF"));
    QTRY_VERIFY(test::field(p.form, "Edit1")->text().isEmpty() &&
                test::field(p.form, "Edit4")->text().isEmpty());
    QVERIFY(p.sim.withInstrument(
        [](sim::Instrument& i) { return i.slot(3).coupling == sim::Coupling::Parallel; }));
}

// Real paces here: at least 300 ms before each query.
void tst_OperatorControls::recallSlotTwo() {
    Program p;
    QVERIFY(linkAndIdle(p));
    // The recall's own pace, well apart from the start-up's and the poll's.
    LinkTimings t = p.timings;
    t.recallPasses = 50;
    t.recallPassMs = 3;
    p.form->linkClient()->setTimings(t);
    const int recallPace = t.recallPasses * t.recallPassMs;
    QVERIFY(recallPace > 2 * std::max(t.fullQueryPasses, t.pollPasses) * t.passMs);
    p.sim.withInstrument([](sim::Instrument& i) {
        i.setSlot(2, {10.0, 1.5, 6.0, 0.75, sim::Coupling::Parallel});
    });
    std::mutex m;
    std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> times;
    p.sim.setFrameObserver([&](const sim::Exchange& x) {
        std::lock_guard<std::mutex> lock(m);
        times.emplace_back(x.command, std::chrono::steady_clock::now());
    });
    const int skip = frames(p.sim).size();
    test::action(p.form, "RecallMemory1")->trigger();
    Trecall* recall = p.form->windows().recall;
    QVERIFY(recall->isVisible());
    QTest::mouseClick(test::named<TUpDown>(recall, "UpDown1")->upButton(), Qt::LeftButton);
    QCOMPARE(test::named<QLineEdit>(recall, "Edit1")->text(), QStringLiteral("2"));
    QTest::mouseClick(test::named<QPushButton>(recall, "Button1"), Qt::LeftButton);
    QVERIFY(!recall->isVisible());
    const QStringList expected{"OUT0",   "RCL2",   "VSET1?", "VSET2?", "ISET1?", "ISET2?",
                               "VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "STATUS?"};
    QTRY_VERIFY(after(p, skip).size() >= expected.size());
    QCOMPARE(after(p, skip).mid(0, expected.size()), expected);
    QTRY_VERIFY(test::onMain<QRadioButton>(p.form, "RadioButton2")->isChecked());
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("10.00"));
    QCOMPARE(test::field(p.form, "Edit6")->text(), QStringLiteral("1.50"));
    QTRY_VERIFY(p.form->linkClient()->idle());
    QVERIFY(
        test::field(p.form, "Edit1")->text().isEmpty());  // measured values are emptied at the end
    QVERIFY(p.form->frameEnabled());
    QVERIFY(!p.form->windows().Querying->isVisible());
    std::lock_guard<std::mutex> lock(m);
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (times[i].first.back() != '?') continue;
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(times[i].second -
                                                                               times[i - 1].second);
        QVERIFY2(gap.count() >= recallPace - 5, qPrintable(QString::fromStdString(times[i].first)));
    }
}

// The recall dialog's slot arrows: 1 to 4 without wrap; a slot that is not a
// number gives one box, even with the arrow held (the box ends the hold);
// Cancel sends nothing and gives the window back.
void tst_OperatorControls::slotArrowsAndCancel() {
    std::atomic<int> handed{0};  // outlives the link's threads
    Program p;
    QVERIFY(linkAndIdle(p));
    p.form->link->FrameHandedOver = [&handed](const QString&) { ++handed; };
    QTest::mouseClick(test::onMain<QPushButton>(p.form, "BitBtn6"), Qt::LeftButton);
    Trecall* recall = p.form->windows().recall;
    QVERIFY(recall->isVisible());
    QToolButton* up = test::named<TUpDown>(recall, "UpDown1")->upButton();
    QToolButton* down = test::named<TUpDown>(recall, "UpDown1")->downButton();
    for (int i = 0; i < 5; ++i) QTest::mouseClick(up, Qt::LeftButton);
    QCOMPARE(test::named<QLineEdit>(recall, "Edit1")->text(), QStringLiteral("4"));
    for (int i = 0; i < 5; ++i) QTest::mouseClick(down, Qt::LeftButton);
    QCOMPARE(test::named<QLineEdit>(recall, "Edit1")->text(), QStringLiteral("1"));
    test::named<QLineEdit>(recall, "Edit1")->setText(QStringLiteral("x"));
    QTest::mouseClick(up, Qt::LeftButton);
    QCOMPARE(p.boxes.seen.size(), 1);
    QCOMPARE(test::named<QLineEdit>(recall, "Edit1")->text(), QStringLiteral("x"));
    // Held: the box stays open for many repeats, and a hold that ran on would open more.
    up->setAutoRepeatDelay(10);
    up->setAutoRepeatInterval(10);
    p.boxes.holdMs = 200;
    QTimer::singleShot(3000, recall,
                       [&p] { p.boxes.holdMs = 0; });  // a runaway must not hold the test for ever
    QTest::mousePress(up, Qt::LeftButton);
    QTRY_COMPARE(p.boxes.seen.size(), 2);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(!up->isDown());
    // Nothing to wait for: a hold still running would open a box within 10 ms.
    QTest::qWait(100);
    QCOMPARE(p.boxes.seen.size(), 2);
    QCOMPARE(test::named<QLineEdit>(recall, "Edit1")->text(), QStringLiteral("x"));
    QTest::mouseRelease(up, Qt::LeftButton);
    QTest::mouseClick(test::named<QPushButton>(recall, "Button2"), Qt::LeftButton);
    QVERIFY(!recall->isVisible());
    QVERIFY(p.form->frameEnabled());
    QVERIFY(p.form->linkClient()->idle());
    QCOMPARE(handed.load(), 0);
}

// Every way the output goes off during a recording stops the recorder, so no
// sample tick meets the emptied readings.
void tst_OperatorControls::outputOffStopsTheRecorder_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("output button") << "button";
    QTest::newRow("memory save") << "save";
    QTest::newRow("memory recall") << "recall";
}

void tst_OperatorControls::outputOffStopsTheRecorder() {
    QFETCH(QString, how);
    Program p;
    p.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    QVERIFY(linkAndIdle(p));
    TForm_Wave* wave = p.form->ensureWaveWindow();
    wave->state.PointOperation = QStringLiteral("Maximum");  // as after an accepted setup
    wave->tmr_Scale->setInterval(200);
    wave->tmr_All->setInterval(600000);  // the record does not end by itself here
    // Start waits until the poll cycle has filled all four readings.
    QTRY_VERIFY_WITH_TIMEOUT(!test::field(p.form, "Edit4")->text().isEmpty(), 15000);
    test::action(p.form, "Start1")->trigger();
    QVERIFY(wave->tmr_Scale->isActive());
    QVERIFY(
        test::onMain<QWidget>(p.form, "Panel1")->isVisible());  // recording behind the control view
    if (how == QLatin1String("button")) {
        QTest::mouseClick(test::onMain<QPushButton>(p.form, "BitBtn4"), Qt::LeftButton);
    } else {
        QTest::mouseClick(how == QLatin1String("save")
                              ? test::onMain<QPushButton>(p.form, "BitBtn5")
                              : test::onMain<QPushButton>(p.form, "BitBtn6"),
                          Qt::LeftButton);
        TMemoryDialog* dialog = how == QLatin1String("save")
                                    ? static_cast<TMemoryDialog*>(p.form->windows().save)
                                    : p.form->windows().recall;
        QVERIFY(dialog->isVisible());
        QTest::mouseClick(test::named<QPushButton>(dialog, "Button1"), Qt::LeftButton);
    }
    // Until the output is off and the readings emptied, with ticks due all the while.
    QTRY_VERIFY(p.form->linkClient()->idle() && p.form->frameEnabled());
    QCOMPARE(test::onMain<QPushButton>(p.form, "BitBtn4")->text(), QStringLiteral("OFF"));
    QVERIFY(test::field(p.form, "Edit1")->text().isEmpty());
    QCOMPARE(p.boxes.seen.size(), 0);  // no tick met an empty reading
    QVERIFY(!wave->tmr_Scale->isActive() && !wave->tmr_time->isActive() &&
            !wave->tmr_All->isActive());
    QVERIFY(test::named<QComboBox>(wave, "cbb_Time")->isEnabled());
}

void tst_OperatorControls::staleReadingsStopTheRecorder_data() {
    QTest::addColumn<bool>("hangUp");
    QTest::newRow("the instrument falls silent") << false;
    QTest::newRow("the line is lost") << true;
}

// The readings stop being current while the time-out box waits for the
// operator: they are greyed, say since when, and no tick records them again.
void tst_OperatorControls::staleReadingsStopTheRecorder() {
    QFETCH(bool, hangUp);
    Program p;
    p.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    QVERIFY(linkAndIdle(p));
    TForm_Wave* wave = p.form->ensureWaveWindow();
    wave->state.PointOperation = QStringLiteral("Maximum");
    wave->tmr_Scale->setInterval(200);
    wave->tmr_All->setInterval(600000);
    QTRY_VERIFY_WITH_TIMEOUT(!test::field(p.form, "Edit4")->text().isEmpty(), 15000);
    test::action(p.form, "Start1")->trigger();
    QVERIFY(wave->tmr_Scale->isActive());
    const QPalette live = test::field(p.form, "Edit1")->palette();
    if (hangUp) {
        p.sim.hangUpNow();
    } else {
        p.sim.setSilent(true);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!wave->tmr_Scale->isActive(), 10000);
    QVERIFY(!wave->tmr_time->isActive() && !wave->tmr_All->isActive());
    QVERIFY(
        test::field(p.form, "Edit1")->toolTip().startsWith(QStringLiteral("Not current since ")));
    QVERIFY(test::field(p.form, "Edit4")
                ->toolTip()
                .endsWith(hangUp ? QStringLiteral("the line was lost.")
                                 : QStringLiteral("the instrument stopped answering.")));
    QVERIFY(test::field(p.form, "Edit1")->palette().color(QPalette::Text) !=
            live.color(QPalette::Text));
    QVERIFY(
        !p.form->windows().Messages->isVisible());  // stopped before anyone answered the time-out
}

QTEST_MAIN(tst_OperatorControls)
#include "tst_operator_controls.moc"
