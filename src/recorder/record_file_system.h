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

// Opens a regular file, or a link to one unless !followLink, for reading into
// file. A pipe or a device is refused before it is opened, as opening it could
// wait for ever; throws EFileError naming what the entry is.
void openRegularFile(QFile& file, const QString& path, bool followLink = true);

// Renames the entry `from` (a link itself, not what it leads to) to `to`;
// false when `to` is taken, which is never replaced. Throws EFileError.
bool renameAside(const QString& from, const QString& to);

// Creates path, which must not exist in any form (a dangling link included),
// and writes data to it, on disk before it returns. False when the name is
// taken and mayBeTaken; throws EFileError otherwise, leaving no file behind.
bool createNewFile(const QString& path, const QByteArray& data, bool mayBeTaken);

// A folder the user owns and may write to, checked without writing there
// (a read-only mount says no, even to root).
bool isOwnWritableFolder(const QString& path);

// A journal's lock, tried without waiting and held while the claim lives. A
// running program holds its own journal's lock for as long as it keeps the
// journal; the system lets it go when the program dies, even by kill -9.
class JournalClaim {
public:
    explicit JournalClaim(const QString& path);
    JournalClaim(const JournalClaim&) = delete;
    JournalClaim& operator=(const JournalClaim&) = delete;
    ~JournalClaim();
    // No running program holds it: a regular file locked now by this claim,
    // or an entry that cannot be locked (not a regular file, unreadable),
    // to be told as it is. False when held or gone.
    bool offerable() const { return m_offerable; }

private:
    int m_fd = -1;
    bool m_offerable = false;
};

// The file a recording's lines go to as they are taken, so that a program
// killed while recording loses at most what the disk had not yet been given.
// The descriptor, and the lock on it, stay until remove() or release().
// Throws EFileError.
class RecordJournal {
public:
    RecordJournal() = default;
    RecordJournal(const RecordJournal&) = delete;
    RecordJournal& operator=(const RecordJournal&) = delete;
    ~RecordJournal() { release(); }

    // Creates or empties `path`, a regular file only (never through a link,
    // never waiting on a pipe), locks it and writes the header line. A file
    // with lines already there, which only a dead program with this process
    // id can have left, is first renamed to another journal's name.
    void open(const QString& path, QByteArrayView header);
    bool isOpen() const { return m_fd >= 0 && m_writing; }
    // Appends one line and its CR LF with one write.
    void append(QByteArrayView line);
    // fdatasync when anything was written since the last one; true when it synced.
    bool syncIfWritten();
    // Syncs what is left and stops writing; the file stays, still locked.
    void close();
    // Closes and lets the lock go; the file stays, to be offered back.
    void release();
    // Deletes the file, then closes it.
    void remove();

    qint64 writes() const { return m_writes; }
    qint64 syncs() const { return m_syncs; }

private:
    QString m_path;
    int m_fd = -1;
    bool m_writing = false;
    bool m_dirty = false;
    qint64 m_headerBytes = 0;
    qint64 m_writes = 0;
    qint64 m_syncs = 0;
};

}  // namespace lqs
