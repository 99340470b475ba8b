#pragma once

#include <sys/types.h>
#include <QByteArray>
#include <QString>
#include <functional>

// Whole-file reads and writes for the small text files that must never be left half
// written (config.ini, the log).
namespace AtomicFile {

// Where a read or a replace failed, so each caller can word the error its own way.
enum class Step { Read, Create, Write, Rename };
// Must throw; it is called with the step and the errno of the failure.
using FailureHandler = std::function<void(Step step, int errnoValue)>;
using WriteFunction = ssize_t (*)(int fd, const void* data, size_t size);

struct Options {
    FailureHandler fail;
    // Where the bytes go; tests put a failing writer here.
    WriteFunction write = &::write;
};

// Writes all of data to fd, again after an interruption or a short write; 0, or the errno
// of the write that failed (ENOSPC for one that wrote nothing).
int WriteFully(int fd, const char* data, size_t size, WriteFunction write = &::write);

// The file's bytes; the empty array when there is no such file. A file that is there but
// cannot be read fails with Step::Read, and so does at once anything that is not a regular
// file (a folder: EISDIR; a FIFO, a socket, a device: EINVAL), without waiting on it.
QByteArray ReadExisting(const QString& path, const FailureHandler& fail);

// Replaces the file's content as one step: the bytes go to a temporary file in the same
// folder, are flushed to the disk and renamed over the file, which keeps its permission
// bits (a symbolic link is followed, so the link stays). A file nobody may write is
// refused, as is one that cannot be opened for writing. On any failure the temporary file
// is removed and the file holds what it held before.
void Replace(const QString& path, const QByteArray& bytes, const Options& options);

}  // namespace AtomicFile
