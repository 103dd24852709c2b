// The save and recall dialogs on the linked program: which typed slots OK
// sends to the simulated instrument, on the driven clock, where "nothing is
// sent" is a span of the link's time.
#include "clocked_link.h"
#include "control_panel/memory_dialogs.h"
#include "control_panel/up_down.h"
#include "named.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>

#include <memory>

using namespace lqs;
using namespace std::chrono_literals;

class tst_MemoryDialogs : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { m_p.reset(); }
    void typedSlot_data();
    void typedSlot();

private:
    // One linked program for every row: each row starts from an idle link
    // and looks only at what it sends.
    std::unique_ptr<test::ClockedProgram> m_p;
};

void tst_MemoryDialogs::initTestCase() {
    m_p = std::make_unique<test::ClockedProgram>();
    QVERIFY(m_p->linked());
}

void tst_MemoryDialogs::typedSlot_data() {
    QTest::addColumn<bool>("recall");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("arrow");     // clicked after typing: 1 up, -1 down, 0 none
    QTest::addColumn<QString>("sent");  // empty: nothing
    QTest::newRow("save 0") << false << "0" << 0 << "";
    QTest::newRow("save 5") << false << "5" << 0 << "";
    QTest::newRow("save 10") << false << "10" << 0 << "";
    QTest::newRow("save 99") << false << "99" << 0 << "";
    QTest::newRow("save nothing") << false << "" << 0 << "";
    QTest::newRow("save 1") << false << "1" << 0 << "SAV1";
    QTest::newRow("save 4") << false << "4" << 0 << "SAV4";
    QTest::newRow("save 9, arrow down") << false << "9" << -1 << "SAV4";
    QTest::newRow("save 0, arrow down") << false << "0" << -1 << "SAV1";
    QTest::newRow("recall 0") << true << "0" << 0 << "";
    QTest::newRow("recall 99") << true << "99" << 0 << "";
    QTest::newRow("recall 3") << true << "3" << 0 << "RCL3";
}

// OK is pressed with Enter, then, with the dialog still open, by the mouse.
// The rows share one program, so the dialogs open again and again.
void tst_MemoryDialogs::typedSlot() {
    QFETCH(bool, recall);
    QFETCH(QString, typed);
    QFETCH(int, arrow);
    QFETCH(QString, sent);
    test::ClockedProgram& p = *m_p;
    const auto idle = [&p] { return p.client().idle() && p.form->frameEnabled(); };
    QVERIFY(p.advanceUntil(idle));
    const qsizetype skip = p.frames().size();
    QTest::mouseClick(test::named<QPushButton>(p.form.get(), recall ? "BitBtn6" : "BitBtn5"),
                      Qt::LeftButton);
    TMemoryDialog* dialog =
        recall ? static_cast<TMemoryDialog*>(p.form->windows().recall) : p.form->windows().save;
    QVERIFY(dialog->isVisible());
    auto* slotField = test::named<QLineEdit>(dialog, "Edit1");
    auto* arrows = test::named<TUpDown>(dialog, "UpDown1");
    auto* hint = test::named<QLabel>(dialog, "SlotHint");
    // Typed where the dialog puts the focus, as an operator types.
    QCOMPARE(dialog->focusWidget(), slotField);
    QCOMPARE(slotField->selectedText(), slotField->text());
    QTest::keyClick(slotField, Qt::Key_Backspace);
    QTest::keyClicks(slotField, typed);
    if (arrow != 0)
        QTest::mouseClick(arrow > 0 ? arrows->upButton() : arrows->downButton(), Qt::LeftButton);
    QTest::keyClick(slotField, Qt::Key_Return);
    if (dialog->isVisible())
        QTest::mouseClick(test::named<QPushButton>(dialog, "Button1"), Qt::LeftButton);
    if (sent.isEmpty()) {
        QVERIFY(p.client().idle());  // nothing given to the link
        p.advance(5s);
        QCOMPARE(p.frames().mid(skip), QStringList());  // not even the recall's OUT0
        QVERIFY(dialog->isVisible());
        QVERIFY(hint->isVisible());  // says why OK does nothing
        QTest::keyClick(dialog, Qt::Key_Escape);
    } else {
        QVERIFY(!hint->isVisible());
        QVERIFY(p.advanceUntil(idle));
        QCOMPARE(p.frames().mid(skip).filter(QRegularExpression(QStringLiteral("^(SAV|RCL)"))),
                 QStringList{sent});
    }
    QVERIFY(!dialog->isVisible());
    QVERIFY(p.form->frameEnabled());
    QCOMPARE(p.boxes.seen.size(), 0);
}

QTEST_MAIN(tst_MemoryDialogs)
#include "tst_memory_dialogs.moc"
