#include "control_panel/readings_model.h"

#include "common/convert.h"

namespace lqs {

int readingField(int channel, Quantity q) {
    return (channel == 2 ? 3 : 1) + (q == Quantity::Current ? 1 : 0);
}

ChannelMode judgeChannelMode(const QString& volts, const QString& amps, const QString& limit,
                             double fineStep, bool outputOn) {
    if (!outputOn || volts.isEmpty() || amps.isEmpty()) return ChannelMode::Unknown;
    try {
        return StrToFloat(amps) >= StrToFloat(limit) - fineStep * 1.5
                   ? ChannelMode::ConstantCurrent
                   : ChannelMode::ConstantVoltage;
    } catch (const EConvertError&) {
        return ChannelMode::Unknown;
    }
}

static bool inRange(int index) {
    return index >= 0 && index <= 3;
}

void ReadingsModel::take(int index, const QString& text) {
    if (!inRange(index)) return;
    m_texts[size_t(index)] = text;
    m_aged[size_t(index)] = false;
}

void ReadingsModel::age(int index) {
    if (inRange(index)) m_aged[size_t(index)] = true;
}

bool ReadingsModel::aged(int index) const {
    return inRange(index) && m_aged[size_t(index)];
}

bool ReadingsModel::current(int index) const {
    return !m_stale && inRange(index) && !m_aged[size_t(index)] &&
           !m_texts[size_t(index)].isEmpty();
}

QStringList ReadingsModel::currentTexts() const {
    QStringList texts;
    for (int i = 0; i < 4; ++i) texts << (current(i) ? m_texts[size_t(i)] : QString());
    return texts;
}

}  // namespace lqs
