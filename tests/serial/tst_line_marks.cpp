#include "serial/comm_types.h"
#include "serial/line_marks.h"

#include <QtTest>

using lqs::LineMarkDecoder;
namespace LineError = lqs::LineError;

class tst_LineMarks : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void decode_data();
    void decode();
    void marksSplitAcrossReads();
};

void tst_LineMarks::decode_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<bool>("replace");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<uint>("errors");

    QTest::newRow("plain") << QByteArray("VOUT1?\r\n") << false << QByteArray("VOUT1?\r\n") << 0u;
    QTest::newRow("escaped 0xFF") << QByteArray(
                                         "a\xff\xff"
                                         "b",
                                         4)
                                  << false
                                  << QByteArray(
                                         "a\xff"
                                         "b",
                                         3)
                                  << 0u;
    QTest::newRow("bad byte kept") << QByteArray(
                                          "a\xff\x00"
                                          "c",
                                          4)
                                   << false << QByteArray("ac") << uint(LineError::RxParity);
    QTest::newRow("bad byte replaced") << QByteArray(
                                              "a\xff\x00"
                                              "c",
                                              4)
                                       << true << QByteArray("a?") << uint(LineError::RxParity);
    QTest::newRow("break") << QByteArray("x\xff\x00\x00y", 5) << false << QByteArray("xy")
                           << uint(LineError::Break);
    QTest::newRow("both") << QByteArray("\xff\x00\x00\xff\x00z", 6) << false << QByteArray("z")
                          << uint(LineError::Break | LineError::RxParity);
    QTest::newRow("stray FF keeps both bytes") << QByteArray(
                                                      "\xff"
                                                      "A",
                                                      2)
                                               << false
                                               << QByteArray(
                                                      "\xff"
                                                      "A",
                                                      2)
                                               << 0u;
    QTest::newRow("NUL data") << QByteArray("\x00\x01", 2) << false << QByteArray("\x00\x01", 2)
                              << 0u;
}

void tst_LineMarks::decode() {
    QFETCH(QByteArray, in);
    QFETCH(bool, replace);
    QFETCH(QByteArray, out);
    QFETCH(uint, errors);
    LineMarkDecoder d;
    d.setReplacement(replace, '?');
    QByteArray buf(in.size() + 1, '\0');
    auto r = d.decode(reinterpret_cast<const std::uint8_t*>(in.constData()), std::size_t(in.size()),
                      reinterpret_cast<std::uint8_t*>(buf.data()));
    QCOMPARE(buf.left(int(r.length)), out);
    QCOMPARE(uint(r.errors), errors);
}

// The driver's marks arrive in whatever pieces read() returns.
void tst_LineMarks::marksSplitAcrossReads() {
    const QByteArray stream(
        "1\xff\xff"
        "2\xff\x00"
        "3\xff\x00\x00"
        "4",
        11);
    for (int cut = 0; cut <= stream.size(); ++cut) {
        LineMarkDecoder d;
        QByteArray out;
        std::uint32_t errors = 0;
        for (const QByteArray& part : {stream.left(cut), stream.mid(cut)}) {
            QByteArray buf(part.size() + 1, '\0');
            auto r =
                d.decode(reinterpret_cast<const std::uint8_t*>(part.constData()),
                         std::size_t(part.size()), reinterpret_cast<std::uint8_t*>(buf.data()));
            out += buf.left(int(r.length));
            errors |= r.errors;
        }
        QCOMPARE(out, QByteArray("1\xff"
                                 "234"));
        QCOMPARE(errors, LineError::RxParity | LineError::Break);
    }
}

QTEST_APPLESS_MAIN(tst_LineMarks)
#include "tst_line_marks.moc"
