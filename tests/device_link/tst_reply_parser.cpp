#include "comm.h"
#include "device_link.h"
#include "fake_link_view.h"
#include "link_state.h"
#include "modal_watcher.h"
#include "querying_dialog.h"

#include <QLabel>
#include <QProgressBar>
#include <QtTest>

#include <algorithm>

using namespace lqs;

namespace {

// A link whose port is closed: the parser's sends are refused and counted.
struct Fixture {
    test::FakeLinkView view;
    TComm comm;
    TQuerying querying;
    DeviceLink link{&comm, &view};
    int refused = 0;

    Fixture() {
        linkState().resetForTests();
        link.attachDialogs(&querying, nullptr);
        link.setTimings(LinkTimings().scaled(100));
        link.ShowSendFailed = [this] { ++refused; };
    }
    void receive(const QByteArray& block) { link.comm1ReceiveData(block.constData(), std::uint16_t(block.size())); }
    void reply(const QByteArray& text) { receive(text + "\n\r"); }
};

}  // namespace

class tst_ReplyParser : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startupFillsSetPoints();
    void startupStatus_data();
    void startupStatus();
    void startupNonNumberAdvancesProgress();
    void garbledCouplingAsksAgain();
    void outputDigitNotADigit_data();
    void outputDigitNotADigit();
    void pollingByLastQuery_data();
    void pollingByLastQuery();
    void recallSequence();
    void recallOverflowIgnores();
    void blockEndingInLineFeed();
    void longBlockStaysInBuffer();
    void shortBlocks();
    void splitStatusStartsOneCycle();
    void sendFailedBoxOneAtATime();
    void oneCountdownForBothThreads();
};

void tst_ReplyParser::startupFillsSetPoints() {
    Fixture f;
    f.link.ShowQuerying();
    linkState().ProgressMode = Progress::PerReply;
    for (const char* r : {"LQS-6200B V2.1", "12.50", "5.00", "1.00", "0.50"}) f.reply(r);
    QCOMPARE(f.view.fields[5], QStringLiteral("12.50"));
    QCOMPARE(f.view.fields[7], QStringLiteral("5.00"));
    QCOMPARE(f.view.fields[6], QStringLiteral("1.00"));
    QCOMPARE(f.view.fields[8], QStringLiteral("0.50"));
    QCOMPARE(f.querying.ProgressBar1->value(), 0);  // numbers do not move the bar
    for (const char* r : {"0.00", "0.00", "0.00", "0.00"}) f.reply(r);
    QCOMPARE(f.querying.ProgressBar1->value(), 40);
    QCOMPARE(f.view.fields[1], QString());  // measured values are not shown at start-up
    QString labelAtClose;
    QObject::connect(&f.querying, &TQuerying::dialogClosed, [&] { labelAtClose = f.querying.Label2->text(); });
    f.reply("1101001000000");
    QCOMPARE(labelAtClose, QStringLiteral("Remaining 18 seconds!"));
    QCOMPARE(f.querying.ProgressBar1->value(), 0);
    QVERIFY(!f.querying.isVisible());
    QCOMPARE(linkState().PendingOperation.load(), Op::None);
    QVERIFY(f.view.frameEnabled);
}

void tst_ReplyParser::startupStatus_data() {
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QList<int>>("selections");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("outputOn");
    QTest::newRow("indep, off") << QByteArray("1101001000000") << QList<int>{1} << "OFF" << 0;
    QTest::newRow("parallel, off") << QByteArray("1101100000000") << QList<int>{2} << "OFF" << 0;
    QTest::newRow("track, on") << QByteArray("1101101000001") << QList<int>{3} << "ON" << 1;
    QTest::newRow("unknown coupling 00, on") << QByteArray("1101000000001") << QList<int>{} << "ON" << 1;
    QTest::newRow("output digit 7 does nothing") << QByteArray("1101001000007") << QList<int>{1} << "OFF" << 0;
}

void tst_ReplyParser::startupStatus() {
    QFETCH(QByteArray, status);
    QFETCH(QList<int>, selections);
    QFETCH(QString, caption);
    QFETCH(int, outputOn);
    Fixture f;
    linkState().ReplyCounter = 9;
    f.reply(status);
    QCOMPARE(f.view.couplingSelections, selections);
    QCOMPARE(f.view.outputCaption, caption);
    QCOMPARE(int(linkState().OutputOn), outputOn);
    QCOMPARE(linkState().AwaitingReply.load(), std::uint8_t(0));
    if (outputOn) {
        QCOMPARE(linkState().ParserMode.load(), Parse::Polling);
        QCOMPARE(linkState().PendingOperation.load(), Op::Polling);
        QCOMPARE(f.link.pollThreadsRunning(), 1);
    }
}

void tst_ReplyParser::startupNonNumberAdvancesProgress() {
    Fixture f;
    linkState().ProgressMode = Progress::PerReply;
    f.view.fields[5] = QStringLiteral("0.000");
    f.reply("*IDN");
    f.reply("1x.5z");
    QCOMPARE(f.view.fields[5], QStringLiteral("0.000"));
    QCOMPARE(f.querying.ProgressBar1->value(), 10);
    QCOMPARE(f.querying.Label2->text(), QStringLiteral("Remaining 54 seconds!"));
}

// At start-up the querying dialog has just closed, so the repeated status
// query does not go out.
void tst_ReplyParser::garbledCouplingAsksAgain() {
    Fixture f;
    linkState().ReplyCounter = 9;
    f.reply("1101x0y000007");  // an output digit that changes nothing
    QCOMPARE(f.view.panels[1], QStringLiteral("TRACK 出错重发!"));
    QCOMPARE(linkState().ReplyCounter.load(), std::uint8_t(8));
    QVERIFY(f.view.couplingSelections.isEmpty());
    QCOMPARE(f.refused, 0);
}

void tst_ReplyParser::outputDigitNotADigit_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("panel2");
    QTest::addColumn<int>("awaiting");
    // At start-up the status reply itself clears the flag before the digit is read.
    QTest::newRow("start-up") << int(Parse::Startup) << QString() << 0;
    QTest::newRow("recall") << int(Parse::Recall) << "输出 出错" << 1;
}

void tst_ReplyParser::outputDigitNotADigit() {
    QFETCH(int, mode);
    QFETCH(QString, panel2);
    QFETCH(int, awaiting);
    Fixture f;
    linkState().ParserMode = std::uint8_t(mode);
    linkState().ReplyCounter = mode == Parse::Startup ? 9 : 8;
    linkState().AwaitingReply = 1;
    test::ModalWatcher boxes;
    f.reply("110100100000z");
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen[0].text, QStringLiteral("'z' is not a valid integer value."));
    QCOMPARE(f.view.panels[2], panel2);
    QCOMPARE(f.view.outputCaption, QStringLiteral("OFF"));
    QCOMPARE(int(linkState().AwaitingReply), awaiting);  // the block's handling ended at the error
}

void tst_ReplyParser::pollingByLastQuery_data() {
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("field");
    QTest::newRow("VOUT1") << "VOUT1?" << 1;
    QTest::newRow("IOUT1") << "IOUT1?" << 2;
    QTest::newRow("VOUT2") << "VOUT2?" << 3;
    QTest::newRow("IOUT2") << "IOUT2?" << 4;
    QTest::newRow("VSET1") << "VSET1?" << 5;
    QTest::newRow("ISET1") << "ISET1?" << 6;
    QTest::newRow("VSET2") << "VSET2?" << 7;
    QTest::newRow("ISET2") << "ISET2?" << 8;
}

void tst_ReplyParser::pollingByLastQuery() {
    QFETCH(QString, query);
    QFETCH(int, field);
    Fixture f;
    linkState().ParserMode = Parse::Polling;
    linkState().PendingOperation = Op::Polling;
    linkState().setLastQuery(query);
    f.reply("12.345");
    for (int i = 1; i <= 8; ++i) QCOMPARE(f.view.fields[std::size_t(i)], i == field ? QStringLiteral("12.345") : QString());
    f.reply("garbage");
    QCOMPARE(f.view.fields[std::size_t(field)], QStringLiteral("12.345"));
    linkState().PendingOperation = Op::None;
    f.reply("1.000");
    QCOMPARE(f.view.fields[std::size_t(field)], QStringLiteral("12.345"));
}

void tst_ReplyParser::recallSequence() {
    Fixture f;
    linkState().ParserMode = Parse::Recall;
    linkState().ProgressMode = Progress::PerReply;
    linkState().ReplyCounter = 0;
    const char* replies[] = {"10.00", "6.00", "1.00", "0.50", "9.99", "0.99", "5.98", "0.29"};
    for (const char* r : replies) f.reply(r);
    QCOMPARE(f.view.fields[5], QStringLiteral("10.00"));
    QCOMPARE(f.view.fields[7], QStringLiteral("6.00"));
    QCOMPARE(f.view.fields[6], QStringLiteral("1.00"));
    QCOMPARE(f.view.fields[8], QStringLiteral("0.50"));
    QCOMPARE(f.view.fields[1], QStringLiteral("9.99"));
    QCOMPARE(f.view.fields[4], QStringLiteral("0.29"));
    QCOMPARE(f.querying.ProgressBar1->value(), 80);
    linkState().OutputOn = 1;
    f.reply("1101100000000");  // parallel, output off: the program follows
    QCOMPARE(f.view.couplingSelections, QList<int>{2});
    QCOMPARE(f.querying.ProgressBar1->value(), 90);
    QCOMPARE(f.view.outputCaption, QStringLiteral("OFF"));
    QCOMPARE(linkState().OutputOn.load(), std::uint8_t(0));
    QCOMPARE(linkState().ParserMode.load(), Parse::Ignore);
}

void tst_ReplyParser::recallOverflowIgnores() {
    Fixture f;
    linkState().ParserMode = Parse::Recall;
    linkState().ReplyCounter = 9;
    f.reply("1.00");
    QCOMPARE(linkState().ParserMode.load(), Parse::Ignore);
    f.reply("2.00");
    QCOMPARE(f.view.fields[1], QString());
}

void tst_ReplyParser::blockEndingInLineFeed() {
    Fixture f;
    linkState().ReplyCounter = 1;
    f.receive("12.34\r\n");
    QCOMPARE(linkState().ReplyCounter.load(), std::uint8_t(1));
    QCOMPARE(f.view.fields[5], QString());  // count 1 is the identification: nothing shown
    f.receive("12.34\n\r");
    QCOMPARE(f.view.fields[5], QStringLiteral("12.34"));
}

void tst_ReplyParser::longBlockStaysInBuffer() {
    Fixture f;
    linkState().ParserMode = Parse::Polling;
    linkState().PendingOperation = Op::Polling;
    linkState().setLastQuery(QStringLiteral("VOUT1?"));
    QByteArray block(298, '7');
    block += "\n\r";
    f.receive(block);
    QCOMPARE(linkState().ReceiveLength, std::uint16_t(300));
    QCOMPARE(linkState().ReplyText.size(), 256);  // only what was stored, never past it
    QCOMPARE(linkState().ReplyCounter.load(), std::uint8_t(1));
}

void tst_ReplyParser::shortBlocks() {
    Fixture f;
    for (const QByteArray& b : {QByteArray("\r"), QByteArray("\n\r"), QByteArray("x")}) f.receive(b);
    QCOMPARE(linkState().ReplyText, QString());
    // A status reply cut short reads no bytes from an earlier, longer block.
    linkState().ReplyCounter = 9;
    test::ModalWatcher boxes;
    f.reply("11");
    QCOMPARE(f.view.panels[1], QStringLiteral("TRACK 出错重发!"));
    QCOMPARE(boxes.seen.size(), 1);
    QCOMPARE(boxes.seen[0].text, QStringLiteral("'' is not a valid integer value."));
}

// A status reply cut in two by a pause on the line: its first block starts
// the next cycle, whether or not it ends in CR, and the rest starts nothing.
void tst_ReplyParser::splitStatusStartsOneCycle() {
    Fixture f;
    linkState().ParserMode = Parse::Polling;
    linkState().PendingOperation = Op::Polling;
    linkState().PollingEnabled = 1;
    linkState().HoldTicks = 1;  // the started cycle waits at its gate
    linkState().setLastQuery(QStringLiteral("STATUS?"));
    f.receive("1101001");
    QCOMPARE(f.link.pollThreadsRunning(), 1);
    f.receive("000001\n\r");
    QCOMPARE(f.link.pollThreadsRunning(), 1);
    linkState().PollingEnabled = 0;
    linkState().HoldTicks = 0;
    QTRY_COMPARE(f.link.pollThreadsRunning(), 0);
}

// Once the send thread has ended every byte is refused: while one
// "发送失败 !" box is open no second one opens inside it.
void tst_ReplyParser::sendFailedBoxOneAtATime() {
    Fixture f;
    int open = 0;
    int deepest = 0;
    int shown = 0;
    f.link.ShowSendFailed = [&] {
        ++shown;
        deepest = std::max(deepest, ++open);
        QTest::qWait(30);  // the box waits for the operator; posted work runs meanwhile
        --open;
    };
    LinkState& s = linkState();
    s.OutputOn = 1;
    s.PollingEnabled = 1;
    s.PendingOperation = Op::Polling;
    f.link.OperationDispatcher();
    s.PendingOperation = Op::StepVset1;  // a set point was stepped: no query waits for its reply
    QTRY_COMPARE(f.link.pollThreadsRunning(), 0);
    QTest::qWait(100);
    QCOMPARE(deepest, 1);
    QVERIFY(shown >= 1);
}

// The reply missing for the user-interface thread and the poll thread alike:
// one countdown, not one nested in the other.
void tst_ReplyParser::oneCountdownForBothThreads() {
    Fixture f;
    LinkTimings t = LinkTimings().scaled(100);
    t.countdownStepMs = 10;
    f.link.setTimings(t);
    LinkState& s = linkState();
    bool sent = false;
    // The cycle's first query was refused and is awaited: its second query
    // will miss the reply too while this thread's own command misses it.
    f.link.ShowSendFailed = [&] {
        if (sent) return;
        sent = true;
        f.link.SendCommand(QStringLiteral("OUT0"));  // the countdown runs in here
    };
    s.OutputOn = 1;
    s.PollingEnabled = 1;
    s.PendingOperation = Op::Polling;
    f.link.OperationDispatcher();
    QTRY_VERIFY(sent);
    s.PollingEnabled = 0;
    QTRY_COMPARE(f.link.pollThreadsRunning(), 0);
    QTest::qWait(100);
    QCOMPARE(f.view.frameDisables, 2);  // the querying dialog, then the time-out box
}

QTEST_MAIN(tst_ReplyParser)
#include "tst_reply_parser.moc"
