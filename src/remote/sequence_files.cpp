#include "remote/sequence_files.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lqs {

namespace {

constexpr int kLongestName = 100;
// Far beyond any sequence a person writes; a bigger file is not one.
constexpr qint64 kLargestFile = 4 * 1024 * 1024;

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString pathOf(const QString& folder, const QString& name) {
    return folder + QLatin1Char('/') + sequenceFileName(name);
}

}  // namespace

QString sequencesFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/sequences");
}

QString sequenceNameProblem(const QString& name) {
    if (name.isEmpty()) return QStringLiteral("the name is empty");
    if (name.size() > kLongestName)
        return QStringLiteral("the name is longer than %1 characters").arg(kLongestName);
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("\"%1\" is not a file name").arg(name);
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool plain = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                           (u >= '0' && u <= '9') || u == ' ' || u == '_' || u == '.' || u == '-';
        if (!plain) return QStringLiteral("a name holds only letters, digits, spaces and _ . -");
    }
    return {};
}

QString sequenceFileName(const QString& name) {
    return name.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)
               ? name
               : name + QStringLiteral(".csv");
}

SequenceFile readSequenceFile(const QString& folder, const QString& name, QByteArray* bytes,
                              QString* why) {
    if (const QString problem = sequenceNameProblem(name); !problem.isEmpty()) {
        *why = problem;
        return SequenceFile::Refused;
    }
    const QByteArray path = QFile::encodeName(pathOf(folder, name));
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        *why = errno == ENOENT ? QStringLiteral("no sequence is named \"%1\"").arg(name)
                               : errnoText(errno);
        return errno == ENOENT ? SequenceFile::Missing : SequenceFile::Failed;
    }
    const QString notPlain = QStringLiteral("\"%1\" is not a plain file").arg(name);
    if (!S_ISREG(st.st_mode)) {
        *why = notPlain;
        return SequenceFile::Refused;
    }
    // Whatever stands there now: no link followed, no FIFO waited on.
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *why = error == ELOOP ? notPlain : errnoText(error);
        return error == ELOOP    ? SequenceFile::Refused
               : error == ENOENT ? SequenceFile::Missing
                                 : SequenceFile::Failed;
    }
    SequenceFile outcome = SequenceFile::Done;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = notPlain;
        outcome = SequenceFile::Refused;
    } else if (st.st_size > kLargestFile) {
        *why = QStringLiteral("\"%1\" is too large for a sequence").arg(name);
        outcome = SequenceFile::Refused;
    } else {
        QFile file;
        if (!file.open(fd, QIODevice::ReadOnly)) {
            *why = file.errorString();
            outcome = SequenceFile::Failed;
        } else {
            *bytes = file.read(kLargestFile + 1);
            if (bytes->size() > kLargestFile) {
                *why = QStringLiteral("\"%1\" is too large for a sequence").arg(name);
                outcome = SequenceFile::Refused;
            }
        }
    }
    ::close(fd);
    return outcome;
}

SequenceFile writeSequenceFile(const QString& folder, const QString& name, const QByteArray& bytes,
                               QString* why) {
    if (const QString problem = sequenceNameProblem(name); !problem.isEmpty()) {
        *why = problem;
        return SequenceFile::Refused;
    }
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("the folder %1 cannot be made").arg(folder);
        return SequenceFile::Failed;
    }
    const QString path = pathOf(folder, name);
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *why = QStringLiteral("\"%1\" is not a plain file").arg(name);
        return SequenceFile::Refused;
    }
    QTemporaryFile temporary(folder + QStringLiteral("/.saving-XXXXXX"));
    if (!temporary.open()) {
        *why = temporary.errorString();
        return SequenceFile::Failed;
    }
    temporary.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                             QFile::ReadOther);
    if (temporary.write(bytes) != bytes.size() || !temporary.flush() ||
        ::fsync(temporary.handle()) != 0) {
        *why = temporary.errorString();
        return SequenceFile::Failed;
    }
    // rename() replaces whatever name stands there, a link too, never its target.
    if (::rename(QFile::encodeName(temporary.fileName()).constData(),
                 QFile::encodeName(path).constData()) != 0) {
        *why = errnoText(errno);
        return SequenceFile::Failed;
    }
    temporary.setAutoRemove(false);
    return SequenceFile::Done;
}

}  // namespace lqs
