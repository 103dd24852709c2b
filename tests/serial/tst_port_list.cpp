#include "fake_ports.h"
#include "serial/port_list.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace lqs;

using lqs::test::FakeTree;

class TestPortList : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void listing_data();
    void listing();
    void atMostTen();
    void missingRoots();
    void untrustedLinkDirectory_data();
    void untrustedLinkDirectory();
    void descriptions();
    void adapterKnownAgain();
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

    QTest::newRow("link directory: live links only, natural order")
        << QStringList{}
        << QStringList{QStringLiteral("ttyLQS5"), QStringLiteral("ttyLQS1 dead"),
                       QStringLiteral("ttyLQS0"), QStringLiteral("ttyLQS10")}
        << QStringList{QStringLiteral("$sim/ttyLQS0"), QStringLiteral("$sim/ttyLQS5"),
                       QStringLiteral("$sim/ttyLQS10")};
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
    nowhere.linkDirectories.first().path += QStringLiteral("-missing");
    QCOMPARE(listSerialPorts(nowhere), QStringList());

    // Without sysfs the simulator is still offered.
    nowhere.linkDirectories = tree.sources.linkDirectories;
    QCOMPARE(listSerialPorts(nowhere), tree.resolve({QStringLiteral("$sim/ttyLQS2")}));
}

// Links in a directory someone else could write to may lead to another
// user's fake instrument; the simulator refuses such a directory, so does the list.
void TestPortList::untrustedLinkDirectory_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("listed");
    QTest::newRow("private, mode 0700") << QStringLiteral("0700") << true;
    QTest::newRow("writable by everyone") << QStringLiteral("0777") << false;
    QTest::newRow("writable by the group") << QStringLiteral("0770") << false;
    QTest::newRow("owned by another user") << QStringLiteral("nobody") << false;
    QTest::newRow("a link to a private directory") << QStringLiteral("symlink") << false;
}

void TestPortList::untrustedLinkDirectory() {
    QFETCH(QString, change);
    QFETCH(bool, listed);
    FakeTree tree;
    QVERIFY(tree.ok());
    QVERIFY(tree.addSimLink(QStringLiteral("ttyLQS0")));
    const QByteArray dir = QFile::encodeName(tree.simDir());
    if (change == QLatin1String("nobody")) {
        const passwd* nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || !nobody) QSKIP("needs root and a user nobody");
        QCOMPARE(::chown(dir.constData(), nobody->pw_uid, nobody->pw_gid), 0);
    } else if (change == QLatin1String("symlink")) {
        const QString real = tree.simDir() + QStringLiteral("-real");
        QVERIFY(QDir().rename(tree.simDir(), real));
        QVERIFY(QFile::link(real, tree.simDir()));
    } else {
        QCOMPARE(::chmod(dir.constData(), static_cast<mode_t>(change.toUInt(nullptr, 8))), 0);
    }
    const QStringList expected =
        listed ? QStringList{QStringLiteral("$sim/ttyLQS0")} : QStringList();
    QCOMPARE(listSerialPorts(tree.sources), tree.resolve(expected));
}

// What sysfs knows of a USB adapter is found above its tty, whether the tty
// hangs off the adapter's port (usb-serial) or its interface (ACM); order and
// names are those of the plain list.
void TestPortList::descriptions() {
    FakeTree tree;
    QVERIFY(tree.ok());
    QVERIFY(tree.addTty(QStringLiteral("ttyS0 dev type=4")));
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB1"),
                           {QStringLiteral("idVendor=1a86"), QStringLiteral("idProduct=7523")}));
    QVERIFY(tree.addUsbTty(
        QStringLiteral("ttyUSB0"),
        {QStringLiteral("idVendor=0403"), QStringLiteral("idProduct=6001"),
         QStringLiteral("manufacturer=FTDI"), QStringLiteral("product=FT232R USB UART"),
         QStringLiteral("serial=A10K5XYZ")}));
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyACM0"),
                           {QStringLiteral("idVendor=2341"), QStringLiteral("idProduct=0043"),
                            QStringLiteral("manufacturer=Arduino (www.arduino.cc)")},
                           true));
    QVERIFY(tree.addSimLink(QStringLiteral("ttyLQS0")));

    QStringList lines;
    for (const PortEntry& e : listPortEntries(tree.sources))
        lines << e.name + QLatin1Char('|') + e.description;
    QCOMPARE(lines,
             tree.resolve(
                 {QStringLiteral("$dev/ttyS0|"),
                  QStringLiteral("$dev/ttyUSB0|FTDI FT232R USB UART (serial A10K5XYZ, 0403:6001)"),
                  QStringLiteral("$dev/ttyUSB1|USB adapter (1a86:7523)"),
                  QStringLiteral("$dev/ttyACM0|Arduino (www.arduino.cc) (2341:0043)"),
                  QStringLiteral("$sim/ttyLQS0|simulated instrument")}));
}

// An adapter is known again by make and serial number under whatever node
// it comes back on; one without a serial number is never guessed at.
void TestPortList::adapterKnownAgain() {
    const QStringList ftdi{QStringLiteral("idVendor=0403"), QStringLiteral("idProduct=6001"),
                           QStringLiteral("serial=A10K5XYZ")};
    FakeTree tree;
    QVERIFY(tree.ok());
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB0"), ftdi));
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB1"),
                           {QStringLiteral("idVendor=1a86"), QStringLiteral("idProduct=7523")}));
    const QString before =
        usbAdapterIdentity(tree.sources.dev + QStringLiteral("/ttyUSB0"), tree.sources);
    QVERIFY(!before.isEmpty());
    QCOMPARE(usbAdapterIdentity(tree.sources.dev + QStringLiteral("/ttyUSB1"), tree.sources),
             QString());
    QCOMPARE(usbAdapterIdentity(tree.sources.dev + QStringLiteral("/ttyS0"), tree.sources),
             QString());
    // Known through a link to its node, as /dev/serial/by-id gives it.
    const QString byId = tree.path() + QStringLiteral("/usb-FTDI_A10K5XYZ");
    QVERIFY(QFile::link(tree.sources.dev + QStringLiteral("/ttyUSB0"), byId));
    QCOMPARE(usbAdapterIdentity(byId, tree.sources), before);

    // Pulled out and plugged back while another of its make took its node.
    QVERIFY(tree.unplug(QStringLiteral("ttyUSB0")));
    QCOMPARE(portWithUsbIdentity(before, tree.sources), QString());
    QStringList other = ftdi;
    other.last() = QStringLiteral("serial=B77Q");
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB0"), other));
    QCOMPARE(portWithUsbIdentity(before, tree.sources), QString());
    QVERIFY(tree.addUsbTty(QStringLiteral("ttyUSB2"), ftdi));
    QCOMPARE(portWithUsbIdentity(before, tree.sources),
             tree.sources.dev + QStringLiteral("/ttyUSB2"));
    QCOMPARE(portWithUsbIdentity(QString(), tree.sources), QString());
}

QTEST_APPLESS_MAIN(TestPortList)
#include "tst_port_list.moc"
