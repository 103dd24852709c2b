#include "common/convert.h"
#include "device_link/set_point_math.h"

#include <QtTest>

using namespace lqs;

class tst_SetPointMath : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void steps_data();
    void steps();
    void repeatedStepsStayOnTheGrid_data();
    void repeatedStepsStayOnTheGrid();
    void aboveFineStep_data();
    void aboveFineStep();
    void enterLimits_data();
    void enterLimits();
    void formats_data();
    void formats();
    void formatSetPoint_data();
    void formatSetPoint();
    void formatSetPointRefusesText();
    void unknownModel();
};

void tst_SetPointMath::steps_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<bool>("up");
    QTest::addColumn<bool>("voltage");
    QTest::addColumn<int>("holdTicks");
    QTest::addColumn<double>("from");
    QTest::addColumn<QString>("text");
    QTest::newRow("A fine current 3.195 up") << 1 << true << false << 0 << 3.195 << "3.196";
    QTest::newRow("A current 3.199 up hits 3.2") << 1 << true << false << 0 << 3.199 << "3.200";
    QTest::newRow("A current 3.2 stays") << 1 << true << false << 0 << 3.2 << "3.200";
    QTest::newRow("B current 3.19 up") << 2 << true << false << 0 << 3.19 << "3.20";
    QTest::newRow("C current 5.08 up") << 3 << true << false << 0 << 5.08 << "5.09";
    QTest::newRow("C current 5.09 up") << 3 << true << false << 0 << 5.09 << "5.10";
    QTest::newRow("C coarse current 5.05 up") << 3 << true << false << 2 << 5.05 << "5.10";
    QTest::newRow("held voltage 31.5 up") << 2 << true << true << 2 << 31.5 << "32.00";
    QTest::newRow("held voltage 32 stays") << 2 << true << true << 5 << 32.0 << "32.00";
    QTest::newRow("fine voltage 1 up on A") << 1 << true << true << 1 << 1.0 << "1.001";
    QTest::newRow("A down from 0.0005") << 1 << false << true << 0 << 0.0005 << "0.000";
    QTest::newRow("A down from 0.001") << 1 << false << true << 0 << 0.001 << "0.000";
    QTest::newRow("B coarse voltage down from 0.5") << 2 << false << true << 2 << 0.5 << "0.00";
    QTest::newRow("B coarse current down 1.25") << 2 << false << false << 3 << 1.25 << "1.15";
    QTest::newRow("B fine down 0.01") << 2 << false << false << 0 << 0.01 << "0.00";
}

void tst_SetPointMath::steps() {
    QFETCH(int, model);
    QFETCH(bool, up);
    QFETCH(bool, voltage);
    QFETCH(int, holdTicks);
    QFETCH(double, from);
    QFETCH(QString, text);
    const Stepped r =
        up ? StepUp(model, from, voltage, holdTicks) : StepDown(model, from, voltage, holdTicks);
    QCOMPARE(r.text, text);
    QVERIFY(r.value >= 0.0);
}

// Many fine steps in a row must land on the same texts as exact decimals.
void tst_SetPointMath::repeatedStepsStayOnTheGrid_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<bool>("voltage");
    QTest::addColumn<QString>("top");
    QTest::newRow("A current") << 1 << false << "3.200";
    QTest::newRow("B current") << 2 << false << "3.20";
    QTest::newRow("C current") << 3 << false << "5.10";
    QTest::newRow("B voltage") << 2 << true << "32.00";
}

void tst_SetPointMath::repeatedStepsStayOnTheGrid() {
    QFETCH(int, model);
    QFETCH(bool, voltage);
    QFETCH(QString, top);
    double v = 0;
    QString text;
    int steps = 0;
    while (StepUpAllowed(model, v, voltage) && steps < 40000) {
        const Stepped r =
            StepUp(model, StrToFloat(text.isEmpty() ? QStringLiteral("0") : text), voltage, 0);
        v = r.value;
        text = r.text;
        ++steps;
    }
    QCOMPARE(text, top);
    // And back down to zero, reading each value from its text as the field does.
    while (AboveFineStep(model, StrToFloat(text)))
        text = StepDown(model, StrToFloat(text), voltage, 0).text;
    QCOMPARE(text, ZeroTextForModel(model));
}

void tst_SetPointMath::aboveFineStep_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("above");
    QTest::newRow("A 0.001") << 1 << 0.001 << true;
    QTest::newRow("A 0.0009") << 1 << 0.0009 << false;
    QTest::newRow("B 0.01") << 2 << 0.01 << true;
    QTest::newRow("B 0.009") << 2 << 0.009 << false;
    QTest::newRow("C 0") << 3 << 0.0 << false;
}

void tst_SetPointMath::aboveFineStep() {
    QFETCH(int, model);
    QFETCH(double, value);
    QFETCH(bool, above);
    QCOMPARE(AboveFineStep(model, value), above);
}

void tst_SetPointMath::enterLimits_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<bool>("voltage");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("accepted");
    for (int m = 1; m <= 3; ++m) {
        QTest::addRow("model %d current 3.2", m) << m << false << 3.2 << true;
        QTest::addRow("model %d voltage 32", m) << m << true << 32.0 << true;
        QTest::addRow("model %d voltage 33", m) << m << true << 33.0 << false;
        QTest::addRow("model %d negative", m) << m << true << -0.5 << false;
    }
    QTest::newRow("A current 3.21") << 1 << false << 3.21 << false;
    QTest::newRow("B current 3.21") << 2 << false << 3.21 << false;
    QTest::newRow("C current 3.21") << 3 << false << 3.21 << true;
    QTest::newRow("C current 5.1") << 3 << false << 5.1 << true;
    QTest::newRow("C current 5.11") << 3 << false << 5.11 << false;
}

void tst_SetPointMath::enterLimits() {
    QFETCH(int, model);
    QFETCH(bool, voltage);
    QFETCH(double, value);
    QFETCH(bool, accepted);
    QCOMPARE(AcceptedOnEnter(model, value, voltage), accepted);
}

void tst_SetPointMath::formats_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("A 1.5") << 1 << 1.5 << "1.500";
    QTest::newRow("B 1.5") << 2 << 1.5 << "1.50";
    QTest::newRow("B 12.345 rounds") << 2 << 12.346 << "12.35";
    QTest::newRow("A zero") << 1 << 0.0 << "0.000";
    QTest::newRow("C negative zero") << 3 << -0.0 << "0.00";
}

void tst_SetPointMath::formats() {
    QFETCH(int, model);
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(FormatForModel(model, value), text);
}

void tst_SetPointMath::formatSetPoint_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("rewritten");
    QTest::addColumn<QString>("number");
    QTest::newRow("1.500") << "1.500"
                           << "1.5"
                           << "1.5";
    QTest::newRow("30.00") << "30.00"
                           << "30"
                           << "30.";
    QTest::newRow("zero text") << "0.000"
                               << "0"
                               << "0.";
    QTest::newRow("0.001") << "0.001"
                           << "0.001"
                           << "0.001";
    QTest::newRow("16000") << "16000"
                           << "16000"
                           << "16000.";
    QTest::newRow("2") << "2"
                       << "2"
                       << "2.";
    QTest::newRow("2.50") << "2.50"
                          << "2.5"
                          << "2.5";
    QTest::newRow("12.5") << "12.5"
                          << "12.5"
                          << "12.5";
}

void tst_SetPointMath::formatSetPoint() {
    QFETCH(QString, field);
    QFETCH(QString, rewritten);
    QFETCH(QString, number);
    QString text = field;
    QCOMPARE(FormatSetPoint(text), number);
    QCOMPARE(text, rewritten);
}

void tst_SetPointMath::formatSetPointRefusesText() {
    for (const QString& bad :
         {QString(), QStringLiteral("1..2"), QStringLiteral("abc"), QStringLiteral("1,5")}) {
        QString text = bad;
        QVERIFY_THROWS_EXCEPTION(EConvertError, FormatSetPoint(text));
        QCOMPARE(text, bad);
    }
}

void tst_SetPointMath::unknownModel() {
    QCOMPARE(StepUp(0, 1.0, true, 0).value, 1.0);
    QCOMPARE(StepUp(4, 1.0, true, 0).text, QString());
    QVERIFY(!AboveFineStep(0, 5.0));
    QCOMPARE(ZeroTextForModel(7), QString());
}

QTEST_APPLESS_MAIN(tst_SetPointMath)
#include "tst_set_point_math.moc"
