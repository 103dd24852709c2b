// What the record files need of the file system beyond Qt: opening only
// regular files without blocking, creating a file that must not exist yet,
// and seeing through a symbolic link. One file per platform implements it.
#pragma once

#include <QByteArray>
#include <QString>

class QFile;

namespace lqs {

// The path as the user's platform writes it.
QString shownPath(const QString& path);
// Throws EFileError: "<what> "<path>". <Reason>."
[[noreturn]] void failFile(const QString& what, const QString& path, QString reason);

// Opens a regular file, or a link to one, for reading into file. A pipe or a
// device is refused before it is opened, as opening it could wait for ever;
// throws EFileError naming what the entry is.
void openRegularFile(QFile& file, const QString& path);

// Creates path, which must not exist in any form (a dangling link included),
// and writes data to it, on disk before it returns. False when the name is
// taken and mayBeTaken; throws EFileError otherwise, leaving no file behind.
bool createNewFile(const QString& path, const QByteArray& data, bool mayBeTaken);

// A folder the user owns and may write to, checked without writing there
// (a read-only mount says no, even to root).
bool isOwnWritableFolder(const QString& path);

}  // namespace lqs
