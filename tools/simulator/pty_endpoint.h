// Puts an Instrument behind a pseudo-terminal so the program can open it like a serial port.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "instrument.h"
#include "line.h"

namespace lqs::sim {

class PtyEndpoint {
public:
    explicit PtyEndpoint(Model model = Model::B);
    ~PtyEndpoint();
    PtyEndpoint(const PtyEndpoint&) = delete;
    PtyEndpoint& operator=(const PtyEndpoint&) = delete;

    // Creates a raw 9600 8N1 pty and starts the I/O thread; throws std::system_error.
    // After stop(), start() opens a fresh pty (new slave path).
    void start();
    // Joins the thread, closes the pty and removes the link. Safe to call twice.
    void stop();
    bool running() const { return thread_.joinable(); }
    bool hungUp() const { return hungUp_.load(); }
    // e.g. "/dev/pts/5"; empty before start().
    std::string slavePath() const;

    // Symlink to the slave; needs start(). Removed by stop() if it still points at our slave.
    // A stale link a killed simulator left at the path is replaced; anything else is kept.
    std::error_code makeLink(const std::string& path);
    static bool isStaleLink(const std::string& path, const std::string& ours);
    void removeLink();
    std::string linkPath() const;

    // Runs f(Instrument&) under the instrument lock; f must not call back into the endpoint.
    template <class F>
    auto withInstrument(F&& f) {
        std::lock_guard<std::mutex> lock(instrumentMutex_);
        return f(instrument_);
    }

    // Frames acted on since the last clear, without CR/LF, empty frames skipped.
    std::vector<std::string> transcript() const;
    // The same frames byte for byte as they came, terminator included.
    std::vector<std::string> wireFrames() const;
    // When the LF of each of wireFrames() arrived.
    std::vector<std::chrono::steady_clock::time_point> wireTimes() const;
    // What a strict line would reject, one line each: a frame not ending in CR LF,
    // a byte outside printable ASCII, a frame whose bytes paused longer than the
    // line's silence. Empty while the program behaves.
    std::vector<std::string> wireFlags() const;
    // The pause inside a frame that counts as splitting it; 100 ms unless set.
    void setFrameSilence(std::chrono::milliseconds ms);
    // Every byte received since the last clear, framing included.
    std::string rawBytes() const;
    void clearTranscript();  // clears frames and raw bytes
    // Blocks until the transcript holds at least n frames; false on timeout. A frame is
    // listed only after its command took effect on the instrument.
    bool waitForFrames(std::size_t n, std::chrono::milliseconds timeout) const;
    // Replies fully written, split ones once; unasked bytes do not count.
    std::size_t repliesSent() const { return repliesSent_.load(); }
    // When the last byte of the last written reply was on the line; epoch if none yet.
    std::chrono::steady_clock::time_point lastReplyEnd() const;
    // Frames dropped for coming too soon after a reply (see LineModel::minSpacing),
    // without CR/LF; cleared with the transcript.
    std::vector<std::string> ignoredFrames() const;

    // Takes effect for bytes arriving from now on; before or after start().
    void setLineModel(const LineModel& line);
    LineModel lineModel() const;

    void injectFault(Fault fault, int count = 1);
    // Sticky silence: commands still act, queries go unanswered until cleared.
    void setSilent(bool silent);
    bool silent() const;
    void clearFaults();  // pending faults only; sticky silence stays as set
    std::size_t pendingFaults() const;
    // Closes the master at once, as if the cable were pulled.
    void hangUpNow();
    // Bytes that answer nothing, as a misbehaving peer sends them, after
    // whatever is already queued.
    void sendUnasked(std::string bytes);

    // Called on the I/O thread for every frame, after it took effect; must not block long.
    void setFrameObserver(std::function<void(const Exchange&)> observer);
    // The same, told also when the frame's last byte arrived on the line's clock.
    using TimedFrameObserver =
        std::function<void(const Exchange&, std::chrono::steady_clock::time_point arrived)>;
    void setTimedFrameObserver(TimedFrameObserver observer);

private:
    struct Incoming {
        std::chrono::steady_clock::time_point due;  // its LF's end on the line
        std::string frame;                          // LF included
    };

    void run();
    void wake();
    void handleInput(const char* data, std::size_t size);
    void checkWire(const char* data, std::size_t size);  // under stateMutex_
    void actOnDue();
    void act(const Incoming& in);
    void queueReply(const Exchange& e, const std::string& terminator,
                    std::chrono::steady_clock::time_point actedAt, const LineModel& line);
    void resetLine();
    bool flushDue();  // false while the master is full
    void closeMaster();
    void closeAll();
    void clientsLeft();  // reads the close watch

    mutable std::mutex instrumentMutex_;
    Instrument instrument_;

    mutable std::mutex stateMutex_;
    mutable std::condition_variable framesChanged_;
    std::vector<std::string> transcript_;
    std::string raw_;
    std::vector<std::string> wireFrames_;
    std::vector<std::chrono::steady_clock::time_point> wireTimes_;
    std::vector<std::string> wireFlags_;
    std::vector<std::string> ignored_;
    LineModel line_;
    std::string partialFrame_;                         // bytes since the last LF
    std::chrono::steady_clock::time_point partialAt_;  // when its last byte came
    std::chrono::milliseconds frameSilence_{100};
    FaultList faults_;
    std::deque<std::string> unasked_;  // handed to the I/O thread
    bool silent_ = false;
    std::string slavePath_;
    std::string linkPath_;
    TimedFrameObserver observer_;

    // Touched by the I/O thread only while it runs.
    int masterFd_ = -1;
    std::deque<OutChunk> queue_;
    std::size_t written_ = 0;                       // bytes of queue_.front() already written
    std::deque<Incoming> inbound_;                  // frames waiting for their last byte's time
    std::string inFrame_;                           // bytes since the last LF
    std::chrono::steady_clock::time_point inFree_;  // inbound line busy until
    ReplyLine out_;  // the outbound line: replies in order, at their times

    int slaveFd_ = -1;
    int wakeFd_ = -1;
    int closeWatchFd_ = -1;  // inotify on the slave's closes; -1 if unavailable
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> hangupRequested_{false};
    std::atomic<bool> hungUp_{false};
    std::atomic<std::size_t> repliesSent_{0};
    std::atomic<std::chrono::steady_clock::rep> lastReplyEnd_{0};
    std::thread thread_;
};

}  // namespace lqs::sim
