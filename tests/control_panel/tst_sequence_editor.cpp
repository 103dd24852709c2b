// The sequence editor as the operator uses it: steps typed into the table,
// run on the link against the simulator on the driven clock, stopped,
// checked, saved and loaded, recorded from the main window and tried on the
// simulator; and the line's pace the dwell warning is worked out from.
#include "clocked_link.h"
#include "control_panel/sequence_editor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace lqs;
using namespace std::chrono_literals;
using test::ClockedProgram;
using ms = std::chrono::milliseconds;

Q_DECLARE_METATYPE(lqs::PlanStep)

namespace {

// The table's columns.
namespace col {
enum : int { Coupling, Recall, V1, A1, V2, A2, Output, Dwell, Ramp, Until, Channel, Level };
}

// The program on the driven clock with fast readings on a 9600-baud line,
// the editor's clock the link's.
struct Bench {
    ClockedProgram p;
    SequenceEditor* ed = nullptr;
    Bench() {
        p.line->setLineModel(sim::LineModel());
        p.line->setEndAtCarriageReturn(true);
        p.line->instrument().setLoad(1, 100.0);
        LinkClient::actionsClock = [this] { return p.link().scheduler().now(); };
    }
    ~Bench() {
        LinkClient::actionsClock = [] { return std::chrono::steady_clock::now(); };
    }
    bool open(bool link) {
        if (link) {
            if (!p.linked()) return false;
            test::action(p.form, "FastReadings1")->trigger();
            if (!p.idle()) return false;
            p.advance(1s);  // the output switched off as the link found it
        }
        test::action(p.form, "Sequence1")->trigger();
        ed = p.form->findChild<SequenceEditor*>();
        return ed && ed->isVisible();
    }
    QTableWidget* table() const { return test::named<QTableWidget>(ed, "Steps"); }
    QPushButton* button(const char* name) const { return test::named<QPushButton>(ed, name); }
    void click(const char* name) const { QTest::mouseClick(button(name), Qt::LeftButton); }

    // Click the cell, F2, select all, type, Enter.
    void type(int row, int column, const QString& text) const {
        QTableWidget* t = table();
        const QModelIndex at = t->model()->index(row, column);
        t->scrollTo(at);
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualRect(at).center());
        QTest::keyClick(t, Qt::Key_F2);
        QLineEdit* editor = nullptr;  // an editor closed before waits for deletion, hidden
        for (QLineEdit* e : t->viewport()->findChildren<QLineEdit*>())
            if (e->isVisible()) editor = e;
        QVERIFY2(editor, "no cell editor opened");
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(editor, Qt::Key_Delete);
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
        QCoreApplication::processEvents();  // the delegate commits on its next turn
    }
    // A cell's drop-down, stepped with the arrow keys to the item.
    void choose(int row, int column, const QString& item) const {
        auto* box = qobject_cast<QComboBox*>(table()->cellWidget(row, column));
        QVERIFY(box);
        QTest::keyClick(box, Qt::Key_Home);
        for (int i = 0; i < box->count() && box->currentText() != item; ++i)
            QTest::keyClick(box, Qt::Key_Down);
        QCOMPARE(box->currentText(), item);
    }
    QStringList problems(bool warnings) const {
        QStringList out;
        auto* list = test::named<QListWidget>(ed, "Problems");
        for (int i = 0; i < list->count(); ++i)
            if (list->item(i)->data(Qt::UserRole).toBool() == warnings)
                out << list->item(i)->text();
        return out;
    }
    QString progress() const { return test::named<QLabel>(ed, "Progress")->text(); }
    // Two steps: 5 V with the output on for 2 s, then 8 V for 1 s.
    void typeTwoSteps() const {
        click("AddStep");
        type(0, col::V1, QStringLiteral("5"));
        type(0, col::A1, QStringLiteral("0.5"));
        choose(0, col::Output, QStringLiteral("on"));
        type(0, col::Dwell, QStringLiteral("2"));
        click("AddStep");
        type(1, col::V1, QStringLiteral("8"));
        type(1, col::Dwell, QStringLiteral("1"));
    }
    // Channel 1's voltage frames from `from` on, with their times from it.
    QList<std::pair<qint64, double>> vset1(LinkTime from) const {
        QList<std::pair<qint64, double>> out;
        const auto& frames = p.line->wireFrames();
        const auto& times = p.line->wireTimes();
        for (std::size_t i = 0; i < frames.size(); ++i)
            if (times[i] >= from && frames[i].rfind("VSET1:", 0) == 0)
                out.append({test::msSince(from, times[i]), std::stod(frames[i].substr(6))});
        return out;
    }
    std::optional<qint64> firstFrame(const char* frame, LinkTime from) const {
        const auto& frames = p.line->wireFrames();
        const auto& times = p.line->wireTimes();
        for (std::size_t i = 0; i < frames.size(); ++i)
            if (times[i] >= from && QByteArray::fromStdString(frames[i]).trimmed() == frame)
                return test::msSince(from, times[i]);
        return std::nullopt;
    }
};

}  // namespace

class tst_SequenceEditor : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void typedStepsRunOnTime();
    void stopEndsAtOnce_data();
    void stopEndsAtOnce();
    void badCellIsNamedAndBlocksRun_data();
    void badCellIsNamedAndBlocksRun();
    void shortDwellIsWarned();
    void linePace_data();
    void linePace();
    void savedThenLoadedIsTheSame();
    void loadErrorNamesTheLine();
    void recordedActionsBecomeRows();
    void dryRunShowsTheLoadsLimit();
    void closingCancelsTheDryRun();
};

// Typed, run: each step's frames on the line at its deadline, the table
// read-only meanwhile, the progress counting, and the output off at the end.
void tst_SequenceEditor::typedStepsRunOnTime() {
    Bench b;
    QVERIFY(b.open(true));
    b.typeTwoSteps();
    QVERIFY2(b.problems(false).isEmpty(), qPrintable(b.problems(false).join(u'\n')));
    QVERIFY(b.button("Run")->isEnabled());
    QCOMPARE(b.ed->plan().steps.size(), std::size_t(2));

    const LinkTime from = b.p.link().scheduler().now();
    b.click("Run");
    QVERIFY(b.ed->running());
    QVERIFY(!b.button("AddStep")->isEnabled());
    QVERIFY(!b.table()->cellWidget(0, col::Output)->isEnabled());
    QCOMPARE(b.table()->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(b.p.advanceUntil([&] { return b.progress().startsWith(QStringLiteral("Step 2 of 2")); },
                             5s));
    QCOMPARE(b.progress(), QStringLiteral("Step 2 of 2 · repeat 1 of 1 · 0:01 left"));
    QVERIFY(b.p.advanceUntil([&] { return !b.ed->running(); }, 5s));
    QCOMPARE(b.progress(), QStringLiteral("The sequence ran to its end."));
    b.p.advance(1s);

    const auto sent = b.vset1(from);
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent[0].second, 5.0);
    QVERIFY2(sent[0].first < 150, qPrintable(QString::number(sent[0].first)));
    QCOMPARE(sent[1].second, 8.0);
    QVERIFY2(sent[1].first >= 2000 && sent[1].first < 2150,
             qPrintable(QString::number(sent[1].first)));
    const auto on = b.firstFrame("OUT1", from);
    QVERIFY(on && *on < 300);
    const auto off = b.firstFrame("OUT0", from);
    QVERIFY2(off && *off >= 3000 && *off < 3300, qPrintable(QString::number(off.value_or(-1))));
    QVERIFY(!b.p.line->instrument().output());
    QVERIFY(b.button("Run")->isEnabled());
    QVERIFY(b.table()->cellWidget(0, col::Output)->isEnabled());
}

void tst_SequenceEditor::stopEndsAtOnce_data() {
    QTest::addColumn<int>("stopAtMs");
    QTest::addColumn<QString>("endState");
    QTest::addColumn<bool>("outputAfter");
    QTest::addColumn<double>("voltsAfter");
    QTest::newRow("output off") << 1000 << QStringLiteral("Output off") << false << 5.0;
    QTest::newRow("hold last") << 3000 << QStringLiteral("Hold last step") << true << 8.0;
    QTest::newRow("back to first") << 3000 << QStringLiteral("Back to first step") << true << 5.0;
}

// Stop mid-step: nothing more of the plan reaches the line, only what the
// end state asks, at once.
void tst_SequenceEditor::stopEndsAtOnce() {
    QFETCH(int, stopAtMs);
    QFETCH(QString, endState);
    QFETCH(bool, outputAfter);
    QFETCH(double, voltsAfter);
    Bench b;
    QVERIFY(b.open(true));
    b.typeTwoSteps();
    b.type(1, col::Dwell, QStringLiteral("2"));
    b.click("AddStep");
    b.type(2, col::V1, QStringLiteral("10"));
    auto* end = test::named<QComboBox>(b.ed, "EndState");
    QTest::keyClick(end, Qt::Key_Home);
    while (end->currentText() != endState) QTest::keyClick(end, Qt::Key_Down);

    b.click("Run");
    b.p.advance(ms(stopAtMs));
    const LinkTime stopped = b.p.link().scheduler().now();
    b.click("Stop");
    QVERIFY(b.p.advanceUntil([&] { return !b.ed->running(); }, 1s));
    b.p.advance(6s);
    QVERIFY2(b.progress().startsWith(QStringLiteral("Stopped at step ")), qPrintable(b.progress()));
    for (const auto& [at, volts] : b.vset1(stopped)) {
        QVERIFY2(at < 300, qPrintable(QString::number(at)));
        QCOMPARE(volts, 5.0);  // the first step's, sent again; never the third's
    }
    QCOMPARE(b.p.line->instrument().output(), outputAfter);
    QCOMPARE(b.p.line->instrument().voltageSet(1), voltsAfter);
    if (!outputAfter) {
        const auto off = b.firstFrame("OUT0", stopped);
        QVERIFY(off && *off < 300);
    }
    QVERIFY(b.button("Run")->isEnabled());
}

void tst_SequenceEditor::badCellIsNamedAndBlocksRun_data() {
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("said");
    QTest::newRow("voltage") << int(col::V1) << QStringLiteral("5V")
                             << QStringLiteral("Step 1: \"5V\" in Ch1 V is not a number.");
    QTest::newRow("current") << int(col::A2) << QStringLiteral("1..2")
                             << QStringLiteral("Step 1: \"1..2\" in Ch2 A is not a number.");
    QTest::newRow("dwell") << int(col::Dwell) << QStringLiteral("two")
                           << QStringLiteral("Step 1: \"two\" in Dwell (s) is not a number.");
    QTest::newRow("blank dwell") << int(col::Dwell) << QString()
                                 << QStringLiteral("Step 1: the dwell is blank.");
    QTest::newRow("level") << int(col::Level) << QStringLiteral("-")
                           << QStringLiteral("Step 1: \"-\" in Level is not a number.");
}

// A cell that is not a number is marked and named, and Run stays off until
// it is mended.
void tst_SequenceEditor::badCellIsNamedAndBlocksRun() {
    QFETCH(int, column);
    QFETCH(QString, text);
    QFETCH(QString, said);
    Bench b;
    QVERIFY(b.open(true));
    b.click("AddStep");
    b.type(0, col::V1, QStringLiteral("5"));
    QVERIFY(b.button("Run")->isEnabled());
    b.type(0, column, text);
    QCOMPARE(b.problems(false), QStringList{said});
    QVERIFY(!b.button("Run")->isEnabled());
    if (!text.isEmpty())
        QCOMPARE(b.table()->item(0, column)->background().color(), QColor(0xff, 0xc8, 0xc8));
    b.type(0, column, QStringLiteral("1"));
    QVERIFY2(b.problems(false).isEmpty(), qPrintable(b.problems(false).join(u'\n')));
    QVERIFY(b.button("Run")->isEnabled());
    QVERIFY(!b.table()->item(0, column)->background().color().isValid() ||
            b.table()->item(0, column)->background().style() == Qt::NoBrush);
}

// 20 ms cannot carry a set point and its read-back at 9600 baud: warned,
// with the time it needs, yet the run is the operator's choice.
void tst_SequenceEditor::shortDwellIsWarned() {
    Bench b;
    QVERIFY(b.open(true));
    b.click("AddStep");
    b.type(0, col::V1, QStringLiteral("5"));
    b.type(0, col::Dwell, QStringLiteral("0.02"));
    QCOMPARE(b.problems(true),
             QStringList{QStringLiteral("Step 1: its dwell of 0.02 s is shorter than the 0.12 s "
                                        "the line needs to send its set points and read them "
                                        "back.")});
    QVERIFY(b.problems(false).isEmpty());
    QVERIFY(b.button("Run")->isEnabled());
    b.type(0, col::Dwell, QStringLiteral("0.2"));
    QVERIFY(b.problems(true).isEmpty());
}

void tst_SequenceEditor::linePace_data() {
    QTest::addColumn<PlanStep>("step");
    QTest::addColumn<double>("replyMs");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("expectMs");
    PlanStep one;
    one.channels[0].volts = 12.34;
    // "VSET1:12.34" CR LF and "VSET1?" CR LF with a 6-byte reply: 27 bytes.
    QTest::newRow("one set point") << one << 50.0 << 9600 << 119;  // 28.1 + 50 + 2 x 20
    QTest::newRow("measured reply") << one << 10.0 << 9600 << 79;
    QTest::newRow("fast line") << one << 50.0 << 115200 << 93;  // 2.3 + 50 + 40
    PlanStep two = one;
    two.channels[1].amps = 1.5;  // "ISET2:1.50"
    QTest::newRow("two set points") << two << 50.0 << 9600 << 236;
    PlanStep output;
    output.output = OutputChange::On;  // "OUT1", then STATUS? with a 3-byte reply
    QTest::newRow("output") << output << 50.0 << 9600 << 109;  // 6.25 + 20 + 12.5 + 50 + 20
}

void tst_SequenceEditor::linePace() {
    QFETCH(PlanStep, step);
    QFETCH(double, replyMs);
    QFETCH(int, baud);
    QFETCH(int, expectMs);
    const LinePace pace{baud, replyMs, 20};
    QCOMPARE(stepSendTime(step, 2, pace).count(), expectMs);  // two decimals
}

// The table's plan through a file and back: the same plan and the same table.
void tst_SequenceEditor::savedThenLoadedIsTheSame() {
    Bench b;
    QVERIFY(b.open(false));
    b.typeTwoSteps();
    b.type(1, col::Dwell, QStringLiteral("1.5"));  // fractional seconds
    QTest::keyClick(qobject_cast<QCheckBox*>(b.table()->cellWidget(1, col::Ramp)), Qt::Key_Space);
    b.choose(1, col::Until, QStringLiteral("I ≥"));
    b.choose(1, col::Channel, QStringLiteral("2"));
    b.type(1, col::Level, QStringLiteral("0.25"));
    b.click("CopyStep");  // the second row again, below it
    b.type(2, col::V2, QStringLiteral("3.3"));
    auto* repeats = test::named<QSpinBox>(b.ed, "Repeats");
    QTest::keyClick(repeats, Qt::Key_Down);  // 0: until stopped
    QCOMPARE(repeats->text(), QStringLiteral("Until stopped"));
    const StepPlan typed = b.ed->plan();
    QCOMPARE(typed.steps.size(), std::size_t(3));
    QCOMPARE(typed.steps[2].until.level, 0.25);
    QCOMPARE(typed.steps[1].dwell, ms(1500));
    QVERIFY(typed.steps[2].ramp);
    QCOMPARE(typed.repeats, 0);
    QStringList cells;
    for (int r = 0; r < 3; ++r)
        for (int c : {col::V1, col::A1, col::V2, col::A2, col::Dwell, col::Level})
            cells << b.table()->item(r, c)->text();

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("two.csv"));
    QString why;
    QVERIFY2(b.ed->saveTo(path, &why), qPrintable(why));
    b.table()->selectAll();
    b.click("RemoveStep");
    QCOMPARE(b.table()->rowCount(), 0);
    QVERIFY(b.ed->loadFrom(path));
    QCOMPARE(b.ed->plan(), typed);
    QStringList loaded;
    for (int r = 0; r < 3; ++r)
        for (int c : {col::V1, col::A1, col::V2, col::A2, col::Dwell, col::Level})
            loaded << b.table()->item(r, c)->text();
    QCOMPARE(loaded, cells);
    QCOMPARE(repeats->value(), 0);
    QVERIFY(qobject_cast<QCheckBox*>(b.table()->cellWidget(2, col::Ramp))->isChecked());
}

void tst_SequenceEditor::loadErrorNamesTheLine() {
    Bench b;
    QVERIFY(b.open(false));
    b.click("AddStep");
    b.type(0, col::V1, QStringLiteral("7"));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.csv"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("ch1_voltage_V,dwell_s\r\n5,1\r\nfive,1\r\n");
    f.close();
    QVERIFY(!b.ed->loadFrom(path));
    QCOMPARE(b.p.boxes.seen.size(), 1);
    QVERIFY2(b.p.boxes.seen[0].text.contains(QStringLiteral("Line 3: a value is not a number.")),
             qPrintable(b.p.boxes.seen[0].text));
    QCOMPARE(b.table()->item(0, col::V1)->text(), QStringLiteral("7"));  // the table as it was
}

// Record Actions, a set point and the output switched in the main window,
// then Record Actions again: the table holds them, replacing what it had
// once the operator agreed.
void tst_SequenceEditor::recordedActionsBecomeRows() {
    Bench b;
    QVERIFY(b.open(true));
    b.click("AddStep");
    b.click("RecordActions");
    QVERIFY(!b.button("Run")->isEnabled());
    QLineEdit* e = test::field(b.p.form, "Edit5");
    e->clear();
    e->setFocus();
    QTest::keyClicks(e, QStringLiteral("6"));
    QTest::keyClick(e, Qt::Key_Return);
    QVERIFY(b.p.idle());
    b.p.advance(2s);
    QVERIFY(b.p.outputOn());
    b.p.advance(3s);
    b.click("RecordActions");
    QTRY_COMPARE(b.p.boxes.seen.size(), 1);
    QCOMPARE(b.p.boxes.seen[0].text,
             QStringLiteral("Replace the 1 step in the table with the 2 steps recorded?"));
    QCOMPARE(b.table()->rowCount(), 2);
    QCOMPARE(b.table()->item(0, col::V1)->text(), QStringLiteral("6"));
    QCOMPARE(qobject_cast<QComboBox*>(b.table()->cellWidget(1, col::Output))->currentText(),
             QStringLiteral("on"));
    const double firstDwell = b.table()->item(0, col::Dwell)->text().toDouble();
    QVERIFY2(firstDwell >= 2 && firstDwell < 2.5, qPrintable(QString::number(firstDwell)));
    QCOMPARE(test::named<QComboBox>(b.ed, "EndState")->currentText(),
             QStringLiteral("Hold last step"));
}

// 5 V and 1 A into 1 ohm: the simulator holds 1 A at 1 V, and the check
// list says so for the step.
void tst_SequenceEditor::dryRunShowsTheLoadsLimit() {
    Bench b;
    QVERIFY(b.open(false));
    b.click("AddStep");
    b.type(0, col::V1, QStringLiteral("5"));
    b.type(0, col::A1, QStringLiteral("1"));
    b.choose(0, col::Output, QStringLiteral("on"));
    b.type(0, col::Dwell, QStringLiteral("3"));
    auto* load = test::named<QDoubleSpinBox>(b.ed, "Load1");
    load->setFocus();
    QTest::keyClick(load, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(load, QStringLiteral("1"));
    QCOMPARE(load->value(), 1.0);
    QSignalSpy done(b.ed, &SequenceEditor::dryRunFinished);
    b.click("DryRun");
    QVERIFY(!b.button("DryRun")->isEnabled());
    QVERIFY(done.wait(30000));  // the simulator's own thread, in accelerated time
    QCOMPARE(b.problems(true),
             QStringList{QStringLiteral(
                 "Dry run, step 1: channel 1 reaches its 1 A limit and holds 1.00 V instead of "
                 "5 V.")});
    const QString said = test::named<QLabel>(b.ed, "DryRunResult")->text();
    QVERIFY2(said.contains(QStringLiteral(" s simulated: The sequence ran to its end.")),
             qPrintable(said));
    QVERIFY(b.p.frames().isEmpty());  // the instrument untouched
    // Told of the plan it ran: an edit takes it back.
    b.type(0, col::V1, QStringLiteral("0.5"));
    QVERIFY(b.problems(true).isEmpty());
    QVERIFY(test::named<QLabel>(b.ed, "DryRunResult")->text().isEmpty());
}

// A week of 1 s steps takes minutes to simulate: closing the editor gives
// the dry run up, and its thread is over a moment later.
void tst_SequenceEditor::closingCancelsTheDryRun() {
    Bench b;
    QVERIFY(b.open(false));
    b.typeTwoSteps();
    b.type(0, col::Dwell, QStringLiteral("1"));
    auto* repeats = test::named<QSpinBox>(b.ed, "Repeats");
    repeats->setFocus();
    QTest::keyClick(repeats, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(repeats, QStringLiteral("302400"));
    QCOMPARE(b.ed->plan().repeats, 302400);
    QSignalSpy done(b.ed, &SequenceEditor::dryRunFinished);
    b.click("DryRun");
    QVERIFY(!b.button("DryRun")->isEnabled());
    QVERIFY(b.ed->close());
    QVERIFY(!b.ed->isVisible());
    QVERIFY(done.wait(20000));
    QCOMPARE(test::named<QLabel>(b.ed, "DryRunResult")->text(),
             QStringLiteral("The dry run was cancelled."));
    QVERIFY(b.button("DryRun")->isEnabled());
}

QTEST_MAIN(tst_SequenceEditor)
#include "tst_sequence_editor.moc"
