#include "platform/SourceMeasure.h"

#include "platform/WorkingFiles.h"

#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Measure {
public:
    explicit Measure(std::uint64_t blockSize) : block_(blockSize < 1 ? 1 : blockSize) {}

    void file(const struct stat& st) {
        size.bytes += static_cast<std::uint64_t>(st.st_size);
        ++size.entries;
        size.allocated += Rounded(static_cast<std::uint64_t>(st.st_blocks) * 512);
    }
    void folder(const struct stat& st) {
        ++size.folders;
        const std::uint64_t held = static_cast<std::uint64_t>(st.st_blocks) * 512;
        size.allocated += Rounded(held < block_ ? block_ : held);
    }
    void link() { ++size.entries; }

    // One folder's entries; its subfolders go to pending.
    void list(const std::string& folder, bool root, std::vector<std::string>& pending) {
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
        struct stat st;
        if (::fstat(fd, &st) == 0) {
            this->folder(st);
        }
        while (const dirent* entry = ::readdir(listing.get())) {
            const char* name = entry->d_name;
            if (IsDotOrDotDot(name)) {
                continue;
            }
            if (entry->d_type == DT_DIR) {
                pending.push_back(folder + '/' + name);
            } else if (entry->d_type == DT_LNK) {
                link();
            } else if ((entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN) &&
                       ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISDIR(st.st_mode)) {
                    pending.push_back(folder + '/' + name);
                } else if (S_ISREG(st.st_mode)) {
                    file(st);
                } else if (S_ISLNK(st.st_mode)) {
                    link();
                }
            }
        }
    }

    SourceSize size;

private:
    std::uint64_t Rounded(std::uint64_t bytes) const {
        return (bytes + block_ - 1) / block_ * block_;
    }

    std::uint64_t block_;
};

}  // namespace

SourceSize MeasureSource(const std::filesystem::path& source, std::uint64_t blockSize,
                         RunControl& control) {
    Measure measure(blockSize);
    struct stat st;
    if (::stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        measure.file(st);
    } else {
        std::vector<std::string> pending{source.native()};
        bool root = true;
        while (!pending.empty()) {
            control.throwIfStopped();
            const std::string folder = std::move(pending.back());
            pending.pop_back();
            measure.list(folder, root, pending);
            root = false;
        }
    }
    control.setTotal(measure.size.bytes, measure.size.entries);
    return measure.size;
}
