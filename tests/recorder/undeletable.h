// A file that cannot be deleted, even by root: root passes by a folder's
// modes, but not by the immutable flag, which it may set on file systems that
// keep it (ext4, xfs, btrfs, tmpfs). Others get a read-only folder.
#pragma once

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lqs::test {

struct Undeletable {
    QString path;
    bool made = false;
    QString reason;  // what deleting it reports

    explicit Undeletable(const QString& file) : path(file) {
        if (geteuid() == 0) {
            made = setImmutable(true);
            reason = QStringLiteral("Operation not permitted");
        } else {
            made = ::chmod(folder().constData(), 0555) == 0;
            reason = QStringLiteral("Permission denied");
        }
    }
    ~Undeletable() {
        if (!made) return;
        if (geteuid() == 0)
            setImmutable(false);
        else
            ::chmod(folder().constData(), 0755);
    }
    Undeletable(const Undeletable&) = delete;
    Undeletable& operator=(const Undeletable&) = delete;

private:
    QByteArray folder() const { return QFile::encodeName(QFileInfo(path).absolutePath()); }
    bool setImmutable(bool on) const {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }
};

}  // namespace lqs::test
