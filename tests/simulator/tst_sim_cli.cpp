#include <sys/stat.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "pty_port.h"
#include "sim_link.h"

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
    QTRY_VERIFY(readLink(link) == slave.toStdString());

    PtyPort port(link);
    QVERIFY(port.send("*IDN?"));
    QCOMPARE(port.reply(16), QByteArray("LQS-6200A V2.1\n\r"));
    QTRY_VERIFY(sim.canReadLine());
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
    QTRY_COMPARE(linkIndexOf(slave1), stale);

    QProcess second;
    const QByteArray slave2 = startSim(second, {QStringLiteral("--model"), QStringLiteral("C")});
    QVERIFY(slave2.startsWith("/dev/pts/"));
    QTRY_VERIFY(linkIndexOf(slave2) >= 0);
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

QTEST_GUILESS_MAIN(TestSimCli)
#include "tst_sim_cli.moc"
