#include "recorder/slice_readings.h"

#include "common/convert.h"

#include <QtNumeric>

#include <algorithm>
#include <cmath>

namespace lqs {

namespace {

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

int decimalsOf(const QString& text) {
    const QString s = text.trimmed();
    int n = 0;
    for (qsizetype i = s.indexOf(QLatin1Char('.')) + 1; i > 0 && i < s.size() && isDigit(s[i]); ++i)
        ++n;
    return n;
}

// "12.00", "-0.5", "3." as a count of 10^-decimals units. False for the
// other forms StrToFloat takes, and for more digits than an int64 holds.
bool plainDecimal(const QString& text, qint64& units, int& decimals) {
    const QString s = text.trimmed();
    qsizetype i = 0;
    const bool negative = !s.isEmpty() && s[0] == QLatin1Char('-');
    if (!s.isEmpty() && (s[0] == QLatin1Char('-') || s[0] == QLatin1Char('+'))) ++i;
    units = 0;
    decimals = 0;
    int digits = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        if (s[i] == QLatin1Char('.') && !point) {
            point = true;
            continue;
        }
        if (!isDigit(s[i]) || ++digits > 18) return false;
        units = units * 10 + (s[i].unicode() - '0');
        if (point) ++decimals;
    }
    if (negative) units = -units;
    return digits > 0;
}

bool scaleUp(qint64& v, int powerOfTen) {
    for (; powerOfTen > 0; --powerOfTen) {
        if (qMulOverflow(v, qint64(10), &v)) return false;
    }
    return true;
}

}  // namespace

void SliceReadings::add(int index, const QString& text) {
    if (index < 0 || index >= kReadings) return;
    double value = 0;
    try {
        value = StrToFloat(text);
    } catch (const EConvertError&) {
        return;  // e.g. the empty field of an output switched off
    }
    Slice& s = m_slices[std::size_t(index)];
    if (s.count == 0 || value > s.max) {
        s.max = value;
        s.maxText = text;
    }
    if (s.count == 0 || value < s.min) {
        s.min = value;
        s.minText = text;
    }
    ++s.count;
    s.lastDecimals = decimalsOf(text);

    const double t = s.sum + value;
    s.carry += std::abs(s.sum) >= std::abs(value) ? (s.sum - t) + value : (value - t) + s.sum;
    s.sum = t;

    qint64 units = 0;
    int decimals = 0;
    if (s.exact && plainDecimal(text, units, decimals)) {
        const int scale = std::max(s.scale, decimals);
        s.exact = scaleUp(s.units, scale - s.scale) && scaleUp(units, scale - decimals) &&
                  !qAddOverflow(s.units, units, &s.units);
        s.scale = scale;
    } else {
        s.exact = false;
    }
}

QString SliceReadings::mean(const Slice& s) {
    const int d = s.lastDecimals;
    qint64 num = s.units, den = s.count;
    if (s.exact && (d >= s.scale ? scaleUp(num, d - s.scale) : scaleUp(den, s.scale - d))) {
        qint64 q = num / den;
        const qint64 r = num % den < 0 ? -(num % den) : num % den;
        if (r >= den - r) q += num < 0 ? -1 : 1;  // halfway goes away from zero
        const quint64 magnitude = q < 0 ? 0 - quint64(q) : quint64(q);
        QString text = QString::number(magnitude).rightJustified(d + 1, QLatin1Char('0'));
        if (d > 0) text.insert(text.size() - d, QLatin1Char('.'));
        return q < 0 ? QLatin1Char('-') + text : text;
    }
    QString text = QString::number((s.sum + s.carry) / s.count, 'f', d);
    const bool zero = std::none_of(text.begin(), text.end(), [](QChar c) {
        return c >= QLatin1Char('1') && c <= QLatin1Char('9');
    });
    if (zero && text.startsWith(QLatin1Char('-'))) text.remove(0, 1);
    return text;
}

QStringList SliceReadings::take(const QString& operation, const QStringList& latestTexts) {
    QStringList out;
    for (int i = 0; i < kReadings; ++i) {
        const Slice& s = m_slices[std::size_t(i)];
        QString text = latestTexts.value(i);
        if (s.count > 0) {
            if (operation == QLatin1String("Maximum"))
                text = s.maxText;
            else if (operation == QLatin1String("Minimum"))
                text = s.minText;
            else if (operation == QLatin1String("Average"))
                text = mean(s);
        }
        out << text;
    }
    clear();
    return out;
}

void SliceReadings::clear() {
    m_slices = {};
}

}  // namespace lqs
