#include <sys/ioctl.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "pty_endpoint.h"
#include "pty_port.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using lqs::sim::Fault;
using lqs::sim::Instrument;
using lqs::sim::LineModel;
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
    void staleLinkIsReplaced_data();
    void staleLinkIsReplaced();
    void exclusiveEndsWhenClientLeaves();
    void strictWire_data();
    void strictWire();
    void lineTiming_data();
    void lineTiming();
    void jitterStaysInBounds();
    void tooSoonIsIgnored();
    void unaskedQueueBehindReply();

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
    QVERIFY(ep_->transcript().empty());
    QVERIFY(port_->send("*IDN?"));
    QCOMPARE(port_->reply(16), QByteArray("LQS-6200B V2.1\n\r"));
    QVERIFY(port_->send("VSET1:7.25"));
    QVERIFY(port_->send("VSET1?"));
    QCOMPARE(port_->reply(6), QByteArray("7.25\n\r"));
    // Raw line: nothing echoed, nothing extra, or it would come before this reply.
    QVERIFY(port_->send("ISET1?"));
    QCOMPARE(port_->reply(6), QByteArray("1.00\n\r"));

    QVERIFY(ep_->waitForFrames(4, 2s));
    QByteArrayList frames;
    for (const std::string& f : ep_->transcript()) frames << QByteArray::fromStdString(f);
    QCOMPARE(frames, (QByteArrayList{"*IDN?", "VSET1:7.25", "VSET1?", "ISET1?"}));
    QCOMPARE(QByteArray::fromStdString(ep_->rawBytes()),
             QByteArray("*IDN?\r\nVSET1:7.25\r\nVSET1?\r\nISET1?\r\n"));
    QCOMPARE(ep_->withInstrument([](Instrument& in) { return in.voltageSet(1); }), 7.25);
    LQS_TRY_COMPARE(ep_->repliesSent(), std::size_t(3));  // counted once written whole

    // The program closes and reopens the port; the line must survive that.
    port_ = std::make_unique<PtyPort>(ep_->slavePath());
    QVERIFY(port_->send("VSET1?"));
    QCOMPARE(port_->reply(6), QByteArray("7.25\n\r"));
    QVERIFY(!ep_->hungUp());
}

void TestPtyEndpoint::lateReplyKeepsOrder() {
    ep_->injectFault(Fault::late(120ms));
    const auto sent = Clock::now();
    QVERIFY(port_->send("VSET1?"));
    QVERIFY(port_->send("ISET1?"));
    const auto got = port_->read(13);
    QCOMPARE(got.bytes, QByteArray("12.00\n\r1.00\n\r"));
    QVERIFY(got.at.front() - sent >= 120ms);
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

// Replies keep the order of their queries, so the reply to the next query
// coming first shows that the silenced one got none.
void TestPtyEndpoint::silence() {
    ep_->injectFault(Fault::silence());
    QVERIFY(port_->send("*IDN?"));
    QVERIFY(port_->send("VSET1?"));
    QCOMPARE(port_->reply(7), QByteArray("12.00\n\r"));

    // Sticky: nothing answered, but commands still act. The frame after the
    // last query is acted on once that query's reply was settled.
    ep_->setSilent(true);
    QVERIFY(port_->send("VSET1:3"));
    QVERIFY(port_->send("VSET1?"));
    QVERIFY(port_->send("VSET2:5"));
    QVERIFY(ep_->waitForFrames(5, 2s));
    ep_->setSilent(false);
    QVERIFY(port_->send("ISET1?"));
    QCOMPARE(port_->reply(6), QByteArray("1.00\n\r"));
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
    LQS_TRY_VERIFY(ep_->hungUp());
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
        LQS_TRY_VERIFY(ep_->hungUp());
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

// A simulator killed with -9 leaves its link; the next one, even on the same
// pty number, takes the name over. A link to a live line or a file is kept.
void TestPtyEndpoint::staleLinkIsReplaced_data() {
    QTest::addColumn<QString>("left");  // what the name holds before
    QTest::addColumn<bool>("replaced");
    QTest::newRow("link to our own pty number") << "ours" << true;
    QTest::newRow("link to a pty that is gone") << "/dev/pts/999999" << true;
    QTest::newRow("link to a live file") << "/dev/null" << false;
    QTest::newRow("regular file") << "file" << false;
}

void TestPtyEndpoint::staleLinkIsReplaced() {
    QFETCH(QString, left);
    QFETCH(bool, replaced);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string link = dir.path().toStdString() + "/ttyTest";
    if (left == "file") {
        QFile f(QString::fromStdString(link));
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else {
        const std::string to = left == "ours" ? ep_->slavePath() : left.toStdString();
        QCOMPARE(::symlink(to.c_str(), link.c_str()), 0);
    }
    const std::error_code error = ep_->makeLink(link);
    QVERIFY2(!error == replaced, error.message().c_str());
    if (replaced) {
        QCOMPARE(readLink(link), ep_->slavePath());
        QCOMPARE(QDir(dir.path()).entryList(QDir::System | QDir::Files).size(), 1);
    } else {
        QVERIFY(error == std::errc::file_exists);
        QVERIFY(readLink(link) != ep_->slavePath());
    }
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
    LQS_TRY_COMPARE(exclusive(), 0);
}

// The line as a strict instrument sees it: each frame kept byte for byte, and
// anything a real one could misread flagged.
void TestPtyEndpoint::strictWire_data() {
    QTest::addColumn<QList<QByteArray>>("writes");  // with a pause over the frame silence between
    QTest::addColumn<QString>("flag");              // start of the one flag, or empty
    QTest::newRow("clean") << QList<QByteArray>{"VSET1:12.5\r\n"} << QString();
    QTest::newRow("bare LF") << QList<QByteArray>{"OUT1\n"}
                             << QStringLiteral("frame not ending in CR LF");
    QTest::newRow("control byte") << QList<QByteArray>{QByteArray("OU\x01T1\r\n")}
                                  << QStringLiteral("byte outside printable ASCII");
    QTest::newRow("high byte") << QList<QByteArray>{QByteArray("VSET1:1\xb2\r\n")}
                               << QStringLiteral("byte outside printable ASCII");
    QTest::newRow("split") << QList<QByteArray>{"VOU", "T1?\r\n"}
                           << QStringLiteral("frame split by");
}

void TestPtyEndpoint::strictWire() {
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QString, flag);
    const auto silence = 20ms;
    ep_->setFrameSilence(silence);
    QByteArray all;
    for (int i = 0; i < writes.size(); ++i) {
        if (i > 0) {
            // Counted from when the endpoint read the bytes before the pause.
            LQS_TRY_COMPARE(QByteArray::fromStdString(ep_->rawBytes()), all);
            // the line's own time: a pause inside a frame longer than the
            // frame silence is what gets flagged
            QTest::qWait(int(2 * silence.count()));
        }
        QCOMPARE(::write(port_->fd(), writes[i].constData(), std::size_t(writes[i].size())),
                 writes[i].size());
        all += writes[i];
    }
    LQS_TRY_COMPARE(ep_->wireFrames().size(), std::size_t(1));
    QCOMPARE(QByteArray::fromStdString(ep_->wireFrames().front()), all);
    const auto flags = ep_->wireFlags();
    if (flag.isEmpty()) {
        QVERIFY(flags.empty());
    } else {
        QCOMPARE(flags.size(), std::size_t(1));
        QVERIFY2(QString::fromStdString(flags.front()).startsWith(flag), flags.front().c_str());
    }
}

namespace {
using Ms = std::chrono::duration<double, std::milli>;
Ms bytesAt(int baud, int bytes) {
    return Ms(baud ? 10.0 * 1000.0 * bytes / baud : 0.0);
}
}  // namespace

// Scheduling only ever adds time: lower bounds are exact, upper ones loose.
void TestPtyEndpoint::lineTiming_data() {
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("answerMs");
    QTest::addColumn<QByteArray>("sent");  // in one write
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("endBytes");  // line bytes until the last reply byte, answer aside

    QTest::newRow("defaults") << 9600 << 10 << QByteArray("ISET1?\r\n") << QByteArray("1.00\n\r")
                              << 8 + 6;
    QTest::newRow("600 baud") << 600 << 0 << QByteArray("ISET1?\r\n") << QByteArray("1.00\n\r")
                              << 8 + 6;
    QTest::newRow("no line time") << 0 << 60 << QByteArray("ISET1?\r\n") << QByteArray("1.00\n\r")
                                  << 0;
    // The second reply is ready at 14 bytes but waits for the first to end at 23.
    QTest::newRow("replies queue")
        << 1200 << 0 << QByteArray("*IDN?\r\n*IDN?\r\n")
        << QByteArray("LQS-6200B V2.1\n\rLQS-6200B V2.1\n\r") << 7 + 16 + 16;
}

void TestPtyEndpoint::lineTiming() {
    QFETCH(int, baud);
    QFETCH(int, answerMs);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, reply);
    QFETCH(int, endBytes);
    if (baud != 9600 || answerMs != 10)
        ep_->setLineModel(LineModel{baud, std::chrono::milliseconds(answerMs), {}, {}});
    const Ms actsAt = bytesAt(baud, int(sent.indexOf('\n')) + 1);
    const Ms endAt = bytesAt(baud, endBytes) + std::chrono::milliseconds(answerMs);

    const auto t0 = Clock::now();
    QCOMPARE(::write(port_->fd(), sent.constData(), std::size_t(sent.size())), sent.size());
    QVERIFY(ep_->waitForFrames(1, 3s));
    QVERIFY(Clock::now() - t0 >= actsAt);
    const auto got = port_->read(std::size_t(reply.size()));
    QCOMPARE(got.bytes, reply);
    const Ms end = got.at.back() - t0;
    QVERIFY2(end >= endAt && end < endAt + 250ms, QByteArray::number(end.count()).constData());
    QVERIFY(ep_->lastReplyEnd() - t0 >= endAt && ep_->lastReplyEnd() <= got.at.back());
}

void TestPtyEndpoint::jitterStaysInBounds() {
    ep_->setLineModel(LineModel{0, 0ms, 50ms, {}});
    int over15 = 0;
    for (int i = 0; i < 20; ++i) {
        const auto t0 = Clock::now();
        QVERIFY(port_->send("ISET1?"));
        const auto got = port_->read(6);
        QCOMPARE(got.bytes, QByteArray("1.00\n\r"));
        QVERIFY(got.at.back() - t0 < 50ms + 150ms);
        over15 += got.at.back() - t0 > 15ms;
    }
    // Uniform over 0..50 ms leaves over 15 ms about 14 times in 20.
    QVERIFY2(over15 >= 5, QByteArray::number(over15).constData());
}

// A command that comes while a reply is due or within the spacing after one is dropped.
void TestPtyEndpoint::tooSoonIsIgnored() {
    using Frames = std::vector<std::string>;
    const auto spacing = 300ms;
    ep_->setLineModel(LineModel{9600, 30ms, {}, spacing});
    QCOMPARE(::write(port_->fd(), "VSET1?\r\nVSET1:3\r\n", 17), ssize_t(17));
    QCOMPARE(port_->reply(7), QByteArray("12.00\n\r"));
    QVERIFY(port_->send("ISET1?"));
    LQS_TRY_VERIFY(ep_->ignoredFrames() == (Frames{"VSET1:3", "ISET1?"}));
    QVERIFY(ep_->transcript() == Frames{"VSET1?"});
    QCOMPARE(ep_->wireFrames().size(), std::size_t(3));

    // Past the spacing: taken, and the ISET1? reply would have come first.
    // A command's lack of a reply restarts nothing.
    // the line's own time: the spacing after the last reply is what is tested
    QVERIFY(lqs::test::waitUntil([&] { return Clock::now() >= ep_->lastReplyEnd() + spacing; }));
    QVERIFY(port_->send("VSET1:3"));
    QVERIFY(port_->send("VSET1?"));
    QCOMPARE(port_->reply(6), QByteArray("3.00\n\r"));
    QVERIFY(ep_->transcript() == (Frames{"VSET1?", "VSET1:3", "VSET1?"}));
    QCOMPARE(ep_->ignoredFrames().size(), std::size_t(2));
}

void TestPtyEndpoint::unaskedQueueBehindReply() {
    ep_->setLineModel(LineModel{1200, 0ms, {}, {}});
    const auto t0 = Clock::now();
    QVERIFY(port_->send("*IDN?"));
    QVERIFY(ep_->waitForFrames(1, 3s));
    ep_->sendUnasked("9.99\n\r");
    const auto got = port_->read(16 + 6);
    QCOMPARE(got.bytes, QByteArray("LQS-6200B V2.1\n\r9.99\n\r"));
    QVERIFY(got.at.back() - t0 >= bytesAt(1200, 7 + 16 + 6));
    QCOMPARE(ep_->repliesSent(), std::size_t(1));
}

QTEST_GUILESS_MAIN(TestPtyEndpoint)
#include "tst_pty_endpoint.moc"
