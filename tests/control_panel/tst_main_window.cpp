#include "clocked_link.h"
#include "control_panel/about_box.h"
#include "control_panel/app_windows.h"
#include "control_panel/memory_dialogs.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/read_time_dialog.h"
#include "control_panel/up_down.h"
#include "device_link/device_link.h"
#include "device_link/link_state.h"
#include "modal_watcher.h"
#include "one_port.h"
#include "pty_endpoint.h"
#include "recorder/wave_window.h"
#include "serial/comm.h"
#include "serial/port_dialog.h"
#include "sim_program.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>
#include <QtTest>

#include <memory>

using namespace lqs;
using namespace std::chrono_literals;

namespace {

// A main window with its dialogs, whose port list offers the simulated
// instrument; the line answers at once and the link's pauses are shortened.
struct Fixture {
    QTemporaryDir dir;
    sim::PtyEndpoint sim;
    std::unique_ptr<TForm1> form;
    QList<QPair<int, int>> beeps;
    test::ModalWatcher boxes;  // no modal box may hold a test

    Fixture() {
        sim.setLineModel(sim::LineModel::instant());
        sim.start();
        form.reset(createWindows(test::onePortSources(dir.path(), sim.slavePath())));
        form->Beep = [this](int hz, int ms) { beeps.append({hz, ms}); };
        form->linkClient()->setTimings(LinkTimings().scaled(test::kQuickDivisor));
        form->comm1->setReadIntervalTimeout(test::kQuickSilenceMs);
        form->show();
    }
    ~Fixture() {
        form.reset();
        sim.stop();
    }

    void openPort() {
        test::action(form, "ToolButton3")->trigger();
        QVERIFY(form->windows().Form3->isVisible());
        QTest::mouseClick(test::named<QPushButton>(form->windows().Form3, "Button1"),
                          Qt::LeftButton);
        QVERIFY(form->comm1->IsOpen());
    }
    void linkStart(bool confirm) {
        form->ConfirmReset = [confirm] { return confirm; };
        test::action(form, "ToolButton1")->trigger();
    }
    // Until the start-up exchange has ended and nothing more is under way.
    bool settled() {
        return QTest::qWaitFor(
            [this] {
                return test::frames(sim).size() > test::kStartupQueries.size() &&
                       form->linkClient()->idle() && form->frameEnabled();
            },
            30000);  // a bound: under the sanitizers beside other suites a start can take 10 s
    }
};

// Counts a widget's show events: a dialog shown and hidden between two
// looks at isVisible() still counts.
struct ShowCounter : QObject {
    int shown = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) ++shown;
        return false;
    }
};

// Every text of a window that is cut on screen, as "object: text".
QStringList clippedTexts(QWidget* window) {
    QStringList out;
    auto clipped = [&](QWidget* w, const QString& text) {
        out << QStringLiteral("%1/%2: %3").arg(window->objectName(), w->objectName(), text);
    };
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || w->isWindow()) continue;
        const QFontMetrics fm(w->font());
        if (auto* l = qobject_cast<QLabel*>(w)) {
            if (l->text().isEmpty()) continue;
            const QRect r = l->contentsRect().marginsRemoved(
                QMargins(l->margin(), l->margin(), l->margin(), l->margin()));
            if (fm.horizontalAdvance(l->text()) > r.width() || fm.height() > r.height())
                clipped(l, l->text());
        } else if (auto* b = qobject_cast<QPushButton*>(w)) {
            if (b->text().isEmpty()) continue;
            if (fm.horizontalAdvance(b->text()) + 8 > b->width() || fm.height() > b->height())
                clipped(b, b->text());
        } else if (qobject_cast<QRadioButton*>(w) || qobject_cast<QCheckBox*>(w)) {
            auto* c = static_cast<QAbstractButton*>(w);
            if (c->sizeHint().width() > c->width() || c->sizeHint().height() > c->height())
                clipped(c, c->text());
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            if (fm.horizontalAdvance(g->title()) + 16 > g->width()) clipped(g, g->title());
        }
    }
    return out;
}

QStringList actionTexts(QWidget* menu) {
    QStringList out;
    for (QAction* a : menu->actions()) out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

}  // namespace

class tst_MainWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void menuCaptions_data();
    void menuCaptions();
    void toolbarOrderAndHints();
    void geometry();
    void startupState();
    void stages_data();
    void stages();
    void modelChoice();
    void toggles();
    void portAndLinkByKeyboard_data();
    void portAndLinkByKeyboard();
    void resetQuestionHoldsNothing_data();
    void resetQuestionHoldsNothing();
    void recorderView();
    void memoryItemsOnlyWhenLinked();
    void aboutBlocksAndReleases();
    void closingClosesThePort();
    void textsShowWhole();
    void accessibleNames();
};

void tst_MainWindow::menuCaptions_data() {
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QStringList>("items");
    QTest::newRow("file") << "&File" << QStringList{QStringLiteral("E&xit")};
    QTest::newRow("interface") << "&Interface"
                               << QStringList{QStringLiteral("Series"),
                                              QStringLiteral("Fast Readings"),
                                              QStringLiteral("-"),
                                              QStringLiteral("&Port\u2026"),
                                              QStringLiteral("&Link"),
                                              QStringLiteral("-"),
                                              QStringLiteral("Remote &Control\u2026")};
    QTest::newRow("function") << "F&unction"
                              << QStringList{QStringLiteral("&Save Memory"),
                                             QStringLiteral("&Recall Memory"),
                                             QStringLiteral("-"),
                                             QStringLiteral("&Delay"),
                                             QStringLiteral("-"),
                                             QStringLiteral("Read &Times"),
                                             QStringLiteral("-"),
                                             QStringLiteral("&Protection\u2026"),
                                             QStringLiteral("&Sequence\u2026")};
    QTest::newRow("action") << "&Action"
                            << QStringList{QStringLiteral("  Out &Mode"),
                                           QStringLiteral("  &Auto Mode..."),
                                           QStringLiteral("  &Output"),
                                           QStringLiteral("  Auto &Run"),
                                           QStringLiteral("  &Clear Error of Protection"),
                                           QStringLiteral("  &Record")};
    QTest::newRow("view") << "&View" << QStringList{QStringLiteral("  &Control"),
                                                    QStringLiteral("  &Wave"),
                                                    QStringLiteral("&Readings…"),
                                                    QStringLiteral("&Events…"),
                                                    QStringLiteral("\u221AToolbar"),
                                                    QStringLiteral("\u221AStatus Bar")};
    QTest::newRow("help") << "&Help" << QStringList{QStringLiteral("About")};
    QTest::newRow("record") << "  &Record"
                            << QStringList{QStringLiteral("&Start"), QStringLiteral("S&top"),
                                           QStringLiteral("Set&up"), QStringLiteral("S&ave"),
                                           QStringLiteral("&Load")};
}

void tst_MainWindow::menuCaptions() {
    QFETCH(QString, menu);
    QFETCH(QStringList, items);
    Fixture f;
    QMenu* found = nullptr;
    for (QMenu* m : f.form->findChildren<QMenu*>()) {
        if (m->title() == menu) found = m;
    }
    QVERIFY2(found, qPrintable(menu));
    QCOMPARE(actionTexts(found), items);
}

void tst_MainWindow::toolbarOrderAndHints() {
    Fixture f;
    QStringList names, hints;
    for (QAction* a : test::onMain<QToolBar>(f.form, "ToolBar1")->actions()) {
        names << a->objectName();
        hints << a->toolTip();
    }
    QCOMPARE(names, (QStringList{"ToolButton1", "ToolButton3", "btn1", "btn2", "btn3", "btn4",
                                 "btn5", "btn7", "btn8", "ToolButton2"}));
    // Every button says what it does, or while disabled why (stages checks the changes).
    for (int i = 0; i < hints.size(); ++i) QVERIFY2(!hints[i].isEmpty(), qPrintable(names[i]));
    QCOMPARE(hints[1], QStringLiteral("COM"));
    for (QAction* a : test::onMain<QToolBar>(f.form, "ToolBar1")->actions())
        QCOMPARE(a->icon().actualSize(QSize(16, 16)), QSize(16, 16));
}

void tst_MainWindow::geometry() {
    Fixture f;
    QCOMPARE(f.form->width(), 761);
    QCOMPARE(f.form->height() - f.form->menuBar()->height(), 459);
    QCOMPARE(test::onMain<QToolBar>(f.form, "ToolBar1")->height(), 25);
    QVERIFY(test::onMain<QStatusBar>(f.form, "StatusBar1")->height() >=
            19);  // taller only when the font needs it
    QCOMPARE(test::onMain<QWidget>(f.form, "Panel1")->height(),
             459 - 25 - test::onMain<QStatusBar>(f.form, "StatusBar1")->height());
    QCOMPARE(test::field(f.form, "Edit1")->font().pixelSize(), 25);
    QCOMPARE(test::field(f.form, "Edit5")->font().pixelSize(), 13);
    QVERIFY(f.form->maximumSize().width() > 761);  // it may grow
}

void tst_MainWindow::startupState() {
    Fixture f;
    TForm1& w = *f.form;
    QCOMPARE(w.windowTitle(), QStringLiteral("Multi-Output Programmable Linear DC power supply"));
    QCOMPARE(w.statusText(0), QStringLiteral("Please Config RS232 COM!"));
    QCOMPARE(f.beeps, (QList<QPair<int, int>>{{2600, 100}}));
    QCOMPARE(w.model(), 1);
    QCOMPARE(actionTexts(test::onMain<QMenu>(&w, "Series1")),
             (QStringList{"->1mV,1mA,0~30Vx2,0~3Ax2 (LQS-6200A)",
                          "100mV,10mA,0~30Vx2,0~3Ax2 (LQS-6200B)",
                          "100mV,10mA,0~30Vx2,0~5Ax2 (LQS-6500B)"}));
    for (QLineEdit* e : {test::field(&w, "Edit5"), test::field(&w, "Edit6"),
                         test::field(&w, "Edit7"), test::field(&w, "Edit8")})
        QCOMPARE(e->text(), QStringLiteral("0.000"));
    QVERIFY(test::onMain<QRadioButton>(&w, "RadioButton1")->isChecked());
    QCOMPARE(test::onMain<QPushButton>(&w, "BitBtn4")->text(), QStringLiteral("OFF"));
    for (QAction* a : {test::action(&w, "Delay1"), test::action(&w, "OutMode1"),
                       test::action(&w, "AutoMode1"), test::action(&w, "OutPut1"),
                       test::action(&w, "AutoRun1"), test::action(&w, "ClearErrorofProtection1"),
                       test::onMain<QMenu>(&w, "Record1")->menuAction(), test::action(&w, "btn1"),
                       test::action(&w, "btn2"), test::action(&w, "btn3"), test::action(&w, "btn4"),
                       test::action(&w, "btn5"), test::action(&w, "btn7"), test::action(&w, "btn8"),
                       test::action(&w, "SaveMemory1"), test::action(&w, "RecallMemory1")}) {
        QVERIFY2(!a->isEnabled(), qPrintable(a->objectName() + a->text()));
    }
    for (QAction* a : {test::action(&w, "ToolButton3"), test::action(&w, "ToolButton2"),
                       test::action(&w, "Exit1"), test::action(&w, "ReadTime1"),
                       test::action(&w, "Control1"), test::action(&w, "Wave1")})
        QVERIFY(a->isEnabled());
    QCOMPARE(test::named<QLabel>(w.windows().Form2, "Label1")->text(), w.windowTitle());
    QVERIFY(test::named<QLabel>(w.windows().Form2, "Image1")->isHidden());
    // The version comes from the build; the box writes it as it always has.
    QCOMPARE(test::named<QLabel>(w.windows().Form2, "Label2")->text(),
             QStringLiteral("Version:11.09.02.01"));
    QCOMPARE(TForm2::versionCaption(QStringLiteral("12.10.0.3")),
             QStringLiteral("Version:12.10.00.03"));
    QVERIFY(!w.comm1->IsOpen());
    QVERIFY(w.findChild<TForm_Wave*>() == nullptr);
}

// The enable states across start-up, an opened port and the link start.
void tst_MainWindow::stages_data() {
    QTest::addColumn<int>("stage");  // 0 start, 1 port opened, 2 link declined, 3 link confirmed
    QTest::addColumn<bool>("panel");
    QTest::addColumn<bool>("link");
    QTest::addColumn<bool>("linked");
    QTest::addColumn<bool>("output");
    QTest::addColumn<QString>("status0");
    QTest::addColumn<QString>("linkHint");
    QTest::addColumn<QString>("outputHint");
    const QString noPort = QStringLiteral("Pick a port first");
    const QString notLinked = QStringLiteral("Link to the instrument first");
    const QString output = QStringLiteral("Turn the output on or off");
    QTest::newRow("after start-up") << 0 << false << false << false << false
                                    << "Please Config RS232 COM!" << noPort << notLinked;
    QTest::newRow("port opened") << 1 << false << true << false << false << "Please Link..."
                                 << "link" << notLinked;
    QTest::newRow("link declined") << 2 << false << true << false << false << "Please Link..."
                                   << "link" << notLinked;
    QTest::newRow("link started") << 3 << true << true << true << true << ""
                                  << "link" << output;
}

void tst_MainWindow::stages() {
    QFETCH(int, stage);
    QFETCH(bool, panel);
    QFETCH(bool, link);
    QFETCH(bool, linked);
    QFETCH(bool, output);
    QFETCH(QString, status0);
    QFETCH(QString, linkHint);
    QFETCH(QString, outputHint);
    Fixture f;
    TForm1& w = *f.form;
    if (stage >= 1) {
        f.openPort();
        QVERIFY(w.frameEnabled());
        QVERIFY(!w.windows().Form3->isVisible());
    }
    w.setStatusText(1, QStringLiteral("old error"));
    ShowCounter querying;
    w.windows().Querying->installEventFilter(&querying);
    if (stage == 2) f.linkStart(false);
    if (stage == 3) f.linkStart(true);
    QCOMPARE(w.panelEnabled(), panel);
    QCOMPARE(test::action(&w, "ToolButton1")->isEnabled(), link);
    QCOMPARE(test::action(&w, "Link1")->isEnabled(), link);
    QCOMPARE(test::onMain<QToolBar>(&w, "ToolBar1")
                 ->widgetForAction(test::action(&w, "ToolButton1"))
                 ->toolTip(),
             linkHint);
    QCOMPARE(test::onMain<QToolBar>(&w, "ToolBar1")
                 ->widgetForAction(test::action(&w, "btn5"))
                 ->toolTip(),
             outputHint);
    QCOMPARE(w.linkedPicture(), linked);
    QCOMPARE(test::action(&w, "btn5")->isEnabled(), output);
    QCOMPARE(test::action(&w, "OutPut1")->isEnabled(), output);
    QCOMPARE(test::onMain<QMenu>(&w, "Record1")->menuAction()->isEnabled(), output);
    QCOMPARE(w.statusText(0), status0);
    QCOMPARE(w.statusText(1), stage == 3 ? QString() : QStringLiteral("old error"));
    if (stage < 3) {
        QVERIFY(w.linkClient()->idle());
        QVERIFY(!w.windows().Querying->isVisible());
        QVERIFY(test::frames(f.sim).isEmpty());
        return;
    }
    // The link sequence runs once: one start-up query, shown in progress.
    QVERIFY(f.settled());
    QCOMPARE(querying.shown, 1);
    QCOMPARE(test::frames(f.sim).mid(0, test::kStartupQueries.size()), test::kStartupQueries);
    QCOMPARE(test::frames(f.sim).count(QStringLiteral("*IDN?")), 1);
    QVERIFY(!w.windows().Querying->isVisible());
}

void tst_MainWindow::modelChoice() {
    Fixture f;
    TForm1& w = *f.form;
    test::action(&w, "LQS6500B1")->trigger();
    QCOMPARE(w.model(), 3);
    QCOMPARE(
        actionTexts(test::onMain<QMenu>(&w, "Series1")),
        (QStringList{"1mV,1mA,0~30Vx2,0~3Ax2 (LQS-6200A)", "100mV,10mA,0~30Vx2,0~3Ax2 (LQS-6200B)",
                     "->100mV,10mA,0~30Vx2,0~5Ax2 (LQS-6500B)"}));
    QCOMPARE(w.windowTitle(), QStringLiteral("100mV,10mA,0~30Vx2,0~5Ax2"));
    for (QLineEdit* e : {test::field(&w, "Edit5"), test::field(&w, "Edit6"),
                         test::field(&w, "Edit7"), test::field(&w, "Edit8")})
        QCOMPARE(e->text(), QStringLiteral("0.00"));
    test::action(&w, "LQS6200A1")->trigger();
    for (QLineEdit* e : {test::field(&w, "Edit5"), test::field(&w, "Edit6"),
                         test::field(&w, "Edit7"), test::field(&w, "Edit8")})
        QCOMPARE(e->text(), QStringLiteral("0.000"));
    QCOMPARE(w.windowTitle(), QStringLiteral("1mV,1mA,0~30Vx2,0~3Ax2"));
}

void tst_MainWindow::toggles() {
    Fixture f;
    TForm1& w = *f.form;
    const int panelHeight = test::onMain<QWidget>(&w, "Panel1")->height();
    test::action(&w, "oolbar1")->trigger();
    QCOMPARE(test::action(&w, "oolbar1")->text(), QStringLiteral("  Toolbar"));
    QVERIFY(!test::onMain<QToolBar>(&w, "ToolBar1")->isVisible());
    QTRY_COMPARE(test::onMain<QWidget>(&w, "Panel1")->height(),
                 panelHeight + 25);  // the panel takes the space
    test::action(&w, "oolbar1")->trigger();
    QCOMPARE(test::action(&w, "oolbar1")->text(), QStringLiteral("\u221AToolbar"));
    QVERIFY(test::onMain<QToolBar>(&w, "ToolBar1")->isVisible());
    test::action(&w, "StatusBar2")->trigger();
    QCOMPARE(test::action(&w, "StatusBar2")->text(), QStringLiteral("  Status Bar"));
    QVERIFY(!test::onMain<QStatusBar>(&w, "StatusBar1")->isVisible());
    test::action(&w, "StatusBar2")->trigger();
    QCOMPARE(test::action(&w, "StatusBar2")->text(), QStringLiteral("\u221AStatus Bar"));
    QVERIFY(test::onMain<QStatusBar>(&w, "StatusBar1")->isVisible());
}

void tst_MainWindow::resetQuestionHoldsNothing_data() {
    QTest::addColumn<int>("answer");  // a key on the box
    QTest::addColumn<bool>("links");
    QTest::newRow("Enter: OK") << int(Qt::Key_Return) << true;
    QTest::newRow("Escape: Cancel") << int(Qt::Key_Escape) << false;
}

// "Do you Reset?" is opened, not run: the link button's click returns at once
// and the window goes on while the question waits; OK links, Cancel sends
// nothing, then or later.
void tst_MainWindow::resetQuestionHoldsNothing() {
    QFETCH(int, answer);
    QFETCH(bool, links);
    test::ClockedProgram p;          // its port open
    p.form->ConfirmReset = nullptr;  // the window asks in its own box
    p.boxes.holdMs = 60000;          // the test answers this one
    test::action(p.form, "ToolButton1")->trigger();
    auto* box = p.form->findChild<QMessageBox*>(QStringLiteral("resetQuestion"));
    QVERIFY(box && box->isVisible());
    QCOMPARE(box->text(), QStringLiteral("Do you Reset?"));
    test::action(p.form, "ToolButton1")->trigger();  // no second question
    QCOMPARE(p.form->findChildren<QMessageBox*>(QStringLiteral("resetQuestion")).size(), 1);
    p.advance(5s);
    QVERIFY(p.frames().isEmpty());
    QTest::keyClick(box, Qt::Key(answer));
    if (links) {
        QVERIFY(p.advanceUntil([&p] { return p.client().idle() && standing(p.client().mode()); }));
        QCOMPARE(p.frames().first(), QStringLiteral("*IDN?"));
    } else {
        QVERIFY(p.client().idle());
        p.advance(10s);
        QVERIFY(p.frames().isEmpty());
    }
    QTRY_VERIFY(!p.form->findChild<QMessageBox*>(QStringLiteral("resetQuestion")));
}

void tst_MainWindow::portAndLinkByKeyboard_data() {
    QTest::addColumn<bool>("menu");
    QTest::newRow("Ctrl+P, Ctrl+L") << false;
    QTest::newRow("Interface menu") << true;
}

// With the toolbar hidden, the port is picked and the link started from the
// keyboard: by the shortcuts, or through the menu opened with Alt+I.
void tst_MainWindow::portAndLinkByKeyboard() {
    QFETCH(bool, menu);
    Fixture f;
    TForm1& w = *f.form;
    int asked = 0;
    w.ConfirmReset = [&asked] {
        ++asked;
        return true;
    };
    test::action(&w, "oolbar1")->trigger();
    QVERIFY(!test::onMain<QToolBar>(&w, "ToolBar1")->isVisible());
    const auto press = [&](Qt::Key key) {
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        if (!menu) {
            QTest::keyClick(&w, key, Qt::ControlModifier);
            return;
        }
        QTest::keyClick(&w, Qt::Key_I, Qt::AltModifier);
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(popup);
        QTest::keyClick(popup, key);
        if (popup->isVisible())
            QTest::keyClick(popup, Qt::Key_Escape);  // a disabled item leaves it open
        QTRY_VERIFY(!QApplication::activePopupWidget());
    };

    press(Qt::Key_L);  // no port yet: nothing
    QCOMPARE(asked, 0);
    QVERIFY(!w.windows().Querying->isVisible());

    press(Qt::Key_P);
    TForm3* ports = w.windows().Form3;
    QVERIFY(ports->isVisible());
    QVERIFY(!w.frameEnabled());
    QTest::mouseClick(test::named<QPushButton>(ports, "Button1"), Qt::LeftButton);
    QVERIFY(w.comm1->IsOpen());
    QVERIFY(w.frameEnabled());

    press(Qt::Key_L);
    QCOMPARE(asked, 1);
    QVERIFY(f.settled());
    QCOMPARE(test::frames(f.sim).mid(0, test::kStartupQueries.size()), test::kStartupQueries);
    QVERIFY(!test::onMain<QToolBar>(&w, "ToolBar1")->isVisible());
}

void tst_MainWindow::recorderView() {
    Fixture f;
    TForm1& w = *f.form;
    test::action(&w, "Start1")
        ->trigger();  // creates the recorder behind the panel and presses its Start
    QVERIFY(w.findChild<TForm_Wave*>());
    QCOMPARE(f.boxes.seen.size(), 1);
    QCOMPARE(f.boxes.seen[0].text, QStringLiteral("Please Turn on Device into Output(Run) Mode"));
    QCOMPARE(w.findChild<TForm_Wave*>()->parentWidget(),
             test::onMain<QWidget>(&w, "Panel1")->parentWidget());
    QVERIFY(test::onMain<QWidget>(&w, "Panel1")->isVisible());
    QCOMPARE(w.findChild<TForm_Wave*>()->geometry(),
             test::onMain<QWidget>(&w, "Panel1")->geometry());
    TForm_Wave* first = w.findChild<TForm_Wave*>();
    test::action(&w, "Wave1")->trigger();
    QVERIFY(!test::onMain<QWidget>(&w, "Panel1")->isVisible());
    QVERIFY(w.findChild<TForm_Wave*>()->isVisible());
    QCOMPARE(w.findChild<TForm_Wave*>(), first);  // created once
    test::action(&w, "Control1")->trigger();
    QVERIFY(test::onMain<QWidget>(&w, "Panel1")->isVisible());
    QCOMPARE(w.findChild<TForm_Wave*>(), first);
}

void tst_MainWindow::memoryItemsOnlyWhenLinked() {
    Fixture f;
    TForm1& w = *f.form;
    test::action(&w, "SaveMemory1")->trigger();
    test::action(&w, "RecallMemory1")->trigger();
    QVERIFY(!w.windows().save->isVisible());
    QVERIFY(!w.windows().recall->isVisible());
    f.openPort();
    f.linkStart(true);
    QVERIFY(f.settled());
    QVERIFY(test::action(&w, "RecallMemory1")->isEnabled());
    test::action(&w, "SaveMemory1")->trigger();
    QVERIFY(w.windows().save->isVisible());
    QVERIFY(!w.frameEnabled());
    QTest::mouseClick(test::named<QPushButton>(w.windows().save, "Button2"), Qt::LeftButton);
    QVERIFY(!w.windows().save->isVisible());
    QVERIFY(w.frameEnabled());
    // The title bar's close button closes either dialog the same way.
    for (QDialog* dialog : std::initializer_list<QDialog*>{w.windows().save, w.windows().recall}) {
        QVERIFY(dialog->windowFlags() & Qt::WindowCloseButtonHint);
        (dialog == w.windows().save ? test::action(&w, "SaveMemory1")
                                    : test::action(&w, "RecallMemory1"))
            ->trigger();
        QVERIFY(!w.frameEnabled());
        QVERIFY(dialog->windowHandle());
        dialog->windowHandle()->close();  // the window system's close, as from the title bar
        QVERIFY(!dialog->isVisible());
        QVERIFY(w.frameEnabled());
    }
}

void tst_MainWindow::aboutBlocksAndReleases() {
    Fixture f;
    TForm1& w = *f.form;
    test::action(&w, "About1")->trigger();
    QVERIFY(w.windows().Form2->isVisible());
    QVERIFY(!w.frameEnabled());
    QVERIFY(test::named<QPushButton>(w.windows().Form2, "Button1")
                ->isEnabled());  // the dialog itself stays usable
    QTest::mouseClick(test::named<QPushButton>(w.windows().Form2, "Button1"), Qt::LeftButton);
    QVERIFY(w.frameEnabled());
    test::action(&w, "ToolButton2")->trigger();
    QVERIFY(w.windows().Form2->isVisible());
    w.windows().Form2->close();
    QVERIFY(w.frameEnabled());
}

// Closing while polling runs: the port closes and nothing more goes out.
void tst_MainWindow::closingClosesThePort() {
    test::ClockedProgram p;
    TForm1& w = *p.form;
    QVERIFY(p.linked());
    QTest::mouseClick(test::onMain<QPushButton>(&w, "BitBtn4"), Qt::LeftButton);
    // Polling has begun once a query follows OUT1.
    QVERIFY(p.advanceUntil([&p] {
        const QStringList f = p.frames();
        return p.client().mode() == LinkMode::Polling && f.contains(QStringLiteral("OUT1")) &&
               f.size() > f.lastIndexOf(QStringLiteral("OUT1")) + 1;
    }));
    QSignalSpy closed(&w, &TForm1::closed);
    QVERIFY(closed.isValid());
    test::action(&w, "Exit1")->trigger();
    // The question about the output is answered No by the fixture's watcher.
    QTRY_COMPARE(closed.count(), 1);
    QVERIFY(!w.comm1->IsOpen());
    p.advance(0ms);
    QCOMPARE(p.client().mode(), LinkMode::Linked);  // polling stopped with the close
    const qsizetype sent = p.frames().size();
    p.advance(20s);  // two cycles: one left running would have asked
    QCOMPARE(p.frames().size(), sent);
    QVERIFY(!p.link().pollRunning());
}

// The window and its dialogs show every text whole, with the prompts the
// link and the entry write into the status bar; run again at 150 % scaling.
void tst_MainWindow::textsShowWhole() {
    Fixture f;
    TForm1& w = *f.form;
    const QString texts[3][2] = {
        {QStringLiteral("Please Config RS232 COM!"), QStringLiteral("Please Link...")},
        {QStringLiteral("TRACK \u51FA\u9519\u91CD\u53D1!"), QString()},
        {QStringLiteral("Please press Enter key!"), QStringLiteral("\u8F93\u51FA \u51FA\u9519")}};
    QStringList clipped;
    for (int panel = 0; panel < 3; ++panel) {
        for (const QString& text : texts[panel]) {
            if (text.isEmpty()) continue;
            w.setStatusText(panel, text);
            clipped << clippedTexts(&w);
        }
    }
    const TForm1::Windows& d = w.windows();
    test::named<QLineEdit>(d.recall, "Edit1")
        ->clear();  // with the hint that says why OK is disabled
    for (QWidget* dialog :
         std::initializer_list<QWidget*>{d.save, d.recall, d.Form2, d.Form_ReadTime}) {
        dialog->show();
        clipped << clippedTexts(dialog);
        dialog->hide();
    }
    clipped.removeDuplicates();
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("; "))));
    QVERIFY(test::onMain<QStatusBar>(&w, "StatusBar1")->isVisible());
}

// What a screen reader says for the toolbar buttons and the channel fields.
void tst_MainWindow::accessibleNames() {
    Fixture f;
    TForm1& w = *f.form;
    QStringList tools;
    for (QAction* a : test::onMain<QToolBar>(&w, "ToolBar1")->actions())
        tools << test::onMain<QToolBar>(&w, "ToolBar1")->widgetForAction(a)->accessibleName();
    QCOMPARE(tools,
             (QStringList{"Link", "Port", "Panel view", "Second panel view", "Timer",
                          "Second timer", "Output on or off", "Repeat", "Pointer", "About"}));
    QStringList fields;
    for (QLineEdit* e :
         {test::field(&w, "Edit1"), test::field(&w, "Edit2"), test::field(&w, "Edit3"),
          test::field(&w, "Edit4"), test::field(&w, "Edit5"), test::field(&w, "Edit6"),
          test::field(&w, "Edit7"), test::field(&w, "Edit8")})
        fields << e->accessibleName();
    QCOMPARE(fields, (QStringList{"Channel 1 voltage", "Channel 1 current", "Channel 2 voltage",
                                  "Channel 2 current", "Channel 1 voltage set point",
                                  "Channel 1 current set point", "Channel 2 voltage set point",
                                  "Channel 2 current set point"}));
    QCOMPARE(test::onMain<TUpDown>(&w, "UpDown4")->accessibleName(),
             QStringLiteral("Channel 2 current set point arrows"));
    QCOMPARE(test::onMain<TUpDown>(&w, "UpDown4")->upButton()->accessibleName(),
             QStringLiteral("Step up"));
    QCOMPARE(test::named<QLineEdit>(w.windows().recall, "Edit1")->accessibleName(),
             QStringLiteral("Memory slot"));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_main_window.moc"
