// lqs-sim beside its line: loads stepped on a schedule or on request through a
// FIFO, and a log of when things happened, on the monotonic clock another
// process can read too (steady_clock is CLOCK_MONOTONIC on Linux).
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "instrument.h"

namespace lqs::sim {

class PtyEndpoint;

struct LoadStep {
    int channel = 1;
    std::chrono::nanoseconds after{0};  // from the first OUT1
    double ohms = 0;                    // infinity: open circuit
};

// "CH:SECONDS:OHMS", e.g. "1:2.5:3.3" or "2:0:open"; on failure, error says why.
std::optional<LoadStep> parseLoadStep(std::string_view text, std::string& error);

struct LoadChange {
    int channel = 1;
    double ohms = 0;
};
// A control line: "load CH OHMS".
std::optional<LoadChange> parseControlLine(std::string_view line, std::string& error);

// "1" or "2.5", "open" for infinity.
std::string ohmsText(double ohms);

// One line per event, "NANOSECONDS WHAT", written whole with one write(2).
class EventLog {
public:
    using Clock = std::chrono::steady_clock;
    void setFd(int fd) { m_fd = fd; }
    bool enabled() const { return m_fd >= 0; }
    void write(Clock::time_point at, const std::string& what);

private:
    int m_fd = -1;
    std::atomic<bool> m_failed{false};
};

class SimControl {
public:
    using Clock = std::chrono::steady_clock;

    SimControl(PtyEndpoint& endpoint, std::vector<LoadStep> steps);
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    // "-" is standard output; false with a message on stderr.
    bool openEvents(const std::string& path);
    // Makes the FIFO unless one of ours is there; removed at the end if made here.
    bool openControl(const std::string& path);
    void setEcho(bool echo) { m_echo = echo; }

    // Hands the endpoint its frame observer; before it starts.
    void observe();
    // Until one of signals (blocked in every thread) arrives.
    bool run(const sigset_t& signals);

private:
    void frameActed(const Exchange& e, Clock::time_point arrived);
    void apply(int channel, double ohms);
    void readControl();
    void controlLine(std::string_view line);
    std::optional<Clock::time_point> nextDue() const;
    void applyDue();

    PtyEndpoint& m_endpoint;
    std::vector<LoadStep> m_steps;  // in order of time
    std::size_t m_atOn = 0;         // steps [0, m_atOn) are due with the OUT1 itself
    std::size_t m_next = 0;         // the main thread's next step
    EventLog m_events;
    int m_eventsFd = -1;
    int m_controlFd = -1;
    std::string m_controlPath;  // set when made here
    std::string m_controlBuffer;
    bool m_discarding = false;  // the rest of a line that was too long
    int m_wakeFd = -1;
    bool m_echo = false;
    std::atomic<Clock::rep> m_outputOn{0};  // the first OUT1's arrival; 0 before
};

}  // namespace lqs::sim
