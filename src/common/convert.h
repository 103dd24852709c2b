// Text-to-number conversion for everything the user types or the program reads
// back: always "." as the decimal point, whatever the user's locale, so a
// value means the same on every machine.
#pragma once

#include <QString>

#include <stdexcept>
#include <string>

namespace lqs {

class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

// Blanks around the number are allowed; anything else left over is an error.
// Accepts "12", "12.", ".5", "-1.5e3"; rejects "", "1,5", "nan", "inf", hex.
double StrToFloat(const QString& text);

// Decimal only, optional sign, within the range of int.
int StrToInt(const QString& text);

// The shortest general decimal form: at most 15 significant digits, no
// trailing zeros, a point only when there is a fraction, fixed notation.
QString FloatToStr(double value);

}  // namespace lqs
