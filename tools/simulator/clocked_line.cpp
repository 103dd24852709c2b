#include "clocked_line.h"

#include <algorithm>

namespace lqs::sim {

namespace {
// The serial component's largest block.
constexpr std::size_t kBlockBytes = 2048;
}  // namespace

ClockedLine::ClockedLine(Model model, std::function<Clock::time_point()> now, At at)
    : m_instrument(model), m_now(std::move(now)), m_at(std::move(at)) {}

// The frame acts when its LF is on the line; bytes queue behind each other.
void ClockedLine::byteIn(char byte) {
    if (m_hungUp) return;
    const Clock::time_point end = std::max(m_now(), m_inFree) + m_line.byteTime();
    m_inFree = end;
    m_wireFrame += byte;
    if (byte != '\n') {
        if (m_partial.size() <= Instrument::kMaxFrame) m_partial += byte;
        return;
    }
    m_partial += '\n';
    m_wire.push_back(std::move(m_wireFrame));
    m_wireFrame.clear();
    m_wireTimes.push_back(end);
    std::string frame = std::move(m_partial);
    m_partial.clear();
    m_at(end, [this, frame, end] { act(frame, end); });
}

void ClockedLine::act(const std::string& frame, Clock::time_point due) {
    if (m_hungUp) return;
    std::string text = frame.substr(0, frame.size() - 1);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) return;
    if (m_out.tooSoon(due, m_line)) {
        m_ignored.push_back(std::move(text));
        return;
    }
    for (const Exchange& e : m_instrument.process(frame)) {
        m_transcript.push_back(e.command);
        if (onFrame) onFrame(e);
        if (m_silent || e.kind == ReplyKind::None) continue;
        const std::optional<Fault> fault = m_faults.take(e.kind);
        for (OutChunk& chunk : m_out.reply(e, m_instrument.terminator(), due, m_line, fault))
            m_at(chunk.due, [this, chunk] { arrive(chunk); });
    }
}

void ClockedLine::sendUnasked(std::string bytes) {
    const OutChunk chunk = m_out.queue(m_now(), std::move(bytes), false, m_line.byteTime());
    m_at(chunk.due, [this, chunk] { arrive(chunk); });
}

void ClockedLine::hangUpNow() {
    if (m_hungUp) return;
    m_hungUp = true;
    if (onHangup) onHangup();
}

// The bytes reach the program's side at once; the serial component hands
// them over at a CR (when asked), at its block size, or after its silence.
void ClockedLine::arrive(const OutChunk& chunk) {
    if (m_hungUp) return;
    if (chunk.hangup) {
        hangUpNow();
        return;
    }
    if (chunk.endsReply) ++m_repliesSent;
    m_lastByteAt = m_now();
    for (char c : chunk.bytes) {
        m_received += c;
        if ((m_endAtCr && c == '\r') || m_received.size() >= kBlockBytes) deliver();
    }
    if (m_received.empty()) return;
    const std::uint64_t cut = ++m_cut;
    m_at(m_lastByteAt + m_silence, [this, cut] {
        if (cut == m_cut) deliver();
    });
}

void ClockedLine::deliver() {
    if (m_received.empty()) return;
    const std::string block = std::move(m_received);
    m_received.clear();
    m_blocks.push_back({m_now(), block});
    if (onBlock) onBlock(block);
}

void ClockedLine::clearTranscript() {
    m_transcript.clear();
    m_wire.clear();
    m_wireTimes.clear();
    m_ignored.clear();
    m_blocks.clear();
}

}  // namespace lqs::sim
