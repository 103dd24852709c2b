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

using namespace lqs;
using namespace std::chrono_literals;
using test::frames;

namespace {
using Fixture = test::SimProgram;

QLabel* label(Fixture& f, const char* name) {
    return f.form->findChild<QLabel*>(QLatin1String(name));
}

bool linkedAndIdle(Fixture& f) {
    return f.linkAndSettle() && QTest::qWaitFor([&f] { return f.form->link->idle(); }, 10000);
}

// Links to an instrument whose output is on and waits for a first full cycle of readings.
bool polling(Fixture& f) {
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    return linkedAndIdle(f) &&
           QTest::qWaitFor([&f] { return frames(f.sim).count(QStringLiteral("STATUS?")) >= 2; },
                           15000);
}
}  // namespace

class tst_TruthfulWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void modelChangeKeepsWhatTheInstrumentHolds();
    void couplingShowsChannelTwoAtOnce();
    void identityNamesAnotherModel();
    void oldReadingIsGreyed();
    void channelModes();
    void outputOnAtClose_data();
    void outputOnAtClose();
    void saveWithOutputOnSaysSo();
    void noLinkNoControls_data();
    void noLinkNoControls();
    void typedButNotSent();
    void refusedEntrySaysSo_data();
    void refusedEntrySaysSo();
};

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
    QTest::qWait(200);
    QCOMPARE(frames(f.sim).size(), sent);
    // Unlinked, as before: the model's zero.
    Fixture g;
    test::action(g.form, "LQS6500B1")->trigger();
    QCOMPARE(test::field(g.form, "Edit5")->text(), QStringLiteral("0.00"));
}

// Coupled, channel 2 shows channel 1's set points at once, as the instrument
// now holds; independent again, its own.
void tst_TruthfulWindow::couplingShowsChannelTwoAtOnce() {
    Fixture f;
    test::action(f.form, "LQS6200B1")->trigger();
    QVERIFY(linkedAndIdle(f));
    QCOMPARE(test::field(f.form, "Edit7")->text(), QStringLiteral("5.00"));
    QTest::mouseClick(test::onMain<QRadioButton>(f.form, "RadioButton3"), Qt::LeftButton);
    QCOMPARE(test::field(f.form, "Edit7")->text(), test::field(f.form, "Edit5")->text());
    QCOMPARE(test::field(f.form, "Edit8")->text(), test::field(f.form, "Edit6")->text());
    QVERIFY(QTest::qWaitFor([&] { return frames(f.sim).contains(QStringLiteral("TRACK1")); }));
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.voltageSet(2); }),
             test::field(f.form, "Edit7")->text().toDouble());
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.currentSet(2); }),
             test::field(f.form, "Edit8")->text().toDouble());
    QTRY_VERIFY(f.form->link->idle());
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
    QCOMPARE(f.form->link->state().ModelIndex.load(), std::uint8_t(1));
    test::action(f.form, "LQS6200B1")->trigger();
    QCOMPARE(panel->text(),
             QStringLiteral("Linked: %1 \u2014 LQS-6200B V2.1").arg(f.form->comm1->CommName()));
}

// A reading that stops coming (its replies garbled) greys after two cycles
// while the others stay current.
void tst_TruthfulWindow::oldReadingIsGreyed() {
    Fixture f;
    QVERIFY(polling(f));
    f.sim.setFrameObserver([&](const sim::Exchange& e) {
        if (e.command == "VOUT1?") f.sim.injectFault(sim::Fault::garbleNumber());
    });
    const int limit = 2 * f.form->link->readingIntervalMs();
    QTest::qWait(limit / 2);
    QVERIFY(test::field(f.form, "Edit1")->toolTip().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(
        test::field(f.form, "Edit1")->toolTip().startsWith(QStringLiteral("Not current since ")),
        3 * limit);
    QVERIFY(test::field(f.form, "Edit1")->toolTip().contains(QStringLiteral("no new reading for")));
    QCOMPARE(test::field(f.form, "Edit1")->palette().color(QPalette::Text),
             test::field(f.form, "Edit1")->palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(test::field(f.form, "Edit2")->toolTip().isEmpty());
    f.sim.setFrameObserver({});
    QTRY_VERIFY_WITH_TIMEOUT(test::field(f.form, "Edit1")->toolTip().isEmpty(), 2 * limit);
}

// A load that draws the limit: CC; one that draws less: CV; output off: nothing.
void tst_TruthfulWindow::channelModes() {
    Fixture f;
    test::action(f.form, "LQS6200B1")->trigger();
    f.sim.withInstrument([](sim::Instrument& i) {
        i.setLoad(1, 1.0);     // 12 V into 1 ohm wants 12 A: held at the 1 A limit
        i.setLoad(2, 1000.0);  // 5 V into 1 kohm: 5 mA
    });
    QVERIFY(polling(f));
    QTRY_COMPARE(label(f, "ModeLabel1")->text(), QStringLiteral("CC"));
    QTRY_COMPARE(label(f, "ModeLabel2")->text(), QStringLiteral("CV"));
    QTest::mouseClick(test::onMain<QPushButton>(f.form, "BitBtn4"), Qt::LeftButton);
    QTRY_COMPARE(label(f, "ModeLabel1")->text(), QString());
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
    QVERIFY(polling(f));
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
    Fixture f;
    QVERIFY(polling(f));
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
    QTRY_COMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("OFF"));
}

void tst_TruthfulWindow::noLinkNoControls_data() {
    QTest::addColumn<bool>("hangUp");
    QTest::newRow("the line lost") << true;
    QTest::newRow("OK in the port dialog") << false;
}

// With no link standing, nothing that sends is offered; the next Link
// offers it again.
void tst_TruthfulWindow::noLinkNoControls() {
    QFETCH(bool, hangUp);
    Fixture f;
    QVERIFY(polling(f));
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
    for (QWidget* w :
         std::initializer_list<QWidget*>{test::onMain<QPushButton>(f.form, "BitBtn4"),
                                         test::onMain<QRadioButton>(f.form, "RadioButton3"),
                                         test::onMain<QPushButton>(f.form, "BitBtn5")})
        QVERIFY(!w->isEnabled());
    QVERIFY(!test::action(f.form, "OutPut1")->isEnabled());
    if (hangUp) {
        QCOMPARE(label(f, "ModeLabel1")->text(), QString());  // no mode from a lost line
        return;
    }
    QCOMPARE(label(f, "LinkPanel")->text(),
             QStringLiteral("Not linked: press Link to read the instrument on %1")
                 .arg(f.form->comm1->CommName()));
    QTRY_VERIFY(!f.form->link->pollCycleRunning());  // polling ended with the link
    const qsizetype sent = frames(f.sim).size();
    QTest::qWait(200);  // nothing to wait for: a cycle left running would ask by now
    QCOMPARE(frames(f.sim).size(), sent);
    f.sim.clearTranscript();
    f.linkStart();
    QTRY_VERIFY(test::field(f.form, "Edit5")->isEnabled());
    QTRY_VERIFY(frames(f.sim).mid(0, test::kStartupQueries.size()) == test::kStartupQueries);
}

// Typed without Enter: marked as not sent, and nothing goes out; Escape
// brings back what the instrument holds; Enter sends and clears the mark.
void tst_TruthfulWindow::typedButNotSent() {
    Fixture f;
    test::action(f.form, "LQS6200B1")->trigger();
    QVERIFY(linkedAndIdle(f));
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
    QTest::qWait(100);
    QCOMPARE(frames(f.sim).size(), sent);
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(e, QStringLiteral("7"));
    QTest::keyClick(e, Qt::Key_Return);
    QVERIFY(!e->font().italic());
    QVERIFY(e->toolTip().isEmpty());
    QTRY_VERIFY(frames(f.sim).contains(QStringLiteral("VSET1:7.")));
    QCOMPARE(f.sim.withInstrument([](sim::Instrument& i) { return i.voltageSet(1); }), 7.0);
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
    Fixture f;
    test::action(f.form, "LQS6200B1")->trigger();
    QVERIFY(linkedAndIdle(f));
    QLineEdit* e = test::field(f.form, "Edit5");
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(e, typed);
    QTest::keyClick(e, Qt::Key_Return);
    QCOMPARE(e->text(), QStringLiteral("0.00"));
    QVERIFY2(label(f, "LinkPanel")->text().endsWith(QStringLiteral("; ") + note),
             qPrintable(label(f, "LinkPanel")->text()));
    QTRY_VERIFY(frames(f.sim).contains(QStringLiteral("VSET1:0.")));
}

QTEST_MAIN(tst_TruthfulWindow)
#include "tst_truthful_window.moc"
