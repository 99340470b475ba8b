#pragma once

// Building and describing small file trees with raw POSIX calls, so names that are not
// UTF-8 survive and links are never followed.

#include <QByteArray>
#include <QCryptographicHash>
#include <QStringList>
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace TreeTools {

inline bool Put(const std::string& path, const QByteArray& bytes, mode_t mode = 0644) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, bytes.constData(), bytes.size()) == bytes.size();
    return ::close(fd) == 0 && written && ::chmod(path.c_str(), mode) == 0;
}

inline bool Folder(const std::string& path, mode_t mode = 0755) {
    return ::mkdir(path.c_str(), 0700) == 0 && ::chmod(path.c_str(), mode) == 0;
}

// Sets the modification time (and access time) to a fixed second, link itself included.
inline bool Age(const std::string& path, time_t seconds, long nanoseconds = 0) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

inline std::string Hex(const std::string& name) {
    std::string shown;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F && c != '%') {
            shown += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            shown += escaped;
        }
    }
    return shown;
}

inline QByteArray Content(const std::string& path) {
    QByteArray bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return "<unreadable>";
    }
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

struct Walk {
    QStringList lines;
    std::map<std::pair<dev_t, ino_t>, std::string> firstName;

    void entry(const std::string& path, const std::string& relative, bool withTimes) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            lines << QString::fromStdString(Hex(relative) + " <gone>");
            return;
        }
        std::string line = Hex(relative);
        char mode[16];
        std::snprintf(mode, sizeof mode, " %04o", static_cast<unsigned>(st.st_mode & 07777));
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
            line += " link->" + Hex(std::string(target, n > 0 ? n : 0));
        } else if (S_ISDIR(st.st_mode)) {
            line += std::string(" dir") + mode;
        } else if (S_ISREG(st.st_mode)) {
            line += std::string(" file") + mode + " size " + std::to_string(st.st_size) + " sha1 " +
                    QCryptographicHash::hash(Content(path), QCryptographicHash::Sha1)
                        .toHex()
                        .toStdString();
            char caps[64];
            const ssize_t n = ::lgetxattr(path.c_str(), "security.capability", caps, sizeof caps);
            line += n > 0 ? " caps " + QByteArray(caps, n).toHex().toStdString() : "";
        } else {
            line += (S_ISFIFO(st.st_mode)   ? std::string(" fifo")
                     : S_ISSOCK(st.st_mode) ? std::string(" socket")
                                            : " device " + std::to_string(st.st_rdev)) +
                    mode;
        }
        const auto [first, isNew] = firstName.try_emplace({st.st_dev, st.st_ino}, relative);
        if (!isNew) {
            line += " same-as " + Hex(first->second);
        }
        if (withTimes) {
            line += " mtime " + std::to_string(st.st_mtim.tv_sec) + "." +
                    std::to_string(st.st_mtim.tv_nsec);
        }
        line += " owner " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
        lines << QString::fromStdString(line);
        if (S_ISDIR(st.st_mode)) {
            children(path, relative, withTimes);
        }
    }

    void children(const std::string& path, const std::string& relative, bool withTimes) {
        DIR* dir = ::opendir(path.c_str());
        if (!dir) {
            lines << QString::fromStdString(Hex(relative) + " <unlistable>");
            return;
        }
        std::vector<std::string> names;
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            entry(path + "/" + name, relative + "/" + name, withTimes);
        }
    }
};

// One line per entry, sorted by name: type, mode, size, content hash, capabilities, link
// target, hard-link partner, (withTimes) modification time, owner and group.
inline QStringList Describe(const std::string& root, bool withTimes = true) {
    Walk walk;
    walk.entry(root, ".", withTimes);
    return walk.lines;
}

// A faithful copy differs from its source in its sockets alone.
inline QStringList WithoutSockets(QStringList lines) {
    lines.removeIf([](const QString& line) { return line.contains(QLatin1String(" socket 0")); });
    return lines;
}

// Deletes a tree on leaving scope. QTemporaryDir cannot: QDir skips names that are not
// UTF-8, and the folder then stays behind.
struct RemovedOnExit {
    std::string path;
    ~RemovedOnExit() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace TreeTools
