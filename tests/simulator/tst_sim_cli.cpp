#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include "pty_port.h"
#include "sim_link.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using lqs::sim::test::Clock;
using lqs::sim::test::PtyPort;
using lqs::sim::test::readLink;

namespace {

// Starts lqs-sim and returns its first stdout line (the pty path). Its
// stderr is kept for the test to read when asked, else shown.
QByteArray startSim(QProcess& p, const QStringList& args, bool keepErrors = false) {
    p.setProgram(QStringLiteral(LQS_SIM_EXE));
    p.setArguments(args);
    p.setProcessChannelMode(keepErrors ? QProcess::SeparateChannels
                                       : QProcess::ForwardedErrorChannel);
    p.start();
    QDeadlineTimer deadline(5000);
    while (!p.canReadLine() && p.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    return p.readLine().trimmed();
}

bool terminatesCleanly(QProcess& p) {
    p.terminate();
    return p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The events lqs-sim writes on stdout with "--events -", after the pty path.
class Events {
public:
    explicit Events(QProcess& sim) : m_sim(sim) {}

    // When the first event reading `what` since the last one taken happened;
    // -1 if none came within 5 s.
    qint64 next(const QByteArray& what) {
        qint64 at = -1;
        lqs::test::waitUntil([&] {
            while (m_sim.canReadLine()) m_lines.push_back(m_sim.readLine().trimmed());
            for (qsizetype i = 0; i < m_lines.size(); ++i) {
                const qsizetype space = m_lines[i].indexOf(' ');
                if (m_lines[i].mid(space + 1) != what) continue;
                at = m_lines[i].left(space).toLongLong();
                m_lines.remove(0, i + 1);
                return true;
            }
            return false;
        });
        return at;
    }

private:
    QProcess& m_sim;
    QList<QByteArray> m_lines;
};

qint64 nanosecondsOf(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

int linkIndexOf(const QByteArray& slave) {
    for (int i = 0; i < lqs::sim::kLinkCount; ++i)
        if (readLink(lqs::sim::linkPath(i)) == slave.toStdString()) return i;
    return -1;
}

}  // namespace

class TestSimCli : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void servesPortAndExitsOnSigterm();
    void defaultLinksSkipLiveOnes();
    void linkReplacesOnlyDeadOnes_data();
    void linkReplacesOnlyDeadOnes();
    void lineOptions_data();
    void lineOptions();
    void badOption_data();
    void badOption();
    void scheduledLoadStepChangesReadings();
    void controlLinesStepLoads();
};

void TestSimCli::servesPortAndExitsOnSigterm() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string link = dir.path().toStdString() + "/port";
    QProcess sim;
    const QByteArray slave =
        startSim(sim, {QStringLiteral("--model"), QStringLiteral("A"), QStringLiteral("--link"),
                       QString::fromStdString(link), QStringLiteral("--echo")});
    QVERIFY2(slave.startsWith("/dev/pts/"), slave.constData());
    LQS_TRY_VERIFY(readLink(link) == slave.toStdString());

    PtyPort port(link);
    QVERIFY(port.send("*IDN?"));
    QCOMPARE(port.reply(16), QByteArray("LQS-6200A V2.1\n\r"));
    LQS_TRY_VERIFY(sim.canReadLine());
    QCOMPARE(sim.readLine(), QByteArray("*IDN?\n"));  // --echo

    QVERIFY(terminatesCleanly(sim));
    QVERIFY(!exists(link));
}

// A stale link (its pty is gone) is reused; a live one is skipped.
void TestSimCli::defaultLinksSkipLiveOnes() {
    ::mkdir(lqs::sim::linkDirectory().c_str(), 0700);
    int stale = 0;
    while (stale < lqs::sim::kLinkCount && exists(lqs::sim::linkPath(stale))) ++stale;
    if (stale == lqs::sim::kLinkCount) QSKIP("every ttyLQS link is taken");
    QCOMPARE(::symlink("/dev/pts/999999", lqs::sim::linkPath(stale).c_str()), 0);

    QProcess first;
    const QByteArray slave1 = startSim(first, {});
    QVERIFY(slave1.startsWith("/dev/pts/"));
    LQS_TRY_COMPARE(linkIndexOf(slave1), stale);

    QProcess second;
    const QByteArray slave2 = startSim(second, {QStringLiteral("--model"), QStringLiteral("C")});
    QVERIFY(slave2.startsWith("/dev/pts/"));
    LQS_TRY_VERIFY(linkIndexOf(slave2) >= 0);
    const int index2 = linkIndexOf(slave2);
    QVERIFY(index2 != stale);
    PtyPort port(lqs::sim::linkPath(index2));
    QVERIFY(port.send("*IDN?"));
    QCOMPARE(port.reply(16), QByteArray("LQS-6500B V2.1\n\r"));

    QVERIFY(terminatesCleanly(first));
    QVERIFY(terminatesCleanly(second));
    QVERIFY(!exists(lqs::sim::linkPath(stale)));
    QVERIFY(!exists(lqs::sim::linkPath(index2)));
}

// A killed simulator leaves its --link behind; the next one takes it over, and
// prints its port only once the link leads there. Anything else at PATH stays.
void TestSimCli::linkReplacesOnlyDeadOnes_data() {
    QTest::addColumn<QString>("existing");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("link to a pseudo-terminal that is gone") << QStringLiteral("gone") << true;
    QTest::newRow("link to another user's pseudo-terminal") << QStringLiteral("foreign") << true;
    QTest::newRow("link to a live pseudo-terminal of ours") << QStringLiteral("live") << false;
    QTest::newRow("a plain file") << QStringLiteral("file") << false;
}

void TestSimCli::linkReplacesOnlyDeadOnes() {
    QFETCH(QString, existing);
    QFETCH(bool, replaced);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string link = dir.path().toStdString() + "/port";

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const auto closeMaster = qScopeGuard([master] { ::close(master); });
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const std::string pts = ::ptsname(master);
    if (existing == QLatin1String("file")) {
        QVERIFY(QFile(QString::fromStdString(link)).open(QIODevice::WriteOnly));
    } else {
        if (existing == QLatin1String("foreign")) {
            const passwd* nobody = ::getpwnam("nobody");
            if (::geteuid() != 0 || !nobody) QSKIP("needs root and a user nobody");
            QCOMPARE(::chown(pts.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        }
        const std::string target = existing == QLatin1String("gone") ? "/dev/pts/999999" : pts;
        QCOMPARE(::symlink(target.c_str(), link.c_str()), 0);
    }
    const std::string before = readLink(link);

    QProcess sim;
    const QByteArray slave =
        startSim(sim, {QStringLiteral("--link"), QString::fromStdString(link)});
    if (!replaced) {
        QCOMPARE(slave, QByteArray());
        QVERIFY(sim.state() == QProcess::NotRunning || sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 1);
        QVERIFY(exists(link));
        QCOMPARE(readLink(link), before);
        return;
    }
    QVERIFY2(slave.startsWith("/dev/pts/"), slave.constData());
    QCOMPARE(readLink(link), slave.toStdString());  // ready means linked
    PtyPort port(link);
    QVERIFY(port.send("*IDN?"));
    QCOMPARE(port.reply(16), QByteArray("LQS-6200B V2.1\n\r"));
    QVERIFY(terminatesCleanly(sim));
    QVERIFY(!exists(link));
}

void TestSimCli::lineOptions_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<double>("minMs");       // ISET1? to the last byte of "1.00\n\r"
    QTest::addColumn<bool>("nextAnswered");  // VSET1?, written right behind ISET1?

    const double byte9600 = 10.0 * 1000 / 9600;
    QTest::newRow("defaults") << QStringList() << 14 * byte9600 + 10 << true;
    QTest::newRow("300 baud, 100 ms answer") << QStringList{"--baud", "300", "--answer-ms", "100"}
                                             << 14 * 10.0 * 1000 / 300 + 100 << true;
    // With any spacing a frame that comes while a reply is due is dropped; 5 ms
    // is less than a query's own time on the line, so the next one is taken.
    QTest::newRow("min spacing") << QStringList{"--jitter-ms", "0", "--min-spacing-ms", "5"}
                                 << 14 * byte9600 + 10 << false;
}

void TestSimCli::lineOptions() {
    QFETCH(QStringList, args);
    QFETCH(double, minMs);
    QFETCH(bool, nextAnswered);
    QProcess sim;
    const QByteArray slave = startSim(sim, args << QStringLiteral("--no-link"));
    QVERIFY2(slave.startsWith("/dev/pts/"), slave.constData());

    PtyPort port(slave.toStdString());
    const auto t0 = Clock::now();
    QVERIFY(port.send("ISET1?"));
    QVERIFY(port.send("VSET1?"));
    const auto got = port.read(6);
    QCOMPARE(got.bytes, QByteArray("1.00\n\r"));
    const std::chrono::duration<double, std::milli> took = got.at.back() - t0;
    QVERIFY2(took.count() >= minMs && took.count() < minMs + 300,
             QByteArray::number(took.count()).constData());
    if (nextAnswered) {
        QCOMPARE(port.reply(7), QByteArray("12.00\n\r"));
    } else {
        // Replies keep their queries' order: had VSET1? been answered, it would come first.
        QVERIFY(port.send("VSET2?"));
        QCOMPARE(port.reply(6), QByteArray("5.00\n\r"));
    }
    QVERIFY(terminatesCleanly(sim));
}

// Refused before any port is made, with what was wrong; "%DIR%" is a
// folder of the test's.
void TestSimCli::badOption_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("negative") << QStringList{"--baud", "-1"} << 2
                              << QStringLiteral(
                                     "--baud wants a whole number from 0 to 10000000, not '-1'");
    QTest::newRow("not a number") << QStringList{"--answer-ms", "x"} << 2
                                  << QStringLiteral("--answer-ms wants a whole number");
    QTest::newRow("missing") << QStringList{"--min-spacing-ms"} << 2
                             << QStringLiteral("--min-spacing-ms wants a value");
    QTest::newRow("step without its value")
        << QStringList{"--load-step"} << 2 << QStringLiteral("--load-step wants a value");
    QTest::newRow("step of two parts")
        << QStringList{"--load-step", "1:2"} << 2
        << QStringLiteral("--load-step 1:2: expected CHANNEL:SECONDS:OHMS");
    QTest::newRow("step of four parts") << QStringList{"--load-step", "1:2:3:4"} << 2
                                        << QStringLiteral("expected CHANNEL:SECONDS:OHMS");
    QTest::newRow("step on channel 3")
        << QStringList{"--load-step", "3:1:2"} << 2
        << QStringLiteral("--load-step 3:1:2: the channel is 1 or 2");
    QTest::newRow("step before the output")
        << QStringList{"--load-step", "1:-1:2"} << 2
        << QStringLiteral("the seconds are a number from 0 to 86400");
    QTest::newRow("step after a day") << QStringList{"--load-step", "1:86401:2"} << 2
                                      << QStringLiteral("the seconds are a number from 0 to 86400");
    QTest::newRow("negative load")
        << QStringList{"--load-step", "1:1:-2"} << 2
        << QStringLiteral("the load is a resistance in ohms, 0 or more, or 'open'");
    QTest::newRow("load not a number") << QStringList{"--load-step", "2:0:nan"} << 2
                                       << QStringLiteral("the load is a resistance in ohms");
    QTest::newRow("control in no folder")
        << QStringList{"--control", "%DIR%/none/fifo"} << 1
        << QStringLiteral(
               "cannot make the control FIFO %DIR%/none/fifo: No such file or directory");
    QTest::newRow("control on a plain file")
        << QStringList{"--control", "%DIR%/file"} << 1
        << QStringLiteral("%DIR%/file is there and is not a FIFO of yours");
    QTest::newRow("events in no folder")
        << QStringList{"--events", "%DIR%/none/events"} << 1
        << QStringLiteral("cannot open %DIR%/none/events for the events");
}

void TestSimCli::badOption() {
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    args.replaceInStrings(QStringLiteral("%DIR%"), dir.path());
    message.replace(QStringLiteral("%DIR%"), dir.path());

    QProcess sim;
    QCOMPARE(startSim(sim, QStringList{"--no-link"} + args, true), QByteArray());
    QVERIFY(sim.state() == QProcess::NotRunning || sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), status);
    const QString errors = QString::fromLocal8Bit(sim.readAllStandardError());
    QVERIFY2(errors.startsWith(QStringLiteral("lqs-sim: ")) && errors.contains(message),
             qPrintable(errors));
    QVERIFY(file.exists());  // someone else's file is left alone
}

// Steps counted from the OUT1: one with it, one a second later. Model B at
// 12 V with a 3 A limit: 24 ohms draw 0.5 A, 6 ohms 2 A.
void TestSimCli::scheduledLoadStepChangesReadings() {
    QProcess sim;
    const QByteArray slave = startSim(sim, {"--no-link", "--events", "-", "--load-step", "1:1:6",
                                            "--load-step", "1:0:24", "--load-step", "2:0.5:open"});
    QVERIFY2(slave.startsWith("/dev/pts/"), slave.constData());
    Events events(sim);
    PtyPort port(slave.toStdString());
    QVERIFY(port.send("ISET1:3.00"));
    QVERIFY(port.send("ISET1?"));
    QCOMPARE(port.reply(6), QByteArray("3.00\n\r"));  // the line is free again
    const auto sent = Clock::now();
    QVERIFY(port.send("OUT1"));
    QVERIFY(port.send("IOUT1?"));
    QCOMPARE(port.reply(6), QByteArray("0.50\n\r"));

    // Stamped when OUT1's last byte was on the line, at 9600 baud, on our clock.
    const qint64 on = events.next("OUT1");
    QVERIFY(on >= nanosecondsOf(sent) + 6 * 1'041'666);
    QVERIFY(on < nanosecondsOf(sent) + 1'000'000'000);
    const qint64 light = events.next("load 1 24");
    QVERIFY(light >= on && light - on < 50'000'000);
    QVERIFY(events.next("load 2 open") - on >= 500'000'000);
    const qint64 heavy = events.next("load 1 6");
    QVERIFY(heavy - on >= 1'000'000'000 && heavy - on < 1'300'000'000);

    QVERIFY(port.send("IOUT1?"));
    QCOMPARE(port.reply(6), QByteArray("2.00\n\r"));
    QVERIFY(port.send("OUT0"));
    QVERIFY(events.next("OUT0") > heavy);
    QVERIFY(terminatesCleanly(sim));
}

// Lines on the FIFO take effect as they come; bad ones are told and change nothing.
void TestSimCli::controlLinesStepLoads() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fifo = dir.filePath(QStringLiteral("control"));
    QProcess sim;
    const QByteArray slave = startSim(sim, {"--no-link", "--events", "-", "--control", fifo}, true);
    QVERIFY2(slave.startsWith("/dev/pts/"), slave.constData());
    Events events(sim);

    const int control = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
    QVERIFY(control >= 0);
    const QByteArray lines =
        "load 1 24\n"
        "unload 1 2\n"
        "load 3 2\n"
        "load 1 -2\r\n"
        "\n" +
        QByteArray(300, 'x') + "\n" + "  load\t2  open \r\n";
    QCOMPARE(::write(control, lines.constData(), size_t(lines.size())), ssize_t(lines.size()));
    ::close(control);  // a writer leaving ends nothing
    QVERIFY(events.next("load 1 24") > 0);
    QVERIFY(events.next("load 2 open") > 0);
    const QByteArray expected =
        "lqs-sim: control line \"unload 1 2\" ignored: expected 'load CHANNEL OHMS'\n"
        "lqs-sim: control line \"load 3 2\" ignored: the channel is 1 or 2\n"
        "lqs-sim: control line \"load 1 -2\" ignored: the load is a resistance in ohms, 0 or "
        "more, or 'open'\n"
        "lqs-sim: control line longer than 256 characters ignored\n";
    QByteArray errors;
    LQS_TRY_VERIFY((errors += sim.readAllStandardError()).size() >= expected.size());
    QCOMPARE(errors, expected);

    PtyPort port(slave.toStdString());
    QVERIFY(port.send("OUT1"));
    QVERIFY(port.send("IOUT1?"));
    QCOMPARE(port.reply(6), QByteArray("0.50\n\r"));
    QVERIFY(port.send("IOUT2?"));
    QCOMPARE(port.reply(6), QByteArray("0.00\n\r"));
    QVERIFY(terminatesCleanly(sim));
    QVERIFY(!QFile::exists(fifo));
}

QTEST_GUILESS_MAIN(TestSimCli)
#include "tst_sim_cli.moc"
