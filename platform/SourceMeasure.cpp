#include "platform/SourceMeasure.h"

#include "platform/FileDescriptor.h"

#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

struct Totals {
    std::uint64_t bytes = 0;
    std::uint64_t files = 0;
};

void MeasureFolder(const std::string& folder, bool root, Totals& totals,
                   std::vector<std::string>& pending) {
    const int fd =
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (root ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        return;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd), ::closedir);
    if (!listing) {
        ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(listing.get())) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        unsigned char type = entry->d_type;
        struct stat st;
        if (type == DT_REG || type == DT_UNKNOWN) {
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            type = S_ISDIR(st.st_mode)   ? DT_DIR
                   : S_ISREG(st.st_mode) ? DT_REG
                   : S_ISLNK(st.st_mode) ? DT_LNK
                                         : DT_UNKNOWN;
            if (type == DT_REG) {
                totals.bytes += static_cast<std::uint64_t>(st.st_size);
            }
        }
        if (type == DT_DIR) {
            pending.push_back(folder + '/' + name);
        } else if (type == DT_REG || type == DT_LNK) {
            ++totals.files;
        }
    }
}

}  // namespace

void MeasureSource(const std::filesystem::path& source, RunControl& control) {
    Totals totals;
    struct stat st;
    if (::stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        totals = {static_cast<std::uint64_t>(st.st_size), 1};
    } else {
        std::vector<std::string> pending{source.native()};
        bool root = true;
        while (!pending.empty()) {
            control.throwIfStopped();
            const std::string folder = std::move(pending.back());
            pending.pop_back();
            MeasureFolder(folder, root, totals, pending);
            root = false;
        }
    }
    control.setTotal(totals.bytes, totals.files);
}
