// The SCPI server against real sockets, fed to an echoing session, and its
// dialog driven by the mouse.
#include "named.h"
#include "remote/listen_address.h"
#include "remote/remote_dialog.h"
#include "remote/scpi_server.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

using namespace lqs;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;  // freed memory stays in quarantine: RSS says nothing
#else
constexpr bool kAsan = false;
#endif

int g_liveSessions = 0;
int g_linesTaken = 0;
std::vector<std::function<void()>> g_held;  // answers to "hold" lines, given by the test

// "ok:<line>"; a line starting "slow" is answered and finished from a timer,
// one starting "hold" when the test says; "fill" gets 1000 bytes.
class EchoSession : public LineSession {
public:
    EchoSession() { ++g_liveSessions; }
    ~EchoSession() override {
        --g_liveSessions;
        write("bye");  // calling back on the way out must be harmless
        finished();
    }
    void takeLine(const QByteArray& line) override {
        ++g_linesTaken;
        auto answer = [w = write, f = finished, line] {
            w(line == "fill" ? QByteArray(1000, 'f') : "ok:" + line);
            f();
        };
        if (line.startsWith("slow"))
            QTimer::singleShot(20, qApp, answer);
        else if (line.startsWith("hold"))
            g_held.push_back(answer);
        else
            answer();
    }
    void lineTooLong() override { write("too long"); }
};

ScpiServer::SessionFactory echo() {
    return [] { return std::make_unique<EchoSession>(); };
}

struct Client {
    QTcpSocket socket;
    QByteArray got;
    explicit Client(quint16 port) {
        QObject::connect(&socket, &QIODevice::readyRead, [this] { got += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool ask(const QByteArray& line, const QByteArray& reply) {
        got.clear();
        socket.write(line);
        return QTest::qWaitFor([&] { return got.size() >= reply.size(); }, 2000) && got == reply;
    }
};

bool waitClients(ScpiServer& server, int n) {
    QSignalSpy changed(&server, &ScpiServer::clientsChanged);
    while (server.clientCount() != n) {
        if (!changed.wait(5000)) return false;
    }
    return true;
}

int rawConnect(quint16 port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);  // the kernel completes it
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

void resetClose(int fd) {
    const linger now{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(fd);
}

long rssKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int openFds() {
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .size();
}

}  // namespace

class tst_ScpiServer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void framing_data();
    void framing();
    void lateCallbacksAfterClose();
    void clientSlots();
    void silentClientsYieldSooner();
    void httpRequestIsClosed_data();
    void httpRequestIsClosed();
    void neverReadingClient();
    void thousandConnections();
    void loopbackOnly_data();
    void loopbackOnly();
    void dialog();
    void listenAddress_data();
    void listenAddress();
    void allowList_data();
    void allowList();
    void outsideTheAllowListIsClosed();
};

void tst_ScpiServer::framing_data() {
    QTest::addColumn<QByteArrayList>("packets");  // each sent once the one before is answered
    QTest::addColumn<QByteArrayList>("replies");  // what each packet brings back
    QByteArray garbage;
    for (int b = 0; b < 256; ++b) {
        if (b != '\n' && b != '\r') garbage += char(b);
    }
    QByteArray many, manyReplies;
    for (int i = 0; i < 200; ++i) {
        many += QByteArray::number(i) + '\n';
        manyReplies += "ok:" + QByteArray::number(i) + '\n';
    }
    const QByteArray x3000(3000, 'x');
    QTest::newRow("one line") << QByteArrayList{"hello\n"} << QByteArrayList{"ok:hello\n"};
    QTest::newRow("crlf, empty lines, several in a packet")
        << QByteArrayList{"a\r\nb\r\n\n\r\n"} << QByteArrayList{"ok:a\nok:b\nok:\nok:\n"};
    QTest::newRow("a lone cr is content")
        << QByteArrayList{"a\rb\n"} << QByteArrayList{"ok:a\rb\n"};
    QTest::newRow("split across packets, cr apart from lf")
        << QByteArrayList{"1\nhel", "lo\r\n2\r", "\n"}
        << QByteArrayList{"ok:1\n", "ok:hello\n", "ok:2\n"};
    QTest::newRow("more lines than one turn")
        << QByteArrayList{many} << QByteArrayList{manyReplies};
    QTest::newRow("late answers keep the order")
        << QByteArrayList{"slow1\nfast\nslow2\n3\n"}
        << QByteArrayList{"ok:slow1\nok:fast\nok:slow2\nok:3\n"};
    QTest::newRow("longest line taken") << QByteArrayList{QByteArray(1024, 'y') + "\r\n"}
                                        << QByteArrayList{"ok:" + QByteArray(1024, 'y') + '\n'};
    QTest::newRow("over-long line dropped, connection kept")
        << QByteArrayList{QByteArray(1025, 'x') + "\nnext\n"}
        << QByteArrayList{"too long\nok:next\n"};
    QTest::newRow("over-long line across packets")
        << QByteArrayList{"a\n" + x3000, "x\nnext\n"}
        << QByteArrayList{"ok:a\n", "too long\nok:next\n"};
    QTest::newRow("binary garbage passed on")
        << QByteArrayList{garbage + '\n'} << QByteArrayList{"ok:" + garbage + '\n'};
}

void tst_ScpiServer::framing() {
    QFETCH(QByteArrayList, packets);
    QFETCH(QByteArrayList, replies);
    ScpiServer server(echo());
    QString error;
    QVERIFY2(server.start(0, false, &error), qPrintable(error));
    Client c(server.port());
    QByteArray expected;
    for (int i = 0; i < packets.size(); ++i) {
        c.socket.write(packets[i]);
        expected += replies[i];
        QVERIFY(QTest::qWaitFor([&] { return c.got.size() >= expected.size(); }, 5000));
        QCOMPARE(c.got, expected);
    }
    QCOMPARE(c.socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(server.clientCount(), 1);
}

void tst_ScpiServer::lateCallbacksAfterClose() {
    ScpiServer server(echo());
    QVERIFY(server.start(0, false, nullptr));
    {
        Client c(server.port());
        c.socket.write("hold\n");
        QTRY_COMPARE(g_held.size(), std::size_t(1));
    }
    QVERIFY(waitClients(server, 0));
    QTRY_COMPARE(g_liveSessions, 0);
    g_held.front()();  // write and finished for a client long gone
    g_held.clear();
}

void tst_ScpiServer::clientSlots() {
    ScpiServer server(echo());
    QVERIFY(server.start(0, false, nullptr));
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < ScpiServer::MaxClients; ++i) {
        clients.push_back(std::make_unique<Client>(server.port()));
        QVERIFY(waitClients(server, i + 1));
    }
    Client ninth(server.port());
    QSignalSpy refused(&ninth.socket, &QAbstractSocket::disconnected);
    QVERIFY(refused.wait(5000));
    QCOMPARE(ninth.got, QByteArray("The server is full: it takes 8 clients at a time.\n"));
    for (auto& c : clients) QVERIFY(c->ask("still here\n", "ok:still here\n"));

    // A newcomer takes the slot of the client silent longest, once silent enough.
    server.setIdleGrace(0);
    QSignalSpy yielded(&clients[0]->socket, &QAbstractSocket::disconnected);
    Client newcomer(server.port());
    QVERIFY(newcomer.ask("hi\n", "ok:hi\n"));
    QVERIFY(yielded.count() == 1 || yielded.wait(5000));
    QCOMPARE(server.clientCount(), ScpiServer::MaxClients);
}

// Connections that never send a line hold no slot for long; one that has
// spoken keeps its slot for the whole grace.
void tst_ScpiServer::silentClientsYieldSooner() {
    ScpiServer server(echo());
    QVERIFY(server.start(0, false, nullptr));
    server.setSilentGrace(0);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < ScpiServer::MaxClients; ++i) {
        clients.push_back(std::make_unique<Client>(server.port()));
        QVERIFY(waitClients(server, i + 1));
    }
    Client newcomer(server.port());
    QVERIFY(newcomer.ask("hi\n", "ok:hi\n"));
    QCOMPARE(server.clientCount(), ScpiServer::MaxClients);

    for (auto& c : clients)
        if (c->socket.state() == QAbstractSocket::ConnectedState)
            QVERIFY(c->ask("here\n", "ok:here\n"));
    Client late(server.port());
    QSignalSpy refused(&late.socket, &QAbstractSocket::disconnected);
    QVERIFY(refused.wait(5000));
    QVERIFY(late.got.startsWith("The server is full"));
}

void tst_ScpiServer::httpRequestIsClosed_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("plain-text POST from a page") << QByteArray(
        "POST / HTTP/1.1\r\nHost: 127.0.0.1:5025\r\nContent-Type: text/plain\r\n"
        "Content-Length: 22\r\n\r\nVSET1:31.5\nOUT1\nhold\n");
    QTest::newRow("GET") << QByteArray("GET /favicon.ico HTTP/1.0\r\n\r\n");
    QTest::newRow("after a line") << QByteArray("*IDN?\nPUT /x HTTP/1.1\r\nOUT1\n");
}

void tst_ScpiServer::httpRequestIsClosed() {
    QFETCH(QByteArray, request);
    ScpiServer server(echo());
    QVERIFY(server.start(0, false, nullptr));
    Client page(server.port());
    QVERIFY(waitClients(server, 1));
    const int taken = g_linesTaken;
    QSignalSpy closed(&page.socket, &QAbstractSocket::disconnected);
    page.socket.write(request);
    QVERIFY(closed.wait(5000));
    QVERIFY(waitClients(server, 0));
    // Nothing after the request line reached the session.
    QCOMPARE(g_linesTaken - taken, request.startsWith("*IDN?") ? 1 : 0);
    QVERIFY(!page.got.contains("VSET1") && !page.got.contains("OUT1"));
    QVERIFY(g_held.empty());
}

void tst_ScpiServer::neverReadingClient() {
    ScpiServer server(echo());
    QVERIFY(server.start(0, false, nullptr));
    const long rss0 = rssKiB();
    const int taken0 = g_linesTaken;
    const int fd = rawConnect(server.port(), 4096);
    const QByteArray burst = QByteArray("fill\n").repeated(1000);
    int lastTaken = taken0;
    int still = 0;
    // Queries until the server has stopped taking them for a few rounds of
    // the event loop while TCP holds the client back (or memory runs away).
    QVERIFY(QTest::qWaitFor(
        [&] {
            bool blocked = false;
            for (int i = 0; i < 1000 && !blocked; ++i)
                blocked = ::send(fd, burst.constData(), burst.size(), MSG_NOSIGNAL) < 0 &&
                          errno == EAGAIN;
            still = blocked && g_linesTaken == lastTaken && lastTaken > taken0 ? still + 1 : 0;
            lastTaken = g_linesTaken;
            return still == 3 || rssKiB() - rss0 > 64 * 1024;
        },
        20000));
    QCOMPARE(still, 3);
    if (!kAsan) QVERIFY2(rssKiB() - rss0 < 16 * 1024, qPrintable(QString::number(rssKiB() - rss0)));

    Client other(server.port());
    QVERIFY(other.ask("ping\n", "ok:ping\n"));

    // Once it reads, its lines are taken again.
    QVERIFY(QTest::qWaitFor(
        [&] {
            static char sink[65536];
            while (::recv(fd, sink, sizeof sink, 0) > 0) {
            }
            return g_linesTaken > lastTaken + 100;
        },
        10000));
    resetClose(fd);
    QVERIFY(waitClients(server, 1));
}

void tst_ScpiServer::thousandConnections() {
    ScpiServer server(echo());
    QVERIFY(server.start(0, false, nullptr));
    const int fds0 = openFds();
    long rssWarm = 0;
    for (int i = 0; i < 1000; ++i) {
        if (i == 100) rssWarm = rssKiB();
        if (i % 2) {  // closed politely
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, server.port());
            QVERIFY(waitClients(server, 1));
            s.disconnectFromHost();
        } else {  // reset
            const int fd = rawConnect(server.port());
            QVERIFY(waitClients(server, 1));
            resetClose(fd);
        }
        QVERIFY(waitClients(server, 0));
    }
    QTRY_COMPARE(g_liveSessions, 0);
    QTRY_COMPARE(openFds(), fds0);
    QTRY_COMPARE(server.findChildren<QTcpSocket*>().size(), 0);
    if (!kAsan)
        QVERIFY2(rssKiB() - rssWarm < 2048, qPrintable(QString::number(rssKiB() - rssWarm)));
}

void tst_ScpiServer::loopbackOnly_data() {
    QTest::addColumn<bool>("allowOthers");
    QTest::addColumn<QString>("listening");
    QTest::newRow("by default") << false << "127.0.0.1:";
    QTest::newRow("others allowed") << true << "0.0.0.0:";
}

void tst_ScpiServer::loopbackOnly() {
    QFETCH(bool, allowOthers);
    QFETCH(QString, listening);
    QHostAddress outside;
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback()) outside = a;
    }
    if (outside.isNull()) QSKIP("No address here but loopback");
    ScpiServer server(echo());
    QVERIFY(server.start(0, allowOthers, nullptr));
    QCOMPARE(server.listeningText(), listening + QString::number(server.port()));
    QTcpSocket s;
    QSignalSpy connected(&s, &QAbstractSocket::connected);
    QSignalSpy failed(&s, &QAbstractSocket::errorOccurred);
    s.connectToHost(outside, server.port());
    QTRY_VERIFY(connected.count() + failed.count() > 0);
    QCOMPARE(connected.count() == 1, allowOthers);
    if (!allowOthers) QCOMPARE(s.error(), QAbstractSocket::ConnectionRefusedError);
}

void tst_ScpiServer::dialog() {
    ScpiServer server(echo());
    QVERIFY(server.start(0, true, nullptr));  // as from the command line
    RemoteDialog dialog(&server);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* port = test::named<QSpinBox>(&dialog, "PortSpin");
    auto* allow = test::named<QCheckBox>(&dialog, "AllowOthers");
    auto* start = test::named<QPushButton>(&dialog, "StartButton");
    auto* stop = test::named<QPushButton>(&dialog, "StopButton");
    auto* state = test::named<QLabel>(&dialog, "StateLabel");
    auto* list = test::named<QListWidget>(&dialog, "ClientList");
    QCOMPARE(dialog.windowTitle(), "Remote Control");
    // Both families of every address, where this computer has IPv6.
    QCOMPARE(state->text(), QString("Listening on %1").arg(server.listeningAddresses()));
    QVERIFY(state->text().startsWith(QString("Listening on 0.0.0.0:%1").arg(server.port())));
    QVERIFY(allow->isChecked() && !allow->isEnabled() && !port->isEnabled() && !start->isEnabled());
    QTest::mouseClick(stop, Qt::LeftButton);
    QVERIFY(!server.running());
    QCOMPARE(state->text(), "Stopped");
    QVERIFY(start->isEnabled() && !stop->isEnabled() && port->isEnabled() && allow->isEnabled());

    QTcpServer holder;  // another program's port
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    const quint16 chosen = holder.serverPort();
    QTest::mouseClick(allow, Qt::LeftButton);
    port->selectAll();
    QTest::keyClicks(port, QString::number(chosen));
    QCOMPARE(port->value(), int(chosen));
    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(state->text(), QString("Port %1 could not be opened: address in use").arg(chosen));
    QVERIFY(start->isEnabled() && !stop->isEnabled());

    holder.close();
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(state->text().startsWith(QString("Listening on 127.0.0.1:%1").arg(chosen)));
    QVERIFY(server.loopbackOnly() && !start->isEnabled() && stop->isEnabled() &&
            !port->isEnabled());
    Client c(chosen);
    QTRY_COMPARE(list->count(), 1);
    QCOMPARE(list->item(0)->text(), QString("127.0.0.1:%1").arg(c.socket.localPort()));
    QSignalSpy closed(&c.socket, &QAbstractSocket::disconnected);
    QTest::mouseClick(stop, Qt::LeftButton);
    QCOMPARE(state->text(), "Stopped");
    QCOMPARE(list->count(), 0);
    QVERIFY(closed.wait(5000));

    // Only from: written when others are allowed; a bad entry starts nothing.
    auto* only = test::named<QLineEdit>(&dialog, "AllowList");
    QVERIFY(!only->isEnabled());
    QTest::mouseClick(allow, Qt::LeftButton);
    QVERIFY(only->isEnabled());
    QTest::keyClicks(only, "10.0.0.300");
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(!server.running());
    QVERIFY2(state->text().startsWith("Only from: \"10.0.0.300\""), qPrintable(state->text()));
    only->clear();
    QTest::keyClicks(only, "192.0.2.0/24 10.0.0.7");
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(server.running() && !server.loopbackOnly());
    QCOMPARE(allowListText(server.allowList()), "192.0.2.0/24, 10.0.0.7");
    QCOMPARE(only->text(), "192.0.2.0/24, 10.0.0.7");
    QVERIFY(!only->isEnabled());
}

void tst_ScpiServer::listenAddress_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address");  // empty: loopback only; "-": refused
    QTest::addColumn<int>("port");
    QTest::newRow("port") << "5025"
                          << "" << 5025;
    QTest::newRow("any free port") << "0"
                                   << "" << 0;
    QTest::newRow("every address") << "0.0.0.0:5025"
                                   << "0.0.0.0" << 5025;
    QTest::newRow("IPv6 in brackets") << "[::1]:5026"
                                      << "::1" << 5026;
    QTest::newRow("IPv6 bare") << "::1:5025"
                               << "-" << 0;
    QTest::newRow("port too big") << "65536"
                                  << "-" << 0;
    QTest::newRow("not a port") << "localhost:http"
                                << "-" << 0;
    QTest::newRow("host name") << "bench-pc:5025"
                               << "-" << 0;
    QTest::newRow("empty") << ""
                           << "-" << 0;
}

void tst_ScpiServer::listenAddress() {
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(int, port);
    ListenAddress parsed;
    QString why;
    const bool ok = parseListenAddress(text, &parsed, &why);
    QCOMPARE(ok, address != QLatin1String("-"));
    if (!ok) {
        QVERIFY(!why.isEmpty());
        return;
    }
    QCOMPARE(parsed.address.isNull() ? QString() : parsed.address.toString(), address);
    QCOMPARE(int(parsed.port), port);
}

void tst_ScpiServer::allowList_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("written");  // as the dialog shows it back; "-": refused
    QTest::addColumn<QStringList>("in");
    QTest::addColumn<QStringList>("out");
    const QStringList loopback{"127.0.0.1", "::1", "::ffff:127.0.0.1"};
    QTest::newRow("empty: anyone") << ""
                                   << "" << QStringList{"10.1.2.3", "fe80::1"} << QStringList{};
    QTest::newRow("a network and an address")
        << "192.168.1.0/24, 10.0.0.7"
        << "192.168.1.0/24, 10.0.0.7"
        << (loopback + QStringList{"192.168.1.9", "::ffff:192.168.1.200", "10.0.0.7"})
        << QStringList{"192.168.2.1", "10.0.0.8", "fe80::1"};
    QTest::newRow("spaces and IPv6")
        << " fd00::/8   10.0.0.0/8 "
        << "fd00::/8, 10.0.0.0/8" << (loopback + QStringList{"fd12::5", "10.200.0.1"})
        << QStringList{"fe80::1", "11.0.0.1"};
    QTest::newRow("an address no network holds") << "10.0.0.300"
                                                 << "-" << QStringList{} << QStringList{};
    QTest::newRow("a prefix too long") << "10.0.0.0/33"
                                       << "-" << QStringList{} << QStringList{};
    QTest::newRow("a host name") << "bench-pc"
                                 << "-" << QStringList{} << QStringList{};
}

// Loopback is always let in: the operator's own scripts on this computer.
void tst_ScpiServer::allowList() {
    QFETCH(QString, text);
    QFETCH(QString, written);
    QFETCH(QStringList, in);
    QFETCH(QStringList, out);
    AllowList list;
    QString why;
    const bool ok = parseAllowList(text, &list, &why);
    QCOMPARE(ok, written != QLatin1String("-"));
    if (!ok) {
        QVERIFY(why.contains(text.trimmed()));
        return;
    }
    QCOMPARE(allowListText(list), written);
    for (const QString& a : in) QVERIFY2(addressAllowed(QHostAddress(a), list), qPrintable(a));
    for (const QString& a : out) QVERIFY2(!addressAllowed(QHostAddress(a), list), qPrintable(a));
}

// A client from outside the list is closed as it connects: no session is
// made for it, none of its lines is taken; loopback is served all the same.
void tst_ScpiServer::outsideTheAllowListIsClosed() {
    QHostAddress outside;
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback()) outside = a;
    }
    if (outside.isNull()) QSKIP("No address here but loopback");
    ScpiServer server(echo());
    // Another address than this computer's own.
    const QHostAddress other(outside.toIPv4Address() ^ 0x01000000u);
    AllowList list{{other, 32}};
    server.setAllowList(list);
    QVERIFY(server.start(0, true, nullptr));
    const int sessions = g_liveSessions;
    const int taken = g_linesTaken;
    QTcpSocket stranger;
    QSignalSpy closed(&stranger, &QAbstractSocket::disconnected);
    stranger.connectToHost(outside, server.port());
    QVERIFY(stranger.waitForConnected(5000));
    stranger.write("OUT1\n");
    QVERIFY(closed.wait(5000));
    QCOMPARE(g_liveSessions, sessions);
    QCOMPARE(g_linesTaken, taken);
    QCOMPARE(server.clientCount(), 0);

    Client local(server.port());
    QVERIFY(local.ask("here\n", "ok:here\n"));

    // Allowed, then taken off the list while connected.
    QVERIFY(parseAllowList(outside.toString(), &list, nullptr));
    server.setAllowList(list);
    QTcpSocket colleague;
    QSignalSpy dropped(&colleague, &QAbstractSocket::disconnected);
    colleague.connectToHost(outside, server.port());
    QVERIFY(colleague.waitForConnected(5000));
    QVERIFY(waitClients(server, 2));
    server.setAllowList(AllowList{{other, 32}});
    QVERIFY(dropped.wait(5000));
    QCOMPARE(server.clientCount(), 1);
}

QTEST_MAIN(tst_ScpiServer)
#include "tst_scpi_server.moc"
