// The device link: command framing and sending, the operation dispatcher,
// the poll thread, the reply parser, and the querying and time-out dialogs.
// It lives in the user-interface thread; only the poll cycle runs elsewhere
// (device_link_threads.cpp holds all that the poll thread runs or shares).
#pragma once

#include "link_state.h"
#include "waits.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace lqs {

class LinkView;
class TComm;
class TMessages;
class TQuerying;

// Every pause of the link, with the instrument's own values as defaults.
// Tests shorten them; the program never changes them.
struct LinkTimings {
    int replyGraceMs = 500;      // a reply still missing when the next command is due
    int fullQueryPasses = 300;   // passes of 1 ms after each start-up query
    int pollStartMs = 500;       // before the first query of a cycle
    int pollPasses = 450;        // passes of 1 ms before and after each poll query
    int pollEndMs = 500;         // a cycle that finds polling stopped
    int holdCheckMs = 50;        // how often a held stepper is looked at again
    int couplingWaitMs = 500;    // after stopping polling for a coupling change
    int outputOffWaitMs = 500;   // after stopping polling to switch the output off
    int saveWaitMs = 200;        // after stopping polling to save with the output on
    int statusRetryWaitMs = 500; // after asking the status again
    int countdownStepMs = 150;   // one step of the time-out countdown
    int passMs = 1;              // one pass of the start-up and poll paces
    int recallStopWaitMs = 500;  // after stopping polling for a recall
    int recallPasses = 100;      // passes of recallPassMs around each recall command
    int recallPassMs = 3;

    // The same sequence with every pause divided by divisor (at least 1 ms).
    LinkTimings scaled(int divisor) const;
};

class DeviceLink : public QObject {
    Q_OBJECT
public:
    DeviceLink(TComm* comm, LinkView* view, QObject* parent = nullptr);
    ~DeviceLink() override;

    void attachDialogs(TQuerying* querying, TMessages* messages);
    void setTimings(const LinkTimings& timings) { m_timings = timings; }

    // Framing and sending.
    void SendCommand(const QString& command);
    static QByteArray FrameCommand(const QString& command);
    void ClearMeasuredFields();

    // The dispatcher and its routines.
    void OperationDispatcher();
    void FullQuery();
    void ResetLink();
    void OutputOnAction();
    void OutputOffAction();
    // Sends every set point that waits, in the order changed (the poll cycle
    // does the same after each of its queries).
    void SendDeferredSetPoint();

    // Receiving and parsing.
    void comm1ReceiveData(const void* buffer, std::uint16_t length);
    void ReplyParser();
    void ExtractReplyText();
    void StartPollThread();
    void ApplyCouplingStatus(const QString& digits);
    void ApplyOutputStatus(const QString& digit);
    void ApplyOutputStatusAtStartup(const QString& digit);

    // The querying dialog and the time-out box.
    void ShowQuerying();
    void QueryProgress();
    void CloseQuerying();
    void ShowTimeoutMessage();
    // The link button's sequence after "Do you Reset?" was confirmed.
    void LinkSequence();

    // The recall exchange: OUT0, RCL and the slot, then the nine queries,
    // each after a pace; closeDialog closes the recall dialog.
    void RecallMemory(const QString& slot, const std::function<void()>& closeDialog);

    // Seam: the "发送失败 !" box, shown in the user-interface thread.
    std::function<void()> ShowSendFailed;
    // Seam for tests: called in the sending thread once a frame's last byte
    // was handed to the serial component.
    std::function<void(const QString& command)> FrameHandedOver;

    int pollThreadsRunning() const;
    // What a link keeps between inputs, back to its start: for harnesses that
    // feed one link many inputs (LinkState has its own).
    void resetForTests();

private:
    // Who sends a frame, for the checks made under the send lock.
    struct SendFrom {
        std::uint64_t cycle = 0;  // a poll cycle's frame: refused once a newer cycle exists
        bool query = false;       // a poll query: named in LastQuery before its bytes go
        int waitingEdit = 0;      // a waiting set point: sent only while it waits with text
        QString text;
    };
    enum class Sent { Written, Skipped, Stale };
    struct WaitingSetPoint {
        int edit = 0;
        QString text;  // as confirmed
    };
    struct Answered {
        QString query;
        bool held = false;  // its field waits to be sent: the reply tells the old value
    };

    Sent TransmitFrame(const QString& command, const SendFrom& from);
    bool current(const SendFrom& from) const;
    bool writeFrame(const QByteArray& frame);
    void linkLost();
    void lineLost();
    void queryingClosed();
    void stopPolling();
    void pollCycle(std::uint64_t cycle);
    void reapPollThreads(bool all);
    void deferSetPoint(int edit, const QString& text);
    void dropWaitingSetPoints(int edit = 0);  // 0: every field
    void sendWaitingSetPoints(std::uint64_t cycle);
    void setPointSent(int edit, const QString& text);
    Answered answeredQuery() const;
    static QString queryOfField(int edit);
    QString portName() const;
    void showReply(int edit, const QString& text);
    // Runs f in the user-interface thread; from another thread it waits for
    // it to finish unless the link shuts down first.
    void runInUi(const std::function<void()>& f);
    bool inUiThread() const;
    void sendSetPointOf(int code);
    QString statusChars(int first, int count) const;

    TComm* m_comm;
    LinkView* m_view;
    TQuerying* m_querying = nullptr;
    TMessages* m_messages = nullptr;
    LinkTimings m_timings;
    Waits m_waits;

    QString m_identity;  // the reply to "*IDN?" of the last link
    std::mutex m_sendMutex;  // one frame at a time on the wire
    std::atomic<std::uint64_t> m_cycle{0};  // the one poll cycle allowed to send
    std::atomic<bool> m_sendFailedShown{false};
    std::atomic<bool> m_timeoutShown{false};  // the countdown has begun; it ends the program
    mutable std::mutex m_waitMutex;  // taken after m_sendMutex when both are
    std::vector<WaitingSetPoint> m_waiting;  // in the order changed

    struct PollThread {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::list<PollThread> m_pollThreads;  // touched by the user-interface thread only
};

}  // namespace lqs
