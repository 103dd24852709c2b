// The SCPI server's error queue: one for all its clients, so that an error
// made by a client that sent one line and left is read by the next to ask.
#pragma once

#include <QString>

#include <deque>

namespace lqs {

class ScpiErrorQueue {
public:
    static constexpr int kSize = 10;

    // false when it was full: the oldest stay, and the last place says it overflowed.
    bool push(int code, const QString& detail);
    // The oldest, as SYST:ERR? answers it: 0,"No error" when there is none.
    QString pop();
    bool empty() const { return m_errors.empty(); }
    void clear() { m_errors.clear(); }

private:
    struct Queued {
        int code;
        QString detail;
    };
    std::deque<Queued> m_errors;
};

}  // namespace lqs
