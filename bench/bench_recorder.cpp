// Recorder figures: a sample tick with the plot full and scrolling (the worst
// case: every point shifts and the whole plot is repainted), and a full
// repaint of four curves of 601 points.
#include "recorder/recorder_host.h"
#include "recorder/setup_dialog.h"
#include "recorder/wave_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>

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
    {
        TFrm_Setup setup;
        setup.attachRecorder(&wave);
        setup.show();
        setup.cbb5->setCurrentText(QStringLiteral("1 Second"));
        setup.btn_OKClick();
    }
    wave.Btn_StartClick();
    wave.Btn_StopClick();  // the ticks below are driven by hand
    for (int i = 0; i < 601; ++i) {
        host.readings[0] = QString::number(10 + (i % 50) * 0.1, 'f', 3);
        wave.tmr_ScaleTimer();
    }
    wave.state.WindowFull = true;

    std::vector<double> ticks;
    for (int i = 0; i < 2000; ++i) {
        host.readings[0] = QString::number(10 + (i % 50) * 0.1, 'f', 3);
        const auto t0 = Clock::now();
        wave.tmr_ScaleTimer();
        ticks.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf(
        "sample tick, %d points scrolling, with full repaint: median %.3f ms, worst %.3f ms\n",
        wave.state.PointCount, medianMs(ticks), *std::max_element(ticks.begin(), ticks.end()));

    std::vector<double> paints;
    for (int i = 0; i < 500; ++i) {
        const auto t0 = Clock::now();
        wave.pb1Paint();
        paints.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf("full repaint of four curves of %d points: median %.3f ms, worst %.3f ms\n",
                wave.state.PointCount, medianMs(paints),
                *std::max_element(paints.begin(), paints.end()));
    return 0;
}
