// DeviceLink: the one owner of the link to the instrument, an actor in a
// thread of its own. Callers state intents in the instrument's terms (set
// channel 1's voltage to 12.5, switch the output off, recall slot 2), queued
// into its thread; each becomes a command that completes: it ends once its
// frames are on the line and, where they are read back, confirmed, and the
// next command starts only then. What the link learns goes out as signals in
// the same terms. Inside, each command still sets its operation code and runs
// the dispatcher, so the instrument's sequences read as its tables give them.
//
// Every pause runs on one scheduler (scheduler.h), every sequence is a
// coroutine on it (sequence.h). Where the work lives:
//   device_link.cpp     construction, the mode, the commands and their completion
//   link_sequences.cpp  the dispatcher and the instrument's sequences
//   poll_cycle.cpp      the nine-query cycle and what waits for its gaps
//   fast_readings.cpp   the fast schedule
//   reply_side.cpp      the line's bytes matched to queries, and what replies change
//   wire.cpp            frames onto the line, and the grace for a missing reply
#pragma once

#include "device_link/fast_poll.h"
#include "device_link/guard.h"
#include "device_link/link_port.h"
#include "device_link/link_state.h"
#include "device_link/link_types.h"
#include "device_link/reply_parser.h"
#include "device_link/scheduler.h"
#include "device_link/sequence.h"
#include "device_link/step_plan.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace lqs {

// How a link keeps time: its pauses, fast readings' figures, and its clock.
struct LinkSetup {
    LinkTimings timings;
    FastPollTimings fast;
    Scheduler::Kind clock = Scheduler::Kind::Steady;
    // The line's silence that ends a reply: after a missed reply, the line
    // counts as in step again once it was this quiet.
    int silenceMs = 100;
    // The line's speed: a ramp sends no faster than the line carries its frames.
    int baud = 9600;
};

class DeviceLink : public QObject {
    Q_OBJECT
public:
    using Setup = LinkSetup;

    // port may be null: nothing then reaches a line.
    explicit DeviceLink(LinkPort* port, const LinkSetup& setup = LinkSetup(),
                        QObject* parent = nullptr);
    ~DeviceLink() override;

    // ---- In the link's thread only.
    Scheduler& scheduler() { return *m_scheduler; }
    const LinkState& state() const { return m_state; }
    const Setup& setup() const { return m_setup; }
    LinkMode mode() const { return m_mode; }
    OutputView output() const { return m_output; }
    QString identity() const { return m_identity; }
    // No command runs or waits, and nothing a reply set going is under way.
    bool idle() const;
    bool pollRunning() const;
    std::uint64_t unsolicitedBytes() const { return m_unsolicited; }
    FastStats fastStats() const { return m_stats; }
    // Bytes the line brought and its hang-up, from whoever owns the line.
    void receive(const char* bytes, std::size_t length);
    void hangUp();
    // Seam for tests: called once a frame's last byte was handed to the line.
    std::function<void(const QString& command)> FrameHandedOver;

public Q_SLOTS:
    // ---- Intents. Each runs once every one before it has ended; ticket
    // (when not 0) is told in commandDone once it has.
    void link(const QString& portName, lqs::Ticket ticket = 0);
    // Enter in a set-point field: value as confirmed, text as the field shows it.
    void setSetPoint(int channel, lqs::Quantity quantity, double value, const QString& text,
                     lqs::Origin origin = lqs::Origin::Window, lqs::Ticket ticket = 0);
    // An arrow's step to value (text as shown).
    void stepSetPoint(int channel, lqs::Quantity quantity, double value, const QString& text,
                      lqs::Ticket ticket = 0);
    // On and off are absolute; output commands still waiting give way to the newest.
    void setOutput(bool on, lqs::Ticket ticket = 0);
    void selectCoupling(lqs::Coupling coupling, lqs::Ticket ticket = 0);
    void saveMemory(const QString& slot, lqs::Ticket ticket = 0);
    void recallMemory(const QString& slot, lqs::Ticket ticket = 0);
    // A reading asked after every command before it has ended; measureDone tells it.
    void measure(int channel, lqs::Quantity quantity, lqs::Ticket ticket);
    // commandDone once every command before it has ended (*OPC?, *WAI).
    void sync(lqs::Ticket ticket);
    // ---- These take effect at once.
    void holdStarted();
    void holdTick();
    void holdEnded();
    void setModel(int index);
    // Fast readings, the operator's choice and off at every start: while the
    // output is on, the measured values are asked one after another as fast
    // as the instrument answers, instead of the nine-query cycle.
    void setFastReadings(bool on);
    // A limit of the guard on one channel. While any limit is armed and the
    // output is on, the measured values are read on the fast schedule.
    void setGuard(int channel, lqs::GuardLimit limit, const lqs::GuardSetting& setting);
    // The operator clears a trip: the output may be switched on again.
    void clearTrip();
    // Both of a channel's counters start again from zero.
    void clearCounters(int channel);
    // A plan of steps, run on the deadline schedule from now (plan_run.cpp).
    // Refused, with the reasons, when it breaks the model's ranges, the
    // envelope or the coupling. ticket ends with the run: true when it ran
    // to its end.
    void runPlan(const lqs::StepPlan& plan, const lqs::Envelope& envelope, lqs::Ticket ticket);
    void stopPlan();
    void pausePlan(bool paused);
    void nextPlanStep();  // the operator's Next: the step ends now
    // Tests shorten the pauses; the program keeps the instrument's own.
    void setTimings(const lqs::LinkTimings& timings) { m_setup.timings = timings; }
    void setFastTimings(const lqs::FastPollTimings& timings) { m_setup.fast = timings; }
    void queryingClosed();  // the querying dialog closed, whichever way
    void stop();            // the program is closing: nothing more goes out
    // The time-out box was answered: nothing more goes out, and the output's
    // state is unknown until the next link reads it.
    void giveUp();

Q_SIGNALS:
    void modeChanged(lqs::LinkMode mode);
    // A limit tripped: the output goes off ahead of anything waiting, and
    // stays off until clearTrip().
    void guardTripped(const lqs::GuardTrip& trip);
    void guardCleared();
    // After a trip's "OUT0", what the status said of the output.
    void tripConfirmed(lqs::TripConfirmation confirmation);
    // A channel's charge and energy changed (a reading counted, or a clear).
    void countersChanged(int channel, const lqs::ChannelCounters& counters);
    // A plan's step began, late by lateMs after its deadline; its set
    // points and output ended (sent and, where read back, confirmed)
    // afterMs after it began.
    void planStepStarted(int pass, int step, qint64 lateMs);
    void planStepConfirmed(int pass, int step, qint64 afterMs);
    void planEnded(lqs::PlanEnd end, const QString& why);
    // The start-up query ended; identity is the reply to "*IDN?".
    void linked(const QString& identity);
    void readingTaken(const lqs::Reading& reading);
    void readingsCleared();
    // The instrument's reply to a set-point query, as it came.
    void setPointRead(int channel, lqs::Quantity quantity, const QString& text);
    // What the link knows the instrument holds: sent or read, as text.
    void setPointHeld(int channel, lqs::Quantity quantity, const QString& text);
    // Fast readings: a set point read back as another value than the one sent.
    void setPointNotHeld(int channel, lqs::Quantity quantity, const QString& holds,
                         const QString& sent);
    void outputChanged(const lqs::OutputView& output);
    // The coupling changed: sent by a command, or reported by the instrument
    // (whose change the link has carried out as the button's click would).
    void couplingChanged(lqs::Coupling coupling);
    void couplingStatusUnreadable(bool unreadable);
    void outputStatusUnreadable(bool unreadable);
    void queryingShown();
    // seconds < 0: the dialog's text is cleared.
    void queryingProgress(int position, int seconds);
    void queryingCloseRequested();
    void timedOut();
    void frameRefused();
    void conversionFailed(const QString& message);
    void readingsStale(const QDateTime& since, lqs::StaleReason why);
    void readingsFresh();
    // No new reading of this value for twice its interval: the one shown is
    // not current. Fresh again with its next readingTaken.
    void readingAged(int channel, lqs::Quantity quantity, const QDateTime& readAt, int ageSeconds);
    void lineLost();
    void fastStatsChanged(const lqs::FastStats& stats, const QString& note, bool givenUp);
    void busyChanged(bool busy);
    void commandDone(lqs::Ticket ticket, bool tookEffect);
    void measureDone(lqs::Ticket ticket, bool answered, double value);

private:
    // ---- Commands (device_link.cpp).
    struct Command {
        enum class Kind { Link, SetPoint, Step, Output, Coupling, Save, Recall, Measure, Sync };
        Kind kind = Kind::Sync;
        Origin origin = Origin::Window;
        std::vector<Ticket> tickets{};
        int edit = 0;  // a set point's field 5 .. 8, a reading's 1 .. 4
        double value = 0;
        QString text{};  // a set point as confirmed, a slot, a port's name
        bool on = false;
        std::uint8_t code = 0;  // a coupling's operation code
        Ticket measureTicket = 0;
        bool trip = false;  // the guard's "off": confirmed by the status afterwards
        bool plan = false;  // given by a running plan
    };
    void enqueue(Command command);
    void runNext();
    Sequence perform(Command command);
    void commandEnded();
    void setMode(LinkMode mode);
    // The fast schedule: the operator's choice, or an armed guard's need.
    bool fastSchedule() const { return m_fastWanted || m_guard.armed(); }
    void feedGuard(const Reading& reading);
    void applyGuard(int channel, GuardLimit limit, const GuardSetting& setting);
    void tripOutput(const GuardTrip& trip);
    std::optional<bool> inConstantCurrent(int channel, double amps) const;
    // Tickets of the link's own commands (a plan's), answered here.
    Ticket internalTicket(std::function<void(bool)> done);
    void endTicket(Ticket ticket, bool tookEffect);
    // ---- A plan's run (plan_run.cpp).
    struct PlanRun {
        StepPlan plan;
        LinkTime base;       // where the deadlines count from; moves on for a pause or an early end
        LinkTime nextStart;  // when the step after this one is due
        HeldValues held;
        HeldValues first;  // what the first step left, for an end back at it
        bool paused = false;
        bool next = false;
        std::array<ChannelCounters, 2> countersAtStep{};
        // The operator's own limits, given back when the run ends.
        std::array<std::array<GuardSetting, kGuardLimits>, 2> guardBefore{};
        Ticket ticket = 0;
        Signal wake;
        explicit PlanRun(Scheduler& s) : wake(s) {}
    };
    Sequence planSequence();
    Sequence planWaitUntil(LinkTime& when);
    Task<LinkClock::duration> holdWhilePaused();
    HeldValues heldByInstrument() const;
    void armEnvelope(const Envelope& envelope);
    Command planSetPoint(int channel, Quantity q, double value, bool plan = true) const;
    void sendPlanValues(int pass, int step, const HeldValues& values, bool confirmStep);
    void sendRampPoint(int channel, Quantity q, double value, const std::shared_ptr<bool>& busy);
    bool planStepEnds(const EndCondition& until, LinkTime since) const;
    void endPlan(PlanEnd end, const QString& why, bool applyEndState);
    void notePlanReading(const Reading& r);
    Sequence confirmTripOff();
    void settleConfirmation(const QByteArray& bytes);
    int offStopPause() const;
    void updateMode();
    void setOutputState(OutputState state);
    void publishOutput();
    void startReplyRun(Sequence sequence);
    void busyMaybeChanged();
    bool idleBesidesQueue() const;

    // ---- The dispatcher and the instrument's sequences (link_sequences.cpp).
    Sequence OperationDispatcher(const QString& slot = QString());
    Sequence setPointCommand(Command command);
    Sequence FullQuery();
    void ResetLink();
    Sequence OutputOnAction();
    Sequence OutputOffAction();
    Sequence startPolling();
    Sequence outputCommand(bool on);
    Sequence couplingCommand(std::uint8_t code);
    Sequence linkSequence(QString portName);
    Sequence RecallMemory(QString slot);
    Sequence measureCommand(Command command);
    Sequence ApplyCouplingStatus(QString digits);
    // False when the digit is none: the handling of the reply ends there.
    Task<bool> ApplyOutputStatus(QString digit, bool atStartup);
    void ShowQuerying();
    void QueryProgress();
    void CloseQuerying();
    Sequence countdown();
    void ClearMeasuredFields();
    Until pause(int ms) { return Until(m_scheduler->now() + std::chrono::milliseconds(ms)); }

    // ---- Wire (wire.cpp).
    enum class Sent { Written, Skipped, Dropped, Stale };
    struct From {
        bool poll = false;   // a poll query: named in LastQuery
        Ticket measure = 0;  // a caller's reading: its missing reply ends nothing
        int waitingEdit = 0;
        std::uint64_t waitingId = 0;  // a waiting set point going out
        bool confirm = false;         // the status after a trip's "off"
    };
    Task<Sent> SendCommand(QString command, From from);
    Task<Sent> SendCommand(QString command) { return SendCommand(std::move(command), From()); }
    Sent TransmitFrame(const QString& command, const From& from, bool dropped);
    bool replyMissing() const;
    bool sendingStopped(const From& from) const;
    void missingReply();
    void markStale(StaleReason why);

    // ---- Set points that wait for a gap while the output is on (poll_cycle.cpp).
    struct WaitingSetPoint {
        std::uint64_t id = 0;
        int edit = 0;
        double value = 0;
        QString text;  // as confirmed
        Origin origin = Origin::Window;
        std::vector<Ticket> tickets;  // of the window's values that replaced it
        bool sent = false;            // on the line, read back where fast readings run
        bool readBack = false;        // fast readings: sent, its query due
        bool again = false;           // fast readings: sent a second time
        bool tookEffect = false;
    };
    std::uint64_t deferSetPoint(const Command& command);
    void setPointSent(std::uint64_t id);
    void finishWaiting(std::uint64_t id, bool tookEffect);
    void failWaiting();
    Sequence waitingSettled();
    Sequence sendWaitingSetPoints();
    QString setPointFrame(const WaitingSetPoint& w) const;

    // ---- The classic cycle (poll_cycle.cpp).
    void StartPollThread();
    void stopPolling();
    Sequence PollThread(LinkTime start);
    Sequence holdReleased();
    Sequence sendMeasureAsks();
    struct MeasureAsk {
        Ticket ticket = 0;
        int edit = 0;
        LinkTime after;  // fast readings: a reply to a query sent after this
        bool answered = false;
        bool ok = false;
        double value = 0;
    };
    using Ask = std::shared_ptr<MeasureAsk>;
    void answerMeasure(const Ask& ask, bool ok, double value);
    void failMeasures();

    // ---- Fast readings (fast_readings.cpp).
    Sequence FastPoll();
    Sequence holdLineForPlanStep(const AdaptiveGap& gap);
    Task<bool> exchange(const QString& query, AdaptiveGap& gap, LinkTime& lastReply);
    Task<bool> sendWaitingFast(FastSchedule& schedule, AdaptiveGap& gap, LinkTime lastReply);
    Sequence resynchronise();
    bool readBackHeld(int edit, const QString& text);
    void publishFast(bool now, bool givenUp = false);
    int stopPause(int partsMs) const;

    // ---- The reply side (reply_side.cpp).
    struct Outstanding {
        std::uint64_t seq = 0;
        QString query;
        QByteArray bytes;
        QByteArray implausible;  // a whole line this query could not have had
        bool overlong = false;
        bool closed = false;  // the next command came due: no more bytes are its
        bool poll = false;
        bool stale = false;  // its field's new set point went out after it was asked
        Ticket measure = 0;
        bool confirm = false;
        LinkTime sentAt;
    };
    void takeByte(char byte);
    void closeReplies();
    void settleClosed();
    void settle(const Outstanding& reply);
    bool plausible(const QString& query, const QByteArray& line) const;
    Sequence applyEffects(ReplyOutcome out);
    void showReply(int edit, const QString& text, LinkTime at);
    void watchAge(int edit, LinkTime at);
    void forgetAges();
    void answerFastMeasures(int edit, const QString& text, LinkTime askedAt);
    bool heldField(const QString& query) const;
    void clearAwaiting();

    LinkPort* m_port;
    Setup m_setup;
    std::unique_ptr<Scheduler> m_scheduler;
    LinkState m_state;
    LinkMode m_mode = LinkMode::Unlinked;
    OutputView m_output;
    OutputView m_published;  // as last told
    QString m_portName;
    QString m_identity;
    int m_progress = 0;  // the querying dialog's bar
    bool m_queryingShown = false;
    bool m_stale = false;
    bool m_fastWanted = false;  // the operator's choice
    Guard m_guard;
    std::optional<TripConfirmation> m_confirmation;  // the status after a trip, as it came
    bool m_busy = false;
    bool m_stopped = false;
    std::optional<std::uint8_t> m_coupling;  // the coupling selected, as the buttons show it

    std::deque<Command> m_queue;
    std::unique_ptr<Run> m_control;    // the command under way
    std::optional<Command> m_current;  // and what it is
    std::unique_ptr<Run> m_countdown;
    std::unique_ptr<PlanRun> m_plan;
    std::unique_ptr<Run> m_planRun;
    std::uint64_t m_planGeneration = 0;
    std::uint64_t m_internalSeq = 0;
    std::map<Ticket, std::function<void(bool)>> m_internal;
    // The newest reading of each channel and quantity, for a plan's end conditions.
    std::array<std::optional<std::pair<double, LinkTime>>, 4> m_newest{};
    std::vector<std::unique_ptr<Run>> m_replyRuns;  // what replies set going, each on its own
    std::unique_ptr<Run> m_poll;                    // the cycle, or fast readings

    std::deque<Outstanding> m_outstanding;
    std::uint64_t m_querySeq = 0;
    std::uint64_t m_answeredSeq = 0;     // the newest query whose reply ended
    bool m_discardToTerminator = false;  // the tail of a reply cut short is no one's
    bool m_resyncing = false;            // after a miss: until quiet, or up to a CR
    bool m_swallowCr = false;            // a discarded line ended at LF: its CR may follow
    LinkTime m_lastByteAt;
    std::uint64_t m_unsolicited = 0;

    std::vector<WaitingSetPoint> m_waiting;  // in the order changed
    std::uint64_t m_waitingIds = 0;
    std::deque<Ask> m_measureAsks;                    // for the cycle to ask between its queries
    std::vector<Ask> m_fastMeasures;                  // for fast readings' next replies
    std::vector<Ask> m_measuresSent;                  // asked on the line, by ticket
    bool m_statusAnswered = false;                    // the cycle's STATUS? has its reply
    std::array<Scheduler::TimerId, 4> m_ageTimers{};  // by measured value

    Signal m_replied;   // a reply ended, or a query was given up
    Signal m_released;  // a held stepper was let go, or polling stopped
    Signal m_settled;   // a waiting set point went out or was given up; a measure answered
    Signal m_resynced;
    Signal m_planGiven;  // a plan's step has given its values

    // Fast readings.
    FastStats m_stats;
    LinkTime m_statsSince;
    int m_statsReadings = 0;
    int m_statsExchanges = 0;
    QString m_note;
    LinkTime m_noteUntil;
    int m_commandsLost = 0;
    QString m_lastMissed;          // the query fast readings missed last, until it is answered
    int m_fastStopMs = 0;          // a reply's deadline and a gap, while fast readings run
    AdaptiveGap* m_gap = nullptr;  // fast readings' pace, while they run

    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace lqs
