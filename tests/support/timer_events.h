// Counts the timer events an object gets: a held stepper repeats on its own
// timer, and a test sees how often it fired.
#pragma once

#include <QEvent>
#include <QObject>

namespace lqs::test {

class TimerEvents : public QObject {
public:
    explicit TimerEvents(QObject* watched) : m_watched(watched) {
        watched->installEventFilter(this);
    }
    ~TimerEvents() override { m_watched->removeEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Timer) ++count;
        return false;
    }

private:
    QObject* m_watched;
};

}  // namespace lqs::test
