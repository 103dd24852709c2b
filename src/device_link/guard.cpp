#include "device_link/guard.h"

#include "device_link/model_profile.h"

#include <cmath>

namespace lqs {

QString guardLimitName(GuardLimit limit) {
    switch (limit) {
        case GuardLimit::OverVoltage:
            return QStringLiteral("over-voltage");
        case GuardLimit::UnderVoltage:
            return QStringLiteral("under-voltage");
        case GuardLimit::OverCurrent:
            return QStringLiteral("over-current");
        case GuardLimit::OverPower:
            return QStringLiteral("over-power");
        case GuardLimit::Charge:
            return QStringLiteral("charge budget");
        case GuardLimit::Energy:
            return QStringLiteral("energy budget");
        case GuardLimit::EnteringCc:
            return QStringLiteral("constant current");
    }
    return {};
}

QString guardLimitUnit(GuardLimit limit) {
    switch (limit) {
        case GuardLimit::OverVoltage:
        case GuardLimit::UnderVoltage:
            return QStringLiteral("V");
        case GuardLimit::OverCurrent:
            return QStringLiteral("A");
        case GuardLimit::OverPower:
            return QStringLiteral("W");
        case GuardLimit::Charge:
            return QStringLiteral("Ah");
        case GuardLimit::Energy:
            return QStringLiteral("Wh");
        case GuardLimit::EnteringCc:
            break;
    }
    return {};
}

QString checkGuardLevel(GuardLimit limit, double level, const ModelProfile* model) {
    if (limit == GuardLimit::EnteringCc) return {};
    if (!std::isfinite(level) || level <= 0)
        return QStringLiteral("The %1 level must be above 0 %2.")
            .arg(guardLimitName(limit), guardLimitUnit(limit));
    double most = 0;
    switch (limit) {
        case GuardLimit::OverVoltage:
        case GuardLimit::UnderVoltage:
            if (model) most = model->voltageCeiling;
            break;
        case GuardLimit::OverCurrent:
            if (model) most = model->currentCeiling;
            break;
        case GuardLimit::OverPower:
            if (model) most = model->voltageCeiling * model->currentCeiling;
            break;
        default:
            most = 1e6;  // a budget no bench reaches; beyond it is a typing slip
            break;
    }
    if (most <= 0) return QStringLiteral("Choose the instrument's model before setting a level.");
    if (level > most)
        return QStringLiteral(
                   "The %1 level can be at most %2 %3 on this model: %4 %3 would never trip.")
            .arg(guardLimitName(limit), QString::number(most, 'g', 6), guardLimitUnit(limit),
                 QString::number(level, 'g', 6));
    return {};
}

void ChargeCounter::add(Time at, double volts, double amps) {
    const Point p{at, amps, volts * amps};
    if (m_last && at > m_last->at) {
        const double dt = std::chrono::duration<double>(at - m_last->at).count();
        m_ampSeconds += dt * (m_last->amps + p.amps) / 2;
        m_wattSeconds += dt * (m_last->watts + p.watts) / 2;
    }
    if (!m_last || at >= m_last->at) m_last = p;
}

void Guard::set(int channel, GuardLimit limit, const GuardSetting& setting) {
    Channel& c = at(channel);
    c.settings[std::size_t(limit)] = setting;
    c.pastSince[std::size_t(limit)].reset();
}

const GuardSetting& Guard::setting(int channel, GuardLimit limit) const {
    return at(channel).settings[std::size_t(limit)];
}

bool Guard::armed() const {
    for (const Channel& c : m_channels)
        for (const GuardSetting& s : c.settings)
            if (s.armed) return true;
    return false;
}

std::optional<GuardTrip> Guard::voltage(int channel, double volts, Time when) {
    at(channel).volts = std::make_pair(volts, when);
    return afterReading(channel, when);
}

std::optional<GuardTrip> Guard::current(int channel, double amps, Time when) {
    at(channel).amps = std::make_pair(amps, when);
    return afterReading(channel, when);
}

std::optional<GuardTrip> Guard::constantCurrent(int channel, bool cc, Time when) {
    if (m_trip) return std::nullopt;
    return check(channel, GuardLimit::EnteringCc, cc, cc ? 1 : 0, when);
}

// Every check a new reading bears on; the first limit in the list's order
// that trips is the one reported.
std::optional<GuardTrip> Guard::afterReading(int channel, Time when) {
    Channel& c = at(channel);
    const bool paired =
        c.volts && c.amps && std::chrono::abs(c.volts->second - c.amps->second) <= m_pairWindow;
    // The counters take a point at each current reading, with the voltage
    // read beside it: a point at a voltage reading would carry a current
    // from before it, and a ramp would be counted as steps.
    const bool isCurrent = c.amps && c.amps->second == when;
    // Only a current reading decides: on the classic cycle the voltage comes
    // a cycle after the current it pairs with, and must not end the stretch.
    if (paired && isCurrent)
        c.counter.add(when, c.volts->first, c.amps->first);
    else if (isCurrent)
        c.counter.breakStretch();
    if (m_trip) return std::nullopt;

    std::optional<GuardTrip> trip;
    const auto consider = [&](GuardLimit limit, bool past, double reading) {
        auto t = check(channel, limit, past, reading, when);
        if (t && !trip) trip = t;
    };
    if (c.volts && c.volts->second == when) {
        const double v = c.volts->first;
        consider(GuardLimit::OverVoltage, v > setting(channel, GuardLimit::OverVoltage).level, v);
        consider(GuardLimit::UnderVoltage, v < setting(channel, GuardLimit::UnderVoltage).level, v);
    }
    if (isCurrent) {
        const double a = c.amps->first;
        consider(GuardLimit::OverCurrent, a > setting(channel, GuardLimit::OverCurrent).level, a);
    }
    if (paired) {
        const double w = c.volts->first * c.amps->first;
        consider(GuardLimit::OverPower, w > setting(channel, GuardLimit::OverPower).level, w);
    }
    const double ah = c.counter.ampHours();
    const double wh = c.counter.wattHours();
    consider(GuardLimit::Charge, ah >= setting(channel, GuardLimit::Charge).level, ah);
    consider(GuardLimit::Energy, wh >= setting(channel, GuardLimit::Energy).level, wh);
    if (trip) m_trip = trip;
    return trip;
}

std::optional<GuardTrip> Guard::check(int channel, GuardLimit limit, bool past, double reading,
                                      Time when) {
    Channel& c = at(channel);
    const GuardSetting& s = c.settings[std::size_t(limit)];
    std::optional<Time>& since = c.pastSince[std::size_t(limit)];
    if (!s.armed || !past) {
        since.reset();
        return std::nullopt;
    }
    if (!since) since = when;
    if (when - *since < s.delay) return std::nullopt;
    GuardTrip t{channel, limit, reading, s.level, when};
    if (limit == GuardLimit::EnteringCc) m_trip = t;
    return t;
}

void Guard::interrupted() {
    for (Channel& c : m_channels) {
        c.pastSince.fill(std::nullopt);
        c.volts.reset();
        c.amps.reset();
        c.counter.breakStretch();
    }
}

void Guard::clear() {
    m_trip.reset();
    for (Channel& c : m_channels) c.pastSince.fill(std::nullopt);
}

}  // namespace lqs
