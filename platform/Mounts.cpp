#include "platform/Mounts.h"

#include "platform/WorkingFiles.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;

namespace {

struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string point;
};

// The mount points of /proc/self/mountinfo ("\040" and the like unescaped).
std::vector<MountEntry> Mounts() {
    std::vector<MountEntry> mounts;
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point)) {
            continue;
        }
        MountEntry entry;
        if (std::sscanf(device.c_str(), "%u:%u", &entry.major, &entry.minor) != 2) {
            continue;
        }
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                entry.point += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                entry.point += point[i];
            }
        }
        mounts.push_back(std::move(entry));
    }
    return mounts;
}

}  // namespace

fs::path NearestExisting(fs::path path) {
    struct stat st;
    while (!path.empty() && ::stat(path.c_str(), &st) != 0) {
        const fs::path parent = path.parent_path();
        if (parent == path) {
            break;
        }
        path = parent;
    }
    return path.empty() ? fs::path(".") : path;
}

std::string FileSystemIdentity(const fs::path& path) {
    struct statfs system;
    if (::statfs(path.c_str(), &system) != 0) {
        return {};
    }
    int words[2];
    static_assert(sizeof(words) == sizeof(system.f_fsid));
    std::memcpy(words, &system.f_fsid, sizeof(words));
    if (words[0] == 0 && words[1] == 0) {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%08x%08x", static_cast<unsigned>(words[0]),
                  static_cast<unsigned>(words[1]));
    return text;
}

std::optional<MountPlace> MountPlaceOf(const fs::path& path) {
    std::error_code error;
    const fs::path real =
        fs::canonical(NearestExisting(path.is_absolute() ? path : fs::absolute(path)), error);
    struct stat st;
    if (error || ::stat(real.c_str(), &st) != 0) {
        return std::nullopt;
    }
    // The longest mount point above the path, of its own device where the table says so.
    const std::vector<MountEntry> mounts = Mounts();
    const MountEntry* best = nullptr;
    bool bestSameDevice = false;
    for (const MountEntry& entry : mounts) {
        if (!IsSameOrInside(real, entry.point)) {
            continue;
        }
        const bool sameDevice = entry.major == major(st.st_dev) && entry.minor == minor(st.st_dev);
        if (!best || (sameDevice && !bestSameDevice) ||
            (sameDevice == bestSameDevice && entry.point.size() > best->point.size())) {
            best = &entry;
            bestSameDevice = sameDevice;
        }
    }
    if (!best) {
        return std::nullopt;
    }
    return MountPlace{best->point, FileSystemIdentity(real)};
}

bool IsMountPoint(const std::string& folder) {
    for (const MountEntry& entry : Mounts()) {
        if (entry.point == folder) {
            return true;
        }
    }
    return false;
}
