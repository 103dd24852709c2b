// Readings plot figures: a day of fast readings (35 a second over the four
// series) in the log, the memory it takes, and the time of a full redraw of a
// 1200 x 600 plot at several zooms.
#include "recorder/reading_log.h"
#include "recorder/readings_plot.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace lqs;
using Clock = std::chrono::steady_clock;

namespace {

QByteArray statusLine(const char* key) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return "?";
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(int(qstrlen(key))).trimmed();
    return "?";
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const qint64 day = 24LL * 3600 * 1000;
    const qint64 readings = 3024000;  // 35 a second for 24 h
    const QByteArray rssBefore = statusLine("VmHWM:");
    ReadingLog log;
    log.start(QDateTime(QDate(2026, 12, 9), QTime(8, 0)));
    QRandomGenerator rng(7);
    const auto fillStart = Clock::now();
    for (qint64 i = 0; i < readings; ++i) {
        const qint64 t = i * day / readings;
        const int series = int(i % 4);
        const double hours = double(t) / 3600000.0;
        double v = series == 0   ? 12.0
                   : series == 1 ? 1.0 + 0.5 * std::sin(hours)
                   : series == 2 ? 5.0
                                 : 0.25;
        v += (rng.generateDouble() - 0.5) * (series % 2 ? 0.004 : 0.01);
        if (i % 500000 == 1) v *= 3;  // a few one-reading spikes
        log.add(t, series, v, 3);
    }
    const double fillMs = ms(Clock::now() - fillStart);

    std::printf("readings plot, %lld readings over 24 h (35/s)\n", qlonglong(log.size()));
    std::printf("  fill: %.0f ms (%.2f us a reading)\n", fillMs, fillMs * 1000 / double(readings));
    std::printf("  log memory: %.1f MB, %.2f bytes a reading\n", double(log.memoryBytes()) / 1e6,
                double(log.memoryBytes()) / double(log.size()));
    std::printf("  peak RSS (VmHWM): before the fill %s, after %s\n", rssBefore.constData(),
                statusLine("VmHWM:").constData());

    ReadingsPlot plot(&log);
    plot.resize(1200, 600);
    QImage image(plot.size(), QImage::Format_RGB32);
    struct Zoom {
        const char* name;
        qint64 span;
    };
    const Zoom zooms[] = {{"24 h", day}, {"1 h", 3600000}, {"1 min", 60000}, {"1 s", 1000}};
    for (const Zoom& z : zooms) {
        plot.fit();
        if (z.span != day) plot.showTimes(day / 2 + 12345, day / 2 + 12345 + z.span);
        std::vector<double> times;
        for (int k = 0; k < 21; ++k) {
            const auto t0 = Clock::now();
            QPainter p(&image);
            plot.draw(p);
            p.end();
            if (k > 0) times.push_back(ms(Clock::now() - t0));  // the first warms up
        }
        // A picture of each zoom to look at, when a folder is given.
        if (argc > 1)
            image.save(QStringLiteral("%1/readings-%2.png")
                           .arg(QString::fromLocal8Bit(argv[1]))
                           .arg(z.span));
        std::sort(times.begin(), times.end());
        std::printf("  redraw 1200x600, %-5s: median %.1f ms, max %.1f ms (20 draws)\n", z.name,
                    times[times.size() / 2], times.back());
    }
    {
        QTemporaryFile file;
        if (file.open()) {
            const auto t0 = Clock::now();
            writeReadingsCsv(&file, log, 0, day);
            file.flush();
            std::printf("  export of 24 h as CSV: %.0f ms, %.1f MB\n", ms(Clock::now() - t0),
                        double(file.size()) / 1e6);
        }
    }
    for (int channel = 1; channel <= 2; ++channel) {
        const auto t0 = Clock::now();
        const ChannelStats s = log.stats(channel, 0, day);
        std::printf("  stats of CH%d over 24 h: %.1f ms (%.4f Ah)\n", channel,
                    ms(Clock::now() - t0), s.ampHours);
    }
    return 0;
}
