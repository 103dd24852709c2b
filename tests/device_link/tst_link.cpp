// The link end to end: the real main window and serial component against the
// simulated instrument on a pseudo-terminal, asserted on the frames it received.
#include "control_panel/messages_box.h"
#include "control_panel/querying_dialog.h"
#include "control_panel/up_down.h"
#include "fake_ports.h"
#include "sim_program.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QToolButton>

#include <atomic>
#include <random>
#include <thread>

using namespace lqs;
using namespace std::chrono_literals;
using test::enter;
using test::frames;

namespace {
const QStringList& kStartup = test::kStartupQueries;
using Fixture = test::SimProgram;

using test::kQuickCycleLength;

QStringList wire(const sim::PtyEndpoint& s) {
    QStringList out;
    for (const std::string& f : s.wireFrames()) out << QString::fromStdString(f);
    return out;
}

QLabel* linkPanel(Fixture& f) {
    return f.form->findChild<QLabel*>(QStringLiteral("LinkPanel"));
}

// Links to an instrument whose outputs are on and waits until polling runs.
bool pollingStarted(Fixture& f) {
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    f.linkStart();
    return QTest::qWaitFor(
        [&] {
            return frames(f.sim).contains(QStringLiteral("VOUT1?")) &&
                   frames(f.sim).size() > kStartup.size() + 2;
        },
        15000);
}

int count(const Fixture& f, const char* frame) {
    return frames(f.sim).count(QLatin1String(frame));
}
}  // namespace

class tst_Link : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startupQueryFramesAndFields();
    void startupWithTrackAndOutputOn();
    void setPointsConfirmedWhileOn();
    void heldStepperPausesPolling();
    void outputOffAndOnAgain();
    void statusWithoutCarriageReturn();
    void queryNamedBeforeItsBytes();
    void linkAgainWhilePolling();
    void linkAgainAfterAnUnterminatedReading();
    void lineLostShownAtOnce();
    void portBackOffersTheLink();
    void adapterBackUnderAnotherNode();
    void timeoutEndsTheProgram();
    void garbledStatusAtStartup();
    void couplingAndSaveCommands();
    void paceOnTheWire();
};

void tst_Link::startupQueryFramesAndFields() {
    Fixture f;
    QVERIFY(f.form->comm1->IsOpen());
    QString labelAtClose;
    QObject::connect(f.form->windows().Querying, &TQuerying::dialogClosed, [&] {
        labelAtClose = test::named<QLabel>(f.form->windows().Querying, "Label2")->text();
    });
    f.linkStart();
    // An instrument with its outputs off gets OUT0 once after the link.
    QTRY_COMPARE(frames(f.sim), kStartup + QStringList{"OUT0"});
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("12.00"));
    QCOMPARE(test::field(f.form, "Edit7")->text(), QStringLiteral("5.00"));
    QCOMPARE(test::field(f.form, "Edit6")->text(), QStringLiteral("1.00"));
    QCOMPARE(test::field(f.form, "Edit8")->text(), QStringLiteral("0.50"));
    QCOMPARE(labelAtClose, QStringLiteral("Remaining 18 seconds!"));
    QVERIFY(!f.form->windows().Querying->isVisible());
    QVERIFY(f.form->frameEnabled());
    QVERIFY(test::onMain<QRadioButton>(f.form, "RadioButton1")->isChecked());
    QCOMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("OFF"));
    QTest::qWait(200);
    QCOMPARE(frames(f.sim).size(), kStartup.size() + 1);
    QVERIFY(f.boxes.seen.isEmpty());
    QCOMPARE(wire(f.sim).first(), QStringLiteral("*IDN?\r\n"));
    QCOMPARE(wire(f.sim).last(), QStringLiteral("OUT0\r\n"));
    QCOMPARE(test::wireFlags(f.sim), QString());
    QCOMPARE(
        linkPanel(f)->text(),
        QStringLiteral(
            "Linked: %1 \u2014 LQS-6200B V2.1; the instrument is an LQS-6200B: choose it under "
            "Interface > Series")
            .arg(f.form->comm1->CommName()));
    QVERIFY(f.form->linkedPicture());
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
    QVERIFY(test::onMain<QRadioButton>(f.form, "RadioButton3")->isChecked());
    QVERIFY(!test::field(f.form, "Edit7")->isEnabled());
    QVERIFY(test::field(f.form, "Edit8")->isEnabled());
    QCOMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("ON"));
    QCOMPARE(f.form->link->state().ParserMode, Parse::Polling);
}

// Two set points confirmed right after "VSET1?" went out, before its reply
// (the instrument's old value) arrives: both reach the instrument after the
// query, in the order confirmed, and the reply does not overwrite the field.
void tst_Link::setPointsConfirmedWhileOn() {
    std::atomic<bool> armed{false};  // outlives the simulator's thread
    Fixture f;
    LinkTimings t = f.timings;
    t.pollPasses = 150;  // the late reply comes well within the pause after its query
    f.form->linkClient()->setTimings(t);
    test::action(f.form, "LQS6200B1")->trigger();
    QStringList shownSince;
    bool typed = false;
    const auto type = [&] {
        enter(test::field(f.form, "Edit5"), QStringLiteral("7.5"));
        enter(test::field(f.form, "Edit6"), QStringLiteral(".8"));
        for (QLineEdit* e : {test::field(f.form, "Edit5"), test::field(f.form, "Edit6")}) {
            QObject::connect(e, &QLineEdit::textChanged, e,
                             [&](const QString& text) { shownSince << text; });
        }
        typed = true;
    };
    // Typed the moment the query is on the line, not when a poll of the transcript sees it.
    f.sim.setFrameObserver([&](const sim::Exchange& e) {
        if (e.command != "VSET1?" || !armed.exchange(false)) return;
        f.sim.injectFault(sim::Fault::late(75ms));
        QMetaObject::invokeMethod(f.form.get(), type, Qt::QueuedConnection);
    });
    QVERIFY(pollingStarted(f));
    armed = true;
    QTRY_VERIFY_WITH_TIMEOUT(typed, 15000);
    QTRY_VERIFY(frames(f.sim).contains(QStringLiteral("ISET1:0.8")));
    const QStringList all = frames(f.sim);
    QCOMPARE(all.mid(all.lastIndexOf(QStringLiteral("VSET1?")), 3),
             (QStringList{"VSET1?", "VSET1:7.5", "ISET1:0.8"}));
    QVERIFY(wire(f.sim).contains(QStringLiteral("VSET1:7.5\r\n")));
    QTRY_COMPARE(f.form->link->state().SetPointDeferred, std::uint8_t(0));
    const int asked = count(f, "VSET1?");
    QTRY_VERIFY_WITH_TIMEOUT(count(f, "ISET1?") > asked,
                             10000);  // both answered again since, in the next cycle
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("7.50"));
    QCOMPARE(test::field(f.form, "Edit6")->text(), QStringLiteral("0.80"));
    shownSince.removeAll(QStringLiteral("7.50"));
    shownSince.removeAll(QStringLiteral("0.80"));
    QCOMPARE(shownSince, QStringList());  // never the old values in between
    QVERIFY(f.sim.withInstrument(
        [](sim::Instrument& i) { return i.voltageSet(1) == 7.5 && i.currentSet(1) == 0.8; }));
    QCOMPARE(count(f, "VSET1:7.5") + count(f, "ISET1:0.8"), 2);
    QCOMPARE(test::wireFlags(f.sim), QString());
}

// Held with the mouse until the hold timer has ticked: from then on the cycle
// waits at its gate before each query, and the steps made meanwhile go out
// after the next query once released.
void tst_Link::heldStepperPausesPolling() {
    Fixture f;
    QCOMPARE(test::onMain<QTimer>(f.form, "tmr1")->interval(),
             1000);  // the window's hold ticks once a second
    test::onMain<QTimer>(f.form, "tmr1")->setInterval(100);  // the gate is the same at any tick
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(true); });
    f.linkStart();
    QTRY_VERIFY(frames(f.sim).size() > kStartup.size() + 3);
    QToolButton* up = test::onMain<TUpDown>(f.form, "UpDown3")->upButton();
    QTest::mousePress(up, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(f.form->link->state().HoldTicks > 0, 3000);
    const auto heldAt = std::chrono::steady_clock::now();
    const LinkTimings t = f.timings;
    // A query already past the gate and the step after it: two paces, and the line.
    const auto pastTheGate = std::chrono::milliseconds(2 * t.pollPasses * t.passMs + 100);
    // Nothing to wait for: unheld, the cycle would ask twice more in this time.
    QTest::qWait(int(pastTheGate.count()) + 4 * t.pollPasses * t.passMs);
    const int held = frames(f.sim).size();
    const auto times = f.sim.wireTimes();
    for (std::size_t i = 0; i < times.size(); ++i) {
        QVERIFY2(
            times[i] < heldAt + pastTheGate,
            qPrintable(QStringLiteral("%1 while held").arg(wire(f.sim).value(int(i)).trimmed())));
    }
    QTest::mouseRelease(up, Qt::LeftButton);
    QTRY_VERIFY(frames(f.sim).size() > held);
    // The steps made while held went out after the next query.
    QTRY_VERIFY(frames(f.sim).mid(held).filter(QStringLiteral("VSET2:")).size() == 1);
}

// Output off and on again at random moments of the first half of the cycle:
// the old cycle never sends beside the new one, and no thread is left.
void tst_Link::outputOffAndOnAgain() {
    Fixture f;
    QVERIFY(pollingStarted(f));
    const unsigned seed = std::random_device{}();
    qInfo("seed %u", seed);
    std::mt19937 rng(seed);
    for (int i = 0; i < 6; ++i) {
        QTest::qWait(int(rng() % (kQuickCycleLength.count() /
                                  2)));  // the random moment itself, not a wait for anything
        QTest::mouseClick(test::onMain<QPushButton>(f.form, "BitBtn4"), Qt::LeftButton);
        QTRY_COMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("OFF"));
        QTRY_VERIFY(test::field(f.form, "Edit1")->text().isEmpty());
        QTest::mouseClick(test::onMain<QPushButton>(f.form, "BitBtn4"), Qt::LeftButton);
        QTRY_COMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("ON"));
    }
    const int statuses = count(f, "STATUS?");
    QTRY_VERIFY_WITH_TIMEOUT(count(f, "STATUS?") >= statuses + 2, 10000);
    QCOMPARE(test::pollingViolation(f.sim, 2 * kQuickCycleLength, true), QString());
    QVERIFY(wire(f.sim).contains(QStringLiteral("OUT1\r\n")));
    QTest::mouseClick(test::onMain<QPushButton>(f.form, "BitBtn4"), Qt::LeftButton);
    QTRY_COMPARE(frames(f.sim).last(), QStringLiteral("OUT0"));
    const int sent = frames(f.sim).size();
    QTRY_VERIFY(!f.form->link->pollRunning());
    // Nothing to wait for: a cycle left running would ask within two of its paces.
    QTest::qWait(200);
    QCOMPARE(frames(f.sim).size(), sent);
    QCOMPARE(test::wireFlags(f.sim), QString());
}

// A status reply that does not end in CR still starts the next cycle.
void tst_Link::statusWithoutCarriageReturn() {
    Fixture f;
    QVERIFY(pollingStarted(f));
    f.sim.withInstrument([](sim::Instrument& i) { i.setTerminator("\n"); });
    const int statuses = count(f, "STATUS?");
    QTRY_VERIFY_WITH_TIMEOUT(count(f, "STATUS?") >= statuses + 2,
                             int(3 * kQuickCycleLength.count()));
    QCOMPARE(test::pollingViolation(f.sim, 2 * kQuickCycleLength, true), QString());
}

// The poll worker held up right after handing a query over, long past the
// reply's arrival: the reply still settles that query, no time-out follows,
// and it goes to that query's field and to no other.
void tst_Link::queryNamedBeforeItsBytes() {
    std::atomic<bool> holdUp{false};  // outlives the poll worker
    Fixture f;
    f.form->link->FrameHandedOver = [&holdUp](const QString& command) {
        if (holdUp && command.startsWith(QLatin1String("VOUT")))
            std::this_thread::sleep_for(200ms);  // descheduled
    };
    QVERIFY(pollingStarted(f));
    holdUp = true;
    f.sim.withInstrument(
        [](sim::Instrument& i) { i.setLoad(1, 5.0); });  // new readings from now on
    const int statuses = count(f, "STATUS?");
    QTRY_VERIFY_WITH_TIMEOUT(count(f, "STATUS?") >= statuses + 2, 10000);
    const auto shown = f.sim.withInstrument([](sim::Instrument& i) {
        return QStringList{QString::fromStdString(i.formatNumber(i.measuredVoltage(1))),
                           QString::fromStdString(i.formatNumber(i.measuredCurrent(1)))};
    });
    QCOMPARE(
        (QStringList{test::field(f.form, "Edit1")->text(), test::field(f.form, "Edit2")->text()}),
        shown);
    QVERIFY(!f.form->windows().Querying->isVisible());
    QVERIFY(!f.form->windows().Messages->isVisible());
    QCOMPARE(test::pollingViolation(f.sim, 2 * kQuickCycleLength, true), QString());
}

// The link button pressed again in the middle of a cycle: polling stops
// before the start-up query, whose ten queries go out alone.
void tst_Link::linkAgainWhilePolling() {
    Fixture f;
    QVERIFY(pollingStarted(f));
    QTRY_VERIFY_WITH_TIMEOUT(frames(f.sim).last() == QLatin1String("IOUT2?"), 10000);
    f.sim.withInstrument([](sim::Instrument& i) { i.setVoltageSet(1, 8.0); });
    f.linkStart();
    QTRY_VERIFY_WITH_TIMEOUT(count(f, "STATUS?") >= 2, 10000);
    const QStringList all = frames(f.sim);
    const int at = all.lastIndexOf(QStringLiteral("*IDN?"));
    QCOMPARE(all.mid(at, kStartup.size()), kStartup);
    QVERIFY(all.mid(0, at).endsWith(QStringLiteral("IOUT2?")) ||
            all.mid(0, at).endsWith(QStringLiteral("VSET1?")));
    QCOMPARE(test::field(f.form, "Edit5")->text(), QStringLiteral("8.00"));
    QCOMPARE(test::field(f.form, "Edit6")->text(), QStringLiteral("1.00"));
    QTRY_COMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("ON"));
    QCOMPARE(test::wireFlags(f.sim), QString());
}

// A reading whose CR never came is still open when the link button is
// pressed: it is settled as polling's, not taken for a start-up reply, so the
// start-up's progress is the same as ever.
void tst_Link::linkAgainAfterAnUnterminatedReading() {
    Fixture f;
    QVERIFY(pollingStarted(f));
    f.sim.withInstrument([](sim::Instrument& i) { i.setTerminator("\n"); });
    QTRY_VERIFY_WITH_TIMEOUT(frames(f.sim).last() == QLatin1String("VOUT2?"), 10000);
    // Its reply, without a CR, is on the line.
    const auto asked = f.sim.wireTimes().back();
    QTRY_VERIFY(f.sim.lastReplyEnd() > asked);
    QString labelAtClose;
    QObject::connect(f.form->windows().Querying, &TQuerying::dialogClosed, [&] {
        labelAtClose = test::named<QLabel>(f.form->windows().Querying, "Label2")->text();
    });
    f.linkStart();
    QTRY_VERIFY_WITH_TIMEOUT(!labelAtClose.isEmpty(), 10000);
    QCOMPARE(labelAtClose, QStringLiteral("Remaining 18 seconds!"));
}

// The far end gone: the link panel says so at once, the link button shows
// the unlinked picture, the port is closed and the window stays usable with
// nothing that sends offered; a hang-up is no missing reply, so no countdown
// ends the program.
void tst_Link::lineLostShownAtOnce() {
    Fixture f;
    QVERIFY(pollingStarted(f));
    const QString port = f.form->comm1->CommName();
    QVERIFY(linkPanel(f)->text().startsWith(QStringLiteral("Linked: ") + port));
    f.sim.hangUpNow();
    QTRY_COMPARE_WITH_TIMEOUT(linkPanel(f)->text(), QStringLiteral("Line lost: ") + port, 1000);
    QVERIFY(!f.form->linkedPicture());
    QTRY_VERIFY(!f.form->comm1->IsOpen());
    QVERIFY(!f.form->link->pollRunning());
    // The output may still be on: the button does not say OFF.
    QPushButton* output = test::onMain<QPushButton>(f.form, "BitBtn4");
    QCOMPARE(output->text(), QStringLiteral("?"));
    QVERIFY(output->toolTip().startsWith(QStringLiteral("The output's state is not known since ")));
    QCOMPARE(f.form->statusText(0), QStringLiteral("Please Config RS232 COM!"));
    QVERIFY(!test::action(f.form, "ToolButton1")->isEnabled());
    QVERIFY(f.form->frameEnabled() && !f.form->panelEnabled());
    // Nothing to wait for: a query sent before the hang-up, its pace and its
    // grace would have run out by now.
    const LinkTimings t = f.timings;
    QTest::qWait(2 * (t.pollPasses * t.passMs + t.replyGraceMs) + 100);
    QVERIFY(!f.form->windows().Querying->isVisible());
    QVERIFY(!f.form->windows().Messages->isVisible());
    QVERIFY(f.boxes.seen.isEmpty());
}

// The simulator ended and started again on the same link: the window offers
// the link, and linking reads the instrument as it is now, its output off,
// whatever it was before the hang-up.
void tst_Link::portBackOffersTheLink() {
    Fixture f;
    QVERIFY(pollingStarted(f));
    f.boxes.holdMs = 60000;  // the offer is answered here, not by the watcher
    const QString port = f.form->comm1->CommName();
    f.sim.hangUpNow();
    QTRY_VERIFY(!f.form->comm1->IsOpen());
    QVERIFY(QFile::remove(port));
    f.sim.stop();
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(false); });  // a fresh instrument's
    f.sim.start();
    f.sim.clearTranscript();
    QVERIFY(QFile::link(QString::fromStdString(f.sim.slavePath()), port));
    QMessageBox* offer = nullptr;
    QTRY_VERIFY((offer = f.form->findChild<QMessageBox*>(QStringLiteral("portBack"))) &&
                offer->isVisible());
    QCOMPARE(offer->text(), QStringLiteral("The instrument is back on %1. Link again?").arg(port));
    QCOMPARE(linkPanel(f)->text(), QStringLiteral("The instrument is back on %1.").arg(port));
    QTest::mouseClick(offer->button(QMessageBox::Yes), Qt::LeftButton);
    QTRY_COMPARE(frames(f.sim), kStartup + QStringList{"OUT0"});
    QVERIFY(f.form->comm1->IsOpen());
    QCOMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("OFF"));
    QVERIFY(linkPanel(f)->text().startsWith(QStringLiteral("Linked: ") + port));
    QVERIFY(!f.form->windows().Messages->isVisible());
    QCOMPARE(test::wireFlags(f.sim), QString());
}

// A USB adapter pulled out comes back under another node; before it, an
// adapter of the same make took the old node. Only the one with the linked
// adapter's serial number is offered.
void tst_Link::adapterBackUnderAnotherNode() {
    test::FakeTree tree;
    QVERIFY(tree.ok());
    const QStringList ftdi{QStringLiteral("idVendor=0403"), QStringLiteral("idProduct=6001"),
                           QStringLiteral("serial=A10K5XYZ")};
    Fixture f(sim::Model::B, test::kQuickDivisor, [&](const QString&, const std::string& device) {
        tree.addUsbTty(QStringLiteral("ttyUSB0"), ftdi, false, QString::fromStdString(device));
        return tree.sources;
    });
    QCOMPARE(f.form->comm1->CommName(), tree.sources.dev + QStringLiteral("/ttyUSB0"));
    QVERIFY(pollingStarted(f));
    f.boxes.holdMs = 60000;
    QVERIFY(tree.unplug(QStringLiteral("ttyUSB0")));
    f.sim.hangUpNow();
    QTRY_VERIFY(!f.form->comm1->IsOpen());
    f.sim.stop();
    f.sim.withInstrument([](sim::Instrument& i) { i.setOutput(false); });
    f.sim.start();
    f.sim.clearTranscript();
    QStringList other = ftdi;
    other.last() = QStringLiteral("serial=B77Q");
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB0"), other));
    QTest::qWait(800);  // past the second look after a change
    QVERIFY(!f.form->findChild<QMessageBox*>(QStringLiteral("portBack")));
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB1"), ftdi, false,
                           QString::fromStdString(f.sim.slavePath())));
    const QString port = tree.sources.dev + QStringLiteral("/ttyUSB1");
    QMessageBox* offer = nullptr;
    QTRY_VERIFY((offer = f.form->findChild<QMessageBox*>(QStringLiteral("portBack"))) &&
                offer->isVisible());
    QCOMPARE(offer->text(), QStringLiteral("The instrument is back on %1. Link again?").arg(port));
    QTest::mouseClick(offer->button(QMessageBox::Yes), Qt::LeftButton);
    QTRY_COMPARE(frames(f.sim), kStartup + QStringList{"OUT0"});
    QCOMPARE(f.form->comm1->CommName(), port);
    QCOMPARE(test::onMain<QPushButton>(f.form, "BitBtn4")->text(), QStringLiteral("OFF"));
}

void tst_Link::timeoutEndsTheProgram() {
    Fixture f;
    f.sim.setSilent(true);
    QSignalSpy closed(f.form.get(), &TForm1::closed);
    QVERIFY(closed.isValid());
    QStringList countdown;
    QLabel* label = test::named<QLabel>(f.form->windows().Querying, "Label2");
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
    QTest::mouseClick(test::named<QPushButton>(box, "Button1"), Qt::LeftButton);
    QCOMPARE(closed.count(), 1);
    QVERIFY(!f.form->comm1->IsOpen());
}

void tst_Link::garbledStatusAtStartup() {
    Fixture f;
    f.sim.injectFault(sim::Fault::garbleStatusCoupling());
    f.linkStart();
    QTRY_COMPARE(f.form->statusText(1), QStringLiteral("TRACK 出错重发!"));
    // The dialog has closed (nothing may be sent), so the status is not asked again.
    QTRY_COMPARE(frames(f.sim), kStartup + QStringList{"OUT0"});
    QTest::qWait(200);
    QCOMPARE(frames(f.sim), kStartup + QStringList{"OUT0"});
}

void tst_Link::couplingAndSaveCommands() {
    Fixture f;
    f.linkStart();
    QTRY_COMPARE(frames(f.sim).size(), kStartup.size() + 1);
    f.sim.clearTranscript();
    QTest::mouseClick(test::onMain<QRadioButton>(f.form, "RadioButton2"), Qt::LeftButton);
    QTRY_COMPARE(frames(f.sim), QStringList{"TRACK2"});
    QCOMPARE(f.form->link->state().CouplingCommand, QStringLiteral("TRACK2"));
    QVERIFY(!test::field(f.form, "Edit7")->isEnabled() &&
            !test::field(f.form, "Edit8")->isEnabled());
    QTest::mouseClick(test::onMain<QRadioButton>(f.form, "RadioButton2"),
                      Qt::LeftButton);  // already selected: nothing
    QTest::mouseClick(test::onMain<QRadioButton>(f.form, "RadioButton1"), Qt::LeftButton);
    QTRY_COMPARE(frames(f.sim), (QStringList{"TRACK2", "TRACK0"}));
    QVERIFY(test::field(f.form, "Edit7")->isEnabled() && test::field(f.form, "Edit8")->isEnabled());
}

// The frames keep their pace: never sooner than the pauses say, whatever
// runs them. Start-up queries one pace apart, poll queries two apart, the
// first query of a cycle after the cycle's start and one pace (a few ms
// either way are the line's, not the link's).
void tst_Link::paceOnTheWire() {
    Fixture f;
    const LinkTimings t = f.timings;
    QVERIFY(pollingStarted(f));
    const int statuses = count(f, "STATUS?");
    QTRY_VERIFY_WITH_TIMEOUT(count(f, "STATUS?") >= statuses + 2, 10000);
    const auto sent = f.sim.wireFrames();
    const auto times = f.sim.wireTimes();
    const auto gap = [&](std::size_t i) {
        return int(
            std::chrono::duration_cast<std::chrono::milliseconds>(times[i] - times[i - 1]).count());
    };
    const auto frame = [&](std::size_t i) { return QString::fromStdString(sent[i]).chopped(2); };
    const int startupPace = t.fullQueryPasses * t.passMs;
    const int pollPace = t.pollPasses * t.passMs;
    int checked = 0;
    for (std::size_t i = 1; i < sent.size(); ++i) {
        const QString now = frame(i);
        const QString before = frame(i - 1);
        int least = 0;
        if (i < std::size_t(kStartup.size())) {
            least = startupPace;
        } else if (before == QLatin1String("OUT1")) {
            least = t.pollStartMs + pollPace;
        } else if (before == QLatin1String("STATUS?") && now == QLatin1String("VOUT1?")) {
            least = t.pollStartMs + pollPace;  // counted from the status reply
        } else if (test::kPollQueries.contains(before) && test::kPollQueries.contains(now)) {
            least = 2 * pollPace;
        } else {
            continue;
        }
        ++checked;
        QVERIFY2(gap(i) >= least - 5, qPrintable(QStringLiteral("%1 after %2: %3 ms, at least %4")
                                                     .arg(now, before)
                                                     .arg(gap(i))
                                                     .arg(least)));
        QVERIFY2(gap(i) < 2 * least + 100, qPrintable(QStringLiteral("%1 after %2: %3 ms, pace %4")
                                                          .arg(now, before)
                                                          .arg(gap(i))
                                                          .arg(least)));
    }
    QVERIFY(checked > 25);
}

QTEST_MAIN(tst_Link)
#include "tst_link.moc"
