#include "recorder/plot_math.h"

#include "common/convert.h"

#include <QGuiApplication>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace lqs {

int roundHalfEven(double v) {
    if (!std::isfinite(v)) return v > 0 ? 1000000 : -1000000;
    const double r =
        std::nearbyint(std::clamp(v, -1e6, 1e6));  // the default mode rounds halves to even
    return int(r);
}

double fullScale(const QString& item, bool voltage) {
    if (item == QLatin1String("Default") || item.size() < 2) return voltage ? 30.0 : 3.0;
    return StrToFloat(item.left(item.size() - 1));
}

int Chpoint(double scale, double value) {
    return 249 - roundHalfEven(value / scale * 250.0);
}

int plotRow(double scale, double value) {
    return std::clamp(Chpoint(scale, value), 0, kPlotHeight - 1);
}

int offScale(double scale, double value) {
    if (value > scale) return 1;
    return value < 0 ? -1 : 0;
}

int spanMinutes(const QString& item) {
    return StrToInt(item.left(item.size() - 1));
}

int slicesPerSpan(int minutes, int timeSliceMs) {
    if (timeSliceMs <= 0) return 1;
    return std::max(1, roundHalfEven(minutes * 60000.0 / timeSliceMs));
}

int ChSecondG(int slices, int k) {
    return roundHalfEven(double(kPlotWidth) / std::max(1, slices) * k);
}

SpanLabels spanLabels(const QString& item) {
    const int minutes = spanMinutes(item);
    if (minutes == 5)
        return {QStringLiteral("2"), QStringLiteral("30"), QStringLiteral("0"), QStringLiteral("5"),
                QStringLiteral("00")};
    if (minutes == 60)
        return {QStringLiteral("30"), QStringLiteral("00"), QStringLiteral("1"),
                QStringLiteral("00"), QString()};
    return {QString::number(minutes / 2), QStringLiteral("00"), QStringLiteral("0"),
            QString::number(minutes), QStringLiteral("00")};
}

QStringList scaleLabels(const QString& item, bool voltage) {
    const double top = fullScale(item, voltage);
    return {FloatToStr(top), FloatToStr(top / 2)};
}

void addOneSecond(int& h, int& m, int& s) {
    if (++s >= 60) {
        s = 0;
        if (++m >= 60) {
            m = 0;
            ++h;
        }
    }
}

namespace {
double luminance(const QColor& c) {
    const auto channel = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}
}  // namespace

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ampsColor(const QColor& volts) {
    const QColor c = volts.toRgb();
    const QColor& plot = PlotColors::ButtonText;
    // Whole 8-bit levels, as the plot's image holds them.
    const auto shade = [&](double k) {
        return QColor(qRound(c.red() * k), qRound(c.green() * k), qRound(c.blue() * k));
    };
    // A light colour: the darkest shade still 5.5 : 1 on the plot.
    if (contrastRatio(c, plot) >= 11) {
        double lo = 0, hi = 1;
        for (int i = 0; i < 24; ++i) {
            const double k = (lo + hi) / 2;
            (contrastRatio(shade(k), plot) >= 5.5 ? hi : lo) = k;
        }
        return shade(hi);
    }
    // A darker one: halfway to white.
    return QColor((c.red() + 255) / 2, (c.green() + 255) / 2, (c.blue() + 255) / 2);
}

QColor PlotColors::activeCaption() {
    const QColor highlight =
        QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight);
    return contrastRatio(highlight, ButtonText) >= 4.5 ? highlight.toRgb() : LightBlue;
}

}  // namespace lqs
