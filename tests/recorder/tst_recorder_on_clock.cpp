// The recorder in the whole program on a clock the test drives: what the
// link's guard, counters and sequences tell reaches the recording.
#include "clocked_link.h"
#include "control_panel/messages_box.h"
#include "control_panel/remote_control.h"
#include "device_link/guard.h"
#include "recorder/reading_log.h"
#include "recorder/record_files.h"
#include "recorder/record_table.h"
#include "remote/scpi_session.h"
#include "test_files.h"

#include <QCheckBox>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QtTest>

using namespace lqs;
using namespace std::chrono_literals;
using test::ClockedProgram;

namespace {

LinkSetup fastSetup() {
    LinkSetup s = test::drivenSetup();
    s.silenceMs = 100;
    return s;
}

void tick(QTimer* timer) {
    QMetaMethod::fromSignal(&QTimer::timeout).invoke(timer, Qt::DirectConnection);
}

// The program at the line's own pace, its guard's readings fast enough.
struct RecordingProgram : ClockedProgram {
    RecordingProgram() : ClockedProgram(sim::Model::B, fastSetup()) {
        line->setLineModel(sim::LineModel());
    }
};

// The wave window opened, its setup confirmed (with the counters or
// without), the recording started and its first line taken; null if any
// of it failed.
TForm_Wave* startRecording(ClockedProgram& p, bool counters) {
    test::action(p.form, "Wave1")->trigger();
    auto* wave = p.form->findChild<TForm_Wave*>();
    if (!wave) return nullptr;
    QTest::mouseClick(test::named<QPushButton>(wave, "Btn_Setup"), Qt::LeftButton);
    auto* setup = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!setup) return nullptr;
    if (counters) QTest::mouseClick(test::named<QCheckBox>(setup, "chk_Counters"), Qt::LeftButton);
    QTest::mouseClick(test::named<QPushButton>(setup, "btn_OK"), Qt::LeftButton);
    test::action(p.form, "Start1")->trigger();
    if (!wave->tmr_Scale->isActive()) return nullptr;
    tick(wave->tmr_Scale);
    return wave;
}

QByteArray countersText(const LinkClient& client) {
    QByteArray out;
    for (int channel : {1, 2}) {
        const ChannelCounters c = client.counters(channel);
        out += '\t' + QByteArray::number(c.ampHours, 'f', 4) + '\t' +
               QByteArray::number(c.wattHours, 'f', 4);
    }
    return out;
}

}  // namespace

class tst_RecorderOnClock : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void tripAndCountersReachTheRecording();
    void sequenceStepsReachTheRecording();
    void silentInstrumentKeepsTheProgram_data();
    void silentInstrumentKeepsTheProgram();
    void everyReadingKeptWithItsTime_data();
    void everyReadingKeptWithItsTime();
};

// Charge counted before the recorder window was made is in its first line;
// the trip that switches the output off is recorded before the recording
// stops with it.
void tst_RecorderOnClock::tripAndCountersReachTheRecording() {
    RecordingProgram p;
    QVERIFY(p.linked());
    p.line->setEndAtCarriageReturn(true);  // as comm1 cuts blocks on the fast schedule
    p.client().setGuard(1, GuardLimit::UnderVoltage, {true, 8.0, 0ms});
    QVERIFY(p.outputOn());
    p.advance(10s);  // 10 V, 1 A on channel 1
    // Open circuits: nothing more flows, so the counters are told no more.
    p.line->instrument().setLoad(1, qInf());
    p.line->instrument().setLoad(2, qInf());
    p.advance(2s);
    QVERIFY(p.client().counters(1).ampHours > 0.002);
    QSignalSpy told(&p.client(), &LinkClient::countersChanged);
    p.advance(1s);
    QCOMPARE(told.count(), 0);

    TForm_Wave* wave = startRecording(p, true);
    QVERIFY(wave);
    const RecordTable& t = *wave->state.Table;
    QCOMPARE(t.line(0), RecordTable::header(true));
    QVERIFY2(t.line(1).endsWith(countersText(p.client())), t.line(1).constData());

    // Held at 1 A through 5 ohms: 5 V, under the floor.
    p.line->instrument().setLoad(1, 5.0);
    QVERIFY(p.advanceUntil([&] { return p.client().trip().has_value(); }, 5s));
    QVERIFY(p.idle());
    QVERIFY(!wave->tmr_Scale->isActive());  // the output went off
    const QByteArray trip = t.line(t.lineCount() - 1);
    QVERIFY2(isTripLine(trip) && trip.endsWith("\tCH1\tunder-voltage\t5.000 V\t8.000 V"),
             trip.constData());
    QVERIFY(test::readAll(journalPath(p.dir.path())).endsWith(trip + "\r\n"));
}

// Each step of each repeat, counted from 1, then the end; a sequence refused
// while one runs marks nothing.
void tst_RecorderOnClock::sequenceStepsReachTheRecording() {
    RecordingProgram p;
    QVERIFY(p.linked());
    QVERIFY(p.outputOn());
    // All four readings in, for the recorder's Start.
    QVERIFY(p.advanceUntil([&] { return !p.form->readingTexts().contains(QString()); }, 10s));
    TForm_Wave* wave = startRecording(p, false);
    QVERIFY(wave);

    StepPlan plan;
    for (double v : {5.0, 6.0}) {
        PlanStep s;
        s.channels[0].volts = v;
        s.dwell = 1s;
        plan.steps.push_back(s);
    }
    plan.repeats = 2;
    plan.end = EndState::HoldLast;  // the output stays on, and the recording with it
    QSignalSpy ended(&p.client(), &LinkClient::planEnded);
    p.client().runPlan(plan, {});
    p.advance(500ms);
    p.client().runPlan(plan, {});
    QVERIFY(p.advanceUntil([&] { return ended.count() == 2; }, 10s));
    QCOMPARE(ended.first().at(0).value<PlanEnd>(), PlanEnd::Refused);
    QVERIFY(wave->tmr_Scale->isActive());

    QList<QByteArray> marks;
    const RecordTable& t = *wave->state.Table;
    for (int i = 1; i < t.lineCount(); ++i) {
        const QList<QByteArray> fields = t.line(i).split('\t');
        if (isMarkLine(t.line(i))) marks << fields.at(0) + ' ' + fields.mid(2).join(' ');
    }
    QCOMPARE(marks,
             (QList<QByteArray>{"Step 1 repeat 1", "Step 2 repeat 1", "Step 1 repeat 2",
                                "Step 2 repeat 2", "Sequence end The sequence ran to its end."}));
    QVERIFY(test::readAll(journalPath(p.dir.path())).endsWith(t.line(t.lineCount() - 1) + "\r\n"));
}

void tst_RecorderOnClock::silentInstrumentKeepsTheProgram_data() {
    QTest::addColumn<bool>("byScript");
    QTest::newRow("linked again by the Link button") << false;
    QTest::newRow("linked again by a script's SYST:LINK") << true;
}

// The instrument switched off at its own switch, its adapter still plugged
// in: after the time-out box the program stands down as after a lost line,
// with the recording kept, and links again once the instrument answers.
void tst_RecorderOnClock::silentInstrumentKeepsTheProgram() {
    QFETCH(bool, byScript);
    ClockedProgram p;
    QVERIFY(p.linked());
    QVERIFY(p.outputOn());
    QVERIFY(p.advanceUntil([&] { return !test::field(p.form, "Edit4")->text().isEmpty(); }));
    TForm_Wave* wave = startRecording(p, false);
    QVERIFY(wave);
    const int lines = wave->unsavedLines();
    QVERIFY(lines > 0);
    QSignalSpy closed(p.form.get(), &TForm1::closed);
    TMessages* box = p.form->windows().Messages;
    p.line->setSilent(true);
    QVERIFY(p.advanceUntil([&] { return box->isVisible(); }, 20s));
    QTest::mouseClick(test::named<QPushButton>(box, "Button1"), Qt::LeftButton);
    p.advance(0ms);

    QCOMPARE(closed.count(), 0);
    QVERIFY(p.form->isVisible() && p.form->frameEnabled());
    QCOMPARE(p.outputButton()->text(), QStringLiteral("?"));
    QCOMPARE(wave->unsavedLines(), lines);  // neither saved nor dropped
    QVERIFY(p.boxes.seen.isEmpty());
    QVERIFY(!p.form->panelEnabled());
    QVERIFY(!test::action(p.form, "OutPut1")->isEnabled());
    QVERIFY(!test::action(p.form, "btn5")->isEnabled());
    QVERIFY(!test::action(p.form, "SaveMemory1")->isEnabled());
    QVERIFY(!test::action(p.form, "RecallMemory1")->isEnabled());
    QVERIFY(test::action(p.form, "ToolButton1")->isEnabled());

    p.line->setSilent(false);
    if (byScript) {
        ScpiSession session(*p.form->remote(), p.form->remote()->errors(), RemoteControl::maker(),
                            QStringLiteral("0"));
        QList<QByteArray> replies;
        session.write = [&](const QByteArray& reply) { replies << reply; };
        session.takeLine("SYST:LINK;SYST:LINK?");
        QVERIFY(p.advanceUntil([&] { return !replies.isEmpty(); }));
        QCOMPARE(replies, QList<QByteArray>{"1"});
        QVERIFY(p.idle());
    } else {
        QVERIFY(p.linked());
    }
    QVERIFY(standing(p.client().mode()));
    QVERIFY(p.form->panelEnabled());
    QVERIFY(test::action(p.form, "SaveMemory1")->isEnabled());
    QCOMPARE(p.outputButton()->text(), QStringLiteral("ON"));
}

QTEST_MAIN(tst_RecorderOnClock)
#include "tst_recorder_on_clock.moc"

void tst_RecorderOnClock::everyReadingKeptWithItsTime_data() {
    QTest::addColumn<bool>("fast");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("atLeast");  // readings in that time
    QTest::newRow("fast readings") << true << 3 << 60;
    QTest::newRow("the polling cycle") << false << 30 << 4;
}

// Every reading the link took while recording is kept: exported row by row
// with the time its reply reached the program, and in the readings journal
// as it came.
void tst_RecorderOnClock::everyReadingKeptWithItsTime() {
    QFETCH(bool, fast);
    QFETCH(int, seconds);
    QFETCH(int, atLeast);
    RecordingProgram p;
    QVERIFY(p.linked());
    p.line->setEndAtCarriageReturn(true);
    if (fast) test::action(p.form, "FastReadings1")->trigger();
    QVERIFY(p.outputOn());
    QVERIFY(p.advanceUntil([&] { return !p.form->readingTexts().contains(QString()); }, 10s));
    std::vector<Reading> taken;
    QObject::connect(&p.client(), &LinkClient::readingTaken,
                     [&](const Reading& r) { taken.push_back(r); });
    // The recorder's clock is the link's, as the wall clock is both in use.
    test::action(p.form, "Wave1")->trigger();
    p.form->findChild<TForm_Wave*>()->Now = [&] {
        return p.link().scheduler().wallTime(p.link().scheduler().now());
    };
    TForm_Wave* wave = startRecording(p, false);
    QVERIFY(wave);
    taken.clear();
    const std::size_t blocksBefore = p.line->blocks().size();
    p.advance(std::chrono::seconds(seconds));
    QVERIFY2(taken.size() > std::size_t(atLeast), qPrintable(QString::number(taken.size())));

    const QString path = p.dir.filePath(QStringLiteral("readings.csv"));
    wave->ChooseExportPath = [&] { return TForm_Wave::ExportChoice{path, false, true}; };
    QTest::mouseClick(test::named<QPushButton>(wave, "btn_Export"), Qt::LeftButton);
    QList<QByteArray> rows = test::readAll(path).split('\n');
    QVERIFY(rows.size() > 2 && rows.takeLast().isEmpty());
    QCOMPARE(rows.takeFirst() + '\n', readingsCsvHeader());

    // The readings in the rows' order, each with its row's time.
    struct Kept {
        int series;
        QByteArray text;
        QDateTime at;
    };
    std::vector<Kept> kept;
    for (const QByteArray& row : rows) {
        QVERIFY2(row.endsWith('\r'), row.constData());
        const QList<QByteArray> f = row.chopped(1).split(',');
        QCOMPARE(f.size(), 8);
        const QDateTime at = QDateTime::fromString(QString::fromLatin1(f[0]), Qt::ISODateWithMs);
        QVERIFY2(at.isValid() && f[0].contains('.') && (f[0].contains('+') || f[0].count('-') > 2),
                 f[0].constData());
        for (int series = 0; series < 4; ++series) {
            const QByteArray& cell = f[series < 2 ? 2 + series : 3 + series];
            if (!cell.isEmpty()) kept.push_back({series, cell, at});
        }
    }
    QCOMPARE(kept.size(), taken.size());
    const auto& blocks = p.line->blocks();
    for (std::size_t i = 0; i < taken.size(); ++i) {
        const Reading& r = taken[i];
        const int series = (r.channel - 1) * 2 + (r.quantity == Quantity::Current ? 1 : 0);
        QCOMPARE(kept[i].series, series);
        QCOMPARE(kept[i].text, r.text.toLatin1());
        QVERIFY2(std::abs(kept[i].at.msecsTo(r.wall)) <= 1, qPrintable(r.wall.toString()));
        // The simulator sent that reply, and it reached the program then.
        QVERIFY(
            std::any_of(blocks.begin() + qsizetype(blocksBefore), blocks.end(), [&](const auto& b) {
                return b.at == r.at &&
                       QByteArray::fromStdString(b.bytes).contains(r.text.toLatin1());
            }));
    }

    // The journal held each as it came: what a kill would have left.
    QFile journal(readingsJournalPath(journalPath(p.dir.path())));
    QVERIFY(journal.open(QIODevice::ReadOnly));
    ReadingLog back;
    QVERIFY(readReadingsCsv(&journal, &back));
    QCOMPARE(std::size_t(back.size()), taken.size());
}
