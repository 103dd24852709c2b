// The link's variables. DeviceLink owns the one record and is its only
// writer; windows read it. Byte flags and counters are atomics because the
// poll worker reads and writes some of them beside the user-interface thread;
// texts both threads touch sit behind a mutex.
#pragma once

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace lqs {

// Operation codes held in PendingOperation.
namespace Op {
constexpr std::uint8_t StartupQuery = 0;
constexpr std::uint8_t Polling = 1;
constexpr std::uint8_t CouplingIndep = 2;
constexpr std::uint8_t CouplingParall = 3;
constexpr std::uint8_t CouplingTrack = 4;
constexpr std::uint8_t StepVset1 = 5;
constexpr std::uint8_t StepVset2 = 6;
constexpr std::uint8_t StepIset1 = 7;
constexpr std::uint8_t StepIset2 = 8;
constexpr std::uint8_t SaveMemory = 9;
constexpr std::uint8_t RecallMemory = 10;
constexpr std::uint8_t OutputOn = 11;
constexpr std::uint8_t OutputOff = 12;
constexpr std::uint8_t EnterVset1 = 13;
constexpr std::uint8_t EnterVset2 = 14;
constexpr std::uint8_t EnterIset1 = 15;
constexpr std::uint8_t EnterIset2 = 16;
constexpr std::uint8_t BeepOn = 17;
constexpr std::uint8_t BeepOff = 18;
constexpr std::uint8_t None = 255;
}  // namespace Op

// ParserMode values.
namespace Parse {
constexpr std::uint8_t Startup = 0;
constexpr std::uint8_t Polling = 1;
constexpr std::uint8_t Recall = 10;
constexpr std::uint8_t Ignore = 255;
}  // namespace Parse

// ProgressMode values.
namespace Progress {
constexpr std::uint8_t PerReply = 1;
constexpr std::uint8_t Countdown = 2;
constexpr std::uint8_t None = 255;
}  // namespace Progress

class LinkState {
public:
    std::atomic<std::uint8_t> PendingOperation{0};
    std::atomic<std::uint8_t> ParserMode{0};
    std::atomic<std::uint8_t> ReplyCounter{0};
    std::atomic<std::uint8_t> OutputOn{0};
    std::atomic<std::uint8_t> PollingEnabled{0};
    std::atomic<std::uint8_t> AwaitingReply{0};
    std::atomic<std::uint8_t> SetPointDeferred{0};
    std::atomic<std::uint8_t> ModelIndex{0};
    std::atomic<std::int32_t> HoldTicks{0};
    std::atomic<std::uint8_t> ProgressMode{0};

    // Touched by the user-interface thread only.
    QString CouplingCommand;
    QString ReplyText;

    // The query the poll worker sent last.
    QString lastQuery() const {
        std::lock_guard<std::mutex> lock(m_textMutex);
        return m_lastQuery;
    }
    void setLastQuery(const QString& q) {
        std::lock_guard<std::mutex> lock(m_textMutex);
        m_lastQuery = q;
    }

    // The set-point texts last sent (LastSentVset1, LastSentIset1,
    // LastSentVset2, LastSentIset2), by field: 5, 6, 7, 8.
    QString lastSent(int edit) const {
        std::lock_guard<std::mutex> lock(m_textMutex);
        return m_lastSent[slot(edit)];
    }
    void setLastSent(int edit, const QString& text) {
        std::lock_guard<std::mutex> lock(m_textMutex);
        m_lastSent[slot(edit)] = text;
    }

private:
    static std::size_t slot(int edit) { return std::size_t(edit < 5 || edit > 8 ? 0 : edit - 5); }

    mutable std::mutex m_textMutex;
    QString m_lastQuery;
    std::array<QString, 4> m_lastSent;
};

}  // namespace lqs
