// The simulated instrument on a line whose time the caller drives: no
// pseudo-terminal and no thread, so a test's clock runs the program's pauses
// and the instrument's answers alike, and a nine-second poll cycle takes no
// time. The program hands it bytes; it answers in blocks as the serial
// component delivers them: cut at the line's silence, at 2048 bytes, or at a
// CR when asked.
#pragma once

#include "instrument.h"
#include "line.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace lqs::sim {

class ClockedLine {
public:
    using Clock = std::chrono::steady_clock;
    // Calls fn at when, on the caller's clock.
    using At = std::function<void(Clock::time_point when, std::function<void()> fn)>;

    ClockedLine(Model model, std::function<Clock::time_point()> now, At at);
    ClockedLine(const ClockedLine&) = delete;
    ClockedLine& operator=(const ClockedLine&) = delete;

    Instrument& instrument() { return m_instrument; }
    void setLineModel(const LineModel& line) { m_line = line; }
    const LineModel& lineModel() const { return m_line; }
    // The receiving side: the silence that ends a block, and whether a CR does.
    void setSilence(std::chrono::milliseconds ms) { m_silence = ms; }
    void setEndAtCarriageReturn(bool on) { m_endAtCr = on; }

    // One byte the program hands over now.
    void byteIn(char byte);
    // Where what comes back goes.
    std::function<void(const std::string& block)> onBlock;
    std::function<void()> onHangup;
    // Every frame once it took effect; must not call back into the line.
    std::function<void(const Exchange&)> onFrame;

    void injectFault(Fault fault, int count = 1) { m_faults.add(fault, count); }
    // Sticky silence: commands still act, queries go unanswered until cleared.
    void setSilent(bool silent) { m_silent = silent; }
    void clearFaults() { m_faults.clear(); }
    std::size_t pendingFaults() const { return m_faults.pending(); }
    // Bytes that answer nothing, after whatever is queued.
    void sendUnasked(std::string bytes);
    void hangUpNow();
    bool hungUp() const { return m_hungUp; }

    // Frames acted on, without CR/LF; the same as they came, with when their
    // LF was on the line; and those ignored for coming too soon.
    const std::vector<std::string>& transcript() const { return m_transcript; }
    const std::vector<std::string>& wireFrames() const { return m_wire; }
    const std::vector<Clock::time_point>& wireTimes() const { return m_wireTimes; }
    const std::vector<std::string>& ignoredFrames() const { return m_ignored; }
    std::size_t repliesSent() const { return m_repliesSent; }
    // When each block reached the program, with its bytes.
    struct Block {
        Clock::time_point at;
        std::string bytes;
    };
    const std::vector<Block>& blocks() const { return m_blocks; }
    void clearTranscript();

private:
    void act(const std::string& frame, Clock::time_point due);
    void arrive(const OutChunk& chunk);
    void deliver();

    Instrument m_instrument;
    std::function<Clock::time_point()> m_now;
    At m_at;
    LineModel m_line = LineModel::instant();
    FaultList m_faults;
    ReplyLine m_out;
    bool m_silent = false;
    bool m_hungUp = false;
    std::chrono::milliseconds m_silence{100};
    bool m_endAtCr = false;

    std::string m_partial;  // bytes of a frame not yet ended by LF
    std::string m_wireFrame;
    Clock::time_point m_inFree;
    std::string m_received;  // at the program's side, not yet a block
    Clock::time_point m_lastByteAt;
    std::uint64_t m_cut = 0;  // the silence timer armed last

    std::vector<std::string> m_transcript;
    std::vector<std::string> m_wire;
    std::vector<Clock::time_point> m_wireTimes;
    std::vector<std::string> m_ignored;
    std::vector<Block> m_blocks;
    std::size_t m_repliesSent = 0;
};

}  // namespace lqs::sim
