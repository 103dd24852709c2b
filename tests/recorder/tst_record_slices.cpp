#include "recorder/slice_readings.h"

#include <QtTest>

using namespace lqs;

class tst_RecordSlices : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void take_data();
    void take();
};

// feed: "i:text" adds text as reading i, "i:text*n" adds it n times, "|" is a
// tick. takes: what each tick gives, the four texts joined by blanks.
void tst_RecordSlices::take_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("feed");
    QTest::addColumn<QStringList>("takes");
    const QString latest = QStringLiteral("9.00 0.900 8.00 0.800");
    const QStringList slice{"0:12.00", "0:12.50", "0:11.90", "|"};

    QTest::newRow("maximum") << "Maximum" << slice << QStringList{"12.50 0.900 8.00 0.800"};
    QTest::newRow("minimum") << "Minimum" << slice << QStringList{"11.90 0.900 8.00 0.800"};
    QTest::newRow("average") << "Average" << slice << QStringList{"12.13 0.900 8.00 0.800"};
    QTest::newRow("empty slices keep the latest")
        << "Average" << QStringList{"|", "1:0.500", "|", "|"}
        << QStringList{latest, "9.00 0.500 8.00 0.800", latest};
    QTest::newRow("a reading at the edge is in one slice")
        << "Average" << QStringList{"0:10.00", "0:20.00", "|", "0:30.00", "|"}
        << QStringList{"15.00 0.900 8.00 0.800", "30.00 0.900 8.00 0.800"};
    for (const char* other : {"maximum", "Average ", "", "Max"})
        QTest::addRow("operation \"%s\": the latest", other)
            << other << slice << QStringList{latest};
    QTest::newRow("not numbers are left out")
        << "Average"
        << QStringList{"0:", "0:10.00", "0:OFF", "0:1,5", "0:20.00", "0:nan", "1:-", "|"}
        << QStringList{"15.00 0.900 8.00 0.800"};
    QTest::newRow("indexes outside 0 to 3")
        << "Maximum" << QStringList{"4:99.00", "-1:99.00", "|"} << QStringList{latest};
    QTest::newRow("decimals of the last reading")
        << "Average" << QStringList{"0:1.5", "0:2.250", "|", "0:2.250", "0:1.5", "|"}
        << QStringList{"1.875 0.900 8.00 0.800", "1.9 0.900 8.00 0.800"};
    QTest::newRow("halfway rounds away from zero")
        << "Average" << QStringList{"0:1.00", "0:1.01", "1:-1.00", "1:-1.01", "2:12",
                                    "2:13",   "3:12.5", "3:12.25", "|"}
        << QStringList{"1.01 -1.01 13 12.38"};
    QTest::newRow("no minus on a zero mean")
        << "Average" << QStringList{"0:-0.001", "0:0.000", "0:0.000", "|"}
        << QStringList{"0.000 0.900 8.00 0.800"};
    QTest::newRow("many readings do not drift")
        << "Average"
        << QStringList{"0:1.00*50000", "0:1.01*50000", "1:0.100*150000", "1:0.101*150000", "|"}
        << QStringList{"1.01 0.101 8.00 0.800"};
    QTest::newRow("other number forms")
        << "Average" << QStringList{"0:1.5e1", "0:+5", "1: 0.500 ", "|"}
        << QStringList{"10 0.500 8.00 0.800"};
    QTest::newRow("sums beyond 64 bits") << "Average" << QStringList{"0:900000000000000000*20", "|"}
                                         << QStringList{"900000000000000000 0.900 8.00 0.800"};
}

void tst_RecordSlices::take() {
    QFETCH(QString, operation);
    QFETCH(QStringList, feed);
    QFETCH(QStringList, takes);
    const QStringList latest{"9.00", "0.900", "8.00", "0.800"};
    SliceReadings slices;
    QStringList got;
    for (const QString& step : feed) {
        if (step == QLatin1String("|")) {
            got << slices.take(operation, latest).join(QLatin1Char(' '));
            continue;
        }
        const qsizetype colon = step.indexOf(QLatin1Char(':'));
        QString text = step.mid(colon + 1);
        int times = 1;
        if (const qsizetype star = text.lastIndexOf(QLatin1Char('*')); star >= 0) {
            times = text.mid(star + 1).toInt();
            text.truncate(star);
        }
        for (int i = 0; i < times; ++i) slices.add(step.left(colon).toInt(), text);
    }
    QCOMPARE(got, takes);
}

QTEST_GUILESS_MAIN(tst_RecordSlices)
#include "tst_record_slices.moc"
