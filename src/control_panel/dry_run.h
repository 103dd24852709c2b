// A plan run against the built-in simulator in accelerated time, never
// touching the instrument: what the readings would be over time, and what
// the plan check refuses, by step.
#pragma once

#include "device_link/step_plan.h"

#include <QString>

#include <array>
#include <atomic>
#include <vector>

namespace lqs {

struct DryRunSetup {
    int modelIndex = 2;
    Coupling coupling = Coupling::Independent;
    Envelope envelope;
    std::array<double, 2> loadOhms{10.0, 10.0};  // resistive; 0 or less: nothing connected
    HeldValues start{};  // the set points before the run; blank: the simulator's
};

struct DrySample {
    double seconds = 0;  // from the run's start
    int channel = 1;
    double volts = 0;
    double amps = 0;
};

struct DryRunResult {
    std::vector<PlanViolation> violations;  // the run did not start when any
    std::vector<DrySample> samples;         // each channel's reading pairs, in time order
    std::vector<double> stepStarts;         // seconds from the run's start
    PlanEnd end = PlanEnd::Refused;
    QString why;
    double seconds = 0;      // the run's length on the simulator's clock
    bool cancelled = false;  // given up before its end: nothing in it is complete
};

// Runs in the calling thread; returns when the plan has ended. A plan that
// repeats until stopped is stopped after `limitSeconds` of simulated time.
// `cancel`, set from another thread, ends it early: a week-long plan takes
// minutes to simulate.
DryRunResult dryRunPlan(const StepPlan& plan, const DryRunSetup& setup,
                        double limitSeconds = 7 * 24 * 3600.0,
                        const std::atomic<bool>* cancel = nullptr);

}  // namespace lqs
