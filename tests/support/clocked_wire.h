// The link's rules checked on what the in-process line received, at the
// exact moments of the driven clock: the classic cycle's order and paces
// (pollingViolation() of sim_program.h checks the same on a pseudo-terminal)
// and fast readings' one schedule at a time, with no allowance for a
// machine's delays, and the paces' lower bounds as well.
#pragma once

#include "clocked_line.h"
#include "device_link/link_types.h"
#include "device_link/protocol.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <string>
#include <vector>

namespace lqs::test {

// Each frame as "FRAME@ms" since from, in the order the line took them.
inline QString timeline(const sim::ClockedLine& line, LinkTime from, std::size_t first = 0) {
    QStringList out;
    const auto& wire = line.wireFrames();
    const auto& times = line.wireTimes();
    for (std::size_t i = first; i < wire.size(); ++i) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(times[i] - from);
        out << QStringLiteral("%1@%2")
                   .arg(QString::fromStdString(wire[i]).trimmed())
                   .arg(qint64(ms.count()));
    }
    return out.join(QLatin1Char(' '));
}

// What a strict line would reject: a frame not ending in CR LF, or a byte
// outside printable ASCII before it. Empty while the program behaves.
inline QString clockedWireFlags(const sim::ClockedLine& line) {
    QStringList out;
    const auto& wire = line.wireFrames();
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const std::string& f = wire[i];
        bool clean = f.size() >= 2 && f.compare(f.size() - 2, 2, "\r\n") == 0;
        for (std::size_t b = 0; clean && b + 2 < f.size(); ++b) clean = f[b] >= 0x20 && f[b] < 0x7f;
        if (!clean) out << QStringLiteral("frame %1: %2").arg(i).arg(QString::fromLatin1(f.data()));
    }
    return out.join(QLatin1Char('\n'));
}

namespace detail {

inline qint64 msBetween(LinkTime a, LinkTime b) {
    return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

// A frame that stops polling (it goes out only once the cycle was stopped).
inline bool stopsPolling(const QString& f) {
    for (const char* stop : {"OUT0", "TRACK", "SAV", "RCL", "*IDN?"})
        if (f.startsWith(QLatin1String(stop))) return true;
    return false;
}

}  // namespace detail

// The nine-query cycle as the instrument received it. Polling runs from an
// "OUT1" until a command that stops it; within that stretch the queries
// follow one cycle's order, each at least two paces after the one before,
// the first of a cycle at least the cycle's start and a pace after the OUT1
// or the status query; no frame comes more than maxGap after the one before,
// nor, while polling runs, is the last one older than maxGap at now. Empty
// when all holds, else what broke first.
inline QString cycleViolation(const sim::ClockedLine& line, LinkTime now, const LinkTimings& t,
                              std::chrono::milliseconds maxGap, bool stillPolling) {
    const auto& wire = line.wireFrames();
    const auto& times = line.wireTimes();
    const qint64 pace = qint64(t.pollPasses) * t.passMs;
    const qint64 firstOfCycle = t.pollStartMs + pace;
    bool polling = false;
    int next = 0;
    LinkTime last;       // the frame before
    LinkTime lastQuery;  // the poll query before, or the OUT1
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const QString f = QString::fromStdString(wire[i]).chopped(2);
        if (f == QLatin1String("OUT1")) {
            polling = true;
            next = 0;
            last = lastQuery = times[i];
            continue;
        }
        if (detail::stopsPolling(f)) polling = false;
        if (!polling) continue;
        if (times[i] - last > maxGap)
            return QStringLiteral("%1 ms without a frame before %2 (frame %3)")
                .arg(detail::msBetween(last, times[i]))
                .arg(f)
                .arg(i);
        last = times[i];
        int q = -1;
        for (int k = 0; k < 9; ++k)
            if (f == QLatin1String(kPollQueries[k])) q = k;
        if (q < 0) continue;  // a set point sent after a query
        if (q != next)
            return QStringLiteral("%1 where %2 was due: two cycles at once (frame %3)")
                .arg(f, QLatin1String(kPollQueries[next]))
                .arg(i);
        const qint64 least = q == 0 ? firstOfCycle : 2 * pace;
        if (detail::msBetween(lastQuery, times[i]) < least)
            return QStringLiteral("%1 %2 ms after the query before, at least %3 (frame %4)")
                .arg(f)
                .arg(detail::msBetween(lastQuery, times[i]))
                .arg(least)
                .arg(i);
        lastQuery = times[i];
        next = (next + 1) % 9;
    }
    if (polling && stillPolling && now - last > maxGap)
        return QStringLiteral("no query for %1 ms").arg(detail::msBetween(last, now));
    return QString();
}

// The same with fast readings: one schedule at a time, so the measured
// values follow each other in turn, a missed one asked once more at most;
// and no stall longer than maxGap while polling.
inline QString fastViolation(const sim::ClockedLine& line, LinkTime now,
                             std::chrono::milliseconds maxGap, bool stillPolling) {
    static const QStringList measured{"VOUT1?", "IOUT1?", "VOUT2?", "IOUT2?"};
    const auto& wire = line.wireFrames();
    const auto& times = line.wireTimes();
    bool polling = false;
    int last = -1;
    bool again = false;
    LinkTime lastAt;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const QString f = QString::fromStdString(wire[i]).chopped(2);
        if (f == QLatin1String("OUT1")) {
            polling = true;
            last = -1;
            lastAt = times[i];
            continue;
        }
        if (detail::stopsPolling(f)) polling = false;
        if (!polling) continue;
        if (times[i] - lastAt > maxGap)
            return QStringLiteral("%1 ms without a frame before %2 (frame %3)")
                .arg(detail::msBetween(lastAt, times[i]))
                .arg(f)
                .arg(i);
        lastAt = times[i];
        const int q = int(measured.indexOf(f));
        if (q < 0) continue;
        const bool repeat = q == last && !again;
        if (last >= 0 && !repeat && q != (last + 1) % 4)
            return QStringLiteral("%1 after %2: two schedules at once (frame %3)")
                .arg(f, measured.at(last))
                .arg(i);
        again = repeat;
        last = q;
    }
    if (polling && stillPolling && now - lastAt > maxGap)
        return QStringLiteral("no query for %1 ms").arg(detail::msBetween(lastAt, now));
    return QString();
}

}  // namespace lqs::test
