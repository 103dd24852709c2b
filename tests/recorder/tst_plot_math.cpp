#include "recorder/plot_math.h"

#include <QtTest>

using namespace lqs;

class tst_PlotMath : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rows_data();
    void rows();
    void columns_data();
    void columns();
    void scaleLabelTexts_data();
    void scaleLabelTexts();
    void spanLabelTable();
    void roundingIsHalfToEven();
    void clock();
};

void tst_PlotMath::rows_data() {
    QTest::addColumn<QString>("item");
    QTest::addColumn<bool>("voltage");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("row");
    QTest::newRow("0 V at the bottom") << "Default" << true << 0.0 << 249;
    QTest::newRow("full scale above the top") << "Default" << true << 30.0 << -1;
    QTest::newRow("half scale 15 V") << "Default" << true << 15.0 << 124;
    QTest::newRow("3 A default current") << "Default" << false << 3.0 << -1;
    QTest::newRow("5V item") << "5V" << true << 2.5 << 124;
    QTest::newRow("105v item") << "105v" << true << 52.5 << 124;
    QTest::newRow("0.1A item") << "0.1A" << false << 0.05 << 124;
    QTest::newRow("over scale, not clamped") << "1V" << true << 2.0 << -251;
    QTest::newRow("negative reading below") << "Default" << true << -3.0 << 274;
    QTest::newRow("absurd reading stays an int") << "0.1A" << false << 1e300 << 249 - 1000000;
}

void tst_PlotMath::rows() {
    QFETCH(QString, item);
    QFETCH(bool, voltage);
    QFETCH(double, value);
    QFETCH(int, row);
    QCOMPARE(Chpoint(fullScale(item, voltage), value), row);
}

void tst_PlotMath::columns_data() {
    QTest::addColumn<QString>("span");
    QTest::addColumn<int>("sliceMs");
    QTest::addColumn<int>("slices");
    QTest::addColumn<int>("k");
    QTest::addColumn<int>("column");
    QTest::newRow("5m at 1 s") << "5m" << 1000 << 300 << 1 << 2;
    QTest::newRow("5m at 1 s, last") << "5m" << 1000 << 300 << 300 << 600;
    QTest::newRow("10m at 2 s") << "10m" << 2000 << 300 << 7 << 14;
    QTest::newRow("60m at 1 min") << "60m" << 60000 << 60 << 3 << 30;
    QTest::newRow("20m at 1 s: 1200 slices")
        << "20m" << 1000 << 1200 << 3 << 2;  // 1.5 rounds to even
    QTest::newRow("a slice longer than the span") << "5m" << 600000 << 1 << 1 << 600;
}

void tst_PlotMath::columns() {
    QFETCH(QString, span);
    QFETCH(int, sliceMs);
    QFETCH(int, slices);
    QFETCH(int, k);
    QFETCH(int, column);
    QCOMPARE(slicesPerSpan(spanMinutes(span), sliceMs), slices);
    QCOMPARE(ChSecondG(slices, k), column);
}

void tst_PlotMath::scaleLabelTexts_data() {
    QTest::addColumn<QString>("item");
    QTest::addColumn<bool>("voltage");
    QTest::addColumn<QStringList>("labels");
    QTest::newRow("voltage default") << "Default" << true << QStringList{"30", "15"};
    QTest::newRow("current default") << "Default" << false << QStringList{"3", "1.5"};
    QTest::newRow("5V") << "5V" << true << QStringList{"5", "2.5"};
    QTest::newRow("105v") << "105v" << true << QStringList{"105", "52.5"};
    QTest::newRow("0.1A") << "0.1A" << false << QStringList{"0.1", "0.05"};
    QTest::newRow("1.5A") << "1.5A" << false << QStringList{"1.5", "0.75"};
}

void tst_PlotMath::scaleLabelTexts() {
    QFETCH(QString, item);
    QFETCH(bool, voltage);
    QFETCH(QStringList, labels);
    QCOMPARE(scaleLabels(item, voltage), labels);
}

void tst_PlotMath::spanLabelTable() {
    const SpanLabels five = spanLabels(QStringLiteral("5m"));
    QCOMPARE((QStringList{five.midM, five.midS, five.rightH, five.rightM, five.rightS}),
             (QStringList{"2", "30", "0", "5", "00"}));
    const SpanLabels thirty = spanLabels(QStringLiteral("30m"));
    QCOMPARE((QStringList{thirty.midM, thirty.midS, thirty.rightH, thirty.rightM, thirty.rightS}),
             (QStringList{"15", "00", "0", "30", "00"}));
    const SpanLabels hour = spanLabels(QStringLiteral("60m"));
    QCOMPARE((QStringList{hour.midM, hour.midS, hour.rightH, hour.rightM}),
             (QStringList{"30", "00", "1", "00"}));
    QVERIFY(hour.rightS.isEmpty());  // the right seconds are left as they were
}

void tst_PlotMath::roundingIsHalfToEven() {
    QCOMPARE(roundHalfEven(0.5), 0);
    QCOMPARE(roundHalfEven(1.5), 2);
    QCOMPARE(roundHalfEven(2.5), 2);
    QCOMPARE(roundHalfEven(-0.5), 0);
    QCOMPARE(roundHalfEven(2.51), 3);
}

void tst_PlotMath::clock() {
    int h = 0, m = 59, s = 59;
    addOneSecond(h, m, s);
    QCOMPARE((QList<int>{h, m, s}), (QList<int>{1, 0, 0}));
    h = 99, m = 0, s = 58;
    addOneSecond(h, m, s);
    QCOMPARE((QList<int>{h, m, s}), (QList<int>{99, 0, 59}));
}

QTEST_APPLESS_MAIN(tst_PlotMath)
#include "tst_plot_math.moc"
