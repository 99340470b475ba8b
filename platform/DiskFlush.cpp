#include "platform/DiskFlush.h"

#include "platform/Error.h"
#include "platform/WorkingFiles.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

DiskFlush::DiskFlush(const fs::path& folder)
    : fd_(::open(folder.empty() ? "." : folder.c_str(),
                 O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK)) {
    if (!fd_.valid()) {
        return;  // a folder that may not be read: the copy itself is flushed at the end
    }
    struct statfs system;
    if (::fstatfs(fd_.get(), &system) == 0 && system.f_type == BTRFS_SUPER_MAGIC) {
        period_ = kEarlyCommitPeriod;
    }
    try {
        flusher_ = std::thread([this] { flushEarly(); });
    } catch (const std::system_error&) {
        // no thread to spare: the last flush does it all
    }
}

DiskFlush::~DiskFlush() {
    stop();
}

void DiskFlush::finish(const fs::path& copy) {
    stop();
    FileDescriptor own;
    if (!fd_.valid()) {
        own = FileDescriptor(::open(copy.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    }
    const int fd = fd_.valid() ? fd_.get() : own.get();
    int failure = fd < 0 ? errno : earlyFailure_;
    if (failure == 0 && ::syncfs(fd) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        throw Error(QStringLiteral("Cannot write the copy \"%1\" to the disk: %2")
                        .arg(FromFsPath(copy), SystemErrorText(failure)));
    }
}

void DiskFlush::flushEarly() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, period_, [this] { return stopped_; })) {
        lock.unlock();
        // A write error is reported once per open file: kept for the last flush.
        const int failure = ::syncfs(fd_.get()) == 0 ? 0 : errno;
        lock.lock();
        if (failure != 0 && earlyFailure_ == 0) {
            earlyFailure_ = failure;
        }
    }
}

void DiskFlush::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
    if (flusher_.joinable()) {
        flusher_.join();
    }
}

int FlushFolderEntries(const fs::path& folder) {
    const FileDescriptor fd(::open(folder.empty() ? "." : folder.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid() || ::fsync(fd.get()) == 0 || errno == EINVAL || errno == ENOSYS ||
        errno == EOPNOTSUPP || errno == EROFS) {
        return 0;
    }
    return errno;
}
