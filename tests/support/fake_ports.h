// A fake machine for the port list: sysfs tty class entries are links to
// device directories, as on a real system, with /dev nodes and a simulator
// link directory beside them.
#pragma once

#include "serial/port_list.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace lqs::test {

inline bool writeText(const QString& path, const QString& text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8() + '\n') > 0;
}

class FakeTree {
public:
    FakeTree() {
        const QDir root(m_tmp.path());
        for (const char* d : {"sys/class/tty", "sys/devices", "dev", "sim"})
            root.mkpath(QString::fromLatin1(d));
        sources.sysClassTty = root.filePath(QStringLiteral("sys/class/tty"));
        sources.dev = root.filePath(QStringLiteral("dev"));
        sources.linkDirectories = {
            {root.filePath(QStringLiteral("sim")), QStringLiteral("simulated instrument")}};
    }

    QString simDir() const { return sources.linkDirectories.first().path; }

    // "<name> [dev] [type=N] [nonode]": a device link, a type file, no /dev node.
    bool addTty(const QString& entry) {
        const QStringList parts = entry.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString name = parts.first();
        const QDir root(m_tmp.path());
        const QString devDir = root.filePath(QStringLiteral("sys/devices/") + name);
        if (!root.mkpath(devDir)) return false;
        if (!QFile::link(devDir, sources.sysClassTty + QLatin1Char('/') + name)) return false;
        if (parts.contains(QLatin1String("dev"))) {
            const QString parent = root.filePath(QStringLiteral("sys/devices/parent-") + name);
            if (!root.mkpath(parent) || !QFile::link(parent, devDir + QStringLiteral("/device")))
                return false;
        }
        for (const QString& p : parts) {
            if (p.startsWith(QLatin1String("type=")) &&
                !writeText(devDir + QStringLiteral("/type"), p.mid(5)))
                return false;
        }
        return parts.contains(QLatin1String("nonode")) || addNode(name);
    }

    // A USB adapter laid out as the kernel does: the USB device with its
    // attributes, an interface, the port, and the tty's class entry inside the
    // port. attributes are "name=value"; interfaceOnly makes the tty's device
    // the interface (as for ACM); a node target makes the /dev node a link
    // to that port.
    bool addUsbTty(const QString& name, const QStringList& attributes, bool interfaceOnly = false,
                   const QString& nodeTarget = {}) {
        const QDir root(m_tmp.path());
        const QString usbDev =
            root.filePath(QStringLiteral("sys/devices/pci0/usb1/1-%1").arg(++m_usbPorts));
        const QString iface = usbDev + QStringLiteral("/1-%1:1.0").arg(m_usbPorts);
        const QString port = interfaceOnly ? iface : iface + QLatin1Char('/') + name;
        const QString classDir = port + QStringLiteral("/tty/") + name;
        if (!root.mkpath(classDir)) return false;
        for (const QString& a : attributes) {
            const qsizetype eq = a.indexOf(QLatin1Char('='));
            if (!writeText(usbDev + QLatin1Char('/') + a.left(eq), a.mid(eq + 1))) return false;
        }
        return QFile::link(port, classDir + QStringLiteral("/device")) &&
               QFile::link(classDir, sources.sysClassTty + QLatin1Char('/') + name) &&
               (nodeTarget.isEmpty()
                    ? addNode(name)
                    : QFile::link(nodeTarget, sources.dev + QLatin1Char('/') + name));
    }

    // The adapter pulled out: its class entry and node go, as the kernel removes them.
    bool unplug(const QString& name) {
        return QFile::remove(sources.sysClassTty + QLatin1Char('/') + name) && removeNode(name);
    }

    bool addNode(const QString& name) {
        return writeText(sources.dev + QLatin1Char('/') + name, {});
    }
    bool removeNode(const QString& name) {
        return QFile::remove(sources.dev + QLatin1Char('/') + name);
    }

    // "<link name>" points at a live target, "<link name> dead" at a missing one.
    bool addSimLink(const QString& entry) {
        const QStringList parts = entry.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString target = m_tmp.filePath(QStringLiteral("pts-") + parts.first());
        if (!parts.contains(QLatin1String("dead")) && !writeText(target, {})) return false;
        return QFile::link(target, simDir() + QLatin1Char('/') + parts.first());
    }

    // "$dev/x" and "$sim/x" in an expected list, made absolute.
    QStringList resolve(QStringList paths) const {
        for (QString& p : paths) {
            p.replace(QLatin1String("$dev"), sources.dev);
            p.replace(QLatin1String("$sim"), simDir());
        }
        return paths;
    }

    bool ok() const { return m_tmp.isValid(); }
    QString path() const { return m_tmp.path(); }

    PortListSources sources;

private:
    QTemporaryDir m_tmp;
    int m_usbPorts = 0;
};

}  // namespace lqs::test
