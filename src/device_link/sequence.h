// The link's sequences as coroutines: each reads top to bottom in the order
// it happens, and whatever happens later stands behind a co_await. A
// sequence runs on the scheduler's clock and in its thread only.
//
//   Sequence DeviceLink::recall(...) {
//       stopPolling();
//       co_await pause(m_timings.recallStopWait);   // later
//       send("OUT0");                                // now
//   }
//
// A sequence starts when it is run (Run::start) or awaited by another
// sequence, whose run it then belongs to. Stopping a run destroys it at the
// wait it stands in, timers and all; a run that stops itself ends at its
// next wait.
#pragma once

#include "device_link/scheduler.h"

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace lqs {

class Run;

namespace detail {

struct PromiseBase {
    Run* run = nullptr;
    std::coroutine_handle<> continuation;
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct Final {
        bool await_ready() noexcept { return false; }
        template <typename P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            if (auto c = h.promise().continuation) return c;
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    Final final_suspend() noexcept { return {}; }
    void unhandled_exception() { error = std::current_exception(); }
};

template <typename T>
struct Promise : PromiseBase {
    std::optional<T> value;
    void return_value(T v) { value = std::move(v); }
};

template <>
struct Promise<void> : PromiseBase {
    void return_void() {}
};

}  // namespace detail

// A sequence that gives a T when it ends; Sequence gives nothing.
template <typename T = void>
class [[nodiscard]] Task {
public:
    struct promise_type : detail::Promise<T> {
        Task get_return_object() {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    explicit Task(Handle h) : m_h(h) {}
    Task(Task&& o) noexcept : m_h(std::exchange(o.m_h, {})) {}
    Task& operator=(Task&& o) noexcept {
        if (this != &o) {
            if (m_h) m_h.destroy();
            m_h = std::exchange(o.m_h, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (m_h) m_h.destroy();
    }

    // Awaited by another sequence: runs inside the same run.
    bool await_ready() const noexcept { return !m_h || m_h.done(); }
    template <typename P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
        m_h.promise().run = parent.promise().run;
        m_h.promise().continuation = parent;
        return m_h;
    }
    T await_resume() {
        if (m_h && m_h.promise().error) std::rethrow_exception(m_h.promise().error);
        if constexpr (!std::is_void_v<T>) return std::move(*m_h.promise().value);
    }

private:
    friend class Run;
    Handle m_h;
};

using Sequence = Task<void>;

// A started sequence and what belongs to it; owned by whoever started it.
class Run {
public:
    // ended runs once the sequence has finished or was stopped, from the
    // scheduler's next turn; the Run may be destroyed there.
    static std::unique_ptr<Run> start(Scheduler& scheduler, Sequence sequence,
                                      std::function<void()> ended = {});
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    bool finished() const { return m_finished; }
    // Ends the run at the wait it stands in; from inside itself, at its next wait.
    void stop();
    bool stopping() const { return m_stopRequested; }
    Scheduler& scheduler() const { return m_scheduler; }

    // For awaiters: resume the sequence that waits, inside this run.
    void resume(std::coroutine_handle<> h);
    // For awaiters: true when the run is stopping, so nothing more is set up.
    bool suspending();

private:
    Run(Scheduler& scheduler, Sequence sequence, std::function<void()> ended);
    void finish();

    Scheduler& m_scheduler;
    Sequence m_sequence;
    std::function<void()> m_ended;
    bool m_executing = false;
    bool m_stopRequested = false;
    bool m_finished = false;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

// ---- Waits ----

// Sleeps until a moment of the scheduler's clock.
class Until {
public:
    explicit Until(LinkTime when) : m_when(when) {}
    ~Until();
    Until(const Until&) = delete;
    Until& operator=(const Until&) = delete;
    bool await_ready() const noexcept { return false; }
    template <typename P>
    void await_suspend(std::coroutine_handle<P> h) {
        suspend(h.promise().run, h);
    }
    void await_resume() const noexcept {}

private:
    void suspend(Run* run, std::coroutine_handle<> h);
    LinkTime m_when;
    Scheduler* m_scheduler = nullptr;
    Scheduler::TimerId m_timer = 0;
};

// Something sequences wait for (a reply, a released hold, a command's end):
// notify() wakes every waiter from the scheduler's next turn.
class Signal {
public:
    explicit Signal(Scheduler& scheduler) : m_scheduler(scheduler) {}
    ~Signal();
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    void notify();

    // co_await signal.wait(deadline) gives true when notified, false at the
    // deadline. Without a deadline it waits until notified.
    class Wait {
    public:
        Wait(Signal& s, std::optional<LinkTime> deadline) : m_signal(&s), m_deadline(deadline) {}
        ~Wait();
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;
        bool await_ready() const noexcept { return false; }
        template <typename P>
        void await_suspend(std::coroutine_handle<P> h) {
            suspend(h.promise().run, h);
        }
        bool await_resume() const noexcept { return m_notified; }

    private:
        friend class Signal;
        void suspend(Run* run, std::coroutine_handle<> h);
        void wake(bool notified);
        Signal* m_signal;
        std::optional<LinkTime> m_deadline;
        Run* m_run = nullptr;
        std::coroutine_handle<> m_handle;
        Scheduler::TimerId m_timer = 0;
        bool m_notified = false;
        bool m_woken = false;
    };
    Wait wait(std::optional<LinkTime> deadline = std::nullopt) { return Wait(*this, deadline); }

private:
    friend class Wait;
    Scheduler& m_scheduler;
    std::vector<Wait*> m_waiters;
};

}  // namespace lqs
