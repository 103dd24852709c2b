// The guard as the operator meets it: limits armed in the Protection
// dialog, a trip shown in the main window and held until cleared, the
// counters beside each channel, and the guard said to be down when the line
// goes. The whole program runs on the driven clock against the simulator.
#include "clocked_link.h"
#include "control_panel/protection_dialog.h"
#include "control_panel/remote_control.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFrame>
#include <QLabel>
#include <QtTest>

using namespace lqs;
using namespace std::chrono_literals;
using test::ClockedProgram;

namespace {

TFormProtection* openProtection(ClockedProgram& p) {
    test::action(p.form, "Protection1")->trigger();
    auto* d = p.form->findChild<TFormProtection*>();
    return d && d->isVisible() ? d : nullptr;
}

// As typed: every limit's controls are named by limit and channel.
void arm(TFormProtection* d, const char* limit, const QString& level, bool on = true) {
    auto* box = test::named<QCheckBox>(d, qPrintable(QStringLiteral("Armed%1").arg(limit)));
    if (box->isChecked() != on) QTest::mouseClick(box, Qt::LeftButton);
    if (level.isEmpty()) return;
    auto* spin = test::named<QDoubleSpinBox>(d, qPrintable(QStringLiteral("Level%1").arg(limit)));
    spin->setFocus();
    QTest::keyClick(spin, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(spin, level);
}

void press(TFormProtection* d, QDialogButtonBox::StandardButton which) {
    QTest::mouseClick(test::named<QDialogButtonBox>(d, "Buttons")->button(which), Qt::LeftButton);
}

QString banner(ClockedProgram& p) {
    return test::onMain<QLabel>(p.form, "GuardBannerText")->text();
}
bool bannerShown(ClockedProgram& p) {
    return test::onMain<QFrame>(p.form, "GuardBanner")->isVisible();
}
QString linkPanel(ClockedProgram& p) {
    return test::named<QLabel>(p.form.get(), "LinkPanel")->text();
}

}  // namespace

class tst_Protection : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void tripLatchesUntilCleared();
    void levelBeyondTheModelIsRefused_data();
    void levelBeyondTheModelIsRefused();
    void guardKeepsReadingsFast();
    void countersShowAndReset();
    void guardDownWhenTheLineGoes_data();
    void guardDownWhenTheLineGoes();
};

// Over-current armed at 0.5 A, the load stepped from 40 to 10 ohms: the
// output goes off, the banner says why, and neither the button nor the menu
// switches it on again until the trip is cleared.
void tst_Protection::tripLatchesUntilCleared() {
    ClockedProgram p;
    QList<int> beeps;
    p.form->Beep = [&](int hz, int) { beeps << hz; };
    p.line->instrument().setLoad(1, 40.0);
    p.line->setEndAtCarriageReturn(true);  // as comm1 cuts blocks on the fast schedule
    QVERIFY(p.linked());
    TFormProtection* d = openProtection(p);
    QVERIFY(d);
    QVERIFY(test::named<QLabel>(d, "TopLabel")->text().contains(QStringLiteral("no watchdog")));
    arm(d, "OverCurrent1", QStringLiteral("0.5"));
    QTest::mouseClick(test::named<QCheckBox>(d, "BeepOnTrip"), Qt::LeftButton);
    press(d, QDialogButtonBox::Ok);
    QVERIFY(!d->isVisible());
    QCOMPARE(p.client().guardSetting(1, GuardLimit::OverCurrent).level, 0.5);

    QVERIFY(p.outputOn());
    p.advance(2s);
    QVERIFY(!bannerShown(p));
    beeps.clear();
    p.line->instrument().setLoad(1, 10.0);
    QVERIFY(p.advanceUntil([&] { return bannerShown(p) && p.client().idle(); }, 10s));
    QVERIFY(!p.line->instrument().output());
    QVERIFY2(banner(p).startsWith(QStringLiteral("Output switched off at ")),
             qPrintable(banner(p)));
    QVERIFY2(banner(p).contains(QStringLiteral(
                 ": channel 1 over-current, 1.000 A read, limit 0.500 A. Output off confirmed.")),
             qPrintable(banner(p)));
    QVERIFY(linkPanel(p).contains(QStringLiteral("channel 1 over-current")));
    QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));
    QCOMPARE(beeps.size(), 1);

    // Latched: the button and the menu item send nothing and say why.
    const qsizetype ons = p.frames().count(QStringLiteral("OUT1"));
    QTest::mouseClick(p.outputButton(), Qt::LeftButton);
    QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));  // not ON for a moment either
    test::action(p.form, "OutPut1")->trigger();
    p.advance(3s);
    QCOMPARE(p.frames().count(QStringLiteral("OUT1")), ons);
    QCOMPARE(p.outputButton()->text(), QStringLiteral("OFF"));
    QVERIFY2(banner(p).endsWith(QStringLiteral("The output stays off until the trip is cleared.")),
             qPrintable(banner(p)));

    QTest::mouseClick(test::onMain<QPushButton>(p.form, "GuardBannerClear"), Qt::LeftButton);
    QVERIFY(p.advanceUntil([&] { return !p.client().trip(); }));
    QVERIFY(!bannerShown(p));
    QVERIFY(!linkPanel(p).contains(QStringLiteral("over-current")));
    p.line->instrument().setLoad(1, 40.0);
    QVERIFY(p.outputOn());
    p.advance(2s);
    QVERIFY(p.line->instrument().output());
}

void tst_Protection::levelBeyondTheModelIsRefused_data() {
    QTest::addColumn<QString>("series");  // the model chosen under Interface > Series
    QTest::addColumn<QString>("limit");   // its controls' names
    QTest::addColumn<GuardLimit>("which");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("fixed");  // a level the model reaches
    const auto row = [](const char* name, const char* series, const char* limit, GuardLimit which,
                        const char* level, const char* said, const char* fixed) {
        QTest::newRow(name) << QString::fromLatin1(series) << QString::fromLatin1(limit) << which
                            << QString::fromLatin1(level) << QString::fromLatin1(said)
                            << QString::fromLatin1(fixed);
    };
    row("over-current", "LQS6200A1", "OverCurrent1", GuardLimit::OverCurrent, "3.3",
        "Channel 1 over-current is not set: The over-current level can be at most 3.2 A", "3");
    row("over-current 6500B", "LQS6500B1", "OverCurrent1", GuardLimit::OverCurrent, "5.5",
        "Channel 1 over-current is not set: The over-current level can be at most 5.1 A", "5");
    row("over-voltage ch 2", "LQS6200B1", "OverVoltage2", GuardLimit::OverVoltage, "33",
        "Channel 2 over-voltage is not set: The over-voltage level can be at most 32 V", "30");
    row("over-power", "LQS6200A1", "OverPower1", GuardLimit::OverPower, "110",
        "Channel 1 over-power is not set: The over-power level can be at most 102.4 W", "100");
    row("armed at zero", "LQS6200A1", "UnderVoltage1", GuardLimit::UnderVoltage, "",
        "Channel 1 under-voltage is not set: The under-voltage level must be above 0 V", "5");
}

// Nothing of a refused limit reaches the link, the dialog stays open saying
// which, and the reading pace stays the operator's; mended, the level goes.
void tst_Protection::levelBeyondTheModelIsRefused() {
    QFETCH(QString, series);
    QFETCH(QString, limit);
    QFETCH(GuardLimit, which);
    QFETCH(QString, level);
    QFETCH(QString, said);
    QFETCH(QString, fixed);
    ClockedProgram p;
    test::action(p.form, qPrintable(series))->trigger();
    TFormProtection* d = openProtection(p);
    QVERIFY(d);
    if (limit.endsWith(QLatin1Char('2')))
        test::named<QTabWidget>(d, "Channels")->setCurrentIndex(1);
    arm(d, qPrintable(limit), level);
    press(d, QDialogButtonBox::Ok);
    QVERIFY(d->isVisible());
    auto* refusal = test::named<QLabel>(d, "Refusal");
    QVERIFY(refusal->isVisible());
    QVERIFY2(refusal->text().startsWith(said), qPrintable(refusal->text()));
    QVERIFY(!p.client().guardArmed());
    QVERIFY(!p.form->comm1->EndBlockAtCarriageReturn());
    // Mended, it goes.
    arm(d, qPrintable(limit), fixed);
    press(d, QDialogButtonBox::Ok);
    QVERIFY(!d->isVisible());
    const int channel = limit.endsWith(QLatin1Char('2')) ? 2 : 1;
    const GuardSetting& set = p.client().guardSetting(channel, which);
    QVERIFY(set.armed);
    QCOMPARE(set.level, fixed.toDouble());
    QVERIFY(p.form->comm1->EndBlockAtCarriageReturn());
}

// Armed without Fast Readings ticked, the link reads fast and the port cuts
// its blocks at CR, as the tick would have it; disarmed, the operator's choice
// is back. A script's setting shows when the dialog opens.
void tst_Protection::guardKeepsReadingsFast() {
    ClockedProgram p;
    p.line->setEndAtCarriageReturn(true);
    QVERIFY(p.linked());
    QVERIFY(!p.form->comm1->EndBlockAtCarriageReturn());
    QVERIFY(p.form->remote()
                ->setProtection(1, RemoteInstrument::Protection::OverVoltage, {true, 25.0, 1.5})
                .isEmpty());
    TFormProtection* d = openProtection(p);
    QVERIFY(d);
    auto* armed = test::named<QCheckBox>(d, "ArmedOverVoltage1");
    QVERIFY(armed->isChecked());
    QVERIFY(armed->toolTip().contains(QStringLiteral("the instrument has no watchdog")));
    QCOMPARE(test::named<QDoubleSpinBox>(d, "LevelOverVoltage1")->value(), 25.0);
    QCOMPARE(test::named<QDoubleSpinBox>(d, "DelayOverVoltage1")->value(), 1.5);
    press(d, QDialogButtonBox::Ok);
    QVERIFY(p.form->comm1->EndBlockAtCarriageReturn());
    QVERIFY(p.outputOn());
    p.advance(2s);
    QCOMPARE(p.client().mode(), LinkMode::FastReadings);
    QVERIFY2(linkPanel(p).contains(QStringLiteral("Fast readings while the guard is armed")),
             qPrintable(linkPanel(p)));

    d = openProtection(p);
    arm(d, "OverVoltage1", QString(), false);
    press(d, QDialogButtonBox::Apply);
    QVERIFY(!p.form->comm1->EndBlockAtCarriageReturn());
    press(d, QDialogButtonBox::Cancel);
    QVERIFY(p.advanceUntil([&] { return p.client().mode() == LinkMode::Polling; }, 20s));
    QVERIFY(!linkPanel(p).contains(QStringLiteral("guard")));
    // Only what changed was sent: the disarm kept the script's level and delay.
    QCOMPARE(p.client().guardSetting(1, GuardLimit::OverVoltage).level, 25.0);
    QCOMPARE(p.client().guardSetting(1, GuardLimit::OverVoltage).delay, 1500ms);
}

void tst_Protection::countersShowAndReset() {
    ClockedProgram p;
    test::action(p.form, "FastReadings1")->setChecked(true);
    p.line->setEndAtCarriageReturn(true);
    QVERIFY(p.linked());
    QVERIFY(p.outputOn());
    p.advance(30s);
    auto* counters1 = test::onMain<QLabel>(p.form, "Counters1");
    auto* counters2 = test::onMain<QLabel>(p.form, "Counters2");
    const ChannelCounters c1 = p.client().counters(1);
    QVERIFY(c1.ampHours > 0);
    QCOMPARE(
        counters1->text(),
        QStringLiteral("%1 Ah  %2 Wh").arg(c1.ampHours, 0, 'f', 4).arg(c1.wattHours, 0, 'f', 4));
    QVERIFY(counters2->text() != QStringLiteral("0.0000 Ah  0.0000 Wh"));
    QTest::mouseClick(test::onMain<QPushButton>(p.form, "ResetCounters1"), Qt::LeftButton);
    p.advance(1ms);
    QCOMPARE(p.client().counters(1).ampHours, 0.0);
    QVERIFY(p.client().counters(2).ampHours > 0);
    QVERIFY(counters1->text().startsWith(QStringLiteral("0.0000 Ah")));
    QVERIFY(!counters2->text().startsWith(QStringLiteral("0.0000 Ah")));
    // Counting again from zero.
    p.advance(20s);
    QVERIFY(!counters1->text().startsWith(QStringLiteral("0.0000 Ah")));
}

void tst_Protection::guardDownWhenTheLineGoes_data() {
    QTest::addColumn<bool>("armed");
    QTest::newRow("armed") << true;
    QTest::newRow("nothing armed") << false;
}

void tst_Protection::guardDownWhenTheLineGoes() {
    QFETCH(bool, armed);
    ClockedProgram p;
    p.line->setEndAtCarriageReturn(true);
    QVERIFY(p.linked());
    if (armed) {
        TFormProtection* d = openProtection(p);
        QVERIFY(d);
        arm(d, "OverVoltage1", QStringLiteral("20"));
        press(d, QDialogButtonBox::Ok);
    }
    QVERIFY(p.outputOn());
    p.advance(2s);
    p.line->hangUpNow();
    p.advance(2s);
    QCOMPARE(p.client().mode(), LinkMode::LineLost);
    const QString down = QStringLiteral(
        "The guard is down: the line to the instrument is lost, and nothing will switch the "
        "output off.");
    QCOMPARE(bannerShown(p), armed);
    if (!armed) {
        QVERIFY(!linkPanel(p).contains(QStringLiteral("guard")));
        return;
    }
    QCOMPARE(banner(p), down);
    QVERIFY(!test::onMain<QPushButton>(p.form, "GuardBannerClear")->isVisible());
    QVERIFY2(linkPanel(p).contains(down), qPrintable(linkPanel(p)));
}

QTEST_MAIN(tst_Protection)
#include "tst_protection.moc"
