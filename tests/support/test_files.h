// Small file helpers for tests that check what was written to disk.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtTest>

namespace lqs::test {

inline QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

inline void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

}  // namespace lqs::test
