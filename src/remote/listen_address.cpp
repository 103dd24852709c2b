#include "remote/listen_address.h"

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

}  // namespace lqs
