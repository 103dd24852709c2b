#include <sys/ioctl.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "pty_endpoint.h"
#include "pty_port.h"

using namespace std::chrono_literals;
using lqs::sim::Fault;
using lqs::sim::Instrument;
using lqs::sim::PtyEndpoint;
using lqs::sim::test::Clock;
using lqs::sim::test::PtyPort;
using lqs::sim::test::readLink;

class TestPtyEndpoint : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void queriesTranscriptAndReopen();
    void lateReplyKeepsOrder();
    void splitReplyHasGap();
    void silence();
    void garbles_data();
    void garbles();
    void hangup();
    void stopIsPrompt_data();
    void stopIsPrompt();
    void linkFollowsLifetime();
    void exclusiveEndsWhenClientLeaves();
    void strictWire_data();
    void strictWire();

private:
    std::unique_ptr<PtyEndpoint> ep_;
    std::unique_ptr<PtyPort> port_;
};

void TestPtyEndpoint::init() {
    ep_ = std::make_unique<PtyEndpoint>();
    ep_->start();
    port_ = std::make_unique<PtyPort>(ep_->slavePath());
    QVERIFY(port_->fd() >= 0);
}

void TestPtyEndpoint::cleanup() {
    port_.reset();
    ep_.reset();
}

void TestPtyEndpoint::queriesTranscriptAndReopen() {
    QVERIFY(!ep_->waitForFrames(1, 20ms));
    QVERIFY(port_->send("*IDN?"));
    QCOMPARE(port_->reply(16), QByteArray("LQS-6200B V2.1\n\r"));
    QVERIFY(port_->send("VSET1:7.25"));
    QVERIFY(port_->send("VSET1?"));
    QCOMPARE(port_->reply(6), QByteArray("7.25\n\r"));
    QVERIFY(port_->quiet(150ms));  // raw line: nothing echoed, nothing extra

    QVERIFY(ep_->waitForFrames(3, 2s));
    QByteArrayList frames;
    for (const std::string& f : ep_->transcript()) frames << QByteArray::fromStdString(f);
    QCOMPARE(frames, (QByteArrayList{"*IDN?", "VSET1:7.25", "VSET1?"}));
    QCOMPARE(QByteArray::fromStdString(ep_->rawBytes()),
             QByteArray("*IDN?\r\nVSET1:7.25\r\nVSET1?\r\n"));
    QCOMPARE(ep_->withInstrument([](Instrument& in) { return in.voltageSet(1); }), 7.25);
    QCOMPARE(ep_->repliesSent(), std::size_t(2));

    // The program closes and reopens the port; the line must survive that.
    port_ = std::make_unique<PtyPort>(ep_->slavePath());
    QVERIFY(port_->send("VSET1?"));
    QCOMPARE(port_->reply(6), QByteArray("7.25\n\r"));
    QVERIFY(!ep_->hungUp());
}

void TestPtyEndpoint::lateReplyKeepsOrder() {
    ep_->injectFault(Fault::late(300ms));
    const auto sent = Clock::now();
    QVERIFY(port_->send("VSET1?"));
    QVERIFY(port_->send("ISET1?"));
    const auto got = port_->read(13);
    QCOMPARE(got.bytes, QByteArray("12.00\n\r1.00\n\r"));
    QVERIFY(got.at.front() - sent >= 300ms);
}

void TestPtyEndpoint::splitReplyHasGap() {
    ep_->injectFault(Fault::split(300ms));
    QVERIFY(port_->send("STATUS?"));
    const auto got = port_->read(15);
    QCOMPARE(got.bytes, QByteArray("1110001000000\n\r"));
    // Well over the program's 100 ms block gap, so it sees two blocks.
    QVERIFY(got.at[7] - got.at[6] >= 200ms);
    QVERIFY(port_->send("VSET2?"));
    QCOMPARE(port_->reply(6), QByteArray("5.00\n\r"));
}

void TestPtyEndpoint::silence() {
    ep_->injectFault(Fault::silence());
    QVERIFY(port_->send("*IDN?"));
    QVERIFY(port_->quiet(300ms));
    QVERIFY(port_->send("VSET1?"));
    QCOMPARE(port_->reply(7), QByteArray("12.00\n\r"));

    // Sticky: nothing answered, but commands still act.
    ep_->setSilent(true);
    QVERIFY(port_->send("VSET1:3"));
    QVERIFY(port_->send("VSET1?"));
    QVERIFY(port_->quiet(300ms));
    QVERIFY(ep_->waitForFrames(4, 2s));
    ep_->setSilent(false);
    QVERIFY(port_->send("VSET1?"));
    QCOMPARE(port_->reply(6), QByteArray("3.00\n\r"));
}

void TestPtyEndpoint::garbles_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("firstQuery");  // not the garble's kind: answered intact
    QTest::addColumn<QByteArray>("firstReply");
    QTest::addColumn<QByteArray>("secondQuery");
    QTest::addColumn<QByteArray>("secondReply");

    QTest::newRow("number") << int(Fault::Kind::GarbleNumber) << QByteArray("STATUS?")
                            << QByteArray("1110001000000\n\r") << QByteArray("VSET1?")
                            << QByteArray("1x.0z\n\r");
    QTest::newRow("coupling") << int(Fault::Kind::GarbleStatusCoupling) << QByteArray("VSET1?")
                              << QByteArray("12.00\n\r") << QByteArray("STATUS?")
                              << QByteArray("1110x0y000000\n\r");
    QTest::newRow("output") << int(Fault::Kind::GarbleStatusOutput) << QByteArray("*IDN?")
                            << QByteArray("LQS-6200B V2.1\n\r") << QByteArray("STATUS?")
                            << QByteArray("111000100000z\n\r");
}

void TestPtyEndpoint::garbles() {
    QFETCH(int, kind);
    QFETCH(QByteArray, firstQuery);
    QFETCH(QByteArray, firstReply);
    QFETCH(QByteArray, secondQuery);
    QFETCH(QByteArray, secondReply);

    ep_->injectFault(Fault{static_cast<Fault::Kind>(kind), {}, 0});
    QVERIFY(port_->send(firstQuery.toStdString()));
    QCOMPARE(port_->reply(std::size_t(firstReply.size())), firstReply);
    QVERIFY(port_->send(secondQuery.toStdString()));
    QCOMPARE(port_->reply(std::size_t(secondReply.size())), secondReply);
    QCOMPARE(ep_->pendingFaults(), std::size_t(0));
}

// The program must see the line vanish: POLLHUP, then EIO on write.
void TestPtyEndpoint::hangup() {
    ep_->injectFault(Fault::hangup());
    QVERIFY(port_->send("*IDN?"));
    QVERIFY(port_->hungUp(3s));
    const char c = 'x';
    errno = 0;
    QCOMPARE(::write(port_->fd(), &c, 1), ssize_t(-1));
    QCOMPARE(errno, EIO);
    QTRY_VERIFY(ep_->hungUp());
}

void TestPtyEndpoint::stopIsPrompt_data() {
    QTest::addColumn<int>("situation");
    QTest::newRow("idle") << 0;
    QTest::newRow("late reply pending") << 1;
    QTest::newRow("after immediate hangup") << 2;
}

void TestPtyEndpoint::stopIsPrompt() {
    QFETCH(int, situation);
    if (situation == 1) {
        ep_->injectFault(Fault::late(10s));
        QVERIFY(port_->send("*IDN?"));
        QVERIFY(ep_->waitForFrames(1, 2s));
    } else if (situation == 2) {
        ep_->hangUpNow();
        QTRY_VERIFY(ep_->hungUp());
    }
    const auto t0 = Clock::now();
    ep_->stop();
    QVERIFY(Clock::now() - t0 < 250ms);
    QVERIFY(!ep_->running());
    QVERIFY(port_->hungUp(1s));
}

void TestPtyEndpoint::linkFollowsLifetime() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string link = dir.path().toStdString() + "/ttyTest";
    QVERIFY(!ep_->makeLink(link));
    QCOMPARE(readLink(link), ep_->slavePath());
    ep_->stop();
    struct stat st {};
    QCOMPARE(::lstat(link.c_str(), &st), -1);
    QVERIFY(ep_->makeLink(link) == std::errc::not_connected);

    // Restart gives a fresh line; a link someone else replaced is not ours to remove.
    ep_->start();
    QVERIFY(!ep_->makeLink(link));
    PtyPort viaLink(link);
    QVERIFY(viaLink.send("ISET1?"));
    QCOMPARE(viaLink.reply(6), QByteArray("1.00\n\r"));
    QCOMPARE(::unlink(link.c_str()), 0);
    QCOMPARE(::symlink("/dev/null", link.c_str()), 0);
    ep_->stop();
    QCOMPARE(readLink(link), std::string("/dev/null"));
}

// A program killed while it held the line exclusive must not lock the next one out.
void TestPtyEndpoint::exclusiveEndsWhenClientLeaves() {
    // Opened first, so watching opens and closes nothing after the holder leaves.
    PtyPort watcher(ep_->slavePath());
    auto exclusive = [&watcher] {
        int on = -1;
        return ::ioctl(watcher.fd(), TIOCGEXCL, &on) == 0 ? on : -1;
    };
    QCOMPARE(::ioctl(port_->fd(), TIOCEXCL), 0);
    QCOMPARE(exclusive(), 1);
    port_.reset();  // as the kernel closes a killed program's descriptors
    QTRY_COMPARE(exclusive(), 0);
}

// The line as a strict instrument sees it: each frame kept byte for byte, and
// anything a real one could misread flagged.
void TestPtyEndpoint::strictWire_data() {
    QTest::addColumn<QList<QByteArray>>("writes");  // with a pause of 150 ms between writes
    QTest::addColumn<QString>("flag");                // start of the one flag, or empty
    QTest::newRow("clean") << QList<QByteArray>{"VSET1:12.5\r\n"} << QString();
    QTest::newRow("bare LF") << QList<QByteArray>{"OUT1\n"} << QStringLiteral("frame not ending in CR LF");
    QTest::newRow("control byte") << QList<QByteArray>{QByteArray("OU\x01T1\r\n")}
                                  << QStringLiteral("byte outside printable ASCII");
    QTest::newRow("high byte") << QList<QByteArray>{QByteArray("VSET1:1\xb2\r\n")}
                               << QStringLiteral("byte outside printable ASCII");
    QTest::newRow("split") << QList<QByteArray>{"VOU", "T1?\r\n"} << QStringLiteral("frame split by");
}

void TestPtyEndpoint::strictWire() {
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QString, flag);
    QByteArray all;
    for (int i = 0; i < writes.size(); ++i) {
        if (i > 0) QTest::qWait(150);
        QCOMPARE(::write(port_->fd(), writes[i].constData(), std::size_t(writes[i].size())), writes[i].size());
        all += writes[i];
    }
    QTRY_COMPARE(ep_->wireFrames().size(), std::size_t(1));
    QCOMPARE(QByteArray::fromStdString(ep_->wireFrames().front()), all);
    const auto flags = ep_->wireFlags();
    if (flag.isEmpty()) {
        QVERIFY(flags.empty());
    } else {
        QCOMPARE(flags.size(), std::size_t(1));
        QVERIFY2(QString::fromStdString(flags.front()).startsWith(flag), flags.front().c_str());
    }
}

QTEST_GUILESS_MAIN(TestPtyEndpoint)
#include "tst_pty_endpoint.moc"
