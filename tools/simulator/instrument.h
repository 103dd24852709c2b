// State machine of a simulated LQS two-channel bench supply: bytes in, reply bytes out.
// No I/O and no locking; PtyEndpoint puts it behind a serial line.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lqs::sim {

// A: LQS-6200A (1 mV / 1 mA, 3.2 A), B: LQS-6200B (10 mV / 10 mA, 3.2 A),
// C: LQS-6500B (10 mV / 10 mA, 5.1 A).
enum class Model { A, B, C };

// Series tracking and parallel both make channel 2 follow channel 1's set points.
enum class Coupling { Independent, Series, Parallel };

enum class ReplyKind { None, Identity, Number, Status };

// The four set points and the coupling: what SAV stores and RCL restores.
struct Settings {
    double vset1 = 0.0;
    double iset1 = 0.0;
    double vset2 = 0.0;
    double iset2 = 0.0;
    Coupling coupling = Coupling::Independent;

    bool operator==(const Settings& o) const {
        return vset1 == o.vset1 && iset1 == o.iset1 && vset2 == o.vset2 && iset2 == o.iset2 &&
               coupling == o.coupling;
    }
    bool operator!=(const Settings& o) const { return !(*this == o); }
};

// One received frame and what it caused.
struct Exchange {
    std::string command;  // frame text without CR/LF
    bool recognized = false;
    ReplyKind kind = ReplyKind::None;
    std::string reply;  // reply text without the terminator; empty when kind == None
};

class Instrument {
public:
    static constexpr double kMaxVoltage = 32.0;
    static constexpr std::size_t kMaxFrame = 256;  // longer frames are recorded, never executed
    static constexpr int kSlots = 4;

    explicit Instrument(Model model = Model::B);

    // Accumulates bytes, cuts frames at LF and returns every reply with its terminator.
    std::string feed(std::string_view bytes);
    // Same, but one Exchange per complete non-empty frame (replies without terminator).
    std::vector<Exchange> process(std::string_view bytes);
    // Runs one complete frame (no CR/LF) without touching the partial-frame buffer.
    Exchange execute(std::string_view command);
    // Bytes of a frame not yet terminated by LF.
    const std::string& pendingInput() const { return buffer_; }

    Model model() const { return model_; }
    // Re-rounds and re-clamps the set points to the new model's resolution and ceiling.
    void setModel(Model model);
    std::string identity() const;
    // Another reply to *IDN? than the model's own; empty for the model's.
    void setIdentity(std::string text) { identity_ = std::move(text); }
    double currentCeiling() const;
    double resolution() const;  // volts or amperes per digit of the last decimal
    int decimals() const;
    std::string formatNumber(double value) const;

    // Channels are 1 or 2; anything else throws std::out_of_range.
    // Effective set points: channel 2 answers channel 1's voltage while coupled,
    // and its current in parallel; tracking, its current is its own.
    double voltageSet(int channel) const;
    double currentSet(int channel) const;
    // Stores the channel's own set point (rounded, clamped). Channel 2's own values
    // are kept while coupled and take effect again once the coupling is independent.
    void setVoltageSet(int channel, double volts);
    void setCurrentSet(int channel, double amps);
    Settings settings() const;  // channels' own set points, not the effective ones
    void applySettings(const Settings& s);

    bool output() const { return output_; }
    void setOutput(bool on) { output_ = on; }
    Coupling coupling() const { return coupling_; }
    void setCoupling(Coupling c) { coupling_ = c; }
    bool beeper() const { return beeper_; }
    void setBeeper(bool on) { beeper_ = on; }

    // Memory slots 1..4.
    Settings slot(int n) const;
    void setSlot(int n, const Settings& s);

    // Resistive load per channel in ohms: 0 is a short, infinity an open circuit;
    // negative or NaN throws std::invalid_argument.
    double load(int channel) const;
    void setLoad(int channel, double ohms);

    double measuredVoltage(int channel) const;
    double measuredCurrent(int channel) const;
    // Regulation mode; reported as constant voltage while the output is off.
    bool constantVoltage(int channel) const;

    // 13 digits: CH1 mode, CH2 mode, beeper, 0, coupling digit 1, 0, coupling digit 2,
    // 00000, output.
    std::string statusText() const;

    // Appended to every reply; LF CR unless changed.
    const std::string& terminator() const { return terminator_; }
    void setTerminator(std::string t) { terminator_ = std::move(t); }

private:
    struct Reading {
        double volts;
        double amps;
        bool cv;
    };
    Reading reading(int channel) const;
    double clampCurrent(double amps) const;
    double clampVoltage(double volts) const;
    double quantize(double value) const;
    bool coupled() const { return coupling_ != Coupling::Independent; }

    Model model_;
    std::string identity_;
    std::array<double, 2> vset_{};
    std::array<double, 2> iset_{};
    std::array<double, 2> load_{};
    std::array<Settings, kSlots> slots_{};
    bool output_ = false;
    bool beeper_ = true;
    Coupling coupling_ = Coupling::Independent;
    std::string terminator_ = "\n\r";
    std::string buffer_;
    bool overflow_ = false;
};

}  // namespace lqs::sim
