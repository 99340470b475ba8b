#include "platform/FileHashing.h"

#include "platform/FileDescriptor.h"
#include "platform/Sha256.h"
#include "platform/WorkingFiles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Large enough that a big file is read in few calls, small enough for a thread each.
constexpr std::size_t kReadSize = 4 * 1024 * 1024;
// How many files ahead of the hashing are readied, and up to which size a file's read is
// started then: small files are read from the disk many at a time rather than one per
// thread, which is what limits a tree of small files.
constexpr std::size_t kFilesAhead = 64;
constexpr off_t kReadAheadSize = 1024 * 1024;

// The entries of one open folder; its regular files go to found, its folders are walked in
// turn. The folder's descriptor is the walk's: closed when the listing ends.
void Walk(FileDescriptor folder, const std::string& prefix, std::vector<FoundFile>& found,
          const RunControl& control) {
    control.throwIfStopped();
    const int fd = folder.get();
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd), ::closedir);
    if (!listing) {
        return;
    }
    folder.release();
    while (const dirent* entry = ::readdir(listing.get())) {
        const char* name = entry->d_name;
        if (IsDotOrDotDot(name)) {
            continue;
        }
        struct stat st;
        if (entry->d_type != DT_REG && entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
            continue;
        }
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        const std::string path = prefix.empty() ? std::string(name) : prefix + '/' + name;
        if (S_ISREG(st.st_mode)) {
            found.push_back({path, static_cast<std::uint64_t>(st.st_size), st.st_ino});
        } else if (S_ISDIR(st.st_mode)) {
            FileDescriptor inner(
                ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (inner.valid()) {
                Walk(std::move(inner), path, found, control);
            }
        }
    }
}

// The file at path below folder, never through a symbolic link nor out of the folder. Where
// the kernel has no openat2 (before Linux 5.6), only the last name is kept from being a link.
int OpenBelow(int folder, const std::string& path, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, folder, path.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) {
        return static_cast<int>(fd);
    }
    return ::openat(folder, path.c_str(), flags);
}

// Reading a copy leaves its access times as they were, where the process may ask for that
// (the files' owner, or root).
int OpenBelow(int folder, const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int fd = OpenBelow(folder, path, kFlags | O_NOATIME);
    return fd >= 0 || errno != EPERM ? fd : OpenBelow(folder, path, kFlags);
}

// A file opened and readied for its hashing, or why it could not be.
struct Readied {
    FileDescriptor file;
    FileDigest failure;  // error or irregular set when it was not opened as a regular file
    off_t size = 0;
};

// Readies the files in the order of the jobs, a little ahead of the threads that hash them:
// each is opened, its cached pages are dropped, so that what is read next comes from the
// disk, and a small file's read from the disk is started at once (a large one the kernel
// reads ahead itself as it is read in sequence).
class Readying {
public:
    explicit Readying(const std::vector<HashJob>& jobs)
        : jobs_(jobs), readied_(jobs.size()), done_(jobs.size()) {}

    // Readies the files up to kFilesAhead beyond index, and hands over index's once ready.
    Readied take(std::size_t index) {
        const std::size_t end = std::min(index + kFilesAhead + 1, jobs_.size());
        for (std::size_t i = next_.load(); i < end; i = next_.load()) {
            if (next_.compare_exchange_weak(i, i + 1)) {
                ready(i);
            }
        }
        // Taken by another thread, which is at it now.
        while (!done_[index].load(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
        return std::move(readied_[index]);
    }

private:
    void ready(std::size_t index) {
        Readied& readied = readied_[index];
        readied.file = FileDescriptor(OpenBelow(jobs_[index].folder, jobs_[index].path));
        struct stat st;
        if (!readied.file.valid() || ::fstat(readied.file.get(), &st) != 0) {
            readied.failure.error = errno;
        } else if (!S_ISREG(st.st_mode)) {
            readied.failure.irregular = true;
        } else {
            readied.size = st.st_size;
            ::posix_fadvise(readied.file.get(), 0, 0, POSIX_FADV_DONTNEED);
            ::posix_fadvise(
                readied.file.get(), 0, 0,
                st.st_size <= kReadAheadSize ? POSIX_FADV_WILLNEED : POSIX_FADV_SEQUENTIAL);
        }
        done_[index].store(true, std::memory_order_release);
    }

    const std::vector<HashJob>& jobs_;
    std::vector<Readied> readied_;
    std::vector<std::atomic<bool>> done_;
    std::atomic<std::size_t> next_{0};
};

FileDigest HashOne(Readied readied, Sha256& hash, std::vector<unsigned char>& buffer,
                   RunControl& control) {
    if (readied.failure.error != 0 || readied.failure.irregular) {
        return readied.failure;
    }
    FileDigest result;
    const FileDescriptor& file = readied.file;
    for (;;) {
        control.throwIfStopped();
        const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            result.error = errno;
            hash.finish();
            return result;
        }
        if (got == 0) {
            break;
        }
        hash.add(buffer.data(), static_cast<std::size_t>(got));
        control.addBytes(static_cast<std::uint64_t>(got));
    }
    result.digest = HexDigest(hash.finish());
    return result;
}

}  // namespace

std::vector<FoundFile> RegularFilesAt(const std::filesystem::path& root,
                                      const RunControl& control) {
    std::vector<FoundFile> found;
    struct stat st;
    if (::lstat(root.c_str(), &st) != 0) {
        return found;
    }
    if (S_ISREG(st.st_mode)) {
        found.push_back({{}, static_cast<std::uint64_t>(st.st_size), st.st_ino});
    } else if (S_ISDIR(st.st_mode)) {
        FileDescriptor folder(
            ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (folder.valid()) {
            Walk(std::move(folder), {}, found, control);
        }
    }
    return found;
}

std::vector<FileDigest> HashFromDisk(const std::vector<HashJob>& jobs, RunControl& control) {
    std::vector<FileDigest> results(jobs.size());
    std::atomic<std::size_t> next{0};
    std::mutex failureMutex;
    std::exception_ptr failure;
    Readying readying(jobs);
    const auto work = [&] {
        try {
            Sha256 hash;
            std::vector<unsigned char> buffer(kReadSize);
            for (std::size_t i = next++; i < jobs.size(); i = next++) {
                results[i] = HashOne(readying.take(i), hash, buffer, control);
                control.addFile();
            }
        } catch (...) {
            const std::lock_guard lock(failureMutex);
            if (!failure) {
                failure = std::current_exception();
            }
            control.requestStop();  // the others stop too
        }
    };
    const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1,
                                                        std::max<std::size_t>(jobs.size(), 1));
    std::vector<std::thread> pool;
    for (std::size_t i = 1; i < threads; ++i) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer threads do the same work
        }
    }
    work();
    for (std::thread& thread : pool) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return results;
}
