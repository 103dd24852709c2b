// Ports held by other processes, with real second processes: this test
// program started again as a holder.
#include "pty_pair.h"
#include "serial/comm_port_posix.h"

#include <QCoreApplication>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

using namespace lqs;
using lqs::test::PtyPair;

namespace {

// Child side. --hold PATH [--exclusive]: has PATH open, as a terminal program
// that takes no lock does. --far-end [PATH]: makes a pseudo-terminal and
// keeps both its sides open, as the simulator does; also has PATH open when
// given. Prints its own slave (or "ready") once everything is open, and ends
// when its input closes.
int holdInChild(int argc, char** argv) {
    const bool farEnd = std::strcmp(argv[1], "--far-end") == 0;
    const char* path = argc > 2 && argv[2][0] != '-' ? argv[2] : nullptr;
    const bool exclusive = argc > 3 && std::strcmp(argv[3], "--exclusive") == 0;
    std::string own = "ready";
    if (farEnd) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        char name[128] = {};
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0 || ::open(name, O_RDWR | O_NOCTTY) < 0)
            return 1;
        own = name;
    }
    if (path) {
        const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || (exclusive && ::ioctl(fd, TIOCEXCL) != 0)) return 1;
    }
    std::printf("%s\n", own.c_str());
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

struct Holder {
    QProcess process;
    QString line;  // its first line

    bool start(const QStringList& args) {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QCoreApplication::applicationFilePath(), args);
        if (!process.waitForStarted(5000)) return false;
        while (!process.canReadLine())
            if (!process.waitForReadyRead(5000)) return false;
        line = QString::fromLocal8Bit(process.readLine()).trimmed();
        return true;
    }
    int pid() const { return int(process.processId()); }
    bool end() {
        process.closeWriteChannel();
        return process.waitForFinished(5000) && process.exitCode() == 0;
    }
    ~Holder() {
        if (process.state() == QProcess::NotRunning) return;
        process.kill();
        process.waitForFinished(5000);
    }
};

// As /proc/PID/comm gives it: at most 15 bytes.
QString programName() {
    return QCoreApplication::applicationFilePath().section(QLatin1Char('/'), -1).left(15);
}

}  // namespace

class TestPortHolders : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void heldOpenIsRefusedUntilLetGo();
    void farEndOfThePseudoTerminalIsNoHolder();
    void anotherTerminalsFarEndIsAHolder();
    void refusalLeavesTheHoldersExclusiveMode();
};

// The holder took neither the lock nor exclusive mode: only /proc shows it.
void TestPortHolders::heldOpenIsRefusedUntilLetGo() {
    PtyPair pty;
    QVERIFY(pty.ok());
    Holder other;
    QVERIFY(other.start({QStringLiteral("--hold"), QString::fromStdString(pty.slavePath())}));

    PosixCommPort port;
    QCOMPARE(port.open(pty.slavePath()), CommOpenResult::OpenFailed);
    QCOMPARE(QString::fromStdString(port.openFailureDetail()),
             QStringLiteral("%1 is in use by another program: %2 (process %3). Close that "
                            "program, or pick another port.")
                 .arg(QString::fromStdString(pty.slavePath()), programName())
                 .arg(other.pid()));

    QVERIFY(other.end());
    QCOMPARE(port.open(pty.slavePath()), CommOpenResult::Ok);
}

// The simulator holds both sides of its pseudo-terminal; its port is free.
void TestPortHolders::farEndOfThePseudoTerminalIsNoHolder() {
    Holder sim;
    QVERIFY(sim.start({QStringLiteral("--far-end")}));
    QVERIFY(sim.line.startsWith(QLatin1String("/dev/")));

    PosixCommPort port;
    QCOMPARE(port.open(sim.line.toStdString()), CommOpenResult::Ok);
}

// Holding some pseudo-terminal's master does not make a process the far end of every one.
void TestPortHolders::anotherTerminalsFarEndIsAHolder() {
    PtyPair pty;
    QVERIFY(pty.ok());
    Holder other;
    QVERIFY(other.start({QStringLiteral("--far-end"), QString::fromStdString(pty.slavePath())}));
    QVERIFY(other.line != QString::fromStdString(pty.slavePath()));

    PosixCommPort port;
    QCOMPARE(port.open(pty.slavePath()), CommOpenResult::OpenFailed);
    QVERIFY(port.openFailureDetail().find("(process " + std::to_string(other.pid()) + ")") !=
            std::string::npos);
}

// Root passes TIOCEXCL; refusing must not take the holder's exclusive mode away.
void TestPortHolders::refusalLeavesTheHoldersExclusiveMode() {
    PtyPair pty;
    QVERIFY(pty.ok());
    Holder other;
    QVERIFY(other.start({QStringLiteral("--hold"), QString::fromStdString(pty.slavePath()),
                         QStringLiteral("--exclusive")}));

    PosixCommPort port;
    QCOMPARE(port.open(pty.slavePath()), CommOpenResult::OpenFailed);

    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        QCOMPARE(errno, EBUSY);  // an ordinary user: the mode held
        return;
    }
    int exclusive = 0;
    const int got = ::ioctl(fd, TIOCGEXCL, &exclusive);
    ::close(fd);
    QCOMPARE(got, 0);
    QCOMPARE(exclusive, 1);
}

int main(int argc, char** argv) {
    if (argc > 1 && (qstrcmp(argv[1], "--hold") == 0 || qstrcmp(argv[1], "--far-end") == 0))
        return holdInChild(argc, argv);
    QCoreApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    TestPortHolders test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_port_holders.moc"
