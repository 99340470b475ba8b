#include "platform/TreeRemove.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kWorkers = 2;
constexpr mode_t kOwnerAll = S_IRWXU;

struct Entry {
    std::string name;
    bool folder;
};

std::error_code Failure(int errnoValue) {
    return {errnoValue, std::system_category()};
}

void Keep(std::error_code& first, std::error_code error) {
    if (!first && error && error != std::errc::no_such_file_or_directory) {
        first = error;
    }
}

// Opens the folder `name` of parentFd for emptying, never through a link, and gives its
// owner read, write and search permission first: a read-only folder of the source stays
// read-only in its copy, and the copy must still go. A folder even its owner cannot list
// is reached through an O_PATH descriptor and changed through that, not by name.
int OpenToEmpty(int parentFd, const char* name) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parentFd, name, kFlags);
    struct stat st;
    if (fd < 0 && errno == EACCES) {
        const int pathFd = ::openat(parentFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (pathFd < 0) {
            return -1;
        }
        const std::string self = "/proc/self/fd/" + std::to_string(pathFd);
        if (::fstat(pathFd, &st) == 0 &&
            ::chmod(self.c_str(), (st.st_mode & 07777) | kOwnerAll) == 0) {
            fd = ::open(self.c_str(), kFlags & ~O_NOFOLLOW);
        }
        const int failure = errno;
        ::close(pathFd);
        errno = failure;
        return fd;
    }
    if (fd >= 0 && ::fstat(fd, &st) == 0 && (st.st_mode & kOwnerAll) != kOwnerAll) {
        // Refused where the file system keeps no modes or the folder is not ours: the
        // removal then goes as far as it can.
        [[maybe_unused]] const int ignored = ::fchmod(fd, (st.st_mode & 07777) | kOwnerAll);
    }
    return fd;
}

// The entries of a folder, read to the end before any is removed, so each level of a deep
// tree holds one descriptor, not two.
std::vector<Entry> Entries(int folderFd, std::error_code& first) {
    std::vector<Entry> entries;
    const int listFd = ::dup(folderFd);
    DIR* folder = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (!folder) {
        Keep(first, Failure(errno));
        if (listFd >= 0) {
            ::close(listFd);
        }
        return entries;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        bool isFolder = entry->d_type == DT_DIR;
        struct stat st;
        if (entry->d_type == DT_UNKNOWN &&
            ::fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            isFolder = S_ISDIR(st.st_mode);
        }
        entries.push_back({name, isFolder});
    }
    ::closedir(folder);
    return entries;
}

std::error_code EmptyFolder(int folderFd, int workers);

std::error_code RemoveEntry(int parentFd, const Entry& entry) {
    if (!entry.folder) {
        if (::unlinkat(parentFd, entry.name.c_str(), 0) == 0) {
            return {};
        }
        if (errno != EISDIR) {
            return Failure(errno);
        }
    }
    const int fd = OpenToEmpty(parentFd, entry.name.c_str());
    if (fd < 0) {
        // A link or file put in a folder's place meanwhile: it goes itself, unfollowed.
        if ((errno == ENOTDIR || errno == ELOOP) &&
            ::unlinkat(parentFd, entry.name.c_str(), 0) == 0) {
            return {};
        }
        return Failure(errno);
    }
    std::error_code first = EmptyFolder(fd, 1);
    ::close(fd);
    if (::unlinkat(parentFd, entry.name.c_str(), AT_REMOVEDIR) != 0) {
        Keep(first, Failure(errno));
    }
    return first;
}

// Every entry is reached through its folder's descriptor, so a folder swapped for a link
// meanwhile does not lead the removal out of the tree.
std::error_code EmptyFolder(int folderFd, int workers) {
    std::error_code first;
    const std::vector<Entry> entries = Entries(folderFd, first);
    std::atomic<size_t> next{0};
    std::mutex firstMutex;
    auto work = [&] {
        for (size_t i = next++; i < entries.size(); i = next++) {
            const std::error_code error = RemoveEntry(folderFd, entries[i]);
            std::lock_guard lock(firstMutex);
            Keep(first, error);
        }
    };
    std::vector<std::thread> threads;
    try {
        for (int i = 1; i < std::min<int>(workers, static_cast<int>(entries.size())); ++i) {
            threads.emplace_back(work);
        }
    } catch (...) {
        // No second thread: this one does it all.
    }
    work();
    for (std::thread& thread : threads) {
        thread.join();
    }
    return first;
}

}  // namespace

std::error_code RemoveTree(const std::filesystem::path& path) noexcept {
    std::error_code first;
    const int fd = OpenToEmpty(AT_FDCWD, path.c_str());
    if (fd < 0) {
        if (errno == ENOENT) {
            return {};
        }
        if (errno != ENOTDIR && errno != ELOOP) {
            return Failure(errno);
        }
        // A file or a link: it goes itself.
        return ::unlink(path.c_str()) == 0 || errno == ENOENT ? std::error_code() : Failure(errno);
    }
    try {
        first = EmptyFolder(fd, kWorkers);
    } catch (...) {
        first = std::make_error_code(std::errc::not_enough_memory);
    }
    ::close(fd);
    if (::rmdir(path.c_str()) != 0) {
        Keep(first, Failure(errno));
    }
    return first;
}
