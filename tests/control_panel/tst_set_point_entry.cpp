// The set-point entry on fields, arrows and a hold timer of its own, stating
// its intents to a real link whose port is a bare pseudo-terminal: what a key
// does, what Enter makes of a typed text, the steps and the hold, asserted on
// the frames the link hands to the port. tst_operator_controls keeps one row
// of each rule on the whole program against the simulated instrument.
#include "control_panel/set_point_entry.h"
#include "control_panel/up_down.h"
#include "device_link/device_link.h"
#include "device_link/link_client.h"
#include "modal_watcher.h"
#include "pty_pair.h"
#include "serial/comm.h"
#include "timer_events.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <unistd.h>

using namespace lqs;
using test::TimerEvents;

namespace {

// Steps turn coarse after two ticks: 120 ms of 5 ms repeats, not two seconds.
constexpr HoldPace kQuickHold{60, 5, 5};

// The entry wired as the main window wires it, on a window of its own.
struct Bench {
    explicit Bench(int model = 1, const HoldPace& pace = kQuickHold) {
        comm.setOutx_XonXoffFlow(false);
        comm.setInx_XonXoffFlow(false);
        comm.setCommName(QString::fromStdString(pty.slavePath()));
        comm.OpenPort();
        // Set points with the output off go out from this thread.
        link.FrameHandedOver = [this](const QString& command) { sent << command; };
        client.setModel(model);
        // Drained as it comes, so a long hold never fills the terminal.
        QObject::connect(&reader, &QSocketNotifier::activated, &window, [this] {
            char buf[512];
            ssize_t n = 0;
            while ((n = ::read(pty.master(), buf, sizeof buf)) > 0) wire.append(buf, int(n));
        });
        window.resize(400, 80);
        panel->setGeometry(0, 40, 400, 40);
        for (int i = 0; i < 4; ++i) {
            fields[i] = new QLineEdit(&window);
            fields[i]->setGeometry(10 + 90 * i, 8, 70, 24);
            arrows[i] = new TUpDown(panel);
            arrows[i]->setGeometry(10 + 90 * i, 8, 17, 24);
        }
        entry = new SetPointEntry(fields, arrows, &tmr1, &client, &window, pace);
        entry->ShowPrompt = [this](const QString& text) { prompt = text; };
        entry->ShowNote = [this](const QString& text) { notes << text; };
        window.show();
    }
    ~Bench() { comm.ClosePort(); }

    QLineEdit* field(int edit) const { return fields[edit - 5]; }
    TUpDown* arrowsOf(int edit) const { return arrows[edit - 5]; }
    int holdTicks() const { return entry->holdTicks(); }

    test::PtyPair pty;
    TComm comm;
    CommLinkPort port{&comm};
    DeviceLink link{&port};
    LinkClient client{&link, LinkTimings()};
    QTimer tmr1;
    QWidget window;
    QWidget* panel = new QWidget(&window);  // the arrows' panel, as Panel1 is
    QLineEdit* fields[4] = {};
    TUpDown* arrows[4] = {};
    SetPointEntry* entry = nullptr;
    QSocketNotifier reader{pty.master(), QSocketNotifier::Read};
    test::ModalWatcher boxes;
    QStringList sent;  // every frame handed to the port, in order
    QByteArray wire;   // the bytes that reached the far end
    QString prompt;    // status panel 2
    QStringList notes;
};

// Types into a set-point field as an operator would: select all, type, Enter.
void typeAndEnter(QLineEdit* e, const QString& text) {
    e->setFocus();
    e->selectAll();
    QTest::keyClicks(e, text);
    QTest::keyClick(e, Qt::Key_Return);
}

const QString kPrompt = QStringLiteral("Please press Enter key!");

// A released arrow repeats no more: it is not down, and a timer of its own
// still running (Qt leaves one when the arrow is disabled while down) has
// fired twice more with the arrow up, which steps nothing.
bool repeatsNoMore(QToolButton* arrow) {
    if (arrow->isDown()) return false;
    if (QAbstractEventDispatcher::instance()->registeredTimers(arrow).isEmpty()) return true;
    TimerEvents fired(arrow);
    return QTest::qWaitFor([&] { return fired.count >= 2; }, 5000) && !arrow->isDown();
}

}  // namespace

class tst_SetPointEntry : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void typedEntry_data();
    void typedEntry();
    void enterSendsOnlyWhatTheInstrumentLacks();
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
};

void tst_SetPointEntry::typedEntry_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("sent");
    QTest::addColumn<QString>("note");  // what the operator is told of a refused entry
    const QString nines(300, QLatin1Char('9'));
    QTest::newRow("A 12.5") << 1 << 5 << "12.5"
                            << "12.500"
                            << "VSET1:12.5"
                            << "";
    QTest::newRow("B 12.5") << 2 << 5 << "12.5"
                            << "12.50"
                            << "VSET1:12.5"
                            << "";
    QTest::newRow("C 12.5 channel 2") << 3 << 7 << "12.5"
                                      << "12.50"
                                      << "VSET2:12.5"
                                      << "";
    QTest::newRow("33 V is out of range") << 2 << 5 << "33"
                                          << "0.00"
                                          << "VSET1:0."
                                          << "33 is above the 32 V limit: 0.00 V set";
    QTest::newRow("two points") << 1 << 7 << "1..2"
                                << "0.000"
                                << "VSET2:0."
                                << "\"1..2\" is not a number: 0.000 V set";
    QTest::newRow("a lone point") << 2 << 6 << "."
                                  << "0.00"
                                  << "ISET1:0."
                                  << "\".\" is not a number: 0.00 A set";
    QTest::newRow("A 3.2 A") << 1 << 6 << "3.2"
                             << "3.200"
                             << "ISET1:3.2"
                             << "";
    QTest::newRow("B 3.21 A refused") << 2 << 6 << "3.21"
                                      << "0.00"
                                      << "ISET1:0."
                                      << "3.21 is above the 3.2 A limit: 0.00 A set";
    QTest::newRow("C 3.21 A") << 3 << 6 << "3.21"
                              << "3.21"
                              << "ISET1:3.21"
                              << "";
    QTest::newRow("C 5.1 A") << 3 << 8 << "5.1"
                             << "5.10"
                             << "ISET2:5.1"
                             << "";
    QTest::newRow("C 5.11 A refused") << 3 << 8 << "5.11"
                                      << "0.00"
                                      << "ISET2:0."
                                      << "5.11 is above the 5.1 A limit: 0.00 A set";
    QTest::newRow("32 V accepted") << 2 << 7 << "32"
                                   << "32.00"
                                   << "VSET2:32."
                                   << "";
    QTest::newRow("comma is the point") << 2 << 5 << "2,5"
                                        << "2.50"
                                        << "VSET1:2.5"
                                        << "";
    QTest::newRow("comma in a current") << 3 << 8 << "0,75"
                                        << "0.75"
                                        << "ISET2:0.75"
                                        << "";
    QTest::newRow("letters are dropped") << 1 << 5 << "1a2b"
                                         << "12.000"
                                         << "VSET1:12."
                                         << "";
    QTest::newRow("very long text")
        << 2 << 5 << nines << "0.00"
        << "VSET1:0." << nines + QStringLiteral(" is above the 32 V limit: 0.00 V set");
}

// Enter formats what it takes for the model, puts the model's zero for what
// it refuses and says why, and sends the field either way.
void tst_SetPointEntry::typedEntry() {
    QFETCH(int, model);
    QFETCH(int, field);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(QString, sent);
    QFETCH(QString, note);
    Bench b(model);
    QLineEdit* e = b.field(field);
    e->setFocus();
    e->selectAll();
    QTest::keyClicks(e, typed);
    QVERIFY(e->font().italic());  // typed, not sent
    QCOMPARE(b.prompt, kPrompt);
    QTest::keyClick(e, Qt::Key_Return);
    QCOMPARE(e->text(), shown);
    QVERIFY(!e->font().italic());
    QCOMPARE(b.prompt, QString());
    QCOMPARE(b.notes, note.isEmpty() ? QStringList() : QStringList{note});
    QTRY_VERIFY(b.client.idle());
    QCOMPARE(b.sent, QStringList{sent});
    QTRY_COMPARE(b.wire, sent.toLatin1() + "\r\n");
}

// The instrument already holds a text that was sent, by Enter or by a step:
// Enter sends it no more.
void tst_SetPointEntry::enterSendsOnlyWhatTheInstrumentLacks() {
    Bench b;
    QLineEdit* e = b.field(6);
    typeAndEnter(e, QStringLiteral("1.5"));
    QTest::keyClick(e, Qt::Key_Return);
    typeAndEnter(e, QStringLiteral("1.50"));  // the same set point, typed otherwise
    QCOMPARE(e->text(), QStringLiteral("1.500"));
    typeAndEnter(e, QStringLiteral("1.6"));
    QTest::mouseClick(b.arrowsOf(6)->upButton(), Qt::LeftButton);
    QCOMPARE(e->text(), QStringLiteral("1.601"));
    typeAndEnter(e, QStringLiteral("1.601"));
    QTRY_VERIFY(b.client.idle());
    QCOMPARE(b.sent, (QStringList{"ISET1:1.5", "ISET1:1.6", "ISET1:1.601"}));
}

void tst_SetPointEntry::keyFilterAndPrompt() {
    Bench b;
    QLineEdit* edit5 = b.field(5);
    QLineEdit* edit8 = b.field(8);
    edit5->setText(QStringLiteral("1"));
    edit5->setFocus();
    edit5->end(false);
    QTest::keyClicks(edit5, QStringLiteral("a-e+"));
    QCOMPARE(edit5->text(), QStringLiteral("1"));
    QCOMPARE(b.prompt, kPrompt);  // shown even for a discarded key in Edit5
    b.prompt.clear();
    edit8->setText(QStringLiteral("2"));
    edit8->setFocus();
    edit8->end(false);
    QTest::keyClicks(edit8, QStringLiteral("x"));
    QCOMPARE(b.prompt, QString());  // not in Edit8
    QTest::keyClicks(edit8, QStringLiteral(".5"));
    QCOMPARE(edit8->text(), QStringLiteral("2.5"));
    QCOMPARE(b.prompt, kPrompt);
    QTest::keyClick(edit8, Qt::Key_Backspace);
    QTest::keyClick(edit8, Qt::Key_Home);  // keys that type nothing work as usual
    QTest::keyClick(edit8, Qt::Key_Delete);
    QCOMPARE(edit8->text(), QStringLiteral("."));
    QVERIFY(b.sent.isEmpty());  // nothing goes out before Enter
}

// Keys that type nothing keep their meaning: focus moves, the cursor moves, no
// prompt. Delete and Escape are sent with the control character that some
// platforms give them as text.
void tst_SetPointEntry::keysThatTypeNothing() {
    Bench b;
    QApplication::setActiveWindow(&b.window);
    QVERIFY(QTest::qWaitForWindowActive(&b.window));
    QLineEdit* edit5 = b.field(5);
    QLineEdit* edit6 = b.field(6);
    QLineEdit* edit7 = b.field(7);
    edit5->setText(QStringLiteral("12.000"));
    edit5->setFocus();
    QTRY_VERIFY(edit5->hasFocus());
    QTest::keyClick(edit5, Qt::Key_Tab);
    QTRY_VERIFY(!edit5->hasFocus());
    edit6->setFocus();
    QTRY_VERIFY(edit6->hasFocus());
    QTest::keyClick(edit6, Qt::Key_Backtab, Qt::ShiftModifier);
    QTRY_VERIFY(!edit6->hasFocus());
    QCOMPARE(edit5->text(), QStringLiteral("12.000"));
    edit7->setText(QStringLiteral("123"));
    edit7->setFocus();
    QTest::keyClick(edit7, Qt::Key_End);
    QTest::keyClick(edit7, Qt::Key_Left);
    QTest::sendKeyEvent(QTest::Click, edit7, Qt::Key_Escape, QString(QChar(0x1b)), Qt::NoModifier);
    QCOMPARE(edit7->cursorPosition(), 2);
    QCOMPARE(b.prompt, QString());
    QTest::sendKeyEvent(QTest::Click, edit7, Qt::Key_Delete, QString(QChar(0x7f)), Qt::NoModifier);
    QCOMPARE(edit7->text(), QStringLiteral("12"));
    QTest::keyClick(edit7, Qt::Key_Home);
    QTest::keyClick(edit7, Qt::Key_Delete);
    QCOMPARE(edit7->text(), QStringLiteral("2"));
    QTest::keyClick(edit7, Qt::Key_A, Qt::ControlModifier);  // select all
    QTest::keyClicks(edit7, QStringLiteral("7"));
    QCOMPARE(edit7->text(), QStringLiteral("7"));
}

// Text that comes by paste or drop passes the same rule as typed keys, the
// comma included; Enter then sends what the field shows.
void tst_SetPointEntry::pasteFollowsTheKeyRule_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Ctrl+V") << "ctrl+v";
    QTest::newRow("Shift+Insert") << "shift+insert";
    QTest::newRow("context menu") << "menu";
    QTest::newRow("drop") << "drop";
    QTest::newRow("input method") << "ime";
}

void tst_SetPointEntry::pasteFollowsTheKeyRule() {
    QFETCH(QString, how);
    Bench b;
    QLineEdit* e = b.field(5);
    const QString text = QStringLiteral("1a2,5 V\n");
    QApplication::clipboard()->setText(text);
    e->clear();
    e->setFocus();
    if (how == QLatin1String("ctrl+v")) {
        QTest::keyClick(e, Qt::Key_V, Qt::ControlModifier);
    } else if (how == QLatin1String("shift+insert")) {
        QTest::keyClick(e, Qt::Key_Insert, Qt::ShiftModifier);
    } else if (how == QLatin1String("menu")) {
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(5, 5),
                                    e->mapToGlobal(QPoint(5, 5)));
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
    QCOMPARE(b.prompt, kPrompt);
    QVERIFY(b.sent.isEmpty());
    QTest::keyClick(e, Qt::Key_Return);
    QCOMPARE(e->text(), QStringLiteral("12.500"));
    QTRY_VERIFY(b.client.idle());
    QCOMPARE(b.sent, QStringList{"VSET1:12.5"});
}

// The arrows stop at the ceiling and at zero; every press is sent, changed or not.
void tst_SetPointEntry::stepsAtTheCeiling() {
    Bench b(3);
    b.field(6)->setText(QStringLiteral("5.08"));
    QToolButton* up = b.arrowsOf(6)->upButton();
    QStringList shown;
    for (int i = 0; i < 3; ++i) {
        QTest::mouseClick(up, Qt::LeftButton);
        shown << b.field(6)->text();
    }
    QCOMPARE(shown, (QStringList{"5.09", "5.10", "5.10"}));
    b.field(5)->setText(QStringLiteral("0.00"));
    QTest::mouseClick(b.arrowsOf(5)->downButton(), Qt::LeftButton);
    QCOMPARE(b.field(5)->text(), QStringLiteral("0.00"));
    QTRY_VERIFY(b.client.idle());
    QCOMPARE(b.sent, (QStringList{"ISET1:5.09", "ISET1:5.1", "ISET1:5.1", "VSET1:0."}));
    QCOMPARE(b.link.state().PendingOperation, Op::None);
}

// A real hold at a quick pace: fine steps until the hold timer has ticked
// twice, then 1 V per repeat; fine again once released.
void tst_SetPointEntry::coarseStepAfterHolding() {
    Bench b;
    QLineEdit* e = b.field(5);
    QToolButton* up = b.arrowsOf(5)->upButton();
    e->setText(QStringLiteral("5.000"));
    QList<QPair<double, int>> steps;  // value shown, HoldTicks when it was made
    connect(e, &QLineEdit::textChanged, e, [&](const QString& t) {
        steps.append({t.toDouble(), b.holdTicks()});
    });
    QTest::mousePress(up, Qt::LeftButton);
    QVERIFY(b.tmr1.isActive());
    QTRY_VERIFY(b.holdTicks() >= 2 && steps.size() > 2 && steps.last().second >= 2);
    QTest::mouseRelease(up, Qt::LeftButton);
    QVERIFY(!b.tmr1.isActive());
    QCOMPARE(b.holdTicks(), 0);
    double last = 5.0;
    int fine = 0, coarse = 0;
    for (const auto& [value, ticks] : steps) {
        const double expected = ticks < 2 ? 0.001 : 1.0;
        QVERIFY2(qAbs(value - last - expected) < 1e-6, qPrintable(QString::number(value)));
        ++(ticks < 2 ? fine : coarse);
        last = value;
    }
    QVERIFY(fine > 2 && coarse >= 1);
    b.field(6)->setText(QStringLiteral("1.00"));
    QTest::mouseClick(b.arrowsOf(6)->upButton(), Qt::LeftButton);
    QCOMPARE(b.field(6)->text(), QStringLiteral("1.001"));
}

// Up and Down in a set-point field: the same text and the same frame as a
// click on the field's arrow from the same value, once per key.
void tst_SetPointEntry::keysStepAsTheArrows_data() {
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

void tst_SetPointEntry::keysStepAsTheArrows() {
    QFETCH(int, field);
    QFETCH(bool, up);
    QFETCH(QString, start);
    QFETCH(int, modifiers);
    Bench b;
    QLineEdit* e = b.field(field);
    TUpDown* arrows = b.arrowsOf(field);
    e->setText(start);
    QTest::mouseClick(up ? arrows->upButton() : arrows->downButton(), Qt::LeftButton);
    QTRY_COMPARE(b.sent.size(), 1);
    const QString clicked = e->text();
    e->setText(start);
    e->setFocus();
    QTest::keyClick(e, up ? Qt::Key_Up : Qt::Key_Down, Qt::KeyboardModifiers(modifiers));
    QCOMPARE(e->text(), clicked);
    QTRY_VERIFY(b.client.idle());
    QCOMPARE(b.sent.size(), 2);
    QCOMPARE(b.sent.at(1), b.sent.at(0));
}

// Page Up and Page Down: the step a held arrow takes after two ticks, 1 V or
// 0.1 A, within the same limits.
void tst_SetPointEntry::pageKeysTakeTheCoarseStep_data() {
    QTest::addColumn<int>("field");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("sent");
    QTest::newRow("CH1 V up") << 5 << true << "5.000"
                              << "6.000"
                              << "VSET1:6.";
    QTest::newRow("CH1 A down") << 6 << false << "1.500"
                                << "1.400"
                                << "ISET1:1.4";
    QTest::newRow("CH2 V up to the ceiling") << 7 << true << "31.500"
                                             << "32.000"
                                             << "VSET2:32.";
    QTest::newRow("CH1 A up to the ceiling") << 6 << true << "3.150"
                                             << "3.200"
                                             << "ISET1:3.2";
    QTest::newRow("CH2 A down to zero") << 8 << false << "0.050"
                                        << "0.000"
                                        << "ISET2:0.";
}

void tst_SetPointEntry::pageKeysTakeTheCoarseStep() {
    QFETCH(int, field);
    QFETCH(bool, up);
    QFETCH(QString, start);
    QFETCH(QString, shown);
    QFETCH(QString, sent);
    Bench b;
    QLineEdit* e = b.field(field);
    e->setText(start);
    e->setFocus();
    QTest::keyClick(e, up ? Qt::Key_PageUp : Qt::Key_PageDown);
    QCOMPARE(e->text(), shown);
    QTRY_VERIFY(b.client.idle());
    QCOMPARE(b.sent, QStringList{sent});
    // The arrows still take their fine step afterwards.
    TUpDown* arrows = b.arrowsOf(field);
    QTest::mouseClick(up ? arrows->downButton() : arrows->upButton(), Qt::LeftButton);
    QVERIFY(qAbs(e->text().toDouble() - shown.toDouble()) < 0.0015);
}

// A hold ends when its window is blocked by a box or the arrow is hidden or
// disabled: the real release never arrives then, so none is sent here until
// the end.
void tst_SetPointEntry::heldArrowEnds_data() {
    QTest::addColumn<QString>("what");
    QTest::newRow("conversion error") << "conversion";
    QTest::newRow("another box") << "box";
    QTest::newRow("arrows hidden") << "hide";
    QTest::newRow("arrows disabled") << "disable";
}

void tst_SetPointEntry::heldArrowEnds() {
    QFETCH(QString, what);
    Bench b;
    // Open for 30 repeats: a hold that runs on would open a box at each.
    b.boxes.holdMs = 150;
    QTimer::singleShot(3000, &b.window,
                       [&b] { b.boxes.holdMs = 0; });  // a runaway must not hold the test for ever
    QLineEdit* e = b.field(5);
    QToolButton* up = b.arrowsOf(5)->upButton();
    e->setText(QStringLiteral("5.000"));
    QTest::mousePress(up, Qt::LeftButton);
    QTRY_VERIFY(b.sent.size() >= 2);  // repeating, every step sent with the output off
    QVERIFY(b.tmr1.isActive());
    // The arrow repeats on a timer of its own.
    QVERIFY(!QAbstractEventDispatcher::instance()->registeredTimers(up).isEmpty());
    int boxes = 0;
    if (what == QLatin1String("conversion")) {
        e->clear();  // the next repeat meets a field that is not a number
        QTRY_VERIFY(!b.boxes.seen.isEmpty());
        boxes = 1;
    } else if (what == QLatin1String("box")) {
        QMessageBox::warning(&b.window, QStringLiteral("LQS"), QStringLiteral("Something else"));
        boxes = 1;
    } else if (what == QLatin1String("hide")) {
        b.panel->hide();
        QVERIFY(!up->isVisible());
    } else {
        b.panel->setEnabled(false);
    }
    QTRY_VERIFY(!QApplication::activeModalWidget());
    // Ended at once, before the arrows come back.
    QVERIFY(!up->isDown());
    QVERIFY(!b.tmr1.isActive());
    QCOMPARE(b.holdTicks(), 0);
    b.panel->show();
    b.panel->setEnabled(true);
    QCOMPARE(b.boxes.seen.size(), boxes);
    if (what == QLatin1String("conversion"))
        QCOMPARE(b.boxes.seen[0].text, QStringLiteral("'' is not a valid floating point value."));
    QTRY_VERIFY(b.client.idle());
    const QString shown = e->text();
    const qsizetype sent = b.sent.size();
    // Nothing is left to step, the arrows back: the hold timer stands, and
    // the arrow's own timer, if it still runs, fires without a step.
    QVERIFY(!b.tmr1.isActive());
    QVERIFY(repeatsNoMore(up));
    QTRY_VERIFY(b.client.idle());
    QCOMPARE(e->text(), shown);
    QCOMPARE(b.sent.size(), sent);
    QCOMPARE(b.boxes.seen.size(), boxes);
    QTest::mouseRelease(up, Qt::LeftButton);
}

QTEST_MAIN(tst_SetPointEntry)
#include "tst_set_point_entry.moc"
