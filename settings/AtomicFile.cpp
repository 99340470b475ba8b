#include "settings/AtomicFile.h"

#include "platform/Error.h"
#include "platform/WorkingFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <cerrno>
#include <filesystem>
#include <string>

namespace AtomicFile {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const char* verb, const QString& path, int error) {
    throw Error(QStringLiteral("Cannot %1 file \"%2\". %3")
                    .arg(QLatin1String(verb), path, SystemErrorText(error)));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and tells whether the close went well (NFS reports late errors here).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

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
void RequireWritable(const fs::path& file, const struct stat& status, const QString& path) {
    if (!S_ISREG(status.st_mode)) {
        Fail("write", path, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    }
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        Fail("write", path, EACCES);
    }
    Descriptor probe(::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (!probe.valid()) {
        Fail("write", path, errno);
    }
}

struct Temporary {
    fs::path path;
    int fd = -1;
};

Temporary CreateTemporaryBeside(const fs::path& file, const QString& shownPath) {
    const std::string stem = "." + file.filename().native() + ".tmp-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const quint64 salt = QRandomGenerator::global()->generate64();
        Temporary temporary;
        temporary.path = FolderOf(file) / (stem + QByteArray::number(salt, 16).toStdString());
        // 0666 under the umask: what a new file of this name would get.
        temporary.fd = ::open(temporary.path.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (temporary.fd >= 0) {
            return temporary;
        }
        if (errno != EEXIST) {
            Fail("write", shownPath, errno);
        }
    }
    Fail("write", shownPath, EEXIST);
}

void KeepModeAndOwner(int fd, const struct stat& status, const QString& path) {
    if (::fchmod(fd, status.st_mode & 07777) != 0) {
        Fail("write", path, errno);
    }
    if (status.st_uid != ::geteuid() || status.st_gid != ::getegid()) {
        // Only root can give the file back to its owner; for anyone else the new file is
        // their own, as with any editor that saves by rename.
        if (::fchown(fd, status.st_uid, status.st_gid) != 0) {
            errno = 0;
        }
    }
}

void WriteAll(int fd, const QByteArray& bytes, const QString& path) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("write", path, errno);
        }
        if (written == 0) {
            Fail("write", path, ENOSPC);
        }
        data += written;
        left -= written;
    }
}

// Makes the rename itself durable; a folder that cannot be synced changes nothing here.
void SyncFolder(const fs::path& folder) {
    Descriptor descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (descriptor.valid()) {
        ::fsync(descriptor.get());
    }
}

void WriteAndRename(Temporary& temporary, const fs::path& file, const QByteArray& bytes,
                    const QString& path) {
    Descriptor descriptor(temporary.fd);
    temporary.fd = -1;
    WriteAll(descriptor.get(), bytes, path);
    if (::fsync(descriptor.get()) != 0 || !descriptor.close()) {
        Fail("write", path, errno);
    }
    if (::rename(temporary.path.c_str(), file.c_str()) != 0) {
        Fail("write", path, errno);
    }
}

}  // namespace

QByteArray ReadExisting(const QString& path) {
    Descriptor descriptor(::open(ToFsPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!descriptor.valid()) {
        if (errno == ENOENT) {
            return {};
        }
        Fail("read", path, errno);
    }
    QByteArray content;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(descriptor.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("read", path, errno);
        }
        if (got == 0) {
            return content;
        }
        content.append(buffer, got);
    }
}

void Replace(const QString& path, const QByteArray& bytes) {
    const fs::path file = WrittenPath(path);
    struct stat status {};
    const bool exists = ::stat(file.c_str(), &status) == 0;
    if (!exists && errno != ENOENT) {
        Fail("write", path, errno);
    }
    if (exists) {
        RequireWritable(file, status, path);
    }
    Temporary temporary = CreateTemporaryBeside(file, path);
    try {
        if (exists) {
            KeepModeAndOwner(temporary.fd, status, path);
        }
        WriteAndRename(temporary, file, bytes, path);
    } catch (...) {
        if (temporary.fd >= 0) {
            ::close(temporary.fd);
        }
        ::unlink(temporary.path.c_str());
        throw;
    }
    SyncFolder(FolderOf(file));
}

}  // namespace AtomicFile
