// The words the link and its callers share: channels and quantities, the
// output's state, the coupling, the link's mode, a reading with its own time,
// and the pauses of the instrument's sequences.
#pragma once

#include "device_link/scheduler.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <cstdint>

namespace lqs {

enum class Quantity : std::uint8_t { Voltage, Current };

// Off and On as the instrument said or was last told; Unknown until it has
// said, and again once the line is lost or a link is cancelled.
enum class OutputState : std::uint8_t { Off, On, Unknown };

// The coupling buttons, numbered as the window numbers them.
enum class Coupling : std::uint8_t { Independent = 1, Parallel = 2, Tracking = 3 };

// What the link is doing; one value at a time, changed in one place.
enum class LinkMode : std::uint8_t {
    Unlinked,      // no link yet, or the start-up query was cancelled
    Linking,       // the start-up query runs
    Linked,        // the link stands, the output is off: nothing is polled
    Polling,       // the output is on: the nine-query cycle runs
    FastReadings,  // the output is on: the measured values are asked one after another
    Recalling,     // a memory recall runs
    TimedOut,      // a reply is missing: the countdown and the time-out box
    LineLost,      // the device went away under the open port
};

// Whether the link stands: the instrument answered the start-up query and
// has not gone away since.
inline bool standing(LinkMode m) {
    return m == LinkMode::Linked || m == LinkMode::Polling || m == LinkMode::FastReadings ||
           m == LinkMode::Recalling;
}

// Why the readings on screen stopped being current.
enum class StaleReason : std::uint8_t { NoReply, LineLost };

// A measured value as the instrument replied it, with when its reply ended
// on the link's clock and the wall-clock time that maps to.
struct Reading {
    int channel = 1;
    Quantity quantity = Quantity::Voltage;
    double value = 0;
    QString text;  // exactly as received, without the terminators
    LinkTime at;
    QDateTime wall;
};

// The output as the window shows it: its state, and where the commands
// queued for it will leave it (the same when none is queued).
struct OutputView {
    OutputState state = OutputState::Off;
    OutputState target = OutputState::Off;
    QDateTime since;  // when the state last changed
    bool pending() const { return target != state; }
};

// Each command a caller gives gets one; 0 when the caller does not care.
using Ticket = std::uint64_t;

// Who gave a command. A set point typed over one from the window that still
// waits replaces it; a script's commands each take effect, in order.
enum class Origin : std::uint8_t { Window, Script };

// Every pause of the link, with the instrument's own values as defaults.
// Tests shorten them; the program never changes them.
struct LinkTimings {
    int replyGraceMs = 500;       // a reply still missing when the next command is due
    int fullQueryPasses = 300;    // passes of 1 ms after each start-up query
    int pollStartMs = 500;        // before the first query of a cycle
    int pollPasses = 450;         // passes of 1 ms before and after each poll query
    int couplingWaitMs = 500;     // after stopping polling for a coupling change
    int outputOffWaitMs = 500;    // after stopping polling to switch the output off
    int saveWaitMs = 200;         // after stopping polling to save with the output on
    int statusRetryWaitMs = 500;  // after asking the status again
    int countdownStepMs = 150;    // one step of the time-out countdown
    int passMs = 1;               // one pass of the start-up and poll paces
    int recallStopWaitMs = 500;   // after stopping polling for a recall
    int recallPasses = 100;       // passes of recallPassMs around each recall command
    int recallPassMs = 3;

    // The same sequence with every pause divided by divisor (at least 1 ms).
    LinkTimings scaled(int divisor) const;
    // How long one classic poll cycle takes, replies included.
    int cycleMs() const { return pollStartMs + 9 * 2 * pollPasses * passMs; }
    // How often each measured value is read: once a cycle, or (fast
    // readings) once a second at most.
    int readingIntervalMs(bool fast) const {
        return fast ? 1000 : cycleMs() + 9 * (replyGraceMs / 10);
    }
};

// Fast readings' figures, for the link panel.
struct FastStats {
    double readingsPerSecond = 0;   // replies to the four measured values
    double exchangesPerSecond = 0;  // every query answered
    double replyMs = 0;             // from the frame handed over to its reply's CR, smoothed
    int gapMs = 0;
    int misses = 0;   // since fast readings began
    int retries = 0;  // set points sent again after the instrument read back another value
};

}  // namespace lqs

Q_DECLARE_METATYPE(lqs::Quantity)
Q_DECLARE_METATYPE(lqs::OutputState)
Q_DECLARE_METATYPE(lqs::Coupling)
Q_DECLARE_METATYPE(lqs::LinkMode)
Q_DECLARE_METATYPE(lqs::StaleReason)
Q_DECLARE_METATYPE(lqs::Reading)
Q_DECLARE_METATYPE(lqs::OutputView)
Q_DECLARE_METATYPE(lqs::FastStats)
Q_DECLARE_METATYPE(lqs::Origin)
