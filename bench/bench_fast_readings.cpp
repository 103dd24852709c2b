// Fast readings against the simulator at 9600 baud: readings and exchanges a
// second, reply time, and the program's CPU while they run. The simulator is
// a child process (lqs-sim beside this program), so its work is not counted.
// The rate is given as a share of the line's limit: a query and its reply are
// 15 bytes, 15.6 ms at 9600 baud, plus the instrument's answer time.
#include "bench_program.h"
#include "control_panel/app_windows.h"
#include "control_panel/main_window.h"
#include "device_link/link_client.h"
#include "serial/comm.h"
#include "serial/port_dialog.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <functional>

using namespace lqs;
using bench::control;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop until done() or the time is up; false on time-out.
bool waitFor(const std::function<bool()>& done, int ms) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start(20);
    loop.exec();
    return done();
}

int argValue(const QStringList& args, const QString& name, int fallback) {
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int seconds = argValue(args, QStringLiteral("--seconds"), 10);
    const int answerMs = argValue(args, QStringLiteral("--answer-ms"), 10);

    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(
        QCoreApplication::applicationDirPath() + QStringLiteral("/lqs-sim"),
        {QStringLiteral("--no-link"), QStringLiteral("--answer-ms"), QString::number(answerMs)});
    if (!sim.waitForStarted() || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "bench_fast_readings: lqs-sim did not start\n");
        return 1;
    }
    const QString slave = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form = bench::programOn(slave, dir);
    control<QAction>(form.get(), "FastReadings1")->trigger();
    control<QAction>(form.get(), "ToolButton1")->trigger();
    if (!waitFor(
            [&] {
                return form->linkClient()->idle() && form->frameEnabled() &&
                       !control<QLineEdit>(form.get(), "Edit5")->text().isEmpty();
            },
            15000)) {
        std::fprintf(stderr, "bench_fast_readings: the link did not settle\n");
        return 1;
    }
    control<QPushButton>(form.get(), "BitBtn4")->click();  // output on: fast readings begin
    waitFor([] { return false; }, 6000);                   // the pause learns its length meanwhile

    int readings = 0;
    QObject::connect(form->linkClient(), &LinkClient::readingTaken, [&] { ++readings; });
    double exchanges = 0, replyMs = 0;
    int samples = 0, misses0 = form->linkClient()->fastStats().misses;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const FastStats s = form->linkClient()->fastStats();
        exchanges += s.exchangesPerSecond;
        replyMs += s.replyMs;
        ++samples;
    });
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    sampler.start(1000);
    waitFor([] { return false; }, seconds * 1000);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    const FastStats last = form->linkClient()->fastStats();

    const double perExchangeMs = 15 * 10.0 / 9.6 + answerMs;
    const double limit = 1000.0 / perExchangeMs;
    const double exchangeRate = samples ? exchanges / samples : 0;
    std::printf("fast readings, 9600 baud, %d ms answer, %.1f s:\n", answerMs, wall);
    std::printf("  readings/s        %.1f\n", readings / wall);
    std::printf("  exchanges/s       %.1f of a limit of %.1f (%.1f ms each): %.2f of the limit\n",
                exchangeRate, limit, perExchangeMs, exchangeRate / limit);
    std::printf("  reply time        %.1f ms (line and answer: %.1f ms)\n",
                samples ? replyMs / samples : 0, perExchangeMs);
    std::printf("  pause             %d ms, %d misses\n", last.gapMs, last.misses - misses0);
    std::printf("  program CPU       %.2f %% of a core\n", 100.0 * cpu / wall);

    control<QPushButton>(form.get(), "BitBtn4")->click();
    waitFor([&] { return form->linkClient()->idle(); }, 5000);
    form.reset();
    sim.terminate();
    sim.waitForFinished();
    return 0;
}
