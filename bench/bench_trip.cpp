// How soon the guard switches the output off once a load draws more than its
// over-current level, and that a load held just under the level never trips
// it. The real program (its main window, its link on a thread of its own)
// runs against lqs-sim, a child process at 9600 baud with a 10 ms answer
// time. Channel 1 is set to 5 V with a 3 A limit and over-current is armed at
// 1.5 A, between a light load's 0.5 A (10 ohms) and a heavy one's 2.5 A (2 ohms).
//
//   steps        at a random moment the heavy load is switched in through
//                lqs-sim's control FIFO; the figure runs from the step taking
//                effect to the last byte of "OUT0" reaching the simulator,
//                both stamped by lqs-sim on CLOCK_MONOTONIC. Then the light
//                load comes back, the trip is cleared and the output is on again.
//   false trips  the load held at 95 % of the level with 20 ms of reply
//                jitter; every trip is counted against the readings checked.
#include "bench_program.h"
#include "control_panel/querying_dialog.h"
#include "device_link/link_client.h"
#include "sim_child.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <vector>

using namespace lqs;
using bench::control;
using bench::Simulator;
using bench::Waiter;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kVolts = 5.0;
constexpr double kLimitAmps = 3.0;
constexpr double kLevelAmps = 1.5;
constexpr double kLightOhms = 10.0;  // 0.5 A
constexpr double kHeavyOhms = 2.0;   // 2.5 A
constexpr int kMissMs = 2000;

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Files in /proc have no size: read to the end, not by atEnd().
QString firstLine(const QString& path, const QByteArray& prefix) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QStringLiteral("?");
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(prefix)) {
            const qsizetype colon = line.indexOf(':');
            return QString::fromLatin1(line.mid(colon + 1).trimmed());
        }
    }
    return QStringLiteral("?");
}

QString loadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    if (!f.open(QIODevice::ReadOnly)) return QStringLiteral("?");
    const QList<QByteArray> parts = f.readAll().split(' ');
    return parts.size() >= 3 ? QString::fromLatin1(parts[0] + ' ' + parts[1] + ' ' + parts[2])
                             : QStringLiteral("?");
}

// Nearest rank: the smallest sample with at least p of them at or below it.
double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto rank = std::size_t(std::ceil(p * double(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

class TripRun {
public:
    TripRun(int jitterMs, bool fastReadings)
        : m_sim(m_waiter), m_jitterMs(jitterMs), m_fastReadings(fastReadings) {}

    // Linked, channel 1 at 5 V / 3 A into `ohms`, over-current armed, output on.
    bool open(double ohms) {
        const QString slave = m_sim.start(m_jitterMs);
        if (slave.isEmpty()) return fail("lqs-sim did not start");
        if (!m_sim.setLoad(ohms)) return fail("lqs-sim took no load");
        m_form = bench::programOn(slave, m_dir);
        LinkClient* client = m_form->linkClient();
        QObject::connect(client, &LinkClient::readingTaken, &m_sink,
                         [this](const Reading& r) { reading(r); });
        QObject::connect(client, &LinkClient::guardTripped, &m_sink, [this](const GuardTrip&) {
            ++m_trips;
            m_waiter.poke();
        });
        QObject::connect(client, &LinkClient::guardCleared, &m_sink, [this] { m_waiter.poke(); });
        QObject::connect(client, &LinkClient::tripConfirmed, &m_sink, [this](TripConfirmation) {
            ++m_confirmations;
            m_waiter.poke();
        });

        control<QAction>(m_form.get(), "ToolButton1")->trigger();
        if (!m_waiter.wait(
                [&] {
                    return client->linked() && m_form->frameEnabled() &&
                           !m_form->windows().Querying->isVisible();
                },
                30000))
            return fail("the link did not settle");
        if (!done([&](LinkClient::Done d) {
                m_form->enterSetPoint(5, QString::number(kVolts, 'f', 2), std::move(d));
            }) ||
            !done([&](LinkClient::Done d) {
                m_form->enterSetPoint(6, QString::number(kLimitAmps, 'f', 2), std::move(d));
            }))
            return fail("the set points were not taken");
        // The operator's Fast Readings also ends each reply at its CR on the serial side.
        if (m_fastReadings) m_form->setFastReadings(true);
        client->setGuard(1, GuardLimit::OverCurrent,
                         {true, kLevelAmps, std::chrono::milliseconds(0)});
        return outputOn();
    }

    // The window keeps the output off until it has heard the trip cleared.
    bool clearTrip() {
        LinkClient* client = m_form->linkClient();
        if (!client->trip()) return true;
        client->clearTrip();
        if (!m_waiter.wait([&] { return !client->trip(); }, 5000))
            return fail("the trip did not clear");
        return true;
    }

    // The output on, and two readings of channel 1's current below the level after it.
    bool outputOn() {
        const int seen = m_lowCurrents;
        if (m_form->linkClient()->output().state != OutputState::On) {
            const std::size_t from = m_sim.eventCount();
            if (!done([&](LinkClient::Done d) { m_form->setOutput(true, std::move(d)); }))
                return fail("the output did not come on");
            if (!m_waiter.wait([&] { return bool(m_sim.find("OUT1", from)); }, 5000))
                return fail("no OUT1 reached the simulator");
        }
        if (!m_waiter.wait([&] { return m_lowCurrents >= seen + 2; }, 10000))
            return fail("the readings did not settle");
        return true;
    }

    struct Steps {
        std::vector<double> ms;
        int misses = 0;
    };

    Steps steps(int count, int spreadMs, unsigned seed) {
        Steps s;
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> pause(0, spreadMs);
        for (int i = 0; i < count; ++i) {
            m_waiter.pause(pause(rng));
            const std::size_t from = m_sim.eventCount();
            const int confirmations = m_confirmations;
            const std::optional<qint64> stepAt = m_sim.setLoad(kHeavyOhms);
            if (!stepAt) {
                fail("lqs-sim took no load");
                break;
            }
            std::optional<qint64> offAt;
            m_waiter.wait(
                [&] { return bool(offAt = m_sim.find("OUT0", from)); },
                int(std::max<qint64>(0, *stepAt + kMissMs * 1'000'000LL - nowNs()) / 1'000'000));
            if (!offAt || *offAt - *stepAt > kMissMs * 1'000'000LL) {
                ++s.misses;
                std::fprintf(stderr, "bench_trip: step %d: no OUT0 within %d ms\n", i + 1, kMissMs);
            } else {
                s.ms.push_back(double(*offAt - *stepAt) / 1e6);
            }
            // The trip's status query ends its sequence; a late trip still gets cleared.
            m_waiter.wait([&] { return m_confirmations > confirmations; }, 3000);
            if (!m_sim.setLoad(kLightOhms)) {
                fail("lqs-sim took no load");
                break;
            }
            if (!clearTrip() || !outputOn()) break;
            if ((i + 1) % 50 == 0) {
                std::printf("  %d steps\n", i + 1);
                std::fflush(stdout);
            }
        }
        return s;
    }

    struct Held {
        int trips = 0;
        long readings = 0;  // channel 1's currents checked while armed and on
        double minutes = 0;
    };

    Held hold(double minutes) {
        Held h;
        const int trips = m_trips;
        const long readings = m_currents;
        const Clock::time_point start = Clock::now();
        const Clock::time_point end = start + std::chrono::milliseconds(qint64(minutes * 60000));
        int minute = 0;
        while (Clock::now() < end) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::min(end, start + std::chrono::minutes(minute + 1)) - Clock::now());
            const int tripsBefore = m_trips;
            const int confirmations = m_confirmations;
            m_waiter.wait([&] { return m_trips > tripsBefore; },
                          int(std::max<qint64>(1, left.count())));
            if (m_trips > tripsBefore) {
                std::fprintf(
                    stderr, "bench_trip: tripped at %.1f min\n",
                    std::chrono::duration<double, std::ratio<60>>(Clock::now() - start).count());
                m_waiter.wait([&] { return m_confirmations > confirmations; }, 3000);
                if (!clearTrip() || !outputOn()) break;
                continue;
            }
            if (Clock::now() >= start + std::chrono::minutes(minute + 1)) {
                ++minute;
                std::printf("  %d min, %ld readings, %d trips\n", minute, m_currents - readings,
                            m_trips - trips);
                std::fflush(stdout);
            }
        }
        h.trips = m_trips - trips;
        h.readings = m_currents - readings;
        h.minutes = std::chrono::duration<double, std::ratio<60>>(Clock::now() - start).count();
        return h;
    }

    bool failed() const { return m_failed; }

private:
    bool fail(const char* why) {
        std::fprintf(stderr, "bench_trip: %s\n", why);
        m_failed = true;
        return false;
    }

    // Runs a command given through the window; true once it took effect.
    bool done(const std::function<void(LinkClient::Done)>& give) {
        // Shared: the answer may come after the wait gave up.
        const auto result = std::make_shared<std::optional<bool>>();
        give([this, result](bool tookEffect) {
            *result = tookEffect;
            m_waiter.poke();
        });
        m_waiter.wait([&] { return result->has_value(); }, 15000);
        return result->value_or(false);
    }

    void reading(const Reading& r) {
        if (r.channel != 1 || r.quantity != Quantity::Current) return;
        ++m_currents;
        if (r.value < kLevelAmps) ++m_lowCurrents;
        m_waiter.poke();
    }

    Waiter m_waiter;
    QTemporaryDir m_dir;
    Simulator m_sim;
    int m_jitterMs;
    bool m_fastReadings;
    std::unique_ptr<TForm1> m_form;
    QObject m_sink;
    int m_trips = 0;
    int m_confirmations = 0;
    long m_currents = 0;
    int m_lowCurrents = 0;
    bool m_failed = false;
};

const char kUsage[] =
    "usage: bench_trip [--steps N] [--spread-ms MS] [--seed N] [--fast-readings]\n"
    "       bench_trip --false-trips [MINUTES] [--fast-readings]\n"
    "  --steps N           load steps to time (default 200)\n"
    "  --spread-ms MS      pause before each step, uniform from 0 (default 1000)\n"
    "  --seed N            for those pauses (default: random, printed)\n"
    "  --false-trips MINUTES\n"
    "                      instead, hold the load at 95 % of the level with 20 ms of\n"
    "                      reply jitter and count trips (default 10 minutes)\n"
    "  --fast-readings     tick Function > Fast Readings too, as an operator may\n";

// A whole number from min to max after name, or fallback when name is absent.
bool numberArg(const QStringList& args, const QString& name, long min, long max, long& value) {
    const qsizetype at = args.indexOf(name);
    if (at < 0) return true;
    bool ok = false;
    const long v = at + 1 < args.size() ? args.at(at + 1).toLong(&ok) : 0;
    if (!ok || v < min || v > max) {
        std::fprintf(stderr, "bench_trip: %s wants a whole number from %ld to %ld\n%s",
                     qPrintable(name), min, max, kUsage);
        return false;
    }
    value = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const QStringList known = {QStringLiteral("--steps"), QStringLiteral("--spread-ms"),
                               QStringLiteral("--seed"), QStringLiteral("--false-trips")};
    const bool fastReadings = args.contains(QStringLiteral("--fast-readings"));
    for (qsizetype i = 0; i < args.size(); ++i) {
        const bool valueOf = i > 0 && known.contains(args.at(i - 1));
        if (!valueOf && !known.contains(args.at(i)) &&
            args.at(i) != QLatin1String("--fast-readings")) {
            std::fprintf(stderr, "bench_trip: unexpected argument '%s'\n%s", qPrintable(args.at(i)),
                         kUsage);
            return 2;
        }
    }
    long steps = 200, spreadMs = 1000, seed = long(std::random_device{}() >> 1), minutes = 10;
    const qsizetype falseAt = args.indexOf(QStringLiteral("--false-trips"));
    const bool falseTrips = falseAt >= 0;
    // MINUTES may be left out.
    if (falseTrips && falseAt + 1 < args.size() &&
        !args.at(falseAt + 1).startsWith(QLatin1String("--")) &&
        !numberArg(args, QStringLiteral("--false-trips"), 1, 24 * 60, minutes))
        return 2;
    if (!numberArg(args, QStringLiteral("--steps"), 1, 100000, steps) ||
        !numberArg(args, QStringLiteral("--spread-ms"), 0, 60000, spreadMs) ||
        !numberArg(args, QStringLiteral("--seed"), 0, 0x7fffffff, seed))
        return 2;

    const QString cpu = firstLine(QStringLiteral("/proc/cpuinfo"), "model name");
    std::printf(
        "bench_trip %s, %ld cores (%s), load average %s, 9600 baud, 10 ms answers, "
        "LQS-6200B, %.0f V / %.0f A, over-current at %.1f A, Fast Readings %s\n",
        qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)),
        sysconf(_SC_NPROCESSORS_ONLN), qPrintable(cpu), qPrintable(loadAverage()), kVolts,
        kLimitAmps, kLevelAmps, fastReadings ? "ticked" : "not ticked");
    std::fflush(stdout);

    int status = 0;
    if (falseTrips) {
        const double heldOhms = kVolts / (0.95 * kLevelAmps);
        std::printf("false trips: %.3f ohms (%.3f A), 20 ms jitter, %ld minutes\n", heldOhms,
                    kVolts / heldOhms, minutes);
        std::fflush(stdout);
        TripRun run(20, fastReadings);
        if (!run.open(heldOhms)) return 1;
        const TripRun::Held h = run.hold(double(minutes));
        std::printf("false trips   %d in %.1f min, %ld readings of channel 1's current checked\n",
                    h.trips, h.minutes, h.readings);
        status = h.trips || run.failed() ? 1 : 0;
    } else {
        std::printf(
            "steps: %.0f -> %.0f ohms (%.1f -> %.1f A), %ld steps, pause 0..%ld ms, "
            "seed %ld\n",
            kLightOhms, kHeavyOhms, kVolts / kLightOhms, kVolts / kHeavyOhms, steps, spreadMs,
            seed);
        std::fflush(stdout);
        TripRun run(0, fastReadings);
        if (!run.open(kLightOhms)) return 1;
        const TripRun::Steps s = run.steps(int(steps), int(spreadMs), unsigned(seed));
        if (s.ms.empty()) {
            std::printf("step->OUT0    no trips (%d misses)\n", s.misses);
            status = 1;
        } else {
            std::printf(
                "step->OUT0    median %6.1f ms  p90 %6.1f ms  p99 %6.1f ms  max %6.1f ms"
                "  (%zu trips, %d misses)\n",
                percentile(s.ms, 0.5), percentile(s.ms, 0.9), percentile(s.ms, 0.99),
                *std::max_element(s.ms.begin(), s.ms.end()), s.ms.size(), s.misses);
            status = s.misses || run.failed() ? 1 : 0;
        }
    }
    std::printf("load average at the end %s\n", qPrintable(loadAverage()));
    return status;
}
