#pragma once

#include <QByteArray>
#include <QString>

// Whole-file reads and writes for small text files that must never be left half written.
namespace AtomicFile {

// The file's bytes; the empty array when there is no such file. Throws Error when the
// file is there but cannot be read (a folder of that name included).
QByteArray ReadExisting(const QString& path);

// Replaces the file's content as one step: the bytes go to a temporary file in the same
// folder, are flushed to the disk and renamed over the file, which keeps its permission
// bits (a symbolic link is followed, so the link stays). A file nobody may write is
// refused, as is one that cannot be opened for writing. Throws Error on any failure, and
// the file then holds what it held before.
void Replace(const QString& path, const QByteArray& bytes);

}  // namespace AtomicFile
