// The record files' file-system work on POSIX systems.
#include "recorder/record_file_system.h"

#include "recorder/record_files.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace lqs {

namespace {

QString shown(const QString& path) {
    return shownPath(path);
}
[[noreturn]] void fail(const QString& what, const QString& path, const QString& reason) {
    failFile(what, path, reason);
}

QString systemReason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return QStringLiteral("a folder");
    if (S_ISFIFO(mode)) return QStringLiteral("a named pipe");
    if (S_ISCHR(mode) || S_ISBLK(mode)) return QStringLiteral("a device");
    if (S_ISSOCK(mode)) return QStringLiteral("a socket");
    if (S_ISLNK(mode)) return QStringLiteral("a symbolic link");
    return QStringLiteral("a special file");
}

[[noreturn]] void failNotAFile(const QString& what, const QString& path, mode_t mode,
                               bool viaLink) {
    fail(what, path,
         (viaLink ? QStringLiteral("It is a link to %1, not a file")
                  : QStringLiteral("It is %1, not a file"))
             .arg(kindOf(mode)));
}

[[noreturn]] void failDangling(const QString& what, const QString& path) {
    fail(what, path,
         QStringLiteral("It is a link to \"%1\", which does not exist")
             .arg(shown(QFileInfo(path).symLinkTarget())));
}

// Opening a pipe or device for reading can wait for ever, so it is refused
// before open(); should one be swapped in meanwhile, O_NONBLOCK keeps open()
// from waiting and fstat() refuses it after.
int openRegularFd(const QString& path, bool followLink) {
    const QString what = QStringLiteral("Cannot open file");
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) fail(what, path, systemReason(errno));
    const bool link = S_ISLNK(st.st_mode);
    if (link && !followLink) failNotAFile(what, path, st.st_mode, false);
    if (link && ::stat(native.constData(), &st) != 0) {
        if (errno == ENOENT) failDangling(what, path);
        fail(what, path, systemReason(errno));
    }
    if (!S_ISREG(st.st_mode)) failNotAFile(what, path, st.st_mode, link);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                                  (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0) fail(what, path, systemReason(errno));
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        fail(what, path, systemReason(error));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        failNotAFile(what, path, st.st_mode, link);
    }
    return fd;
}

// Writes all of `data` to the file just created as `path`, or removes it.
void writeNewFile(int fd, const QString& path, const QByteArray& data) {
    int error = 0;
    for (qsizetype done = 0; done < data.size() && !error;) {
        const ssize_t n = ::write(fd, data.constData() + done, std::size_t(data.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0)
            error = EIO;
        else if (errno != EINTR)
            error = errno;
    }
    // On disk before it is reported saved; EINVAL: a file system that cannot sync.
    if (!error && ::fsync(fd) != 0 && errno != EINVAL) error = errno;
    if (::close(fd) != 0 && !error && errno != EINTR) error = errno;
    if (error) {
        ::unlink(QFile::encodeName(path).constData());
        fail(QStringLiteral("Cannot write file"), path, systemReason(error));
    }
}

}  // namespace

void openRegularFile(QFile& file, const QString& path, bool followLink) {
    const int fd = openRegularFd(path, followLink);
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        fail(QStringLiteral("Cannot open file"), path, file.errorString());
    }
}

bool createNewFile(const QString& path, const QByteArray& data, bool mayBeTaken) {
    // O_EXCL fails on any entry of the name, a dangling link too, so nothing
    // is replaced and no link is followed.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST && mayBeTaken) return false;
        fail(QStringLiteral("Cannot create file"), path, systemReason(error));
    }
    writeNewFile(fd, path, data);
    return true;
}

bool isOwnWritableFolder(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    return ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() &&
           ::faccessat(AT_FDCWD, native.constData(), W_OK, AT_EACCESS) == 0;
}

WriteTarget writeTarget(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    // Nothing there, or nothing to be learnt: the write itself says why it fails.
    if (::lstat(native.constData(), &st) != 0) return {path, false, false};
    if (!S_ISLNK(st.st_mode)) return {path, false, true};
    const QString what = QStringLiteral("Cannot create file");
    if (::stat(native.constData(), &st) != 0) {
        if (errno == ENOENT) failDangling(what, path);
        fail(what, path, systemReason(errno));
    }
    if (!S_ISREG(st.st_mode)) failNotAFile(what, path, st.st_mode, true);
    const QString target = QFileInfo(path).canonicalFilePath();
    if (target.isEmpty()) failDangling(what, path);  // removed meanwhile
    return {target, true, true};
}

bool renameAside(const QString& from, const QString& to) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    // The entry itself moves, a link as a link; nothing at `to` is replaced.
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return true;
    int error = errno;
    if (error == EINVAL) {  // a file system without RENAME_NOREPLACE
        struct stat st {};
        if (::lstat(target.constData(), &st) == 0) return false;
        if (::rename(source.constData(), target.constData()) == 0) return true;
        error = errno;
    }
    if (error == EEXIST) return false;
    fail(QStringLiteral("Cannot rename file"), from, systemReason(error));
}

JournalClaim::JournalClaim(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        m_offerable = errno != ENOENT;
        return;
    }
    // A link or a pipe is no program's journal: never opened, it is told as it is.
    m_offerable = true;
    if (!S_ISREG(st.st_mode)) return;
    m_fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0) {
        m_offerable = errno != ENOENT;  // unreadable: reading it says why
        return;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) m_offerable = false;
}

JournalClaim::~JournalClaim() {
    if (m_fd >= 0) ::close(m_fd);
}

void RecordJournal::open(const QString& path, QByteArrayView header) {
    remove();
    const QString what = QStringLiteral("Cannot create file");
    const QByteArray native = QFile::encodeName(path);
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    };
    for (int attempt = 0;; ++attempt) {
        // O_NOFOLLOW: a link planted at the name is not written through;
        // O_NONBLOCK: a pipe there cannot hold the recording up.
        Fd file{::open(native.constData(),
                       O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666)};
        struct stat st {};
        if (file.fd < 0) {
            const int error = errno;
            if (::lstat(native.constData(), &st) == 0 && !S_ISREG(st.st_mode))
                failNotAFile(what, path, st.st_mode, false);
            fail(what, path, systemReason(error));
        }
        if (::fstat(file.fd, &st) != 0) fail(what, path, systemReason(errno));
        if (!S_ISREG(st.st_mode)) failNotAFile(what, path, st.st_mode, false);
        // Held while this program keeps the journal, so no other offers it back.
        if (::flock(file.fd, LOCK_EX | LOCK_NB) != 0)
            fail(what, path,
                 errno == EWOULDBLOCK ? QStringLiteral("It is in use by another running program")
                                      : systemReason(errno));
        // Left by a killed program that had this process id: it moves aside,
        // under a journal's name still, to be offered at the next start.
        if (st.st_size > 0 && attempt == 0 && path.endsWith(QLatin1String(".journal"))) {
            const QString aside =
                path.chopped(8) +
                QStringLiteral(".%1.journal").arg(QDateTime::currentMSecsSinceEpoch());
            if (renameAside(path, aside)) {
                // The readings it kept go with it, when there are any.
                try {
                    const QString readings = readingsJournalPath(path);
                    if (QFileInfo(readings).isFile())
                        renameAside(readings, readingsJournalPath(aside));
                } catch (const EFileError&) {
                    // Its record is safe; the readings stay as they are.
                }
                continue;
            }
        }
        if (::ftruncate(file.fd, 0) != 0) fail(what, path, systemReason(errno));
        m_fd = std::exchange(file.fd, -1);
        break;
    }
    m_path = path;
    m_writing = true;
    append(header);
    m_headerBytes = header.size() + 2;
}

void RecordJournal::append(QByteArrayView line) {
    if (!isOpen()) return;
    QByteArray data;
    data.reserve(line.size() + 2);
    data.append(line).append("\r\n");
    for (qsizetype done = 0; done < data.size();) {
        const ssize_t n = ::write(m_fd, data.constData() + done, std::size_t(data.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            const int error = n == 0 ? EIO : errno;
            close();
            fail(QStringLiteral("Cannot write file"), m_path, systemReason(error));
        }
    }
    ++m_writes;
    m_dirty = true;
}

bool RecordJournal::syncIfWritten() {
    if (!isOpen() || !m_dirty) return false;
    m_dirty = false;
    ++m_syncs;
    // EINVAL: a file system that cannot sync; the lines are written all the same.
    return ::fdatasync(m_fd) == 0 || errno == EINVAL;
}

// The descriptor stays, and with it the lock: the lines are still this
// program's, not a killed one's to offer back.
void RecordJournal::close() {
    syncIfWritten();
    m_writing = false;
}

void RecordJournal::release() {
    close();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

void RecordJournal::remove() {
    if (m_fd >= 0) {
        // Unlinked while still locked, so no other program reads it half gone.
        // A folder that refuses (made read-only meanwhile) still lets the
        // lines go from the file, so they are not offered back as unsaved.
        if (::unlink(QFile::encodeName(m_path).constData()) != 0 && m_headerBytes > 0 &&
            ::ftruncate(m_fd, m_headerBytes) != 0)
            std::perror("journal");
        ::close(m_fd);  // no sync: the file goes
        m_fd = -1;
    }
    m_path.clear();
    m_writing = false;
    m_dirty = false;
}

}  // namespace lqs
