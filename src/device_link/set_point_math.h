// Stepping, clamping and formatting of set-point values for a model. The
// functions take the model and stepper state explicitly; the wrappers that
// read LinkState sit in the device link.
#pragma once

#include <QString>

namespace lqs {

// The result of a step: the new value and its display text (empty text and
// the value unchanged for an unknown model).
struct Stepped {
    double value;
    QString text;
};

Stepped StepUp(int modelIndex, double value, bool onVoltage, int holdTicks);
Stepped StepDown(int modelIndex, double value, bool onVoltage, int holdTicks);
bool AboveFineStep(int modelIndex, double value);
QString FormatForModel(int modelIndex, double value);
QString ZeroTextForModel(int modelIndex);

// Enter limits: 0 to 32 V, 0 to the model's current limit.
bool AcceptedOnEnter(int modelIndex, double value, bool onVoltage);
// Whether a step up is made from this value.
bool StepUpAllowed(int modelIndex, double value, bool onVoltage);

// The number text that follows "VSET1:" and its kin. fieldText is rewritten
// in its shortest form; throws EConvertError when it is not a number.
QString FormatSetPoint(QString& fieldText);
// The same number text made from a value: 30 gives "30.", 2.5 gives "2.5".
QString SetPointNumber(double value);

}  // namespace lqs
