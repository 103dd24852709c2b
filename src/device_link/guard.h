// The guard's pure part: the limits an operator sets on each channel, checked
// against every reading as it arrives, and the charge and energy each channel
// has delivered. It takes each reading's own time, so tests drive it without
// a clock; the link decides what a trip does on the line.
#pragma once

#include <QMetaType>
#include <QString>

#include <array>
#include <chrono>
#include <optional>

namespace lqs {

struct ModelProfile;

enum class GuardLimit : std::uint8_t {
    OverVoltage,
    UnderVoltage,  // a floor: trips when the voltage sags below it
    OverCurrent,
    OverPower,   // volts times amperes read together
    Charge,      // ampere-hours since the counters were cleared
    Energy,      // watt-hours since the counters were cleared
    EnteringCc,  // the channel went into constant current; no level
};
constexpr int kGuardLimits = 7;

// Natural English, for the window, the log and the recording.
QString guardLimitName(GuardLimit limit);
QString guardLimitUnit(GuardLimit limit);

struct GuardSetting {
    bool armed = false;
    double level = 0;
    // How long the readings must stay past the level before it trips: a
    // single glitch does not cut a live circuit unless the operator wants it to.
    std::chrono::milliseconds delay{0};
};

constexpr std::chrono::milliseconds kLongestGuardDelay{60000};

// What a channel has delivered since its counters were last cleared.
struct ChannelCounters {
    double ampHours = 0;
    double wattHours = 0;
};

// What "STATUS?" said after a trip's "OUT0".
enum class TripConfirmation : std::uint8_t {
    Off,         // the instrument reports its output off
    StillOn,     // it reports it on, after the off was sent again
    Unanswered,  // no readable status came
};

// Empty when the chosen model can reach the level, else why not.
QString checkGuardLevel(GuardLimit limit, double level, const ModelProfile* model);

struct GuardTrip {
    using Time = std::chrono::steady_clock::time_point;
    int channel = 1;
    GuardLimit limit = GuardLimit::OverVoltage;
    double reading = 0;  // what crossed: V, A, W, Ah, Wh; 1 for constant current
    double level = 0;
    Time at;
};

// Ampere-hours and watt-hours from readings with their own times, by the
// trapezoid rule over each pair of readings in a stretch. A stretch ends when
// the output goes off or the readings stop being current; a gap is never
// bridged by guessing what flowed in it.
class ChargeCounter {
public:
    using Time = std::chrono::steady_clock::time_point;
    void add(Time at, double volts, double amps);
    void breakStretch() { m_last.reset(); }
    void clear() { *this = ChargeCounter(); }
    double ampHours() const { return m_ampSeconds / 3600.0; }
    double wattHours() const { return m_wattSeconds / 3600.0; }

private:
    struct Point {
        Time at;
        double amps;
        double watts;
    };
    std::optional<Point> m_last;
    double m_ampSeconds = 0;
    double m_wattSeconds = 0;
};

class Guard {
public:
    using Time = std::chrono::steady_clock::time_point;
    using ms = std::chrono::milliseconds;

    // Readings of one channel further apart than this are not "the same
    // moment": no power is worked out from them, and the counters start a new stretch.
    explicit Guard(ms pairWindow = ms(2000)) : m_pairWindow(pairWindow) {}

    void set(int channel, GuardLimit limit, const GuardSetting& setting);
    const GuardSetting& setting(int channel, GuardLimit limit) const;
    bool armed() const;  // any limit on either channel

    // Each reading as it arrives, while the output is on. A trip is given
    // once; until clear() the guard stays tripped and gives no other.
    std::optional<GuardTrip> voltage(int channel, double volts, Time at);
    std::optional<GuardTrip> current(int channel, double amps, Time at);
    std::optional<GuardTrip> constantCurrent(int channel, bool cc, Time at);

    // The output went off, or readings stopped being current: counters stop
    // adding and every delay starts again from the next reading past its level.
    void interrupted();

    const std::optional<GuardTrip>& trip() const { return m_trip; }
    bool tripped() const { return m_trip.has_value(); }
    void clear();

    const ChargeCounter& counter(int channel) const { return at(channel).counter; }
    void clearCounter(int channel) { at(channel).counter.clear(); }

private:
    struct Channel {
        std::array<GuardSetting, kGuardLimits> settings;
        std::array<std::optional<Time>, kGuardLimits> pastSince;
        std::optional<std::pair<double, Time>> volts;
        std::optional<std::pair<double, Time>> amps;
        ChargeCounter counter;
    };
    Channel& at(int channel) { return m_channels[channel == 2 ? 1 : 0]; }
    const Channel& at(int channel) const { return m_channels[channel == 2 ? 1 : 0]; }
    std::optional<GuardTrip> afterReading(int channel, Time at);
    std::optional<GuardTrip> check(int channel, GuardLimit limit, bool past, double reading,
                                   Time at);

    ms m_pairWindow;
    std::array<Channel, 2> m_channels;
    std::optional<GuardTrip> m_trip;
};

}  // namespace lqs

Q_DECLARE_METATYPE(lqs::GuardLimit)
Q_DECLARE_METATYPE(lqs::GuardSetting)
Q_DECLARE_METATYPE(lqs::GuardTrip)
Q_DECLARE_METATYPE(lqs::ChannelCounters)
Q_DECLARE_METATYPE(lqs::TripConfirmation)
