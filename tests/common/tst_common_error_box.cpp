#include "common/error_box.h"
#include "common/guarded.h"
#include "error_box_watcher.h"

#include <QWidget>
#include <QtTest>

#include <stdexcept>

using namespace lqs;
using lqs::test::ErrorBoxWatcher;

class TestErrorBox : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fullStop_data();
    void fullStop();
    void boxShowsMessageModally();
    void guardedAction_data();
    void guardedAction();
};

void TestErrorBox::fullStop_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");

    const QString comms = QStringLiteral("Error opening serial port");
    QTest::newRow("ends in a letter") << comms << comms + QLatin1Char('.');
    QTest::newRow("ends in a digit") << QStringLiteral("Channel 2") << QStringLiteral("Channel 2.");
    QTest::newRow("accented letter")
        << QStringLiteral("Fehler beim Öffnen: Ü") << QStringLiteral("Fehler beim Öffnen: Ü.");
    QTest::newRow("cyrillic") << QStringLiteral("Ошибка") << QStringLiteral("Ошибка.");
    QTest::newRow("letter and combining mark")
        << QStringLiteral("cafe\u0301") << QStringLiteral("cafe\u0301.");
    QTest::newRow("letter outside the BMP")
        << QStringLiteral("x \U0001D400") << QStringLiteral("x \U0001D400.");
    QTest::newRow("digit outside the BMP")
        << QStringLiteral("x \U0001D7CE") << QStringLiteral("x \U0001D7CE.");
    QTest::newRow("full stop") << QStringLiteral("Done.") << QStringLiteral("Done.");
    QTest::newRow("exclamation") << QStringLiteral("Stop!") << QStringLiteral("Stop!");
    QTest::newRow("trailing blank") << QStringLiteral("File handle is not a comm handle ")
                                    << QStringLiteral("File handle is not a comm handle ");
    QTest::newRow("empty") << QString() << QString();
}

void TestErrorBox::fullStop() {
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(errorBoxText(message), shown);
}

void TestErrorBox::boxShowsMessageModally() {
    QWidget parent;
    parent.show();
    ErrorBoxWatcher watcher;

    showErrorBox(&parent, QStringLiteral("Error opening serial port"));

    QCOMPARE(watcher.seen.size(), 1);
    const auto& box = watcher.seen.first();
    QCOMPARE(box.text, QStringLiteral("Error opening serial port."));
    QCOMPARE(box.title, QStringLiteral("LQS Control"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttonCount, 1);
    QVERIFY(box.okButton);
    QVERIFY(box.modalWhenShown);
    QVERIFY(!parent.findChild<QMessageBox*>());  // gone once OK was pressed
}

void TestErrorBox::guardedAction_data() {
    QTest::addColumn<int>("throws");  // 0 nothing, 1 std::runtime_error, 2 EConvertError
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");

    QTest::newRow("no failure") << 0 << QString() << QString();
    QTest::newRow("runtime error") << 1 << QStringLiteral("Unable to create event")
                                   << QStringLiteral("Unable to create event.");
    QTest::newRow("UTF-8 message")
        << 1 << QStringLiteral("Порт занят") << QStringLiteral("Порт занят.");
    QTest::newRow("conversion error")
        << 2 << QStringLiteral("x") << QStringLiteral("'x' is not a valid floating point value.");
}

void TestErrorBox::guardedAction() {
    QFETCH(int, throws);
    QFETCH(QString, message);
    QFETCH(QString, shown);

    QWidget parent;
    ErrorBoxWatcher watcher;
    bool reachedEnd = false;
    const bool ok = runGuarded(&parent, [&] {
        if (throws == 1) throw std::runtime_error(message.toStdString());
        if (throws == 2) StrToFloat(message);
        reachedEnd = true;
    });

    QCOMPARE(ok, throws == 0);
    QCOMPARE(reachedEnd, throws == 0);
    QCOMPARE(watcher.seen.size(), throws == 0 ? 0 : 1);
    if (throws != 0) QCOMPARE(watcher.seen.first().text, shown);
}

QTEST_MAIN(TestErrorBox)
#include "tst_common_error_box.moc"
