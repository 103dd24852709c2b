// The recorder's plot: its scales, the time labels under it, the painting of
// the curves from the samples kept, and the tip that names a sample.
#include "recorder/wave_window.h"

#include "recorder/plot_math.h"
#include "ui_wave_window.h"

#include <QFontMetrics>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <utility>

namespace lqs {

namespace {

void setClock(const std::array<QLabel*, 3>& labels, int seconds) {
    labels[0]->setText(QString::number(seconds / 3600));
    labels[1]->setText(QString::number(seconds / 60 % 60));
    labels[2]->setText(QString::number(seconds % 60));
}

// An off-scale mark: a small triangle pointing out of the plot.
constexpr int kArrowHalf = 3;
constexpr int kArrowHeight = 6;
// Marks of one long off-scale run stand at least this far apart.
constexpr int kArrowGap = 8;

void drawArrow(QPainter& p, int x, int edge) {
    const int tip = edge > 0 ? 0 : kPlotHeight - 1;
    const int base = edge > 0 ? tip + kArrowHeight - 1 : tip - kArrowHeight + 1;
    const QPoint corners[3] = {{x, tip}, {x - kArrowHalf, base}, {x + kArrowHalf, base}};
    p.drawPolygon(corners, 3);
}

}  // namespace

void TForm_Wave::resetTimeLabels() {
    state.ElapsedH = state.ElapsedM = state.ElapsedS = 0;
    cbb_TimeChange();
}

// Until the plot scrolls the span's own texts stand; after, the clock's
// left edge plus half the span and the whole span.
void TForm_Wave::showTimeLabels() {
    const RecorderState& s = state;
    ui->lbl_TminH->setText(QString::number(s.ElapsedH));
    ui->lbl_TminM->setText(QString::number(s.ElapsedM));
    ui->lbl_TminS->setText(QString::number(s.ElapsedS));
    const int left = elapsedSeconds(s);
    if (left == 0) {
        const SpanLabels l = spanLabels(ui->cbb_Time->currentText());
        ui->lbl_TmidH->setText(QStringLiteral("0"));
        ui->lbl_TmidM->setText(l.midM);
        ui->lbl_TmidS->setText(l.midS);
        ui->lbl_TmaxH->setText(l.rightH);
        ui->lbl_TmaxM->setText(l.rightM);
        ui->lbl_TmaxS->setText(l.rightS.isEmpty() ? QStringLiteral("00") : l.rightS);
    } else {
        const int span = spanMinutes(ui->cbb_Time->currentText()) * 60;
        setClock({ui->lbl_TmidH, ui->lbl_TmidM, ui->lbl_TmidS}, left + span / 2);
        setClock({ui->lbl_TmaxH, ui->lbl_TmaxM, ui->lbl_TmaxS}, left + span);
    }
}

void TForm_Wave::cbb_TimeChange() {
    showTimeLabels();
    pb1Paint();
}

void TForm_Wave::cbb_VoltageChange() {
    const QStringList l = scaleLabels(ui->cbb_Voltage->currentText(), true);
    ui->lbl_Vmax->setText(l[0]);
    ui->lbl_Vmid->setText(l[1]);
    pb1Paint();
}

void TForm_Wave::cbb_CurrentChange() {
    const QStringList l = scaleLabels(ui->cbb_Current->currentText(), false);
    ui->lbl_Amax->setText(l[0]);
    ui->lbl1_Amid->setText(l[1]);
    pb1Paint();
}

int TForm_Wave::plotSlices() const {
    return slicesPerSpan(spanMinutes(ui->cbb_Time->currentText()), state.PlotSliceMs);
}

// From the samples kept, at the scales and span chosen now.
void TForm_Wave::pb1Paint() {
    // The legend names the curves shown, in the captions of the readings window.
    QList<PlotArea::LegendEntry> legend;
    const std::pair<const QCheckBox*, const QFrame*> curves[] = {
        {ui->fltchckbxckbx1, ui->pnl_Ch1v},
        {ui->fltchckbxckbx2, ui->pnl_Ch1A},
        {ui->fltchckbxckbx3, ui->pnl_Ch2v},
        {ui->fltchckbxckbx4, ui->pnl_Ch2A}};
    for (int i = 0; i < 4; ++i) {
        if (!curves[i].first->isChecked()) continue;
        legend.append({QStringLiteral("CH%1 %2").arg(i / 2 + 1).arg(QChar(i % 2 ? u'A' : u'V')),
                       curveColor(curves[i].second)});
    }
    ui->pb1->setLegend(legend);
    ui->pb1->redraw();
}

// In canvas pixels; the pens are cosmetic so that a plot painted larger
// keeps its lines as wide as at its own size.
void TForm_Wave::drawPlot(QPainter& p, qreal lineScale) const {
    const auto pen = [lineScale](const QColor& color, int width,
                                 Qt::PenStyle style = Qt::SolidLine) {
        QPen made(color, width * lineScale, style);
        made.setCosmetic(true);
        return made;
    };
    const RecorderState& s = state;
    const int slices = plotSlices();
    const double vScale = fullScale(ui->cbb_Voltage->currentText(), true);
    const double aScale = fullScale(ui->cbb_Current->currentText(), false);
    auto curve = [&](const QCheckBox* box, int reading, const QFrame* sw, int width) {
        if (!box->isChecked() || s.PointCount < 1) return;
        const std::size_t r = std::size_t(reading);
        const double scale = reading % 2 ? aScale : vScale;
        const QColor color = curveColor(sw);
        p.setPen(pen(color, width));
        QPoint from(0, plotRow(scale, s.Points[1].values[r]));
        for (int k = 1; k <= s.PointCount; ++k) {
            const QPoint to(ChSecondG(slices, k),
                            plotRow(scale, s.Points[std::size_t(k)].values[r]));
            p.drawLine(from, to);
            from = to;
        }
        // Off-scale readings lie on the edge: a mark says they go beyond it.
        p.setPen(pen(color, 1));
        p.setBrush(color);
        int lastMark[2] = {INT_MIN / 2, INT_MIN / 2};  // below, above
        for (int k = 1; k <= s.PointCount; ++k) {
            const int edge = offScale(scale, s.Points[std::size_t(k)].values[r]);
            const int x = ChSecondG(slices, k);
            if (edge == 0 || x > kPlotWidth) continue;
            int& last = lastMark[edge > 0 ? 1 : 0];
            if (x - last < kArrowGap) continue;
            last = x;
            drawArrow(p, std::clamp(x, kArrowHalf, kPlotWidth - 1 - kArrowHalf), edge);
        }
        p.setBrush(Qt::NoBrush);
    };
    curve(ui->fltchckbxckbx1, 0, ui->pnl_Ch1v, 3);
    curve(ui->fltchckbxckbx3, 2, ui->pnl_Ch2v, 3);
    curve(ui->fltchckbxckbx2, 1, ui->pnl_Ch1A, 1);
    curve(ui->fltchckbxckbx4, 3, ui->pnl_Ch2A, 1);
    // DrawLine: the grid, over the curves.
    for (int i = 1; i <= 12; ++i) {
        p.setPen(pen(i == 6 ? QColor(Qt::white) : PlotColors::AppWorkspace, 1));
        p.drawLine(50 * i, 250, 50 * i, 0);
    }
    for (int i = 1; i <= 10; ++i) {
        p.setPen(pen(i == 5 ? QColor(Qt::white) : PlotColors::AppWorkspace, 1));
        p.drawLine(0, 25 * i, 600, 25 * i);
    }
    // A sequence's steps: dotted grey, each with its number at the top where
    // the label before leaves room.
    QFont font = p.font();
    font.setPixelSize(9);
    font.setStyleStrategy(QFont::NoAntialias);  // of the line's one colour
    p.setFont(font);
    const QFontMetrics metrics(font);
    int labelEnd = INT_MIN / 2;
    for (const StepMark& step : s.Steps) {
        const int x = roundHalfEven(columnOf(step.at));
        if (x < 0 || x >= kPlotWidth) continue;
        p.setPen(pen(PlotColors::Step, 1, Qt::DotLine));
        p.drawLine(x, 0, x, kPlotHeight - 1);
        const int left = x + 2;
        if (left < labelEnd) continue;
        p.setPen(pen(PlotColors::Step, 1));
        p.drawText(left, metrics.ascent(), step.label);
        labelEnd = left + metrics.horizontalAdvance(step.label) + 2;
    }
    // Trips over everything: dashed, so that a curve of the same colour
    // does not hide them.
    p.setPen(pen(PlotColors::Trip, 1, Qt::DashLine));
    for (const TripMark& trip : s.Trips) {
        const int x = roundHalfEven(columnOf(trip.at));
        if (x >= 0 && x < kPlotWidth) p.drawLine(x, 0, x, kPlotHeight - 1);
    }
}

// Point k is sample SampleNo - PointCount + k, drawn at ChSecondG(slices, k).
double TForm_Wave::columnOf(double at) const {
    const double k = at - (state.SampleNo - state.PointCount);
    return double(kPlotWidth) / std::max(1, plotSlices()) * k;
}

// The sample drawn nearest column x; 0 where the curves have ended.
int TForm_Wave::sampleAt(int x) const {
    const int count = state.PointCount;
    if (count < 1) return 0;
    const int slices = plotSlices();
    const int reach = std::max(1, roundHalfEven(kPlotWidth / 2.0 / slices));
    if (x > ChSecondG(slices, count) + reach) return 0;
    int best = 1;
    for (int k = 2; k <= count; ++k) {
        if (std::abs(ChSecondG(slices, k) - x) < std::abs(ChSecondG(slices, best) - x)) best = k;
    }
    return best;
}

void TForm_Wave::showSampleTip(const QPoint& pos) {
    QStringList lines;
    if (const int k = sampleAt(pos.x())) {
        const PlotSample& sample = state.Points[std::size_t(k)];
        const auto& v = sample.values;
        lines << QStringLiteral("%1 \u2014 CH1 %2 V %3 A, CH2 %4 V %5 A")
                     .arg(sample.when.toString(QStringLiteral("HH:mm:ss")),
                          QString::number(v[0], 'f', 2), QString::number(v[1], 'f', 3),
                          QString::number(v[2], 'f', 2), QString::number(v[3], 'f', 3));
    }
    constexpr int kMarkReach = 3;  // a dashed line one pixel wide is hard to hit
    const auto near = [&](double at) {
        return std::abs(roundHalfEven(columnOf(at)) - pos.x()) <= kMarkReach;
    };
    for (const StepMark& step : state.Steps) {
        if (near(step.at)) lines << step.text;
    }
    for (const TripMark& trip : state.Trips) {
        if (near(trip.at)) lines << trip.text;
    }
    if (lines.isEmpty()) {
        QToolTip::hideText();
        return;
    }
    QToolTip::showText(ui->pb1->mapToGlobal(ui->pb1->fromCanvas(pos)),
                       lines.join(QLatin1Char('\n')), ui->pb1);
}

}  // namespace lqs
