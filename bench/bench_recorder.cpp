// Recorder figures: a sample tick with the plot full and scrolling (the worst
// case: every point shifts and the whole plot is repainted), and a full
// repaint of four curves of 601 points.
#include "recorder/plot_math.h"
#include "recorder/recorder_host.h"
#include "recorder/wave_window.h"

#include <QApplication>
#include <QMetaMethod>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace lqs;
using Clock = std::chrono::steady_clock;

namespace {
struct Host : RecorderHost {
    QStringList readings{QStringLiteral("12.345"), QStringLiteral("1.234"), QStringLiteral("5.000"),
                         QStringLiteral("0.250")};
    QStringList readingTexts() const override { return readings; }
    QString outputCaption() const override { return QStringLiteral("ON"); }
    void showControlPanel() override {}
    void closeMainWindow() override {}
    void setStatusText(int, const QString&) override {}
};

// A timer's tick, without waiting for it.
void tick(QTimer* timer) {
    QMetaMethod::fromSignal(&QTimer::timeout).invoke(timer, Qt::DirectConnection);
}

double medianMs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Host host;
    TForm_Wave wave(&host);
    wave.ShowMessage = [](const QString&) {};
    wave.show();
    SetupChoices choices;
    choices.RecordLengthMs = 611000;
    choices.TimeSliceMs = 1000;
    choices.PointOperation = QStringLiteral("Maximum");
    choices.Ch1Color = PlotColors::activeCaption();
    choices.Ch2Color = PlotColors::Lime;
    wave.applySetup(choices);
    wave.Btn_StartClick();
    wave.Btn_StopClick();  // the ticks below are driven by hand
    for (int i = 0; i < 601; ++i) {
        host.readings[0] = QString::number(10 + (i % 50) * 0.1, 'f', 3);
        tick(wave.tmr_Scale);
    }
    wave.state.WindowFull = true;

    std::vector<double> ticks;
    for (int i = 0; i < 2000; ++i) {
        host.readings[0] = QString::number(10 + (i % 50) * 0.1, 'f', 3);
        const auto t0 = Clock::now();
        tick(wave.tmr_Scale);
        ticks.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf(
        "sample tick, %d points scrolling, with full repaint: median %.3f ms, worst %.3f ms\n",
        wave.state.PointCount, medianMs(ticks), *std::max_element(ticks.begin(), ticks.end()));

    // Refresh paints the plot whole, and nothing else.
    QPushButton* refresh = wave.findChild<QPushButton*>(QStringLiteral("Btn_Refresh"));
    std::vector<double> paints;
    for (int i = 0; i < 500; ++i) {
        const auto t0 = Clock::now();
        refresh->click();
        paints.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf("full repaint of four curves of %d points: median %.3f ms, worst %.3f ms\n",
                wave.state.PointCount, medianMs(paints),
                *std::max_element(paints.begin(), paints.end()));
    return 0;
}
