// The operator's controls on the linked program, asserted on what the
// simulated instrument received and on what the window shows.
#include "link_state.h"
#include "memory_dialogs.h"
#include "messages_box.h"
#include "querying_dialog.h"
#include "sim_program.h"
#include "up_down.h"
#include "wave_window.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMessageBox>
#include <QRadioButton>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QTimer>
#include <QToolButton>

#include <chrono>
#include <mutex>

using namespace lqs;
using test::frames;

namespace {

// Types into a set-point field as an operator would: select all, type, Enter.
void typeAndEnter(QLineEdit* e, const QString& text) {
    e->setFocus();
    e->selectAll();
    QTest::keyClicks(e, text);
    QTest::keyClick(e, Qt::Key_Return);
}

QStringList after(const test::SimProgram& p, int skip) { return frames(p.sim).mid(skip); }

// Linked, and the link has nothing under way.
bool linkAndIdle(test::SimProgram& p) {
    return p.linkAndSettle() && QTest::qWaitFor([&p] { return p.form->link->idle(); }, 10000);
}

}  // namespace

class tst_OperatorControls : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void typedEntry_data();
    void typedEntry();
    void enterTwiceSendsOnce();
    void keyFilterAndPrompt();
    void keysThatTypeNothing();
    void pasteFollowsTheKeyRule_data();
    void pasteFollowsTheKeyRule();
    void stepsAtTheCeiling();
    void coarseStepAfterHolding();
    void keysStepAsTheArrows_data();
    void keysStepAsTheArrows();
    void pageKeysTakeTheCoarseStep_data();
    void pageKeysTakeTheCoarseStep();
    void heldArrowEnds_data();
    void heldArrowEnds();
    void heldSlotArrowEndsAtABox();
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

void tst_OperatorControls::typedEntry_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("sent");
    QTest::newRow("A 12.5") << 1 << 5 << "12.5" << "12.500" << "VSET1:12.5";
    QTest::newRow("B 12.5") << 2 << 5 << "12.5" << "12.50" << "VSET1:12.5";
    QTest::newRow("C 12.5 channel 2") << 3 << 7 << "12.5" << "12.50" << "VSET2:12.5";
    QTest::newRow("33 V is out of range") << 2 << 5 << "33" << "0.00" << "VSET1:0.";
    QTest::newRow("two points") << 1 << 7 << "1..2" << "0.000" << "VSET2:0.";
    QTest::newRow("A 3.2 A") << 1 << 6 << "3.2" << "3.200" << "ISET1:3.2";
    QTest::newRow("B 3.21 A refused") << 2 << 6 << "3.21" << "0.00" << "ISET1:0.";
    QTest::newRow("C 3.21 A") << 3 << 6 << "3.21" << "3.21" << "ISET1:3.21";
    QTest::newRow("C 5.1 A") << 3 << 8 << "5.1" << "5.10" << "ISET2:5.1";
    QTest::newRow("C 5.11 A refused") << 3 << 8 << "5.11" << "0.00" << "ISET2:0.";
    QTest::newRow("32 V accepted") << 2 << 7 << "32" << "32.00" << "VSET2:32.";
    QTest::newRow("comma is the point") << 2 << 5 << "2,5" << "2.50" << "VSET1:2.5";
    QTest::newRow("comma in a current") << 3 << 8 << "0,75" << "0.75" << "ISET2:0.75";
    QTest::newRow("very long text") << 2 << 5 << QString(300, QLatin1Char('9')) << "0.00" << "VSET1:0.";
}

void tst_OperatorControls::typedEntry() {
    QFETCH(int, model);
    QFETCH(int, field);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(QString, sent);
    test::SimProgram p;
    QAction* models[] = {p.form->LQS6200A1, p.form->LQS6200B1, p.form->LQS6500B1};
    models[model - 1]->trigger();
    QVERIFY(linkAndIdle(p));
    const int skip = frames(p.sim).size();
    QLineEdit* e = p.form->findChild<QLineEdit*>(QStringLiteral("Edit%1").arg(field));
    typeAndEnter(e, typed);
    QCOMPARE(e->text(), shown);
    QCOMPARE(p.form->statusText(2), QString());
    QTRY_COMPARE(after(p, skip), QStringList{sent});
}

void tst_OperatorControls::enterTwiceSendsOnce() {
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    const int skip = frames(p.sim).size();
    typeAndEnter(p.form->Edit6, QStringLiteral("1.5"));
    QTest::keyClick(p.form->Edit6, Qt::Key_Return);
    QTRY_COMPARE(after(p, skip), QStringList{"ISET1:1.5"});
    QTest::qWait(150);
    QCOMPARE(after(p, skip), QStringList{"ISET1:1.5"});
}

void tst_OperatorControls::keyFilterAndPrompt() {
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    const QString prompt = QStringLiteral("Please press Enter key!");
    p.form->Edit5->setText(QStringLiteral("1"));
    p.form->Edit5->setFocus();
    p.form->Edit5->end(false);
    QTest::keyClicks(p.form->Edit5, QStringLiteral("a-e+"));
    QCOMPARE(p.form->Edit5->text(), QStringLiteral("1"));
    QCOMPARE(p.form->statusText(2), prompt);  // shown even for a discarded key in Edit5
    p.form->setStatusText(2, QString());
    p.form->Edit8->setText(QStringLiteral("2"));
    p.form->Edit8->setFocus();
    p.form->Edit8->end(false);
    QTest::keyClicks(p.form->Edit8, QStringLiteral("x"));
    QCOMPARE(p.form->statusText(2), QString());  // not in Edit8
    QTest::keyClicks(p.form->Edit8, QStringLiteral(".5"));
    QCOMPARE(p.form->Edit8->text(), QStringLiteral("2.5"));
    QCOMPARE(p.form->statusText(2), prompt);
    QTest::keyClick(p.form->Edit8, Qt::Key_Backspace);
    QTest::keyClick(p.form->Edit8, Qt::Key_Home);  // keys that type nothing work as usual
    QTest::keyClick(p.form->Edit8, Qt::Key_Delete);
    QCOMPARE(p.form->Edit8->text(), QStringLiteral("."));
}

// Keys that type nothing keep their meaning: focus moves, the cursor moves, no
// prompt. Delete and Escape are sent with the control character that some
// platforms give them as text.
void tst_OperatorControls::keysThatTypeNothing() {
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    TForm1& w = *p.form;
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.setStatusText(2, QString());
    w.Edit5->setFocus();
    QTRY_VERIFY(w.Edit5->hasFocus());
    QTest::keyClick(w.Edit5, Qt::Key_Tab);
    QTRY_VERIFY(!w.Edit5->hasFocus());
    const QString linked = w.Edit5->text();
    w.Edit6->setFocus();
    QTRY_VERIFY(w.Edit6->hasFocus());
    QTest::keyClick(w.Edit6, Qt::Key_Backtab, Qt::ShiftModifier);
    QTRY_VERIFY(!w.Edit6->hasFocus());
    QCOMPARE(w.Edit5->text(), linked);
    w.Edit7->setText(QStringLiteral("123"));
    w.Edit7->setFocus();
    QTest::keyClick(w.Edit7, Qt::Key_End);
    QTest::keyClick(w.Edit7, Qt::Key_Left);
    QTest::sendKeyEvent(QTest::Click, w.Edit7, Qt::Key_Escape, QString(QChar(0x1b)), Qt::NoModifier);
    QCOMPARE(w.Edit7->cursorPosition(), 2);
    QCOMPARE(w.statusText(2), QString());
    QTest::sendKeyEvent(QTest::Click, w.Edit7, Qt::Key_Delete, QString(QChar(0x7f)), Qt::NoModifier);
    QCOMPARE(w.Edit7->text(), QStringLiteral("12"));
    QTest::keyClick(w.Edit7, Qt::Key_Home);
    QTest::keyClick(w.Edit7, Qt::Key_Delete);
    QCOMPARE(w.Edit7->text(), QStringLiteral("2"));
    QTest::keyClick(w.Edit7, Qt::Key_A, Qt::ControlModifier);  // select all
    QTest::keyClicks(w.Edit7, QStringLiteral("7"));
    QCOMPARE(w.Edit7->text(), QStringLiteral("7"));
}

// Text that comes by paste or drop passes the same rule as typed keys, the
// comma included; Enter then sends what the field shows.
void tst_OperatorControls::pasteFollowsTheKeyRule_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Ctrl+V") << "ctrl+v";
    QTest::newRow("Shift+Insert") << "shift+insert";
    QTest::newRow("context menu") << "menu";
    QTest::newRow("drop") << "drop";
    QTest::newRow("input method") << "ime";
}

void tst_OperatorControls::pasteFollowsTheKeyRule() {
    QFETCH(QString, how);
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    const int skip = frames(p.sim).size();
    QLineEdit* e = p.form->Edit5;
    const QString text = QStringLiteral("1a2,5 V\n");
    QApplication::clipboard()->setText(text);
    e->clear();
    e->setFocus();
    if (how == QLatin1String("ctrl+v")) {
        QTest::keyClick(e, Qt::Key_V, Qt::ControlModifier);
    } else if (how == QLatin1String("shift+insert")) {
        QTest::keyClick(e, Qt::Key_Insert, Qt::ShiftModifier);
    } else if (how == QLatin1String("menu")) {
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(5, 5), e->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(e, &menuEvent);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        QAction* paste = nullptr;
        for (QAction* a : menu->actions())
            if (a->text().startsWith(QLatin1String("&Paste"))) paste = a;
        QVERIFY(paste);
        paste->trigger();
        menu->close();
    } else if (how == QLatin1String("ime")) {
        QInputMethodEvent commit;
        commit.setCommitString(text);
        QApplication::sendEvent(e, &commit);
    } else {
        QMimeData mime;
        mime.setText(text);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(e, &enter);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(e, &drop);
    }
    QCOMPARE(e->text(), QStringLiteral("12.5"));
    QCOMPARE(p.form->statusText(2), QStringLiteral("Please press Enter key!"));
    QTest::keyClick(e, Qt::Key_Return);
    QCOMPARE(e->text(), QStringLiteral("12.500"));
    QTRY_COMPARE(after(p, skip), QStringList{"VSET1:12.5"});
}

void tst_OperatorControls::stepsAtTheCeiling() {
    test::SimProgram p;
    p.form->LQS6500B1->trigger();
    QVERIFY(linkAndIdle(p));
    const int skip = frames(p.sim).size();
    p.form->Edit6->setText(QStringLiteral("5.08"));
    QToolButton* up = p.form->UpDown2->upButton();
    QStringList shown;
    for (int i = 0; i < 3; ++i) {
        QTest::mouseClick(up, Qt::LeftButton);
        shown << p.form->Edit6->text();
    }
    QCOMPARE(shown, (QStringList{"5.09", "5.10", "5.10"}));
    // The dispatcher is called for every press, changed or not.
    QTRY_COMPARE(after(p, skip), (QStringList{"ISET1:5.09", "ISET1:5.1", "ISET1:5.1"}));
    QTRY_COMPARE(p.form->link->state().PendingOperation.load(), Op::None);
    p.form->Edit5->setText(QStringLiteral("0.00"));
    QTest::mouseClick(p.form->UpDown1->downButton(), Qt::LeftButton);
    QCOMPARE(p.form->Edit5->text(), QStringLiteral("0.00"));
    QTRY_COMPARE(after(p, skip).size(), 4);
    QCOMPARE(after(p, skip).last(), QStringLiteral("VSET1:0."));
}

// A real hold: fine steps for two seconds of the hold timer, then 1 V per repeat.
void tst_OperatorControls::coarseStepAfterHolding() {
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    QToolButton* up = p.form->UpDown1->upButton();
    p.form->Edit5->setText(QStringLiteral("5.000"));
    QList<QPair<double, int>> steps;  // value shown, HoldTicks when it was made
    connect(p.form->Edit5, &QLineEdit::textChanged, [&](const QString& t) {
        steps.append({t.toDouble(), p.form->link->state().HoldTicks.load()});
    });
    QTest::mousePress(up, Qt::LeftButton);
    QVERIFY(p.form->tmr1->isActive());
    QCOMPARE(p.form->tmr1->interval(), 1000);
    QTRY_VERIFY_WITH_TIMEOUT(p.form->link->state().HoldTicks >= 2 && steps.size() > 2 && steps.last().second >= 2,
                             4000);
    QTest::mouseRelease(up, Qt::LeftButton);
    QVERIFY(!p.form->tmr1->isActive());
    QCOMPARE(p.form->link->state().HoldTicks.load(), 0);
    double last = 5.0;
    int fine = 0, coarse = 0;
    for (const auto& [value, ticks] : steps) {
        const double expected = ticks < 2 ? 0.001 : 1.0;
        QVERIFY2(qAbs(value - last - expected) < 1e-6, qPrintable(QString::number(value)));
        ++(ticks < 2 ? fine : coarse);
        last = value;
    }
    QVERIFY(fine > 2 && coarse >= 1);
    p.form->Edit6->setText(QStringLiteral("1.00"));
    QTest::mouseClick(p.form->UpDown2->upButton(), Qt::LeftButton);
    QCOMPARE(p.form->Edit6->text(), QStringLiteral("1.001"));  // fine again after release
}

// Up and Down in a set-point field: the same text and the same frame as a
// click on the field's arrow from the same value.
void tst_OperatorControls::keysStepAsTheArrows_data() {
    QTest::addColumn<int>("field");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Up, CH1 V") << 5 << true << "5.000" << int(Qt::NoModifier);
    QTest::newRow("Down, CH1 A") << 6 << false << "1.500" << int(Qt::NoModifier);
    QTest::newRow("Up, CH2 V, at the ceiling") << 7 << true << "32.000" << int(Qt::NoModifier);
    QTest::newRow("Down, CH2 A, at zero") << 8 << false << "0.000" << int(Qt::NoModifier);
    QTest::newRow("Up on the keypad, CH2 A") << 8 << true << "2.5" << int(Qt::KeypadModifier);
}

void tst_OperatorControls::keysStepAsTheArrows() {
    QFETCH(int, field);
    QFETCH(bool, up);
    QFETCH(QString, start);
    QFETCH(int, modifiers);
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    QLineEdit* e = p.form->findChild<QLineEdit*>(QStringLiteral("Edit%1").arg(field));
    auto* arrows = p.form->findChild<TUpDown*>(QStringLiteral("UpDown%1").arg(field - 4));
    QVERIFY(e && arrows);
    const int skip = frames(p.sim).size();
    e->setText(start);
    QTest::mouseClick(up ? arrows->upButton() : arrows->downButton(), Qt::LeftButton);
    QTRY_COMPARE(after(p, skip).size(), 1);
    const QString clicked = e->text();
    e->setText(start);
    e->setFocus();
    QTest::keyClick(e, up ? Qt::Key_Up : Qt::Key_Down, Qt::KeyboardModifiers(modifiers));
    QCOMPARE(e->text(), clicked);
    QTRY_COMPARE(after(p, skip).size(), 2);
    QCOMPARE(after(p, skip).at(1), after(p, skip).at(0));
    QTest::qWait(100);
    QCOMPARE(after(p, skip).size(), 2);
}

// Page Up and Page Down: the step a held arrow takes after two seconds, 1 V or
// 0.1 A, within the same limits.
void tst_OperatorControls::pageKeysTakeTheCoarseStep_data() {
    QTest::addColumn<int>("field");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("sent");
    QTest::newRow("CH1 V up") << 5 << true << "5.000" << "6.000" << "VSET1:6.";
    QTest::newRow("CH1 A down") << 6 << false << "1.500" << "1.400" << "ISET1:1.4";
    QTest::newRow("CH2 V up to the ceiling") << 7 << true << "31.500" << "32.000" << "VSET2:32.";
    QTest::newRow("CH1 A up to the ceiling") << 6 << true << "3.150" << "3.200" << "ISET1:3.2";
    QTest::newRow("CH2 A down to zero") << 8 << false << "0.050" << "0.000" << "ISET2:0.";
}

void tst_OperatorControls::pageKeysTakeTheCoarseStep() {
    QFETCH(int, field);
    QFETCH(bool, up);
    QFETCH(QString, start);
    QFETCH(QString, shown);
    QFETCH(QString, sent);
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    QLineEdit* e = p.form->findChild<QLineEdit*>(QStringLiteral("Edit%1").arg(field));
    const int skip = frames(p.sim).size();
    e->setText(start);
    e->setFocus();
    QTest::keyClick(e, up ? Qt::Key_PageUp : Qt::Key_PageDown);
    QCOMPARE(e->text(), shown);
    QTRY_COMPARE(after(p, skip), QStringList{sent});
    // The arrows still take their fine step afterwards.
    auto* arrows = p.form->findChild<TUpDown*>(QStringLiteral("UpDown%1").arg(field - 4));
    QTest::mouseClick(up ? arrows->downButton() : arrows->upButton(), Qt::LeftButton);
    QVERIFY(qAbs(e->text().toDouble() - shown.toDouble()) < 0.0015);
}

// A hold ends when its window is blocked by a box or the arrow is hidden or
// disabled: the real release never arrives then, so none is sent here until
// the end.
void tst_OperatorControls::heldArrowEnds_data() {
    QTest::addColumn<QString>("what");
    QTest::newRow("conversion error") << "conversion";
    QTest::newRow("another box") << "box";
    QTest::newRow("view switched") << "hide";
    QTest::newRow("panel disabled") << "disable";
}

void tst_OperatorControls::heldArrowEnds() {
    QFETCH(QString, what);
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    p.boxes.holdMs = 1500;
    QTimer::singleShot(4000, [&] { p.boxes.holdMs = 0; });  // a runaway must not hold the test for ever
    QToolButton* up = p.form->UpDown1->upButton();
    p.form->Edit5->setText(QStringLiteral("5.000"));
    const int skip = frames(p.sim).size();
    QTest::mousePress(up, Qt::LeftButton);
    QTRY_VERIFY(after(p, skip).size() >= 2);  // repeating, every step sent with the output off
    QVERIFY(p.form->tmr1->isActive());
    if (what == QLatin1String("conversion")) {
        p.form->Edit5->clear();  // the next repeat meets a field that is not a number
        QTRY_VERIFY_WITH_TIMEOUT(!p.boxes.seen.isEmpty(), 2000);
    } else if (what == QLatin1String("box")) {
        QMessageBox::warning(p.form.get(), QStringLiteral("LQS"), QStringLiteral("Something else"));
    } else if (what == QLatin1String("hide")) {
        p.form->Wave1->trigger();
        QVERIFY(!up->isVisible());
        QTest::qWait(1500);
        p.form->Control1->trigger();
    } else {
        p.form->Panel1->setEnabled(false);
        QTest::qWait(1500);
        p.form->Panel1->setEnabled(true);
    }
    const int boxes = what == QLatin1String("conversion") || what == QLatin1String("box") ? 1 : 0;
    QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 5000);
    QCOMPARE(p.boxes.seen.size(), boxes);
    if (what == QLatin1String("conversion"))
        QCOMPARE(p.boxes.seen[0].text, QStringLiteral("'' is not a valid floating point value."));
    QVERIFY(!up->isDown());
    QVERIFY(!p.form->tmr1->isActive());
    QCOMPARE(p.form->link->state().HoldTicks.load(), 0);
    const QString shown = p.form->Edit5->text();
    QTest::qWait(200);  // a step already written may still be on the line
    const int settled = frames(p.sim).size();
    QTest::qWait(600);
    QCOMPARE(p.form->Edit5->text(), shown);
    QCOMPARE(frames(p.sim).size(), settled);
    QCOMPARE(p.boxes.seen.size(), boxes);
    QTest::mouseRelease(up, Qt::LeftButton);
}

void tst_OperatorControls::heldSlotArrowEndsAtABox() {
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    p.boxes.holdMs = 1500;
    QTimer::singleShot(4000, [&] { p.boxes.holdMs = 0; });
    QTest::mouseClick(p.form->BitBtn6, Qt::LeftButton);
    Trecall* recall = p.form->windows().recall;
    recall->Edit1->setText(QStringLiteral("x"));
    QToolButton* up = recall->UpDown1->upButton();
    QTest::mousePress(up, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!p.boxes.seen.isEmpty(), 2000);
    QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 5000);
    QTest::qWait(500);
    QCOMPARE(p.boxes.seen.size(), 1);
    QVERIFY(!up->isDown());
    QCOMPARE(recall->Edit1->text(), QStringLiteral("x"));
    QTest::mouseRelease(up, Qt::LeftButton);
    QTest::mouseClick(recall->Button2, Qt::LeftButton);
}

void tst_OperatorControls::trackWithOutputOn() {
    test::SimProgram p;
    p.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    QVERIFY(linkAndIdle(p));
    QTRY_VERIFY(frames(p.sim).size() > test::kStartupQueries.size() + 2);  // polling
    p.form->Start1->trigger();  // the recorder window exists
    const int skip = frames(p.sim).size();
    QTest::mouseClick(p.form->RadioButton3, Qt::LeftButton);
    QTRY_VERIFY(after(p, skip).contains(QStringLiteral("OUT0")));
    QTRY_COMPARE(p.form->BitBtn4->text(), QStringLiteral("OFF"));
    QStringList sent = after(p, skip);
    sent.removeIf([](const QString& f) { return test::kPollQueries.contains(f); });  // one may be in flight
    QCOMPARE(sent, (QStringList{"TRACK1", "OUT0"}));
    QTRY_VERIFY(p.form->Edit1->text().isEmpty());
    QTRY_VERIFY(!p.form->link->pollCycleRunning());
    QTRY_VERIFY(p.form->link->idle());
    // The selected button again: nothing.
    const int settled = frames(p.sim).size();
    QTest::mouseClick(p.form->RadioButton3, Qt::LeftButton);
    QTest::qWait(100);
    QCOMPARE(frames(p.sim).size(), settled);
}

void tst_OperatorControls::saveWithOutputOff() {
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    const int skip = frames(p.sim).size();
    p.form->SaveMemory1->trigger();
    Tsave* save = p.form->windows().save;
    QVERIFY(save->isVisible());
    save->Edit1->setText(QStringLiteral("3"));
    QTest::mouseClick(save->Button1, Qt::LeftButton);
    QVERIFY(!save->isVisible());
    QVERIFY(p.form->frameEnabled());
    QTRY_COMPARE(after(p, skip), QStringList{"SAV3"});
    QTRY_COMPARE(p.form->link->state().PendingOperation.load(), Op::None);
}

void tst_OperatorControls::saveWithOutputOnUnderParallel() {
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    QTest::mouseClick(p.form->RadioButton2, Qt::LeftButton);
    QTest::mouseClick(p.form->BitBtn4, Qt::LeftButton);
    QTRY_COMPARE(p.form->BitBtn4->text(), QStringLiteral("ON"));
    // Polling has begun once a query follows OUT1 (the start-up queries came before it).
    QTRY_VERIFY(frames(p.sim).contains(QStringLiteral("OUT1")) &&
                frames(p.sim).size() > frames(p.sim).lastIndexOf(QStringLiteral("OUT1")) + 1);
    const int skip = frames(p.sim).size();
    QTest::mouseClick(p.form->BitBtn5, Qt::LeftButton);
    p.form->windows().save->Edit1->setText(QStringLiteral("3"));
    QTest::mouseClick(p.form->windows().save->Button1, Qt::LeftButton);
    QTRY_VERIFY(after(p, skip).contains(QStringLiteral("OUT0")));
    QStringList sent = after(p, skip);
    sent.removeIf([](const QString& f) { return test::kPollQueries.contains(f); });
    QCOMPARE(sent, (QStringList{"SAV3", "TRACK2", "OUT0"}));
    QTRY_COMPARE(p.form->BitBtn4->text(), QStringLiteral("OFF"));
    QTRY_VERIFY(p.form->Edit1->text().isEmpty() && p.form->Edit4->text().isEmpty());
    QVERIFY(p.sim.withInstrument([](sim::Instrument& i) { return i.slot(3).coupling == sim::Coupling::Parallel; }));
}

// Real paces here: at least 300 ms before each query.
void tst_OperatorControls::recallSlotTwo() {
    test::SimProgram p(sim::Model::B, 1);
    p.sim.setLineModel(sim::LineModel::instant());  // pauses ten times short leave no time for the line
    p.form->link->setTimings(LinkTimings().scaled(10));
    QVERIFY(linkAndIdle(p));
    LinkTimings t = LinkTimings().scaled(10);
    t.recallPasses = 100;
    t.recallPassMs = 3;
    p.form->link->setTimings(t);
    p.sim.withInstrument([](sim::Instrument& i) { i.setSlot(2, {10.0, 1.5, 6.0, 0.75, sim::Coupling::Parallel}); });
    std::mutex m;
    std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> times;
    p.sim.setFrameObserver([&](const sim::Exchange& x) {
        std::lock_guard<std::mutex> lock(m);
        times.emplace_back(x.command, std::chrono::steady_clock::now());
    });
    const int skip = frames(p.sim).size();
    p.form->RecallMemory1->trigger();
    Trecall* recall = p.form->windows().recall;
    QVERIFY(recall->isVisible());
    QTest::mouseClick(recall->UpDown1->upButton(), Qt::LeftButton);
    QCOMPARE(recall->Edit1->text(), QStringLiteral("2"));
    QTest::mouseClick(recall->Button1, Qt::LeftButton);
    QVERIFY(!recall->isVisible());
    const QStringList expected{"OUT0",   "RCL2",   "VSET1?", "VSET2?", "ISET1?", "ISET2?",
                               "VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?", "STATUS?"};
    QTRY_VERIFY(after(p, skip).size() >= expected.size());
    QCOMPARE(after(p, skip).mid(0, expected.size()), expected);
    QTRY_VERIFY(p.form->RadioButton2->isChecked());
    QCOMPARE(p.form->Edit5->text(), QStringLiteral("10.00"));
    QCOMPARE(p.form->Edit6->text(), QStringLiteral("1.50"));
    QTRY_VERIFY(p.form->link->idle());
    QVERIFY(p.form->Edit1->text().isEmpty());  // measured values are emptied at the end
    QVERIFY(p.form->frameEnabled());
    QVERIFY(!p.form->windows().Querying->isVisible());
    std::lock_guard<std::mutex> lock(m);
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (times[i].first.back() != '?') continue;
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(times[i].second - times[i - 1].second);
        QVERIFY2(gap.count() >= 280, qPrintable(QString::fromStdString(times[i].first)));
    }
}

void tst_OperatorControls::slotArrowsAndCancel() {
    test::SimProgram p;
    QVERIFY(linkAndIdle(p));
    const int skip = frames(p.sim).size();
    QTest::mouseClick(p.form->BitBtn6, Qt::LeftButton);
    Trecall* recall = p.form->windows().recall;
    QToolButton* up = recall->UpDown1->upButton();
    QToolButton* down = recall->UpDown1->downButton();
    for (int i = 0; i < 5; ++i) QTest::mouseClick(up, Qt::LeftButton);
    QCOMPARE(recall->Edit1->text(), QStringLiteral("4"));
    for (int i = 0; i < 5; ++i) QTest::mouseClick(down, Qt::LeftButton);
    QCOMPARE(recall->Edit1->text(), QStringLiteral("1"));
    recall->Edit1->setText(QStringLiteral("x"));
    QTest::mouseClick(up, Qt::LeftButton);
    QCOMPARE(p.boxes.seen.size(), 1);
    QCOMPARE(recall->Edit1->text(), QStringLiteral("x"));
    QTest::mouseClick(recall->Button2, Qt::LeftButton);
    QVERIFY(!recall->isVisible());
    QVERIFY(p.form->frameEnabled());
    QTest::qWait(100);
    QCOMPARE(after(p, skip), QStringList());
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
    test::SimProgram p;
    p.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    QVERIFY(linkAndIdle(p));
    TForm_Wave* wave = p.form->ensureWaveWindow();
    wave->state.PointOperation = QStringLiteral("Maximum");  // as after an accepted setup
    wave->tmr_Scale->setInterval(200);
    wave->tmr_All->setInterval(600000);  // the record does not end by itself here
    // Start waits until the poll cycle has filled all four readings.
    QTRY_VERIFY_WITH_TIMEOUT(!p.form->Edit4->text().isEmpty(), 15000);
    p.form->Start1->trigger();
    QVERIFY(wave->tmr_Scale->isActive());
    QVERIFY(p.form->Panel1->isVisible());  // recording behind the control view
    if (how == QLatin1String("button")) {
        QTest::mouseClick(p.form->BitBtn4, Qt::LeftButton);
    } else {
        QTest::mouseClick(how == QLatin1String("save") ? p.form->BitBtn5 : p.form->BitBtn6, Qt::LeftButton);
        TMemoryDialog* dialog = how == QLatin1String("save") ? static_cast<TMemoryDialog*>(p.form->windows().save)
                                                              : p.form->windows().recall;
        QVERIFY(dialog->isVisible());
        QTest::mouseClick(dialog->Button1, Qt::LeftButton);
    }
    // Until the output is off and the readings emptied, with ticks due all the while.
    QTRY_VERIFY(p.form->link->idle() && p.form->frameEnabled());
    QCOMPARE(p.form->BitBtn4->text(), QStringLiteral("OFF"));
    QVERIFY(p.form->Edit1->text().isEmpty());
    QCOMPARE(p.boxes.seen.size(), 0);  // no tick met an empty reading
    QVERIFY(!wave->tmr_Scale->isActive() && !wave->tmr_time->isActive() && !wave->tmr_All->isActive());
    QVERIFY(wave->cbb_Time->isEnabled());
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
    test::SimProgram p;
    p.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    QVERIFY(linkAndIdle(p));
    TForm_Wave* wave = p.form->ensureWaveWindow();
    wave->state.PointOperation = QStringLiteral("Maximum");
    wave->tmr_Scale->setInterval(200);
    wave->tmr_All->setInterval(600000);
    QTRY_VERIFY_WITH_TIMEOUT(!p.form->Edit4->text().isEmpty(), 15000);
    p.form->Start1->trigger();
    QVERIFY(wave->tmr_Scale->isActive());
    const QPalette live = p.form->Edit1->palette();
    if (hangUp) {
        p.sim.hangUpNow();
    } else {
        p.sim.setSilent(true);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!wave->tmr_Scale->isActive(), 10000);
    QVERIFY(!wave->tmr_time->isActive() && !wave->tmr_All->isActive());
    QVERIFY(p.form->Edit1->toolTip().startsWith(QStringLiteral("Not current since ")));
    QVERIFY(p.form->Edit4->toolTip().endsWith(hangUp ? QStringLiteral("the line was lost.")
                                                      : QStringLiteral("the instrument stopped answering.")));
    QVERIFY(p.form->Edit1->palette().color(QPalette::Text) != live.color(QPalette::Text));
    QVERIFY(!p.form->windows().Messages->isVisible());  // stopped before anyone answered the time-out
}

QTEST_MAIN(tst_OperatorControls)
#include "tst_operator_controls.moc"
