#include "platform/TreeRemove.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kWorkers = 2;

std::vector<std::string> EntryNames(int folderFd) {
    std::vector<std::string> names;
    const int listFd = ::dup(folderFd);
    DIR* folder = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (!folder) {
        if (listFd >= 0) {
            ::close(listFd);
        }
        return names;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(folder);
    return names;
}

// Removes the entries of one open folder on several threads. Each entry is reached through
// the folder's descriptor, so a folder swapped for a link meanwhile does not redirect it.
std::error_code RemoveEntries(int folderFd) {
    const std::string base = "/proc/self/fd/" + std::to_string(folderFd) + "/";
    struct stat st;
    if (::stat(base.c_str(), &st) != 0) {
        return std::make_error_code(std::errc::not_supported);
    }
    const std::vector<std::string> names = EntryNames(folderFd);
    std::atomic<size_t> next{0};
    std::mutex errorMutex;
    std::error_code first;
    auto work = [&] {
        for (size_t i = next++; i < names.size(); i = next++) {
            std::error_code error;
            fs::remove_all(base + names[i], error);
            if (error) {
                std::lock_guard lock(errorMutex);
                if (!first) {
                    first = error;
                }
            }
        }
    };
    std::vector<std::thread> workers;
    for (int i = 1; i < std::min<int>(kWorkers, static_cast<int>(names.size())); ++i) {
        workers.emplace_back(work);
    }
    work();
    for (std::thread& worker : workers) {
        worker.join();
    }
    return first;
}

}  // namespace

std::error_code RemoveTree(const std::filesystem::path& path) noexcept {
    // libstdc++'s remove_all opens each folder with O_NOFOLLOW and unlinks relative to it,
    // so a link swapped in during the walk cannot lead it out of the tree.
    std::error_code error;
    try {
        const int folderFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folderFd >= 0) {
            error = RemoveEntries(folderFd);
            ::close(folderFd);
        }
    } catch (...) {
        error = std::make_error_code(std::errc::resource_unavailable_try_again);
    }
    // Whatever is left (all of it for a file, a link or when the threads could not run).
    std::error_code rest;
    fs::remove_all(path, rest);
    return rest ? rest : (error == std::errc::not_supported ? std::error_code() : error);
}
