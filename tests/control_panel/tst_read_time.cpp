#include "control_panel/read_time_dialog.h"
#include "control_panel/up_down.h"
#include "modal_watcher.h"
#include "named.h"

#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

using namespace lqs;

namespace {

QLineEdit* se1(const TForm_ReadTime& d) {
    return test::named<QLineEdit>(&d, "se1");
}

void clickArrow(const TForm_ReadTime& d, bool up) {
    TUpDown* arrows = test::named<TUpDown>(&d, "se1Arrows");
    QTest::mouseClick(up ? arrows->upButton() : arrows->downButton(), Qt::LeftButton);
}

}  // namespace

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
    se1(d)->selectAll();  // the first digit replaces the initial 0
    QTest::keyClicks(se1(d), keys);
    QCOMPARE(se1(d)->text(), expected);
}

void tst_ReadTime::arrowsAtTheBounds() {
    TForm_ReadTime d;
    d.show();
    QCOMPARE(se1(d)->text(), QStringLiteral("0"));
    clickArrow(d, false);
    QCOMPARE(se1(d)->text(), QStringLiteral("0"));
    clickArrow(d, true);
    QCOMPARE(se1(d)->text(), QStringLiteral("1"));
    se1(d)->selectAll();
    QTest::keyClicks(se1(d), QStringLiteral("120"));
    clickArrow(d, true);
    QCOMPARE(se1(d)->text(), QStringLiteral("120"));
    // Backspace and Enter are characters the field does not take.
    QTest::keyClick(se1(d), Qt::Key_Backspace);
    QTest::keyClick(se1(d), Qt::Key_Return);
    QCOMPARE(se1(d)->text(), QStringLiteral("120"));
    QVERIFY(d.isVisible());
}

void tst_ReadTime::emptyTextReportsAndStaysEmpty() {
    TForm_ReadTime d;
    d.show();
    se1(d)->selectAll();
    QTest::keyClick(se1(d), Qt::Key_7);
    test::ModalWatcher boxes;
    QTest::keyClick(se1(d), Qt::Key_Home);
    QTest::keyClick(se1(d), Qt::Key_Delete);
    QCOMPARE(se1(d)->text(), QString());
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen[0].text, QStringLiteral("'' is not a valid integer value."));
    // The arrows read the empty text as 0.
    clickArrow(d, true);
    QCOMPARE(se1(d)->text(), QStringLiteral("1"));
}

void tst_ReadTime::pasteKeepsToDigits() {
    TForm_ReadTime d;
    d.show();
    se1(d)->selectAll();
    QTest::keyClick(se1(d), Qt::Key_5);
    // QTest gives Ctrl+V the text "v", which the key filter drops, so the
    // field's own paste stands in for the shortcut.
    QGuiApplication::clipboard()->setText(QStringLiteral("x9"));
    se1(d)->paste();
    QCOMPARE(se1(d)->text(), QStringLiteral("5"));
    se1(d)->selectAll();
    QGuiApplication::clipboard()->setText(QStringLiteral("123456789012345678901234567890"));
    se1(d)->paste();
    QCOMPARE(se1(d)->text(), QStringLiteral("120"));
}

void tst_ReadTime::valueKeptAcrossOpenings() {
    TForm_ReadTime d;
    d.show();
    clickArrow(d, true);
    clickArrow(d, true);
    QTest::mouseClick(test::named<QPushButton>(&d, "Button2"), Qt::LeftButton);
    QVERIFY(!d.isVisible());
    d.show();
    QCOMPARE(se1(d)->text(), QStringLiteral("2"));
    QCOMPARE(d.windowTitle(), QStringLiteral("Read Time"));
    QCOMPARE(d.height(), 72);
    QVERIFY(d.width() >= 249);  // wider when the font needs it
}

QTEST_MAIN(tst_ReadTime)
#include "tst_read_time.moc"
