// A chain of steps run in the user-interface thread. A step never waits
// inside itself: a pause is a timer, and the chain goes on when it fires, so
// no nested event loop runs and a handler is never entered twice at once.
// A step that adds steps to its own chain has them run next, before what was
// queued already, so a routine made of other routines reads in order.
#pragma once

#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

namespace lqs {

class Strand : public QObject {
    Q_OBJECT
public:
    explicit Strand(QObject* parent = nullptr);
    ~Strand() override;

    // The strand whose step is running now, if any.
    static Strand* current();

    void then(std::function<void()> step);
    void pause(int ms);
    // Runs steps up to the next pause; a strand already running or pausing
    // goes on by itself.
    void start();
    // Drops every step not yet run, and a pause under way.
    void clear();
    bool busy() const { return m_running || m_timer.isActive() || !m_steps.empty(); }

Q_SIGNALS:
    void finished();

private:
    struct Step {
        std::function<void()> call;
        int pauseMs = -1;  // a pause when not negative
    };
    void add(Step step);
    void run();

    std::deque<Step> m_steps;
    std::size_t m_insertAt = 0;
    bool m_running = false;
    QTimer m_timer;
};

}  // namespace lqs
