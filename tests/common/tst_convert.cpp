#include "common/convert.h"

#include <QLocale>
#include <QtTest>

#include <clocale>
#include <limits>
#include <locale>

using namespace lqs;

namespace {

// The message the conversion raised, or an empty string when it did not raise.
template <class F>
QString failureOf(F&& f) {
    try {
        f();
    } catch (const EConvertError& e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

}  // namespace

class TestConvert : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void strToFloat_data();
    void strToFloat();
    void strToFloatUnderCommaLocale_data() { strToFloat_data(); }
    void strToFloatUnderCommaLocale();
    void strToInt_data();
    void strToInt();

private:
    void checkFloat();
};

void TestConvert::strToFloat_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("expected");

    QTest::newRow("integer") << QStringLiteral("12") << true << 12.0;
    QTest::newRow("trailing point") << QStringLiteral("12.") << true << 12.0;
    QTest::newRow("leading point") << QStringLiteral(".5") << true << 0.5;
    QTest::newRow("exponent") << QStringLiteral("1e3") << true << 1000.0;
    QTest::newRow("signed exponent") << QStringLiteral("2.5E-2") << true << 0.025;
    QTest::newRow("plus sign") << QStringLiteral("+3.25") << true << 3.25;
    QTest::newRow("minus, leading point") << QStringLiteral("-.5") << true << -0.5;
    QTest::newRow("blanks around") << QStringLiteral("  30.000\t") << true << 30.0;
    QTest::newRow("leading zeros") << QStringLiteral("007.10") << true << 7.1;
    QTest::newRow("below the smallest double") << QStringLiteral("1e-400") << true << 0.0;
    QTest::newRow("largest double")
        << QStringLiteral("1.7976931348623157e308") << true << std::numeric_limits<double>::max();

    QTest::newRow("empty") << QString() << false << 0.0;
    QTest::newRow("blank") << QStringLiteral("   ") << false << 0.0;
    QTest::newRow("two points") << QStringLiteral("1..2") << false << 0.0;
    QTest::newRow("decimal comma") << QStringLiteral("1,5") << false << 0.0;
    QTest::newRow("group separator") << QStringLiteral("1,000.5") << false << 0.0;
    QTest::newRow("letters") << QStringLiteral("abc") << false << 0.0;
    QTest::newRow("trailing letters") << QStringLiteral("12V") << false << 0.0;
    QTest::newRow("blank inside") << QStringLiteral("1 2") << false << 0.0;
    QTest::newRow("nan") << QStringLiteral("nan") << false << 0.0;
    QTest::newRow("inf") << QStringLiteral("inf") << false << 0.0;
    QTest::newRow("hex") << QStringLiteral("0x1A") << false << 0.0;
    QTest::newRow("point alone") << QStringLiteral(".") << false << 0.0;
    QTest::newRow("sign alone") << QStringLiteral("-") << false << 0.0;
    QTest::newRow("exponent without digits") << QStringLiteral("1e") << false << 0.0;
    QTest::newRow("double sign") << QStringLiteral("--1") << false << 0.0;
    QTest::newRow("too large") << QStringLiteral("1e400") << false << 0.0;
    QTest::newRow("arabic-indic digits") << QStringLiteral("\u0661\u0662") << false << 0.0;
}

void TestConvert::checkFloat() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(double, expected);

    if (valid) {
        QCOMPARE(StrToFloat(text), expected);
    } else {
        QCOMPARE(
            failureOf([&] { StrToFloat(text); }),
            QLatin1Char('\'') + text + QStringLiteral("' is not a valid floating point value"));
    }
}

void TestConvert::strToFloat() {
    checkFloat();
}

// A user with a comma locale must get the same numbers: the texts are the
// program's own and the instrument's, not the user's.
void TestConvert::strToFloatUnderCommaLocale() {
    const QLocale oldDefault;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const std::locale oldGlobal;
    bool cLibraryChanged = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
        try {
            std::locale::global(std::locale(name));  // also sets the C library's locale
            cLibraryChanged = true;
            break;
        } catch (const std::runtime_error&) {
        }
    }
    auto restore = qScopeGuard([&] {
        QLocale::setDefault(oldDefault);
        std::locale::global(oldGlobal);
        std::setlocale(LC_ALL, "C");
    });

    // The switch took effect where it could.
    QCOMPARE(QLocale().toDouble(QStringLiteral("1,5")), 1.5);
    static bool told = false;
    if (cLibraryChanged) {
        QCOMPARE(QString::fromLatin1(std::localeconv()->decimal_point), QStringLiteral(","));
    } else if (!told) {
        told = true;
        qInfo("no German C locale here; only QLocale's default is changed");
    }

    checkFloat();
}

void TestConvert::strToInt_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("expected");

    QTest::newRow("plain") << QStringLiteral("12") << true << 12;
    QTest::newRow("blanks around") << QStringLiteral(" 12 ") << true << 12;
    QTest::newRow("negative") << QStringLiteral("-7") << true << -7;
    QTest::newRow("plus sign") << QStringLiteral("+7") << true << 7;
    QTest::newRow("max") << QStringLiteral("2147483647") << true << std::numeric_limits<int>::max();
    QTest::newRow("min") << QStringLiteral("-2147483648") << true
                         << std::numeric_limits<int>::min();

    QTest::newRow("empty") << QString() << false << 0;
    QTest::newRow("above max") << QStringLiteral("2147483648") << false << 0;
    QTest::newRow("below min") << QStringLiteral("-2147483649") << false << 0;
    QTest::newRow("fraction") << QStringLiteral("1.0") << false << 0;
    QTest::newRow("exponent") << QStringLiteral("1e3") << false << 0;
    QTest::newRow("letters") << QStringLiteral("abc") << false << 0;
    QTest::newRow("blank inside") << QStringLiteral("1 2") << false << 0;
    QTest::newRow("hex") << QStringLiteral("0x10") << false << 0;
    QTest::newRow("arabic-indic digits") << QStringLiteral("\u0661\u0662") << false << 0;
}

void TestConvert::strToInt() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, expected);

    if (valid) {
        QCOMPARE(StrToInt(text), expected);
    } else {
        QCOMPARE(failureOf([&] { StrToInt(text); }),
                 QLatin1Char('\'') + text + QStringLiteral("' is not a valid integer value"));
    }
}

QTEST_APPLESS_MAIN(TestConvert)
#include "tst_convert.moc"
