#include "common/convert.h"

#include <charconv>
#include <string>
#include <system_error>

namespace lqs {

namespace {

[[noreturn]] void fail(const QString& text, const char* what) {
    const QString message = QLatin1Char('\'') + text + QLatin1String(what);
    throw EConvertError(message.toStdString());
}

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// The number's characters, checked one by one so that no locale, and no
// digit of another script, can slip through. Empty when it is not a number.
struct Scanned {
    std::string chars;   // without a leading '+', which from_chars refuses
    long magnitude = 0;  // rough decimal exponent of the leading digit, for range errors
};

bool scanFloat(const QString& s, Scanned& out) {
    qsizetype i = 0;
    const qsizetype n = s.size();
    if (i < n && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-'))) {
        if (s[i] == QLatin1Char('-')) out.chars += '-';
        ++i;
    }
    int intDigits = 0, fracDigits = 0;
    long significantInt = 0;  // integer digits from the first non-zero one
    long leadingFracZeros = 0;
    bool seenNonZero = false;
    for (; i < n && isAsciiDigit(s[i]); ++i, ++intDigits) {
        seenNonZero = seenNonZero || s[i] != QLatin1Char('0');
        if (seenNonZero) ++significantInt;
        out.chars += char(s[i].unicode());
    }
    if (i < n && s[i] == QLatin1Char('.')) {
        out.chars += '.';
        for (++i; i < n && isAsciiDigit(s[i]); ++i, ++fracDigits) {
            if (!seenNonZero && s[i] == QLatin1Char('0')) ++leadingFracZeros;
            seenNonZero = seenNonZero || s[i] != QLatin1Char('0');
            out.chars += char(s[i].unicode());
        }
    }
    if (intDigits + fracDigits == 0) return false;
    long exponent = 0;
    if (i < n && (s[i] == QLatin1Char('e') || s[i] == QLatin1Char('E'))) {
        out.chars += 'e';
        ++i;
        bool negative = false;
        if (i < n && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-'))) {
            negative = s[i] == QLatin1Char('-');
            out.chars += char(s[i].unicode());
            ++i;
        }
        int expDigits = 0;
        for (; i < n && isAsciiDigit(s[i]); ++i, ++expDigits) {
            if (exponent < 100000) exponent = exponent * 10 + (s[i].unicode() - '0');
            out.chars += char(s[i].unicode());
        }
        if (expDigits == 0) return false;
        if (negative) exponent = -exponent;
    }
    out.magnitude = (significantInt > 0 ? significantInt : -leadingFracZeros) + exponent;
    return i == n;
}

}  // namespace

double StrToFloat(const QString& text) {
    static const char* const what = "' is not a valid floating point value";
    Scanned scanned;
    if (!scanFloat(text.trimmed(), scanned)) fail(text, what);
    const std::string& c = scanned.chars;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(c.data(), c.data() + c.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // Too small to hold reads as zero; too large to hold is no value at all.
        if (scanned.magnitude > 0) fail(text, what);
        return c.front() == '-' ? -0.0 : 0.0;
    }
    if (ec != std::errc() || end != c.data() + c.size()) fail(text, what);
    return value;
}

int StrToInt(const QString& text) {
    static const char* const what = "' is not a valid integer value";
    const QString s = text.trimmed();
    std::string chars;
    qsizetype i = 0;
    if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-'))) {
        if (s[i] == QLatin1Char('-')) chars += '-';
        ++i;
    }
    const qsizetype firstDigit = i;
    for (; i < s.size() && isAsciiDigit(s[i]); ++i) chars += char(s[i].unicode());
    if (i == firstDigit || i != s.size()) fail(text, what);
    int value = 0;
    const auto [end, ec] = std::from_chars(chars.data(), chars.data() + chars.size(), value);
    if (ec != std::errc() || end != chars.data() + chars.size()) fail(text, what);
    return value;
}

QString FloatToStr(double value) {
    QString text = QString::number(value, 'g', 15);
    if (text.contains(QLatin1Char('e')))
        text = QString::number(value, 'f', 15);  // keep fixed notation
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0'))) text.chop(1);
        if (text.endsWith(QLatin1Char('.'))) text.chop(1);
    }
    if (text == QStringLiteral("-0")) text = QStringLiteral("0");
    return text;
}

}  // namespace lqs
