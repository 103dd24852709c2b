#include "device_link/set_point_math.h"

#include "common/convert.h"
#include "device_link/model_profile.h"

#include <cmath>

namespace lqs {

namespace {

// Values live on the model's grid of fine steps; comparisons allow for the
// binary representation, so 5.09 is not above 5.09 and 0.001 is at least 0.001.
constexpr double kTolerance = 1e-7;
bool atLeast(double a, double b) {
    return a >= b - kTolerance;
}
bool above(double a, double b) {
    return a > b + kTolerance;
}

double stepSize(const ModelProfile& p, bool onVoltage, int holdTicks) {
    if (holdTicks < 2) return p.fineStep;
    return onVoltage ? 1.0 : 0.1;
}

bool currentCeilingReached(const ModelProfile& p, double value) {
    return p.ceilingAboveOnly ? above(value, p.currentThreshold)
                              : atLeast(value, p.currentThreshold);
}

}  // namespace

QString FormatForModel(int modelIndex, double value) {
    const ModelProfile* p = modelProfile(modelIndex);
    if (!p) return QString();
    QString text = QString::number(value, 'f', p->decimals);
    if (text.startsWith(QLatin1Char('-')) && text.toDouble() == 0.0)
        text.remove(0, 1);  // never "-0.00"
    return text;
}

QString ZeroTextForModel(int modelIndex) {
    const ModelProfile* p = modelProfile(modelIndex);
    return p ? QString::fromLatin1(p->zeroText) : QString();
}

Stepped StepUp(int modelIndex, double value, bool onVoltage, int holdTicks) {
    const ModelProfile* p = modelProfile(modelIndex);
    if (!p) return {value, QString()};
    value += stepSize(*p, onVoltage, holdTicks);
    if (!onVoltage && currentCeilingReached(*p, value)) {
        value = p->currentCeiling;
    } else if (onVoltage && above(value, p->voltageCeiling)) {
        value = p->voltageCeiling;
    }
    return {value, FormatForModel(modelIndex, value)};
}

Stepped StepDown(int modelIndex, double value, bool onVoltage, int holdTicks) {
    const ModelProfile* p = modelProfile(modelIndex);
    if (!p) return {value, QString()};
    value -= stepSize(*p, onVoltage, holdTicks);
    if (!atLeast(value, 0.0) || std::fabs(value) < kTolerance) value = 0.0;
    return {value, FormatForModel(modelIndex, value)};
}

bool AboveFineStep(int modelIndex, double value) {
    const ModelProfile* p = modelProfile(modelIndex);
    return p && atLeast(value, p->fineStep);
}

bool StepUpAllowed(int modelIndex, double value, bool onVoltage) {
    const ModelProfile* p = modelProfile(modelIndex);
    if (!p) return false;
    if (onVoltage) return !atLeast(value, p->voltageCeiling);
    return !currentCeilingReached(*p, value);
}

bool AcceptedOnEnter(int modelIndex, double value, bool onVoltage) {
    const ModelProfile* p = modelProfile(modelIndex);
    if (!p || !atLeast(value, 0.0)) return false;
    return !above(value, onVoltage ? p->voltageCeiling : p->currentCeiling);
}

QString FormatSetPoint(QString& fieldText) {
    const double value = StrToFloat(fieldText);
    fieldText = FloatToStr(value);
    return SetPointNumber(value);
}

QString SetPointNumber(double value) {
    const QString text = FloatToStr(value);
    return text.contains(QLatin1Char('.')) ? text : text + QLatin1Char('.');
}

}  // namespace lqs
