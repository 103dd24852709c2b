// The SCPI server against the simulator at 9600 baud: how long a script's
// set point takes to reach the instrument, a reading's round trip as the
// script sees it, and the program's CPU while a script asks *IDN? a thousand
// times a second.
//
// The simulator is a child process run with --echo; a thread of ours reads
// its stdout and stamps each frame line as it arrives, so the stamp does not
// wait for the event loop the program runs in. Latencies use a client socket
// in this process. The CPU figures use a client that is this program run
// again with --client, so only the program's own work is counted
// (getrusage RUSAGE_SELF leaves out every child).
#include "bench_program.h"
#include "control_panel/app_windows.h"
#include "control_panel/main_window.h"
#include "control_panel/remote_control.h"
#include "device_link/device_link.h"
#include "device_link/link_client.h"
#include "remote/scpi_server.h"
#include "serial/port_dialog.h"
#include "sim_child.h"

#include <QAction>
#include <QApplication>
#include <QHostAddress>
#include <QProcess>
#include <QPushButton>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace lqs;
using bench::control;
using bench::Simulator;
using bench::Waiter;

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int argValue(const QStringList& args, const QString& name, int fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

// ---- The client process: blocking socket I/O, nothing of Qt's.

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// One "*IDN?" and its answer line; false when the program did not answer in 5 s.
bool identify(int fd, std::string& pending) {
    static const char kLine[] = "*IDN?\n";
    if (!writeAll(fd, kLine, sizeof kLine - 1)) return false;
    for (;;) {
        const std::size_t end = pending.find('\n');
        if (end != std::string::npos) {
            pending.erase(0, end + 1);
            return true;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 5000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(buf, std::size_t(n));
    }
}

// perTick queries every 10 ms for seconds, or an idle connection when
// perTick is 0. Prints "ready" once connected and answered, then
// "answers N seconds S".
int runClient(int port, int perTick, int seconds) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "bench_remote client: cannot connect: %s\n", std::strerror(errno));
        return 1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string pending;
    // The session exists and has answered before the measured span begins.
    if (!identify(fd, pending)) {
        std::fprintf(stderr, "bench_remote client: no answer to the first *IDN?\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    const auto tick = std::chrono::milliseconds(10);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::seconds(seconds);
    Clock::time_point next = start;
    long answers = 0;
    bool failed = false;
    while (!failed) {
        for (int i = 0; i < perTick; ++i) {
            if (!identify(fd, pending)) {
                failed = true;
                break;
            }
            ++answers;
        }
        const Clock::time_point now = Clock::now();
        if (now >= end) break;
        if (perTick == 0) {
            next = end;
        } else {
            next += tick;
            // A late tick is skipped, not made up in a burst.
            while (next <= now) next += tick;
        }
        std::this_thread::sleep_until(std::min(next, end));
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    std::printf("answers %ld seconds %.3f%s\n", answers, elapsed, failed ? " failed" : "");
    std::fflush(stdout);
    return failed ? 1 : 0;
}

struct Figure {
    std::vector<double> ms;
    int missed = 0;
};

// Nearest rank: the smallest sample with at least p of them at or below it.
double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto rank = std::size_t(std::ceil(p * double(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

void printFigure(const char* label, const Figure& f) {
    if (f.ms.empty()) {
        std::printf("  %-32s no samples, %d missed\n", label, f.missed);
        return;
    }
    std::printf("  %-32s median %7.2f ms   90th %7.2f ms   (%zu samples", label,
                percentile(f.ms, 0.5), percentile(f.ms, 0.9), f.ms.size());
    if (f.missed) std::printf(", %d missed", f.missed);
    std::printf(")\n");
}

// A wait depends on where in the link's pacing the command lands: the
// pauses between samples spread over spreadMs, evenly (golden-ratio steps).
int pauseMs(int sample, int spreadMs) {
    const double phase = std::fmod(0.5 + sample * 0.6180339887498949, 1.0);
    return int(phase * spreadMs);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--client") == 0)
        return runClient(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int samples = std::max(1, argValue(args, QStringLiteral("--samples"), 20));
    const int seconds = std::max(1, argValue(args, QStringLiteral("--seconds"), 10));

    Waiter waiter;
    // A set point's frame waited for: its value, and when it reached the simulator.
    std::optional<double> wantVoltage;
    std::optional<Clock::time_point> frameArrived;
    Simulator sim(waiter);
    const QString slave = sim.start(
        {QStringLiteral("--echo")}, [&](const QByteArray& line, Clock::time_point arrived) {
            if (wantVoltage && !frameArrived && line.startsWith("VSET1:") &&
                std::abs(line.mid(6).toDouble() - *wantVoltage) < 0.005)
                frameArrived = arrived;
        });
    if (slave.isEmpty()) {
        std::fprintf(stderr, "bench_remote: lqs-sim did not start\n");
        return 1;
    }
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form = bench::programOn(slave, dir);

    QString why;
    if (!form->remote()->start(QHostAddress(), 0, &why)) {
        std::fprintf(stderr, "bench_remote: the server did not start: %s\n", qPrintable(why));
        return 1;
    }
    const quint16 port = form->remote()->server()->port();

    QTcpSocket client;
    std::deque<std::pair<QByteArray, Clock::time_point>> replies;
    QObject::connect(&client, &QTcpSocket::readyRead, [&] {
        const Clock::time_point arrived = Clock::now();
        while (client.canReadLine()) replies.emplace_back(client.readLine().trimmed(), arrived);
        waiter.poke();
    });
    QObject::connect(&client, &QTcpSocket::connected, [&] { waiter.poke(); });
    client.connectToHost(QHostAddress::LocalHost, port);
    client.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (!waiter.wait([&] { return client.state() == QAbstractSocket::ConnectedState; }, 5000)) {
        std::fprintf(stderr, "bench_remote: cannot connect to the server\n");
        return 1;
    }
    // Flushed at once, so the write's time is when the bytes left.
    const auto send = [&](const QByteArray& line) {
        const Clock::time_point sent = Clock::now();
        client.write(line + '\n');
        client.flush();
        return sent;
    };
    // The reply line and its round trip; nothing when none came in time.
    const auto ask = [&](const QByteArray& line,
                         int ms) -> std::optional<std::pair<QByteArray, double>> {
        replies.clear();
        const Clock::time_point sent = send(line);
        if (!waiter.wait([&] { return !replies.empty(); }, ms)) return std::nullopt;
        auto [text, arrived] = replies.front();
        replies.pop_front();
        return std::make_pair(text, msBetween(sent, arrived));
    };

    const auto linked = ask("SYST:LINK;*OPC?;SYST:LINK?", 20000);
    if (!linked || linked->first != "1;1") {
        std::fprintf(stderr, "bench_remote: the link did not stand\n");
        return 1;
    }

    double voltage = 2.00;
    // A set point goes out between two of the poll's queries, about a second apart.
    const auto voltageFigure = [&] {
        const int spreadMs = 1000;
        Figure f;
        for (int i = 0; i < samples; ++i) {
            QByteArray text = QByteArray::number(voltage, 'f', 2);
            if (QString::fromLatin1(text) == form->remote()->setPoint(1, false)) {
                voltage += 0.01;
                text = QByteArray::number(voltage, 'f', 2);
            }
            wantVoltage = text.toDouble();
            frameArrived.reset();
            const Clock::time_point sent = send("VOLT " + text);
            if (waiter.wait([&] { return frameArrived.has_value(); }, 5000))
                f.ms.push_back(msBetween(sent, *frameArrived));
            else
                ++f.missed;
            wantVoltage.reset();
            ask("*OPC?", 10000);
            voltage += 0.01;
            if (voltage > 29.5) voltage = 2.00;
            waiter.pause(pauseMs(i, spreadMs));
        }
        return f;
    };
    // While the poll runs a reading waits on the poll's pacing, whose longest
    // period is the reading interval; the program gives up at twice that and
    // a second, so the client waits longer than that.
    const auto measureFigure = [&](int spreadMs) {
        Figure f;
        for (int i = 0; i < samples; ++i) {
            const auto reply =
                ask("MEAS:VOLT?", 2 * form->linkClient()->readingIntervalMs() + 5000);
            bool number = false;
            if (reply) reply->first.toDouble(&number);
            if (number)
                f.ms.push_back(reply->second);
            else
                ++f.missed;
            waiter.pause(pauseMs(i, spreadMs));
        }
        return f;
    };

    const Figure voltOff = voltageFigure();
    const Figure measOff = measureFigure(1000);
    const auto on = ask("OUTP ON;*OPC?;OUTP?", 10000);
    if (!on || on->first != "1;1") {
        std::fprintf(stderr, "bench_remote: the output did not come on\n");
        return 1;
    }
    waiter.pause(1000);
    const Figure voltOn = voltageFigure();
    const int measOnSpreadMs = form->linkClient()->readingIntervalMs();
    const Figure measOn = measureFigure(measOnSpreadMs);
    control<QAction>(form.get(), "FastReadings1")->setChecked(true);
    waiter.pause(6000);  // the fast poll learns its pause meanwhile
    const Figure voltFast = voltageFigure();
    const int measFastSpreadMs = form->linkClient()->readingIntervalMs();
    const Figure measFast = measureFigure(measFastSpreadMs);
    control<QAction>(form.get(), "FastReadings1")->setChecked(false);
    ask("OUTP OFF;*OPC?", 10000);
    // The client process is then the only client.
    client.disconnectFromHost();
    waiter.pause(1000);

    struct Load {
        double cpuPercent = 0;
        double answersPerSecond = 0;
        bool ok = false;
    };
    const auto load = [&](int perTick) {
        Load result;
        QProcess other;
        other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QByteArray out;
        bool ready = false;
        QObject::connect(&other, &QProcess::readyReadStandardOutput, [&] {
            out += other.readAllStandardOutput();
            if (!ready && out.startsWith("ready\n")) {
                ready = true;
                out.remove(0, 6);
            }
            waiter.poke();
        });
        QObject::connect(&other, &QProcess::finished, [&] { waiter.poke(); });
        other.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--client"), QString::number(port), QString::number(perTick),
                     QString::number(seconds)});
        if (!waiter.wait([&] { return ready || other.state() == QProcess::NotRunning; }, 10000) ||
            !ready)
            return result;
        const double cpu0 = cpuSeconds();
        const Clock::time_point t0 = Clock::now();
        waiter.wait([&] { return other.state() == QProcess::NotRunning; }, seconds * 1000 + 15000);
        const double wall = msBetween(t0, Clock::now()) / 1000;
        result.cpuPercent = 100 * (cpuSeconds() - cpu0) / wall;
        long answers = 0;
        double clientSeconds = 0;
        result.ok = std::sscanf(out.constData(), "answers %ld seconds %lf", &answers,
                                &clientSeconds) == 2 &&
                    !out.contains("failed") && other.exitCode() == 0;
        result.answersPerSecond = clientSeconds > 0 ? double(answers) / clientSeconds : 0;
        return result;
    };
    const Load idle = load(0);
    const Load busy = load(10);

    std::printf(
        "SCPI server against lqs-sim (9600 baud, 10 ms answers), model LQS-6200B, %ld cores "
        "(shared)\n",
        sysconf(_SC_NPROCESSORS_ONLN));
    std::printf(
        "Latencies: median and 90th percentile (nearest rank) of %d samples each; the client\n"
        "is a socket in this process. Pauses between samples spread their start evenly over\n"
        "1 s (VOLT, and MEAS with the output off) or over the link's reading interval\n"
        "(MEAS with the output on: %d ms with the regular poll, %d ms with fast readings).\n\n",
        samples, measOnSpreadMs, measFastSpreadMs);
    std::printf(
        "1. VOLT <v>: from the client's write to the simulator acting on its VSET1 frame\n");
    printFigure("output off", voltOff);
    printFigure("output on, fast readings off", voltOn);
    printFigure("output on, fast readings on", voltFast);
    std::printf("\n2. MEAS:VOLT?: from the client's write to the reply line reaching it\n");
    printFigure("output off", measOff);
    printFigure("output on, fast readings off", measOn);
    printFigure("output on, fast readings on", measFast);
    std::printf(
        "\n3. Program CPU (getrusage of this process only) over %d s, linked, output off;\n"
        "   the one client is a separate process\n",
        seconds);
    if (idle.ok)
        std::printf("  %-32s %6.2f %% of a core\n", "one idle client", idle.cpuPercent);
    else
        std::printf("  %-32s failed\n", "one idle client");
    if (busy.ok)
        std::printf("  %-32s %6.2f %% of a core, %.1f answers/s\n", "*IDN? paced 10 per 10 ms",
                    busy.cpuPercent, busy.answersPerSecond);
    else
        std::printf("  %-32s failed\n", "*IDN? paced 10 per 10 ms");

    form.reset();
    return 0;
}
