// "[ADDRESS:]PORT" as given to --remote: 5025, 0.0.0.0:5025, [::1]:5025.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

namespace lqs {

struct ListenAddress {
    QHostAddress address;  // null: the loopback addresses only
    quint16 port = 0;
};

// False, with why in natural English, for anything else.
bool parseListenAddress(const QString& text, ListenAddress* out, QString* why);

// Addresses and networks clients may connect from, as the operator writes
// them: "192.168.1.0/24, 10.0.0.7 fd00::/8". Empty: every address.
using AllowList = QList<QPair<QHostAddress, int>>;

bool parseAllowList(const QString& text, AllowList* out, QString* why);
QString allowListText(const AllowList& list);
// The machine's own loopback is always let in.
bool addressAllowed(QHostAddress peer, const AllowList& list);

}  // namespace lqs
