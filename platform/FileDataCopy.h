#pragma once

#include "platform/CopyDigest.h"
#include "platform/ExtendedAttributes.h"
#include "platform/FileDescriptor.h"
#include "platform/LinkGroups.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

namespace copying {

struct CopyContext;

// What a file system offers, learnt from the first file copied off it.
struct FileSystemTraits {
    enum class Reflink { Untried, Works, Absent };
    std::atomic<Reflink> reflink{Reflink::Untried};
    std::atomic<bool> copyFileRange{true};
    std::atomic<bool> noAttributes{false};
};

class TraitsTable {
public:
    FileSystemTraits& of(dev_t device) {
        std::lock_guard lock(mutex_);
        auto& slot = table_[device];
        if (!slot) {
            slot = std::make_unique<FileSystemTraits>();
        }
        return *slot;
    }

private:
    std::mutex mutex_;
    std::map<dev_t, std::unique_ptr<FileSystemTraits>> table_;
};

class FileCopier {
public:
    explicit FileCopier(CopyContext& context) : context_(context) {}

    void copyFile(const std::string& source, const std::string& target, bool followLink);
    void copyLink(const std::string& source, const std::string& target);
    // A FIFO or device file, made anew; a socket is left out.
    void copySpecial(const std::string& source, const std::string& target);

private:
    // The entry itself, links not followed; false when it vanished since its folder was read.
    bool statEntry(const std::string& source, struct stat& st);
    void leaveOutLink(const std::string& source, const std::string& target, int failure);
    void leaveOutSpecial(const std::string& source, const std::string& target, mode_t type,
                         int failure);
    std::optional<FileDescriptor> createTarget(const std::string& source, const std::string& target,
                                               mode_t mode, const struct stat& st,
                                               std::optional<FirstName>& firstName);
    bool linkToFirstName(const std::string& source, const std::string& target,
                         const struct stat& st, std::optional<FirstName>& firstName);
    std::optional<FileDescriptor> openTarget(const std::string& source, const std::string& target,
                                             mode_t mode);
    void copyData(const std::string& source, int in, int out, const struct stat& st);
    static bool tryReflink(FileSystemTraits& traits, int in, int out);
    void copySparse(const std::string& source, FileSystemTraits& traits, int in, int out,
                    off_t size);
    void copyRange(const std::string& source, FileSystemTraits& traits, int in, int out,
                   off_t offset, off_t length);
    void copyRangeByKernel(const std::string& source, FileSystemTraits& traits, int in, int out,
                           loff_t& offset, off_t& length);
    void readWrite(const std::string& source, int in, int out, off_t offset, off_t length);
    void writeAll(const std::string& source, int out, ssize_t count, off_t offset);
    // The digest of the file in hand, when the copy is hashed, listed and kept for its other
    // names.
    void finishDigest(const std::string& source, std::optional<FirstName>& firstName);
    // Data of the file in hand written: counted, and a stop asked for is heard.
    void counted(ssize_t bytes);
    FileSystemTraits& traitsOf(dev_t device);
    void setMetadata(const std::string& source, int out, const struct stat& st, mode_t wanted,
                     mode_t created, const ExtendedAttributes& attributes);
    void setSpecialMetadata(const std::string& source, const std::string& target,
                            const struct stat& st);

    CopyContext& context_;
    std::unique_ptr<char[]> buffer_;
    FileSystemTraits* traits_ = nullptr;
    dev_t device_ = 0;
    off_t fileBytes_ = 0;  // of the file in hand, as counted
    FileDigester digester_;
    bool sharedData_ = false;  // the file in hand shares the source's data
};

}  // namespace copying
