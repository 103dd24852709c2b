// Linux: the kernel's tty class in sysfs says which nodes have hardware behind them.
#include "port_list.h"

#include "sim_link.h"

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

// serial_core writes the UART type; 0 is PORT_UNKNOWN, a node with nothing behind it.
bool hasUart(const QString& ttyDir) {
    QFile f(ttyDir + QLatin1String("/type"));
    if (!f.open(QIODevice::ReadOnly)) return false;
    bool ok = false;
    const int type = QString::fromLatin1(f.read(64)).trimmed().toInt(&ok);
    return ok && type != 0;
}

}  // namespace

QString simulatorLinkDirectory() {
    return QString::fromStdString(sim::linkDirectory());
}

QStringList listSerialPorts(const PortListSources& sources) {
    QStringList standard, usb, acm, other;
    const QDir sys(sources.sysClassTty);
    const QStringList names =
        sys.exists() ? sys.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                     : QStringList();
    for (const QString& name : names) {
        if (isVirtualConsole(name)) continue;
        const QString ttyDir = sys.filePath(name);
        if (!hasEntry(ttyDir + QLatin1String("/device"))) continue;
        // Only a node that exists can be opened.
        if (!hasEntry(sources.dev + QLatin1Char('/') + name)) continue;
        if (name.startsWith(QLatin1String("ttyS"))) {
            if (hasUart(ttyDir)) standard << name;
        } else if (name.startsWith(QLatin1String("ttyUSB"))) {
            usb << name;
        } else if (name.startsWith(QLatin1String("ttyACM"))) {
            acm << name;
        } else {
            other << name;
        }
    }

    QStringList ports;
    for (QStringList* group : {&standard, &usb, &acm, &other}) {
        std::sort(group->begin(), group->end(), naturalLess);
        for (const QString& name : *group) ports << sources.dev + QLatin1Char('/') + name;
    }
    for (int i = 0; i < sim::kLinkCount; ++i) {
        const QString link =
            sources.simulatorDir + QLatin1Char('/') + QString::fromStdString(sim::linkName(i));
        if (QFileInfo::exists(link))
            ports << link;  // follows the link: a dead simulator's is dangling
    }
    if (ports.size() > kMaxListedPorts) ports.resize(kMaxListedPorts);
    return ports;
}

}  // namespace lqs
