// A plan of steps an operator runs on the instrument: set points, the
// output, a dwell or a ramp, and an end condition per step; repeated, and
// left in the end state the operator chose. Pure: the envelope check, the
// values each step leaves, the deadline of each step and the CSV form are
// worked out here without a line or a clock, so the editor, a script and the
// runner see the same plan.
#pragma once

#include "device_link/link_types.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <array>
#include <chrono>
#include <optional>
#include <vector>

namespace lqs {

struct ChannelTarget {
    std::optional<double> volts;  // empty: keeps what the previous step left
    std::optional<double> amps;
};

enum class OutputChange : std::uint8_t { Unchanged, On, Off };

struct EndCondition {
    enum class Kind : std::uint8_t {
        None,
        VoltageAtLeast,
        VoltageAtMost,
        CurrentAtLeast,
        CurrentAtMost,
        EntersCc,
        EntersCv,
        ChargeReached,  // Ah since the step began
        EnergyReached,  // Wh since the step began
        Operator,       // the operator's Next
    };
    Kind kind = Kind::None;
    int channel = 1;
    double level = 0;
    bool operator==(const EndCondition&) const = default;
};

struct PlanStep {
    // Before the set points: a coupling to choose, a memory (1 to 4) to recall.
    std::optional<Coupling> coupling;
    int recall = 0;  // 0: none
    std::array<ChannelTarget, 2> channels{};
    OutputChange output = OutputChange::Unchanged;
    std::chrono::milliseconds dwell{1000};
    // From the previous step's values to this one's, linearly over the dwell.
    bool ramp = false;
    EndCondition until{};  // may end the dwell early
};

enum class EndState : std::uint8_t { OutputOff, HoldLast, BackToFirst };

struct StepPlan {
    std::vector<PlanStep> steps;
    int repeats = 1;  // 0: until stopped
    EndState end = EndState::OutputOff;
};

bool operator==(const ChannelTarget& a, const ChannelTarget& b);
bool operator==(const PlanStep& a, const PlanStep& b);
bool operator==(const StepPlan& a, const StepPlan& b);

// The most a run may ask of each channel, and for how long.
struct Envelope {
    std::array<double, 2> maxVolts{};  // 0: no limit beyond the model's
    std::array<double, 2> maxAmps{};
    std::array<double, 2> maxWatts{};  // the set points' product: the most a load can draw
    std::chrono::milliseconds maxDuration{0};
};

// How a run ended.
enum class PlanEnd : std::uint8_t { Completed, Stopped, Tripped, LineLost, Refused };

struct PlanViolation {
    int step = 0;  // 1-based; 0 for the plan as a whole
    QString what;
    bool coupling = false;  // refused by the coupling, not by a range
};

// Every set point the plan gives, checked against the model's ranges, the
// envelope and the coupling (a channel 2 value that follows channel 1 is
// refused), each named by its step. Empty when the plan may run.
std::vector<PlanViolation> checkPlan(const StepPlan& plan, int modelIndex, Coupling coupling,
                                     const Envelope& envelope);

// What each channel holds after each step, blanks filled from the step
// before and the first step's from `start`.
using HeldValues = std::array<ChannelTarget, 2>;
std::vector<HeldValues> heldAfterEachStep(const StepPlan& plan, const HeldValues& start);

// One pass through the steps at their full dwell; a plan repeated until
// stopped has no end.
std::chrono::milliseconds passDuration(const StepPlan& plan);
std::optional<std::chrono::milliseconds> planDuration(const StepPlan& plan);

// Where step `index` of pass `pass` (both from 0) starts, from the run's
// start, when no step ends early: a deadline, so a late step does not
// push every later one.
std::chrono::milliseconds stepDeadline(const StepPlan& plan, int pass, int index);

// The sub-steps of a ramp from `from` to `to` over `dwell`: at most one per
// `interval`, none finer than the model's step. Each point is the offset from
// the step's start and the value sent then; the last one is `to`.
// The finest grain of a ramp at `baud`: one set-point frame's time on the
// line, so that sub-steps never queue up behind each other.
std::chrono::milliseconds rampInterval(int baud);
struct RampPoint {
    std::chrono::milliseconds at;
    double value;
};
std::vector<RampPoint> rampPoints(double from, double to, std::chrono::milliseconds dwell,
                                  std::chrono::milliseconds interval, double modelStep);

// The CSV form, a header row naming the columns and one row per step, with
// the repeat count and end state in a leading comment-free settings row.
QByteArray planToCsv(const StepPlan& plan);
// Empty `error` on success; otherwise it names the line and what is wrong.
StepPlan planFromCsv(const QByteArray& csv, QString* error);

}  // namespace lqs

Q_DECLARE_METATYPE(lqs::StepPlan)
Q_DECLARE_METATYPE(lqs::Envelope)
Q_DECLARE_METATYPE(lqs::PlanEnd)

namespace lqs {

// Turns what the operator does into steps with their timing: each set
// point or output switch begins a step (those within `together` of the first
// join it), and each step dwells until the next one began.
class ActionRecorder {
public:
    using Time = std::chrono::steady_clock::time_point;
    explicit ActionRecorder(std::chrono::milliseconds together = std::chrono::milliseconds(300))
        : m_together(together) {}
    void start(Time at);
    bool recording() const { return m_started.has_value(); }
    void setPoint(Time at, int channel, bool volts, double value);
    void output(Time at, bool on);
    void coupling(Time at, Coupling c);
    void recall(Time at, int slot);
    // The steps so far, the last one dwelling until `at`; recording ends.
    StepPlan finish(Time at);

private:
    PlanStep& stepAt(Time at);
    std::chrono::milliseconds m_together;
    std::optional<Time> m_started;
    std::optional<Time> m_stepBegan;
    StepPlan m_plan;
};

}  // namespace lqs
