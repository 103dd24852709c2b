#include "serial/port_list.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

namespace lqs {

namespace {

constexpr long kDevptsMagic = 0x1cd1;

// Unix 98 pseudo-terminal slaves have majors 136 to 143.
bool pseudoTerminalNode(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

QString stamp(const struct stat& st) {
    return QStringLiteral("%1:%2:%3.%4")
        .arg(st.st_dev)
        .arg(st.st_ino)
        .arg(st.st_ctim.tv_sec)
        .arg(st.st_ctim.tv_nsec);
}

}  // namespace

PortSight lookAtPort(const QString& path) {
    PortSight sight;
    const QByteArray native = QFile::encodeName(path);
    struct stat own {};
    if (::lstat(native.constData(), &own) != 0) {
        // Gone: a node in a devpts folder is a pseudo-terminal's, even now.
        struct statfs fs {};
        const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
        sight.pseudoTerminal =
            ::statfs(folder.constData(), &fs) == 0 && long(fs.f_type) == kDevptsMagic;
        return sight;
    }
    sight.link = S_ISLNK(own.st_mode);
    sight.self = stamp(own);
    struct stat target {};
    sight.exists = ::stat(native.constData(), &target) == 0;
    sight.pseudoTerminal = !sight.link && pseudoTerminalNode(own);
    return sight;
}

}  // namespace lqs
