#include "remote/scpi_server.h"

#include "remote/remote_log.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

#if defined(Q_OS_LINUX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace lqs {

Q_LOGGING_CATEGORY(lqsRemote, "lqs.remote", QtWarningMsg)

namespace {

// What Qt reads from the kernel for one client before we take it: past
// this the kernel's window fills and TCP holds the client back.
constexpr qint64 kReadBufferBytes = 4096;
// Replies waiting to be sent: past the first bound the client's lines are
// no longer taken, until it has read down to the second.
constexpr qint64 kMaxUnsentBytes = 64 * 1024;
constexpr qint64 kResumeUnsentBytes = 16 * 1024;
// Only a session answering without end gets this far; its client is closed.
constexpr qint64 kHardUnsentBytes = 1024 * 1024;
// Lines of one client taken in a row before the others get their turn.
constexpr int kLinesPerTurn = 32;
// A refused client that does not take its one line is closed anyway.
constexpr int kRefusalLingerMs = 2000;

// Keep-alive probes after a minute of silence, every 10 s, six unanswered
// end the connection: a peer that vanished frees its slot in about 2 min.
void tuneKeepAlive([[maybe_unused]] qintptr fd) {
#if defined(Q_OS_LINUX)
    const int idle = 60;
    const int interval = 10;
    const int count = 6;
    const int s = static_cast<int>(fd);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

QString addressText(QHostAddress address, quint16 port) {
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    if (v4) address = QHostAddress(ip);  // "::ffff:127.0.0.1" from a dual-stack socket
    if (address == QHostAddress(QHostAddress::Any)) return QStringLiteral("0.0.0.0:%1").arg(port);
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

QString failureReason(const QTcpServer& listener) {
    switch (listener.serverError()) {
        case QAbstractSocket::AddressInUseError:
            return QStringLiteral("address in use");
        case QAbstractSocket::SocketAccessError:
            return QStringLiteral("permission denied");
        case QAbstractSocket::SocketAddressNotAvailableError:
            return QStringLiteral("this computer has no such address");
        default:
            return listener.errorString();
    }
}

}  // namespace

struct ScpiServer::Client {
    QTcpSocket* socket = nullptr;  // a child of the server; null once dropped
    QString name;
    QByteArray inbox;  // read, not yet handed out from framedTo on
    qsizetype framedTo = 0;
    bool discarding = false;  // inside a line too long, up to its "\n"
    bool busy = false;        // a line given to the session, not finished
    bool pumping = false;
    bool pumpQueued = false;
    bool congested = false;
    bool gone = false;
    bool spoke = false;   // a whole line came
    QElapsedTimer quiet;  // since the last byte either way or answer
    std::unique_ptr<LineSession> session;

    // The session goes first: its destructor may still call back, and finds
    // the client expired.
    ~Client() { session.reset(); }
};

bool isHttpRequestLine(QByteArrayView line) {
    static const QRegularExpression request(
        QStringLiteral("^(GET|POST|PUT|DELETE|HEAD|OPTIONS|PATCH|CONNECT|TRACE) \\S+ HTTP/[0-9]"));
    return request.match(QString::fromLatin1(line)).hasMatch();
}

ScpiServer::ScpiServer(SessionFactory factory, QObject* parent)
    : QObject(parent), m_factory(std::move(factory)) {
    m_buryTimer.setSingleShot(true);
    m_buryTimer.setInterval(0);
    connect(&m_buryTimer, &QTimer::timeout, this, &ScpiServer::bury);
}

ScpiServer::~ScpiServer() {
    for (const ClientPtr& c : m_clients) {
        c->gone = true;
        c->socket->disconnect(this);
    }
    for (QTcpServer* listener : m_listeners) listener->disconnect(this);
    // Sockets and listeners are children and go with the QObject.
    m_clients.clear();
    m_graveyard.clear();
}

bool ScpiServer::start(quint16 port, bool allowOthers, QString* error) {
    const QString what = QStringLiteral("Port %1").arg(port);
    if (allowOthers) return open(QHostAddress(QHostAddress::Any), port, false, what, error);
    return open(QHostAddress(QHostAddress::LocalHost), port, true, what, error);
}

bool ScpiServer::start(const QHostAddress& address, quint16 port, QString* error) {
    return open(address, port, false, addressText(address, port), error);
}

bool ScpiServer::open(const QHostAddress& address, quint16 port, bool alsoIpv6Loopback,
                      const QString& what, QString* error) {
    stop();
    auto* listener = new QTcpServer(this);
    bool ok = listener->listen(address, port);
    if (!ok && address == QHostAddress(QHostAddress::Any) &&
        listener->serverError() == QAbstractSocket::UnsupportedSocketOperationError) {
        ok = listener->listen(QHostAddress::AnyIPv4, port);  // no IPv6 here
    }
    if (!ok) {
        qCInfo(lqsRemote).noquote() << what << "could not be opened:" << failureReason(*listener);
        if (error)
            *error =
                QStringLiteral("%1 could not be opened: %2").arg(what, failureReason(*listener));
        delete listener;
        return false;
    }
    m_listeners.push_back(listener);
    m_address = listener->serverAddress();
    m_port = listener->serverPort();
    if (alsoIpv6Loopback) {
        // Best effort: a machine without IPv6 is served on 127.0.0.1 alone.
        auto* v6 = new QTcpServer(this);
        if (v6->listen(QHostAddress::LocalHostIPv6, m_port))
            m_listeners.push_back(v6);
        else
            delete v6;
    }
    for (QTcpServer* l : m_listeners)
        connect(l, &QTcpServer::newConnection, this, [this, l] { acceptPending(l); });
    qCInfo(lqsRemote).noquote() << "listening on" << listeningText();
    Q_EMIT runningChanged(true);
    return true;
}

void ScpiServer::stop() {
    const bool wasRunning = running();
    for (QTcpServer* listener : m_listeners) {
        listener->disconnect(this);
        listener->close();
        listener->deleteLater();
    }
    m_listeners.clear();
    while (!m_clients.empty()) drop(m_clients.back());
    if (!wasRunning) return;
    qCInfo(lqsRemote) << "stopped listening";
    Q_EMIT runningChanged(false);
}

QString ScpiServer::listeningText() const {
    return running() ? addressText(m_address, m_port) : QString();
}

bool ScpiServer::loopbackOnly() const {
    return !running() || m_address.isLoopback();
}

QString ScpiServer::listeningAddresses() const {
    QStringList all;
    for (const QTcpServer* l : m_listeners) {
        all << addressText(l->serverAddress(), m_port);
        // QHostAddress::Any is one dual-stack socket: IPv6 too.
        if (l->serverAddress() == QHostAddress(QHostAddress::Any))
            all << addressText(QHostAddress(QHostAddress::AnyIPv6), m_port);
    }
    return all.join(QStringLiteral(" and "));
}

void ScpiServer::setAllowList(const AllowList& list) {
    m_allow = list;
    const std::vector<ClientPtr> clients = m_clients;
    for (const ClientPtr& c : clients) {
        if (!addressAllowed(c->socket->peerAddress(), m_allow)) {
            qCInfo(lqsRemote).noquote()
                << "client" << c->name << "is not on the allow-list: closed";
            drop(c);
        }
    }
}

QStringList ScpiServer::clientNames() const {
    QStringList names;
    for (const ClientPtr& c : m_clients) names << c->name;
    return names;
}

void ScpiServer::acceptPending(QTcpServer* listener) {
    while (listener->hasPendingConnections()) {
        if (QTcpSocket* socket = listener->nextPendingConnection()) accept(socket);
    }
}

void ScpiServer::accept(QTcpSocket* socket) {
    socket->setParent(this);  // the listener may go before its sockets
    if (!addressAllowed(socket->peerAddress(), m_allow)) {
        // Closed before a byte is read: nothing of it reaches the instrument.
        qCInfo(lqsRemote).noquote()
            << "refused" << addressText(socket->peerAddress(), socket->peerPort())
            << "- not on the allow-list";
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (clientCount() >= MaxClients && !yieldIdleSlot()) {
        refuse(socket);
        return;
    }
    std::unique_ptr<LineSession> session = m_factory ? m_factory() : nullptr;
    if (!session) {
        qCInfo(lqsRemote) << "no session for a new client: closed";
        socket->abort();
        socket->deleteLater();
        return;
    }
    auto c = std::make_shared<Client>();
    c->socket = socket;
    c->name = addressText(socket->peerAddress(), socket->peerPort());
    c->session = std::move(session);
    c->quiet.start();
    socket->setReadBufferSize(kReadBufferBytes);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    tuneKeepAlive(socket->socketDescriptor());

    // The session may call back at any time, even after its client is gone
    // or from its destructor: the callbacks hold the client weakly.
    const std::weak_ptr<Client> weak = c;
    c->session->write = [this, weak](const QByteArray& reply) {
        if (const ClientPtr k = weak.lock(); k && !k->gone) send(k, reply);
    };
    c->session->finished = [this, weak] {
        const ClientPtr k = weak.lock();
        if (!k || k->gone || !k->busy) return;
        k->busy = false;
        k->quiet.restart();
        // Called from inside takeLine the pump goes on by itself; later, the
        // next line starts from the event loop, not inside the session.
        if (!k->pumping) schedulePump(k);
    };
    connect(socket, &QIODevice::readyRead, this, [this, weak] {
        if (const ClientPtr k = weak.lock()) {
            k->quiet.restart();
            pump(k);
        }
    });
    connect(socket, &QIODevice::bytesWritten, this, [this, weak] {
        const ClientPtr k = weak.lock();
        if (!k || k->gone) return;
        k->quiet.restart();
        if (k->congested && k->socket->bytesToWrite() <= kResumeUnsentBytes) schedulePump(k);
    });
    const auto lost = [this, weak] {
        if (const ClientPtr k = weak.lock()) drop(k);
    };
    connect(socket, &QAbstractSocket::disconnected, this, lost);
    connect(socket, &QAbstractSocket::errorOccurred, this, lost);

    m_clients.push_back(c);
    qCInfo(lqsRemote).noquote() << "client" << c->name << "connected;" << clientCount() << "now";
    Q_EMIT clientsChanged();
    pump(c);  // lines may have come with the connection
}

void ScpiServer::refuse(QTcpSocket* socket) {
    qCInfo(lqsRemote).noquote() << "refused"
                                << addressText(socket->peerAddress(), socket->peerPort())
                                << "- the server is full";
    socket->setReadBufferSize(kReadBufferBytes);
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kRefusalLingerMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->write("The server is full: it takes " + QByteArray::number(MaxClients) +
                  " clients at a time.\n");
    socket->disconnectFromHost();
}

bool ScpiServer::yieldIdleSlot() {
    ClientPtr quietest;
    for (const ClientPtr& c : m_clients) {
        // One that never sent a line is no script at work: it holds a slot
        // for a shorter while.
        const int grace = c->spoke ? m_idleGraceMs : std::min(m_idleGraceMs, m_silentGraceMs);
        if (c->quiet.elapsed() >= grace &&
            (!quietest || c->quiet.elapsed() > quietest->quiet.elapsed()))
            quietest = c;
    }
    if (!quietest) return false;
    qCInfo(lqsRemote).noquote() << "client" << quietest->name << "silent for"
                                << quietest->quiet.elapsed() << "ms gives its slot to a newcomer";
    drop(quietest);
    return true;
}

void ScpiServer::schedulePump(const ClientPtr& c) {
    if (c->pumpQueued || c->gone) return;
    c->pumpQueued = true;
    QTimer::singleShot(0, this, [this, weak = std::weak_ptr<Client>(c)] {
        if (const ClientPtr k = weak.lock()) {
            k->pumpQueued = false;
            pump(k);
        }
    });
}

void ScpiServer::pump(const ClientPtr& c) {
    if (c->gone || c->pumping || c->busy) return;
    c->pumping = true;
    for (int taken = 0; !c->gone && !c->busy; ++taken) {
        const qint64 unsent = c->socket->bytesToWrite();
        if (unsent > (c->congested ? kResumeUnsentBytes : kMaxUnsentBytes)) {
            c->congested = true;  // bytesWritten resumes
            break;
        }
        c->congested = false;
        if (taken == kLinesPerTurn) {
            schedulePump(c);
            break;
        }
        QByteArray line;
        const Framed framed = nextLine(*c, &line);
        if (framed == Framed::None) break;
        if (framed == Framed::TooLong) {
            c->session->lineTooLong();
            continue;
        }
        c->spoke = true;
        // A browser's request (a page posting plain text needs no preflight)
        // must never reach the instrument: the connection ends before any
        // of its lines is taken.
        if (isHttpRequestLine(line)) {
            qCInfo(lqsRemote).noquote() << "client" << c->name << "sent an HTTP request: closed";
            drop(c);
            break;
        }
        c->busy = true;
        c->session->takeLine(line);
    }
    c->pumping = false;
}

ScpiServer::Framed ScpiServer::nextLine(Client& c, QByteArray* line) {
    for (;;) {
        const qsizetype end = c.inbox.indexOf('\n', c.framedTo);
        if (end >= 0) {
            QByteArray text = c.inbox.mid(c.framedTo, end - c.framedTo);
            c.framedTo = end + 1;
            if (c.discarding) {
                c.discarding = false;
                return Framed::TooLong;
            }
            if (text.endsWith('\r')) text.chop(1);
            if (text.size() > MaxLineBytes) return Framed::TooLong;
            *line = std::move(text);
            return Framed::Line;
        }
        // Only a partial line is left; read more only now, so what is held
        // stays under a line plus one read.
        c.inbox.remove(0, c.framedTo);
        c.framedTo = 0;
        if (c.discarding || c.inbox.size() > MaxLineBytes + 1) {  // + 1 for a "\r"
            c.inbox.clear();
            c.discarding = true;
        }
        const qint64 available = c.socket->bytesAvailable();
        if (available <= 0) return Framed::None;
        c.inbox.append(c.socket->read(std::min(available, kReadBufferBytes)));
    }
}

void ScpiServer::send(const ClientPtr& c, const QByteArray& reply) {
    QByteArray out;
    out.reserve(reply.size() + 1);
    out.append(reply).append('\n');
    c->socket->write(out);
    if (c->socket->bytesToWrite() > kHardUnsentBytes) {
        qCInfo(lqsRemote).noquote() << "client" << c->name << "reads no replies: closed";
        drop(c);
    }
}

void ScpiServer::drop(ClientPtr c) {
    if (c->gone) return;
    c->gone = true;
    QTcpSocket* socket = c->socket;
    c->socket = nullptr;
    socket->disconnect(this);
    if (socket->state() == QAbstractSocket::ConnectedState) socket->flush();
    socket->abort();
    socket->deleteLater();  // this may be inside one of its signals
    m_clients.erase(std::find(m_clients.begin(), m_clients.end(), c));
    qCInfo(lqsRemote).noquote() << "client" << c->name << "left;" << clientCount() << "now";
    m_graveyard.push_back(std::move(c));
    m_buryTimer.start();
    Q_EMIT clientsChanged();
}

void ScpiServer::bury() {
    std::vector<ClientPtr> dead;
    dead.swap(m_graveyard);
}

}  // namespace lqs
