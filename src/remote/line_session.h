// What the remote server hands each client's lines to. One session per
// connection; the server feeds it one line at a time and waits for
// finished() before the next, so a client's commands run in order.
#pragma once

#include <QByteArray>

#include <functional>

namespace lqs {

class LineSession {
public:
    virtual ~LineSession() = default;

    // A whole line, its "\n" (and a "\r" before it) removed.
    virtual void takeLine(const QByteArray& line) = 0;
    // A line longer than the server takes was dropped.
    virtual void lineTooLong() = 0;

    // Set by the server before the first line. write sends one reply line
    // (the server adds "\n"); finished says the line's commands have all run.
    // Either may be called later, from the same thread, after takeLine returned.
    std::function<void(const QByteArray& reply)> write;
    std::function<void()> finished;
};

}  // namespace lqs
