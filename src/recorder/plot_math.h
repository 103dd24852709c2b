// The recorder plot's arithmetic: pixel rows and columns, scales and the
// texts of the axis labels and the summary. No painting, no state.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>

namespace lqs {

constexpr int kPlotWidth = 600;
constexpr int kPlotHeight = 250;

// The system colours of the plot, fixed on every platform.
namespace PlotColors {
const QColor ButtonText(0x00, 0x00, 0x00);    // the plot's background (its frame)
const QColor AppWorkspace(0x80, 0x80, 0x80);  // the grid
const QColor Lime(0x00, 0xFF, 0x00);          // default colour of channel 2's curves
const QColor MoneyGreen(0xC0, 0xDC, 0xC0);    // the saved-record list in load mode
const QColor Fuchsia(0xFF, 0x00, 0xFF);       // the saved-record list in delete mode
const QColor LightBlue(0x87, 0xCE, 0xFA);     // channel 1 when the highlight is too dark
const QColor Trip(0xFF, 0x00, 0x00);          // the mark of a guard's trip
const QColor Step(0xC0, 0xC0, 0xC0);          // the marks of a sequence's steps
// The active title bar's colour, the default of channel 1's curves: the
// platform palette's highlight when it reads on the plot's black, else light
// blue. Either way at least 4.5 : 1 against the plot.
QColor activeCaption();
}  // namespace PlotColors

// WCAG contrast ratio of two colours, 1 to 21.
double contrastRatio(const QColor& a, const QColor& b);

// The colour of a channel's current curve beside its voltage curve in
// `volts`: a darker shade of a light colour, a lighter one of a dark colour,
// so the two differ and both still read on the plot's black.
QColor ampsColor(const QColor& volts);

// Round to the nearest integer, halves to even.
int roundHalfEven(double v);

// Full scale of a chooser item: "Default" is 30 V or 3 A; otherwise the
// number before the unit letter ("5V" -> 5, "0.1A" -> 0.1).
double fullScale(const QString& item, bool voltage);

// Chpoint: the pixel row of a reading; 0 lands on row 249, full scale on row
// -1. No clamping beyond what keeps the number an int.
int Chpoint(double fullScale, double value);

// The row a reading is drawn at: Chpoint, held on the plot's top or bottom
// row when the reading lies beyond it.
int plotRow(double fullScale, double value);

// Where a reading lies off the scale: 1 above full scale, -1 below zero, 0 on it.
int offScale(double fullScale, double value);

// Minutes of a span item ("5m" -> 5).
int spanMinutes(const QString& item);

// Time slices in the displayed span; at least 1, so a slice longer than the
// span still has a column (its points simply lie past the right edge).
int slicesPerSpan(int spanMinutes, int timeSliceMs);

// ChSecondG: the pixel column of point k.
int ChSecondG(int slicesPerSpan, int k);

// The labels a span item writes: middle minutes, middle seconds, right hours,
// right minutes, right seconds (empty: left unchanged).
struct SpanLabels {
    QString midM, midS, rightH, rightM, rightS;
};
SpanLabels spanLabels(const QString& item);

// The top and middle label of a scale item: "Default" -> 30/15 or 3/1.5.
QStringList scaleLabels(const QString& item, bool voltage);

// One second later on a clock of three integer texts (hours unbounded).
void addOneSecond(int& h, int& m, int& s);

}  // namespace lqs
