#include "recorder/reading_log.h"

#include <QIODevice>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <limits>

namespace lqs {

namespace {

constexpr int N = ReadingLog::kChunkReadings;
constexpr int B = ReadingLog::kBlockReadings;
constexpr int kBlocks = N / B;
constexpr int kMaxDecimals = 7;
constexpr double kPow10[kMaxDecimals + 1] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7};
constexpr double kMsPerHour = 3.6e6;

}  // namespace

// A reading keeps its value as the integer its text showed (12.345 with 3
// decimals is 12345), so figures come back exactly as read, in 4 bytes.
// Times are offsets from their block's first time. Each block of 64 keeps
// per series its min and max, so a column spanning whole blocks reads only
// their summaries.
struct ReadingLog::Chunk {
    std::array<quint32, N> rel;
    std::array<qint32, N> units;
    std::array<quint8, N> meta;  // series in bits 0-1, decimals in bits 2-4
    std::array<qint64, kBlocks> base;
    struct Block {
        std::array<double, kReadingSeries> min, max;
    };
    std::array<Block, kBlocks> blocks;

    qint64 ms(int off) const { return base[off / B] + rel[off]; }
    int series(int off) const { return meta[off] & 3; }
    int decimals(int off) const { return (meta[off] >> 2) & 7; }
    double value(int off) const { return units[off] / kPow10[decimals(off)]; }
};

ReadingLog::ReadingLog(qsizetype capacity) : m_capacity(std::max<qsizetype>(capacity, 1)) {}

ReadingLog::~ReadingLog() = default;

void ReadingLog::start(const QDateTime& started) {
    m_started = started;
    m_chunks.clear();
    m_headSkip = 0;
    m_size = 0;
    m_dropped = 0;
    m_lastMs = 0;
}

void ReadingLog::add(qint64 ms, int series, double value, int decimals) {
    if (series < 0 || series >= kReadingSeries || !std::isfinite(value)) return;
    if (m_size > 0 || m_dropped > 0) ms = std::max(ms, m_lastMs);
    decimals = std::clamp(decimals, 0, kMaxDecimals);
    double units = std::round(value * kPow10[decimals]);
    // A value too large for its decimals keeps fewer of them.
    while (decimals > 0 && std::abs(units) > std::numeric_limits<qint32>::max()) {
        --decimals;
        units = std::round(value * kPow10[decimals]);
    }
    units = std::clamp<double>(units, std::numeric_limits<qint32>::min(),
                               std::numeric_limits<qint32>::max());

    if (m_size == m_capacity) dropOldest();
    const qsizetype p = m_headSkip + m_size;
    if (p / N >= qsizetype(m_chunks.size())) m_chunks.push_back(std::make_unique<Chunk>());
    Chunk& c = *m_chunks[p / N];
    const int off = int(p % N);
    const int b = off / B;
    if (off % B == 0) {
        c.base[b] = ms;
        c.blocks[b].min.fill(std::numeric_limits<double>::infinity());
        c.blocks[b].max.fill(-std::numeric_limits<double>::infinity());
    }
    // A gap of 49 days inside one block of 64 readings is not kept exactly.
    c.rel[off] = quint32(std::min<qint64>(ms - c.base[b], std::numeric_limits<quint32>::max()));
    c.units[off] = qint32(units);
    c.meta[off] = quint8(series | (decimals << 2));
    const double v = c.value(off);
    c.blocks[b].min[series] = std::min(c.blocks[b].min[series], v);
    c.blocks[b].max[series] = std::max(c.blocks[b].max[series], v);
    ++m_size;
    m_lastMs = ms;
}

void ReadingLog::dropOldest() {
    ++m_headSkip;
    --m_size;
    ++m_dropped;
    if (m_headSkip == N) {
        m_chunks.pop_front();
        m_headSkip = 0;
    }
}

qint64 ReadingLog::firstMs() const {
    return m_size ? msAt(0) : 0;
}

qint64 ReadingLog::lastMs() const {
    return m_size ? m_lastMs : 0;
}

qint64 ReadingLog::msAt(qsizetype i) const {
    const qsizetype p = m_headSkip + i;
    return m_chunks[p / N]->ms(int(p % N));
}

int ReadingLog::seriesAt(qsizetype i) const {
    const qsizetype p = m_headSkip + i;
    return m_chunks[p / N]->series(int(p % N));
}

double ReadingLog::valueAt(qsizetype i) const {
    const qsizetype p = m_headSkip + i;
    return m_chunks[p / N]->value(int(p % N));
}

int ReadingLog::decimalsAt(qsizetype i) const {
    const qsizetype p = m_headSkip + i;
    return m_chunks[p / N]->decimals(int(p % N));
}

qsizetype ReadingLog::lowerBound(qint64 ms) const {
    qsizetype lo = 0, hi = m_size;
    while (lo < hi) {
        const qsizetype mid = lo + (hi - lo) / 2;
        if (msAt(mid) < ms)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

std::vector<ReadingColumn> ReadingLog::columns(int series, qint64 t0, qint64 t1, int n) const {
    std::vector<ReadingColumn> out;
    columns(series, t0, t1, n, out);
    return out;
}

void ReadingLog::columns(int series, qint64 t0, qint64 t1, int n,
                         std::vector<ReadingColumn>& out) const {
    out.assign(size_t(std::max(n, 0)), ReadingColumn{});
    if (n <= 0 || t1 <= t0 || series < 0 || series >= kReadingSeries) return;
    const qint64 span = t1 - t0;
    // (m - t0) * n must fit; no view spans millennia.
    if (span > std::numeric_limits<qint64>::max() / n) return;
    auto col = [&](qint64 m) { return size_t((m - t0) * n / span); };
    auto merge = [&](size_t k, double lo, double hi) {
        ReadingColumn& c = out[k];
        if (!c.any) {
            c = {lo, hi, true};
        } else {
            c.min = std::min(c.min, lo);
            c.max = std::max(c.max, hi);
        }
    };
    qsizetype i = lowerBound(t0);
    const qsizetype end = lowerBound(t1);
    while (i < end) {
        const qsizetype p = m_headSkip + i;
        const Chunk& c = *m_chunks[p / N];
        const int first = int(p % N);
        const int stop = int(std::min<qsizetype>(N, first + (end - i)));
        int off = first;
        while (off < stop) {
            // A block wholly inside one column: its summary stands for it.
            // (A block starting at or after the first kept reading is whole.)
            if (off % B == 0 && off + B <= stop) {
                const size_t k = col(c.ms(off));
                if (k == col(c.ms(off + B - 1))) {
                    const auto& blk = c.blocks[off / B];
                    if (blk.min[series] <= blk.max[series])
                        merge(k, blk.min[series], blk.max[series]);
                    off += B;
                    continue;
                }
            }
            if (c.series(off) == series) {
                const double v = c.value(off);
                merge(col(c.ms(off)), v, v);
            }
            ++off;
        }
        i += stop - first;
    }
}

qsizetype ReadingLog::lastOf(int series, qsizetype end) const {
    qsizetype i = std::min(end, m_size) - 1;
    while (i >= 0) {
        const qsizetype p = m_headSkip + i;
        const Chunk& c = *m_chunks[p / N];
        const int off = int(p % N);
        // A whole block without the series is passed in one step.
        if (off % B == B - 1 && p - (B - 1) >= m_headSkip) {
            const auto& blk = c.blocks[off / B];
            if (blk.min[series] > blk.max[series]) {
                i -= B;
                continue;
            }
        }
        if (c.series(off) == series) return i;
        --i;
    }
    return -1;
}

qsizetype ReadingLog::firstOf(int series, qsizetype from) const {
    qsizetype i = std::max<qsizetype>(from, 0);
    while (i < m_size) {
        const qsizetype p = m_headSkip + i;
        const Chunk& c = *m_chunks[p / N];
        const int off = int(p % N);
        // Likewise forwards; the block being filled summarises what it has.
        if (off % B == 0) {
            const auto& blk = c.blocks[off / B];
            if (blk.min[series] > blk.max[series]) {
                i += B;
                continue;
            }
        }
        if (c.series(off) == series) return i;
        ++i;
    }
    return m_size;
}

ChannelStats ReadingLog::stats(int channel, qint64 t0, qint64 t1) const {
    ChannelStats s;
    if (channel < 1 || channel > 2) return s;
    if (t1 < t0) std::swap(t0, t1);
    s.durationMs = t1 - t0;
    const int sv = (channel - 1) * 2, si = sv + 1;
    const qsizetype first = lowerBound(t0);
    const qsizetype end = lowerBound(t1 + 1);

    struct Held {
        bool known = false;
        double value = 0;
        double integral = 0;  // value * ms
        qint64 knownMs = 0;
        double firstIn = 0, lastIn = 0;
    };
    Held v, a;
    if (const qsizetype k = lastOf(sv, first); k >= 0) v = {true, valueAt(k)};
    if (const qsizetype k = lastOf(si, first); k >= 0) a = {true, valueAt(k)};
    double vaIntegral = 0;
    qint64 at = t0;
    auto integrate = [&](qint64 to) {
        const qint64 dt = to - at;
        if (dt <= 0) return;
        if (v.known) v.integral += v.value * double(dt), v.knownMs += dt;
        if (a.known) a.integral += a.value * double(dt), a.knownMs += dt;
        if (v.known && a.known) vaIntegral += v.value * a.value * double(dt);
        at = to;
    };
    auto take = [](Held& h, SeriesStats& st, double value) {
        if (st.count == 0) {
            st.min = st.max = h.firstIn = value;
        } else {
            st.min = std::min(st.min, value);
            st.max = std::max(st.max, value);
        }
        ++st.count;
        h.lastIn = value;
        h.known = true;
        h.value = value;
    };
    for (qsizetype i = first; i < end; ++i) {
        const int series = seriesAt(i);
        if (series != sv && series != si) continue;
        integrate(msAt(i));
        if (series == sv)
            take(v, s.volts, valueAt(i));
        else
            take(a, s.amps, valueAt(i));
    }
    integrate(t1);

    auto finish = [](const Held& h, SeriesStats& st) {
        st.held = h.known;
        if (h.knownMs > 0)
            st.mean = h.integral / double(h.knownMs);
        else if (h.known)
            st.mean = h.value;
        if (st.count > 0) st.change = h.lastIn - h.firstIn;
    };
    finish(v, s.volts);
    finish(a, s.amps);
    s.ampHours = a.integral / kMsPerHour;
    s.wattHours = vaIntegral / kMsPerHour;
    return s;
}

qint64 ReadingLog::memoryBytes() const {
    return qint64(m_chunks.size()) * qint64(sizeof(Chunk)) + qint64(sizeof(*this));
}

// --- The Readings CSV ---

QByteArray readingsCsvHeader() {
    return QByteArrayLiteral(
        "Time,Seconds,CH1 Voltage (V),CH1 Current (A),CH1 Power (W),"
        "CH2 Voltage (V),CH2 Current (A),CH2 Power (W)\r\n");
}

namespace {

void appendOffset(QByteArray& out, int offsetSeconds) {
    const int minutes = std::abs(offsetSeconds) / 60;
    out += offsetSeconds < 0 ? '-' : '+';
    out += QByteArray::number(minutes / 60).rightJustified(2, '0');
    out += ':';
    out += QByteArray::number(minutes % 60).rightJustified(2, '0');
}

// Local times of many rows: the text up to the minute and the offset are
// kept for the current minute, as the offset changes on whole minutes.
class TimeTexts {
public:
    void append(QByteArray& out, qint64 utcMs) {
        const qint64 minute = utcMs >= 0 ? utcMs / 60000 : (utcMs - 59999) / 60000;
        if (minute != m_minute || !m_wholeMinutes) {
            const QDateTime local = QDateTime::fromMSecsSinceEpoch(utcMs).toLocalTime();
            const int offset = local.offsetFromUtc();
            m_wholeMinutes = offset % 60 == 0;
            if (!m_wholeMinutes) {
                out += isoLocalTime(local);
                return;
            }
            m_minute = minute;
            m_prefix = local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:")).toLatin1();
            m_suffix.clear();
            appendOffset(m_suffix, offset);
        }
        const int msInMinute = int(utcMs - m_minute * 60000);
        out += m_prefix;
        appendPadded(out, msInMinute / 1000, 2);
        out += '.';
        appendPadded(out, msInMinute % 1000, 3);
        out += m_suffix;
    }

    static void appendPadded(QByteArray& out, int v, int width) {
        char buf[8];
        for (int k = width - 1; k >= 0; --k, v /= 10) buf[k] = char('0' + v % 10);
        out.append(buf, width);
    }

private:
    qint64 m_minute = std::numeric_limits<qint64>::min();
    bool m_wholeMinutes = false;
    QByteArray m_prefix, m_suffix;
};

void appendSeconds(QByteArray& out, qint64 ms) {
    if (ms < 0) {
        out += '-';
        ms = -ms;
    }
    out += QByteArray::number(ms / 1000);
    out += '.';
    TimeTexts::appendPadded(out, int(ms % 1000), 3);
}

// A reading as its text showed it: the value is a whole number of units of
// its last decimal, so the integer is written, not a rounded double.
void appendReading(QByteArray& out, double value, int decimals) {
    const double scaled = std::round(value * kPow10[std::clamp(decimals, 0, kMaxDecimals)]);
    if (decimals < 0 || decimals > kMaxDecimals || !(std::abs(scaled) < 1e15)) {
        out += QByteArray::number(value, 'f', std::max(decimals, 0));
        return;
    }
    qint64 units = qint64(scaled);
    if (units < 0) {
        out += '-';
        units = -units;
    }
    const qint64 scale = qint64(kPow10[decimals]);
    out += QByteArray::number(units / scale);
    if (decimals > 0) {
        out += '.';
        char buf[8];
        qint64 frac = units % scale;
        for (int k = decimals - 1; k >= 0; --k, frac /= 10) buf[k] = char('0' + frac % 10);
        out.append(buf, decimals);
    }
}

// startUtcMs: the start's QDateTime converts from local time on every call.
void appendRow(QByteArray& out, TimeTexts& times, qint64 startUtcMs, const ReadingsCsvRow& row) {
    times.append(out, startUtcMs + row.ms);
    out += ',';
    appendSeconds(out, row.ms);
    for (int channel = 0; channel < 2; ++channel) {
        const int sv = channel * 2, si = sv + 1;
        for (int s : {sv, si}) {
            out += ',';
            if (row.read[s]) appendReading(out, *row.read[s], row.decimals[s]);
        }
        out += ',';
        const bool read = row.read[sv] || row.read[si];
        if (read && row.latest[sv] && row.latest[si]) {
            double power = *row.latest[sv] * *row.latest[si];
            if (power == 0) power = 0;  // never "-0.0000"
            out += QByteArray::number(power, 'f', 4);
        }
    }
    out += "\r\n";
}

}  // namespace

QByteArray isoLocalTime(const QDateTime& at) {
    const QDateTime local = at.toLocalTime();
    QByteArray out = local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1();
    appendOffset(out, local.offsetFromUtc());
    return out;
}

QByteArray readingsCsvRow(const QDateTime& started, const ReadingsCsvRow& row) {
    QByteArray out;
    TimeTexts times;
    appendRow(out, times, started.toMSecsSinceEpoch(), row);
    return out;
}

void ReadingsCsvRows::add(qint64 ms, int series, double value, int decimals, QByteArray& out) {
    if (series < 0 || series >= kReadingSeries || !std::isfinite(value)) return;
    if (m_pending && ms != m_row.ms) flush(out);
    m_row.ms = ms;
    m_row.read[series] = value;
    m_row.decimals[series] = decimals;
    m_row.latest[series] = value;
    m_pending = true;
}

void ReadingsCsvRows::flush(QByteArray& out) {
    if (!m_pending) return;
    out += readingsCsvRow(m_started, m_row);
    m_row.read.fill(std::nullopt);
    m_pending = false;
}

bool writeReadingsCsv(QIODevice* out, const ReadingLog& log, qint64 t0, qint64 t1, QString* error) {
    if (t1 < t0) std::swap(t0, t1);
    constexpr qsizetype kBlockBytes = 256 * 1024;
    QByteArray buf;
    buf.reserve(kBlockBytes + 4096);
    buf += readingsCsvHeader();
    auto put = [&]() {
        if (out->write(buf) != buf.size()) {
            if (error) *error = out->errorString();
            return false;
        }
        buf.clear();
        return true;
    };
    const qint64 started = log.started().toMSecsSinceEpoch();
    TimeTexts times;
    ReadingsCsvRow row;
    const qsizetype first = log.lowerBound(t0);
    const qsizetype end = log.lowerBound(t1 + 1);
    // The power of the first rows needs the values read before t0.
    for (qsizetype i = first - 1; i >= 0; --i) {
        const int s = log.seriesAt(i);
        if (!row.latest[s]) row.latest[s] = log.valueAt(i);
        if (std::all_of(row.latest.begin(), row.latest.end(), [](auto& v) { return bool(v); }))
            break;
    }
    bool pending = false;
    for (qsizetype i = first; i < end; ++i) {
        const qint64 ms = log.msAt(i);
        if (pending && ms != row.ms) {
            appendRow(buf, times, started, row);
            row.read.fill(std::nullopt);
            if (buf.size() >= kBlockBytes && !put()) return false;
        }
        const int s = log.seriesAt(i);
        row.ms = ms;
        row.read[s] = row.latest[s] = log.valueAt(i);
        row.decimals[s] = log.decimalsAt(i);
        pending = true;
    }
    if (pending) appendRow(buf, times, started, row);
    return put();
}

bool readReadingsCsv(QIODevice* in, ReadingLog* log, QString* error) {
    auto fail = [&](const QString& why) {
        if (error) *error = why;
        return false;
    };
    if (in->readLine().trimmed() != readingsCsvHeader().trimmed())
        return fail(QStringLiteral("The file does not start with the readings' header."));
    bool started = false;
    int lineNo = 1;
    constexpr int kColumns[kReadingSeries] = {2, 3, 5, 6};
    while (!in->atEnd()) {
        QByteArray line = in->readLine();
        ++lineNo;
        while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
        if (line.isEmpty()) continue;
        const QList<QByteArray> cells = line.split(',');
        const QString where = QStringLiteral("Line %1 ").arg(lineNo);
        if (cells.size() != 8) return fail(where + QStringLiteral("does not have 8 cells."));
        bool ok = false;
        const double seconds = cells[1].toDouble(&ok);
        if (!ok) return fail(where + QStringLiteral("has no seconds."));
        const qint64 ms = std::llround(seconds * 1000);
        if (!started) {
            const QDateTime at =
                QDateTime::fromString(QString::fromLatin1(cells[0]), Qt::ISODateWithMs);
            if (!at.isValid()) return fail(where + QStringLiteral("has no valid time."));
            log->start(at.addMSecs(-ms));
            started = true;
        }
        for (int s = 0; s < kReadingSeries; ++s) {
            const QByteArray& cell = cells[kColumns[s]];
            if (cell.isEmpty()) continue;
            const double v = cell.toDouble(&ok);
            if (!ok) return fail(where + QStringLiteral("has a value that is not a number."));
            const qsizetype dot = cell.indexOf('.');
            log->add(ms, s, v, dot < 0 ? 0 : int(cell.size() - dot - 1));
        }
    }
    return true;
}

}  // namespace lqs
