// The two waits of every command sequence. In the user-interface thread they
// run a nested event loop until the deadline, so the window stays live and
// replies are handled meanwhile; in any other thread they sleep, and wake
// early only when the program shuts down.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace lqs {

class Waits {
public:
    void ResponsiveWait(int ms);
    // passes of (handle events, sleep ms): waited as one span of passes * ms.
    void PacedWait(int passes, int ms);
    // Wakes every sleeping thread at once and makes later sleeps return at once.
    void shutdown();
    bool shuttingDown() const;
    // Sleeps up to ms in a worker thread; false when woken by shutdown.
    bool sleepFor(int ms);
    // Runs set under the waits' lock, then wakes every waiting thread.
    void signal(const std::function<void()>& set);
    // Blocks a worker thread until ready() holds (read under the waits' lock)
    // or the program shuts down; false when it shut down first.
    bool waitUntil(const std::function<bool()>& ready);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_shutdown = false;
};

}  // namespace lqs
