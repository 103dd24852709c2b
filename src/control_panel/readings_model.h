// The four measured values as the window shows them, with no widgets: which
// are current, and what a channel's readings say about its regulation.
#pragma once

#include "device_link/link_types.h"

#include <QString>
#include <QStringList>

#include <array>

namespace lqs {

// Where a measured value goes: 1 .. 4 (Edit1 .. Edit4), each channel's voltage first.
int readingField(int channel, Quantity q);

enum class ChannelMode { Unknown, ConstantVoltage, ConstantCurrent };

// At the current limit within one and a half steps the channel regulates
// current, otherwise voltage. Nothing is said without both readings, the
// limit and the output on.
ChannelMode judgeChannelMode(const QString& volts, const QString& amps, const QString& limit,
                             double fineStep, bool outputOn);

class ReadingsModel {
public:
    // index 0 .. 3, in the fields' order. A reading taken is current again.
    void take(int index, const QString& text);
    // No new reading for twice its interval.
    void age(int index);
    // The whole link's readings are old (line lost, no answer) or fresh again.
    void setStale(bool stale) { m_stale = stale; }

    bool stale() const { return m_stale; }
    bool aged(int index) const;
    bool current(int index) const;
    // A reading no longer current is no reading: empty.
    QStringList currentTexts() const;

private:
    std::array<QString, 4> m_texts;
    std::array<bool, 4> m_aged{};
    bool m_stale = false;
};

}  // namespace lqs
