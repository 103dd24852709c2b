// The sequence plot's scales: tick steps and their texts, units and channel
// colours, shared by the plot's source files only.
#pragma once

#include "control_panel/sequence_plot.h"
#include "recorder/plot_math.h"

#include <QColor>
#include <QString>

#include <algorithm>
#include <cmath>

namespace lqs::sequence_scale {

inline constexpr int kMostTicks = 100;

// 1, 2 or 5 times a power of ten, at least `raw`.
inline double niceStep(double raw) {
    if (!std::isfinite(raw) || raw <= 0) return 1;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * mag * (1 + 1e-9)) return m * mag;
    return 10 * mag;
}

inline QString tickText(double v, double step) {
    if (std::abs(v) >= 1e6) return QString::number(v, 'g', 3);
    const int decimals = std::clamp(int(-std::floor(std::log10(step) + 1e-9)), 0, 6);
    if (std::abs(v) < step * 1e-6) v = 0;  // no "-0"
    return QString::number(v, 'f', decimals);
}

inline const char* unitOf(PlotQuantity q) {
    return q == PlotQuantity::Volts ? "V" : q == PlotQuantity::Amps ? "A" : "W";
}

inline QColor channelColor(int channel) {
    return channel == 1 ? PlotColors::activeCaption() : PlotColors::Lime;
}

}  // namespace lqs::sequence_scale
