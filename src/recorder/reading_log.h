// Every reading of a recording, kept in bounded memory for the readings plot,
// with the per-column and between-cursor figures the plot shows, and the
// "Readings" CSV the recording's readings are written in.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class QIODevice;

namespace lqs {

// Series: channel 1 V, A, channel 2 V, A, as RecorderHost::readingTexts().
constexpr int kReadingSeries = 4;
// A day of fast readings (35 a second) is about 3.0 M; a little more is kept.
constexpr qsizetype kReadingLogCapacity = 4 * 1024 * 1024;

// The readings of one series in one pixel column.
struct ReadingColumn {
    double min = 0, max = 0;
    bool any = false;
};

// One quantity (V or I) between two times.
struct SeriesStats {
    qsizetype count = 0;  // readings inside the span
    double min = 0, max = 0;
    double change = 0;  // last minus first reading inside the span
    double mean = 0;    // weighted by time, each reading held until the next
    bool held = false;  // a value was known for some of the span: mean is valid
};

struct ChannelStats {
    qint64 durationMs = 0;
    SeriesStats volts, amps;
    double ampHours = 0;   // integral of I over the span
    double wattHours = 0;  // integral of V * I over the span
};

class ReadingLog {
public:
    explicit ReadingLog(qsizetype capacity = kReadingLogCapacity);
    ~ReadingLog();
    ReadingLog(const ReadingLog&) = delete;
    ReadingLog& operator=(const ReadingLog&) = delete;

    // Clears; times are then ms since `started` (the recording's start, wall clock).
    void start(const QDateTime& started);
    // One reading at `ms` since the start (an earlier time than the last one
    // is taken as the last one), series 0 to 3, with the decimals its text
    // had. Non-finite values and unknown series are left out.
    void add(qint64 ms, int series, double value, int decimals);

    qsizetype capacity() const { return m_capacity; }
    qsizetype size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    // Readings dropped, oldest first, since start() to keep within capacity.
    qint64 dropped() const { return m_dropped; }
    QDateTime started() const { return m_started; }
    qint64 firstMs() const;  // of what is kept; 0 when empty
    qint64 lastMs() const;

    // Reading i of those kept, oldest first.
    qint64 msAt(qsizetype i) const;
    int seriesAt(qsizetype i) const;
    double valueAt(qsizetype i) const;
    int decimalsAt(qsizetype i) const;
    // The first reading at or after ms (size() when none).
    qsizetype lowerBound(qint64 ms) const;

    // The last reading of `series` before index `end` (-1 when none), and the
    // first at or after index `from` (size() when none).
    qsizetype lastOf(int series, qsizetype end) const;
    qsizetype firstOf(int series, qsizetype from) const;

    // The readings of `series` in [t0, t1) split into n equal columns: a
    // reading at m lies in column (m - t0) * n / (t1 - t0), rounded down.
    std::vector<ReadingColumn> columns(int series, qint64 t0, qint64 t1, int n) const;
    void columns(int series, qint64 t0, qint64 t1, int n, std::vector<ReadingColumn>& out) const;

    // Channel 1 or 2 between two times (in either order). Between readings V
    // and I each hold their latest value, the one read before t0 included:
    // sample and hold is what a display reading a supply shows, and it needs
    // no guess about what happened between two replies.
    ChannelStats stats(int channel, qint64 t0, qint64 t1) const;

    // Bytes of memory the kept readings take (chunks allocated).
    qint64 memoryBytes() const;

    static constexpr int kChunkReadings = 4096;
    static constexpr int kBlockReadings = 64;

private:
    struct Chunk;
    void dropOldest();

    qsizetype m_capacity;
    QDateTime m_started;
    std::deque<std::unique_ptr<Chunk>> m_chunks;
    qsizetype m_headSkip = 0;  // readings of the first chunk already dropped
    qsizetype m_size = 0;
    qint64 m_dropped = 0;
    qint64 m_lastMs = 0;
};

// The "Readings" CSV: comma-separated, CR LF line ends.
QByteArray readingsCsvHeader();

// One row: the readings taken at one time (each value with its decimals,
// nothing where a series was not read) and the latest value of each series
// for the channels' power.
struct ReadingsCsvRow {
    qint64 ms = 0;
    std::array<std::optional<double>, kReadingSeries> read;
    std::array<int, kReadingSeries> decimals{};
    std::array<std::optional<double>, kReadingSeries> latest;
};
QByteArray readingsCsvRow(const QDateTime& started, const ReadingsCsvRow& row);

// Gathers readings as they arrive into rows, one per time. A row is given out
// once a later time comes (add()) or when asked (flush(), e.g. at the end of
// a batch so a journal is current: a reading at the same ms after a flush then
// starts a second row of that time, which the reader merges).
class ReadingsCsvRows {
public:
    explicit ReadingsCsvRows(const QDateTime& started) : m_started(started) {}
    // Appends the finished row, if any, to out.
    void add(qint64 ms, int series, double value, int decimals, QByteArray& out);
    void flush(QByteArray& out);

private:
    QDateTime m_started;
    ReadingsCsvRow m_row;
    bool m_pending = false;
};

// Writes the header and the rows of the readings in [t0, t1] to out, in
// blocks. False with the reason in *error when the device fails.
bool writeReadingsCsv(QIODevice* out, const ReadingLog& log, qint64 t0, qint64 t1,
                      QString* error = nullptr);

// Reads a Readings CSV into log (started from the first row's time less its
// seconds). Rows of the same time are merged. False with the reason in *error
// on a malformed file; the readings before the fault are kept.
bool readReadingsCsv(QIODevice* in, ReadingLog* log, QString* error = nullptr);

// "2026-12-09T23:45:01.234+01:00": local time, ms and the offset (never "Z").
QByteArray isoLocalTime(const QDateTime& at);

}  // namespace lqs
