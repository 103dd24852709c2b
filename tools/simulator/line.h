// The serial line between the program and the simulated instrument, with no
// I/O and no clock of its own: how fast it is, what misbehaviour is armed,
// and when each reply's bytes leave the instrument. The pseudo-terminal
// endpoint and the in-process line a test drives share it.
#pragma once

#include "instrument.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace lqs::sim {

// A misbehaviour for upcoming replies. Each reply takes at most one fault: the oldest
// pending one that fits it. Garbles wait for a reply of their kind (a number, a status);
// the others hit whatever reply comes next.
struct Fault {
    enum class Kind {
        Silence,               // the query gets no answer
        Late,                  // answer after `delay`; later replies queue behind it
        GarbleNumber,          // numeric reply with letters in it, e.g. "1x.5z"
        GarbleStatusCoupling,  // status bytes 4 and 6 not digits
        GarbleStatusOutput,    // status byte 12 not a digit
        Split,                 // the bytes before `at` (half when 0), pause `delay`, then the rest
        Hangup,                // close the master instead of answering; endpoint is dead
    };
    Kind kind = Kind::Silence;
    std::chrono::milliseconds delay{0};
    std::size_t at = 0;

    static Fault silence() { return {Kind::Silence, {}, 0}; }
    static Fault late(std::chrono::milliseconds d) { return {Kind::Late, d, 0}; }
    static Fault garbleNumber() { return {Kind::GarbleNumber, {}, 0}; }
    static Fault garbleStatusCoupling() { return {Kind::GarbleStatusCoupling, {}, 0}; }
    static Fault garbleStatusOutput() { return {Kind::GarbleStatusOutput, {}, 0}; }
    static Fault split(std::chrono::milliseconds d) { return {Kind::Split, d, 0}; }
    static Fault splitAt(std::size_t at, std::chrono::milliseconds d) {
        return {Kind::Split, d, at};
    }
    static Fault hangup() { return {Kind::Hangup, {}, 0}; }
};

// How fast the line and the firmware are. A frame acts when its last byte would
// have arrived on a real line; a reply starts `answer` (plus up to `jitter`) after
// its query acted, and is written when its last byte would be on the line.
struct LineModel {
    int baud = 9600;  // 10 bits a byte; 0: bytes take no time on the line
    std::chrono::milliseconds answer{10};
    std::chrono::milliseconds jitter{0};  // uniform, per reply
    // A frame ending sooner than this after the last reply ended (or while a reply
    // is still due) is ignored, as cheap firmware drops it; 0: never.
    std::chrono::milliseconds minSpacing{0};

    // Everything acts and answers the moment it arrives.
    static LineModel instant() { return {0, {}, {}, {}}; }
    std::chrono::nanoseconds byteTime() const;
};

// Faults armed for upcoming replies, each for a number of replies.
class FaultList {
public:
    void add(Fault fault, int count);
    // The oldest fault that fits a reply of this kind, used up once.
    std::optional<Fault> take(ReplyKind kind);
    void clear() { m_faults.clear(); }
    std::size_t pending() const;

private:
    struct Armed {
        Fault fault;
        int remaining;
    };
    std::vector<Armed> m_faults;
};

// Bytes that leave the instrument: due when their last byte is on the line.
struct OutChunk {
    std::chrono::steady_clock::time_point due;
    std::string bytes;
    bool hangup = false;
    bool endsReply = true;  // false for the first half of a split reply, or unasked bytes
};

// The outbound line: replies one after another, each after the answer time
// (and jitter) from when its query acted, faults applied.
class ReplyLine {
public:
    using Clock = std::chrono::steady_clock;

    // A frame ending sooner than the line's minimum spacing after the last
    // reply ended is ignored, as cheap firmware drops it.
    bool tooSoon(Clock::time_point frameDue, const LineModel& line) const;
    // The chunks of e's reply, or none (a command, or silenced).
    std::vector<OutChunk> reply(const Exchange& e, const std::string& terminator,
                                Clock::time_point actedAt, const LineModel& line,
                                std::optional<Fault> fault);
    // Bytes queued after whatever is on the line already.
    OutChunk queue(Clock::time_point start, std::string bytes, bool endsReply,
                   std::chrono::nanoseconds byteTime);
    void reset();

private:
    Clock::time_point m_free;      // busy until
    Clock::time_point m_replyEnd;  // of the last reply queued
    bool m_replied = false;
    std::mt19937 m_jitter{std::random_device{}()};
};

}  // namespace lqs::sim
