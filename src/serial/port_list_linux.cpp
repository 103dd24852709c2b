// Linux: the kernel's tty class in sysfs says which nodes have hardware behind them.
#include "serial/port_list.h"
#include "serial/port_list_dir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace lqs {

namespace {

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// "ttyS2" before "ttyS10": runs of digits compare by value, the rest by character.
bool naturalLess(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            qsizetype ie = i, je = j;
            while (ie < a.size() && isDigit(a[ie])) ++ie;
            while (je < b.size() && isDigit(b[je])) ++je;
            // Leading zeros do not change the value; then the longer run is larger.
            qsizetype is = i, js = j;
            while (is + 1 < ie && a[is] == QLatin1Char('0')) ++is;
            while (js + 1 < je && b[js] == QLatin1Char('0')) ++js;
            if (ie - is != je - js) return ie - is < je - js;
            const int c =
                QStringView(a).sliced(is, ie - is).compare(QStringView(b).sliced(js, je - js));
            if (c != 0) return c < 0;
            if (ie - i != je - j) return ie - i < je - j;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// tty<N>, console, ptmx and tty itself are terminals of the kernel, never a line.
bool isVirtualConsole(const QString& name) {
    if (name == QLatin1String("console") || name == QLatin1String("ptmx") ||
        name == QLatin1String("tty"))
        return true;
    if (!name.startsWith(QLatin1String("tty")) || name.size() == 3) return false;
    return std::all_of(name.begin() + 3, name.end(), isDigit);
}

bool hasEntry(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The directory above path; empty above the root.
QString parentOf(const QString& path) {
    const QString up = QFileInfo(path).path();
    return up == path ? QString() : up;
}

// The first line of a sysfs attribute, or empty.
QString readAttribute(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readLine(256)).trimmed();
}

// serial_core writes the UART type; 0 is PORT_UNKNOWN, a node with nothing behind it.
bool hasUart(const QString& ttyDir) {
    bool ok = false;
    const int type = readAttribute(ttyDir + QLatin1String("/type")).toInt(&ok);
    return ok && type != 0;
}

// The USB device behind a tty, the directory with idVendor: the tty's device
// is the adapter's port (usb-serial) or its interface (ACM), a level or two
// below it. interfaceNumber gets the interface's number when there is one.
QString usbDeviceDir(const QString& ttyDir, QString* interfaceNumber = nullptr) {
    QString dir = QFileInfo(ttyDir + QLatin1String("/device")).canonicalFilePath();
    for (int level = 0; level < 4 && !dir.isEmpty(); ++level, dir = parentOf(dir)) {
        if (interfaceNumber && interfaceNumber->isEmpty())
            *interfaceNumber = readAttribute(dir + QLatin1String("/bInterfaceNumber"));
        if (!readAttribute(dir + QLatin1String("/idVendor")).isEmpty()) return dir;
    }
    return {};
}

// What the USB device behind a tty says of itself.
QString usbDescription(const QString& ttyDir) {
    const QString dir = usbDeviceDir(ttyDir);
    if (dir.isEmpty()) return {};
    auto attr = [&dir](const char* name) {
        return readAttribute(dir + QLatin1Char('/') + QLatin1String(name));
    };
    QStringList head;
    for (const QString& part : {attr("manufacturer"), attr("product")})
        if (!part.isEmpty()) head << part;
    QStringList tail;
    const QString serial = attr("serial");
    if (!serial.isEmpty()) tail << QStringLiteral("serial %1").arg(serial);
    tail << attr("idVendor") + QLatin1Char(':') + attr("idProduct");
    if (head.isEmpty()) head << QStringLiteral("USB adapter");
    return head.join(QLatin1Char(' ')) + QStringLiteral(" (") + tail.join(QStringLiteral(", ")) +
           QLatin1Char(')');
}

QString usbIdentityOfTty(const QString& ttyDir) {
    QString interfaceNumber;
    const QString dir = usbDeviceDir(ttyDir, &interfaceNumber);
    if (dir.isEmpty()) return {};
    const QString serial = readAttribute(dir + QLatin1String("/serial"));
    // Without a serial number, two adapters of one make cannot be told apart.
    if (serial.isEmpty()) return {};
    return readAttribute(dir + QLatin1String("/idVendor")) + QLatin1Char(':') +
           readAttribute(dir + QLatin1String("/idProduct")) + QLatin1Char('/') + serial +
           QLatin1Char('/') + interfaceNumber;
}

}  // namespace

QList<PortEntry> listPortEntries(const PortListSources& sources) {
    QList<PortEntry> standard, usb, acm, other;
    const QDir sys(sources.sysClassTty);
    const QStringList names =
        sys.exists() ? sys.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                     : QStringList();
    for (const QString& name : names) {
        if (isVirtualConsole(name)) continue;
        const QString ttyDir = sys.filePath(name);
        if (!hasEntry(ttyDir + QLatin1String("/device"))) continue;
        // Only a node that exists can be opened.
        const QString node = sources.dev + QLatin1Char('/') + name;
        if (!hasEntry(node)) continue;
        if (name.startsWith(QLatin1String("ttyS"))) {
            if (hasUart(ttyDir)) standard.append({node, QString()});
        } else if (name.startsWith(QLatin1String("ttyUSB"))) {
            usb.append({node, usbDescription(ttyDir)});
        } else if (name.startsWith(QLatin1String("ttyACM"))) {
            acm.append({node, usbDescription(ttyDir)});
        } else {
            other.append({node, usbDescription(ttyDir)});
        }
    }

    auto byName = [](const PortEntry& a, const PortEntry& b) {
        return naturalLess(a.name, b.name);
    };
    QList<PortEntry> ports;
    for (QList<PortEntry>* group : {&standard, &usb, &acm, &other}) {
        std::sort(group->begin(), group->end(), byName);
        ports += *group;
    }
    for (const PortLinkDirectory& links : sources.linkDirectories) {
        // Another user could have made it, with links to a fake instrument.
        if (!isPrivateDirectory(QFile::encodeName(links.path).constData())) continue;
        const QDir dir(links.path);
        QStringList found = dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        std::sort(found.begin(), found.end(), naturalLess);
        for (const QString& name : found) {
            const QString link = dir.filePath(name);
            // Follows the link: one left by a simulator that has ended is dangling.
            if (QFileInfo::exists(link)) ports.append({link, links.description});
        }
    }
    if (ports.size() > kMaxListedPorts) ports.resize(kMaxListedPorts);
    return ports;
}

QStringList listSerialPorts(const PortListSources& sources) {
    QStringList names;
    for (const PortEntry& e : listPortEntries(sources)) names << e.name;
    return names;
}

QString usbAdapterIdentity(const QString& node, const PortListSources& sources) {
    const QDir sys(sources.sysClassTty);
    // A link such as /dev/serial/by-id/... is known by the node it leads to.
    for (const QString& name :
         {QFileInfo(node).fileName(),
          QFileInfo(node).canonicalFilePath().section(QLatin1Char('/'), -1)}) {
        if (name.isEmpty() || isVirtualConsole(name)) continue;
        const QString ttyDir = sys.filePath(name);
        if (hasEntry(ttyDir)) return usbIdentityOfTty(ttyDir);
    }
    return {};
}

QString portWithUsbIdentity(const QString& identity, const PortListSources& sources) {
    if (identity.isEmpty()) return {};
    for (const PortEntry& e : listPortEntries(sources))
        if (usbAdapterIdentity(e.name, sources) == identity) return e.name;
    return {};
}

QStringList portListWatchPaths(const PortListSources& sources) {
    QStringList dirs{sources.dev};
    for (const PortLinkDirectory& links : sources.linkDirectories) dirs << links.path;
    QStringList paths;
    for (QString dir : dirs) {
        // A directory not made yet (no simulator has run) is watched for
        // through the nearest one that exists.
        while (!dir.isEmpty() && !QFileInfo(dir).isDir()) dir = parentOf(dir);
        if (!dir.isEmpty() && !paths.contains(dir)) paths << dir;
    }
    return paths;
}

}  // namespace lqs
