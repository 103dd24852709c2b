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

// The file a recording's lines go to as they are taken, so that a program
// killed while recording loses at most what the disk had not yet been given.
// The descriptor stays open while recording. Throws EFileError.
class RecordJournal {
public:
    RecordJournal() = default;
    RecordJournal(const RecordJournal&) = delete;
    RecordJournal& operator=(const RecordJournal&) = delete;
    ~RecordJournal() { close(); }

    // Creates or empties `path` (never through a link) and writes the header line.
    void open(const QString& path, QByteArrayView header);
    bool isOpen() const { return m_fd >= 0; }
    // Appends one line and its CR LF with one write.
    void append(QByteArrayView line);
    // fdatasync when anything was written since the last one; true when it synced.
    bool syncIfWritten();
    // Syncs what is left and closes; the file stays.
    void close();
    // Closes and deletes the file.
    void remove();

    qint64 writes() const { return m_writes; }
    qint64 syncs() const { return m_syncs; }

private:
    QString m_path;
    int m_fd = -1;
    bool m_dirty = false;
    qint64 m_writes = 0;
    qint64 m_syncs = 0;
};

}  // namespace lqs
