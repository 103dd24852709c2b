// The link's variables, by the names the instrument's sequences are written
// in. DeviceLink owns the one record; it lives and changes in the link's
// thread only.
#pragma once

#include <QString>

#include <array>
#include <cstdint>

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
    std::uint8_t PendingOperation = 0;
    std::uint8_t ParserMode = 0;
    std::uint8_t ReplyCounter = 0;
    std::uint8_t OutputOn = 0;
    std::uint8_t PollingEnabled = 0;
    std::uint8_t AwaitingReply = 0;
    std::uint8_t SetPointDeferred = 0;
    std::uint8_t ModelIndex = 0;
    std::int32_t HoldTicks = 0;
    std::uint8_t ProgressMode = 0;
    QString CouplingCommand;
    QString ReplyText;
    QString LastQuery;  // the query the poll cycle sent last

    // The set-point texts last sent (LastSentVset1, LastSentIset1,
    // LastSentVset2, LastSentIset2), by field: 5, 6, 7, 8.
    QString lastSent(int edit) const { return m_lastSent[slot(edit)]; }
    void setLastSent(int edit, const QString& text) { m_lastSent[slot(edit)] = text; }

private:
    static std::size_t slot(int edit) { return std::size_t(edit < 5 || edit > 8 ? 0 : edit - 5); }

    std::array<QString, 4> m_lastSent;
};

}  // namespace lqs
