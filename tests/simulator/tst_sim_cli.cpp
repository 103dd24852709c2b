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

// Starts lqs-sim and returns its first stdout line (the pty path).
QByteArray startSim(QProcess& p, const QStringList& args) {
    p.setProgram(QStringLiteral(LQS_SIM_EXE));
    p.setArguments(args);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
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
    void badLineOption_data();
    void badLineOption();
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

void TestSimCli::badLineOption_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("negative") << QStringList{"--baud", "-1"};
    QTest::newRow("not a number") << QStringList{"--answer-ms", "x"};
    QTest::newRow("missing") << QStringList{"--min-spacing-ms"};
}

void TestSimCli::badLineOption() {
    QFETCH(QStringList, args);
    QProcess sim;
    QCOMPARE(startSim(sim, args << QStringLiteral("--no-link")), QByteArray());
    QVERIFY(sim.state() == QProcess::NotRunning || sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 2);
}

QTEST_GUILESS_MAIN(TestSimCli)
#include "tst_sim_cli.moc"
