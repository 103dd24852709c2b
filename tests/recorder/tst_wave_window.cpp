#include "error_box.h"
#include "modal_watcher.h"
#include "plot_area.h"
#include "plot_math.h"
#include "recorder_host.h"
#include "setup_dialog.h"
#include "test_files.h"
#include "wave_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace lqs;

namespace {

struct FakeHost : RecorderHost {
    QStringList readings{"12.000", "1.200", "5.000", "0.250"};
    QString caption = QStringLiteral("ON");
    int controlShown = 0;
    int closed = 0;
    QStringList readingTexts() const override { return readings; }
    QString outputCaption() const override { return caption; }
    void showControlPanel() override { ++controlShown; }
    void closeMainWindow() override { ++closed; }
};

struct Fixture {
    QTemporaryDir dir;
    FakeHost host;
    TForm_Wave wave{&host};
    QStringList messages;
    test::ModalWatcher boxes;  // no modal box may hold a test
    QDateTime now{QDate(2026, 12, 6), QTime(9, 5, 33)};

    Fixture() {
        wave.RecordDir = dir.path();
        wave.ShowMessage = [this](const QString& m) { messages << m; };
        wave.Now = [this] { return now; };
        wave.resize(766, 451);
        wave.show();
    }
    // The setup dialog's OK with the given choices.
    void setup(const QString& minutes = QStringLiteral("10"), const QString& scale = QStringLiteral("2 Seconds"),
               const QString& seconds = QStringLiteral("10")) {
        TFrm_Setup d;
        d.attachRecorder(&wave);
        d.show();
        d.cbb3->setCurrentText(minutes);
        d.cbb4->setCurrentText(seconds);
        d.cbb5->setCurrentText(scale);
        d.btn_OKClick();
    }
    void start() { wave.Btn_StartClick(); }
    QString clock(QLabel* h, QLabel* m, QLabel* s) const {
        return h->text() + QLatin1Char(':') + m->text() + QLatin1Char(':') + s->text();
    }
};

}  // namespace

class tst_WaveWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void layoutAndStart();
    void startRefusals();
    void setupDefaultsAndRules();
    void setupCancelChangesNothing();
    void firstLineAndSummary();
    void windowFullOnTick301();
    void restartKeepsTimerSchedules();
    void setupDuringRecordingRestartsTimers();
    void unreadableReadingDoesNotStackBoxes();
    void arraysNeverOverflow_data();
    void arraysNeverOverflow();
    void waitForReadingsEndsWhenOutputGoesOff();
    void liveStepsThenRepaintedLines();
    void relabelWithoutMovingCurves();
    void hourSpanKeepsRightSeconds();
    void extremesOverTheRecord();
    void returnAndClose();
    void saveListAndTwoSavesInASecond();
    void loadMergesAfterTheHeader();
    void loadBeforeAnyStartDropsTheLines();
    void deleteModeRefillsTheList();
    void unreadableEntryStaysShown();
    void exportNames_data();
    void exportNames();
};

void tst_WaveWindow::layoutAndStart() {
    Fixture f;
    QCOMPARE(f.wave.pb1->size(), QSize(600, 250));
    QCOMPARE(f.wave.pnl1->geometry(), QRect(43, 31, 602, 252));
    QCOMPARE(f.wave.lst_Load->geometry(), QRect(42, 32, 602, 250));
    QVERIFY(f.wave.lst_Load->isHidden());
    for (QCheckBox* c : {f.wave.fltchckbxckbx1, f.wave.fltchckbxckbx2, f.wave.fltchckbxckbx3, f.wave.fltchckbxckbx4})
        QVERIFY(c->isChecked());
    QVERIFY(!f.wave.chk_Ch3V->isEnabled() && !f.wave.chk_Ch3A->isEnabled());
    QCOMPARE(f.wave.cbb_Time->currentText(), QStringLiteral("5m"));
    QCOMPARE(f.wave.cbb_Voltage->count(), 23);
    QCOMPARE(f.wave.cbb_Current->count(), 21);
    QCOMPARE(f.wave.tmr_time->interval(), 1000);
    for (QTimer* t : {f.wave.tmr_All, f.wave.tmr_Scale, f.wave.tmr_time}) QVERIFY(!t->isActive());
    QCOMPARE(f.wave.summary(), QStringList{QString()});
}

void tst_WaveWindow::startRefusals() {
    Fixture f;
    f.host.caption = QStringLiteral("OFF");
    f.start();
    f.host.caption = QStringLiteral("ON");
    f.start();
    QCOMPARE(f.messages, (QStringList{"Please Turn on Device into Output(Run) Mode",
                                      "Please setup the time length of record first."}));
    QVERIFY(!f.wave.state.Table);
    QVERIFY(!f.wave.tmr_Scale->isActive());
}

void tst_WaveWindow::setupDefaultsAndRules() {
    Fixture f;
    TFrm_Setup d;
    d.attachRecorder(&f.wave);
    d.show();
    QCOMPARE(d.windowTitle(), QStringLiteral("Setup"));
    QCOMPARE(d.cbb3->currentText(), QStringLiteral("10"));
    QCOMPARE(d.cbb5->currentText(), QStringLiteral("2 Seconds"));
    QCOMPARE(d.cbb4->count(), 12);
    d.cbb5->setCurrentText(QStringLiteral("1 Second"));
    QCOMPARE(d.cbb6->currentText(), QStringLiteral("Maximum"));
    QVERIFY(!d.cbb6->isEnabled());
    d.cbb5->setCurrentText(QStringLiteral("5 mins"));
    QVERIFY(d.cbb6->isEnabled());
    d.cbb5->setCurrentText(QStringLiteral("2 Seconds"));
    d.cbb6->setCurrentText(QStringLiteral("Average"));
    d.selectColor(d.clrbx_ch1, QColor(0xFF0000));
    d.btn_OKClick();
    QCOMPARE(f.wave.state.RecordLengthMs, 611000);
    QCOMPARE(f.wave.tmr_All->interval(), 611000);
    QCOMPARE(f.wave.state.TimeSliceMs, 2000);
    QCOMPARE(f.wave.tmr_Scale->interval(), 2000);
    QCOMPARE(f.wave.state.PointOperation, QStringLiteral("Average"));
    QCOMPARE(f.wave.curveColor(f.wave.pnl_Ch1A), QColor(0xFF0000));
    QCOMPARE(f.wave.curveColor(f.wave.pnl_Ch2v), PlotColors::Lime);
    QCOMPARE(f.wave.summary(), (QStringList{"Total Time:0d 0:0:0", "Time Slice: 2sec", "Sample: 0", "CH1 Max:V A",
                                            "CH1 Min:V A", "CH2 Max:V A", "CH2 Min:V A"}));
    // Nothing chosen: a one-second record. The longest: 691,196,000 ms.
    f.setup(QStringLiteral("0"), QStringLiteral("2 Seconds"), QStringLiteral("0"));
    QCOMPARE(f.wave.state.RecordLengthMs, 1000);
    TFrm_Setup longest;
    longest.attachRecorder(&f.wave);
    longest.show();
    longest.cbb1->setCurrentText(QStringLiteral("7"));
    longest.cbb2->setCurrentText(QStringLiteral("23"));
    longest.cbb3->setCurrentText(QStringLiteral("59"));
    longest.cbb4->setCurrentText(QStringLiteral("55"));
    longest.btn_OKClick();
    QCOMPARE(f.wave.state.RecordLengthMs, 691196000);
}

void tst_WaveWindow::setupCancelChangesNothing() {
    Fixture f;
    TFrm_Setup d;
    d.attachRecorder(&f.wave);
    d.show();
    d.btn_Cancel->click();
    QCOMPARE(f.wave.state.PointOperation, QString());
    QCOMPARE(f.wave.state.RecordLengthMs, 0);
    f.start();
    QCOMPARE(f.messages.last(), QStringLiteral("Please setup the time length of record first."));
}

void tst_WaveWindow::firstLineAndSummary() {
    Fixture f;
    f.setup();
    f.start();
    QVERIFY(f.wave.state.Table);
    QVERIFY(!f.wave.cbb_Time->isEnabled());
    QVERIFY(f.wave.tmr_Scale->isActive());
    f.wave.tmr_ScaleTimer();
    QCOMPARE(f.wave.state.Table->lineCount(), 2);
    QCOMPARE(f.wave.state.Table->line(1), QByteArray("0\t2026-12-6 9:5\t12.000\t1.200\t5.000\t0.250"));
    QCOMPARE(f.wave.summary().at(2), QStringLiteral("Sample: 0"));
    f.wave.tmr_ScaleTimer();
    QCOMPARE(f.wave.summary().at(2), QStringLiteral("Sample: 1"));
    QCOMPARE(f.wave.state.PointCount, 2);
    f.wave.Btn_StopClick();
    QVERIFY(f.wave.cbb_Time->isEnabled());
    QCOMPARE(f.wave.state.Table->lineCount(), 3);  // kept after Stop
}

void tst_WaveWindow::windowFullOnTick301() {
    Fixture f;
    f.setup();
    f.start();
    QCOMPARE(f.clock(f.wave.lbl_TmidH, f.wave.lbl_TmidM, f.wave.lbl_TmidS), QStringLiteral("0:2:30"));
    for (int tick = 1; tick <= 300; ++tick) f.wave.tmr_timeTimer();
    QVERIFY(!f.wave.state.WindowFull);
    QCOMPARE(f.clock(f.wave.lbl_TmaxH, f.wave.lbl_TmaxM, f.wave.lbl_TmaxS), QStringLiteral("0:5:00"));
    f.wave.tmr_timeTimer();
    QVERIFY(f.wave.state.WindowFull);
    QCOMPARE(f.clock(f.wave.lbl_TminH, f.wave.lbl_TminM, f.wave.lbl_TminS), QStringLiteral("0:0:1"));
    QCOMPARE(f.clock(f.wave.lbl_TmidH, f.wave.lbl_TmidM, f.wave.lbl_TmidS), QStringLiteral("0:2:31"));
    QCOMPARE(f.clock(f.wave.lbl_TmaxH, f.wave.lbl_TmaxM, f.wave.lbl_TmaxS), QStringLiteral("0:5:1"));
    QCOMPARE(f.wave.state.TotalS, 301);
    f.wave.tmr_ScaleTimer();  // the total is normalised at the sample tick
    QCOMPARE(f.wave.summary().at(0), QStringLiteral("Total Time:0d 0:5:1"));
}

void tst_WaveWindow::restartKeepsTimerSchedules() {
    Fixture f;
    f.setup();
    f.start();
    const int allId = f.wave.tmr_All->timerId();
    f.wave.tmr_ScaleTimer();
    f.wave.tmr_ScaleTimer();
    f.start();
    QCOMPARE(f.wave.tmr_All->timerId(), allId);  // still the first Start's schedule
    QCOMPARE(f.wave.state.Table->lineCount(), 1);
    QCOMPARE(f.wave.state.PointCount, 0);
    QCOMPARE(f.wave.state.SampleNo, -1);
    f.wave.tmr_ScaleTimer();
    QCOMPARE(f.wave.state.Table->line(1).left(2), QByteArray("0\t"));
}

void tst_WaveWindow::setupDuringRecordingRestartsTimers() {
    Fixture f;
    f.setup();
    f.start();
    const int allId = f.wave.tmr_All->timerId();
    const int sliceId = f.wave.tmr_Scale->timerId();
    QTest::qWait(300);
    f.setup(QStringLiteral("10"), QStringLiteral("2 Seconds"));  // the same choices: schedules kept
    QCOMPARE(f.wave.tmr_All->timerId(), allId);
    QCOMPARE(f.wave.tmr_Scale->timerId(), sliceId);
    QVERIFY(f.wave.tmr_Scale->remainingTime() <= 1900);
    f.setup(QStringLiteral("20"), QStringLiteral("5 Seconds"));
    QVERIFY(f.wave.tmr_All->isActive() && f.wave.tmr_Scale->isActive());
    QCOMPARE(f.wave.tmr_All->interval(), 20 * 60000 + 11000);
    QCOMPARE(f.wave.tmr_Scale->interval(), 5000);
    QVERIFY(f.wave.tmr_All->remainingTime() > 20 * 60000);  // counted again from this OK
    QVERIFY(f.wave.tmr_Scale->remainingTime() > 4500);
}

void tst_WaveWindow::unreadableReadingDoesNotStackBoxes() {
    Fixture f;
    f.setup();
    f.start();
    f.host.readings[2] = QString();  // emptied by an output switched off elsewhere
    int boxes = 0;
    setErrorBoxHook([&](QWidget*, const QString& text) {
        ++boxes;
        QCOMPARE(text, QStringLiteral("'' is not a valid floating point value."));
        f.wave.tmr_ScaleTimer();  // ticks while the box is open
        f.wave.tmr_ScaleTimer();
    });
    f.wave.tmr_ScaleTimer();
    setErrorBoxHook({});
    QCOMPARE(boxes, 1);
    QCOMPARE(f.wave.state.Table->lineCount(), 1);
    QCOMPARE(f.wave.state.SampleNo, -1);
    QCOMPARE(f.wave.summary().at(2), QStringLiteral("Sample: 0"));
}

void tst_WaveWindow::arraysNeverOverflow_data() {
    QTest::addColumn<QString>("span");
    QTest::addColumn<QString>("scale");
    QTest::newRow("20m at 1 s: 1200 slices") << "20m" << "1 Second";
    QTest::newRow("5m at 10 min: no whole slice") << "5m" << "10 mins";
}

void tst_WaveWindow::arraysNeverOverflow() {
    QFETCH(QString, span);
    QFETCH(QString, scale);
    Fixture f;
    f.wave.cbb_Time->setCurrentText(span);
    f.setup(QStringLiteral("10"), scale);
    f.start();
    for (int i = 0; i < 700; ++i) f.wave.tmr_ScaleTimer();
    QVERIFY(f.wave.state.PointCount <= kMaxPoints);
    QCOMPARE(f.wave.state.Table->lineCount(), 701);
}

void tst_WaveWindow::waitForReadingsEndsWhenOutputGoesOff() {
    Fixture f;
    f.setup();
    f.host.readings[1] = QString();
    QTimer::singleShot(100, [&] {
        QVERIFY(f.wave.waitingForReadings());
        f.host.caption = QStringLiteral("OFF");
    });
    f.start();
    QVERIFY(!f.wave.waitingForReadings());
    QVERIFY(!f.wave.state.Table);
    QVERIFY(!f.wave.tmr_Scale->isActive());
    // And a reading that arrives during the wait lets the start go on.
    f.host.caption = QStringLiteral("ON");
    QTimer::singleShot(60, [&] { f.host.readings[1] = QStringLiteral("1.000"); });
    f.start();
    QVERIFY(f.wave.state.Table);
}

// Live drawing shows a level step per sample; a repaint joins the points.
void tst_WaveWindow::liveStepsThenRepaintedLines() {
    Fixture f;
    f.wave.cbb_Time->setCurrentText(QStringLiteral("60m"));
    f.setup(QStringLiteral("10"), QStringLiteral("1 min"));  // 60 slices: a point every 10 columns
    for (QCheckBox* c : {f.wave.fltchckbxckbx2, f.wave.fltchckbxckbx3, f.wave.fltchckbxckbx4}) c->setChecked(false);
    f.start();
    f.host.readings = {"0.000", "0.000", "0.000", "0.000"};
    f.wave.tmr_ScaleTimer();
    f.host.readings[0] = QStringLiteral("12.000");
    f.wave.tmr_ScaleTimer();
    const QColor curve = f.wave.curveColor(f.wave.pnl_Ch1v);
    QCOMPARE(f.wave.state.PointsCh1V[2].x, 20);
    QCOMPARE(f.wave.state.PointsCh1V[2].y, 149);  // 12 V on the 30 V scale
    const QImage& live = f.wave.pb1->canvas();
    QCOMPARE(live.pixelColor(15, 149), curve);  // the step at the new value
    QCOMPARE(live.pixelColor(15, 199), PlotColors::ButtonText);
    f.wave.fltchckbxckbx2->click();  // a check box click repaints
    const QImage& repainted = f.wave.pb1->canvas();
    QCOMPARE(repainted.pixelColor(15, 149), PlotColors::ButtonText);
    QCOMPARE(repainted.pixelColor(15, 199), curve);  // on the line from (10, 249) to (20, 149)
    QCOMPARE(repainted.pixelColor(300, 10), QColor(Qt::white));  // the centre line over everything
    QCOMPARE(repainted.pixelColor(50, 10), PlotColors::AppWorkspace);
}

void tst_WaveWindow::relabelWithoutMovingCurves() {
    Fixture f;
    f.setup();
    f.start();
    f.wave.tmr_ScaleTimer();
    f.wave.Btn_StopClick();
    f.wave.pb1Paint();
    const QImage before = f.wave.pb1->canvas().copy();
    f.wave.cbb_Voltage->setCurrentText(QStringLiteral("5V"));
    f.wave.cbb_Current->setCurrentText(QStringLiteral("0.1A"));
    QCOMPARE(f.wave.lbl_Vmax->text(), QStringLiteral("5"));
    QCOMPARE(f.wave.lbl_Vmid->text(), QStringLiteral("2.5"));
    QCOMPARE(f.wave.lbl_Amax->text(), QStringLiteral("0.1"));
    QCOMPARE(f.wave.lbl1_Amid->text(), QStringLiteral("0.05"));
    f.wave.Btn_RefreshClick();
    QCOMPARE(f.wave.pb1->canvas(), before);
}

void tst_WaveWindow::hourSpanKeepsRightSeconds() {
    Fixture f;
    f.setup();
    f.start();
    for (int tick = 1; tick <= 303; ++tick) f.wave.tmr_timeTimer();
    QCOMPARE(f.wave.lbl_TmaxS->text(), QStringLiteral("3"));
    f.wave.Btn_StopClick();
    f.wave.cbb_Time->setCurrentText(QStringLiteral("60m"));
    QCOMPARE(f.clock(f.wave.lbl_TmaxH, f.wave.lbl_TmaxM, f.wave.lbl_TmaxS), QStringLiteral("1:00:3"));
    QCOMPARE(f.clock(f.wave.lbl_TmidH, f.wave.lbl_TmidM, f.wave.lbl_TmidS), QStringLiteral("0:30:00"));
}

void tst_WaveWindow::extremesOverTheRecord() {
    Fixture f;
    f.setup();
    f.start();
    f.host.readings = {"12.000", "1.200", "5.000", "0.250"};
    f.wave.tmr_ScaleTimer();
    f.host.readings = {"11.000", "1.500", "5.000", "0.100"};
    f.wave.tmr_ScaleTimer();
    f.host.readings = {"11.500", "1.300", "5.000", "0.200"};
    f.wave.tmr_ScaleTimer();
    const QStringList s = f.wave.summary();
    QCOMPARE(s.mid(3), (QStringList{"CH1 Max:12.000V 1.500A", "CH1 Min:11.000V 1.200A", "CH2 Max:5.000V 0.250A",
                                    "CH2 Min:5.000V 0.100A"}));
}

void tst_WaveWindow::returnAndClose() {
    Fixture f;
    f.wave.Btn_Return->click();
    QCOMPARE(f.host.controlShown, 1);
    f.wave.close();
    QCOMPARE(f.host.closed, 1);
}

namespace {
using test::readAll;
using test::writeFile;
QStringList entries(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
}
void pick(QListWidget* list, const QString& text) {
    const auto items = list->findItems(text, Qt::MatchExactly);
    QVERIFY(!items.isEmpty());
    list->setCurrentItem(items.first());
    Q_EMIT list->itemClicked(items.first());
}
}  // namespace

void tst_WaveWindow::saveListAndTwoSavesInASecond() {
    Fixture f;
    f.wave.btn_SaveClick();  // before any Start: nothing
    QVERIFY(entries(f.wave.lst_Load).isEmpty());
    f.setup();
    f.start();
    f.wave.tmr_ScaleTimer();
    f.now = QDateTime(QDate(2026, 12, 6), QTime(21, 5, 33));
    f.wave.btn_SaveClick();
    f.wave.btn_SaveClick();
    QCOMPARE(entries(f.wave.lst_Load), (QStringList{"2026-12-6 21 5 33", "2026-12-6 21 5 33"}));
    const QByteArray expected = "No.\tTime\tCh1 V\tCh1 A\tCh2 V\tCh2 A\r\n"
                                "0\t2026-12-6 9:5\t12.000\t1.200\t5.000\t0.250\r\n";
    QCOMPARE(readAll(f.dir.filePath(QStringLiteral("2026-12-6 21 5 33.txt"))), expected);
}

void tst_WaveWindow::loadMergesAfterTheHeader() {
    Fixture f;
    // Not a record, but a .txt file: listed and merged all the same.
    writeFile(f.dir.filePath(QStringLiteral("notes.TXT")), "any first line\nkept one\r\n\r\nlast");
    f.wave.fillSavedRecordList();
    QCOMPARE(entries(f.wave.lst_Load), QStringList{"notes"});
    f.setup();
    f.start();
    f.wave.tmr_ScaleTimer();
    f.wave.btn_LoadClick();
    QVERIFY(f.wave.lst_Load->isVisible());
    QVERIFY(f.wave.loadMode());
    pick(f.wave.lst_Load, QStringLiteral("notes"));
    QVERIFY(f.wave.lst_Load->isHidden());
    const RecordTable& t = *f.wave.state.Table;
    QCOMPARE(t.lineCount(), 5);
    QCOMPARE(t.line(1), QByteArray("kept one"));
    QCOMPARE(t.line(2), QByteArray());
    QCOMPARE(t.line(3), QByteArray("last"));
    QVERIFY(t.line(4).startsWith("0\t"));
    QCOMPARE(f.wave.state.SampleNo, 0);  // loading does not renumber
    f.wave.tmr_ScaleTimer();
    QVERIFY(t.line(5).startsWith("1\t"));
}

void tst_WaveWindow::loadBeforeAnyStartDropsTheLines() {
    Fixture f;
    writeFile(f.dir.filePath(QStringLiteral("r.txt")), "h\r\nline\r\n");
    f.wave.fillSavedRecordList();
    f.wave.btn_LoadClick();
    pick(f.wave.lst_Load, QStringLiteral("r"));
    QVERIFY(!f.wave.state.Table);
    QVERIFY(f.wave.lst_Load->isHidden());
}

void tst_WaveWindow::deleteModeRefillsTheList() {
    Fixture f;
    writeFile(f.dir.filePath(QStringLiteral("a.txt")), "h\r\n");
    writeFile(f.dir.filePath(QStringLiteral("b.txt")), "h\r\n");
    f.wave.fillSavedRecordList();
    f.wave.btn_DeleteClick();
    QVERIFY(!f.wave.loadMode());
    QCOMPARE(f.wave.lst_Load->palette().color(QPalette::Base), PlotColors::Fuchsia);
    pick(f.wave.lst_Load, QStringLiteral("a"));
    QVERIFY(!QFile::exists(f.dir.filePath(QStringLiteral("a.txt"))));
    QCOMPARE(entries(f.wave.lst_Load), QStringList{"b"});
    QVERIFY(f.wave.lst_Load->isHidden());
}

void tst_WaveWindow::unreadableEntryStaysShown() {
    Fixture f;
    writeFile(f.dir.filePath(QStringLiteral("gone.txt")), "h\r\n");
    f.wave.fillSavedRecordList();
    QFile::remove(f.dir.filePath(QStringLiteral("gone.txt")));
    QStringList shown;
    setErrorBoxHook([&](QWidget*, const QString& text) { shown << text; });
    f.wave.btn_DeleteClick();
    pick(f.wave.lst_Load, QStringLiteral("gone"));
    setErrorBoxHook({});
    QCOMPARE(shown.size(), 1);
    QVERIFY(f.wave.lst_Load->isVisible());
    QCOMPARE(entries(f.wave.lst_Load), QStringList{"gone"});
}

void tst_WaveWindow::exportNames_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("written");
    QTest::newRow("no extension") << "data" << "data.xls";
    QTest::newRow(".txt replaced") << "data.txt" << "data.xls";
    QTest::newRow(".XLS replaced") << "data.XLS" << "data.xls";
    QTest::newRow(".xls kept") << "data.xls" << "data.xls";
}

void tst_WaveWindow::exportNames() {
    QFETCH(QString, chosen);
    QFETCH(QString, written);
    Fixture f;
    f.wave.ChooseExportPath = [&] { return f.dir.filePath(chosen); };
    f.wave.btn_ExportClick();  // before any Start: nothing written
    QVERIFY(!QFile::exists(f.dir.filePath(written)));
    f.setup();
    f.start();
    f.wave.tmr_ScaleTimer();
    f.wave.btn_ExportClick();
    QCOMPARE(readAll(f.dir.filePath(written)), f.wave.state.Table->bytes());
    f.wave.ChooseExportPath = [] { return QString(); };  // cancelled
    f.wave.btn_ExportClick();
}

QTEST_MAIN(tst_WaveWindow)
#include "tst_wave_window.moc"
