#include "remote/listen_address.h"

#include <QRegularExpression>

namespace lqs {

bool parseListenAddress(const QString& text, ListenAddress* out, QString* why) {
    const auto fail = [why](const QString& reason) {
        if (why) *why = reason;
        return false;
    };
    QString host;
    QString port = text.trimmed();
    if (port.startsWith(QLatin1Char('['))) {
        const qsizetype close = port.indexOf(QStringLiteral("]:"));
        if (close < 0) return fail(QStringLiteral("\"%1\" is not [ADDRESS]:PORT").arg(text));
        host = port.mid(1, close - 1);
        port = port.mid(close + 2);
    } else if (port.count(QLatin1Char(':')) == 1) {
        host = port.section(QLatin1Char(':'), 0, 0);
        port = port.section(QLatin1Char(':'), 1);
    } else if (port.contains(QLatin1Char(':'))) {
        return fail(
            QStringLiteral("\"%1\": write an IPv6 address in brackets, as [::1]:5025").arg(text));
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    // 0 lets the system pick a free port; the program says which.
    if (!ok || number > 65535)
        return fail(QStringLiteral("\"%1\" is not a TCP port (0 to 65535)").arg(port));
    ListenAddress result;
    result.port = quint16(number);
    if (!host.isEmpty() && !result.address.setAddress(host))
        return fail(QStringLiteral("\"%1\" is not an IP address").arg(host));
    if (out) *out = result;
    return true;
}

namespace {
// "::ffff:10.0.0.7" from a dual-stack socket is the IPv4 address it carries.
QHostAddress plain(const QHostAddress& address) {
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : address;
}
}  // namespace

bool parseAllowList(const QString& text, AllowList* out, QString* why) {
    AllowList list;
    static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
    for (const QString& item : text.split(separators, Qt::SkipEmptyParts)) {
        QPair<QHostAddress, int> network;
        if (item.contains(QLatin1Char('/'))) {
            network = QHostAddress::parseSubnet(item);
        } else if (QHostAddress address; address.setAddress(item)) {
            address = plain(address);
            network = {address, address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128};
        }
        if (network.first.isNull() || network.second < 0) {
            if (why)
                *why = QStringLiteral(
                           "\"%1\" is not an address or a network such as "
                           "192.168.1.0/24")
                           .arg(item);
            return false;
        }
        list << network;
    }
    if (out) *out = list;
    return true;
}

QString allowListText(const AllowList& list) {
    QStringList items;
    for (const auto& [network, prefix] : list) {
        const bool whole =
            prefix == (network.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128);
        items << (whole ? network.toString()
                        : QStringLiteral("%1/%2").arg(network.toString()).arg(prefix));
    }
    return items.join(QStringLiteral(", "));
}

bool addressAllowed(QHostAddress peer, const AllowList& list) {
    peer = plain(peer);
    if (list.isEmpty() || peer.isLoopback()) return true;
    for (const auto& network : list) {
        if (peer.isInSubnet(network)) return true;
    }
    return false;
}

}  // namespace lqs
