// DeviceLink: the one owner of the link to the instrument. Windows state
// intents (a set point confirmed, an arrow's step, output on or off, a
// coupling, a memory slot, a model, link); each sets its operation code and
// runs the dispatcher, so the tables of operation codes stay readable here.
// What the link learns goes out as signals. Replies are matched to the
// queries that asked for them; bytes nobody asked for change nothing.
//
// Everything runs in the user-interface thread except the poll worker;
// device_link_threads.cpp holds all that the worker runs or shares.
#pragma once

#include "device_link/fast_poll.h"
#include "device_link/link_state.h"
#include "device_link/reply_parser.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace lqs {

class Strand;
class TComm;

// Every pause of the link, with the instrument's own values as defaults.
// Tests shorten them; the program never changes them.
struct LinkTimings {
    int replyGraceMs = 500;       // a reply still missing when the next command is due
    int fullQueryPasses = 300;    // passes of 1 ms after each start-up query
    int pollStartMs = 500;        // before the first query of a cycle
    int pollPasses = 450;         // passes of 1 ms before and after each poll query
    int couplingWaitMs = 500;     // after stopping polling for a coupling change
    int outputOffWaitMs = 500;    // after stopping polling to switch the output off
    int saveWaitMs = 200;         // after stopping polling to save with the output on
    int statusRetryWaitMs = 500;  // after asking the status again
    int countdownStepMs = 150;    // one step of the time-out countdown
    int passMs = 1;               // one pass of the start-up and poll paces
    int recallStopWaitMs = 500;   // after stopping polling for a recall
    int recallPasses = 100;       // passes of recallPassMs around each recall command
    int recallPassMs = 3;

    // The same sequence with every pause divided by divisor (at least 1 ms).
    LinkTimings scaled(int divisor) const;
};

class DeviceLink : public QObject {
    Q_OBJECT
public:
    explicit DeviceLink(TComm* comm, QObject* parent = nullptr);
    ~DeviceLink() override;

    const LinkState& state() const { return m_state; }
    void setTimings(const LinkTimings& timings) { m_timings = timings; }

    // ---- Intents. Those that send wait, in order, until every sequence
    // under way has ended, so the operator's last command is the one the
    // instrument keeps.
    void link();  // the link button, after "Do you Reset?" was confirmed
    void confirmSetPoint(int edit, const QString& text);  // Enter in Edit5 .. Edit8
    void stepSetPoint(int edit, const QString& text);     // an arrow stepped the field to text
    void toggleOutput();                                  // the output button
    void selectCoupling(std::uint8_t code);               // a coupling button became selected
    void saveMemory(const QString& slot);
    void recallMemory(const QString& slot);
    // These take effect at once.
    void holdStarted();
    void holdTick();
    void holdEnded();
    void setModel(int index);
    void queryingClosed();  // the querying dialog closed, whichever way
    void stop();            // the program is closing: nothing more goes out

    // Fast readings, the operator's choice and off at every start: while the
    // output is on, the measured values are asked one after another as fast
    // as the instrument answers, instead of the nine-query cycle. Switched
    // off, the cycle takes over again from its next query.
    void setFastReadings(bool on);
    bool fastReadings() const { return m_fast.load(); }
    void setFastTimings(const FastPollTimings& timings);
    struct FastStats {
        double readingsPerSecond = 0;   // replies to the four measured values
        double exchangesPerSecond = 0;  // every query answered
        double replyMs = 0;             // from the frame handed over to its reply's CR, smoothed
        int gapMs = 0;
        int misses = 0;   // since fast readings began
        int retries = 0;  // set points sent again after the instrument read back another value
    };
    FastStats fastStats() const;
    // How often each measured value is read: a poll cycle, or a second or
    // less with fast readings.
    int readingIntervalMs() const;

    // A measured value (field 1 .. 4) for a remote client: with polling
    // running, its next reply; otherwise its query goes out once, in turn
    // with the other intents. done gets the reply's text, empty when none
    // came. It is called from the event loop, never inside a sequence.
    void measure(int edit, std::function<void(const QString& text)> done);
    // done runs once every intent given before it has run.
    void whenIdle(std::function<void()> done);
    // The instrument's reply to "*IDN?" at the last link.
    QString identity() const { return m_identity; }
    // The start-up query ended and the line stands.
    bool linked() const { return !m_linkedText.isEmpty() && !m_lineGone && !m_timeoutShown; }

    // The output state once every output intent under way has run.
    bool outputIntended() const;
    // No sequence under way and no intent waiting.
    bool idle() const;

    // What the line brought that no query asked for, in bytes.
    std::uint64_t unsolicitedBytes() const { return m_unsolicited.load(); }
    // True while the poll worker runs a cycle.
    bool pollCycleRunning() const { return m_cycleRunning.load(); }

    // Seam for tests: called in the sending thread, under the wire lock, once
    // a frame's last byte was handed to the serial component; a thread held
    // here is one descheduled at the worst moment.
    std::function<void(const QString& command)> FrameHandedOver;

Q_SIGNALS:
    void fieldChanged(int edit, const QString& text);  // Edit1 .. Edit8
    void outputCaptionChanged(const QString& caption);
    void statusTextChanged(int panel, const QString& text);
    // 1 INDEP, 2 PARALL, 3 TRACK: select the button, which runs its click handling.
    void couplingReported(int button);
    void frameEnabledChanged(bool enabled);
    void linkTextChanged(const QString& text);
    void linkedPictureChanged(bool linked);
    void queryingShown();
    void queryingProgress(int position, const QString& remaining);
    void queryingCloseRequested();
    void timeoutShown();
    void sendFailed();
    void conversionFailed(const QString& message);
    // The measured readings on screen stopped being current (the line was
    // lost or a reply is missing), and since when; fresh again with the next one.
    void readingsStale(const QDateTime& since, const QString& why);
    void readingsFresh();
    // The device went away under the open port: the link is down, without the
    // time-out that a missing reply on a live line leads to.
    void lineGone();
    // Fast readings: a set point read back as another value than the one sent.
    void setPointNotHeld(int edit, const QString& holds, const QString& sent);

private:
    // ---- The dispatcher and its sequences; they run inside a strand's step.
    void SendCommand(const QString& command);
    void OperationDispatcher(const QString& text = QString());
    void FullQuery();
    void ResetLink();
    void OutputOnAction();
    void OutputOffAction();
    void SendDeferredSetPoint();
    void StartPollThread();
    void ApplyCouplingStatus(const QString& digits);
    void ApplyOutputStatus(const QString& digit);
    void ApplyOutputStatusAtStartup(const QString& digit);
    void ShowQuerying();
    void QueryProgress();
    void CloseQuerying();
    void ShowTimeoutMessage();
    void ClearMeasuredFields();
    void RecallMemory(const QString& slot);
    void LinkSequence();

    // Steps of the running strand.
    void then(std::function<void()> step);
    void pause(int ms);

    struct Intent {
        Intent(int field, std::function<void()> runs, std::function<void()> ifDropped = {})
            : edit(field), run(std::move(runs)), dropped(std::move(ifDropped)) {}
        int edit = 0;  // a set point's field: a newer one replaces it while it waits
        std::function<void()> run;
        std::function<void()> dropped;  // told when the link stops before it ran
    };
    void perform(Intent intent);
    void runIntents();
    Strand* newStrand();
    bool anyBusy() const;
    void outputIntent(bool on);

    // ---- Receiving.
    struct Outstanding {
        QString query;
        QByteArray bytes;
        bool overlong = false;
        bool closed = false;        // the next command came due: no more bytes are its
        bool poll = false;          // asked by the poll worker
        bool stale = false;         // its field's new set point went out after it was asked
        std::uint64_t measure = 0;  // a remote client's reading, by its number
    };
    void comm1ReceiveData(const char* bytes, std::size_t length);
    void takeClosedLocked(std::vector<Outstanding>& done);
    void settleClosed();
    void closeReplies();
    void startCountdown();
    void settle(const Outstanding& reply);
    void applyEffect(ReplyEffect effect, const ReplyOutcome& out);
    void showReply(int edit, const QString& text);
    void answerMeasures(int edit, const QString& text);
    void finishMeasure(std::uint64_t id, const QString& text);
    void failMeasures();
    void dropMeasureAsks();
    void clearAwaiting();
    bool heldField(const QString& query) const;

    // ---- Sending (device_link_threads.cpp).
    struct SendFrom {
        std::uint64_t epoch =
            0;              // a poll cycle's frame: refused once the cycle was stopped or replaced
        bool poll = false;  // a poll query: named in LastQuery
        int waitingEdit = 0;        // a waiting set point: sent only while it waits with text
        std::uint64_t measure = 0;  // a remote client's reading: its missing reply ends nothing
        QString text;
    };
    enum class Sent { Written, Skipped, Stale };
    bool replyMissing() const;
    Sent TransmitFrame(const QString& command, const SendFrom& from, bool dropped);
    Sent transmitFromWorker(const QString& command, const SendFrom& from);
    void sendFromUi(const QString& command, const SendFrom& from,
                    std::function<void(Sent)> done = {});
    bool currentLocked(const SendFrom& from) const;
    bool writeFrame(const QByteArray& frame);
    void linkLost();
    void reportSendFailed();
    void lineLost();
    void markStale(const QString& why);

    // ---- Set points changed while the output is on.
    struct WaitingSetPoint {
        int edit = 0;
        QString text;  // as confirmed
    };
    void deferSetPoint(int edit, const QString& text);
    void dropWaitingSetPoints(int edit = 0);  // 0: every field
    bool nextWaiting(SendFrom& from, QString& command);
    void sendNextWaiting();
    void sendWaitingFromWorker(std::uint64_t epoch);
    void sendMeasuresFromWorker(std::uint64_t epoch);
    void setPointSentLocked(int edit, const QString& text);
    void sendSetPoint(int code, const QString& fieldText);

    // ---- The poll worker.
    void stopPolling();
    void pollWorker();
    void PollThread(std::uint64_t epoch, std::chrono::steady_clock::time_point start);
    enum class Answer { Replied, Missed, Stopped };
    void FastPoll(std::uint64_t epoch, const FastPollTimings& timings);
    Answer waitForReply(std::uint64_t seen, std::chrono::steady_clock::time_point deadline,
                        std::uint64_t epoch);
    std::uint64_t repliesSoFar();
    bool openPollQuery() const;
    bool sendWaitingFast(std::uint64_t epoch, FastSchedule& schedule, const AdaptiveGap& gap,
                         std::chrono::steady_clock::time_point lastReply);
    void abandonOpenQueries();
    void publishFast(const FastStats& stats, const QString& note, bool givenUp = false);
    bool readBackHeld(const Outstanding& reply);
    int stopPause(int partsMs) const;
    bool sleepUntil(std::chrono::steady_clock::time_point deadline, std::uint64_t epoch);
    bool waitForHold(std::uint64_t epoch);

    QString portName() const;
    QString linkedText() const;
    bool inUiThread() const;

    TComm* m_comm;
    LinkState m_state;
    LinkTimings m_timings;
    QString m_identity;                   // the reply to "*IDN?" of the last link
    QString m_linkedText;                 // the link panel's text once linked
    int m_progress = 0;                   // the querying dialog's bar
    Strand* m_control = nullptr;          // the intents, one after the other
    Strand* m_countdown = nullptr;        // the time-out countdown
    std::vector<Strand*> m_replyStrands;  // what replies set going, each on its own
    std::deque<Intent> m_intents;
    std::optional<bool> m_outputTarget;  // where the output presses under way leave it
    bool m_countingDown = false;
    bool m_stale = false;
    using MeasureDone = std::function<void(const QString&)>;
    std::map<std::uint64_t, MeasureDone> m_measures;  // remote readings asked, by number
    std::uint64_t m_measureIds = 0;
    std::array<std::vector<MeasureDone>, 4>
        m_measureNext;  // fast readings: the next reply, by field

    // One lock for the wire: frames, the outstanding queries and the waiting
    // set points. LinkState's text lock may be taken inside it, never around it.
    mutable std::mutex m_lock;
    std::deque<Outstanding> m_outstanding;
    std::vector<WaitingSetPoint> m_waiting;  // in the order changed
    std::deque<std::pair<std::uint64_t, int>>
        m_measureAsk;  // readings for the poll cycle to ask: number, field
    std::atomic<std::uint64_t> m_unsolicited{0};
    std::atomic<bool> m_timeoutShown{false};  // the countdown has begun; it ends the program
    std::atomic<bool> m_lineGone{false};      // hung up: no countdown until the next link

    // The poll worker: one thread for the link's life, one cycle at a time.
    std::mutex m_pollMutex;
    std::condition_variable m_pollWake;
    std::uint64_t m_triggers = 0;           // cycles asked for; under m_pollMutex
    std::atomic<std::uint64_t> m_epoch{0};  // a new cycle or a stop ends the one running
    std::chrono::steady_clock::time_point m_triggerTime;
    bool m_quit = false;
    std::atomic<bool> m_cycleRunning{false};
    std::thread m_worker;

    // Fast readings.
    std::atomic<bool> m_fast{false};
    FastPollTimings m_fastTimings;  // under m_pollMutex
    std::uint64_t m_replySeq = 0;   // replies to poll queries so far; under m_pollMutex
    // A set point sent while fast readings run, until its query reads it
    // back; by field 5 .. 8, under m_lock.
    struct ReadBack {
        QString text;
        bool pending = false;
        bool again = false;  // sent a second time: what it reads back now stands
    };
    std::array<ReadBack, 4> m_readBack;
    std::array<bool, 4> m_sendAgain{};  // queued again by a read-back; under m_lock
    std::atomic<int> m_commandsLost{0};
    std::atomic<int> m_fastStopMs{0};  // a reply's deadline and a gap, while fast readings run  //
                                       // taken only when sent again: the pause was too short
    mutable std::mutex m_statsMutex;
    FastStats m_stats;
};

}  // namespace lqs
