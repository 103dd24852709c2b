#include "recorder/record_table.h"

#include "recorder/record_files.h"

#include <QDateTime>
#include <QString>

#include <algorithm>
#include <cstring>

namespace lqs {

namespace {

constexpr char kCrLf[] = {'\r', '\n'};

// memcpy must not see a null pointer, even for no bytes.
char* put(char* p, const char* src, qsizetype n) {
    if (n > 0) std::memcpy(p, src, std::size_t(n));
    return p + n;
}

// Decimal, no leading zeros; returns the end of what was written.
char* putInt(char* p, int value) {
    long long v = value;  // -INT_MIN does not fit an int
    if (v < 0) {
        *p++ = '-';
        v = -v;
    }
    char digits[20];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *p++ = digits[--n];
    return p;
}

// Room for "-2147483648-12-31 23:59" and more.
constexpr int kTimeChars = 64;

char* putTime(char* p, const QDateTime& when) {
    const QDateTime local = when.toLocalTime();
    const QDate date = local.date();
    const QTime time = local.time();
    p = putInt(p, date.year());
    *p++ = '-';
    p = putInt(p, date.month());
    *p++ = '-';
    p = putInt(p, date.day());
    *p++ = ' ';
    p = putInt(p, time.hour());
    *p++ = ':';
    return putInt(p, time.minute());
}

// Latin-1 as QString::toLatin1() gives it, without the temporary.
char* putLatin1(char* p, const QString& text) {
    for (const QChar c : text) *p++ = c.unicode() <= 0xFF ? char(c.unicode()) : '?';
    return p;
}

}  // namespace

RecordTable RecordTable::withHeader(bool counters) {
    RecordTable t;
    t.appendLine(header(counters));
    return t;
}

QByteArray RecordTable::header(bool counters) {
    return counters ? QByteArrayLiteral(
                          "No.\tTime\tCh1 V\tCh1 A\tCh2 V\tCh2 A\tCh1 Ah\tCh1 Wh\tCh2 Ah\tCh2 Wh")
                    : QByteArrayLiteral("No.\tTime\tCh1 V\tCh1 A\tCh2 V\tCh2 A");
}

bool RecordTable::hasCounters() const {
    return !m_starts.empty() && lineView(0) == header(true);
}

QByteArray RecordTable::formatTime(const QDateTime& when) {
    char buf[kTimeChars];
    return QByteArray(buf, putTime(buf, when) - buf);
}

QByteArrayView RecordTable::lineView(int i) const {
    Q_ASSERT(i >= 0 && i < lineCount());
    const std::size_t k = std::size_t(i);
    const qsizetype start = m_starts[k];
    const qsizetype end = k + 1 < m_starts.size() ? m_starts[k + 1] : m_data.size();
    return QByteArrayView(m_data.constData() + start, end - start - 2);
}

char* RecordTable::grow(qsizetype extra) {
    const qsizetype old = m_data.size();
    const qsizetype need = old + extra;
    if (need > m_data.capacity()) m_data.reserve(std::max(need, old + old / 2 + 4096));
    m_data.resize(need);
    return m_data.data() + old;
}

void RecordTable::appendLine(QByteArrayView text) {
    m_starts.push_back(m_data.size());
    put(put(grow(text.size() + 2), text.data(), text.size()), kCrLf, 2);
}

void RecordTable::appendSample(int sampleNo, const QDateTime& when, const QString& ch1v,
                               const QString& ch1a, const QString& ch2v, const QString& ch2a,
                               const std::array<double, 4>* counters) {
    // Four decimals: a tenth of a milliampere-hour, and the longest record
    // with them still within what a record file may hold.
    QByteArray tail;
    if (counters) {
        for (double v : *counters) tail.append('\t').append(QByteArray::number(v, 'f', 4));
    }
    char head[kTimeChars + 16];
    char* h = putInt(head, sampleNo);
    *h++ = '\t';
    h = putTime(h, when);
    const qsizetype headSize = h - head;
    const qsizetype size =
        headSize + 4 + ch1v.size() + ch1a.size() + ch2v.size() + ch2a.size() + tail.size() + 2;

    m_starts.push_back(m_data.size());
    char* p = put(grow(size), head, headSize);
    for (const QString* s : {&ch1v, &ch1a, &ch2v, &ch2a}) {
        *p++ = '\t';
        p = putLatin1(p, *s);
    }
    put(put(p, tail.constData(), tail.size()), kCrLf, 2);
}

void RecordTable::insertAfterHeader(const RecordLines& lines, qsizetype first) {
    if (first >= lines.count()) return;
    const std::size_t at = m_starts.empty() ? 0 : 1;  // lines before the insertion point
    const qsizetype split = at < m_starts.size() ? m_starts[at] : m_data.size();

    qsizetype added = 0;
    for (qsizetype i = first; i < lines.count(); ++i) added += lines.line(i).size() + 2;

    // One new buffer and one new offset list: linear in the result's size.
    // Sized exactly; resize() would round a fresh buffer up to a power of two.
    QByteArray data(m_data.size() + added, Qt::Uninitialized);
    char* p = put(data.data(), m_data.constData(), split);

    std::vector<qsizetype> starts;
    starts.reserve(m_starts.size() + std::size_t(lines.count() - first));
    starts.insert(starts.end(), m_starts.begin(), m_starts.begin() + qsizetype(at));
    for (qsizetype i = first; i < lines.count(); ++i) {
        const QByteArrayView l = lines.line(i);
        starts.push_back(p - data.constData());
        p = put(put(p, l.data(), l.size()), kCrLf, 2);
    }
    put(p, m_data.constData() + split, m_data.size() - split);
    for (auto it = m_starts.begin() + qsizetype(at); it != m_starts.end(); ++it)
        starts.push_back(*it + added);

    m_data = std::move(data);
    m_starts = std::move(starts);
}

void RecordTable::clear() {
    m_data.clear();
    m_starts.clear();
}

}  // namespace lqs
