// The raw-socket SCPI server lab scripts talk to (port 5025 by convention,
// pyvisa's TCPIP::host::5025::SOCKET). It frames each client's bytes into
// lines for that client's own LineSession and sends the replies back.
//
// A hostile or broken client cannot hurt the program: of its input no more
// than a line and a 4 KiB read is held, a longer line is dropped; while more
// than 64 KiB of its replies wait unsent its lines are not taken, so TCP
// pushes back on it; at most MaxClients are served; and everything runs in
// the event loop without waiting on a socket.
//
// Clients that vanish without closing: each socket has TCP keep-alive with
// short timings (Linux ends a dead peer after about two minutes of silence),
// and when every slot is taken a newcomer takes the slot of the client that
// has been silent longest, if silent for idleGrace() or more (ten minutes by
// default; silentGrace(), 30 seconds, for one that never sent a line).
// Silent means no byte received, sent or answered.
//
// A client whose line is an HTTP request line (a web page posting to the
// port) is closed before any of its lines reaches the instrument, and one
// from an address outside the allow-list is closed as it connects.
#pragma once

#include "remote/line_session.h"
#include "remote/listen_address.h"

#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace lqs {

class ScpiServer : public QObject {
    Q_OBJECT
public:
    using SessionFactory = std::function<std::unique_ptr<LineSession>()>;

    explicit ScpiServer(SessionFactory factory, QObject* parent = nullptr);
    ~ScpiServer() override;

    // Loopback only (127.0.0.1, and ::1 when the machine has it) unless
    // allowOthers. Port 0 picks a free port. A running server is stopped
    // first. On failure error says why in a sentence for the user.
    bool start(quint16 port, bool allowOthers, QString* error);
    // One given address (--remote ADDRESS:PORT).
    bool start(const QHostAddress& address, quint16 port, QString* error);
    // Stops listening and closes every client.
    void stop();

    bool running() const { return !m_listeners.empty(); }
    quint16 port() const { return running() ? m_port : 0; }
    // "127.0.0.1:5025", "0.0.0.0:5025" for every address, "[::1]:5025".
    QString listeningText() const;
    // False when other computers may connect.
    bool loopbackOnly() const;
    // Every address and family listened on: "0.0.0.0:5025 and [::]:5025"
    // for every address of both families.
    QString listeningAddresses() const;

    // Where clients may connect from besides loopback; empty: anywhere.
    // Clients already connected from elsewhere are closed.
    void setAllowList(const AllowList& list);
    const AllowList& allowList() const { return m_allow; }

    int clientCount() const { return static_cast<int>(m_clients.size()); }
    QStringList clientNames() const;  // "127.0.0.1:40212", in order of arrival

    // How long a client must have been silent to give its slot to a newcomer.
    int idleGrace() const { return m_idleGraceMs; }
    void setIdleGrace(int ms) { m_idleGraceMs = ms; }

    int silentGrace() const { return m_silentGraceMs; }
    void setSilentGrace(int ms) { m_silentGraceMs = ms; }

    static constexpr int MaxClients = 8;
    static constexpr int MaxLineBytes = 1024;
    static constexpr int DefaultIdleGraceMs = 10 * 60 * 1000;
    static constexpr int DefaultSilentGraceMs = 30 * 1000;

Q_SIGNALS:
    void clientsChanged();
    void runningChanged(bool running);

private:
    struct Client;
    using ClientPtr = std::shared_ptr<Client>;
    enum class Framed { None, Line, TooLong };

    // what names the port in an error: "Port 5025", "10.0.0.5:5025".
    bool open(const QHostAddress& address, quint16 port, bool alsoIpv6Loopback, const QString& what,
              QString* error);
    void acceptPending(QTcpServer* listener);
    void accept(QTcpSocket* socket);
    void refuse(QTcpSocket* socket);
    bool yieldIdleSlot();
    void pump(const ClientPtr& c);
    void schedulePump(const ClientPtr& c);
    Framed nextLine(Client& c, QByteArray* line);
    void send(const ClientPtr& c, const QByteArray& reply);
    void drop(ClientPtr c);
    void bury();

    SessionFactory m_factory;
    std::vector<QTcpServer*> m_listeners;
    QHostAddress m_address;
    quint16 m_port = 0;
    AllowList m_allow;
    std::vector<ClientPtr> m_clients;
    // Dropped clients whose sessions are destroyed from the event loop, never
    // inside a call that may have come from the session itself.
    std::vector<ClientPtr> m_graveyard;
    QTimer m_buryTimer;
    int m_idleGraceMs = DefaultIdleGraceMs;
    int m_silentGraceMs = DefaultSilentGraceMs;
};

// "POST / HTTP/1.1" and the like.
bool isHttpRequestLine(QByteArrayView line);

}  // namespace lqs
