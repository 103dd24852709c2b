#include "common/error_box.h"
#include "control_panel/app_windows.h"
#include "control_panel/end_signals.h"
#include "control_panel/messages_box.h"
#include "csv_reader.h"
#include "fifo_guard.h"
#include "modal_watcher.h"
#include "named.h"
#include "recorder/plot_area.h"
#include "recorder/plot_math.h"
#include "recorder/reading_log.h"
#include "recorder/record_files.h"
#include "recorder/record_table.h"
#include "recorder/recorder_host.h"
#include "recorder/wave_window.h"
#include "test_files.h"
#include "undeletable.h"
#include "wait_until.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaMethod>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <QtTest>

#include <signal.h>
#include <unistd.h>
#include <cstdio>
#include <optional>

using namespace lqs;

namespace {

struct FakeHost : RecorderHost {
    QStringList readings{"12.000", "1.200", "5.000", "0.250"};
    QString caption = QStringLiteral("ON");
    int controlShown = 0;
    int closed = 0;
    QString status;
    // Told each time the recorder reads the readings, with the count so far:
    // Start's wait reads them once a pause.
    mutable int readingsRead = 0;
    std::function<void(int)> onReadingsRead;
    QStringList readingTexts() const override {
        ++readingsRead;
        if (onReadingsRead) onReadingsRead(readingsRead);
        return readings;
    }
    QString outputCaption() const override { return caption; }
    void showControlPanel() override { ++controlShown; }
    void closeMainWindow() override { ++closed; }
    void setStatusText(int panel, const QString& text) override {
        if (panel == 0) status = text;
    }
};

// The texts of the error boxes the watcher has answered, with OK.
QStringList errorBoxes(const test::ModalWatcher& boxes) {
    QStringList out;
    for (const auto& seen : boxes.seen)
        if (seen.objectName == QLatin1String("errorBox")) out << seen.text;
    return out;
}

// The answer a question box gets; NoButton: its default.
QAbstractButton* reply(QMessageBox* box, QMessageBox::StandardButton button) {
    return button == QMessageBox::NoButton ? nullptr : box->button(button);
}

// As the keyboard chooses: Home, then Down to the item.
void choose(QComboBox* box, const QString& item) {
    QTest::keyClick(box, Qt::Key_Home);
    for (int i = box->findText(item); i > 0; --i) QTest::keyClick(box, Qt::Key_Down);
    QCOMPARE(box->currentText(), item);
}

// The rows of column x painted in `color`, top down.
QList<int> rowsIn(const QImage& image, int x, const QColor& color) {
    QList<int> rows;
    for (int y = 0; y < image.height(); ++y)
        if (image.pixelColor(x, y) == color) rows << y;
    return rows;
}

// A timer's tick, without waiting for it.
void tick(QTimer* timer) {
    QMetaMethod::fromSignal(&QTimer::timeout).invoke(timer, Qt::DirectConnection);
}

using Answer = std::function<QAbstractButton*(QMessageBox*)>;

// Clicks the recorder's Setup and, in the dialog it opens, makes the choices
// and clicks `button`. A box watcher would close the dialog first, so it is
// stopped meanwhile and then goes on with what it had seen.
void runSetup(TForm_Wave* wave, std::optional<test::ModalWatcher>& boxes, const Answer& answer,
              const std::function<void(QDialog*)>& choose, const char* button = "btn_OK") {
    const bool watched = boxes.has_value();
    const QList<test::ModalWatcher::Seen> seen =
        watched ? boxes->seen : QList<test::ModalWatcher::Seen>();
    boxes.reset();
    QTest::mouseClick(test::named<QPushButton>(wave, "Btn_Setup"), Qt::LeftButton);
    // Opened, not run: the click has returned with the dialog up.
    auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    const bool shown = d && d->objectName() == QLatin1String("Frm_Setup") && d->isVisible();
    if (shown) {
        if (choose) choose(d);
        if (d->isVisible()) QTest::mouseClick(test::named<QPushButton>(d, button), Qt::LeftButton);
    }
    if (watched) {
        boxes.emplace(answer);
        boxes->seen = seen;
    }
    QVERIFY2(shown, "no setup dialog");
}

// The choices a test makes, by text.
std::function<void(QDialog*)> choices(const QString& minutes, const QString& scale,
                                      const QString& seconds) {
    return [=](QDialog* d) {
        test::named<QComboBox>(d, "cbb3")->setCurrentText(minutes);
        test::named<QComboBox>(d, "cbb4")->setCurrentText(seconds);
        test::named<QComboBox>(d, "cbb5")->setCurrentText(scale);
    };
}

QString shownTip() {
    return QToolTip::isVisible() ? QToolTip::text() : QString();
}

struct Fixture {
    QTemporaryDir dir;
    FakeHost host;
    TForm_Wave wave{&host};
    QStringList messages;
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    // No modal box may hold a test.
    Answer answerBox = [this](QMessageBox* b) { return reply(b, answer); };
    std::optional<test::ModalWatcher> boxes{std::in_place, answerBox};
    QDateTime now{QDate(2026, 12, 6), QTime(9, 5, 33)};

    Fixture() {
        wave.RecordDir = dir.path();
        wave.ShowMessage = [this](const QString& m) { messages << m; };
        wave.Now = [this] { return now; };
        wave.resize(766, 451);
        wave.show();
    }
    // The setup dialog's OK with the given choices.
    void setup(const QString& minutes = QStringLiteral("10"),
               const QString& scale = QStringLiteral("2 Seconds"),
               const QString& seconds = QStringLiteral("10")) {
        runSetup(&wave, boxes, answerBox, choices(minutes, scale, seconds));
    }
    void setupWith(const std::function<void(QDialog*)>& choose, const char* button = "btn_OK") {
        runSetup(&wave, boxes, answerBox, choose, button);
    }
    void start() {
        QTest::mouseClick(test::named<QPushButton>(&wave, "Btn_Start"), Qt::LeftButton);
    }
    // A sample a minute on the 60m span: columns 10, 20, 30 and on.
    void recordMinutely(const QList<QStringList>& samples) {
        choose(test::named<QComboBox>(&wave, "cbb_Time"), QStringLiteral("60m"));
        setup(QStringLiteral("10"), QStringLiteral("1 min"));
        start();
        for (const QStringList& readings : samples) {
            host.readings = readings;
            tick(wave.tmr_Scale);
            now = now.addSecs(60);
        }
    }
    // A clock under the plot, "Tmin", "Tmid" or "Tmax", as h:m:s.
    QString clock(const QString& which) const {
        QStringList parts;
        for (const char* part : {"H", "M", "S"})
            parts << test::named<QLabel>(&wave, qPrintable("lbl_" + which + part))->text();
        return parts.join(QLatin1Char(':'));
    }
};

// The whole program, its port not opened, with the recorder in view and a
// setup accepted; its readings are whatever the test writes into Edit1..4.
struct Program {
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
    TForm_Wave* wave = nullptr;
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    Answer answerBox = [this](QMessageBox* b) { return reply(b, answer); };
    std::optional<test::ModalWatcher> boxes{std::in_place, answerBox};

    Program() {
        form.reset(createWindows());
        form->Beep = [](int, int) {};
        form->show();
        test::named<QAction>(form.get(), "Wave1")->trigger();
        wave = form->ensureWaveWindow();
        wave->RecordDir = dir.path();
        runSetup(wave, boxes, answerBox, {});
        // As the link shows an output switched on.
        test::named<QPushButton>(form->centralWidget(), "BitBtn4")->setText(QStringLiteral("ON"));
    }
    void record(int lines) {
        for (int i = 1; i <= 4; ++i) form->setFieldText(i, QStringLiteral("1.000"));
        QTest::mouseClick(test::named<QPushButton>(wave, "Btn_Start"), Qt::LeftButton);
        for (int i = 0; i < lines; ++i) tick(wave->tmr_Scale);
    }
    QStringList records() const { return QDir(dir.path()).entryList({QStringLiteral("*.txt")}); }
};

void clickEntry(QListWidget* list, const QString& text) {
    const auto items = list->findItems(text, Qt::MatchExactly);
    QVERIFY(!items.isEmpty());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(items.first()).center());
}

QStringList entries(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
}

QStringList sorted(QStringList list) {
    list.sort();
    return list;
}

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
    void clockCarriesFromState_data();
    void clockCarriesFromState();
    void restartKeepsTimerSchedules();
    void setupDuringRecordingRestartsTimers();
    void unreadableReadingDoesNotStackBoxes();
    void arraysNeverOverflow_data();
    void arraysNeverOverflow();
    void waitForReadingsEndsWhenOutputGoesOff();
    void curvesFollowTheScale_data();
    void curvesFollowTheScale();
    void liveDrawingMatchesRepaint();
    void hourSpanKeepsRightSeconds();
    void hoverShowsTheSample_data();
    void hoverShowsTheSample();
    void extremesOverTheRecord();
    void fastReadingsRecordThePointOperation_data();
    void fastReadingsRecordThePointOperation();
    void returnAndClose();
    void closingWhileWaitingEndsTheProgram_data();
    void closingWhileWaitingEndsTheProgram();
    void unsavedRecordingOnClose_data();
    void unsavedRecordingOnClose();
    void startAsksOverUnsavedLines_data();
    void startAsksOverUnsavedLines();
    void leftJournalIsToldAsItIs();
    void killedRecordingIsOfferedBack_data();
    void killedRecordingIsOfferedBack();
    void endSignalSavesTheRecording_data();
    void endSignalSavesTheRecording();
    void endSignalWithTheFolderReadOnly_data();
    void endSignalWithTheFolderReadOnly();
    void eachProgramKeepsItsOwnJournal();
    void brokenJournalIsSetAside_data();
    void brokenJournalIsSetAside();
    void noWritableFolder();
    void saysWhereRecordsAreKept();
    void channelOneReadsOnBlack_data();
    void channelOneReadsOnBlack();
    void saveNeverReplaces_data();
    void saveNeverReplaces();
    void entriesKeepTheirFileNames_data();
    void entriesKeepTheirFileNames();
    void loadAndDeleteRefuseWhatIsNotAFile_data();
    void loadAndDeleteRefuseWhatIsNotAFile();
    void loadMergesRecordLines_data();
    void loadMergesRecordLines();
    void loadRefusesWhatIsNotText();
    void loadBeforeAnyStartDropsTheLines();
    void loadingTheSavedRecordAsksFirst_data();
    void loadingTheSavedRecordAsksFirst();
    void deleteAsksAndTheListCanBeLeft();
    void failedDeleteSaysWhy_data();
    void failedDeleteSaysWhy();
    void exportAsksAboutTheFileItWrites_data();
    void exportAsksAboutTheFileItWrites();
    void chargeAndEnergyColumns_data();
    void chargeAndEnergyColumns();
    void tripIsRecordedAndKept_data();
    void tripIsRecordedAndKept();
    void sequenceIsRecordedAndKept_data();
    void sequenceIsRecordedAndKept();
};

void tst_WaveWindow::layoutAndStart() {
    Fixture f;
    QCOMPARE(test::named<PlotArea>(&f.wave, "pb1")->size(), QSize(600, 250));
    QCOMPARE(test::named<QFrame>(&f.wave, "pnl1")->geometry(), QRect(43, 31, 602, 252));
    QCOMPARE(test::named<QListWidget>(&f.wave, "lst_Load")->geometry(), QRect(42, 32, 602, 250));
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isHidden());
    for (QCheckBox* c : {test::named<QCheckBox>(&f.wave, "fltchckbxckbx1"),
                         test::named<QCheckBox>(&f.wave, "fltchckbxckbx2"),
                         test::named<QCheckBox>(&f.wave, "fltchckbxckbx3"),
                         test::named<QCheckBox>(&f.wave, "fltchckbxckbx4")})
        QVERIFY(c->isChecked());
    QVERIFY(!test::named<QCheckBox>(&f.wave, "chk_Ch3V")->isEnabled() &&
            !test::named<QCheckBox>(&f.wave, "chk_Ch3A")->isEnabled());
    QCOMPARE(test::named<QComboBox>(&f.wave, "cbb_Time")->currentText(), QStringLiteral("5m"));
    QCOMPARE(test::named<QComboBox>(&f.wave, "cbb_Voltage")->count(), 23);
    QCOMPARE(test::named<QComboBox>(&f.wave, "cbb_Current")->count(), 21);
    QCOMPARE(f.wave.tmr_time->interval(), 1000);
    for (QTimer* t : {f.wave.tmr_All, f.wave.tmr_Scale, f.wave.tmr_time}) QVERIFY(!t->isActive());
    QCOMPARE(f.wave.summary(), QStringList{QString()});
    QCOMPARE(f.clock(QStringLiteral("Tmin")), QStringLiteral("0:0:0"));
    QCOMPARE(f.clock(QStringLiteral("Tmid")), QStringLiteral("0:2:30"));
    QCOMPARE(f.clock(QStringLiteral("Tmax")), QStringLiteral("0:5:00"));
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
    f.setupWith([](QDialog* d) {
        QCOMPARE(d->windowTitle(), QStringLiteral("Setup"));
        auto* scale = test::named<QComboBox>(d, "cbb5");
        auto* operation = test::named<QComboBox>(d, "cbb6");
        QCOMPARE(test::named<QComboBox>(d, "cbb3")->currentText(), QStringLiteral("10"));
        QCOMPARE(scale->currentText(), QStringLiteral("2 Seconds"));
        QCOMPARE(test::named<QComboBox>(d, "cbb4")->count(), 12);
        choose(scale, QStringLiteral("1 Second"));
        QCOMPARE(operation->currentText(), QStringLiteral("Maximum"));
        QVERIFY(!operation->isEnabled());
        choose(scale, QStringLiteral("5 mins"));
        QVERIFY(operation->isEnabled());
        choose(scale, QStringLiteral("2 Seconds"));
        choose(operation, QStringLiteral("Average"));
        choose(test::named<QComboBox>(d, "clrbx_ch1"), QStringLiteral("Red"));
    });
    QCOMPARE(f.wave.state.RecordLengthMs, 611000);
    QCOMPARE(f.wave.tmr_All->interval(), 611000);
    QCOMPARE(f.wave.state.TimeSliceMs, 2000);
    QCOMPARE(f.wave.tmr_Scale->interval(), 2000);
    QCOMPARE(f.wave.state.PointOperation, QStringLiteral("Average"));
    // Each channel's current in a shade of its voltage's colour.
    QCOMPARE(f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch1v")), QColor(0xFF0000));
    QCOMPARE(f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch1A")),
             ampsColor(QColor(0xFF0000)));
    QCOMPARE(f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch2v")), PlotColors::Lime);
    QCOMPARE(f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch2A")),
             ampsColor(PlotColors::Lime));
    QCOMPARE(f.wave.summary(),
             (QStringList{"Total Time:0d 0:0:0", "Time Slice: 2sec", "Sample: 0", "CH1 Max:V A",
                          "CH1 Min:V A", "CH2 Max:V A", "CH2 Min:V A"}));
    // Nothing chosen: a one-second record. The longest: 691,196,000 ms.
    f.setup(QStringLiteral("0"), QStringLiteral("2 Seconds"), QStringLiteral("0"));
    QCOMPARE(f.wave.state.RecordLengthMs, 1000);
    f.setupWith([](QDialog* d) {
        choose(test::named<QComboBox>(d, "cbb1"), QStringLiteral("7"));
        choose(test::named<QComboBox>(d, "cbb2"), QStringLiteral("23"));
        choose(test::named<QComboBox>(d, "cbb3"), QStringLiteral("59"));
        choose(test::named<QComboBox>(d, "cbb4"), QStringLiteral("55"));
    });
    QCOMPARE(f.wave.state.RecordLengthMs, 691196000);
    QCOMPARE(f.wave.tmr_All->interval(), 691196000);
}

// Cancel, or the dialog closed, after choices unlike the ones in force.
void tst_WaveWindow::setupCancelChangesNothing() {
    Fixture f;
    const QColor ch1 = f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch1v"));
    const auto different = [](QDialog* d) {
        choose(test::named<QComboBox>(d, "cbb3"), QStringLiteral("20"));
        choose(test::named<QComboBox>(d, "cbb5"), QStringLiteral("5 Seconds"));
        choose(test::named<QComboBox>(d, "clrbx_ch1"), QStringLiteral("Red"));
    };
    f.setupWith(different, "btn_Cancel");
    QCOMPARE(f.wave.state.PointOperation, QString());
    QCOMPARE(f.wave.state.RecordLengthMs, 0);
    QCOMPARE(f.wave.summary(), QStringList{QString()});
    QCOMPARE(f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch1v")), ch1);
    f.start();
    QCOMPARE(f.messages.last(), QStringLiteral("Please setup the time length of record first."));
    f.setup();
    f.setupWith([&](QDialog* d) {
        different(d);
        d->close();
    });
    QCOMPARE(f.wave.state.RecordLengthMs, 611000);
    QCOMPARE(f.wave.tmr_Scale->interval(), 2000);
    QCOMPARE(f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch1v")), ch1);
}

void tst_WaveWindow::firstLineAndSummary() {
    Fixture f;
    f.setup();
    f.start();
    QVERIFY(f.wave.state.Table);
    QVERIFY(!test::named<QComboBox>(&f.wave, "cbb_Time")->isEnabled());
    QVERIFY(f.wave.tmr_Scale->isActive());
    tick(f.wave.tmr_Scale);
    QCOMPARE(f.wave.state.Table->lineCount(), 2);
    QCOMPARE(f.wave.state.Table->line(1),
             QByteArray("0\t2026-12-6 9:5\t12.000\t1.200\t5.000\t0.250"));
    QCOMPARE(f.wave.summary().at(2), QStringLiteral("Sample: 0"));
    tick(f.wave.tmr_Scale);
    QCOMPARE(f.wave.summary().at(2), QStringLiteral("Sample: 1"));
    QCOMPARE(f.wave.state.PointCount, 2);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "Btn_Stop"), Qt::LeftButton);
    QVERIFY(test::named<QComboBox>(&f.wave, "cbb_Time")->isEnabled());
    QCOMPARE(f.wave.state.Table->lineCount(), 3);  // kept after Stop
}

void tst_WaveWindow::windowFullOnTick301() {
    Fixture f;
    f.setup();
    f.start();
    QCOMPARE(f.clock(QStringLiteral("Tmid")), QStringLiteral("0:2:30"));
    for (int second = 1; second <= 300; ++second) tick(f.wave.tmr_time);
    QVERIFY(!f.wave.state.WindowFull);
    QCOMPARE(f.clock(QStringLiteral("Tmax")), QStringLiteral("0:5:00"));
    tick(f.wave.tmr_time);
    QVERIFY(f.wave.state.WindowFull);
    QCOMPARE(f.clock(QStringLiteral("Tmin")), QStringLiteral("0:0:1"));
    QCOMPARE(f.clock(QStringLiteral("Tmid")), QStringLiteral("0:2:31"));
    QCOMPARE(f.clock(QStringLiteral("Tmax")), QStringLiteral("0:5:1"));
    QCOMPARE(f.wave.state.TotalS, 301);
    tick(f.wave.tmr_Scale);  // the total is normalised at the sample tick
    QCOMPARE(f.wave.summary().at(0), QStringLiteral("Total Time:0d 0:5:1"));
}

void tst_WaveWindow::clockCarriesFromState_data() {
    QTest::addColumn<int>("seconds");  // on the clock, and counted in the total, before the tick
    QTest::addColumn<QString>("left");
    QTest::addColumn<QString>("mid");
    QTest::addColumn<QString>("right");
    QTest::addColumn<QString>("total");
    QTest::newRow("a minute") << 59 << "0:1:0"
                              << "0:3:30"
                              << "0:6:0"
                              << "Total Time:0d 0:1:0";
    QTest::newRow("an hour") << 3599 << "1:0:0"
                             << "1:2:30"
                             << "1:5:0"
                             << "Total Time:0d 1:0:0";
    QTest::newRow("a day") << 86399 << "24:0:0"
                           << "24:2:30"
                           << "24:5:0"
                           << "Total Time:1d 0:0:0";
}

// The time labels are written from the clock kept in the state, on the 5m span.
void tst_WaveWindow::clockCarriesFromState() {
    QFETCH(int, seconds);
    QFETCH(QString, left);
    QFETCH(QString, mid);
    QFETCH(QString, right);
    QFETCH(QString, total);
    Fixture f;
    f.setup();
    f.start();
    RecorderState& s = f.wave.state;
    s.WindowFull = true;
    s.SecondTicks = 2;
    s.ElapsedH = seconds / 3600;
    s.ElapsedM = seconds / 60 % 60;
    s.ElapsedS = seconds % 60;
    s.TotalS = seconds;
    tick(f.wave.tmr_time);
    QCOMPARE(f.clock(QStringLiteral("Tmin")), left);
    QCOMPARE(f.clock(QStringLiteral("Tmid")), mid);
    QCOMPARE(f.clock(QStringLiteral("Tmax")), right);
    tick(f.wave.tmr_Scale);
    QCOMPARE(f.wave.summary().at(0), total);
}

void tst_WaveWindow::restartKeepsTimerSchedules() {
    Fixture f;
    f.setup();
    f.start();
    const int allId = f.wave.tmr_All->timerId();
    tick(f.wave.tmr_Scale);
    tick(f.wave.tmr_Scale);
    f.start();
    QCOMPARE(f.wave.tmr_All->timerId(), allId);  // still the first Start's schedule
    QCOMPARE(f.wave.state.Table->lineCount(), 1);
    QCOMPARE(f.wave.state.PointCount, 0);
    QCOMPARE(f.wave.state.SampleNo, -1);
    tick(f.wave.tmr_Scale);
    QCOMPARE(f.wave.state.Table->line(1).left(2), QByteArray("0\t"));
}

void tst_WaveWindow::setupDuringRecordingRestartsTimers() {
    Fixture f;
    // Exact, so that the time left tells when the schedule began: a coarse
    // timer may end up to 5 % early or late.
    for (QTimer* t : {f.wave.tmr_All, f.wave.tmr_Scale}) t->setTimerType(Qt::PreciseTimer);
    f.setup();
    f.start();
    const int allId = f.wave.tmr_All->timerId();
    const int sliceId = f.wave.tmr_Scale->timerId();
    // Ids are reused, so the slice runs 100 ms first: a schedule started
    // again would show as more time left.
    QVERIFY(test::waitUntil([&] { return f.wave.tmr_Scale->remainingTime() <= 1900; }));
    f.setup(QStringLiteral("10"), QStringLiteral("2 Seconds"));  // the same choices: schedules kept
    QCOMPARE(f.wave.tmr_All->timerId(), allId);
    QCOMPARE(f.wave.tmr_Scale->timerId(), sliceId);
    QVERIFY(f.wave.tmr_Scale->remainingTime() <= 1900);
    QVERIFY(f.wave.tmr_All->remainingTime() <= 611000 - 100);
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
    // A reading that is not current is no sample: a gap, and no box.
    f.host.readings[2] = QString();
    setErrorBoxHook([](QWidget*, const QString& text) { QFAIL(qPrintable(text)); });
    tick(f.wave.tmr_Scale);
    QCOMPARE(f.wave.state.Table->lineCount(), 1);
    f.host.readings[2] = QStringLiteral("1x.5z");
    int boxes = 0;
    setErrorBoxHook([&](QWidget*, const QString& text) {
        ++boxes;
        QCOMPARE(text, QStringLiteral("'1x.5z' is not a valid floating point value."));
        tick(f.wave.tmr_Scale);  // ticks while the box is open
        tick(f.wave.tmr_Scale);
    });
    tick(f.wave.tmr_Scale);
    setErrorBoxHook({});
    QCOMPARE(boxes, 1);
    QCOMPARE(f.wave.state.Table->lineCount(), 1);
    QCOMPARE(f.wave.state.SampleNo, -1);
    QCOMPARE(f.wave.summary().at(2), QStringLiteral("Sample: 0"));
}

void tst_WaveWindow::arraysNeverOverflow_data() {
    QTest::addColumn<QString>("span");
    QTest::addColumn<QString>("scale");
    QTest::newRow("20m at 1 s: 1200 slices") << "20m"
                                             << "1 Second";
    QTest::newRow("5m at 10 min: no whole slice") << "5m"
                                                  << "10 mins";
}

void tst_WaveWindow::arraysNeverOverflow() {
    QFETCH(QString, span);
    QFETCH(QString, scale);
    Fixture f;
    test::named<QComboBox>(&f.wave, "cbb_Time")->setCurrentText(span);
    f.setup(QStringLiteral("10"), scale);
    f.start();
    for (int i = 0; i < 700; ++i) tick(f.wave.tmr_Scale);
    QVERIFY(f.wave.state.PointCount <= kMaxPoints);
    QCOMPARE(f.wave.state.Table->lineCount(), 701);
}

// Start waits a pause at a time, reading the readings after each, until all
// four are there. The changes come after the third reading, so the wait has
// gone on through several pauses.
void tst_WaveWindow::waitForReadingsEndsWhenOutputGoesOff() {
    Fixture f;
    f.setup();
    f.host.readings[1] = QString();
    f.host.onReadingsRead = [&](int n) {
        if (n != 3) return;
        QVERIFY(f.wave.waitingForReadings());
        f.host.caption = QStringLiteral("OFF");
    };
    f.start();
    QVERIFY(!f.wave.waitingForReadings());
    QVERIFY(!f.wave.state.Table);
    QVERIFY(!f.wave.tmr_Scale->isActive());
    QCOMPARE(f.host.readingsRead, 3);  // the next pause saw the output off
    // And a reading that arrives during the wait lets the start go on.
    f.host.caption = QStringLiteral("ON");
    f.host.readingsRead = 0;
    f.host.onReadingsRead = [&](int n) {
        if (n == 3) f.host.readings[1] = QStringLiteral("1.000");
    };
    f.start();
    QVERIFY(f.wave.state.Table);
    QCOMPARE(f.host.readingsRead, 3);
}

void tst_WaveWindow::curvesFollowTheScale_data() {
    QTest::addColumn<int>("reading");    // the one curve shown: 0 CH1 V, 1 CH1 A, 2 CH2 V, 3 CH2 A
    QTest::addColumn<QString>("scale");  // for that reading
    QTest::addColumn<QString>("span");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("row");  // the curve's middle row at x; -1: none there
    QTest::addColumn<bool>("mark");
    QTest::newRow("12 V, 20 V scale: 60 % up") << 0 << "20v"
                                               << "60m" << 15 << 99 << false;
    QTest::newRow("12 V, 10 V scale: top edge") << 0 << "10V"
                                                << "60m" << 15 << 0 << true;
    QTest::newRow("5 V, 5 V scale: full scale") << 2 << "5V"
                                                << "60m" << 15 << 0 << false;
    QTest::newRow("0.5 A, 0.1 A scale: top edge") << 1 << "0.1A"
                                                  << "60m" << 15 << 0 << true;
    QTest::newRow("-0.01 A: bottom edge") << 3 << "Default"
                                          << "60m" << 15 << 249 << true;
    QTest::newRow("60m span: ended at 30") << 0 << "Default"
                                           << "60m" << 45 << -1 << false;
    QTest::newRow("30m span: ends at 60") << 0 << "Default"
                                          << "30m" << 45 << 149 << false;
}

void tst_WaveWindow::curvesFollowTheScale() {
    QFETCH(int, reading);
    QFETCH(QString, scale);
    QFETCH(QString, span);
    QFETCH(int, x);
    QFETCH(int, row);
    QFETCH(bool, mark);
    Fixture f;
    f.recordMinutely(QList<QStringList>(3, {"12.000", "0.500", "5.000", "-0.010"}));
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "Btn_Stop"), Qt::LeftButton);
    QCheckBox* boxes[] = {test::named<QCheckBox>(&f.wave, "fltchckbxckbx1"),
                          test::named<QCheckBox>(&f.wave, "fltchckbxckbx2"),
                          test::named<QCheckBox>(&f.wave, "fltchckbxckbx3"),
                          test::named<QCheckBox>(&f.wave, "fltchckbxckbx4")};
    for (int i = 0; i < 4; ++i)
        if (i != reading) QTest::mouseClick(boxes[i], Qt::LeftButton);
    choose(reading % 2 ? test::named<QComboBox>(&f.wave, "cbb_Current")
                       : test::named<QComboBox>(&f.wave, "cbb_Voltage"),
           scale);
    choose(test::named<QComboBox>(&f.wave, "cbb_Time"), span);
    const QFrame* swatches[] = {
        test::named<QFrame>(&f.wave, "pnl_Ch1v"), test::named<QFrame>(&f.wave, "pnl_Ch1A"),
        test::named<QFrame>(&f.wave, "pnl_Ch2v"), test::named<QFrame>(&f.wave, "pnl_Ch2A")};
    const QColor color = f.wave.curveColor(swatches[reading]);
    const QImage image = test::named<PlotArea>(&f.wave, "pb1")->grab().toImage();
    const QList<int> rows = rowsIn(image, x, color);
    QCOMPARE(rows.isEmpty(), row < 0);
    if (row < 0) return;
    QVERIFY(rows.contains(row) && rows.first() >= row - 1 && rows.last() <= row + 1);
    // At the first sample a mark reaches 5 rows in from the edge; a thick stroke 1.
    const QList<int> atSample = rowsIn(image, 10, color);
    QCOMPARE(std::max(row - atSample.first(), atSample.last() - row), mark ? 5 : 1);
}

void tst_WaveWindow::liveDrawingMatchesRepaint() {
    Fixture f;
    f.setup(QStringLiteral("10"), QStringLiteral("1 Second"));
    f.start();
    // Curves that cross each other and the grid, off both ends of the scales.
    for (int i = 0; i < 70; ++i) {
        f.host.readings = {
            QString::number(i * 7 % 40 - 5), QString::number(i * 13 % 40 / 10.0 - 0.5),
            QString::number(i * 11 % 40 - 5), QString::number(i * 3 % 40 / 10.0 - 0.5)};
        tick(f.wave.tmr_Scale);
        const QImage live = test::named<PlotArea>(&f.wave, "pb1")->canvas().copy();
        QTest::mouseClick(test::named<QPushButton>(&f.wave, "Btn_Refresh"), Qt::LeftButton);
        QVERIFY2(test::named<PlotArea>(&f.wave, "pb1")->canvas() == live,
                 qPrintable(QStringLiteral("sample %1").arg(i)));
    }
}

// Chosen after the plot scrolled, a span keeps the left edge.
void tst_WaveWindow::hourSpanKeepsRightSeconds() {
    Fixture f;
    f.setup();
    f.start();
    for (int second = 1; second <= 303; ++second) tick(f.wave.tmr_time);
    QCOMPARE(test::named<QLabel>(&f.wave, "lbl_TmaxS")->text(), QStringLiteral("3"));
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "Btn_Stop"), Qt::LeftButton);
    choose(test::named<QComboBox>(&f.wave, "cbb_Time"), QStringLiteral("60m"));
    QCOMPARE(f.clock(QStringLiteral("Tmax")), QStringLiteral("1:0:3"));
    QCOMPARE(f.clock(QStringLiteral("Tmid")), QStringLiteral("0:30:3"));
}

void tst_WaveWindow::hoverShowsTheSample_data() {
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("x");
    QTest::addColumn<QString>("tip");
    const QString first = QStringLiteral("09:05:33 \u2014 CH1 12.00 V 0.500 A, CH2 5.00 V 0.250 A");
    const QString second =
        QStringLiteral("09:06:33 \u2014 CH1 31.00 V 3.100 A, CH2 -0.01 V 0.000 A");
    // Samples at columns 10 and 20.
    QTest::newRow("nearer the first") << 2 << 14 << first;
    QTest::newRow("nearer the second") << 2 << 16 << second;
    QTest::newRow("half a step past the last") << 2 << 25 << second;
    QTest::newRow("past the curves' end") << 2 << 26 << QString();
    QTest::newRow("nothing recorded") << 0 << 10 << QString();
}

void tst_WaveWindow::hoverShowsTheSample() {
    QFETCH(int, samples);
    QFETCH(int, x);
    QFETCH(QString, tip);
    Fixture f;
    f.recordMinutely(QList<QStringList>{
        {"12.000", "0.500", "5.000", "0.250"},
        {"31.000", "3.100", "-0.010",
         "0.000"}}.mid(0, samples));
    if (samples > 0) {
        // First the other sample's tip, which the move under test must replace or hide.
        QTest::mouseMove(test::named<PlotArea>(&f.wave, "pb1"), QPoint(x < 15 ? 20 : 10, 100));
        LQS_TRY_VERIFY(!shownTip().isEmpty() && shownTip() != tip);
    }
    QTest::mouseMove(test::named<PlotArea>(&f.wave, "pb1"), QPoint(x, 100));
    LQS_TRY_COMPARE(shownTip(), tip);
}

void tst_WaveWindow::extremesOverTheRecord() {
    Fixture f;
    f.setup();
    f.start();
    f.host.readings = {"12.000", "1.200", "5.000", "0.250"};
    tick(f.wave.tmr_Scale);
    f.host.readings = {"11.000", "1.500", "5.000", "0.100"};
    tick(f.wave.tmr_Scale);
    f.host.readings = {"11.500", "1.300", "5.000", "0.200"};
    tick(f.wave.tmr_Scale);
    const QStringList s = f.wave.summary();
    QCOMPARE(s.mid(3), (QStringList{"CH1 Max:12.000V 1.500A", "CH1 Min:11.000V 1.200A",
                                    "CH2 Max:5.000V 0.250A", "CH2 Min:5.000V 0.100A"}));
}

void tst_WaveWindow::fastReadingsRecordThePointOperation_data() {
    QTest::addColumn<bool>("fast");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("first");   // the four readings of the first line
    QTest::addColumn<QByteArray>("second");  // and of the second
    QTest::addColumn<QString>("ch1Min");
    QTest::newRow("minimum") << true << "Minimum" << QByteArray("11.900\t1.000\t5.000\t0.200")
                             << QByteArray("12.700\t1.200\t5.000\t0.250")
                             << "CH1 Min:11.900V 1.000A";
    QTest::newRow("average") << true << "Average" << QByteArray("12.133\t1.250\t5.000\t0.267")
                             << QByteArray("12.700\t1.200\t5.000\t0.250")
                             << "CH1 Min:12.133V 1.200A";
    QTest::newRow("off: the readings of the moment")
        << false << "Average" << QByteArray("12.000\t1.200\t5.000\t0.250")
        << QByteArray("12.000\t1.200\t5.000\t0.250") << "CH1 Min:12.000V 1.200A";
}

void tst_WaveWindow::fastReadingsRecordThePointOperation() {
    QFETCH(bool, fast);
    QFETCH(QString, operation);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QString, ch1Min);
    Fixture f;
    f.setupWith([&](QDialog* d) { choose(test::named<QComboBox>(d, "cbb6"), operation); });
    f.wave.setFastReadings(fast);
    f.wave.takeReading(0, QStringLiteral("99.000"));  // before the start: in no slice
    f.start();
    for (const auto& [index, text] : {std::pair{0, "12.100"},
                                      {1, "1.000"},
                                      {3, "0.200"},
                                      {0, "12.400"},
                                      {3, "0.300"},
                                      {1, "1.500"},
                                      {0, "11.900"},
                                      {3, "0.301"}})
        f.wave.takeReading(index, QString::fromLatin1(text));
    tick(f.wave.tmr_Scale);
    f.wave.takeReading(0, QStringLiteral("12.700"));
    tick(f.wave.tmr_Scale);
    QCOMPARE(f.wave.state.Table->line(1), "0\t2026-12-6 9:5\t" + first);
    QCOMPARE(f.wave.state.Table->line(2), "1\t2026-12-6 9:5\t" + second);
    QCOMPARE(f.wave.summary().at(4), ch1Min);
    const double ch1V = first.left(first.indexOf('\t')).toDouble();
    QCOMPARE(f.wave.state.Points[1].values[0], ch1V);  // the plot draws the operation's reading
    // Switching off drops what the slice had.
    f.wave.takeReading(0, QStringLiteral("99.000"));
    f.wave.setFastReadings(false);
    f.wave.setFastReadings(fast);
    tick(f.wave.tmr_Scale);
    QCOMPARE(f.wave.state.Table->line(3), "2\t2026-12-6 9:5\t12.000\t1.200\t5.000\t0.250");
}

void tst_WaveWindow::returnAndClose() {
    Fixture f;
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "Btn_Return"), Qt::LeftButton);
    QCOMPARE(f.host.controlShown, 1);
    f.wave.close();
    QCOMPARE(f.host.closed, 1);
}

// Run as a child process: the program waiting in Start for readings that
// never come, then closed in the given way. It must end, not spin.
static int closeWhileWaiting(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QString how = QString::fromLocal8Bit(argv[2]);
    TForm1* form = createWindows();
    form->Beep = [](int, int) {};
    QObject::connect(form, &TForm1::closed, &app, &QApplication::quit, Qt::QueuedConnection);
    form->show();
    QTimer::singleShot(0, form, [form, how] {
        test::named<QAction>(form, "Wave1")->trigger();
        TForm_Wave* wave = form->ensureWaveWindow();
        wave->state.PointOperation = QStringLiteral("Maximum");  // as after an accepted setup
        // Switched on; no readings yet.
        test::named<QPushButton>(form->centralWidget(), "BitBtn4")->setText(QStringLiteral("ON"));
        // Runs in the wait's first pause: Start has not returned.
        QTimer::singleShot(0, form, [form, wave, how] {
            std::puts(wave->waitingForReadings() ? "waiting" : "not waiting");
            std::fflush(stdout);
            if (how == QLatin1String("close box")) form->close();
            if (how == QLatin1String("Exit")) test::named<QAction>(form, "Exit1")->trigger();
            if (how == QLatin1String("recorder window")) wave->close();
            if (how == QLatin1String("time-out box")) {
                form->windows().Messages->show();
                QTest::mouseClick(test::named<QPushButton>(form->windows().Messages, "Button1"),
                                  Qt::LeftButton);
            }
            if (how == QLatin1String("quit")) QCoreApplication::quit();
        });
        QTest::mouseClick(test::named<QPushButton>(wave, "Btn_Start"), Qt::LeftButton);
        std::puts("wait ended");
        std::fflush(stdout);
        // The time-out box stands the window down and leaves the program
        // running: the wait has ended, so the child ends itself.
        if (how == QLatin1String("time-out box")) QCoreApplication::quit();
    });
    const int rc = app.exec();
    delete form;
    std::fflush(stdout);
    return rc;
}

void tst_WaveWindow::closingWhileWaitingEndsTheProgram_data() {
    QTest::addColumn<QString>("how");
    for (const char* how : {"close box", "Exit", "recorder window", "time-out box", "quit"})
        QTest::newRow(how) << QString::fromLatin1(how);
}

void tst_WaveWindow::closingWhileWaitingEndsTheProgram() {
    QFETCH(QString, how);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--close-while-waiting"), how});
    QVERIFY(child.waitForStarted());
    const bool ended = child.waitForFinished(10000);
    if (!ended) {
        child.kill();
        child.waitForFinished();
    }
    const QByteArray out = child.readAllStandardOutput();
    QVERIFY2(ended, "the program is still running after it was closed");
    QVERIFY2(out.startsWith("waiting\n"), out.constData());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY(out.contains("wait ended"));
}

// Run as a child process: the program as main() sets it up, recording into
// the folder argv[2] every argv[3] ms; prints "line N" once line N is taken.
static int recordInChild(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QString dir = QString::fromLocal8Bit(argv[2]);
    const int sliceMs = QByteArray(argv[3]).toInt();
    TForm_Wave::LocateRecordDir = [dir] { return dir; };
    TForm1* form = createWindows();
    form->Beep = [](int, int) {};
    QObject::connect(form, &TForm1::closed, &app, &QApplication::quit, Qt::QueuedConnection);
    endOnSignals(form);
    form->show();
    QTimer::singleShot(0, form, [form, sliceMs] {
        test::named<QAction>(form, "Wave1")->trigger();
        TForm_Wave* wave = form->ensureWaveWindow();
        std::optional<test::ModalWatcher> none;
        runSetup(wave, none, {}, {});
        wave->tmr_Scale->setInterval(sliceMs);
        wave->tmr_All->setInterval(3600000);  // the record does not end by itself here
        QObject::connect(wave->tmr_Scale, &QTimer::timeout, wave, [wave] {
            // Four readings a slice, as the link would give them.
            static int readings = 0;
            for (int i = 0; i < 4; ++i)
                wave->keepReading(i, QStringLiteral("1.000"), 1.0,
                                  QDateTime::currentMSecsSinceEpoch(),
                                  QDateTime::currentDateTime());
            readings += 4;
            std::printf("readings %d\n", readings);
            std::printf("line %d\n", wave->state.SampleNo + 1);
            std::fflush(stdout);
        });
        test::named<QPushButton>(form->centralWidget(), "BitBtn4")->setText(QStringLiteral("ON"));
        for (int i = 1; i <= 4; ++i) form->setFieldText(i, QStringLiteral("1.000"));
        QTest::mouseClick(test::named<QPushButton>(wave, "Btn_Start"), Qt::LeftButton);
    });
    const int rc = app.exec();
    delete form;
    return rc;
}

// A child recording into dir, once it has printed that `lines` lines are taken.
struct RecordingChild {
    QProcess process;
    int printed = 0;
    int readings = 0;  // kept, as the child said before the line
    RecordingChild(const QString& dir, int sliceMs, int lines,
                   QProcessEnvironment env = QProcessEnvironment::systemEnvironment(),
                   QProcess::ProcessChannelMode channels = QProcess::ForwardedErrorChannel) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(channels);
        process.start(QCoreApplication::applicationFilePath(),
                      {QStringLiteral("--record"), dir, QString::number(sliceMs)});
        while (printed < lines && process.waitForReadyRead(10000)) readLines();
    }
    void readLines() {
        while (process.canReadLine()) {
            const QByteArray l = process.readLine().trimmed();
            if (l.startsWith("line ")) printed = l.mid(5).toInt();
            if (l.startsWith("readings ")) readings = l.mid(9).toInt();
        }
    }
    ~RecordingChild() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
};

// Start's offer of the recordings left in dir, each box answered with the
// button of that text.
struct LeftOffer {
    QString answer;
    std::function<QString()> locate = TForm_Wave::LocateRecordDir;
    test::ModalWatcher boxes{[this](QMessageBox* box) -> QAbstractButton* {
        for (QAbstractButton* button : box->buttons())
            if (button->text() == answer) return button;
        return nullptr;
    }};
    QWidget parent;
    LeftOffer(const QString& dir, const QString& a) : answer(a) {
        TForm_Wave::LocateRecordDir = [dir] { return dir; };
    }
    ~LeftOffer() { TForm_Wave::LocateRecordDir = locate; }
    void run() { offerLeftRecording(&parent); }
};

// The data lines of a record file, numbered from 0 without a gap.
static int checkedDataLines(const QString& path) {
    const QList<QByteArray> lines = test::readAll(path).split('\n');
    if (lines.isEmpty() || lines.first() != RecordTable::header() + '\r' || !lines.last().isEmpty())
        return -1;
    for (int i = 1; i < lines.size() - 1; ++i)
        if (!lines[i].startsWith(QByteArray::number(i - 1) + '\t') ||
            !isRecordLine(lines[i].chopped(1)))
            return -1;
    return int(lines.size()) - 2;
}

void tst_WaveWindow::killedRecordingIsOfferedBack_data() {
    QTest::addColumn<QString>("answer");
    QTest::newRow("Recover") << "Recover";
    QTest::newRow("Discard") << "Discard";
}

// kill -9 while recording; the next start offers the lines back. Each line
// is written to the journal as it is taken, so none the child reported is lost.
void tst_WaveWindow::killedRecordingIsOfferedBack() {
    QFETCH(QString, answer);
    QTemporaryDir dir;
    int printed = 0;
    int readings = 0;
    QString journal;
    {
        RecordingChild child(dir.path(), 10, 5);
        QCOMPARE_GE(child.printed, 5);
        journal = journalPath(dir.path(), child.process.processId());
        child.process.kill();
        QVERIFY(child.process.waitForFinished());
        child.readLines();
        printed = child.printed;
        readings = child.readings;
    }
    QVERIFY(QFileInfo::exists(journal));
    // Every reading the child kept was on disk when it was killed.
    QFile readingsFile(readingsJournalPath(journal));
    QVERIFY(readingsFile.open(QIODevice::ReadOnly));
    ReadingLog kept;
    QVERIFY(readReadingsCsv(&readingsFile, &kept));
    QVERIFY2(kept.size() >= readings && kept.size() <= readings + 4,
             qPrintable(QStringLiteral("%1 of %2").arg(kept.size()).arg(readings)));
    readingsFile.close();

    LeftOffer offer(dir.path(), answer);
    auto& boxes = offer.boxes;
    std::unique_ptr<TForm1> form(createWindows());
    form->show();
    LQS_TRY_COMPARE(boxes.seen.size(), answer == QLatin1String("Recover") ? 2 : 1);
    QVERIFY2(
        QRegularExpression(QStringLiteral("^A recording of \\d+ lines from .+ was not saved\\.$"))
            .match(boxes.seen[0].text)
            .hasMatch(),
        qPrintable(boxes.seen[0].text));
    QVERIFY(!QFileInfo::exists(journal));
    const QStringList records = QDir(dir.path()).entryList({QStringLiteral("*.txt")});
    if (answer == QLatin1String("Discard")) {
        QVERIFY(records.isEmpty());
        QVERIFY(!QFileInfo::exists(readingsJournalPath(journal)));
        return;
    }
    QCOMPARE(records.size(), 1);
    const QString path = dir.filePath(records.first());
    const int lines = checkedDataLines(path);
    QVERIFY2(lines >= printed && lines <= printed + 1, qPrintable(QString::number(lines)));
    QVERIFY(
        boxes.seen[0].text.startsWith(QStringLiteral("A recording of %1 lines from ").arg(lines)));
    // The readings go beside the record, under its name.
    const QString readingsPath = path.chopped(4) + QStringLiteral(" readings.csv");
    QCOMPARE(boxes.seen[1].text, "The recording was recovered to \"" + path +
                                     "\". Its readings are in \"" + readingsPath + "\".");
    QFile recovered(readingsPath);
    QVERIFY(recovered.open(QIODevice::ReadOnly));
    ReadingLog back;
    QVERIFY(readReadingsCsv(&recovered, &back));
    QCOMPARE(back.size(), kept.size());
}

void tst_WaveWindow::endSignalSavesTheRecording_data() {
    QTest::addColumn<int>("signo");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void tst_WaveWindow::endSignalSavesTheRecording() {
    QFETCH(int, signo);
    QTemporaryDir dir;
    RecordingChild child(dir.path(), 10, 3);
    QCOMPARE_GE(child.printed, 3);
    QCOMPARE(::kill(pid_t(child.process.processId()), signo), 0);
    QVERIFY(child.process.waitForFinished(10000));
    child.readLines();
    QCOMPARE(child.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.process.exitCode(), 0);
    const QStringList records = QDir(dir.path()).entryList({QStringLiteral("*.txt")});
    QCOMPARE(records.size(), 1);
    const int lines = checkedDataLines(dir.filePath(records.first()));
    QVERIFY2(lines >= child.printed && lines <= child.printed + 1,
             qPrintable(QString::number(lines)));
    QVERIFY(!QFileInfo::exists(journalPath(dir.path(), child.process.processId())));
}

void tst_WaveWindow::endSignalWithTheFolderReadOnly_data() {
    QTest::addColumn<bool>("dataFolder");  // false: unusable, so the temp folder
    QTest::newRow("the user's data folder") << true;
    QTest::newRow("the temp folder") << false;
}

// The record folder turns read-only under a recording: SIGTERM still saves
// every line, to the next folder that takes it, and says where.
void tst_WaveWindow::endSignalWithTheFolderReadOnly() {
    QFETCH(bool, dataFolder);
    if (::geteuid() == 0) QSKIP("root writes into a read-only folder");
    QTemporaryDir dir, data, temp;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"),
               dataFolder ? data.path() : QStringLiteral("/proc/self/none"));
    env.insert(QStringLiteral("TMPDIR"), temp.path());
    RecordingChild child(dir.path(), 10, 3, env, QProcess::SeparateChannels);
    QCOMPARE_GE(child.printed, 3);
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    const auto writable = qScopeGuard([&] {
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    QCOMPARE(::kill(pid_t(child.process.processId()), SIGTERM), 0);
    QVERIFY(child.process.waitForFinished(10000));
    child.readLines();
    const QString errors = QString::fromLocal8Bit(child.process.readAllStandardError());
    QCOMPARE(child.process.exitCode(), 0);
    QDirIterator it(dataFolder ? data.path() : temp.path(), {QStringLiteral("*.txt")}, QDir::Files,
                    QDirIterator::Subdirectories);
    QVERIFY2(it.hasNext(), qPrintable(errors));
    const QString path = it.next();
    QVERIFY(!it.hasNext());
    QVERIFY2(errors.contains("The recording was saved to \"" + path + "\"."), qPrintable(errors));
    const int lines = checkedDataLines(path);
    QVERIFY2(lines >= child.printed && lines <= child.printed + 1,
             qPrintable(QString::number(lines)));
}

// Two programs recording into one folder each keep a journal of their own; a
// program started meanwhile offers neither; once one is killed, its own is.
void tst_WaveWindow::eachProgramKeepsItsOwnJournal() {
    QTemporaryDir dir;
    RecordingChild a(dir.path(), 10, 3), b(dir.path(), 10, 3);
    QVERIFY(a.printed >= 3 && b.printed >= 3);
    const QString journalB = journalPath(dir.path(), b.process.processId());
    const auto journals = [&] {
        return QDir(dir.path())
            .entryList({QStringLiteral(".recording*.journal")}, QDir::Files | QDir::Hidden,
                       QDir::Name);
    };
    QCOMPARE(journals(),
             sorted({QFileInfo(journalPath(dir.path(), a.process.processId())).fileName(),
                     QFileInfo(journalB).fileName()}));
    LeftOffer offer(dir.path(), QStringLiteral("Discard"));
    offer.run();
    QVERIFY(offer.boxes.seen.isEmpty());
    a.process.kill();
    QVERIFY(a.process.waitForFinished());
    offer.run();
    QCOMPARE(offer.boxes.seen.size(), 1);
    QCOMPARE(offer.boxes.seen[0].objectName, QStringLiteral("leftRecording"));
    QCOMPARE(journals(), QStringList{QFileInfo(journalB).fileName()});
    QCOMPARE(b.process.state(), QProcess::Running);
}

void tst_WaveWindow::brokenJournalIsSetAside_data() {
    QTest::addColumn<QString>("reason");  // the row names the kind of entry
    QTest::newRow("garbage") << "It is not a recording's journal";
    QTest::newRow("too large") << "It is larger than 64 MB";
    QTest::newRow("unreadable") << "Permission denied";
    QTest::newRow("named pipe") << "It is a named pipe, not a file";
    QTest::newRow("link") << "It is a symbolic link, not a file";
}

// A journal that cannot be recovered is told with its name and why, and
// asked about at each start until it is set aside; never deleted.
void tst_WaveWindow::brokenJournalIsSetAside() {
    QFETCH(QString, reason);
    const QString kind = QString::fromLatin1(QTest::currentDataTag());
    QTemporaryDir dir;
    // Earlier versions' name for the garbage; a killed program's for the others.
    const QString name = kind == QLatin1String("garbage") ? QStringLiteral(".recording.journal")
                                                          : QStringLiteral(".recording.42.journal");
    const QString path = dir.filePath(name);
    const QByteArray journal =
        RecordTable::header() + "\r\n0\t2026-12-6 9:5\t1.000\t0.100\t2.000\t0.200\r\n";
    std::optional<test::FifoGuard> fifo;
    if (kind == QLatin1String("garbage")) test::writeFile(path, "\x89PNG\r\n\x1a\n");
    if (kind == QLatin1String("too large")) {
        test::writeFile(path, journal);
        QFile file(path);
        QVERIFY(file.resize(kMaxRecordFileBytes + 1));  // sparse
    }
    if (kind == QLatin1String("unreadable")) {
        if (::geteuid() == 0) QSKIP("root reads a file whatever its mode");
        test::writeFile(path, journal);
        QVERIFY(QFile::setPermissions(path, {}));
    }
    if (kind == QLatin1String("named pipe")) {
        fifo.emplace(path);
        QVERIFY(fifo->made);
    }
    if (kind == QLatin1String("link")) {
        test::writeFile(dir.filePath(QStringLiteral("elsewhere")), journal);
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")), path));
    }
    // What the entry is, to be found again under its new name.
    const auto stamp = [](const QString& p) {
        const QFileInfo i(p);
        return QStringList{i.symLinkTarget(), QString::number(i.size()),
                           QString::number(i.permissions()), QString::number(i.isFile())};
    };
    const QStringList before = stamp(path);

    LeftOffer offer(dir.path(), QStringLiteral("Keep"));
    offer.run();
    QCOMPARE(offer.boxes.seen.size(), 1);
    QCOMPARE(offer.boxes.seen[0].objectName, QStringLiteral("brokenJournal"));
    QVERIFY2(offer.boxes.seen[0].text.contains("\"" + path + "\". " + reason),
             qPrintable(offer.boxes.seen[0].text));
    QCOMPARE(stamp(path), before);
    offer.answer = QStringLiteral("Set Aside");
    offer.run();
    offer.run();  // asked no more
    QCOMPARE(offer.boxes.seen.size(), 2);
    if (fifo) QVERIFY(!fifo->blocked);
    const QStringList aside =
        QDir(dir.path())
            .entryList({name + ".broken-*"}, QDir::AllEntries | QDir::Hidden | QDir::System);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(stamp(dir.filePath(aside[0])), before);
    if (kind == QLatin1String("garbage"))
        QCOMPARE(test::readAll(dir.filePath(aside[0])), QByteArray("\x89PNG\r\n\x1a\n"));
}

void tst_WaveWindow::unsavedRecordingOnClose_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("lines");
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    for (const char* how : {"close box", "Exit", "recorder window"}) {
        const QString h = QString::fromLatin1(how);
        QTest::addRow("%s, Save", how) << h << 2 << QMessageBox::Save;
        QTest::addRow("%s, Discard", how) << h << 2 << QMessageBox::Discard;
        QTest::addRow("%s, Cancel", how) << h << 2 << QMessageBox::Cancel;
    }
    QTest::newRow("nothing recorded: no question") << "close box" << 0 << QMessageBox::Cancel;
}

void tst_WaveWindow::unsavedRecordingOnClose() {
    QFETCH(QString, how);
    QFETCH(int, lines);
    QFETCH(QMessageBox::StandardButton, answer);
    Program p;
    p.answer = answer;
    p.record(lines);
    if (how == QLatin1String("close box")) p.form->close();
    if (how == QLatin1String("Exit")) test::named<QAction>(p.form.get(), "Exit1")->trigger();
    if (how == QLatin1String("recorder window")) p.wave->close();

    if (lines == 0) {
        QVERIFY(p.boxes->seen.isEmpty());
        QVERIFY(!p.form->isVisible());
        return;
    }
    QCOMPARE(p.boxes->seen.size(), 1);
    QCOMPARE(p.boxes->seen[0].text, QStringLiteral("2 recorded lines have not been saved."));
    QCOMPARE(p.form->isVisible(), answer == QMessageBox::Cancel);
    QCOMPARE(p.wave->tmr_Scale->isActive(), answer == QMessageBox::Cancel);  // recording on
    QCOMPARE(p.records().size(), answer == QMessageBox::Save ? 1 : 0);
    // The journal goes with the lines' fate; kept while they are unsaved.
    QCOMPARE(QFileInfo::exists(journalPath(p.dir.path())), answer == QMessageBox::Cancel);
    if (answer == QMessageBox::Cancel)
        QCOMPARE(test::readAll(journalPath(p.dir.path())), p.wave->state.Table->bytes());
    if (answer == QMessageBox::Save)
        QCOMPARE(test::readAll(p.dir.filePath(p.records().first())).count("\r\n"), 3);
}

void tst_WaveWindow::startAsksOverUnsavedLines_data() {
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::newRow("Save") << QMessageBox::Save;
    QTest::newRow("Discard") << QMessageBox::Discard;
    QTest::newRow("Cancel") << QMessageBox::Cancel;
}

// A recording stopped with its lines unsaved (the readings went stale, the
// line was lost): Start asks before it replaces them and the journal.
void tst_WaveWindow::startAsksOverUnsavedLines() {
    QFETCH(QMessageBox::StandardButton, answer);
    Program p;
    p.answer = answer;
    p.record(3);
    QTest::mouseClick(test::named<QPushButton>(p.wave, "Btn_Stop"), Qt::LeftButton);
    const QByteArray recorded = p.wave->state.Table->bytes();
    p.record(0);
    QCOMPARE(p.boxes->seen.size(), 1);
    QCOMPARE(p.boxes->seen[0].text, QStringLiteral("3 recorded lines have not been saved."));
    QCOMPARE(p.wave->tmr_Scale->isActive(), answer != QMessageBox::Cancel);  // a new one runs
    QCOMPARE(p.records().size(), answer == QMessageBox::Save ? 1 : 0);
    if (answer == QMessageBox::Save)
        QCOMPARE(test::readAll(p.dir.filePath(p.records().first())), recorded);
    if (answer == QMessageBox::Cancel) {
        QCOMPARE(p.wave->state.Table->bytes(), recorded);
        QCOMPARE(test::readAll(journalPath(p.dir.path())), recorded);
        QCOMPARE(p.wave->unsavedLines(), 3);
    } else {
        QCOMPARE(p.wave->unsavedLines(), 0);
    }
}

// One line, and the journal's time to the minute it holds: the count and
// the time each in their place, no seconds invented.
void tst_WaveWindow::leftJournalIsToldAsItIs() {
    QTemporaryDir dir;
    test::writeFile(journalPath(dir.path()),
                    RecordTable::header() + "\r\n0\t2026-12-6 9:5\t1.000\t0.100\t2.000\t0.200\r\n");
    LeftOffer offer(dir.path(), QStringLiteral("Discard"));
    auto& boxes = offer.boxes;
    std::unique_ptr<TForm1> form(createWindows());
    form->show();
    LQS_TRY_COMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen[0].text,
             QStringLiteral("A recording of 1 line from 2026-12-06 09:05 was not saved."));
    QVERIFY(!QFileInfo::exists(journalPath(dir.path())));
}

void tst_WaveWindow::noWritableFolder() {
    const auto locate = TForm_Wave::LocateRecordDir;
    const auto restore = qScopeGuard([&] { TForm_Wave::LocateRecordDir = locate; });
    // Nothing can be created in /proc/self, not even by root.
    TForm_Wave::LocateRecordDir = [] {
        return recordDirectory(QStringLiteral("/proc/self"), "/proc/self/records");
    };
    std::optional<test::ModalWatcher> boxes{std::in_place};
    const QString expected =
        QStringLiteral("Cannot create folder \"/proc/self/records\" for the records.");
    {
        FakeHost host;
        std::optional<TForm_Wave> wave;
        try {
            wave.emplace(&host);
        } catch (const std::exception& e) {
            QFAIL(e.what());
        }
        QCOMPARE(errorBoxes(*boxes), QStringList{expected});
        QVERIFY(test::named<QListWidget>(&*wave, "lst_Load")->count() == 0);
        QVERIFY(test::named<QPushButton>(&*wave, "btn_Save")->toolTip().isEmpty());
        wave->show();
        runSetup(&*wave, boxes, {}, {});
        QTest::mouseClick(test::named<QPushButton>(&*wave, "Btn_Start"), Qt::LeftButton);
        tick(wave->tmr_Scale);
        QTest::mouseClick(test::named<QPushButton>(&*wave, "btn_Save"), Qt::LeftButton);
        QCOMPARE(errorBoxes(*boxes), (QStringList{expected, expected}));
        QCOMPARE(wave->unsavedLines(), 1);
        QCOMPARE(test::named<QListWidget>(&*wave, "lst_Load")->count(), 0);
    }
}

void tst_WaveWindow::saysWhereRecordsAreKept() {
    const auto locate = TForm_Wave::LocateRecordDir;
    const auto restore = qScopeGuard([&] { TForm_Wave::LocateRecordDir = locate; });
    QTemporaryDir dir;
    TForm_Wave::LocateRecordDir = [&] { return dir.path(); };
    FakeHost host;
    TForm_Wave wave(&host);
    const QString expected =
        "Records are kept in \"" + QDir::toNativeSeparators(dir.path()) + "\".";
    for (QWidget* w :
         {test::named<QPushButton>(&wave, "btn_Save"), test::named<QPushButton>(&wave, "btn_Load"),
          test::named<QPushButton>(&wave, "btn_Delete")})
        QCOMPARE(w->toolTip(), expected);
}

void tst_WaveWindow::channelOneReadsOnBlack_data() {
    QTest::addColumn<QColor>("highlight");
    QTest::addColumn<QColor>("expected");  // invalid: the highlight itself
    QTest::newRow("the platform's highlight")
        << QApplication::palette().color(QPalette::Highlight) << QColor();
    QTest::newRow("navy: too dark") << QColor(0x00, 0x00, 0x80) << QColor(0x87, 0xCE, 0xFA);
    QTest::newRow("dark blue: 4.4 to 1") << QColor(0x30, 0x70, 0xD8) << QColor(0x87, 0xCE, 0xFA);
    QTest::newRow("orange: readable") << QColor(0xFF, 0xA5, 0x00) << QColor(0xFF, 0xA5, 0x00);
}

void tst_WaveWindow::channelOneReadsOnBlack() {
    QFETCH(QColor, highlight);
    QFETCH(QColor, expected);
    const QPalette saved = QApplication::palette();
    QPalette pal = saved;
    pal.setColor(QPalette::Highlight, highlight);
    QApplication::setPalette(pal);
    const auto restore = qScopeGuard([&] { QApplication::setPalette(saved); });
    {
        Fixture f;
        const QColor ch1 = f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch1v"));
        QCOMPARE(ch1, expected.isValid() ? expected : highlight);
        QVERIFY2(contrastRatio(ch1, QColor(Qt::black)) >= 4.5, qPrintable(ch1.name()));
        QCOMPARE(f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch1A")), ampsColor(ch1));
        // The setup dialog shows it by its name, and OK keeps it.
        f.setupWith([&](QDialog* d) {
            auto* box = test::named<QComboBox>(d, "clrbx_ch1");
            QCOMPARE(box->currentText(), QStringLiteral("Active Caption"));
            QCOMPARE(box->currentData().value<QColor>(), ch1);
            // Its name shows whole beside the chip.
            QStyleOptionComboBox opt;
            opt.initFrom(box);
            const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &opt,
                                                             QStyle::SC_ComboBoxEditField, box);
            QVERIFY(field.width() >= box->iconSize().width() + 4 +
                                         box->fontMetrics().horizontalAdvance(box->currentText()));
        });
        QCOMPARE(f.wave.curveColor(test::named<QFrame>(&f.wave, "pnl_Ch1v")), ch1);
        // And the curve is drawn in it.
        f.start();
        tick(f.wave.tmr_Scale);
        // 12 V on the 30 V scale: row 149, where channel 1's current runs over
        // the middle of its three-pixel stroke.
        QCOMPARE(test::named<PlotArea>(&f.wave, "pb1")->canvas().pixelColor(1, 148), ch1);
    }
}

void tst_WaveWindow::saveNeverReplaces_data() {
    QTest::addColumn<QString>("taken");      // what holds the record's name before the first Save
    QTest::addColumn<QStringList>("saved");  // the file each Save writes
    const QString n = QStringLiteral("2026-12-6 21 5 33");
    QTest::newRow("two saves in one second") << "" << QStringList{n + ".txt", n + " (2).txt"};
    QTest::newRow("clock set back onto earlier records")
        << "records" << QStringList{n + " (3).txt"};
    QTest::newRow("a link to a file elsewhere") << "link" << QStringList{n + " (2).txt"};
    QTest::newRow("a dangling link") << "dangling" << QStringList{n + " (2).txt"};
    QTest::newRow("a named pipe") << "pipe" << QStringList{n + " (2).txt"};
    QTest::newRow("a folder") << "folder" << QStringList{n + " (2).txt"};
}

void tst_WaveWindow::saveNeverReplaces() {
    QFETCH(QString, taken);
    QFETCH(QStringList, saved);
    Fixture f;
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Save"),
                      Qt::LeftButton);  // before any Start: nothing
    QVERIFY(entries(test::named<QListWidget>(&f.wave, "lst_Load")).isEmpty());
    f.now = QDateTime(QDate(2026, 12, 6), QTime(21, 5, 33));
    const QString first = f.dir.filePath(QStringLiteral("2026-12-6 21 5 33.txt"));
    const QString second = f.dir.filePath(QStringLiteral("2026-12-6 21 5 33 (2).txt"));
    const QString target = f.dir.filePath(QStringLiteral("elsewhere/target.txt"));
    const QString missing = f.dir.filePath(QStringLiteral("elsewhere/missing.txt"));
    QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("elsewhere")));
    test::writeFile(target, "target");
    std::optional<test::FifoGuard> pipe;
    if (taken == QLatin1String("records")) {
        test::writeFile(first, "earlier");
        test::writeFile(second, "earlier 2");
    }
    if (taken == QLatin1String("link")) QVERIFY(QFile::link(target, first));
    if (taken == QLatin1String("dangling")) QVERIFY(QFile::link(missing, first));
    if (taken == QLatin1String("pipe")) QVERIFY(pipe.emplace(first).made);
    if (taken == QLatin1String("folder")) QVERIFY(QDir().mkdir(first));
    f.wave.fillSavedRecordList();
    QStringList listed = entries(test::named<QListWidget>(&f.wave, "lst_Load"));

    f.setup();
    f.start();
    QHash<QString, QByteArray> written;
    for (const QString& name : saved) {
        tick(f.wave.tmr_Scale);  // one line more each time, so the files differ
        QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Save"), Qt::LeftButton);
        QCOMPARE(f.wave.unsavedLines(), 0);
        written[name] = f.wave.state.Table->bytes();
        listed << name.chopped(4);
    }
    QVERIFY(errorBoxes(*f.boxes).isEmpty());
    for (auto it = written.cbegin(); it != written.cend(); ++it)
        QCOMPARE(test::readAll(f.dir.filePath(it.key())), it.value());
    QCOMPARE(entries(test::named<QListWidget>(&f.wave, "lst_Load")), listed);
    // Whatever held the name is as it was.
    QCOMPARE(test::readAll(target), QByteArray("target"));
    QVERIFY(!QFileInfo::exists(missing));
    if (taken == QLatin1String("records")) {
        QCOMPARE(test::readAll(first), QByteArray("earlier"));
        QCOMPARE(test::readAll(second), QByteArray("earlier 2"));
    }
    if (taken == QLatin1String("link") || taken == QLatin1String("dangling"))
        QVERIFY(QFileInfo(first).isSymLink());
    if (pipe) QVERIFY(!pipe->blocked);
    if (taken == QLatin1String("folder")) QVERIFY(QFileInfo(first).isDir());
}

void tst_WaveWindow::entriesKeepTheirFileNames_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("file");
    QTest::newRow("Load run") << "Load"
                              << "run"
                              << "run.txt";
    QTest::newRow("Load run.txt") << "Load"
                                  << "run.txt"
                                  << "run.txt.txt";
    QTest::newRow("Delete run") << "Delete"
                                << "run"
                                << "run.txt";
    QTest::newRow("Delete run.txt") << "Delete"
                                    << "run.txt"
                                    << "run.txt.txt";
}

// Only the last ".txt" is left out of an entry, and the entry acts on its
// own file; a folder named like a record is not listed.
void tst_WaveWindow::entriesKeepTheirFileNames() {
    QFETCH(QString, button);
    QFETCH(QString, entry);
    QFETCH(QString, file);
    Fixture f;
    f.answer = QMessageBox::Yes;
    const auto record = [](const QString& name) {
        return (name == QLatin1String("run.txt") ? "1" : "2") +
               QByteArray("\t2026-12-6 8:0\t1\t1\t1\t1");
    };
    for (const QString& name : {QStringLiteral("run.txt"), QStringLiteral("run.txt.txt")})
        test::writeFile(f.dir.filePath(name),
                        RecordTable::header() + "\r\n" + record(name) + "\r\n");
    QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("folder.txt")));
    f.wave.fillSavedRecordList();
    QCOMPARE(sorted(entries(test::named<QListWidget>(&f.wave, "lst_Load"))),
             (QStringList{"run", "run.txt"}));
    f.setup();
    f.start();
    QTest::mouseClick(button == QLatin1String("Load")
                          ? test::named<QPushButton>(&f.wave, "btn_Load")
                          : test::named<QPushButton>(&f.wave, "btn_Delete"),
                      Qt::LeftButton);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), entry);
    QVERIFY(errorBoxes(*f.boxes).isEmpty());
    const QString other = file == QLatin1String("run.txt") ? QStringLiteral("run.txt.txt")
                                                           : QStringLiteral("run.txt");
    QVERIFY(QFile::exists(f.dir.filePath(other)));
    if (button == QLatin1String("Load")) {
        QCOMPARE(f.wave.state.Table->line(1), record(file));
        return;
    }
    QVERIFY(!QFile::exists(f.dir.filePath(file)));
    QCOMPARE(entries(test::named<QListWidget>(&f.wave, "lst_Load")), QStringList{other.chopped(4)});
}

void tst_WaveWindow::loadAndDeleteRefuseWhatIsNotAFile_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("link");
    QTest::addColumn<QString>("reason");
    QTest::newRow("Load: a named pipe") << "Load" << false << "It is a named pipe, not a file.";
    QTest::newRow("Delete: a named pipe") << "Delete" << false << "It is a named pipe, not a file.";
    QTest::newRow("Load: a link to a named pipe")
        << "Load" << true << "It is a link to a named pipe, not a file.";
    QTest::newRow("Delete: a link to a named pipe")
        << "Delete" << true << "It is a link to a named pipe, not a file.";
}

// A record listed earlier and then replaced by a pipe: it is refused at once,
// naming the file, and stays where it is.
void tst_WaveWindow::loadAndDeleteRefuseWhatIsNotAFile() {
    QFETCH(QString, button);
    QFETCH(bool, link);
    QFETCH(QString, reason);
    Fixture f;
    f.answer = QMessageBox::Yes;
    const QString path = f.dir.filePath(QStringLiteral("x.txt"));
    test::writeFile(path, "h\r\nline\r\n");
    f.wave.fillSavedRecordList();
    f.setup();
    f.start();
    tick(f.wave.tmr_Scale);
    QVERIFY(QFile::remove(path));
    test::FifoGuard pipe(link ? f.dir.filePath(QStringLiteral("pipe")) : path);
    QVERIFY(pipe.made);
    if (link) QVERIFY(QFile::link(f.dir.filePath(QStringLiteral("pipe")), path));

    QTest::mouseClick(button == QLatin1String("Load")
                          ? test::named<QPushButton>(&f.wave, "btn_Load")
                          : test::named<QPushButton>(&f.wave, "btn_Delete"),
                      Qt::LeftButton);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("x"));
    QVERIFY(!pipe.blocked);
    QCOMPARE(errorBoxes(*f.boxes), QStringList{"Cannot open file \"" + path + "\". " + reason});
    QVERIFY(QFileInfo(path).isSymLink() || QFileInfo(path).exists());
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isVisible());
    QCOMPARE(f.wave.state.Table->lineCount(), 2);
}

void tst_WaveWindow::loadMergesRecordLines_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<QByteArray>>("merged");
    QTest::addColumn<QString>("status");  // empty: refused
    using L = QList<QByteArray>;
    const QByteArray h = RecordTable::header() + "\r\n";
    const QByteArray r1 = "5\t2026-12-6 8:0\t1.000\t0.100\t2.000\t0.200";
    const QByteArray r2 = "6\t2026-12-6 8:1\t1.001\t0.101\t2.001\t0.201";
    QTest::newRow("record lines") << h + r1 + "\r\n" + r2 + "\r\n" << L{r1, r2} << "Merged 2 lines";
    QTest::newRow("one line") << h + r1 << L{r1} << "Merged 1 line";
    QTest::newRow("others skipped")
        << h + "1\t2\r\n" + r1 + "\r\nroot:x:0:0:root:/root:/bin/bash\r\n\r\n" + r1 + "\t7\t8\r\n" +
               r2
        << L{r1, r2} << "Merged 2 lines; skipped 4 that are not record lines";
    QTest::newRow("one skipped") << h + "x\r\n" + r1 << L{r1}
                                 << "Merged 1 line; skipped 1 that is not a record line";
    QTest::newRow("not a record") << QByteArray("any first line\nkept one\r\n\r\nlast") << L{}
                                  << "";
    const QByteArray c = "\t0.0100\t0.1200\t0.0000\t0.0000";
    QTest::newRow("charge and energy left out")
        << RecordTable::header(true) + "\r\n" + r1 + c + "\r\n" + r2 + c << L{r1, r2}
        << "Merged 2 lines; left out its charge and energy, which this recording does not record";
}

// Only lines of a record merge; they count as unsaved.
void tst_WaveWindow::loadMergesRecordLines() {
    QFETCH(QByteArray, file);
    QFETCH(QList<QByteArray>, merged);
    QFETCH(QString, status);
    Fixture f;
    const QString path = f.dir.filePath(QStringLiteral("notes.TXT"));
    test::writeFile(path, file);
    f.wave.fillSavedRecordList();
    QCOMPARE(entries(test::named<QListWidget>(&f.wave, "lst_Load")), QStringList{"notes"});
    f.setup();
    f.start();
    tick(f.wave.tmr_Scale);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Load"), Qt::LeftButton);
    QCOMPARE(f.wave.savedListMode(), SavedListMode::Load);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("notes"));
    const RecordTable& t = *f.wave.state.Table;
    QCOMPARE(t.lineCount(), 2 + merged.size());
    for (int i = 0; i < merged.size(); ++i) QCOMPARE(t.line(1 + i), merged[i]);
    QVERIFY(t.line(1 + merged.size()).startsWith("0\t"));
    QCOMPARE(f.wave.unsavedLines(), 1 + merged.size());
    if (status.isEmpty()) {
        QCOMPARE(errorBoxes(*f.boxes),
                 QStringList{"Cannot load file \"" + path +
                             "\". Its first line is not the record header, so it is "
                             "not a record."});
        QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isVisible());
        return;
    }
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isHidden());
    QCOMPARE(f.host.status, status);
    QCOMPARE(f.wave.state.SampleNo, 0);  // loading does not renumber
    tick(f.wave.tmr_Scale);
    QVERIFY(t.line(t.lineCount() - 1).startsWith("1\t"));
    // The close asks about the merged lines too.
    f.answer = QMessageBox::Cancel;
    QVERIFY(!f.wave.confirmClose());
    QCOMPARE(f.boxes->seen.last().text,
             QStringLiteral("%1 recorded lines have not been saved.").arg(merged.size() + 2));
}

void tst_WaveWindow::loadRefusesWhatIsNotText() {
    Fixture f;
    const QString path = f.dir.filePath(QStringLiteral("picture.txt"));
    test::writeFile(path, QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    f.wave.fillSavedRecordList();
    f.setup();
    f.start();
    tick(f.wave.tmr_Scale);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Load"), Qt::LeftButton);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("picture"));
    const QStringList shown = errorBoxes(*f.boxes);
    QCOMPARE(shown.size(), 1);
    QVERIFY2(shown[0].startsWith("Cannot load file \"" + path + "\"."), qPrintable(shown[0]));
    QCOMPARE(f.wave.state.Table->lineCount(), 2);
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isVisible());
}

void tst_WaveWindow::loadBeforeAnyStartDropsTheLines() {
    Fixture f;
    test::writeFile(f.dir.filePath(QStringLiteral("r.txt")), "h\r\nline\r\n");
    f.wave.fillSavedRecordList();
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Load"), Qt::LeftButton);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("r"));
    QVERIFY(!f.wave.state.Table);
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isHidden());
    QCOMPARE(f.host.status, QStringLiteral("No recording to merge into"));
}

void tst_WaveWindow::loadingTheSavedRecordAsksFirst_data() {
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::newRow("No: unchanged") << QMessageBox::No;
    QTest::newRow("Yes: merged again") << QMessageBox::Yes;
}

// The record just saved, loaded into the recording it came from, would
// double every line: asked first.
void tst_WaveWindow::loadingTheSavedRecordAsksFirst() {
    QFETCH(QMessageBox::StandardButton, answer);
    Fixture f;
    f.setup();
    f.start();
    for (int i = 0; i < 2; ++i) tick(f.wave.tmr_Scale);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Save"), Qt::LeftButton);
    const QByteArray saved = f.wave.state.Table->bytes();
    f.answer = answer;
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Load"), Qt::LeftButton);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("2026-12-6 9 5 33"));
    QCOMPARE(f.boxes->seen.size(), 1);
    QCOMPARE(f.boxes->seen[0].objectName, QStringLiteral("mergeAgain"));
    QCOMPARE(f.boxes->seen[0].text,
             QStringLiteral("The lines of \"2026-12-6 9 5 33\" are already in this recording. "
                            "Merge them again?"));
    QCOMPARE(f.wave.state.Table->lineCount(), answer == QMessageBox::Yes ? 5 : 3);
    if (answer == QMessageBox::No) QCOMPARE(f.wave.state.Table->bytes(), saved);
    QCOMPARE(f.wave.unsavedLines(), answer == QMessageBox::Yes ? 2 : 0);
}

void tst_WaveWindow::deleteAsksAndTheListCanBeLeft() {
    Fixture f;
    test::writeFile(f.dir.filePath(QStringLiteral("a.txt")), "h\r\n");
    test::writeFile(f.dir.filePath(QStringLiteral("b.txt")), "h\r\n");
    f.wave.fillSavedRecordList();
    const auto open = [&] {
        QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Delete"), Qt::LeftButton);
        QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isVisible());
        QCOMPARE(f.wave.savedListMode(), SavedListMode::Delete);
        QCOMPARE(test::named<QListWidget>(&f.wave, "lst_Load")->palette().color(QPalette::Base),
                 PlotColors::Fuchsia);
    };
    open();
    QTest::keyClick(test::named<QListWidget>(&f.wave, "lst_Load"), Qt::Key_Escape);
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isHidden());
    open();
    QTest::mouseClick(test::named<QListWidget>(&f.wave, "lst1")->viewport(),
                      Qt::LeftButton);  // elsewhere in the window
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isHidden());
    QVERIFY(f.boxes->seen.isEmpty());

    f.answer = QMessageBox::No;
    open();
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("a"));
    QCOMPARE(f.boxes->seen.size(), 1);
    QCOMPARE(f.boxes->seen[0].text, QStringLiteral("Delete a?"));
    QVERIFY(QFile::exists(f.dir.filePath(QStringLiteral("a.txt"))));
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isHidden());

    f.answer = QMessageBox::Yes;
    open();
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("a"));
    QVERIFY(!QFile::exists(f.dir.filePath(QStringLiteral("a.txt"))));
    QCOMPARE(entries(test::named<QListWidget>(&f.wave, "lst_Load")), QStringList{"b"});
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isHidden());
}

void tst_WaveWindow::failedDeleteSaysWhy_data() {
    QTest::addColumn<bool>("gone");
    QTest::newRow("deleted meanwhile") << true;
    QTest::newRow("cannot be deleted") << false;
}

// The error box names the file and says why; it stays listed.
void tst_WaveWindow::failedDeleteSaysWhy() {
    QFETCH(bool, gone);
    Fixture f;
    f.answer = QMessageBox::Yes;
    const QString path = f.dir.filePath(QStringLiteral("kept.txt"));
    test::writeFile(path, "h\r\n");
    f.wave.fillSavedRecordList();
    std::optional<test::Undeletable> undeletable;
    if (gone)
        QVERIFY(QFile::remove(path));
    else if (!undeletable.emplace(path).made)
        QSKIP("no way here to make a file that cannot be deleted");
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Delete"), Qt::LeftButton);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("kept"));
    QCOMPARE(
        errorBoxes(*f.boxes),
        QStringList{gone ? "Cannot open file \"" + path + "\". No such file or directory."
                         : "Cannot delete file \"" + path + "\". " + undeletable->reason + "."});
    QVERIFY(test::named<QListWidget>(&f.wave, "lst_Load")->isVisible());
    QCOMPARE(entries(test::named<QListWidget>(&f.wave, "lst_Load")), QStringList{"kept"});
    QCOMPARE(QFileInfo::exists(path), !gone);
}

void tst_WaveWindow::exportAsksAboutTheFileItWrites_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("csv");
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::addColumn<QString>("written");  // empty: nothing
    QTest::addColumn<QString>(
        "asked");  // the box shown, %1 the folder, %2 its real path; empty: none
    // data.txt and data.xls exist already; link.xls leads to elsewhere/target.xls, and
    // dangling.xls to elsewhere/missing.xls, which does not exist.
    const QString exists = QStringLiteral("\"%1/data.xls\" already exists. Replace it?");
    const QString linked = QStringLiteral(
        "\"%1/link.xls\" is a link to \"%2/elsewhere/target.xls\". Replace "
        "\"%2/elsewhere/target.xls\"?");
    QTest::newRow("data.txt: asks about data.xls, No")
        << "data.txt" << false << QMessageBox::No << "" << exists;
    QTest::newRow("data.txt: asks about data.xls, Yes")
        << "data.txt" << false << QMessageBox::Yes << "data.xls" << exists;
    QTest::newRow("data.XLS: the same")
        << "data.XLS" << false << QMessageBox::Yes << "data.xls" << exists;
    QTest::newRow("link: names its target, No")
        << "link.xls" << false << QMessageBox::No << "" << linked;
    QTest::newRow("link: names its target, Yes")
        << "link.xls" << false << QMessageBox::Yes << "elsewhere/target.xls" << linked;
    QTest::newRow("dangling link: refused")
        << "dangling.xls" << false << QMessageBox::NoButton << ""
        << "Cannot create file \"%1/dangling.xls\". It is a link to \"%1/elsewhere/missing.xls\", "
           "which does not "
           "exist.";
    QTest::newRow("new name") << "new" << false << QMessageBox::NoButton << "new.xls"
                              << "";
    QTest::newRow("CSV, new name") << "data" << true << QMessageBox::NoButton << "data.csv"
                                   << "";
    QTest::newRow("CSV, data.txt") << "data.txt" << true << QMessageBox::NoButton << "data.csv"
                                   << "";
}

// The real file dialog: the name typed into it, Enter, and the filter picked
// with the arrow key.
void tst_WaveWindow::exportAsksAboutTheFileItWrites() {
    QFETCH(QString, typed);
    QFETCH(bool, csv);
    QFETCH(QMessageBox::StandardButton, answer);
    QFETCH(QString, written);
    QFETCH(QString, asked);
    Fixture f;
    f.boxes.reset();
    test::writeFile(f.dir.filePath(QStringLiteral("data.txt")), "old txt");
    test::writeFile(f.dir.filePath(QStringLiteral("data.xls")), "old xls");
    const QString target = f.dir.filePath(QStringLiteral("elsewhere/target.xls"));
    const QString missing = f.dir.filePath(QStringLiteral("elsewhere/missing.xls"));
    QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("elsewhere")));
    test::writeFile(target, "old target");
    QVERIFY(QFile::link(target, f.dir.filePath(QStringLiteral("link.xls"))));
    QVERIFY(QFile::link(missing, f.dir.filePath(QStringLiteral("dangling.xls"))));
    f.setup();
    f.start();
    tick(f.wave.tmr_Scale);
    // A line a spreadsheet must not split: a comma and quotes in its fields.
    f.wave.state.Table->insertAfterHeader(RecordLines::fromBytes("h\r\n2,5\t\"x\"\r\n"), 1);

    QStringList questions;
    QList<QWidget*> handled;
    QTimer driver;
    driver.setInterval(10);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        if (handled.contains(modal)) {
            modal->close();  // still open after its answer: cancelled
            return;
        }
        handled << modal;
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            // Typed outside this timer's slot, so a box the dialog opens gets answered too.
            QMetaObject::invokeMethod(
                dialog,
                [&, dialog] {
                    if (csv)
                        QTest::keyClick(
                            dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo")),
                            Qt::Key_Down);
                    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                    QTest::keyClicks(name, typed);
                    QTest::keyClick(name, Qt::Key_Return);
                },
                Qt::QueuedConnection);
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            questions << box->text();
            QAbstractButton* button = box->button(answer);
            (button ? button : box->defaultButton())->click();
        } else {
            modal->close();
        }
    });
    driver.start();
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Export"), Qt::LeftButton);
    driver.stop();

    QCOMPARE(questions, asked.isEmpty()
                            ? QStringList()
                            : QStringList{asked.arg(f.dir.path(),
                                                    QFileInfo(f.dir.path()).canonicalFilePath())});
    QCOMPARE(test::readAll(f.dir.filePath(QStringLiteral("data.txt"))), QByteArray("old txt"));
    if (written != QLatin1String("data.xls"))
        QCOMPARE(test::readAll(f.dir.filePath(QStringLiteral("data.xls"))), QByteArray("old xls"));
    if (written != QLatin1String("elsewhere/target.xls"))
        QCOMPARE(test::readAll(target), QByteArray("old target"));
    QVERIFY(QFileInfo(f.dir.filePath(QStringLiteral("link.xls"))).isSymLink());
    QVERIFY(!QFileInfo::exists(missing));
    if (written.isEmpty()) return;
    const QByteArray bytes = test::readAll(f.dir.filePath(written));
    const RecordTable& t = *f.wave.state.Table;
    if (!csv) {
        QCOMPARE(bytes, t.bytes());
        return;
    }
    bool ok = false;
    const QList<QList<QByteArray>> records = test::parseCsv(bytes, &ok);
    QVERIFY(ok);
    QCOMPARE(records.size(), t.lineCount());
    for (int i = 0; i < t.lineCount(); ++i) QCOMPARE(records[i], t.line(i).split('\t'));
    QCOMPARE(records[1], (QList<QByteArray>{"2,5", "\"x\""}));
    QCOMPARE(records[2],
             (QList<QByteArray>{"0", "2026-12-6 9:5", "12.000", "1.200", "5.000", "0.250"}));
}

// Off, a saved record is what it has always been, to the byte; on, each line
// carries the counters the link last told, and loads back as it is.
void tst_WaveWindow::chargeAndEnergyColumns_data() {
    QTest::addColumn<bool>("counters");
    QTest::addColumn<QByteArray>("saved");
    QTest::newRow("not recorded") << false
                                  << QByteArray(
                                         "No.\tTime\tCh1 V\tCh1 A\tCh2 V\tCh2 A\r\n"
                                         "0\t2026-12-6 9:5\t12.000\t1.200\t5.000\t0.250\r\n"
                                         "1\t2026-12-6 9:6\t11.900\t1.300\t5.000\t0.000\r\n");
    QTest::newRow("recorded")
        << true
        << QByteArray(
               "No.\tTime\tCh1 V\tCh1 A\tCh2 V\tCh2 A\tCh1 Ah\tCh1 Wh\tCh2 Ah\tCh2 Wh\r\n"
               "0\t2026-12-6 9:5\t12.000\t1.200\t5.000\t0.250\t0.0123\t0.1480\t0.0000\t0.0000\r\n"
               "1\t2026-12-6 9:6\t11.900\t1.300\t5.000\t0.000\t0.0340\t0.4080\t0.0021\t0.0104\r\n");
}

void tst_WaveWindow::chargeAndEnergyColumns() {
    QFETCH(bool, counters);
    QFETCH(QByteArray, saved);
    Fixture f;
    f.setupWith([&](QDialog* d) {
        auto* box = test::named<QCheckBox>(d, "chk_Counters");
        QVERIFY(!box->isChecked());
        QCOMPARE(box->text(), QStringLiteral("Record charge and energy"));
        QVERIFY(box->width() >= box->sizeHint().width());
        if (counters) QTest::mouseClick(box, Qt::LeftButton);
    });
    f.wave.setCounters(1, 0.0123, 0.148);
    f.wave.setCounters(3, 9, 9);  // no such channel
    f.start();
    tick(f.wave.tmr_Scale);
    f.now = f.now.addSecs(60);
    f.host.readings = {"11.900", "1.300", "5.000", "0.000"};
    f.wave.setCounters(1, 0.034, 0.408);
    f.wave.setCounters(2, 0.0021, 0.0104);
    f.wave.setCounters(2, qQNaN(), 1);  // not a count: the last stands
    tick(f.wave.tmr_Scale);
    QCOMPARE(test::readAll(journalPath(f.dir.path())), saved);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "Btn_Stop"), Qt::LeftButton);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Save"), Qt::LeftButton);
    QCOMPARE(test::readAll(f.dir.filePath(QStringLiteral("2026-12-6 9 6 33.txt"))), saved);

    // The dialog shows the choice in force, and a new recording loads it back.
    f.setupWith([&](QDialog* d) {
        QCOMPARE(test::named<QCheckBox>(d, "chk_Counters")->isChecked(), counters);
    });
    f.start();
    tick(f.wave.tmr_Scale);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Load"), Qt::LeftButton);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("2026-12-6 9 6 33"));
    QCOMPARE(f.host.status, QStringLiteral("Merged 2 lines"));
    const QList<QByteArray> lines = saved.split('\n');
    const RecordTable& t = *f.wave.state.Table;
    QCOMPARE(t.lineCount(), 4);
    for (int i = 0; i < 3; ++i) QCOMPARE(t.line(i) + '\r', lines[i]);
}

void tst_WaveWindow::tripIsRecordedAndKept_data() {
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("limit");
    QTest::addColumn<double>("reading");
    QTest::addColumn<double>("level");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("tip");
    QTest::newRow("over-current")
        << 1 << "over-current" << 2.1534 << 2.0 << "A"
        << QByteArray("Trip\t2026-12-6 9:5:34\tCH1\tover-current\t2.153 A\t2.000 A")
        << "CH1 tripped on over-current at 09:05:34: 2.153 A read, limit 2.000 A";
    QTest::newRow("energy budget")
        << 2 << "energy budget" << 0.50004 << 0.5 << "Wh"
        << QByteArray("Trip\t2026-12-6 9:5:34\tCH2\tenergy budget\t0.5000 Wh\t0.5000 Wh")
        << "CH2 tripped on energy budget at 09:05:34: 0.5000 Wh read, limit 0.5000 Wh";
    QTest::newRow("constant current, no level")
        << 1 << "constant current" << 1.0 << 0.0 << ""
        << QByteArray("Trip\t2026-12-6 9:5:34\tCH1\tconstant current\t\t")
        << "CH1 tripped on constant current at 09:05:34";
}

// A trip during a recording is on disk at once, marked on the plot, saved
// among the samples, and loads and recovers with them.
void tst_WaveWindow::tripIsRecordedAndKept() {
    QFETCH(int, channel);
    QFETCH(QString, limit);
    QFETCH(double, reading);
    QFETCH(double, level);
    QFETCH(QString, unit);
    QFETCH(QByteArray, line);
    QFETCH(QString, tip);
    Fixture f;
    f.setup();  // a 2 s slice on the 5 m span: 4 columns a slice
    f.wave.recordTrip(channel, limit, reading, level, unit);  // nothing running
    f.start();
    tick(f.wave.tmr_Scale);
    f.now = f.now.addSecs(1);
    f.wave.recordTrip(channel, limit, reading, level, unit);
    const QString journal = journalPath(f.dir.path());
    QVERIFY(test::readAll(journal).endsWith("\r\n" + line + "\r\n"));
    QCOMPARE(f.wave.unsavedLines(), 2);

    // Half a slice after the sample at column 4.
    auto* plot = test::named<PlotArea>(&f.wave, "pb1");
    QVERIFY(rowsIn(plot->canvas(), 6, PlotColors::Trip).size() > 100);  // dashed, top to bottom
    for (int x : {0, 4, 5, 7, 20}) QVERIFY(rowsIn(plot->canvas(), x, PlotColors::Trip).isEmpty());
    QTest::mouseMove(plot, QPoint(5, 100));  // the sample's tip, and the trip's
    LQS_TRY_VERIFY(shownTip().startsWith("09:05:33") && shownTip().endsWith('\n' + tip));
    QTest::mouseMove(plot, QPoint(9, 100));  // past the sample
    LQS_TRY_COMPARE(shownTip(), tip);

    // A left journal gives the trip back.
    QTemporaryDir killed;
    QVERIFY(QFile::copy(journal, journalPath(killed.path())));
    const auto locate = TForm_Wave::LocateRecordDir;
    const auto restore = qScopeGuard([&] { TForm_Wave::LocateRecordDir = locate; });
    TForm_Wave::LocateRecordDir = [&] { return killed.path(); };
    offerLeftRecording(&f.wave);
    const QStringList recovered = QDir(killed.path()).entryList({QStringLiteral("*.txt")});
    QCOMPARE(recovered.size(), 1);
    QCOMPARE(test::readAll(killed.filePath(recovered[0])).split('\n').value(2), line + '\r');

    f.now = f.now.addSecs(1);
    tick(f.wave.tmr_Scale);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "Btn_Stop"), Qt::LeftButton);
    f.wave.recordTrip(channel, limit, reading, level, unit);  // stopped: not recorded
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Save"), Qt::LeftButton);
    const QList<QByteArray> saved =
        test::readAll(f.dir.filePath(QStringLiteral("2026-12-6 9 5 35.txt"))).split('\n');
    QCOMPARE(saved.size(), 5);
    QCOMPARE(saved[2], line + '\r');
    QVERIFY(saved[3].startsWith("1\t"));

    f.start();
    QVERIFY(rowsIn(plot->canvas(), 6, PlotColors::Trip).isEmpty());  // a new recording, unmarked
    tick(f.wave.tmr_Scale);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Load"), Qt::LeftButton);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("2026-12-6 9 5 35"));
    QCOMPARE(f.host.status, QStringLiteral("Merged 3 lines, 1 of them a trip"));
    QCOMPARE(f.wave.state.Table->line(2), line);
}

void tst_WaveWindow::sequenceIsRecordedAndKept_data() {
    QTest::addColumn<int>("step");  // 0: the sequence's end
    QTest::addColumn<int>("pass");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("tip");
    QTest::addColumn<QString>("status");
    QTest::newRow("step") << 2 << 1 << QByteArray("Step\t2026-12-6 9:5:34\t2\trepeat 1") << "2"
                          << "Sequence step 2, repeat 1, at 09:05:34"
                          << "Merged 3 lines, 1 of them a sequence step";
    QTest::newRow("step of the third repeat")
        << 12 << 3 << QByteArray("Step\t2026-12-6 9:5:34\t12\trepeat 3") << "12"
        << "Sequence step 12, repeat 3, at 09:05:34"
        << "Merged 3 lines, 1 of them a sequence step";
    QTest::newRow("end") << 0 << 0 << QByteArray("Sequence end\t2026-12-6 9:5:34\tStopped.")
                         << "end"
                         << "Sequence ended at 09:05:34: Stopped."
                         << "Merged 3 lines";
}

// A sequence's step or end during a recording is on disk at once, marked on
// the plot apart from a trip, saved among the samples in time order, and
// loads and recovers with them.
void tst_WaveWindow::sequenceIsRecordedAndKept() {
    QFETCH(int, step);
    QFETCH(int, pass);
    QFETCH(QByteArray, line);
    QFETCH(QString, label);
    QFETCH(QString, tip);
    QFETCH(QString, status);
    Fixture f;
    f.setup();  // a 2 s slice on the 5 m span: 4 columns a slice
    const auto mark = [&] {
        if (step > 0)
            f.wave.recordStep(step, pass);
        else
            f.wave.recordPlanEnd(QStringLiteral("Stopped."));
    };
    mark();  // nothing running
    f.start();
    tick(f.wave.tmr_Scale);
    f.now = f.now.addSecs(1);
    mark();
    const QString journal = journalPath(f.dir.path());
    QVERIFY(test::readAll(journal).endsWith("\r\n" + line + "\r\n"));
    QCOMPARE(f.wave.unsavedLines(), 2);

    // Dotted grey half a slice after the sample at column 4, labelled at the top.
    auto* plot = test::named<PlotArea>(&f.wave, "pb1");
    const QImage& canvas = plot->canvas();
    const QList<int> dots = rowsIn(canvas, 6, PlotColors::Step);
    QVERIFY2(dots.size() > 80 && dots.size() < 200, qPrintable(QString::number(dots.size())));
    QVERIFY(dots.last() >= kPlotHeight - 3);
    QVERIFY(rowsIn(canvas, 6, PlotColors::Trip).isEmpty());
    for (int x : {0, 4, 5, 7, 40}) QVERIFY(rowsIn(canvas, x, PlotColors::Step).isEmpty());
    QList<int> labelRows;
    for (int x = 8; x < 30; ++x) labelRows += rowsIn(canvas, x, PlotColors::Step);
    QVERIFY(labelRows.size() > 5);
    QVERIFY(*std::max_element(labelRows.begin(), labelRows.end()) < 12);
    QCOMPARE(f.wave.state.Steps.size(), std::size_t(1));
    QCOMPARE(f.wave.state.Steps[0].label, label);
    QTest::mouseMove(plot, QPoint(100, 100));  // away first: the last row left it at (9, 100)
    QTest::mouseMove(plot, QPoint(9, 100));    // past the sample
    LQS_TRY_COMPARE(shownTip(), tip);

    f.now = f.now.addSecs(1);
    tick(f.wave.tmr_Scale);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "Btn_Stop"), Qt::LeftButton);
    mark();  // stopped: not recorded
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Save"), Qt::LeftButton);
    const QList<QByteArray> saved =
        test::readAll(f.dir.filePath(QStringLiteral("2026-12-6 9 5 35.txt"))).split('\n');
    QCOMPARE(saved.size(), 5);
    QCOMPARE(saved[2], line + '\r');
    QVERIFY(saved[3].startsWith("1\t"));

    f.start();
    QVERIFY(f.wave.state.Steps.empty());  // a new recording, unmarked
    QVERIFY(rowsIn(canvas, 6, PlotColors::Step).isEmpty());
    tick(f.wave.tmr_Scale);
    QTest::mouseClick(test::named<QPushButton>(&f.wave, "btn_Load"), Qt::LeftButton);
    clickEntry(test::named<QListWidget>(&f.wave, "lst_Load"), QStringLiteral("2026-12-6 9 5 35"));
    QCOMPARE(f.host.status, status);
    const RecordTable& t = *f.wave.state.Table;
    QCOMPARE(t.lineCount(), 5);
    QCOMPARE(t.line(1), saved[1].chopped(1));
    QCOMPARE(t.line(2), line);
    QCOMPARE(t.line(3), saved[3].chopped(1));

    // Once the plot scrolls past a mark, it is dropped.
    mark();
    for (int i = 0; i < 302; ++i) tick(f.wave.tmr_time);  // the plot full
    for (int i = 0; i < 3; ++i) tick(f.wave.tmr_Scale);
    mark();
    QCOMPARE(f.wave.state.Steps.size(), std::size_t(1));
}

int main(int argc, char** argv) {
    if (argc > 2 && qstrcmp(argv[1], "--close-while-waiting") == 0)
        return closeWhileWaiting(argc, argv);
    if (argc > 3 && qstrcmp(argv[1], "--record") == 0) return recordInChild(argc, argv);
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    QTEST_SET_MAIN_SOURCE_PATH
    tst_WaveWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wave_window.moc"
