// Waiting for what a test awaits, not for a length of time. QTRY_* looks
// again only every 50 ms; these run the event loop and look again at each
// event, so a notice posted by a thread ends the wait at once. Conditions that
// no event announces (bytes on a pseudo-terminal, another thread's state) are
// looked at every millisecond.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <chrono>

namespace lqs::test {

// True once done() holds; false if it still does not at the deadline.
template <typename Done>
bool waitUntil(Done&& done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    if (done()) return true;
    const QDeadlineTimer deadline(timeout);
    QTimer lookAgain;
    lookAgain.start(1);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace lqs::test

// QTRY_VERIFY and QTRY_COMPARE on waitUntil: the failure is reported as
// QVERIFY and QCOMPARE report it.
#define LQS_TRY_VERIFY_WITH_TIMEOUT(expr, timeout)                     \
    do {                                                               \
        ::lqs::test::waitUntil([&] { return bool(expr); }, (timeout)); \
        QVERIFY(expr);                                                 \
    } while (false)
#define LQS_TRY_VERIFY(expr) LQS_TRY_VERIFY_WITH_TIMEOUT(expr, std::chrono::seconds(5))
#define LQS_TRY_COMPARE_WITH_TIMEOUT(actual, expected, timeout)                          \
    do {                                                                                 \
        ::lqs::test::waitUntil([&] { return bool((actual) == (expected)); }, (timeout)); \
        QCOMPARE(actual, expected);                                                      \
    } while (false)
#define LQS_TRY_COMPARE(actual, expected) \
    LQS_TRY_COMPARE_WITH_TIMEOUT(actual, expected, std::chrono::seconds(5))
