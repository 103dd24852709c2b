// What a remote client may do and see: the same intents and the same truth as
// the window. The SCPI session speaks to this, never to the link or the
// window directly, so its rules are tested against a fake.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace lqs {

class RemoteInstrument {
public:
    virtual ~RemoteInstrument() = default;

    // Told once a command has ended: false when it never reached the
    // instrument (the line went, the link stopped).
    using Done = std::function<void(bool tookEffect)>;

    // "LQS-6200A" and so on: the chosen Series entry.
    virtual QString modelName() const = 0;
    // Chooses the model as the Series menu does, by its name written as an
    // identity may write it ("LQS6500B", "lqs-6500b"). Refused, with why,
    // while a run of steps is under way.
    enum class ModelChange : std::uint8_t { Done, Unknown, Refused };
    virtual ModelChange setModel(const QString& name, QString* why) = 0;
    // The instrument's reply to "*IDN?" at the last link; empty before.
    virtual QString instrumentIdentity() const = 0;
    virtual bool linked() const = 0;
    // Starts the link as the window's link button does, without its question.
    // False, with why, when it cannot start (no port open, already linking).
    virtual bool startLink(QString* why) = 0;
    // Calls done(true) once the link stands, done(false) if it failed; at
    // once when nothing is under way.
    virtual void whenLinkSettled(std::function<void(bool linked)> done) = 0;

    // The chosen model's limits and decimals.
    virtual double voltageLimit() const = 0;
    virtual double currentLimit() const = 0;
    virtual int decimals() const = 0;

    // channel 1 or 2. A set point as the field shows it ("21.00").
    virtual QString setPoint(int channel, bool current) const = 0;
    // As if typed into the field and confirmed with Enter. The text is
    // already within limits and formatted with the model's decimals.
    virtual void setSetPoint(int channel, bool current, const QString& text, Done done) = 0;
    // True while coupling runs this quantity of channel 2 from channel 1.
    virtual bool channel2Follows(bool current) const = 0;

    // A fresh measured value: the latest with fast readings, otherwise asked
    // of the instrument once. done(nullopt) when it did not answer.
    virtual void measure(int channel, bool current,
                         std::function<void(std::optional<double>)> done) = 0;

    // Where the output is once every output command under way has run;
    // nullopt while the instrument has not said (after a lost line).
    virtual std::optional<bool> outputOn() const = 0;
    // On and off are absolute: asking for the state it is in changes nothing.
    virtual void setOutput(bool on, Done done) = 0;
    // 1 independent, 2 parallel, 3 series (tracking).
    virtual int coupling() const = 0;
    virtual void setCoupling(int coupling, Done done) = 0;
    virtual void saveMemory(int slot, Done done) = 0;    // 1 .. 4
    virtual void recallMemory(int slot, Done done) = 0;  // 1 .. 4

    // The program's guard on a channel: a limit that switches the output
    // off once the readings stay past it for its delay, latched until cleared.
    enum class Protection {
        OverVoltage,
        UnderVoltage,
        OverCurrent,
        OverPower,
        Charge,
        Energy,
        EnteringCc,
    };
    static constexpr int kProtections = int(Protection::EnteringCc) + 1;
    struct ProtectionSetting {
        bool on = false;
        double level = 0;  // V, A, W, Ah or Wh; none for EnteringCc
        double delaySeconds = 0;
    };
    virtual ProtectionSetting protection(int channel, Protection limit) const = 0;
    // Empty when taken, else why not: a level the chosen model cannot reach.
    virtual QString setProtection(int channel, Protection limit,
                                  const ProtectionSetting& setting) = 0;
    virtual bool protectionTripped() const = 0;
    virtual void clearProtection() = 0;

    // What a channel has delivered since its counters were last cleared, as
    // counted from the readings while its output was on.
    struct Counters {
        double ampHours = 0;
        double wattHours = 0;
    };
    virtual Counters counters(int channel) const = 0;
    virtual void clearCounters(int channel) = 0;

    // A run of steps from lists: step i sets each channel's voltage and
    // current from their lists' value i (a list of one value gives it to
    // every step, an empty list leaves the channel as it is) and lasts its
    // dwell. The first step switches the output on.
    struct ListRun {
        std::array<std::vector<double>, 2> volts;  // by channel
        std::array<std::vector<double>, 2> amps;
        std::vector<double> dwellSeconds;  // empty: 1 s a step
        int count = 1;                     // passes; 0 until stopped
        enum class End : std::uint8_t { OutputOff, HoldLast, BackToFirst };
        End end = End::OutputOff;
        // A run read from a file in its file form, run as read (with count
        // and end from above) while the lists are untouched: it may hold
        // what the lists cannot say.
        QByteArray asLoaded;
    };
    struct ListRefusal {
        QString why;
        bool byCoupling = false;  // otherwise a value beyond a range
    };
    // Checked against the model and the coupling before anything is sent;
    // nullopt once under way. ended(why) is told if the run ends early for
    // any reason other than a stop (a trip, a lost line).
    virtual std::optional<ListRefusal> runList(const ListRun& run,
                                               std::function<void(QString why)> ended) = 0;
    virtual void stopList() = 0;
    // The step under way (1-based) while a run lasts.
    virtual std::optional<int> listStep() const = 0;

    // Runs kept as files in the program's sequences folder, by plain name.
    enum class FileOutcome : std::uint8_t { Done, Missing, Refused, Malformed, Failed };
    virtual FileOutcome saveList(const QString& name, const ListRun& run, QString* why) = 0;
    virtual FileOutcome loadList(const QString& name, ListRun* run, QString* why) = 0;

    // Calls done once every intent given so far has run (for *OPC?).
    virtual void whenIdle(std::function<void()> done) = 0;
};

}  // namespace lqs
