#include "comm_on_pty.h"
#include "serial/comm.h"
#include "serial/comm_port_posix.h"
#include "wait_until.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <vector>

using namespace lqs;
using lqs::test::CommEvents;
using lqs::test::CommOnPty;
using lqs::test::PtyPair;
using namespace std::chrono_literals;

namespace {

// The real system calls, watched: the test learns when the receive thread has
// read from the device and when the send thread waits, for room on the line
// or for something to send, instead of guessing how long that takes.
class WatchedSys : public PosixSys {
public:
    int open(const char* path, int flags) override {
        const int fd = PosixSys::open(path, flags);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_device = fd;
        return fd;
    }
    ssize_t read(int fd, void* buf, size_t count) override {
        const ssize_t n = PosixSys::read(fd, buf, count);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (fd == m_device) m_bytesRead += std::size_t(n);
            m_changed.notify_all();
        }
        return n;
    }
    int poll(struct pollfd* fds, nfds_t n, int timeoutMs) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // The send thread waits on the device for room, or on its two
            // signals with nothing to send; the receive thread polls the device for input.
            if (n == 2 && fds[0].fd == m_device && (fds[0].events & POLLOUT)) ++m_waitsForRoom;
            if (n == 2 && fds[0].fd != m_device && timeoutMs < 0) ++m_idleWaits;
            m_changed.notify_all();
        }
        return PosixSys::poll(fds, n, timeoutMs);
    }
    ssize_t write(int fd, const void* buf, size_t count) override {
        const ssize_t n = PosixSys::write(fd, buf, count);
        if (n > 0 && fd == m_device) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_deviceWrites.push_back(std::string(static_cast<const char*>(buf), std::size_t(n)));
        }
        return n;
    }
    std::vector<std::string> deviceWrites() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_deviceWrites;
    }

    // Blocks until the receive thread has read `total` bytes since the open.
    bool readFromDevice(std::size_t total) {
        return until([&] { return m_bytesRead >= total; });
    }
    bool senderWaitedForRoom() {
        return until([&] { return m_waitsForRoom > 0; });
    }
    // Blocks until the send thread has begun to wait with nothing to send for the n-th time.
    bool senderIdle(int n) {
        return until([&] { return m_idleWaits >= n; });
    }
    int idleWaits() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_idleWaits;
    }

private:
    template <typename Done>
    bool until(Done done) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 5s, done);
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_device = -1;
    std::size_t m_bytesRead = 0;
    int m_waitsForRoom = 0;
    int m_idleWaits = 0;
    std::vector<std::string> m_deviceWrites;
};

// A port on the real system calls, watched through sys.
CommPortFactory watchedBy(const std::shared_ptr<WatchedSys>& sys) {
    return [sys] { return std::make_unique<PosixCommPort>(sys); };
}

// Waits until nothing more can come of what the line has carried so far: a
// marker line written now is handed over at its CR, after anything the
// receive thread still held, and must come alone. It is then taken out, so
// the test compares the blocks before it.
bool settled(CommOnPty& port) {
    port.comm.setEndBlockAtCarriageReturn(true);
    if (!port.pty.writeAll("#\r") ||
        !test::waitUntil([&] { return port.events.joined().endsWith("#\r"); }))
        return false;
    const bool alone = port.events.blocks.back() == "#\r";
    port.events.blocks.pop_back();
    port.events.log.pop_back();
    return alone;
}

// Feeds driver counters that a pseudo-terminal does not keep, and records
// every settings record written, so tests can see what reached the driver.
class ScriptedSys : public PosixSys {
public:
    enum class Counters { Icount, ModemLinesOnly };
    explicit ScriptedSys(Counters mode) : m_mode(mode) {}

    int ioctl(int fd, unsigned long request, void* arg) override {
        std::lock_guard<std::mutex> lock(m);
        if (request == TIOCGICOUNT) {
            if (m_mode != Counters::Icount) {
                errno = ENOTTY;
                return -1;
            }
            *static_cast<serial_icounter_struct*>(arg) = icount;
            return 0;
        }
        if (request == TIOCMGET) {
            *static_cast<int*>(arg) = lines;
            return 0;
        }
        return PosixSys::ioctl(fd, request, arg);
    }
    int tcsetattr(int fd, int actions, const struct termios* t) override {
        {
            std::lock_guard<std::mutex> lock(m);
            written.push_back(*t);
        }
        return PosixSys::tcsetattr(fd, actions, t);
    }

    std::mutex m;
    serial_icounter_struct icount{};
    int lines = 0;
    std::vector<struct termios> written;

private:
    Counters m_mode;
};

// A port whose receive thread plays a script into the component and then, as
// a real one does, waits for the close signal. The test learns through
// played() when every notice of the script has been posted.
class PlayedPort : public CommPort {
public:
    using Script = std::function<void(CommNoticeSink&)>;
    explicit PlayedPort(Script script) : m_script(std::move(script)) {}
    std::future<void> played() { return m_played.get_future(); }

    CommOpenResult open(const std::string&) override { return CommOpenResult::Ok; }
    void purge(bool, bool) override {}
    void applyTimeouts(const CommTimeouts&) override {}
    void applyLineSettings(const CommLineSettings&) override {}
    bool createCloseSignal() override { return true; }
    void signalClose() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
        m_closed.notify_all();
    }
    void wakeWriter() override {}
    void runReceiver(CommNoticeSink& sink) override {
        m_script(sink);
        m_played.set_value();
        waitForClose();
    }
    void runSender(CommNoticeSink&, CommSendQueue&, std::atomic<bool>&) override { waitForClose(); }
    void close() override {}

private:
    void waitForClose() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_closed.wait(lock, [this] { return m_closing; });
    }

    Script m_script;
    std::promise<void> m_played;
    std::mutex m_mutex;
    std::condition_variable m_closed;
    bool m_closing = false;
};

// Each open gets a port playing the next script.
struct Player {
    std::deque<PlayedPort::Script> scripts;
    std::future<void> played;  // the latest port's

    CommPortFactory factory() {
        return [this] {
            auto port = std::make_unique<PlayedPort>(std::move(scripts.front()));
            scripts.pop_front();
            played = port->played();
            return port;
        };
    }
};

// Plays each entry as a data block, "!hangup" as the hang-up notice.
PlayedPort::Script playing(const QByteArrayList& items) {
    return [items](CommNoticeSink& sink) {
        for (const QByteArray& item : items) {
            if (item == "!hangup")
                sink.noticeRequestHangup();
            else
                sink.noticeReceived(
                    CommBlock::copyOf(item.constData(), std::uint16_t(item.size())));
        }
    };
}

}  // namespace

class tst_Comm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void defaultsAndPortValues();
    void openFailures_data();
    void openFailures();
    void openHeldDevice();
    void openAlreadyOpen();
    void closeWhenClosed();
    void sendBytesRefusals();
    void sendInOrderWhole();
    void sendDataEmpty();
    void sendEachByte();
    void blockCutting_data();
    void blockCutting();
    void endAtCarriageReturn_data();
    void endAtCarriageReturn();
    void splitAt2048();
    void manyBlocksInOrder();
    void everyByteValue();
    void parityMarksUnescaped();
    void closeWhileBlocked();
    void hangupWhenFarEndCloses();
    void lineErrorsAndModemEvents();
    void modemLinesFallback();
    void reapplyRules();
    void lineSettingsFromClearedState();
    void commNameAtNextOpen();
    void floodWhileBusy_data();
    void floodWhileBusy();
    void floodFromPeerWhileBusy();
    void nothingStaleAfterClose_data();
    void nothingStaleAfterClose();
};

void tst_Comm::defaultsAndPortValues() {
    TComm c;
    QCOMPARE(c.CommName(), QStringLiteral("COM2"));
    QCOMPARE(c.BaudRate(), 9600u);
    QCOMPARE(c.ParityCheck(), false);
    QCOMPARE(c.Outx_CtsFlow(), false);
    QCOMPARE(c.Outx_DsrFlow(), false);
    QCOMPARE(c.DtrControl(), TDtrControl::DtrEnable);
    QCOMPARE(c.DsrSensitivity(), false);
    QCOMPARE(c.TxContinueOnXoff(), true);
    QCOMPARE(c.Outx_XonXoffFlow(), true);
    QCOMPARE(c.Inx_XonXoffFlow(), true);
    QCOMPARE(c.ReplaceWhenParityError(), false);
    QCOMPARE(c.IgnoreNullChar(), false);
    QCOMPARE(c.RtsControl(), TRtsControl::RtsEnable);
    QCOMPARE(c.XonLimit(), std::uint16_t(500));
    QCOMPARE(c.XoffLimit(), std::uint16_t(500));
    QCOMPARE(c.ByteSize(), TByteSize::_8);
    QCOMPARE(c.Parity(), TParity::None);
    QCOMPARE(c.StopBits(), TStopBits::_1);
    QCOMPARE(c.XonChar(), '\x11');
    QCOMPARE(c.XoffChar(), '\x13');
    QCOMPARE(c.ReplacedChar(), '\0');
    QCOMPARE(c.ReadIntervalTimeout(), 100u);
    QCOMPARE(c.ReadTotalTimeoutMultiplier(), 0u);
    QCOMPARE(c.ReadTotalTimeoutConstant(), 0u);
    QCOMPARE(c.WriteTotalTimeoutMultiplier(), 0u);
    QCOMPARE(c.WriteTotalTimeoutConstant(), 0u);
    QVERIFY(c.sendQueueEmpty());
    QVERIFY(!c.IsOpen());
}

void tst_Comm::openFailures_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    static QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("plain.txt"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QTest::newRow("missing") << QStringLiteral("/dev/does-not-exist-lqs")
                             << QStringLiteral("Error opening serial port");
    QTest::newRow("directory") << dir.path() << QStringLiteral("Error opening serial port");
    QTest::newRow("empty name") << QString() << QStringLiteral("Error opening serial port");
    QTest::newRow("plain file") << file << QStringLiteral("File handle is not a comm handle ");
    QTest::newRow("null device") << QStringLiteral("/dev/null")
                                 << QStringLiteral("File handle is not a comm handle ");
}

void tst_Comm::openFailures() {
    QFETCH(QString, name);
    QFETCH(QString, message);
    TComm c;
    c.setCommName(name);
    try {
        c.OpenPort();
        QFAIL("OpenPort did not raise");
    } catch (const ECommsError& e) {
        QCOMPARE(QString::fromUtf8(e.what()), message);
    }
    QVERIFY(!c.IsOpen());
    QVERIFY(!c.SendBytes("x", 1));
}

void tst_Comm::openHeldDevice() {
    CommOnPty first;
    QVERIFY(first.open());
    TComm second;
    test::setUpAsMainPort(second, first.pty.slavePath());
    try {
        second.OpenPort();
        QFAIL("OpenPort of a held device did not raise");
    } catch (const ECommsError& e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Error opening serial port"));
    }
    QVERIFY(!second.IsOpen());
    first.comm.ClosePort();
    second.OpenPort();  // free again once the holder lets go
    QVERIFY(second.IsOpen());
}

void tst_Comm::openAlreadyOpen() {
    CommOnPty port;
    QVERIFY(port.open());
    try {
        port.comm.OpenPort();
        QFAIL("second OpenPort did not raise");
    } catch (const ECommsError& e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("This serial port already opened"));
    }
    QVERIFY(port.comm.IsOpen());
    QVERIFY(port.comm.SendBytes("ok", 2));
    QCOMPARE(QByteArray::fromStdString(port.pty.readFor(2, 2s)), QByteArray("ok"));
}

void tst_Comm::closeWhenClosed() {
    TComm c;
    c.ClosePort();
    c.ClosePort();
    QVERIFY(!c.IsOpen());
}

void tst_Comm::sendBytesRefusals() {
    CommOnPty port;
    TComm& c = port.comm;
    QVERIFY(!c.SendBytes("x", 1));  // closed
    QVERIFY(port.open());
    QVERIFY(!c.SendBytes("x", 0));
    QVERIFY(!c.SendBytes(nullptr, 1));
    // Sends are sent in order: had a refused one sent anything, it would come first.
    QVERIFY(c.SendBytes("y", 1));
    QCOMPARE(port.pty.readFor(1, 2s), std::string("y"));
    c.ClosePort();
    QVERIFY(!c.SendBytes("x", 1));
}

// Blocks from two threads, one byte at a time and in bulk: each block whole,
// all in the order queued.
void tst_Comm::sendInOrderWhole() {
    CommOnPty port;
    TComm& c = port.comm;
    QVERIFY(port.open());
    const std::string frame = "VOUT1?\r\n";
    for (char ch : frame) QVERIFY(c.SendBytes(&ch, 1));
    std::string big(65535, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7);
    QVERIFY(c.SendBytes(big.data(), std::uint16_t(big.size())));
    std::thread other([&] {
        for (char ch : std::string("OUT1\r\n")) c.SendBytes(&ch, 1);
    });
    other.join();
    const std::string expect = frame + big + "OUT1\r\n";
    QCOMPARE(port.pty.readFor(expect.size(), 10s) == expect, true);
}

// Once when the send thread starts and once each time the queue runs dry,
// however often the thread is woken: here a block queued while the one
// before it waits for room wakes it once more than it finds work for.
void tst_Comm::sendDataEmpty() {
    auto sys = std::make_shared<WatchedSys>();
    CommOnPty port(watchedBy(sys));
    const CommEvents& r = port.events;
    QVERIFY(port.open());
    QVERIFY(sys->senderIdle(1));
    LQS_TRY_COMPARE(r.sendEmpty, 1);

    // More than the far end takes unread.
    const std::string big(65535, 'z');
    for (int i = 0; i < 4; ++i) QVERIFY(port.comm.SendBytes(big.data(), std::uint16_t(big.size())));
    QVERIFY(sys->senderWaitedForRoom());
    QVERIFY(!port.comm.sendQueueEmpty());
    QVERIFY(port.comm.SendBytes("abc", 3));
    const std::string all = big + big + big + big + "abc";
    QCOMPARE(port.pty.readFor(all.size(), 10s) == all, true);
    // Drained, woken once more for "abc", and then waiting with nothing to send.
    QVERIFY(sys->senderIdle(3));
    QVERIFY(port.comm.sendQueueEmpty());
    QCoreApplication::sendPostedEvents(&port.comm);
    QCOMPARE(r.sendEmpty, 2);
    QCOMPARE(sys->idleWaits(), 3);
}

// A frame handed over in one call still goes out one write per byte, in
// order, and wakes the send thread once, not once per byte.
void tst_Comm::sendEachByte() {
    auto sys = std::make_shared<WatchedSys>();
    CommOnPty port(watchedBy(sys));
    TComm& c = port.comm;
    QVERIFY(!c.SendEachByte("x", 1));  // closed
    QVERIFY(port.open());
    QVERIFY(sys->senderIdle(1));
    QVERIFY(!c.SendEachByte("x", 0));
    QVERIFY(!c.SendEachByte(nullptr, 1));
    const std::string frame = "VSET1:12.34\r\n";
    QVERIFY(c.SendEachByte(frame.data(), std::uint16_t(frame.size())));
    QCOMPARE(port.pty.readFor(frame.size(), 5s), frame);
    QVERIFY(sys->senderIdle(2));
    const std::vector<std::string> writes = sys->deviceWrites();
    QCOMPARE(writes.size(), frame.size());
    for (std::size_t i = 0; i < frame.size(); ++i) QCOMPARE(writes[i], frame.substr(i, 1));
    QCOMPARE(sys->idleWaits(), 2);
}

void tst_Comm::blockCutting_data() {
    QTest::addColumn<bool>("overSilence");
    QTest::addColumn<int>("blocks");
    QTest::newRow("gaps under the silence") << false << 1;
    QTest::newRow("gaps over the silence") << true << 4;
}

// The component's own 100 ms of silence ends a block, counted from the last
// byte: gaps shorter than it join the parts however long they take together.
void tst_Comm::blockCutting() {
    QFETCH(bool, overSilence);
    QFETCH(int, blocks);
    CommOnPty port;
    const CommEvents& r = port.events;
    QVERIFY(port.open());
    const int silenceMs = int(port.comm.ReadIntervalTimeout());
    const QByteArrayList parts{"12.", "3", "45\n", "\r"};
    for (int i = 0; i < parts.size(); ++i) {
        QElapsedTimer sent;
        sent.start();
        QVERIFY(port.pty.writeAll(parts[i].toStdString()));
        if (overSilence) {
            // Handed over at the silence after each part, and not before it.
            LQS_TRY_COMPARE(int(r.blocks.size()), i + 1);
            QVERIFY2(sent.elapsed() >= silenceMs, qPrintable(QString::number(sent.elapsed())));
            QCOMPARE(r.blocks.back(), parts[i]);
        } else if (i + 1 < parts.size()) {
            // the line's own time: three gaps of 45 ms, each under the silence
            // and together longer than it
            QTest::qWait(45);
        }
    }
    LQS_TRY_COMPARE(r.joined(), parts.join());
    QVERIFY(settled(port));
    QCOMPARE(int(r.blocks.size()), blocks);
    QVERIFY(r.allTerminated);
}

void tst_Comm::endAtCarriageReturn_data() {
    QTest::addColumn<bool>("atCr");
    QTest::addColumn<QStringList>("parts");  // each read by the port before the next is written
    QTest::addColumn<QStringList>("blocks");
    const QStringList lines{"12.34\r", "0.500\r"};
    QTest::newRow("off: one block at the silence")
        << false << lines << QStringList{"12.34\r0.500\r"};
    QTest::newRow("on: a block per line") << true << lines << lines;
    QTest::newRow("on: a line cut in two waits for its CR")
        << true << QStringList{"12.", "34\r", "0.5"} << QStringList{"12.34\r", "0.5"};
    QTest::newRow("on: CR inside a read is no end")
        << true << QStringList{"1\r2", "3\r"} << QStringList{"1\r23\r"};
}

// A reply that ends in CR is handed over at once; anything else still waits
// for the silence.
void tst_Comm::endAtCarriageReturn() {
    QFETCH(bool, atCr);
    QFETCH(QStringList, parts);
    QFETCH(QStringList, blocks);
    auto sys = std::make_shared<WatchedSys>();
    CommOnPty port(watchedBy(sys));
    const CommEvents& r = port.events;
    port.comm.setEndBlockAtCarriageReturn(atCr);
    QVERIFY(port.open());
    std::size_t written = 0;
    for (const QString& part : parts) {
        QVERIFY(port.pty.writeAll(part.toStdString()));
        written += std::size_t(part.size());
        QVERIFY(sys->readFromDevice(written));
    }
    LQS_TRY_COMPARE(r.joined(), parts.join(QString()).toLatin1());
    QVERIFY(settled(port));
    QStringList got;
    for (const QByteArray& b : r.blocks) got << QString::fromLatin1(b);
    QCOMPARE(got, blocks);
}

void tst_Comm::splitAt2048() {
    CommOnPty port;
    const CommEvents& r = port.events;
    port.comm.setReadIntervalTimeout(10);  // a short silence keeps the test quick
    QVERIFY(port.open());
    std::string reply(3000, 'x');
    for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = char('a' + i % 26);
    QVERIFY(port.pty.writeAll(reply));
    LQS_TRY_COMPARE(r.blocks.size(), std::size_t(2));
    QCOMPARE(r.blocks[0].size(), 2048);
    QCOMPARE(r.blocks[1].size(), 952);
    QCOMPARE(r.joined().toStdString() == reply, true);
}

// Forty blocks queued for the user-interface thread before it handles any:
// handed over whole, in the order they came.
void tst_Comm::manyBlocksInOrder() {
    auto sys = std::make_shared<WatchedSys>();
    CommOnPty port(watchedBy(sys));
    const CommEvents& r = port.events;
    port.comm.setEndBlockAtCarriageReturn(true);
    QVERIFY(port.open());
    const int n = 40;
    std::size_t written = 0;
    for (int i = 0; i < n; ++i) {
        const std::string line = std::to_string(i) + '\r';
        QVERIFY(port.pty.writeAll(line));
        written += line.size();
        QVERIFY(sys->readFromDevice(written));  // a read, and so a block, of its own
    }
    LQS_TRY_COMPARE(int(r.blocks.size()), n);
    for (int i = 0; i < n; ++i)
        QCOMPARE(r.blocks[std::size_t(i)], QByteArray::number(i).append('\r'));
}

void tst_Comm::everyByteValue() {
    CommOnPty port;
    const CommEvents& r = port.events;
    QVERIFY(port.open());
    std::string burst(64 * 1024, '\0');
    for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = char(i % 256);
    QVERIFY(port.pty.writeAll(burst));
    LQS_TRY_COMPARE_WITH_TIMEOUT(std::size_t(r.joined().size()), burst.size(), 10s);
    QCOMPARE(r.joined().toStdString() == burst, true);
    for (const auto& b : r.blocks) QVERIFY(b.size() >= 1 && b.size() <= 2048);
    QVERIFY(r.allTerminated);
}

// With checking on the driver doubles each 0xFF; the reader must undo it.
void tst_Comm::parityMarksUnescaped() {
    CommOnPty port;
    const CommEvents& r = port.events;
    port.comm.setParityCheck(true);
    port.comm.setReadIntervalTimeout(10);  // a short silence keeps the test quick
    QVERIFY(port.open());
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[std::size_t(i)] = char(i);
    QVERIFY(port.pty.writeAll(all + all));
    LQS_TRY_COMPARE(std::size_t(r.joined().size()), all.size() * 2);
    QCOMPARE(r.joined().toStdString() == all + all, true);
    QVERIFY(r.errors.empty());
}

void tst_Comm::closeWhileBlocked() {
    auto sys = std::make_shared<WatchedSys>();
    CommOnPty port(watchedBy(sys));
    TComm& c = port.comm;
    QVERIFY(port.open());
    // The far end reads nothing, so the send thread soon waits for room.
    std::string big(65535, 'z');
    for (int i = 0; i < 4; ++i) QVERIFY(c.SendBytes(big.data(), std::uint16_t(big.size())));
    QVERIFY(sys->senderWaitedForRoom());
    QElapsedTimer t;
    t.start();
    c.ClosePort();
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!c.IsOpen());
    c.OpenPort();  // reusable after close
    QVERIFY(c.IsOpen());
}

void tst_Comm::hangupWhenFarEndCloses() {
    auto sys = std::make_shared<WatchedSys>();
    CommOnPty port(watchedBy(sys));
    const CommEvents& r = port.events;
    TComm& c = port.comm;
    QVERIFY(port.open());
    QVERIFY(port.pty.writeAll("last"));
    QVERIFY(sys->readFromDevice(4));  // read, and held for the silence
    port.pty.closeMaster();
    LQS_TRY_VERIFY(r.hangups >= 1);
    QCOMPARE(r.joined(), QByteArray("last"));  // what arrived before the loss is kept
    // The send thread learns of the loss at its next write; after that the
    // queue is gone and SendBytes says so.
    LQS_TRY_VERIFY(!c.SendBytes("x", 1));
    QVERIFY(c.IsOpen());
    QElapsedTimer t;
    t.start();
    c.ClosePort();
    QVERIFY(t.elapsed() < 1000);
}

void tst_Comm::lineErrorsAndModemEvents() {
    auto sys = std::make_shared<ScriptedSys>(ScriptedSys::Counters::Icount);
    CommOnPty port([sys] { return std::make_unique<PosixCommPort>(sys, 10ms); });
    const CommEvents& r = port.events;
    port.comm.setReadIntervalTimeout(10);  // a short silence keeps the test quick
    QVERIFY(port.open());
    {
        std::lock_guard<std::mutex> lock(sys->m);
        sys->icount.frame = 1;
        sys->icount.overrun = 2;
    }
    LQS_TRY_COMPARE(r.errors.size(), std::size_t(1));
    QCOMPARE(r.errors[0], LineError::Frame | LineError::Overrun);
    {
        std::lock_guard<std::mutex> lock(sys->m);
        sys->icount.parity = 1;
        sys->icount.brk = 1;
        sys->icount.dcd = 1;
        sys->icount.rng = 3;
    }
    LQS_TRY_COMPARE(r.modem.size(), std::size_t(1));
    QCOMPARE(r.modem[0], ModemEvent::CarrierDetect | ModemEvent::Ring);
    QCOMPARE(r.errors.size(), std::size_t(2));
    QCOMPARE(r.errors[1], LineError::RxParity | LineError::Break);
    // Reception goes on after errors.
    QVERIFY(port.pty.writeAll("9.99\n\r"));
    LQS_TRY_COMPARE(r.joined(), QByteArray("9.99\n\r"));
    QCOMPARE(r.hangups, 0);
}

void tst_Comm::modemLinesFallback() {
    auto sys = std::make_shared<ScriptedSys>(ScriptedSys::Counters::ModemLinesOnly);
    CommOnPty port([sys] { return std::make_unique<PosixCommPort>(sys, 10ms); });
    const CommEvents& r = port.events;
    QVERIFY(port.open());
    {
        std::lock_guard<std::mutex> lock(sys->m);
        sys->lines = TIOCM_CD;
    }
    LQS_TRY_COMPARE(r.modem.size(), std::size_t(1));
    QCOMPARE(r.modem[0], ModemEvent::CarrierDetect);
    {
        std::lock_guard<std::mutex> lock(sys->m);
        sys->lines = TIOCM_CD | TIOCM_RNG;
    }
    LQS_TRY_COMPARE(r.modem.size(), std::size_t(2));
    QCOMPARE(r.modem[1], ModemEvent::Ring);
    QVERIFY(r.errors.empty());
}

// Parity waits for the next application; the baud rate goes out at once.
void tst_Comm::reapplyRules() {
    auto sys = std::make_shared<ScriptedSys>(ScriptedSys::Counters::ModemLinesOnly);
    CommOnPty port([sys] { return std::make_unique<PosixCommPort>(sys); });
    TComm& c = port.comm;
    QVERIFY(port.open());
    auto writes = [&] {
        std::lock_guard<std::mutex> lock(sys->m);
        return sys->written;
    };
    const std::size_t afterOpen = writes().size();
    QCOMPARE(afterOpen, std::size_t(1));
    QCOMPARE(cfgetospeed(&writes().back()), speed_t(B9600));
    QVERIFY(!(writes().back().c_cflag & PARENB));

    c.setParity(TParity::Even);
    QCOMPARE(writes().size(), afterOpen);
    c.setBaudRate(9600);  // unchanged value: nothing happens
    QCOMPARE(writes().size(), afterOpen);
    c.setBaudRate(19200);
    QCOMPARE(writes().size(), afterOpen + 1);
    QCOMPARE(cfgetospeed(&writes().back()), speed_t(B19200));
    QVERIFY(writes().back().c_cflag & PARENB);
    // The real device took the rate too.
    struct termios now {};
    const int fd = ::open(port.pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {  // only root gets past the exclusive hold
        QVERIFY(::tcgetattr(fd, &now) == 0);
        ::close(fd);
        QCOMPARE(cfgetospeed(&now), speed_t(B19200));
    }
    c.setReadIntervalTimeout(50);  // time-outs are not line settings
    QCOMPARE(writes().size(), afterOpen + 1);
}

// Whatever another program left on the device, the line carries only what the
// properties ask for, and a property turned off is off. The master side reads
// and writes the slave's settings, so no second open is needed.
void tst_Comm::lineSettingsFromClearedState() {
    CommOnPty port;
    TComm& c = port.comm;
    const int master = port.pty.master();
    QVERIFY(port.pty.ok());
    struct termios dirty {};
    QVERIFY(::tcgetattr(master, &dirty) == 0);
    dirty.c_iflag |= IXON | IXOFF | IXANY | INPCK | PARMRK | ISTRIP | ICRNL;
    dirty.c_oflag |= OPOST | ONLCR;
    dirty.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    dirty.c_cflag |= CRTSCTS | HUPCL | CSTOPB;
    QVERIFY(::tcsetattr(master, TCSANOW, &dirty) == 0);

    auto line = [&] {
        struct termios t {};
        if (::tcgetattr(master, &t) != 0) qFatal("tcgetattr on the master failed");
        return t;
    };
    QVERIFY(port.open());
    struct termios t = line();
    QCOMPARE(t.c_iflag, tcflag_t(IGNBRK));
    QCOMPARE(t.c_oflag, tcflag_t(0));
    QCOMPARE(t.c_lflag, tcflag_t(0));
    QCOMPARE(t.c_cflag & (CRTSCTS | HUPCL | CSTOPB | PARENB), tcflag_t(0));
    QCOMPARE(t.c_cflag & (CSIZE | CREAD | CLOCAL), tcflag_t(CS8 | CREAD | CLOCAL));

    c.setParityCheck(true);
    c.setInx_XonXoffFlow(true);
    c.setOutx_CtsFlow(true);
    t = line();
    QCOMPARE(t.c_iflag, tcflag_t(IXOFF | INPCK | PARMRK));
    QVERIFY(t.c_cflag & CRTSCTS);

    c.setParityCheck(false);
    c.setInx_XonXoffFlow(false);
    c.setOutx_CtsFlow(false);
    t = line();
    QCOMPARE(t.c_iflag, tcflag_t(IGNBRK));
    QVERIFY(!(t.c_cflag & CRTSCTS));
}

void tst_Comm::commNameAtNextOpen() {
    CommOnPty port;
    TComm& c = port.comm;
    PtyPair b;
    QVERIFY(b.ok());
    QVERIFY(port.open());
    test::setUpAsMainPort(c, b.slavePath());
    QVERIFY(c.SendBytes("1", 1));
    QCOMPARE(port.pty.readFor(1, 2s), std::string("1"));
    c.ClosePort();
    c.OpenPort();
    QVERIFY(c.SendBytes("2", 1));
    QCOMPARE(b.readFor(1, 2s), std::string("2"));
    QVERIFY(port.pty.slaveClosed());  // the first device was let go and left alone
}

// The user-interface thread handles no events while blocks pour in: the
// queue keeps only the newest within its bounds, whichever is reached first,
// and says once that data was lost, before what it kept.
void tst_Comm::floodWhileBusy_data() {
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<int>("blocks");
    QTest::newRow("8 MB in full blocks") << int(kReadBlockSize) << 4096;
    QTest::newRow("short blocks") << 2 << 20000;
}

void tst_Comm::floodWhileBusy() {
    QFETCH(int, blockSize);
    QFETCH(int, blocks);
    Player player;
    player.scripts.push_back([&](CommNoticeSink& sink) {
        QByteArray block(blockSize, 'x');
        for (int i = 0; i < blocks; ++i) {
            qToLittleEndian(std::uint16_t(i), block.data());  // numbered, to see which survive
            sink.noticeReceived(CommBlock::copyOf(block.constData(), std::uint16_t(block.size())));
        }
        sink.noticeRequestHangup();
    });
    TComm c(nullptr, player.factory());
    CommEvents r;
    r.attach(c);
    c.OpenPort();
    player.played.wait();
    const TComm::QueuedData held = c.queuedDataForTests();
    QVERIFY2(held.bytes <= TComm::kMaxQueuedBytes, qPrintable(QString::number(held.bytes)));
    QVERIFY2(held.blocks <= TComm::kMaxQueuedBlocks, qPrintable(QString::number(held.blocks)));

    QCoreApplication::sendPostedEvents(&c);
    QCOMPARE(r.errors, std::vector<std::uint32_t>{LineError::RxOver});
    QCOMPARE(r.log.first(), QByteArray("!error:1"));
    QCOMPARE(r.log.last(), QByteArray("!hangup"));
    QCOMPARE(r.blocks.size(), held.blocks);
    for (std::size_t k = 0; k < r.blocks.size(); ++k) {
        const int expected = blocks - int(r.blocks.size() - k);
        QCOMPARE(int(qFromLittleEndian<std::uint16_t>(r.blocks[k].constData())), expected);
    }
}

// The same through a real line, watched while the peer writes.
void tst_Comm::floodFromPeerWhileBusy() {
    CommOnPty port;
    const CommEvents& r = port.events;
    QVERIFY(port.open());
    std::mt19937 random(7);  // random bytes show where in the flood the kept data began
    std::string flood(8 << 20, '\0');
    for (char& ch : flood) ch = char(random());
    const std::size_t chunk = 64 * 1024;
    std::size_t peak = 0;
    for (std::size_t at = 0; at < flood.size(); at += chunk) {
        QVERIFY(port.pty.writeAll(flood.substr(at, chunk)));
        peak = std::max(peak, port.comm.queuedDataForTests().bytes);
    }
    QVERIFY2(peak <= TComm::kMaxQueuedBytes, qPrintable(QString::number(peak)));

    const QByteArray all = QByteArray::fromStdString(flood);
    LQS_TRY_VERIFY_WITH_TIMEOUT(r.joined().endsWith(all.right(64)), 10s);
    QCOMPARE(r.errors, std::vector<std::uint32_t>{LineError::RxOver});
    QCOMPARE(r.log.first(), QByteArray("!error:1"));
    const QByteArray kept = r.joined();
    QVERIFY(kept.size() < all.size());
    QVERIFY(kept == all.right(kept.size()));
}

// Notices still queued from a closed port never reach the handlers, and a
// port opened at once delivers all of its own, in order.
void tst_Comm::nothingStaleAfterClose_data() {
    QTest::addColumn<QByteArrayList>("before");
    QTest::addColumn<bool>("reopen");
    QTest::addColumn<QByteArrayList>("after");
    QTest::newRow("closed") << QByteArrayList{"old"} << false << QByteArrayList{};
    QTest::newRow("reopened, quiet") << QByteArrayList{"old1", "old2"} << true << QByteArrayList{};
    QTest::newRow("reopened, more new than old")
        << QByteArrayList{"old", "!hangup"} << true
        << QByteArrayList{"new1", "new2", "new3", "!hangup"};
    QTest::newRow("reopened, fewer new than old")
        << QByteArrayList{"old1", "old2", "old3"} << true << QByteArrayList{"new"};
}

void tst_Comm::nothingStaleAfterClose() {
    QFETCH(QByteArrayList, before);
    QFETCH(bool, reopen);
    QFETCH(QByteArrayList, after);
    Player player;
    player.scripts = {playing(before), playing(after)};
    TComm c(nullptr, player.factory());
    CommEvents r;
    r.attach(c);
    c.OpenPort();
    player.played.wait();
    c.ClosePort();
    if (reopen) {
        c.OpenPort();
        player.played.wait();
    }
    QCoreApplication::sendPostedEvents(&c);
    QCOMPARE(r.log, after);
}

QTEST_GUILESS_MAIN(tst_Comm)
#include "tst_comm.moc"
