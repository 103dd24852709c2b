// The program's own sequences folder and the files in it, reached by a plain
// name only: a script names a file, never a path, and a link or a FIFO put
// at that name is refused rather than followed or waited on.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace lqs {

// AppDataLocation + "/sequences".
QString sequencesFolder();

// Empty when name is a plain file name: [A-Za-z0-9 _.-], at most 100
// characters, not "." or ".."; otherwise why not.
QString sequenceNameProblem(const QString& name);
// The name with ".csv" appended when it has no such ending.
QString sequenceFileName(const QString& name);

enum class SequenceFile : std::uint8_t { Done, Missing, Refused, Failed };

// The file's bytes. Refused for a bad name, a link, anything but a regular
// file, or one too large to be a sequence.
SequenceFile readSequenceFile(const QString& folder, const QString& name, QByteArray* bytes,
                              QString* why);
// Written whole through a temporary file renamed over the name, the folder
// created when missing. Refused when a link or a non-regular file stands there.
SequenceFile writeSequenceFile(const QString& folder, const QString& name, const QByteArray& bytes,
                               QString* why);

}  // namespace lqs
