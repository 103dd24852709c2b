// A reader of comma-separated values as RFC 4180 has them, written apart
// from the program's writer: quoted fields may hold commas, doubled quotes
// and line ends; every record ends in CR LF.
#pragma once

#include <QByteArray>
#include <QList>

namespace lqs::test {

// Empty list and *ok false on anything RFC 4180 does not allow.
inline QList<QList<QByteArray>> parseCsv(const QByteArray& text, bool* ok) {
    QList<QList<QByteArray>> records;
    QList<QByteArray> record;
    QByteArray field;
    *ok = false;
    qsizetype i = 0;
    const auto at = [&](qsizetype k) { return k < text.size() ? text[k] : '\0'; };
    while (i < text.size()) {
        if (at(i) == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) return {};
                if (at(i) != '"') {
                    field += at(i);
                } else if (at(i + 1) == '"') {
                    field += '"';
                    ++i;
                } else {
                    ++i;
                    break;
                }
            }
        }
        if (at(i) == ',') {
            record << field;
            field.clear();
            ++i;
        } else if (at(i) == '\r' && at(i + 1) == '\n') {
            record << field;
            records << record;
            record.clear();
            field.clear();
            i += 2;
        } else if (i < text.size()) {
            if (at(i) == '"' || at(i) == '\r' || at(i) == '\n') return {};
            field += at(i++);
        }
    }
    if (!record.isEmpty() || !field.isEmpty()) return {};  // no final CR LF
    *ok = true;
    return records;
}

}  // namespace lqs::test
