// The recorder's lines: a header and one TAB-separated line per sample, kept
// exactly as a record file holds them.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <vector>

class QDateTime;
class QString;

namespace lqs {

class RecordLines;

// The longest record has 691,196 data lines, so the lines live in one buffer
// (each with its CR LF) plus an offset per line rather than one object each.
class RecordTable {
public:
    RecordTable() = default;  // no lines at all

    // A table holding the header line only.
    static RecordTable withHeader(bool counters = false);
    // "No.", "Time", "Ch1 V", "Ch1 A", "Ch2 V", "Ch2 A", TAB-separated, no line end;
    // with counters "Ch1 Ah", "Ch1 Wh", "Ch2 Ah", "Ch2 Wh" after them.
    static QByteArray header(bool counters = false);
    // "2026-12-6 9:5": local date and time, no leading zeros, no seconds.
    static QByteArray formatTime(const QDateTime& when);

    // Header included.
    int lineCount() const { return int(m_starts.size()); }
    // Line i (0 is the header) without its line end; 0 <= i < lineCount().
    QByteArray line(int i) const { return lineView(i).toByteArray(); }
    QByteArrayView lineView(int i) const;

    // Whether the header is the one with the charge and energy columns.
    bool hasCounters() const;

    // Appends "<sampleNo> TAB <time> TAB ch1v TAB ch1a TAB ch2v TAB ch2a",
    // and with counters (Ch1 Ah, Ch1 Wh, Ch2 Ah, Ch2 Wh) their four columns.
    // The readings are written as given, as Latin-1.
    void appendSample(int sampleNo, const QDateTime& when, const QString& ch1v, const QString& ch1a,
                      const QString& ch2v, const QString& ch2a,
                      const std::array<double, 4>* counters = nullptr);
    // Appends a line as it is (no CR or LF in it).
    void appendLine(QByteArrayView text);

    // Puts the lines from `first` on, in order and as they are, between the
    // header and the first data line (at the very start of a table without
    // lines).
    void insertAfterHeader(const RecordLines& lines, qsizetype first = 0);

    // The whole record as a file holds it: every line ends with CR LF.
    // Shares the buffer, no copy.
    QByteArray bytes() const { return m_data; }

    void clear();

private:
    // Room for `extra` more bytes, growing by half the size so the spare
    // capacity of a long record stays well below a doubling's.
    char* grow(qsizetype extra);

    QByteArray m_data;
    std::vector<qsizetype> m_starts;  // offset of each line's first byte in m_data
};

}  // namespace lqs
