#include "line.h"

#include <algorithm>

namespace lqs::sim {

namespace {

bool fits(Fault::Kind fault, ReplyKind reply) {
    switch (fault) {
        case Fault::Kind::GarbleNumber:
            return reply == ReplyKind::Number;
        case Fault::Kind::GarbleStatusCoupling:
        case Fault::Kind::GarbleStatusOutput:
            return reply == ReplyKind::Status;
        default:
            return true;
    }
}

// Second digit becomes 'x', last digit 'z': "12.50" -> "1x.5z".
std::string garbleNumber(std::string text) {
    std::vector<std::size_t> digits;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] >= '0' && text[i] <= '9') digits.push_back(i);
    if (digits.empty()) return text + "x";
    if (digits.size() > 1) text[digits[1]] = 'x';
    text[digits.back()] = 'z';
    return text;
}

}  // namespace

std::chrono::nanoseconds LineModel::byteTime() const {
    // Start bit, 8 data bits, stop bit.
    return baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / baud)
                    : std::chrono::nanoseconds(0);
}

void FaultList::add(Fault fault, int count) {
    if (count > 0) m_faults.push_back({fault, count});
}

std::optional<Fault> FaultList::take(ReplyKind kind) {
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (!fits(it->fault.kind, kind)) continue;
        const Fault f = it->fault;
        if (--it->remaining <= 0) m_faults.erase(it);
        return f;
    }
    return std::nullopt;
}

std::size_t FaultList::pending() const {
    std::size_t n = 0;
    for (const Armed& f : m_faults) n += static_cast<std::size_t>(f.remaining);
    return n;
}

// Judged on the line's clock, not on when anyone got round to it.
bool ReplyLine::tooSoon(Clock::time_point frameDue, const LineModel& line) const {
    return line.minSpacing.count() > 0 && m_replied && frameDue < m_replyEnd + line.minSpacing;
}

// Bytes take the outbound line from `start` or when it is free, whichever is later.
OutChunk ReplyLine::queue(Clock::time_point start, std::string bytes, bool endsReply,
                          std::chrono::nanoseconds byteTime) {
    const auto end = std::max(start, m_free) + byteTime * static_cast<std::int64_t>(bytes.size());
    m_free = end;
    return {end, std::move(bytes), false, endsReply};
}

std::vector<OutChunk> ReplyLine::reply(const Exchange& e, const std::string& terminator,
                                       Clock::time_point actedAt, const LineModel& line,
                                       std::optional<Fault> fault) {
    std::vector<OutChunk> out;
    if (e.kind == ReplyKind::None) return out;
    std::string text = e.reply;
    const Fault::Kind kind = fault ? fault->kind : Fault::Kind::Late;
    const std::chrono::milliseconds delay = fault ? fault->delay : std::chrono::milliseconds(0);
    switch (kind) {
        case Fault::Kind::Silence:
            return out;
        case Fault::Kind::GarbleNumber:
            text = garbleNumber(std::move(text));
            break;
        case Fault::Kind::GarbleStatusCoupling:
            if (text.size() > 6) text[4] = 'x', text[6] = 'y';
            break;
        case Fault::Kind::GarbleStatusOutput:
            if (text.size() > 12) text[12] = 'z';
            break;
        default:
            break;
    }
    std::string bytes = text + terminator;

    auto ready = actedAt + line.answer;
    if (line.jitter.count() > 0) {
        std::uniform_int_distribution<std::int64_t> extra(
            0, std::chrono::duration_cast<std::chrono::microseconds>(line.jitter).count());
        ready += std::chrono::microseconds(extra(m_jitter));
    }
    const auto byteTime = line.byteTime();
    // Replies queue behind each other on the outbound line, in order.
    switch (kind) {
        case Fault::Kind::Late:  // also the plain case, with no delay
            out.push_back(queue(ready + delay, std::move(bytes), true, byteTime));
            break;
        case Fault::Kind::Split: {
            const std::size_t half = fault->at ? std::min(fault->at, bytes.size())
                                               : std::max<std::size_t>(1, bytes.size() / 2);
            out.push_back(queue(ready, bytes.substr(0, half), false, byteTime));
            out.push_back(queue(out.back().due + delay, bytes.substr(half), true, byteTime));
            break;
        }
        case Fault::Kind::Hangup: {
            const auto start = std::max(ready, m_free);
            out.push_back({start, {}, true, false});
            m_free = start;
            return out;
        }
        default:
            out.push_back(queue(ready, std::move(bytes), true, byteTime));
            break;
    }
    m_replyEnd = out.back().due;
    m_replied = true;
    return out;
}

void ReplyLine::reset() {
    m_free = m_replyEnd = {};
    m_replied = false;
}

}  // namespace lqs::sim
