#include "instrument.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

namespace lqs::sim {

namespace {

std::size_t index(int channel) {
    if (channel != 1 && channel != 2) throw std::out_of_range("channel must be 1 or 2");
    return static_cast<std::size_t>(channel - 1);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Plain decimal: optional sign, digits, optional point and fraction, at least one digit.
// No exponent, no spaces; from_chars keeps it independent of the process locale.
std::optional<double> parseNumber(std::string_view text) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    std::string_view body = text.substr(pos);
    int digits = 0;
    int points = 0;
    for (char c : body) {
        if (isDigit(c))
            ++digits;
        else if (c == '.')
            ++points;
        else
            return std::nullopt;
    }
    if (digits == 0 || points > 1) return std::nullopt;
    double value = 0.0;
    const char* end = body.data() + body.size();
    auto [ptr, ec] = std::from_chars(body.data(), end, value, std::chars_format::fixed);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return negative ? -value : value;
}

// "VSET1?" style: prefix, channel digit, then the rest must be exactly `tail`.
std::optional<int> channelOf(std::string_view cmd, std::string_view prefix, std::string_view tail) {
    if (cmd.size() != prefix.size() + 1 + tail.size()) return std::nullopt;
    if (cmd.substr(0, prefix.size()) != prefix) return std::nullopt;
    char ch = cmd[prefix.size()];
    if (ch != '1' && ch != '2') return std::nullopt;
    if (cmd.substr(prefix.size() + 1) != tail) return std::nullopt;
    return ch - '0';
}

// "SAV3", "TRACK2", "BEEP1:" style: prefix, one digit in [lo, hi], optional suffix.
std::optional<int> digitArg(std::string_view cmd, std::string_view prefix, int lo, int hi,
                            std::string_view optionalSuffix = {}) {
    if (cmd.substr(0, prefix.size()) != prefix) return std::nullopt;
    std::string_view rest = cmd.substr(prefix.size());
    if (rest.empty() || !isDigit(rest[0])) return std::nullopt;
    std::string_view after = rest.substr(1);
    if (!after.empty() && (optionalSuffix.empty() || after != optionalSuffix)) return std::nullopt;
    int n = rest[0] - '0';
    if (n < lo || n > hi) return std::nullopt;
    return n;
}

}  // namespace

Instrument::Instrument(Model model) : model_(model) {
    vset_ = {12.0, 5.0};
    iset_ = {1.0, 0.5};
    load_ = {10.0, 20.0};
    // Slot n: CH1 5n V / 0.5n A, CH2 3n V / 0.25n A; slot 3 series, slot 4 parallel.
    for (int n = 1; n <= kSlots; ++n) {
        Settings& s = slots_[static_cast<std::size_t>(n - 1)];
        s.vset1 = 5.0 * n;
        s.iset1 = 0.5 * n;
        s.vset2 = 3.0 * n;
        s.iset2 = 0.25 * n;
        s.coupling = n == 3   ? Coupling::Series
                     : n == 4 ? Coupling::Parallel
                              : Coupling::Independent;
    }
}

std::string Instrument::feed(std::string_view bytes) {
    std::string out;
    for (const Exchange& e : process(bytes)) {
        if (e.kind == ReplyKind::None) continue;
        out += e.reply;
        out += terminator_;
    }
    return out;
}

std::vector<Exchange> Instrument::process(std::string_view bytes) {
    std::vector<Exchange> result;
    for (char c : bytes) {
        if (c != '\n') {
            if (buffer_.size() < kMaxFrame)
                buffer_.push_back(c);
            else
                overflow_ = true;
            continue;
        }
        std::string frame;
        frame.swap(buffer_);
        const bool overlong = overflow_;
        overflow_ = false;
        if (!frame.empty() && frame.back() == '\r') frame.pop_back();
        if (frame.empty()) continue;
        if (overlong) {
            Exchange e;
            e.command = std::move(frame);
            result.push_back(std::move(e));
        } else {
            result.push_back(execute(frame));
        }
    }
    return result;
}

Exchange Instrument::execute(std::string_view cmd) {
    Exchange e;
    e.command = std::string(cmd);
    e.recognized = true;
    auto answer = [&e](ReplyKind kind, std::string text) {
        e.kind = kind;
        e.reply = std::move(text);
    };

    if (cmd == "*IDN?") {
        answer(ReplyKind::Identity, identity());
    } else if (cmd == "STATUS?") {
        answer(ReplyKind::Status, statusText());
    } else if (auto vq = channelOf(cmd, "VSET", "?")) {
        answer(ReplyKind::Number, formatNumber(voltageSet(*vq)));
    } else if (auto iq = channelOf(cmd, "ISET", "?")) {
        answer(ReplyKind::Number, formatNumber(currentSet(*iq)));
    } else if (auto vo = channelOf(cmd, "VOUT", "?")) {
        answer(ReplyKind::Number, formatNumber(measuredVoltage(*vo)));
    } else if (auto io = channelOf(cmd, "IOUT", "?")) {
        answer(ReplyKind::Number, formatNumber(measuredCurrent(*io)));
    } else if (cmd.size() > 6 && (cmd.substr(0, 4) == "VSET" || cmd.substr(0, 4) == "ISET") &&
               (cmd[4] == '1' || cmd[4] == '2') && cmd[5] == ':') {
        const int channel = cmd[4] - '0';
        auto value = parseNumber(cmd.substr(6));
        if (!value) {
            e.recognized = false;
        } else if (channel == 2 && (cmd[0] == 'V' ? coupled() : coupling_ == Coupling::Parallel)) {
            // What follows channel 1 while coupled keeps its own setting untouched.
        } else if (cmd[0] == 'V') {
            setVoltageSet(channel, *value);
        } else {
            setCurrentSet(channel, *value);
        }
    } else if (auto out = digitArg(cmd, "OUT", 0, 1)) {
        output_ = *out == 1;
    } else if (auto mode = digitArg(cmd, "TRACK", 0, 2)) {
        coupling_ = *mode == 0   ? Coupling::Independent
                    : *mode == 1 ? Coupling::Series
                                 : Coupling::Parallel;
    } else if (auto sav = digitArg(cmd, "SAV", 1, kSlots)) {
        slots_[static_cast<std::size_t>(*sav - 1)] = settings();
    } else if (auto rcl = digitArg(cmd, "RCL", 1, kSlots)) {
        applySettings(slots_[static_cast<std::size_t>(*rcl - 1)]);
    } else if (auto beep = digitArg(cmd, "BEEP", 0, 1, ":")) {
        beeper_ = *beep == 1;
    } else {
        e.recognized = false;
    }
    return e;
}

void Instrument::setModel(Model model) {
    model_ = model;
    for (std::size_t i = 0; i < 2; ++i) {
        vset_[i] = clampVoltage(vset_[i]);
        iset_[i] = clampCurrent(iset_[i]);
    }
}

std::string Instrument::identity() const {
    if (!identity_.empty()) return identity_;
    switch (model_) {
        case Model::A:
            return "LQS-6200A V2.1";
        case Model::B:
            return "LQS-6200B V2.1";
        case Model::C:
            return "LQS-6500B V2.1";
    }
    return {};
}

double Instrument::currentCeiling() const {
    return model_ == Model::C ? 5.1 : 3.2;
}

double Instrument::resolution() const {
    return model_ == Model::A ? 0.001 : 0.01;
}

int Instrument::decimals() const {
    return model_ == Model::A ? 3 : 2;
}

std::string Instrument::formatNumber(double value) const {
    char buf[64];
    auto [ptr, ec] =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals());
    if (ec != std::errc()) return "0";
    return std::string(buf, ptr);
}

double Instrument::quantize(double value) const {
    const double r = resolution();
    return std::round(value / r) * r;
}

double Instrument::clampVoltage(double volts) const {
    return quantize(std::clamp(volts, 0.0, kMaxVoltage));
}

double Instrument::clampCurrent(double amps) const {
    return quantize(std::clamp(amps, 0.0, currentCeiling()));
}

double Instrument::voltageSet(int channel) const {
    const std::size_t i = index(channel);
    return coupled() ? vset_[0] : vset_[i];
}

// Tracking, channel 2's current limit stays its own; in parallel it follows.
double Instrument::currentSet(int channel) const {
    const std::size_t i = index(channel);
    return coupling_ == Coupling::Parallel ? iset_[0] : iset_[i];
}

void Instrument::setVoltageSet(int channel, double volts) {
    if (std::isnan(volts)) return;
    vset_[index(channel)] = clampVoltage(volts);
}

void Instrument::setCurrentSet(int channel, double amps) {
    if (std::isnan(amps)) return;
    iset_[index(channel)] = clampCurrent(amps);
}

Settings Instrument::settings() const {
    return Settings{vset_[0], iset_[0], vset_[1], iset_[1], coupling_};
}

void Instrument::applySettings(const Settings& s) {
    setVoltageSet(1, s.vset1);
    setCurrentSet(1, s.iset1);
    setVoltageSet(2, s.vset2);
    setCurrentSet(2, s.iset2);
    coupling_ = s.coupling;
}

Settings Instrument::slot(int n) const {
    if (n < 1 || n > kSlots) throw std::out_of_range("memory slot must be 1..4");
    return slots_[static_cast<std::size_t>(n - 1)];
}

void Instrument::setSlot(int n, const Settings& s) {
    if (n < 1 || n > kSlots) throw std::out_of_range("memory slot must be 1..4");
    slots_[static_cast<std::size_t>(n - 1)] = s;
}

double Instrument::load(int channel) const {
    return load_[index(channel)];
}

void Instrument::setLoad(int channel, double ohms) {
    if (!(ohms >= 0.0)) throw std::invalid_argument("load must be >= 0 ohm");
    load_[index(channel)] = ohms;
}

// Resistive load behind a CV/CC source: CV while the load draws no more than the limit.
Instrument::Reading Instrument::reading(int channel) const {
    const std::size_t i = index(channel);
    if (!output_) return {0.0, 0.0, true};

    auto drive = [](double vset, double ilimit, double ohms) -> Reading {
        if (ohms == 0.0) return {0.0, ilimit, false};
        if (std::isinf(ohms)) return {vset, 0.0, true};
        if (vset / ohms <= ilimit) return {vset, vset / ohms, true};
        return {ilimit * ohms, ilimit, false};
    };

    if (coupling_ == Coupling::Parallel) {
        // Both channels share load 1: twice the limit; channel 2 reports its half.
        Reading total = drive(vset_[0], 2.0 * iset_[0], load_[0]);
        if (i == 1) total.amps /= 2.0;
        return total;
    }
    // Independent or series tracking: each channel drives its own load.
    return drive(voltageSet(channel), currentSet(channel), load_[i]);
}

double Instrument::measuredVoltage(int channel) const {
    return reading(channel).volts;
}

double Instrument::measuredCurrent(int channel) const {
    return reading(channel).amps;
}

bool Instrument::constantVoltage(int channel) const {
    return reading(channel).cv;
}

std::string Instrument::statusText() const {
    std::string s(13, '0');
    s[0] = constantVoltage(1) ? '1' : '0';
    s[1] = constantVoltage(2) ? '1' : '0';
    s[2] = beeper_ ? '1' : '0';
    switch (coupling_) {
        case Coupling::Independent:
            s[4] = '0', s[6] = '1';
            break;
        case Coupling::Parallel:
            s[4] = '1', s[6] = '0';
            break;
        case Coupling::Series:
            s[4] = '1', s[6] = '1';
            break;
    }
    s[12] = output_ ? '1' : '0';
    return s;
}

}  // namespace lqs::sim
