#include "control_panel/read_time_dialog.h"
#include "control_panel/up_down.h"
#include "modal_watcher.h"

#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

using namespace lqs;

class tst_ReadTime : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void typing_data();
    void typing();
    void arrowsAtTheBounds();
    void emptyTextReportsAndStaysEmpty();
    void pasteKeepsToDigits();
    void valueKeptAcrossOpenings();
};

void tst_ReadTime::typing_data() {
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("expected");
    QTest::newRow("12 then 125 becomes 120") << "125"
                                             << "120";
    QTest::newRow("999 becomes 120") << "999"
                                     << "120";
    QTest::newRow("letters dropped") << "1a2b"
                                     << "12";
    QTest::newRow("minus dropped") << "-5"
                                   << "5";
    QTest::newRow("point dropped") << "1.5"
                                   << "15";
}

void tst_ReadTime::typing() {
    QFETCH(QString, keys);
    QFETCH(QString, expected);
    TForm_ReadTime d;
    d.show();
    d.se1->selectAll();  // the first digit replaces the initial 0
    QTest::keyClicks(d.se1, keys);
    QCOMPARE(d.se1->text(), expected);
}

void tst_ReadTime::arrowsAtTheBounds() {
    TForm_ReadTime d;
    d.show();
    QCOMPARE(d.se1->text(), QStringLiteral("0"));
    QTest::mouseClick(d.se1Arrows->downButton(), Qt::LeftButton);
    QCOMPARE(d.se1->text(), QStringLiteral("0"));
    QTest::mouseClick(d.se1Arrows->upButton(), Qt::LeftButton);
    QCOMPARE(d.se1->text(), QStringLiteral("1"));
    d.se1->setText(QStringLiteral("120"));
    QTest::mouseClick(d.se1Arrows->upButton(), Qt::LeftButton);
    QCOMPARE(d.se1->text(), QStringLiteral("120"));
    // Backspace and Enter are characters the field does not take.
    QTest::keyClick(d.se1, Qt::Key_Backspace);
    QTest::keyClick(d.se1, Qt::Key_Return);
    QCOMPARE(d.se1->text(), QStringLiteral("120"));
    QVERIFY(d.isVisible());
}

void tst_ReadTime::emptyTextReportsAndStaysEmpty() {
    TForm_ReadTime d;
    d.show();
    d.se1->setText(QStringLiteral("7"));
    test::ModalWatcher boxes;
    d.se1->end(false);
    d.se1->cursorBackward(true, 1);
    QTest::keyClick(d.se1, Qt::Key_Delete);
    QCOMPARE(d.se1->text(), QString());
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen[0].text, QStringLiteral("'' is not a valid integer value."));
    // The arrows read the empty text as 0.
    QTest::mouseClick(d.se1Arrows->upButton(), Qt::LeftButton);
    QCOMPARE(d.se1->text(), QStringLiteral("1"));
}

void tst_ReadTime::pasteKeepsToDigits() {
    TForm_ReadTime d;
    d.show();
    d.se1->setText(QStringLiteral("5"));
    QGuiApplication::clipboard()->setText(QStringLiteral("x9"));
    d.se1->paste();
    QCOMPARE(d.se1->text(), QStringLiteral("5"));
    d.se1->selectAll();
    QGuiApplication::clipboard()->setText(QStringLiteral("123456789012345678901234567890"));
    d.se1->paste();
    QCOMPARE(d.se1->text(), QStringLiteral("120"));
}

void tst_ReadTime::valueKeptAcrossOpenings() {
    TForm_ReadTime d;
    d.show();
    QTest::mouseClick(d.se1Arrows->upButton(), Qt::LeftButton);
    QTest::mouseClick(d.se1Arrows->upButton(), Qt::LeftButton);
    QTest::mouseClick(d.Button2, Qt::LeftButton);
    QVERIFY(!d.isVisible());
    d.show();
    QCOMPARE(d.se1->text(), QStringLiteral("2"));
    QCOMPARE(d.windowTitle(), QStringLiteral("Read Time"));
    QCOMPARE(d.height(), 72);
    QVERIFY(d.width() >= 249);  // wider when the font needs it
}

QTEST_MAIN(tst_ReadTime)
#include "tst_read_time.moc"
