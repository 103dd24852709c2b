// The link as the windows and the remote server see it: intents queued into
// the link's thread, each with an answer when it has ended, and the link's
// news re-told in this object's thread, with what the windows need to know
// at once kept here. Nothing here waits for the link, and no lock is shared
// with it.
#pragma once

#include "device_link/guard.h"
#include "device_link/link_types.h"
#include "device_link/step_plan.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <map>
#include <optional>

namespace lqs {

class DeviceLink;

class LinkClient : public QObject {
    Q_OBJECT
public:
    // link may live in another thread; timings and fastTimingsMs tell how
    // often a reading comes in each mode.
    LinkClient(DeviceLink* link, const LinkTimings& timings, QObject* parent = nullptr);
    ~LinkClient() override;

    DeviceLink* link() const { return m_link; }

    // ---- What the link last said.
    LinkMode mode() const { return m_mode; }
    bool linked() const { return standing(m_mode); }
    OutputView output() const;
    // Where the output goes once the commands given for it have run.
    bool outputIntended() const { return output().target == OutputState::On; }
    QString identity() const { return m_identity; }
    FastStats fastStats() const { return m_fastStats; }
    int model() const { return m_model; }
    bool fastReadings() const { return m_fast; }
    // What the instrument holds, as far as the link knows; empty when unknown.
    QString heldSetPoint(int channel, Quantity q) const;
    // Nothing given here waits, and the link is not busy.
    bool idle() const { return m_pending.empty() && m_measures.empty() && !m_linkBusy; }
    // How often each measured value is read.
    int readingIntervalMs() const;

    // ---- Intents; done, when given, hears whether the command took effect.
    using Done = std::function<void(bool tookEffect)>;
    void link(const QString& portName, Done done = {});
    void setSetPoint(int channel, Quantity q, double value, const QString& text,
                     Origin origin = Origin::Window, Done done = {});
    void stepSetPoint(int channel, Quantity q, double value, const QString& text, Done done = {});
    void setOutput(bool on, Done done = {});
    void selectCoupling(Coupling coupling, Done done = {});
    void saveMemory(const QString& slot, Done done = {});
    void recallMemory(const QString& slot, Done done = {});
    // A reading asked after every command given before it has ended.
    void measure(int channel, Quantity q, std::function<void(std::optional<double>)> done);
    // done once every command given before it has ended.
    void whenIdle(std::function<void()> done);
    void holdStarted();
    void holdTick();
    void holdEnded();
    void setModel(int index);
    void setFastReadings(bool on);
    void setGuard(int channel, GuardLimit limit, const GuardSetting& setting);
    void clearTrip();
    const GuardSetting& guardSetting(int channel, GuardLimit limit) const {
        return m_guardSettings[channel == 2 ? 1 : 0][std::size_t(limit)];
    }
    bool guardArmed() const;  // any limit on either channel
    ChannelCounters counters(int channel) const { return m_counters[channel == 2 ? 1 : 0]; }
    void clearCounters(int channel);
    // A plan of steps; done hears whether it ran to its end.
    void runPlan(const StepPlan& plan, const Envelope& envelope, Done done = {});
    void stopPlan();
    void pausePlan(bool paused);
    void nextPlanStep();
    bool planRunning() const { return m_planRunning; }
    // "Record actions": the operator's set points, output switches,
    // couplings and recalls from now on become steps; recordedActions() ends the recording with
    // them.
    void recordActions(bool on);
    bool recordingActions() const { return m_actions.recording(); }
    StepPlan recordedActions();
    // The recorder's clock; tests give the link's.
    static std::function<ActionRecorder::Time()> actionsClock;
    // The trip that latched the output off, until it is cleared.
    const std::optional<GuardTrip>& trip() const { return m_trip; }
    // Tests shorten the link's pauses; the program keeps the instrument's own.
    void setTimings(const LinkTimings& timings);
    void queryingClosed();
    void stop();
    void giveUp();

Q_SIGNALS:
    void modeChanged(lqs::LinkMode mode);
    void linkedTo(const QString& identity);
    void readingTaken(const lqs::Reading& reading);
    void readingsCleared();
    void setPointRead(int channel, lqs::Quantity quantity, const QString& text);
    void setPointNotHeld(int channel, lqs::Quantity quantity, const QString& holds,
                         const QString& sent);
    void outputChanged(const lqs::OutputView& output);
    void couplingChanged(lqs::Coupling coupling);
    void couplingStatusUnreadable(bool unreadable);
    void outputStatusUnreadable(bool unreadable);
    void queryingShown();
    void queryingProgress(int position, int seconds);
    void queryingCloseRequested();
    void timedOut();
    void frameRefused();
    void conversionFailed(const QString& message);
    void readingsStale(const QDateTime& since, lqs::StaleReason why);
    void readingsFresh();
    void readingAged(int channel, lqs::Quantity quantity, const QDateTime& readAt, int ageSeconds);
    void lineLost();
    void fastStatsChanged(const lqs::FastStats& stats, const QString& note, bool givenUp);
    void idleChanged(bool idle);
    void guardTripped(const lqs::GuardTrip& trip);
    void guardCleared();
    // A limit was set, by the window or a script.
    void guardSettingsChanged();
    void tripConfirmed(lqs::TripConfirmation confirmation);
    void planStepStarted(int pass, int step, qint64 lateMs);
    void planStepConfirmed(int pass, int step, qint64 afterMs);
    void planEnded(lqs::PlanEnd end, const QString& why);
    void countersChanged(int channel, const lqs::ChannelCounters& counters);

private:
    Ticket give(Done done);
    template <typename F>
    void call(F f);
    void commandDone(Ticket ticket, bool tookEffect);
    void measureDone(Ticket ticket, bool answered, double value);
    void tellIdle();

    DeviceLink* m_link;
    LinkTimings m_timings;
    LinkMode m_mode = LinkMode::Unlinked;
    OutputView m_linkOutput;
    std::optional<bool> m_outputAsked;  // the newest output command, until it has ended
    Ticket m_outputTicket = 0;
    QString m_identity;
    FastStats m_fastStats;
    int m_model = 0;
    bool m_fast = false;
    std::optional<GuardTrip> m_trip;
    std::array<std::array<GuardSetting, kGuardLimits>, 2> m_guardSettings{};
    std::array<ChannelCounters, 2> m_counters{};
    bool m_planRunning = false;
    bool m_envelopeArmed = false;  // the running plan's envelope guards it
    ActionRecorder m_actions;
    Done m_planDone;
    bool m_linkBusy = false;
    bool m_wasIdle = true;
    std::array<QString, 4> m_held;  // by field 5 .. 8
    Ticket m_nextTicket = 0;
    std::map<Ticket, Done> m_pending;
    std::map<Ticket, std::function<void(std::optional<double>)>> m_measures;
};

}  // namespace lqs
