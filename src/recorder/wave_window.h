// TForm_Wave: the recorder window, shown inside the main window. It samples
// the four readings once per time slice into the record table, draws them as
// four curves, and saves, merges, deletes and exports records.
//
// Its layout is wave_window.ui; the code is split by concern: construction,
// buttons and closing (wave_window.cpp), acquisition and the journal
// (wave_acquisition.cpp), the plot and its axes (wave_plot.cpp), and the
// saved-record list (saved_records.cpp).
#pragma once

#include "recorder/reading_log.h"
#include "recorder/record_file_system.h"
#include "recorder/recorder_state.h"
#include "recorder/slice_readings.h"

#include <QDateTime>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QFrame;
class QPainter;

class QTimer;

namespace lqs {

namespace Ui {
class TForm_Wave;
}

class RecorderHost;
class TFrm_Setup;
class ReadingsWindow;

class TForm_Wave : public QWidget {
    Q_OBJECT
public:
    TForm_Wave(RecorderHost* host, QWidget* parent = nullptr);
    ~TForm_Wave() override;

    RecorderState state;

    // The record length, the time slice and the second clock.
    QTimer* tmr_All;
    QTimer* tmr_Scale;
    QTimer* tmr_time;

    // Seams: the clock of the sample ticks and record names, the folder of
    // the record files, the export dialog and the message boxes.
    std::function<QDateTime()> Now = [] { return QDateTime::currentDateTime(); };
    // Empty when no folder could be had; Save then tries again.
    QString RecordDir;
    // How a new window finds its folder; throws EFileError when it cannot.
    static std::function<QString()> LocateRecordDir;
    struct ExportChoice {
        QString path;  // empty: cancelled
        bool csv = false;
        bool readings = false;  // every reading kept, with its time
    };
    std::function<ExportChoice()> ChooseExportPath;
    std::function<void(const QString&)> ShowMessage;
    // The setup dialog created at start-up, used for the first setup.
    QPointer<TFrm_Setup> StartupSetup;

    // The Record menu's items do what these buttons do.
    void Btn_StartClick();
    void Btn_StopClick();
    void Btn_SetupClick();
    void btn_SaveClick();
    void btn_LoadClick();

    // An accepted setup: timers, state, curve colours and a fresh summary.
    void applySetup(const SetupChoices& choices);
    // The last setup applied, which the Setup dialog opens showing.
    const std::optional<SetupChoices>& setupInUse() const { return m_setupInUse; }

    // The colour a swatch gives its curve.
    QColor curveColor(const QFrame* swatch) const;
    QStringList summary() const;
    // Lists the records of RecordDir; the file buttons' tips say where it is.
    void fillSavedRecordList();
    SavedListMode savedListMode() const { return state.SavedList; }
    bool waitingForReadings() const { return m_waiting; }

    // Sample lines recorded or merged since the last Save.
    int unsavedLines() const { return m_unsaved; }
    // Before the program closes: true when nothing unsaved is left to lose,
    // or the operator chose Save (and it was written) or Discard.
    bool confirmClose();
    bool confirmUnsaved(const QString& question);
    // The time-out ends the program without asking: an unsaved recording is
    // saved under the usual name and the operator told where. On failure the
    // error box has said why and the lines stay unsaved. Without telling
    // (a signal, the session's end) no box opens: the outcome goes to stderr,
    // and a record folder that refuses it gives way to the user's data folder,
    // then the temp folder.
    void saveBeforeEnd(bool tellOperator = true);

    // The journal of the recording running, and its once-a-second sync.
    const RecordJournal& journal() const { return m_journal; }
    QTimer* tmr_Journal;

    // With fast readings each sample is the setup's point operation over the
    // readings that came in its slice, not the readings of the moment.
    void setFastReadings(bool on);
    bool fastReadings() const { return m_fast; }

public Q_SLOTS:
    // The output is going off, the link is gone or the program closes: a
    // recording running, or a Start still waiting for its readings, stops.
    void outputStopping();
    // Every new reading while fast readings are on; index 0 to 3 as in
    // RecorderHost::readingTexts(). Ignored while they are off.
    void takeReading(int index, const QString& text);
    // A channel's charge and energy since its counters were cleared, for
    // the lines of a recording that records them.
    void setCounters(int channel, double ampHours, double wattHours);
    // The output's guard tripped: while a recording runs it is recorded
    // among the samples, written to the journal at once and marked on the
    // plot. `limit` names it ("over-voltage"); `unit` is empty for a limit
    // without a level, whose reading and level are then left out.
    void recordTrip(int channel, const QString& limit, double reading, double level,
                    const QString& unit);
    // A sequence's step started (`step` and `pass` counted from 1), or the
    // sequence ended and why: while a recording runs, recorded as a trip is.
    void recordStep(int step, int pass);
    void recordPlanEnd(const QString& why);
    // Every reading while a recording runs, kept with its own time for the
    // readings window and the Readings export: index 0 to 3 as in
    // RecorderHost::readingTexts(), when its reply ended on the link's
    // monotonic clock (ms) and the wall-clock time that maps to.
    void keepReading(int index, const QString& text, double value, qint64 monoMs,
                     const QDateTime& wall);
    // The window that plots the kept readings, with cursors.
    void showReadings();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

Q_SIGNALS:
    void setupApplied(const SetupChoices& choices);

private:
    // wave_window.cpp
    void connectControls();
    void FormShow();
    void Btn_RefreshClick();
    void Btn_ReturnClick();
    void setCurveColor(QFrame* swatch, const QColor& color);
    void setSummary(const QStringList& lines);
    bool askYesNo(const QString& text, const char* name);

    // wave_acquisition.cpp
    void tmr_AllTimer();
    void tmr_ScaleTimer();
    void tmr_timeTimer();
    bool Panduandaodian() const;
    void setChoosersEnabled(bool enabled);
    void trackExtremes(const QStringList& readings, const double (&values)[4]);
    QString extremeLine(int channel, bool max) const;
    void startJournal();
    void journalFailed(const QString& why);
    // The line just added to the table, to the journal when it is kept.
    void journalLastLine(bool sync);
    // Where a mark at `when` falls among the samples, as TripMark::at gives it.
    double markAt(const QDateTime& when) const;
    void addStepMark(const QDateTime& when, const QByteArray& line, const QString& label,
                     const QString& text);

    // wave_plot.cpp
    void pb1Paint();
    void drawPlot(QPainter& p, qreal lineScale) const;
    void cbb_TimeChange();
    void cbb_VoltageChange();
    void cbb_CurrentChange();
    // The time labels under the plot, written from the clock in state.
    void resetTimeLabels();
    void showTimeLabels();
    // Time slices across the plot: the span chosen now, the slice the
    // samples were taken at.
    int plotSlices() const;
    int sampleAt(int x) const;
    // The column of a position among the samples, as TripMark::at gives it.
    double columnOf(double at) const;
    void showSampleTip(const QPoint& pos);

    // kept_readings.cpp
    void startKeptReadings(const QDateTime& started);
    void stopKeptReadings(bool remove);
    // Throws EFileError.
    void exportReadings(const QString& path);

    // saved_records.cpp
    void btn_DeleteClick();
    void btn_ExportClick();
    void lst_LoadClick();
    void showSavedRecordList(SavedListMode mode);
    void hideSavedRecordList();
    // Writes the table under a new name in the record folder and lists it;
    // returns the path. Throws EFileError.
    QString saveRecord();
    void addSavedRecord(const QString& fileName);

    std::unique_ptr<Ui::TForm_Wave> ui;
    // Where each part lies in the window's designed size, after fitting its text.
    std::vector<std::pair<QWidget*, QRect>> m_designed;
    QSize m_designedSize;
    RecorderHost* m_host;
    RecordJournal m_journal;
    bool m_waiting = false;
    bool m_stopWaiting = false;
    bool m_tickErrorShown = false;
    int m_unsaved = 0;
    bool m_fast = false;
    std::optional<SetupChoices> m_setupInUse;
    SliceReadings m_slice;
    std::unique_ptr<ReadingLog> m_readings = std::make_unique<ReadingLog>();
    std::optional<ReadingsCsvRows> m_readingRows;
    RecordJournal m_readingsJournal;
    QPointer<ReadingsWindow> m_readingsWindow;
    // The first reading's time on the link's clock, and where it falls
    // after the recording's start.
    qint64 m_anchorMono = -1;
    qint64 m_anchorMs = 0;
    std::array<double, 4> m_counters{};  // Ch1 Ah, Ch1 Wh, Ch2 Ah, Ch2 Wh
    // True extremes over the record, as the summary's Max and Min lines
    // promise: [channel][0 volts, 1 amperes].
    struct Extreme {
        bool set = false;
        double value = 0;
        QString text;
    };
    Extreme m_max[2][2], m_min[2][2];
};

// At start-up: each recording a killed program left in a journal in the
// record folder is offered back, to be written as a record file or discarded;
// a journal that cannot be read, to be set aside under another name.
void offerLeftRecording(QWidget* parent);

}  // namespace lqs
