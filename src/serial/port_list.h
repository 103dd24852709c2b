// The serial ports offered to the user, as names TComm can open. Each platform
// has its own source file; this declaration is shared.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace lqs {

// A directory of links to ports that live elsewhere (a simulator's
// pseudo-terminals), offered after the machine's own ports. Only a private
// directory of this user's is read (isPrivateDirectory in port_list_dir.h).
struct PortLinkDirectory {
    QString path;
    QString description;  // said of every port found there
};

// Where the list is read from; tests point these at a fake tree.
struct PortListSources {
    QString sysClassTty = QStringLiteral("/sys/class/tty");
    QString dev = QStringLiteral("/dev");
    QList<PortLinkDirectory> linkDirectories;  // none unless the program gives them
};

struct PortEntry {
    QString name;         // what TComm opens
    QString description;  // what the system knows of it; may be empty
};

inline constexpr int kMaxListedPorts = 10;

// Standard serial ports first, then adapters (USB, ACM, others), then the
// live links of the link directories; at most kMaxListedPorts. No device is
// opened.
QList<PortEntry> listPortEntries(const PortListSources& sources = {});
QStringList listSerialPorts(const PortListSources& sources = {});

// The USB adapter behind a port, by make and serial number, so that it is
// known again under another node once plugged back; empty for a port that is
// no USB adapter or whose adapter has no serial number.
QString usbAdapterIdentity(const QString& node, const PortListSources& sources = {});
// The listed port whose adapter has this identity, or empty.
QString portWithUsbIdentity(const QString& identity, const PortListSources& sources = {});

// The directories whose changes can change the list.
QStringList portListWatchPaths(const PortListSources& sources);

}  // namespace lqs

namespace lqs {

// What a port's path is now, read without opening it. A node or link made
// anew reads differently from the one that went away.
struct PortSight {
    bool exists = false;          // the path leads to a node
    bool link = false;            // the path itself is a symbolic link
    bool pseudoTerminal = false;  // the node is a pseudo-terminal's own, not a link to one
    QString self;  // the path's own inode and change time (a link's, not its target's)
};
PortSight lookAtPort(const QString& path);

}  // namespace lqs
