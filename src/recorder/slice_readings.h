// The readings that arrive during one time slice of the recorder, reduced at
// the slice's tick to one text per reading by the setup's point operation.
// Used from one thread only: a reading added before take() belongs to the
// slice take() ends, one added after it to the next.
#pragma once

#include <QString>
#include <QStringList>

#include <array>

namespace lqs {

class SliceReadings {
public:
    // Channel 1 V, A, channel 2 V, A, as RecorderHost::readingTexts().
    static constexpr int kReadings = 4;

    // A reading as it arrives. Texts that are not numbers, and indexes
    // outside 0 to 3, are left out.
    void add(int index, const QString& text);
    // Per reading, over those added since the last take: "Maximum" the text
    // of the largest, "Minimum" of the smallest, "Average" the mean with as
    // many decimals as the last one has. The latest text where none came, or
    // for any other operation. Starts the next slice.
    QStringList take(const QString& operation, const QStringList& latestTexts);
    void clear();

private:
    struct Slice {
        int count = 0;
        double max = 0, min = 0;
        QString maxText, minText;
        int lastDecimals = 0;
        // While every reading is a plain decimal and the sum fits, the sum
        // is kept exactly, in units of 10^-scale, so a mean halfway between
        // two texts rounds the same however many readings made it.
        bool exact = true;
        qint64 units = 0;
        int scale = 0;
        // Otherwise the compensated sum.
        double sum = 0, carry = 0;
    };
    static QString mean(const Slice& s);

    std::array<Slice, kReadings> m_slices;
};

}  // namespace lqs
