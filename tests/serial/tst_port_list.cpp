#include "port_list.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace lqs;

namespace {

// A fake machine: sysfs tty class entries are links to device directories, as
// on a real system, with /dev nodes and a simulator link directory beside them.
class FakeTree {
public:
    FakeTree() {
        const QDir root(m_tmp.path());
        for (const char* d : {"sys/class/tty", "sys/devices", "dev", "sim"})
            root.mkpath(QString::fromLatin1(d));
        sources.sysClassTty = root.filePath(QStringLiteral("sys/class/tty"));
        sources.dev = root.filePath(QStringLiteral("dev"));
        sources.simulatorDir = root.filePath(QStringLiteral("sim"));
    }

    // "<name> [dev] [type=N] [nonode]": a device link, a type file, no /dev node.
    bool addTty(const QString& entry) {
        const QStringList parts = entry.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString name = parts.first();
        const QDir root(m_tmp.path());
        const QString devDir = root.filePath(QStringLiteral("sys/devices/") + name);
        if (!root.mkpath(devDir)) return false;
        if (!QFile::link(devDir, sources.sysClassTty + QLatin1Char('/') + name)) return false;
        if (parts.contains(QLatin1String("dev"))) {
            const QString parent = root.filePath(QStringLiteral("sys/devices/parent-") + name);
            if (!root.mkpath(parent) || !QFile::link(parent, devDir + QStringLiteral("/device")))
                return false;
        }
        for (const QString& p : parts) {
            if (!p.startsWith(QLatin1String("type="))) continue;
            QFile type(devDir + QStringLiteral("/type"));
            if (!type.open(QIODevice::WriteOnly)) return false;
            type.write(p.mid(5).toLatin1() + '\n');
        }
        if (!parts.contains(QLatin1String("nonode"))) {
            QFile node(sources.dev + QLatin1Char('/') + name);
            if (!node.open(QIODevice::WriteOnly)) return false;
        }
        return true;
    }

    // "<link name>" points at a live target, "<link name> dead" at a missing one.
    bool addSimLink(const QString& entry) {
        const QStringList parts = entry.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString target = m_tmp.filePath(QStringLiteral("pts-") + parts.first());
        if (!parts.contains(QLatin1String("dead"))) {
            QFile t(target);
            if (!t.open(QIODevice::WriteOnly)) return false;
        }
        return QFile::link(target, sources.simulatorDir + QLatin1Char('/') + parts.first());
    }

    // "$dev/x" and "$sim/x" in an expected list, made absolute.
    QStringList resolve(QStringList paths) const {
        for (QString& p : paths) {
            p.replace(QLatin1String("$dev"), sources.dev);
            p.replace(QLatin1String("$sim"), sources.simulatorDir);
        }
        return paths;
    }

    bool ok() const { return m_tmp.isValid(); }

    PortListSources sources;

private:
    QTemporaryDir m_tmp;
};

}  // namespace

class TestPortList : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void listing_data();
    void listing();
    void atMostTen();
    void missingRoots();
};

void TestPortList::listing_data() {
    QTest::addColumn<QStringList>("ttys");
    QTest::addColumn<QStringList>("simLinks");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("standard port needs a UART and a device")
        << QStringList{QStringLiteral("ttyS0 dev type=4"), QStringLiteral("ttyS1 dev type=0"),
                       QStringLiteral("ttyS2 dev"), QStringLiteral("ttyS3 type=4"),
                       QStringLiteral("ttyS4 dev type=x")}
        << QStringList{} << QStringList{QStringLiteral("$dev/ttyS0")};

    QTest::newRow("natural order")
        << QStringList{QStringLiteral("ttyS10 dev type=4"), QStringLiteral("ttyS2 dev type=4"),
                       QStringLiteral("ttyS1 dev type=4"), QStringLiteral("ttyUSB10 dev"),
                       QStringLiteral("ttyUSB9 dev")}
        << QStringList{}
        << QStringList{QStringLiteral("$dev/ttyS1"), QStringLiteral("$dev/ttyS2"),
                       QStringLiteral("$dev/ttyS10"), QStringLiteral("$dev/ttyUSB9"),
                       QStringLiteral("$dev/ttyUSB10")};

    QTest::newRow("groups: standard, USB, ACM, others, simulator")
        << QStringList{QStringLiteral("rfcomm0 dev"),   QStringLiteral("ttyACM0 dev"),
                       QStringLiteral("ttyXRUSB0 dev"), QStringLiteral("ttyAMA0 dev"),
                       QStringLiteral("ttyUSB0 dev"),   QStringLiteral("ttyS0 dev type=4")}
        << QStringList{QStringLiteral("ttyLQS0")}
        << QStringList{QStringLiteral("$dev/ttyS0"),   QStringLiteral("$dev/ttyUSB0"),
                       QStringLiteral("$dev/ttyACM0"), QStringLiteral("$dev/rfcomm0"),
                       QStringLiteral("$dev/ttyAMA0"), QStringLiteral("$dev/ttyXRUSB0"),
                       QStringLiteral("$sim/ttyLQS0")};

    QTest::newRow("virtual consoles and ports without hardware")
        << QStringList{QStringLiteral("tty"),     QStringLiteral("tty0"),
                       QStringLiteral("tty12"),   QStringLiteral("console"),
                       QStringLiteral("ptmx"),    QStringLiteral("tty7 dev"),
                       QStringLiteral("ttyUSB3"), QStringLiteral("ttyACM1 dev")}
        << QStringList{} << QStringList{QStringLiteral("$dev/ttyACM1")};

    QTest::newRow("no node under dev") << QStringList{QStringLiteral("ttyUSB0 dev nonode"),
                                                      QStringLiteral("ttyS0 dev type=4 nonode")}
                                       << QStringList{} << QStringList{};

    QTest::newRow("simulator: live links only, own names only")
        << QStringList{}
        << QStringList{QStringLiteral("ttyLQS5"), QStringLiteral("ttyLQS1 dead"),
                       QStringLiteral("ttyLQS0"), QStringLiteral("ttyLQS10"),
                       QStringLiteral("ttyUSB0")}
        << QStringList{QStringLiteral("$sim/ttyLQS0"), QStringLiteral("$sim/ttyLQS5")};
}

void TestPortList::listing() {
    QFETCH(QStringList, ttys);
    QFETCH(QStringList, simLinks);
    QFETCH(QStringList, expected);

    FakeTree tree;
    QVERIFY(tree.ok());
    for (const QString& t : ttys) QVERIFY2(tree.addTty(t), qPrintable(t));
    for (const QString& s : simLinks) QVERIFY2(tree.addSimLink(s), qPrintable(s));

    QCOMPARE(listSerialPorts(tree.sources), tree.resolve(expected));
}

// The list stops at ten, and what is cut is the end of the order.
void TestPortList::atMostTen() {
    FakeTree tree;
    QVERIFY(tree.ok());
    QStringList expected;
    for (int i = 11; i >= 0; --i) QVERIFY(tree.addTty(QStringLiteral("ttyUSB%1 dev").arg(i)));
    for (int i = 0; i < 10; ++i) expected << QStringLiteral("$dev/ttyUSB%1").arg(i);
    QVERIFY(tree.addSimLink(QStringLiteral("ttyLQS0")));

    QCOMPARE(listSerialPorts(tree.sources), tree.resolve(expected));
}

void TestPortList::missingRoots() {
    FakeTree tree;
    QVERIFY(tree.ok());
    QVERIFY(tree.addTty(QStringLiteral("ttyUSB0 dev")));
    QVERIFY(tree.addSimLink(QStringLiteral("ttyLQS2")));

    PortListSources nowhere = tree.sources;
    nowhere.sysClassTty += QStringLiteral("-missing");
    nowhere.simulatorDir += QStringLiteral("-missing");
    QCOMPARE(listSerialPorts(nowhere), QStringList());

    // Without sysfs the simulator is still offered.
    nowhere.simulatorDir = tree.sources.simulatorDir;
    QCOMPARE(listSerialPorts(nowhere), tree.resolve({QStringLiteral("$sim/ttyLQS2")}));
}

QTEST_APPLESS_MAIN(TestPortList)
#include "tst_port_list.moc"
