// The operator's controls on the linked program, asserted on what the
// simulated instrument received and on what the window shows. The set-point
// entry's rules run row by row in tst_set_point_entry; one row of each runs
// here, through the whole program to the instrument. The link runs on the
// driven clock, where its paces are exact and "nothing more happens" is a
// span of its time; what needs the serial component and the link's own
// thread runs on a pseudo-terminal.
#include "clocked_link.h"
#include "control_panel/memory_dialogs.h"
#include "control_panel/messages_box.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/up_down.h"
#include "device_link/link_state.h"
#include "recorder/wave_window.h"
#include "sim_program.h"
#include "timer_events.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

using namespace lqs;
using namespace std::chrono_literals;
using test::ClockedProgram;
using test::TimerEvents;

namespace {

// Polling has begun once a query follows the last OUT1.
bool polling(ClockedProgram& p) {
    return p.advanceUntil([&p] {
        const QStringList f = p.frames();
        const qsizetype on = f.lastIndexOf(QStringLiteral("OUT1"));
        return p.client().idle() && on >= 0 && f.size() > on + 1;
    });
}

// The arrows repeat and the hold timer ticks in real time, as the window's
// own timers do; the link's clock stays put meanwhile and runs what is due.
bool whileTheWindowRuns(ClockedProgram& p, const std::function<bool()>& done) {
    return QTest::qWaitFor(
        [&] {
            p.advance(0ms);
            return done();
        },
        5000);
}

// A released arrow repeats no more: it is not down, and a timer of its own
// still running (Qt leaves one when the arrow is disabled while down) has
// fired twice more with the arrow up, which steps nothing.
bool repeatsNoMore(ClockedProgram& p, QToolButton* arrow) {
    if (arrow->isDown()) return false;
    if (QAbstractEventDispatcher::instance()->registeredTimers(arrow).isEmpty()) return true;
    TimerEvents fired(arrow);
    return whileTheWindowRuns(p, [&] { return fired.count >= 2; }) && !arrow->isDown();
}

// Started once all four readings are in, as the Start item waits for them.
TForm_Wave* recording(TForm1* form) {
    TForm_Wave* wave = form->ensureWaveWindow();
    wave->state.PointOperation = QStringLiteral("Maximum");  // as after an accepted setup
    wave->tmr_Scale->setInterval(200);
    wave->tmr_All->setInterval(600000);  // the record does not end by itself here
    test::action(form, "Start1")->trigger();
    return wave;
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
    void silenceStopsTheRecorder();
    void lostLineStopsTheRecorder();
};

// One taken and one refused entry, through the serial component to the
// instrument, the link in its own thread; the instrument holds what Enter
// sent, and the link panel says why an entry was refused.
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
    test::SimProgram p(instruments[model - 1], test::kQuickDivisor, test::onePortSources, true);
    QAction* models[] = {test::action(p.form, "LQS6200A1"), test::action(p.form, "LQS6200B1"),
                         test::action(p.form, "LQS6500B1")};
    models[model - 1]->trigger();
    QVERIFY(p.linkAndSettle());
    QVERIFY(QTest::qWaitFor([&p] { return p.form->linkClient()->idle(); }, 10000));
    const qsizetype skip = test::frames(p.sim).size();
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
    QTRY_COMPARE(test::frames(p.sim).mid(skip), QStringList{sent});
    const int channel = field < 7 ? 1 : 2;
    const bool voltage = field % 2 == 1;
    QTRY_VERIFY(qAbs(p.sim.withInstrument([&](sim::Instrument& i) {
                    return voltage ? i.voltageSet(channel) : i.currentSet(channel);
                }) - held) < 1e-6);
    QVERIFY(test::wireFlags(p.sim).isEmpty());
}

// Pasted text passes the key rule, comma included; Enter sends what the field shows.
void tst_OperatorControls::pasteFollowsTheKeyRule() {
    ClockedProgram p(sim::Model::A);  // the window's first model: three decimals
    QVERIFY(p.linked());
    const qsizetype skip = p.frames().size();
    QLineEdit* e = test::field(p.form, "Edit5");
    QApplication::clipboard()->setText(QStringLiteral("1a2,5 V\n"));
    e->clear();
    e->setFocus();
    QTest::keyClick(e, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(e->text(), QStringLiteral("12.5"));
    QCOMPARE(p.form->statusText(2), QStringLiteral("Please press Enter key!"));
    p.advance(2s);
    QCOMPARE(p.frames().size(), skip);  // nothing before Enter
    QTest::keyClick(e, Qt::Key_Return);
    QCOMPARE(e->text(), QStringLiteral("12.500"));
    QVERIFY(p.idle());
    QCOMPARE(p.frames().mid(skip), QStringList{"VSET1:12.5"});
}

// Up in a set-point field: the same text and the same frame as a click on
// the field's arrow from the same value.
void tst_OperatorControls::keysStepAsTheArrows() {
    ClockedProgram p(sim::Model::A);  // the window's first model: three decimals
    QVERIFY(p.linked());
    QLineEdit* e = test::field(p.form, "Edit5");
    const qsizetype skip = p.frames().size();
    e->setText(QStringLiteral("5.000"));
    QTest::mouseClick(test::onMain<TUpDown>(p.form, "UpDown1")->upButton(), Qt::LeftButton);
    QVERIFY(p.idle());
    const QString clicked = e->text();
    QCOMPARE(clicked, QStringLiteral("5.001"));
    e->setText(QStringLiteral("5.000"));
    e->setFocus();
    QTest::keyClick(e, Qt::Key_Up);
    QCOMPARE(e->text(), clicked);
    QVERIFY(p.idle());
    QCOMPARE(p.frames().mid(skip), (QStringList{"VSET1:5.001", "VSET1:5.001"}));
}

// Page Up: the step a held arrow takes after two seconds.
void tst_OperatorControls::pageKeysTakeTheCoarseStep() {
    ClockedProgram p(sim::Model::A);  // the window's first model: three decimals
    QVERIFY(p.linked());
    QLineEdit* e = test::field(p.form, "Edit5");
    const qsizetype skip = p.frames().size();
    e->setText(QStringLiteral("5.000"));
    e->setFocus();
    QTest::keyClick(e, Qt::Key_PageUp);
    QCOMPARE(e->text(), QStringLiteral("6.000"));
    QVERIFY(p.idle());
    QCOMPARE(p.frames().mid(skip), QStringList{"VSET1:6."});
    QCOMPARE(p.line->instrument().voltageSet(1), 6.0);
}

// The window's own view switch hides the held arrow: the real release never
// arrives then, so the hold ends by itself and nothing more is stepped.
void tst_OperatorControls::heldArrowEndsWhenTheViewSwitches() {
    ClockedProgram p(sim::Model::A);  // holds every step the window's first model takes
    QVERIFY(p.linked());
    const qsizetype skip = p.frames().size();
    QToolButton* up = test::onMain<TUpDown>(p.form, "UpDown1")->upButton();
    auto* tmr1 = test::onMain<QTimer>(p.form, "tmr1");
    QCOMPARE(up->autoRepeatInterval(), 100);  // the window keeps the usual repeat
    up->setAutoRepeatDelay(20);
    up->setAutoRepeatInterval(20);
    test::field(p.form, "Edit5")->setText(QStringLiteral("5.000"));
    QTest::mousePress(up, Qt::LeftButton);
    // Repeating, every step sent with the output off.
    QVERIFY(whileTheWindowRuns(p, [&] { return p.frames().size() >= skip + 2; }));
    QVERIFY(tmr1->isActive());
    QVERIFY(up->isDown());
    test::action(p.form, "Wave1")->trigger();
    QVERIFY(!up->isVisible());
    QVERIFY(!up->isDown());
    QVERIFY(!tmr1->isActive());
    test::action(p.form, "Control1")->trigger();
    QVERIFY(up->isVisible());
    QVERIFY(p.idle());
    QCOMPARE(p.link().state().HoldTicks, 0);
    const QString shown = test::field(p.form, "Edit5")->text();
    const qsizetype sent = p.frames().size();
    QVERIFY(repeatsNoMore(p, up));
    p.advance(2s);
    QVERIFY(!tmr1->isActive());
    QCOMPARE(test::field(p.form, "Edit5")->text(), shown);
    QCOMPARE(p.frames().size(), sent);
    QCOMPARE(p.line->instrument().voltageSet(1), shown.toDouble());
    QCOMPARE(p.boxes.seen.size(), 0);
    QTest::mouseRelease(up, Qt::LeftButton);
}

// Tracking chosen while polling: the cycle stops, TRACK1 goes out the
// coupling's pause later and the output goes off; the readings are emptied.
void tst_OperatorControls::trackWithOutputOn() {
    ClockedProgram p;
    p.line->instrument().setOutput(true);
    QVERIFY(p.linked());
    QVERIFY(polling(p));
    test::action(p.form, "Start1")->trigger();  // the recorder window exists
    const qsizetype skip = p.frames().size();
    QTest::mouseClick(test::onMain<QRadioButton>(p.form, "RadioButton3"), Qt::LeftButton);
    QVERIFY(p.idle());
    QCOMPARE(p.frames().mid(skip), (QStringList{"TRACK1", "OUT0"}));
    QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));
    QVERIFY(test::field(p.form, "Edit1")->text().isEmpty());
    QVERIFY(!p.link().pollRunning());
    // The selected button again: nothing, not even an intent.
    QTest::mouseClick(test::onMain<QRadioButton>(p.form, "RadioButton3"), Qt::LeftButton);
    QVERIFY(p.client().idle());
    p.advance(2s);
    QCOMPARE(p.frames().size(), skip + 2);
}

void tst_OperatorControls::saveWithOutputOff() {
    ClockedProgram p;
    QVERIFY(p.linked());
    const qsizetype skip = p.frames().size();
    test::action(p.form, "SaveMemory1")->trigger();
    Tsave* save = p.form->windows().save;
    QVERIFY(save->isVisible());
    test::named<QLineEdit>(save, "Edit1")->setText(QStringLiteral("3"));
    QTest::mouseClick(test::named<QPushButton>(save, "Button1"), Qt::LeftButton);
    QVERIFY(!save->isVisible());
    QVERIFY(p.form->frameEnabled());
    QVERIFY(p.idle());
    QCOMPARE(p.frames().mid(skip), QStringList{"SAV3"});
    QCOMPARE(p.link().state().PendingOperation, Op::None);
}

void tst_OperatorControls::saveWithOutputOnUnderParallel() {
    ClockedProgram p;
    QVERIFY(p.linked());
    QTest::mouseClick(test::onMain<QRadioButton>(p.form, "RadioButton2"), Qt::LeftButton);
    QTest::mouseClick(p.outputButton(), Qt::LeftButton);
    QVERIFY(polling(p));
    QCOMPARE(p.outputButton()->text(), QStringLiteral("ON"));
    const qsizetype skip = p.frames().size();
    QTest::mouseClick(test::onMain<QPushButton>(p.form, "BitBtn5"), Qt::LeftButton);
    test::named<QLineEdit>(p.form->windows().save, "Edit1")->setText(QStringLiteral("3"));
    QTest::mouseClick(test::named<QPushButton>(p.form->windows().save, "Button1"), Qt::LeftButton);
    QVERIFY(p.idle());
    QCOMPARE(p.frames().mid(skip), (QStringList{"SAV3", "TRACK2", "OUT0"}));
    QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));
    QVERIFY(test::field(p.form, "Edit1")->text().isEmpty() &&
            test::field(p.form, "Edit4")->text().isEmpty());
    QCOMPARE(p.line->instrument().slot(3).coupling, sim::Coupling::Parallel);
}

// The recall's own pace, 300 ms before each query, and what the window
// shows afterwards: the slot's set points and coupling, no readings.
void tst_OperatorControls::recallSlotTwo() {
    ClockedProgram p;
    QVERIFY(p.linked());
    p.line->instrument().setSlot(2, {10.0, 1.5, 6.0, 0.75, sim::Coupling::Parallel});
    p.line->clearTranscript();
    test::action(p.form, "RecallMemory1")->trigger();
    Trecall* recall = p.form->windows().recall;
    QVERIFY(recall->isVisible());
    QTest::mouseClick(test::named<TUpDown>(recall, "UpDown1")->upButton(), Qt::LeftButton);
    QCOMPARE(test::named<QLineEdit>(recall, "Edit1")->text(), QStringLiteral("2"));
    QTest::mouseClick(test::named<QPushButton>(recall, "Button1"), Qt::LeftButton);
    QVERIFY(!recall->isVisible());
    QVERIFY(p.idle());
    // The status's parallel coupling is then carried out as its button's click
    // would, once its reply has ended after the line's 100 ms of silence.
    const QStringList expected{"OUT0",   "RCL2",   "VSET1?", "VSET2?", "ISET1?",  "ISET2?",
                               "VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "STATUS?", "TRACK2"};
    QCOMPARE(p.frames(), expected);
    QList<qint64> at;
    for (const auto& t : p.line->wireTimes()) at << test::msSince(p.line->wireTimes().front(), t);
    QCOMPARE(at, (QList<qint64>{0, 0, 300, 600, 900, 1200, 1500, 1800, 2100, 2400, 2700, 2800}));
    QVERIFY(test::onMain<QRadioButton>(p.form, "RadioButton2")->isChecked());
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("10.00"));
    QCOMPARE(test::field(p.form, "Edit6")->text(), QStringLiteral("1.50"));
    QVERIFY(test::field(p.form, "Edit1")->text().isEmpty());  // emptied at the end
    QVERIFY(!p.form->windows().Querying->isVisible());
}

// The recall dialog's slot arrows: 1 to 4 without wrap; a slot that is not a
// number gives one box, even with the arrow held (the box ends the hold);
// Cancel sends nothing and gives the window back.
void tst_OperatorControls::slotArrowsAndCancel() {
    ClockedProgram p;
    QVERIFY(p.linked());
    const qsizetype linkedFrames = p.frames().size();
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
    QVERIFY(repeatsNoMore(p, up));
    QCOMPARE(p.boxes.seen.size(), 2);
    QCOMPARE(test::named<QLineEdit>(recall, "Edit1")->text(), QStringLiteral("x"));
    QTest::mouseRelease(up, Qt::LeftButton);
    QTest::mouseClick(test::named<QPushButton>(recall, "Button2"), Qt::LeftButton);
    QVERIFY(!recall->isVisible());
    QVERIFY(p.form->frameEnabled());
    QVERIFY(p.client().idle());
    p.advance(5s);
    QCOMPARE(p.frames().size(), linkedFrames);
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
    ClockedProgram p;
    p.line->instrument().setOutput(true);
    QVERIFY(p.linked());
    QVERIFY(p.advanceUntil([&] { return !test::field(p.form, "Edit4")->text().isEmpty(); }));
    TForm_Wave* wave = recording(p.form.get());
    QVERIFY(wave->tmr_Scale->isActive());
    // Recording behind the control view.
    QVERIFY(test::onMain<QWidget>(p.form, "Panel1")->isVisible());
    if (how == QLatin1String("button")) {
        QTest::mouseClick(p.outputButton(), Qt::LeftButton);
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
    // Stopped before the link has even begun: the readings are still there.
    QVERIFY(!test::field(p.form, "Edit1")->text().isEmpty());
    QVERIFY(!wave->tmr_Scale->isActive() && !wave->tmr_time->isActive() &&
            !wave->tmr_All->isActive());
    QVERIFY(p.idle());
    QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));
    QVERIFY(test::field(p.form, "Edit1")->text().isEmpty());
    QCOMPARE(p.boxes.seen.size(), 0);
    QVERIFY(!wave->tmr_Scale->isActive());
    QVERIFY(test::named<QComboBox>(wave, "cbb_Time")->isEnabled());
}

// The instrument falls silent while recording: the next query gets its
// grace, then the readings are greyed, say since when, and the recorder
// stops, before the countdown's box asks anyone anything.
void tst_OperatorControls::silenceStopsTheRecorder() {
    ClockedProgram p;
    p.line->instrument().setOutput(true);
    QVERIFY(p.linked());
    QVERIFY(p.advanceUntil([&] { return !test::field(p.form, "Edit4")->text().isEmpty(); }));
    TForm_Wave* wave = recording(p.form.get());
    QVERIFY(wave->tmr_Scale->isActive());
    const QPalette live = test::field(p.form, "Edit1")->palette();
    p.line->setSilent(true);
    const qsizetype answered = p.frames().size();
    QVERIFY(p.advanceUntil([&] { return !wave->tmr_Scale->isActive(); }));
    // The first query unanswered, the next one due a pace later, and its grace.
    const auto& times = p.line->wireTimes();
    QCOMPARE(p.frames().size(), answered + 1);
    const LinkTimings t;
    QCOMPARE(test::msSince(times[std::size_t(answered)], p.link().scheduler().now()),
             2 * t.pollPasses * t.passMs + t.replyGraceMs);
    QVERIFY(!wave->tmr_time->isActive() && !wave->tmr_All->isActive());
    QLineEdit* edit1 = test::field(p.form, "Edit1");
    QVERIFY(edit1->toolTip().startsWith(QStringLiteral("Not current since ")));
    QVERIFY(test::field(p.form, "Edit4")
                ->toolTip()
                .endsWith(QStringLiteral("the instrument stopped answering.")));
    QVERIFY(edit1->palette().color(QPalette::Text) != live.color(QPalette::Text));
    QVERIFY(!p.form->windows().Messages->isVisible());
}

// The device goes away under the open port while recording, the link in its
// own thread: the same, with the line named as the reason.
void tst_OperatorControls::lostLineStopsTheRecorder() {
    test::SimProgram p(sim::Model::B, test::kQuickDivisor, test::onePortSources, true);
    p.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    QVERIFY(p.linkAndSettle());
    QTRY_VERIFY_WITH_TIMEOUT(!test::field(p.form, "Edit4")->text().isEmpty(), 15000);
    TForm_Wave* wave = recording(p.form.get());
    QVERIFY(wave->tmr_Scale->isActive());
    const QPalette live = test::field(p.form, "Edit1")->palette();
    p.sim.hangUpNow();
    QTRY_VERIFY_WITH_TIMEOUT(!wave->tmr_Scale->isActive(), 10000);
    QVERIFY(!wave->tmr_time->isActive() && !wave->tmr_All->isActive());
    QLineEdit* edit1 = test::field(p.form, "Edit1");
    QVERIFY(edit1->toolTip().startsWith(QStringLiteral("Not current since ")));
    QVERIFY(test::field(p.form, "Edit4")->toolTip().endsWith(QStringLiteral("the line was lost.")));
    QVERIFY(edit1->palette().color(QPalette::Text) != live.color(QPalette::Text));
    QVERIFY(!p.form->windows().Messages->isVisible());
}

QTEST_MAIN(tst_OperatorControls)
#include "tst_operator_controls.moc"
