// The serial ports offered to the user, as names TComm can open. Each platform
// has its own source file; this declaration is shared.
#pragma once

#include <QString>
#include <QStringList>

namespace lqs {

// Where the simulator keeps its port links on this machine.
QString simulatorLinkDirectory();

// Where the list is read from; tests point these at a fake tree.
struct PortListSources {
    QString sysClassTty = QStringLiteral("/sys/class/tty");
    QString dev = QStringLiteral("/dev");
    QString simulatorDir = simulatorLinkDirectory();
};

inline constexpr int kMaxListedPorts = 10;

// Standard serial ports first, then adapters (USB, ACM, others), then the
// simulator's live links; at most kMaxListedPorts. No device is opened.
QStringList listSerialPorts(const PortListSources& sources = {});

}  // namespace lqs
