// The sequence editor: a plan of steps typed into a table, checked on every
// edit against the model, the coupling and the operator's envelope, drawn as
// it should run, tried on the simulator, saved and loaded as CSV, and run on
// the link with its progress and its readings shown as they come.
#pragma once

#include "control_panel/dry_run.h"
#include "device_link/link_types.h"
#include "device_link/step_plan.h"

#include <QDialog>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QThread;
class QTimer;
class QWidget;

namespace lqs {

class LinkClient;
class SequencePlot;

// The line's pace as the estimates below see it.
struct LinePace {
    int baud = 9600;      // 10 bits a byte
    double replyMs = 50;  // from a query's last byte to its reply
    double gapMs = 20;    // the link's pause between one exchange and the next
};

// How long one frame takes: its bytes on the line, a reply of replyBytes
// (none when 0) with the instrument's answer time, and the pause after it.
double exchangeMs(int frameBytes, int replyBytes, const LinePace& pace);

// The time a step needs before its values hold: each set point sent and read
// back, the output switched and its state asked, a coupling or a recall sent.
std::chrono::milliseconds stepSendTime(const PlanStep& step, int modelIndex, const LinePace& pace);

// A ramp as the line lets it out: one value in flight per ramped quantity,
// the quantities ramped together sharing the line.
struct RampPace {
    int subSteps = 0;
    double stepSize = 0;                 // each sub-step's change
    std::chrono::milliseconds every{0};  // between sub-steps
    double perSecond = 0;                // the slope over the dwell
};
RampPace rampPace(double from, double to, std::chrono::milliseconds dwell, int modelIndex,
                  const LinePace& pace, int rampedTogether = 1, int passMs = 1);

class SequenceEditor : public QDialog {
    Q_OBJECT
public:
    // coupling: the one the main window shows now; the link's news keeps it.
    SequenceEditor(LinkClient* client, Coupling coupling, QWidget* parent = nullptr);
    ~SequenceEditor() override;

    // The plan as the table and the settings give it; cells that are not
    // numbers count as blank (and are listed as problems).
    const StepPlan& plan() const { return m_plan; }
    Envelope envelope() const;
    void planToTable(const StepPlan& plan);
    // False with the reason in *why (saveTo) or said in a box (loadFrom).
    bool saveTo(const QString& path, QString* why = nullptr);
    bool loadFrom(const QString& path);
    bool running() const { return m_running; }
    // Closing gives up a dry run under way.
    void done(int result) override;

Q_SIGNALS:
    void dryRunFinished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct RowText;  // one table row as typed
    void buildWindow();
    void addTableRow(int at, const RowText& row);
    RowText readRow(int row) const;
    std::vector<RowText> readRows() const;
    void writeRows(const std::vector<RowText>& rows);
    std::vector<int> selectedRows() const;
    void selectRows(int first, int count);
    void tableToPlan();
    void edited();
    void recheck();
    void showRunState();
    void setRowEditable(int row, bool editable);
    void showProgress();
    LinePace pace() const;
    HeldValues heldNow() const;

    void addStep();
    void removeSteps();
    void moveSteps(int by);
    void copySteps();
    void runClicked();
    void stepStarted(int pass, int step);
    void planEnded(PlanEnd end, const QString& why);
    void reading(const Reading& r);
    void dryRunClicked();
    void dryRunDone(const DryRunResult& result);
    void cancelDryRun();
    void saveClicked();
    void loadClicked();
    void recordToggled(bool on);

    LinkClient* m_client;
    Coupling m_coupling;
    StepPlan m_plan;
    bool m_filling = false;  // the table is being written, not edited
    bool m_errors = false;   // problems beyond warnings
    bool m_running = false;
    int m_pass = 0;
    int m_step = 0;
    std::chrono::steady_clock::time_point m_runStart;
    std::chrono::steady_clock::time_point m_stepStart;
    std::chrono::steady_clock::duration m_pausedFor{};  // in the step under way
    std::optional<std::chrono::steady_clock::time_point> m_pausedAt;
    QString m_endText;
    QString m_dryText;
    std::vector<QString> m_dryProblems;
    QThread* m_dryThread = nullptr;
    std::shared_ptr<std::atomic<bool>> m_dryCancel;  // the one under way's
    StepPlan m_dryPlan;  // the plan the dry run under way or last done ran
    HeldValues m_dryStart{};
    LinePace m_checkedPace;

    QTableWidget* m_table = nullptr;
    std::vector<QWidget*> m_locked;  // read-only while a run goes
    QSpinBox* m_repeats = nullptr;
    QComboBox* m_endState = nullptr;
    std::array<QDoubleSpinBox*, 2> m_maxVolts{};
    std::array<QDoubleSpinBox*, 2> m_maxAmps{};
    std::array<QDoubleSpinBox*, 2> m_maxWatts{};
    QDoubleSpinBox* m_maxDuration = nullptr;
    std::array<QDoubleSpinBox*, 2> m_loads{};
    QListWidget* m_problems = nullptr;
    QPushButton* m_run = nullptr;
    QPushButton* m_pause = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_dryRun = nullptr;
    QPushButton* m_record = nullptr;
    QLabel* m_progress = nullptr;
    QTimer* m_tick = nullptr;  // the time left, while a run goes
    QLabel* m_dryLabel = nullptr;
    SequencePlot* m_plot = nullptr;
};

}  // namespace lqs
