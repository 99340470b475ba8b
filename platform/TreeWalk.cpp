#include "platform/TreeWalk.h"

#include "platform/CopyContext.h"
#include "platform/DestinationRules.h"
#include "platform/FileDescriptor.h"
#include "platform/WorkingFiles.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace copying {

namespace {

// A batch holds the files of one folder (or a slice of a big one): workers that create files
// in different folders do not queue on one folder's lock.
constexpr size_t kBatchSize = 256;
constexpr size_t kQueuedItems = 4096;

}  // namespace

void BatchQueue::push(Batch batch) {
    std::unique_lock lock(mutex_);
    notFull_.wait(lock, [&] { return queuedItems_ < kQueuedItems || abandoned_; });
    if (abandoned_) {
        return;
    }
    queuedItems_ += batch.size();
    batches_.push_back(std::move(batch));
    notEmpty_.notify_one();
}

std::optional<Batch> BatchQueue::pop() {
    std::unique_lock lock(mutex_);
    notEmpty_.wait(lock, [&] { return !batches_.empty() || closed_; });
    if (batches_.empty()) {
        return std::nullopt;
    }
    Batch batch = std::move(batches_.front());
    batches_.pop_front();
    queuedItems_ -= batch.size();
    notFull_.notify_one();
    return batch;
}

void BatchQueue::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    notEmpty_.notify_all();
}

void BatchQueue::abandon() {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    closed_ = true;
    batches_.clear();
    queuedItems_ = 0;
    notFull_.notify_all();
    notEmpty_.notify_all();
}

void TreeCopier::copy(const std::string& source, const std::string& target) {
    try {
        startWorkers();
        walk(source, target);
    } catch (...) {
        context_.fail(std::current_exception());
    }
    if (context_.failed) {
        queue_.abandon();
    }
    queue_.close();
    drain();  // the walking thread copies too once the walk is done
    for (std::thread& worker : workers_) {
        worker.join();
    }
    if (context_.failure) {
        std::rethrow_exception(context_.failure);
    }
    setFolderMetadata();
}

// A thread the system will not start is done without: with none at all, the walking
// thread copies each batch itself.
void TreeCopier::startWorkers() {
    try {
        while (static_cast<int>(workers_.size()) < workerCount_) {
            workers_.emplace_back([this] { drain(); });
        }
    } catch (const std::system_error&) {
    }
}

void TreeCopier::drain() {
    FileCopier copier(context_);
    while (std::optional<Batch> batch = queue_.pop()) {
        for (const CopyItem& item : *batch) {
            if (context_.failed) {
                break;
            }
            copyItem(copier, item);
        }
    }
}

void TreeCopier::copyItem(FileCopier& copier, const CopyItem& item) {
    try {
        switch (item.kind) {
            case CopyItem::Kind::File:
                copier.copyFile(item.source, item.target, false);
                break;
            case CopyItem::Kind::Link:
                copier.copyLink(item.source, item.target);
                break;
            case CopyItem::Kind::Special:
                copier.copySpecial(item.source, item.target);
                return;  // not counted, as the measure of the source does not count them
        }
        context_.copiedEntry();  // copied, left out or gone: done with
    } catch (...) {
        context_.fail(std::current_exception());
        queue_.abandon();
    }
}

// Depth first, one folder open at a time whatever the depth of the tree.
void TreeCopier::walk(const std::string& source, const std::string& target) {
    std::vector<std::pair<std::string, std::string>> pending{{source, target}};
    bool root = true;
    while (!pending.empty() && !context_.failed) {
        auto [folderSource, folderTarget] = std::move(pending.back());
        pending.pop_back();
        copyFolder(folderSource, folderTarget, root, pending);
        root = false;
    }
    flush();
}

void TreeCopier::copyFolder(const std::string& source, const std::string& target, bool root,
                            std::vector<std::pair<std::string, std::string>>& pending) {
    context_.throwIfStopped();
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (root ? 0 : O_NOFOLLOW);
    FileDescriptor fd(::open(source.c_str(), flags));
    if (fd.get() < 0) {
        if (context_.vanished(errno, source)) {
            return;
        }
        Fail(source, errno);
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        Fail(source, errno);
    }
    if (::mkdir(target.c_str(), 0700) != 0) {
        const int failure = errno;
        const auto reason = RefusedName(failure, target);
        if (!reason) {
            Fail(source, failure);
        }
        context_.leaveOut(source, *reason, failure);
        return;
    }
    if (root) {
        RefuseLosingRenames(target);
        ProbeLinkTimes(target, context_.noSymlinks, context_.noLinkTimes);
    }
    ExtendedAttributes attributes =
        ReadAttributes(fd.get(), context_.attributes, context_.traits.of(st.st_dev).noAttributes);
    const mode_t mode = ModeWithoutAcl(st.st_mode & kFolderModeBits, attributes);
    folders_.push_back(
        {target, mode, st.st_uid, st.st_gid, st.st_atim, st.st_mtim, std::move(attributes)});
    DIR* folder = ::fdopendir(fd.get());
    if (!folder) {
        Fail(source, errno);
    }
    fd.release();
    std::unique_ptr<DIR, int (*)(DIR*)> closer(folder, ::closedir);
    readEntries(folder, source, target, pending);
    flush();
}

void TreeCopier::readEntries(DIR* folder, const std::string& source, const std::string& target,
                             std::vector<std::pair<std::string, std::string>>& pending) {
    errno = 0;
    while (const dirent* entry = ::readdir(folder)) {
        const char* name = entry->d_name;
        if (!IsDotOrDotDot(name)) {
            addEntry(folder, entry, source + '/' + name, target + '/' + name, pending);
        }
        errno = 0;
    }
    if (errno != 0) {
        Fail(source, errno);
    }
}

void TreeCopier::addEntry(DIR* folder, const dirent* entry, std::string source, std::string target,
                          std::vector<std::pair<std::string, std::string>>& pending) {
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(::dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (context_.vanished(errno, source)) {
                return;
            }
            Fail(source, errno);
        }
        type = IFTODT(st.st_mode);
    }
    if (type == DT_DIR) {
        pending.emplace_back(std::move(source), std::move(target));
        return;
    }
    // FIFOs, devices and sockets go with the files: each is looked at once more anyway.
    const auto kind = type == DT_REG   ? CopyItem::Kind::File
                      : type == DT_LNK ? CopyItem::Kind::Link
                                       : CopyItem::Kind::Special;
    batch_.push_back({kind, std::move(source), std::move(target)});
    if (batch_.size() >= kBatchSize) {
        flush();
    }
}

void TreeCopier::flush() {
    if (batch_.empty()) {
        return;
    }
    if (!workers_.empty()) {
        queue_.push(std::exchange(batch_, {}));
        return;
    }
    for (const CopyItem& item : std::exchange(batch_, {})) {
        if (!context_.failed) {
            copyItem(ownCopier_, item);
        }
    }
}

// Deepest first: a folder's time is set after everything inside it is written, and its
// default ACL once nothing more is made inside it, so that nothing inherits it.
void TreeCopier::setFolderMetadata() {
    for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
        const char* path = folder->target.c_str();
        // Opened while the mode is still ours, so that a folder without read permission
        // can be flushed too.
        FileDescriptor flushed;
        if (context_.flushEach) {
            flushed = FileDescriptor(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!flushed.valid()) {
                Fail(folder->target, errno);
            }
        }
        context_.keepOwner(folder->target, folder->owner, folder->group,
                           [&](uid_t owner, gid_t group) { return ::lchown(path, owner, group); });
        WriteAttributes(folder->target, folder->attributes, AttributePass::Others,
                        context_.attributes);
        context_.setMetadata(context_.noModes, folder->target,
                             [&] { return ::chmod(path, folder->mode); });
        WriteAttributes(folder->target, folder->attributes, AttributePass::Acls,
                        context_.attributes);
        const struct timespec times[2] = {folder->atime, folder->mtime};
        context_.setMetadata(context_.noTimes, folder->target,
                             [&] { return ::utimensat(AT_FDCWD, path, times, 0); });
        if (flushed.valid() && ::fsync(flushed.get()) != 0) {
            Fail(folder->target, errno);
        }
    }
}

int WorkerCount(int requested) {
    if (requested > 0) {
        return requested;
    }
    return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4);
}

}  // namespace copying
