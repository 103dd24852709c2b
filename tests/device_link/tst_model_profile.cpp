#include "device_link/model_profile.h"

#include <QtTest>

using namespace lqs;

class tst_ModelProfile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fromIdentity_data();
    void fromIdentity();
    void identityOverOperator();
};

void tst_ModelProfile::fromIdentity_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("inIdentity");  // modelFromIdentity
    QTest::addColumn<int>("asName");      // modelNamed
    const auto row = [](const char* text, int inIdentity, int asName) {
        QTest::newRow(text) << QString::fromLatin1(text) << inIdentity << asName;
    };
    row("LQS-6200A V2.1", 1, 0);
    row("LQS6200A V2.0 SN:000001", 1, 0);
    row("lqs-6200b", 2, 2);
    row("LQS 6500B", 3, 3);
    row("L-QS 65 00b", 3, 3);
    row("MAKER,LQS6500B,SN1", 3, 0);
    row("LQS-6200AB V1", 0, 0);
    row("XLQS6200A", 0, 0);
    row("LQS-6300A V2.1", 0, 0);
    row("LQS-6200", 0, 0);
    row("", 0, 0);
}

void tst_ModelProfile::fromIdentity() {
    QFETCH(QString, text);
    QFETCH(int, inIdentity);
    QFETCH(int, asName);
    QCOMPARE(modelFromIdentity(text), inIdentity);
    QCOMPARE(modelNamed(text), asName);
}

// The operator's choice stands while the same instrument answers; another
// one, or none named, as the rule says.
void tst_ModelProfile::identityOverOperator() {
    ModelByIdentity rule;
    rule.chosen();  // before any link: the identity still chooses
    QCOMPARE(rule.atLink(QStringLiteral("LQS-6200B V2.1")), 2);
    QCOMPARE(rule.atLink(QStringLiteral("LQS-6200B V2.1")), 2);
    rule.chosen();
    QCOMPARE(rule.atLink(QStringLiteral("LQS-6200B V2.1")), 0);
    QCOMPARE(rule.atLink(QStringLiteral("SOME SUPPLY V1")), 0);
    QCOMPARE(rule.atLink(QStringLiteral("LQS-6200B V2.1")), 0);
    QCOMPARE(rule.atLink(QStringLiteral("LQS6500B SN:2")), 3);
    QCOMPARE(rule.atLink(QStringLiteral("LQS-6200B V2.1")), 2);
}

QTEST_APPLESS_MAIN(tst_ModelProfile)
#include "tst_model_profile.moc"
