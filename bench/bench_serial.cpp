// Serial component figures: the delay from the last byte of a reply at the far
// end to OnReceiveData in the user-interface thread, and the CPU time of the
// component's threads while idle and while replies arrive every 200 ms.
#include "pty_pair.h"
#include "serial/comm.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

using namespace std::chrono;
using Clock = steady_clock;

namespace {

// CPU seconds of every thread of this process except the main one.
double workerCpuSeconds() {
    const long ticks = sysconf(_SC_CLK_TCK);
    const QString self = QString::number(getpid());
    double total = 0;
    for (const QString& tid :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (tid == self) continue;
        std::ifstream f("/proc/self/task/" + tid.toStdString() + "/stat");
        std::string line;
        std::getline(f, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        total += double(utime + stime) / double(ticks);
    }
    return total;
}

void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    lqs::test::PtyPair pty;
    if (!pty.ok()) return 1;

    lqs::TComm comm;
    comm.setOutx_XonXoffFlow(false);
    comm.setInx_XonXoffFlow(false);
    comm.setCommName(QString::fromStdString(pty.slavePath()));
    Clock::time_point sent;
    std::vector<double> delays;
    bool got = false;
    QEventLoop* waiting = nullptr;
    comm.OnReceiveData = [&](lqs::TComm*, void*, std::uint16_t) {
        delays.push_back(duration<double, std::milli>(Clock::now() - sent).count());
        got = true;
        if (waiting) waiting->quit();
    };
    comm.OpenPort();

    const int replies = 200;
    for (int i = 0; i < replies; ++i) {
        got = false;
        sent = Clock::now();
        pty.writeAll("12.345\n\r");
        sent = Clock::now();  // the last byte is in the driver now
        QEventLoop loop;
        waiting = &loop;
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        if (!got) loop.exec();
        waiting = nullptr;
        spin(20);
    }
    std::vector<double> sorted = delays;
    std::sort(sorted.begin(), sorted.end());
    std::printf(
        "reply delay over %zu replies: median %.2f ms, worst %.2f ms (line silence 100 ms)\n",
        sorted.size(), sorted[sorted.size() / 2], sorted.back());

    const int seconds = 10;
    double before = workerCpuSeconds();
    spin(seconds * 1000);
    std::printf("worker CPU while idle: %.3f %% of a core\n",
                100.0 * (workerCpuSeconds() - before) / seconds);

    before = workerCpuSeconds();
    QTimer replyTimer;
    QObject::connect(&replyTimer, &QTimer::timeout, [&] {
        pty.writeAll("12.345\n\r");
        const char q[] = "VOUT1?\r\n";
        for (char c : std::string(q)) comm.SendBytes(&c, 1);
        pty.readFor(8, milliseconds(50));
    });
    replyTimer.start(200);
    spin(seconds * 1000);
    replyTimer.stop();
    std::printf("worker CPU with a query and a reply every 200 ms: %.3f %% of a core\n",
                100.0 * (workerCpuSeconds() - before) / seconds);
    comm.ClosePort();
    return 0;
}
