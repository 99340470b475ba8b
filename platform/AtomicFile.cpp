#include "platform/AtomicFile.h"

#include "platform/DiskFlush.h"
#include "platform/FileDescriptor.h"
#include "platform/WorkingFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace AtomicFile {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const FailureHandler& fail, Step step, int error) {
    fail(step, error);
    std::abort();  // a handler that returns would leave the caller in a half-done state
}

// A symbolic link is written through, so the link itself survives the rename.
fs::path WrittenPath(const QString& path) {
    const fs::path given = ToFsPath(path);
    std::error_code error;
    if (fs::is_symlink(given, error)) {
        const fs::path target = fs::canonical(given, error);
        if (!error) {
            return target;
        }
    }
    return given;
}

fs::path FolderOf(const fs::path& file) {
    const fs::path folder = file.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

// The user's own "read-only" holds even for root, who could otherwise open and rename
// over any file.
void RequireWritable(const fs::path& file, const struct stat& status, const Options& options) {
    if (!S_ISREG(status.st_mode)) {
        Fail(options.fail, Step::Create, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    }
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        Fail(options.fail, Step::Create, EACCES);
    }
    FileDescriptor probe(::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (!probe.valid()) {
        Fail(options.fail, Step::Create, errno);
    }
}

std::string TemporaryStem(const fs::path& file) {
    return "." + file.filename().native() + ".tmp-";
}

// A writer holds a lock on its temporary file for as long as it writes; one nobody holds
// was left by a writer that died (power cut, kill) and is removed.
void RemoveAbandonedTemporaries(const fs::path& file) {
    const std::string stem = TemporaryStem(file);
    std::error_code error;
    for (fs::directory_iterator entry(FolderOf(file), error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().native();
        if (name.compare(0, stem.size(), stem) != 0) {
            continue;
        }
        FileDescriptor stale(
            ::open(entry->path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (stale.valid() && ::flock(stale.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlink(entry->path().c_str());
        }
    }
}

// A file of a fresh hidden name in the folder of `file`, removed again unless it was
// renamed into place.
class Temporary {
public:
    Temporary(const fs::path& file, const Options& options) {
        RemoveAbandonedTemporaries(file);
        const std::string stem = TemporaryStem(file);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const quint64 salt = QRandomGenerator::global()->generate64();
            path_ = FolderOf(file) / (stem + QByteArray::number(salt, 16).toStdString());
            // 0666 under the umask: what a new file of this name would get.
            fd_ = FileDescriptor(
                ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
            if (fd_.valid()) {
                ::flock(fd_.get(), LOCK_EX | LOCK_NB);
                return;
            }
            if (errno != EEXIST) {
                Fail(options.fail, Step::Create, errno);
            }
        }
        Fail(options.fail, Step::Create, EEXIST);
    }
    ~Temporary() {
        if (!renamed_) {
            fd_ = FileDescriptor();
            ::unlink(path_.c_str());
        }
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    int fd() const { return fd_.get(); }

    void finish(const fs::path& file, const Options& options) {
        if (::fsync(fd_.get()) != 0 || !fd_.close()) {
            Fail(options.fail, Step::Write, errno);
        }
        if (::rename(path_.c_str(), file.c_str()) != 0) {
            Fail(options.fail, Step::Rename, errno);
        }
        renamed_ = true;
    }

private:
    fs::path path_;
    FileDescriptor fd_;
    bool renamed_ = false;
};

void KeepModeAndOwner(int fd, const struct stat& status, const Options& options) {
    // A file system that keeps no modes (FAT, some network shares) refuses the change: the
    // file then has what that file system gives every file.
    if (::fchmod(fd, status.st_mode & 07777) != 0 && errno != ENOSYS && errno != EPERM &&
        errno != EOPNOTSUPP) {
        Fail(options.fail, Step::Create, errno);
    }
    if (status.st_uid != ::geteuid() || status.st_gid != ::getegid()) {
        // Only root can give the file back to its owner; for anyone else the new file is
        // their own, as with any editor that saves by rename.
        [[maybe_unused]] const int ignored = ::fchown(fd, status.st_uid, status.st_gid);
    }
}

void WriteAll(int fd, const QByteArray& bytes, const Options& options) {
    if (const int failure =
            WriteFully(fd, bytes.constData(), static_cast<size_t>(bytes.size()), options.write)) {
        Fail(options.fail, Step::Write, failure);
    }
}

}  // namespace

int WriteFully(int fd, const char* data, size_t size, WriteFunction write) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written == 0 ? ENOSPC : errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

QByteArray ReadExisting(const QString& path, const FailureHandler& fail) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    FileDescriptor descriptor(
        ::open(ToFsPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!descriptor.valid()) {
        if (errno == ENOENT) {
            return {};
        }
        Fail(fail, Step::Read, errno);
    }
    struct stat status {};
    if (::fstat(descriptor.get(), &status) != 0) {
        Fail(fail, Step::Read, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        // A FIFO, a socket or a device (/dev/zero never ends) is no file to read whole.
        Fail(fail, Step::Read, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    }
    QByteArray content;
    if (status.st_size > 0) {
        content.reserve(static_cast<qsizetype>(status.st_size) + 1);
    }
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(descriptor.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(fail, Step::Read, errno);
        }
        if (got == 0) {
            return content;
        }
        content.append(buffer, got);
    }
}

void Replace(const QString& path, const QByteArray& bytes, const Options& options) {
    const fs::path file = WrittenPath(path);
    struct stat status {};
    const bool exists = ::stat(file.c_str(), &status) == 0;
    if (!exists && errno != ENOENT) {
        Fail(options.fail, Step::Create, errno);
    }
    if (exists) {
        RequireWritable(file, status, options);
    }
    Temporary temporary(file, options);
    if (exists) {
        KeepModeAndOwner(temporary.fd(), status, options);
    }
    WriteAll(temporary.fd(), bytes, options);
    temporary.finish(file, options);
    // Makes the rename itself durable; a folder that cannot be synced changes nothing here.
    FlushFolderEntries(FolderOf(file));
}

}  // namespace AtomicFile
