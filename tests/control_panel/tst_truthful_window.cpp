// What the window shows against what the simulated instrument holds: a
// model change, a coupling change, old readings, the channels' modes, and
// the words for what a sequence does without asking. The link runs on the
// driven clock, where a reading's age is exact and "nothing is sent" is a
// span of its time.
#include "clocked_link.h"
#include "control_panel/memory_dialogs.h"
#include "control_panel/up_down.h"
#include "sim_program.h"  // enter(), the start-up queries

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QToolButton>

using namespace lqs;
using namespace std::chrono_literals;
using test::ClockedProgram;
using test::enter;

namespace {

QLabel* label(ClockedProgram& p, const char* name) {
    return p.form->findChild<QLabel*>(QLatin1String(name));
}

// Linked to the LQS-6200B as the window's model.
bool linkedB(ClockedProgram& p) {
    test::action(p.form, "LQS6200B1")->trigger();
    return p.linked();
}

// ON pressed; true once polling asks its first query.
bool switchedOn(ClockedProgram& p) {
    p.line->clearTranscript();
    QTest::mouseClick(p.outputButton(), Qt::LeftButton);
    return p.advanceUntil([&p] { return p.frames().contains(QStringLiteral("VOUT1?")); });
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
    void modelChangeKeepsWhatTheInstrumentHolds();
    void identityChoosesTheModel();
    void outputOnAtClose_data();
    void outputOnAtClose();
    void oldReadingIsGreyed();
    void couplingShowsChannelTwoAtOnce();
    void typedButNotSent();
    void refusedEntrySaysSo_data();
    void refusedEntrySaysSo();
    void channelModes();
    void saveWithOutputOnSaysSo();
    void channelTwoAsTheInstrumentHoldsIt_data();
    void channelTwoAsTheInstrumentHoldsIt();
    void noLinkNoControls_data();
    void noLinkNoControls();
};

// Linked, a model change keeps each set point in the new model's format; a
// value the new model could not take is marked; nothing is sent.
void tst_TruthfulWindow::modelChangeKeepsWhatTheInstrumentHolds() {
    ClockedProgram p(sim::Model::C);  // an LQS-6500B, with its 5 A
    p.line->instrument().setVoltageSet(1, 21.0);
    p.line->instrument().setCurrentSet(1, 4.5);
    test::action(p.form, "LQS6500B1")->trigger();
    QVERIFY(p.linked());
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("21.00"));
    QCOMPARE(test::field(p.form, "Edit6")->text(), QStringLiteral("4.50"));
    const qsizetype sent = p.frames().size();
    test::action(p.form, "LQS6200A1")->trigger();
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("21.000"));
    QCOMPARE(test::field(p.form, "Edit6")->text(), QStringLiteral("4.500"));
    QVERIFY(test::field(p.form, "Edit5")->toolTip().isEmpty());
    QVERIFY2(test::field(p.form, "Edit6")
                 ->toolTip()
                 .contains(QStringLiteral("above this model's 3.2 A limit")),
             qPrintable(test::field(p.form, "Edit6")->toolTip()));
    p.advance(5s);
    QCOMPARE(p.frames().size(), sent);
    QCOMPARE(p.line->instrument().currentSet(1), 4.5);
    // Unlinked, as before: the model's zero.
    ClockedProgram q;
    test::action(q.form, "LQS6500B1")->trigger();
    QCOMPARE(test::field(q.form, "Edit5")->text(), QStringLiteral("0.00"));
}

// The identity names the instrument's model: the link selects it and says
// so. The operator's later choice stands, also over a link to the same
// instrument again, with where the identity's model is chosen.
void tst_TruthfulWindow::identityChoosesTheModel() {
    ClockedProgram p(sim::Model::C);
    p.line->instrument().setIdentity("LQS6500B V2.0 SN:000001");
    p.line->instrument().setCurrentSet(1, 4.5);
    QVERIFY(p.linked());
    QLabel* panel = label(p, "LinkPanel");
    const QString linked =
        QStringLiteral("Linked: %1 \u2014 LQS6500B V2.0 SN:000001").arg(p.form->comm1->CommName());
    QCOMPARE(panel->text(), linked + "; model set to the LQS-6500B from its identity");
    QCOMPARE(p.form->model(), 3);
    QCOMPARE(p.link().state().ModelIndex, std::uint8_t(3));
    QCOMPARE(test::field(p.form, "Edit6")->text(), QStringLiteral("4.50"));
    QCOMPARE(test::action(p.form, "LQS6500B1")->text(), "->100mV,10mA,0~30Vx2,0~5Ax2 (LQS-6500B)");

    test::action(p.form, "LQS6200B1")->trigger();
    const QString elsewhere =
        linked + "; the instrument is an LQS-6500B: choose it under Interface > Series";
    QCOMPARE(panel->text(), elsewhere);
    QVERIFY(p.linked());
    QCOMPARE(p.form->model(), 2);
    QCOMPARE(panel->text(), elsewhere);
}

// A reading that stops coming (its replies garbled) greys once it is twice
// its interval old, to the millisecond of the link's clock, while the others
// stay current; its next reading makes it current again.
void tst_TruthfulWindow::oldReadingIsGreyed() {
    ClockedProgram p;
    QVERIFY(linkedB(p));
    QLineEdit* edit1 = test::field(p.form, "Edit1");
    const qint64 limit = 2 * qint64(p.client().readingIntervalMs());
    QCOMPARE(limit, 2 * 9050);  // the cycle and nine replies' tenth of the grace
    bool garbling = false;
    std::optional<LinkTime> readAt;
    std::optional<LinkTime> greyedAt;
    QObject context;
    QObject::connect(&p.client(), &LinkClient::readingTaken, &context, [&](const Reading& r) {
        if (r.channel != 1 || r.quantity != Quantity::Voltage || r.text.isEmpty()) return;
        readAt = r.at;
        garbling = true;  // every reply to VOUT1? after this one
    });
    ToolTipWatch watch(edit1, [&](const QString& tip) {
        if (!greyedAt && tip.startsWith(QStringLiteral("Not current since ")))
            greyedAt = p.link().scheduler().now();
    });
    p.line->onFrame = [&](const sim::Exchange& e) {
        if (e.command == "VOUT1?" && garbling) p.line->injectFault(sim::Fault::garbleNumber());
    };
    QVERIFY(switchedOn(p));
    QVERIFY(p.advanceUntil([&] { return greyedAt.has_value(); }));
    QCOMPARE(test::msSince(*readAt, *greyedAt), limit);
    QVERIFY(edit1->toolTip().contains(QStringLiteral("no new reading for 19 s")));
    QCOMPARE(edit1->palette().color(QPalette::Text),
             edit1->palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(test::field(p.form, "Edit2")->toolTip().isEmpty());
    garbling = false;
    p.line->onFrame = nullptr;
    p.line->clearFaults();
    QVERIFY(p.advanceUntil([&] { return edit1->toolTip().isEmpty(); }));
    // With the next reading, within one interval.
    QVERIFY(test::msSince(*greyedAt, p.link().scheduler().now()) <= limit / 2);
    QVERIFY(edit1->palette().color(QPalette::Text) !=
            edit1->palette().color(QPalette::Disabled, QPalette::Text));
}

// A load that draws the limit: CC; one that draws less: CV; output off: nothing.
void tst_TruthfulWindow::channelModes() {
    ClockedProgram p;
    QVERIFY(linkedB(p));
    p.line->instrument().setLoad(1, 1.0);     // 12 V into 1 ohm wants 12 A: held at 1 A
    p.line->instrument().setLoad(2, 1000.0);  // 5 V into 1 kohm: 5 mA
    QVERIFY(switchedOn(p));
    QVERIFY(p.advanceUntil([&] { return !test::field(p.form, "Edit4")->text().isEmpty(); }));
    QCOMPARE(label(p, "ModeLabel1")->text(), QStringLiteral("CC"));
    QCOMPARE(label(p, "ModeLabel2")->text(), QStringLiteral("CV"));
    QTest::mouseClick(p.outputButton(), Qt::LeftButton);
    QVERIFY(p.idle());
    QCOMPARE(label(p, "ModeLabel1")->text(), QString());
    QCOMPARE(label(p, "ModeLabel2")->text(), QString());
}

void tst_TruthfulWindow::outputOnAtClose_data() {
    QTest::addColumn<bool>("switchOff");
    QTest::newRow("Yes: OUT0, then closed") << true;
    QTest::newRow("No: closed with the output on") << false;
}

// Closing with the output on asks, No by default; Yes switches it off with
// the usual OUT0 before the window goes, No leaves it on for good.
void tst_TruthfulWindow::outputOnAtClose() {
    QFETCH(bool, switchOff);
    ClockedProgram p;
    p.line->instrument().setOutput(true);
    QVERIFY(p.linked());
    QVERIFY(p.advanceUntil([&] { return p.frames().count(QStringLiteral("VOUT1?")) > 1; }));
    bool defaultNo = false;
    p.boxes.holdMs = 60000;  // answered by this case's own watcher
    test::ModalWatcher answer([&](QMessageBox* b) -> QAbstractButton* {
        defaultNo = b->defaultButton() == b->button(QMessageBox::No);
        return b->button(switchOff ? QMessageBox::Yes : QMessageBox::No);
    });
    QSignalSpy closed(p.form.get(), &TForm1::closed);
    p.form->close();
    p.form->close();  // a second close while the question waits does not pass it
    QVERIFY(p.form->isVisible());
    // The watcher answers, and the window waits for OUT0, in real time.
    QVERIFY(QTest::qWaitFor(
        [&] {
            p.advance(50ms);
            return closed.count() == 1;
        },
        5000));
    QCOMPARE(answer.seen.size(), 1);
    QVERIFY(defaultNo);
    QCOMPARE(answer.seen.first().text,
             QStringLiteral("The output is on. Switch it off before closing?"));
    p.advance(10s);
    QCOMPARE(p.frames().contains(QStringLiteral("OUT0")), switchOff);
    QCOMPARE(p.line->instrument().output(), !switchOff);
}

void tst_TruthfulWindow::saveWithOutputOnSaysSo() {
    ClockedProgram p;
    QVERIFY(linkedB(p));
    QVERIFY(switchedOn(p));
    QTest::mouseClick(test::onMain<QPushButton>(p.form, "BitBtn5"), Qt::LeftButton);
    Tsave* save = p.form->windows().save;
    QVERIFY(save->isVisible());
    QTest::keyClick(test::named<QLineEdit>(save, "Edit1"), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(test::named<QLineEdit>(save, "Edit1"), QStringLiteral("2"));
    QTest::mouseClick(test::named<QPushButton>(save, "Button1"), Qt::LeftButton);
    QVERIFY2(label(p, "LinkPanel")
                 ->text()
                 .endsWith(QStringLiteral("; the output goes off to save memory 2")),
             qPrintable(label(p, "LinkPanel")->text()));
    QVERIFY(p.idle());
    QVERIFY(p.frames().contains(QStringLiteral("SAV2")));
    QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));
}

// Coupled, channel 2 shows what follows channel 1 at once, as the instrument
// now holds; independent again, its own.
void tst_TruthfulWindow::couplingShowsChannelTwoAtOnce() {
    ClockedProgram p;
    QVERIFY(linkedB(p));
    QCOMPARE(test::field(p.form, "Edit7")->text(), QStringLiteral("5.00"));
    const QString ownCurrent = test::field(p.form, "Edit8")->text();
    QTest::mouseClick(test::onMain<QRadioButton>(p.form, "RadioButton3"), Qt::LeftButton);
    QCOMPARE(test::field(p.form, "Edit7")->text(), test::field(p.form, "Edit5")->text());
    QCOMPARE(test::field(p.form, "Edit8")->text(), ownCurrent);  // tracking: its own
    QVERIFY(!test::field(p.form, "Edit7")->toolTip().isEmpty());
    QVERIFY(test::field(p.form, "Edit8")->toolTip().isEmpty());
    QVERIFY(p.idle());
    QVERIFY(p.frames().contains(QStringLiteral("TRACK1")));
    QCOMPARE(p.line->instrument().voltageSet(2), test::field(p.form, "Edit7")->text().toDouble());
    QCOMPARE(p.line->instrument().currentSet(2), test::field(p.form, "Edit8")->text().toDouble());
    QTest::mouseClick(test::onMain<QRadioButton>(p.form, "RadioButton1"), Qt::LeftButton);
    QCOMPARE(test::field(p.form, "Edit7")->text(), QStringLiteral("5.00"));
    QVERIFY(p.idle());
    QVERIFY(p.frames().contains(QStringLiteral("TRACK0")));
    QCOMPARE(p.line->instrument().voltageSet(2), 5.0);
}

void tst_TruthfulWindow::channelTwoAsTheInstrumentHoldsIt_data() {
    QTest::addColumn<bool>("recall");
    QTest::addColumn<int>("coupling");  // sim::Coupling
    QTest::addColumn<QString>("voltageTip");
    QTest::addColumn<QString>("currentTip");
    const QString v = "Follows channel 1's voltage while the channels are ";
    const QString c = "Follows channel 1's current while the channels are in parallel";
    for (bool recall : {false, true}) {
        const char* how = recall ? "recalled " : "linked ";
        QTest::addRow("%stracking", how)
            << recall << int(sim::Coupling::Series) << v + "tracking" << QString();
        QTest::addRow("%sin parallel", how)
            << recall << int(sim::Coupling::Parallel) << v + "in parallel" << c;
    }
}

// After a link or a recall in a coupled mode channel 2's fields hold the
// instrument's own replies, the followed ones marked: tracking, channel 2's
// current is its own, never channel 1's.
void tst_TruthfulWindow::channelTwoAsTheInstrumentHoldsIt() {
    QFETCH(bool, recall);
    QFETCH(int, coupling);
    QFETCH(QString, voltageTip);
    QFETCH(QString, currentTip);
    ClockedProgram p;
    const sim::Settings held{12.5, 1.5, 3.25, 0.75, sim::Coupling(coupling)};
    if (recall) {
        QVERIFY(linkedB(p));
        p.line->instrument().setSlot(2, held);
        test::action(p.form, "RecallMemory1")->trigger();
        Trecall* box = p.form->windows().recall;
        QTest::mouseClick(test::named<TUpDown>(box, "UpDown1")->upButton(), Qt::LeftButton);
        QTest::mouseClick(test::named<QPushButton>(box, "Button1"), Qt::LeftButton);
    } else {
        p.line->instrument().applySettings(held);
        QVERIFY(linkedB(p));
    }
    QVERIFY(p.idle());
    const sim::Instrument& sim = p.line->instrument();
    QCOMPARE(test::field(p.form, "Edit5")->text(), QStringLiteral("12.50"));
    QCOMPARE(test::field(p.form, "Edit7")->text().toDouble(), sim.voltageSet(2));
    QCOMPARE(test::field(p.form, "Edit8")->text().toDouble(), sim.currentSet(2));
    QCOMPARE(test::field(p.form, "Edit8")->text(), coupling == int(sim::Coupling::Series)
                                                       ? QStringLiteral("0.75")
                                                       : QStringLiteral("1.50"));
    QCOMPARE(test::field(p.form, "Edit7")->toolTip(), voltageTip);
    QCOMPARE(test::field(p.form, "Edit8")->toolTip(), currentTip);
    QCOMPARE(test::field(p.form, "Edit8")->isEnabled(), currentTip.isEmpty());
}

void tst_TruthfulWindow::noLinkNoControls_data() {
    QTest::addColumn<bool>("hangUp");
    QTest::newRow("OK in the port dialog") << false;
    QTest::newRow("the line lost") << true;
}

// With no link standing, nothing that sends is offered, and nothing goes
// out; the next Link offers it again.
void tst_TruthfulWindow::noLinkNoControls() {
    QFETCH(bool, hangUp);
    ClockedProgram p;
    QVERIFY(linkedB(p));
    QVERIFY(switchedOn(p));
    QVERIFY(test::field(p.form, "Edit5")->isEnabled());
    QVERIFY(p.advanceUntil([&] { return !label(p, "ModeLabel1")->text().isEmpty(); }));
    p.boxes.holdMs = 60000;  // an offer to link again stays open
    if (hangUp) {
        p.line->hangUpNow();
    } else {
        test::action(p.form, "ToolButton3")->trigger();
        // Yes to dropping the link for the port chosen.
        test::ModalWatcher yes([](QMessageBox* box) { return box->button(QMessageBox::Yes); });
        QTest::mouseClick(test::named<QPushButton>(p.form->windows().Form3, "Button1"),
                          Qt::LeftButton);
        QCOMPARE(yes.seen.size(), 1);
        QCOMPARE(yes.seen[0].objectName, QStringLiteral("dropLink"));
    }
    p.advance(0ms);
    QVERIFY(!test::field(p.form, "Edit5")->isEnabled());
    for (QWidget* w : std::initializer_list<QWidget*>{
             p.outputButton(), test::onMain<QRadioButton>(p.form, "RadioButton3"),
             test::onMain<QPushButton>(p.form, "BitBtn5")})
        QVERIFY(!w->isEnabled());
    QVERIFY(!test::action(p.form, "OutPut1")->isEnabled());
    const qsizetype sent = p.frames().size();
    p.advance(20s);  // two cycles: one left running would have asked
    QCOMPARE(p.frames().size(), sent);
    QVERIFY(!p.link().pollRunning());
    if (hangUp) {
        QCOMPARE(label(p, "ModeLabel1")->text(), QString());  // no mode from a lost line
        QVERIFY(!test::action(p.form, "ToolButton1")->isEnabled());
        return;
    }
    QCOMPARE(label(p, "LinkPanel")->text(),
             QStringLiteral("Not linked: press Link to read the instrument on %1")
                 .arg(p.form->comm1->CommName()));
    p.line->clearTranscript();
    test::action(p.form, "ToolButton1")->trigger();
    QVERIFY(p.advanceUntil([&] { return test::field(p.form, "Edit5")->isEnabled(); }));
    QVERIFY(p.idle());
    QCOMPARE(p.frames().mid(0, test::kStartupQueries.size()), test::kStartupQueries);
    p.boxes.holdMs = 0;
}

// Typed without Enter: marked as not sent, and nothing goes out; Escape
// brings back what the instrument holds; Enter sends and clears the mark.
void tst_TruthfulWindow::typedButNotSent() {
    ClockedProgram p;
    QVERIFY(linkedB(p));
    const qsizetype sent = p.frames().size();
    QLineEdit* e = test::field(p.form, "Edit5");
    QTest::mouseClick(e, Qt::LeftButton);
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(e, QStringLiteral("7"));
    QVERIFY(e->font().italic());
    QCOMPARE(e->toolTip(), QStringLiteral("Not sent: press Enter"));
    QTest::keyClick(e, Qt::Key_Tab);
    QVERIFY(e->font().italic());
    p.advance(5s);
    QCOMPARE(p.frames().size(), sent);
    QTest::keyClick(e, Qt::Key_Escape);
    QCOMPARE(e->text(), QStringLiteral("12.00"));
    QVERIFY(!e->font().italic());
    p.advance(5s);
    QCOMPARE(p.frames().size(), sent);
    QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(e, QStringLiteral("7"));
    QTest::keyClick(e, Qt::Key_Return);
    QVERIFY(!e->font().italic());
    QVERIFY(e->toolTip().isEmpty());
    QVERIFY(p.idle());
    QCOMPARE(p.frames().mid(sent), QStringList{"VSET1:7."});
    QCOMPARE(p.line->instrument().voltageSet(1), 7.0);
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
    ClockedProgram p;
    QVERIFY(linkedB(p));
    QLineEdit* e = test::field(p.form, "Edit5");
    QCOMPARE(e->text(), QStringLiteral("12.00"));
    enter(e, typed);
    QCOMPARE(e->text(), QStringLiteral("0.00"));
    QVERIFY2(label(p, "LinkPanel")->text().endsWith(QStringLiteral("; ") + note),
             qPrintable(label(p, "LinkPanel")->text()));
    QVERIFY(p.idle());
    QCOMPARE(p.frames().last(), QStringLiteral("VSET1:0."));
    QCOMPARE(p.line->instrument().voltageSet(1), 0.0);
}

QTEST_MAIN(tst_TruthfulWindow)
#include "tst_truthful_window.moc"
