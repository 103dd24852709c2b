// "[ADDRESS:]PORT" as given to --remote: 5025, 0.0.0.0:5025, [::1]:5025.
#pragma once

#include <QHostAddress>
#include <QString>

namespace lqs {

struct ListenAddress {
    QHostAddress address;  // null: the loopback addresses only
    quint16 port = 0;
};

// False, with why in natural English, for anything else.
bool parseListenAddress(const QString& text, ListenAddress* out, QString* why);

}  // namespace lqs
