// The link end to end: the real main window and serial component against the
// simulated instrument on a pseudo-terminal, asserted on the frames it received.
#include "messages_box.h"
#include "querying_dialog.h"
#include "sim_program.h"

#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

using namespace lqs;
using test::frames;

namespace {
const QStringList& kStartup = test::kStartupQueries;
const QStringList& kCycle = test::kPollQueries;
using Fixture = test::SimProgram;
}  // namespace

class tst_Link : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startupQueryFramesAndFields();
    void startupWithTrackAndOutputOn();
    void pollCycleUpdatesAndRepeats();
    void deferredSetPointAfterNextQuery();
    void heldStepperPausesPolling();
    void outputOffMidCycle();
    void timeoutEndsTheProgram();
    void cancelAtOnce();
    void garbledStatusAtStartup();
    void couplingAndSaveCommands();
};

void tst_Link::startupQueryFramesAndFields() {
    Fixture f;
    QVERIFY(f.form->comm1->IsOpen());
    QString labelAtClose;
    QObject::connect(f.form->windows().Querying, &TQuerying::dialogClosed,
                     [&] { labelAtClose = f.form->windows().Querying->Label2->text(); });
    f.linkStart();
    // An instrument with its outputs off gets OUT0 once after the link.
    QTRY_COMPARE(frames(f.sim), kStartup + QStringList{"OUT0"});
    QCOMPARE(f.form->Edit5->text(), QStringLiteral("12.00"));
    QCOMPARE(f.form->Edit7->text(), QStringLiteral("5.00"));
    QCOMPARE(f.form->Edit6->text(), QStringLiteral("1.00"));
    QCOMPARE(f.form->Edit8->text(), QStringLiteral("0.50"));
    QCOMPARE(labelAtClose, QStringLiteral("Remaining 18 seconds!"));
    QVERIFY(!f.form->windows().Querying->isVisible());
    QVERIFY(f.form->frameEnabled());
    QVERIFY(f.form->RadioButton1->isChecked());
    QCOMPARE(f.form->BitBtn4->text(), QStringLiteral("OFF"));
    QTest::qWait(200);
    QCOMPARE(frames(f.sim).size(), kStartup.size() + 1);
    QVERIFY(f.boxes.seen.isEmpty());
}

void tst_Link::startupWithTrackAndOutputOn() {
    Fixture f;
    f.sim.withInstrument([](sim::Instrument& i) {
        i.setCoupling(sim::Coupling::Series);
        i.setOutput(true);
    });
    f.linkStart();
    QTRY_VERIFY(frames(f.sim).size() >= kStartup.size() + 3);
    const QStringList expected = kStartup + QStringList{"TRACK1", "OUT1", "VOUT1?"};
    QCOMPARE(frames(f.sim).mid(0, expected.size()), expected);
    QVERIFY(f.form->RadioButton3->isChecked());
    QVERIFY(!f.form->Edit7->isEnabled());
    QVERIFY(f.form->Edit8->isEnabled());
    QCOMPARE(f.form->BitBtn4->text(), QStringLiteral("ON"));
    QCOMPARE(linkState().ParserMode.load(), Parse::Polling);
}

void tst_Link::pollCycleUpdatesAndRepeats() {
    Fixture f;
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    f.linkStart();
    const int before = kStartup.size() + 1;  // the queries and OUT1
    QTRY_VERIFY_WITH_TIMEOUT(frames(f.sim).size() >= before + kCycle.size() + 1, 15000);
    const QStringList cycle = kCycle + QStringList{"VOUT1?"};
    QCOMPARE(frames(f.sim).mid(before, cycle.size()), cycle);
    const auto expect = f.sim.withInstrument([](sim::Instrument& i) {
        return QStringList{QString::fromStdString(i.formatNumber(i.measuredVoltage(1))),
                           QString::fromStdString(i.formatNumber(i.measuredCurrent(1))),
                           QString::fromStdString(i.formatNumber(i.measuredVoltage(2))),
                           QString::fromStdString(i.formatNumber(i.measuredCurrent(2)))};
    });
    const QStringList shown{f.form->Edit1->text(), f.form->Edit2->text(), f.form->Edit3->text(),
                            f.form->Edit4->text()};
    QCOMPARE(shown, expect);
    QVERIFY(f.boxes.seen.isEmpty());
}

void tst_Link::deferredSetPointAfterNextQuery() {
    Fixture f;
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    f.linkStart();
    QTRY_VERIFY(frames(f.sim).contains(QStringLiteral("VOUT1?")) && frames(f.sim).size() > kStartup.size() + 2);
    f.form->Edit5->setText(QStringLiteral("7.50"));
    linkState().PendingOperation = Op::StepVset1;
    f.form->link->OperationDispatcher();
    QCOMPARE(linkState().SetPointDeferred.load(), std::uint8_t(1));
    QVERIFY(!frames(f.sim).contains(QStringLiteral("VSET1:7.5")));
    QTRY_VERIFY(frames(f.sim).contains(QStringLiteral("VSET1:7.5")));
    const QStringList all = frames(f.sim);
    const int at = all.indexOf(QStringLiteral("VSET1:7.5"));
    QVERIFY(kCycle.contains(all.at(at - 1)));  // right after a poll query
    QTRY_COMPARE(linkState().SetPointDeferred.load(), std::uint8_t(0));
    QCOMPARE(all.count(QStringLiteral("VSET1:7.5")), 1);
}

void tst_Link::heldStepperPausesPolling() {
    Fixture f;
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    f.linkStart();
    QTRY_VERIFY(frames(f.sim).size() > kStartup.size() + 3);
    linkState().HoldTicks = 1;
    QTest::qWait(400);  // a query already past the gate may still go out
    const int held = frames(f.sim).size();
    QTest::qWait(1000);
    QCOMPARE(frames(f.sim).size(), held);
    linkState().HoldTicks = 0;
    QTRY_VERIFY(frames(f.sim).size() > held);
}

void tst_Link::outputOffMidCycle() {
    Fixture f;
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    f.linkStart();
    QTRY_VERIFY(frames(f.sim).size() > kStartup.size() + 4);
    f.form->BitBtn4->click();
    QCOMPARE(f.form->BitBtn4->text(), QStringLiteral("OFF"));
    QVERIFY(f.form->Edit1->text().isEmpty());
    QTRY_COMPARE(frames(f.sim).count(QStringLiteral("OUT0")), 1);
    const QStringList all = frames(f.sim);
    QTest::qWait(800);
    const QStringList later = frames(f.sim);
    QVERIFY2(later.size() - all.size() <= 1, qPrintable(later.join(QLatin1Char(' '))));
    QTRY_COMPARE(f.form->link->pollThreadsRunning(), 0);
    QVERIFY(f.sim.withInstrument([](sim::Instrument& i) { return !i.output(); }));
}

void tst_Link::timeoutEndsTheProgram() {
    Fixture f;
    f.sim.setSilent(true);
    QSignalSpy closed(f.form.get(), &TForm1::closed);
    QVERIFY(closed.isValid());
    QStringList countdown;
    QLabel* label = f.form->windows().Querying->Label2;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (countdown.isEmpty() || countdown.last() != label->text()) countdown << label->text();
    });
    sampler.start(5);
    f.linkStart();  // returns after the countdown, with the time-out box up
    TMessages* box = f.form->windows().Messages;
    QTRY_VERIFY(box->isVisible());
    QCOMPARE(frames(f.sim), QStringList{"*IDN?"});  // nothing after the lost reply
    QVERIFY(countdown.contains(QStringLiteral("Remaining 0 seconds!")));
    QVERIFY(countdown.contains(QStringLiteral("Remaining 60 seconds!")));
    QVERIFY(!f.form->frameEnabled());
    QTest::mouseClick(box->Button1, Qt::LeftButton);
    QCOMPARE(closed.count(), 1);
    QVERIFY(!f.form->comm1->IsOpen());
}

void tst_Link::cancelAtOnce() {
    Fixture f;
    QTimer::singleShot(0, f.form->windows().Querying->Button1, &QPushButton::click);
    f.linkStart();
    QTest::qWait(300);
    QCOMPARE(frames(f.sim), QStringList{"*IDN?"});
    QCOMPARE(linkState().PendingOperation.load(), Op::None);
    QVERIFY(!f.form->windows().Querying->isVisible());
    QVERIFY(f.form->frameEnabled());
    QVERIFY(f.form->panelEnabled());
}

void tst_Link::garbledStatusAtStartup() {
    Fixture f;
    f.sim.injectFault(sim::Fault::garbleStatusCoupling());
    f.linkStart();
    QTRY_COMPARE(f.form->statusText(1), QStringLiteral("TRACK 出错重发!"));
    QTest::qWait(200);
    // The dialog has closed (nothing may be sent), so the status is not asked again.
    QCOMPARE(frames(f.sim), kStartup + QStringList{"OUT0"});
}

void tst_Link::couplingAndSaveCommands() {
    Fixture f;
    f.linkStart();
    QTRY_COMPARE(frames(f.sim).size(), kStartup.size() + 1);
    f.sim.clearTranscript();
    QTest::mouseClick(f.form->RadioButton2, Qt::LeftButton);
    QTRY_COMPARE(frames(f.sim), QStringList{"TRACK2"});
    QCOMPARE(linkState().CouplingCommand, QStringLiteral("TRACK2"));
    QVERIFY(!f.form->Edit7->isEnabled() && !f.form->Edit8->isEnabled());
    QTest::mouseClick(f.form->RadioButton2, Qt::LeftButton);  // already selected: nothing
    QTest::mouseClick(f.form->RadioButton1, Qt::LeftButton);
    QTRY_COMPARE(frames(f.sim), (QStringList{"TRACK2", "TRACK0"}));
    QVERIFY(f.form->Edit7->isEnabled() && f.form->Edit8->isEnabled());
}

QTEST_MAIN(tst_Link)
#include "tst_link.moc"
