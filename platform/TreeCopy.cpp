#include "platform/TreeCopy.h"

#include "platform/Error.h"
#include "platform/ExtendedAttributes.h"
#include "platform/FileDescriptor.h"
#include "platform/TreeRemove.h"

#include <QFile>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// Set-user-ID and set-group-ID bits are not kept on files: the copy is owned by whoever
// runs the backup, and a set-ID copy owned by root would hand out root's rights.
constexpr mode_t kFileModeBits = 01777;
constexpr mode_t kFolderModeBits = 03777;
constexpr size_t kBufferSize = 256 * 1024;
// A batch holds the files of one folder (or a slice of a big one): workers that create files
// in different folders do not queue on one folder's lock.
constexpr size_t kBatchSize = 256;
constexpr size_t kQueuedItems = 4096;

std::mutex injectorMutex;
CopyFaultInjector injector;
std::atomic<bool> injecting{false};

int InjectedFault(const std::string& sourceFile) {
    if (!injecting) {
        return 0;
    }
    std::lock_guard lock(injectorMutex);
    return injector ? injector(std::filesystem::path(sourceFile)) : 0;
}

QString PathText(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

[[noreturn]] void Fail(const std::string& path, int errnoValue) {
    throw Error(
        QStringLiteral("Cannot copy \"%1\": %2").arg(PathText(path), SystemErrorText(errnoValue)));
}

mode_t CurrentUmask() {
    // Read without changing it: umask(2) would change it for every thread for a moment.
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) {
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        }
        std::fclose(status);
        if (found) {
            return static_cast<mode_t>(mask);
        }
    }
    return 07777;  // unknown: every file gets its mode set explicitly
}

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

bool FallsBackToReadWrite(int errnoValue) {
    switch (errnoValue) {
        case ENOSYS:
        case EXDEV:
        case EINVAL:
        case EOPNOTSUPP:
        case EPERM:
        case ETXTBSY:
            return true;
        default:
            return false;
    }
}

// A write the destination refuses because the file would be larger than it allows.
struct TooLargeForDestination {};

[[noreturn]] void FailWrite(const std::string& path, int errnoValue) {
    if (errnoValue == EFBIG) {
        throw TooLargeForDestination{};
    }
    Fail(path, errnoValue);
}

// How a destination refuses a change of metadata it does not keep (owner, modes, times,
// a time out of its range).
bool RefusesMetadata(int errnoValue) {
    switch (errnoValue) {
        case EPERM:
        case EACCES:
        case EOPNOTSUPP:
        case ENOSYS:
        case EINVAL:
            return true;
        default:
            return false;
    }
}

// Refusals that hold for every later call of the same kind on the same destination.
bool RefusesForGood(int errnoValue) {
    return errnoValue == ENOSYS || errnoValue == EOPNOTSUPP;
}

bool FolderExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Why the destination would not make an entry of this name inside our own fresh copy, or
// nothing when the error is a failure of the copy.
std::optional<LeftOutReason> RefusedName(int errnoValue, const std::string& target) {
    switch (errnoValue) {
        case EEXIST:  // nothing else can be there: the destination ignores case
            return LeftOutReason::SameName;
        case ENAMETOOLONG:
            return LeftOutReason::NameTooLong;
        case EILSEQ:
        case EINVAL:
        case EPERM:  // fusefat
            return LeftOutReason::Name;
        case ENOENT:  // exfat-fuse, for characters it does not allow; the folder is there
            if (FolderExists(target.substr(0, target.rfind('/')))) {
                return LeftOutReason::Name;
            }
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

// The names of one file with several names: the first copies the data, the others become
// links to it once that copy has settled.
struct LinkGroup {
    enum class State { Copying, Done, TooLarge };
    explicit LinkGroup(std::string firstTarget) : target(std::move(firstTarget)) {}
    std::string target;
    State state = State::Copying;
};
using InodeKey = std::pair<dev_t, ino_t>;

// Everything the threads of one copy share.
struct CopyContext {
    explicit CopyContext(std::string sourceRoot)
        : umask(CurrentUmask()), root(std::move(sourceRoot)) {}

    mode_t umask;
    std::string root;
    TraitsTable traits;
    // Each file and folder is flushed to the storage as it is finished (see FlushesEach).
    bool flushEach = false;

    // What the destination refused once is not asked of it again.
    std::atomic<bool> noModes{false};
    std::atomic<bool> noTimes{false};
    std::atomic<bool> noLinkTimes{false};
    std::atomic<bool> noSymlinks{false};
    std::atomic<bool> noHardLinks{false};
    AttributeRefusals attributes;

    std::mutex linkMutex;
    std::condition_variable linkSettled;
    std::map<InodeKey, LinkGroup> linkGroups;

    std::mutex leftOutMutex;
    std::vector<LeftOutEntry> leftOut;

    std::atomic<bool> failed{false};
    std::mutex failureMutex;
    std::exception_ptr failure;

    void fail(std::exception_ptr error) {
        std::lock_guard lock(failureMutex);
        if (!failure) {
            failure = std::move(error);
        }
        failed = true;
    }

    bool isRoot(const std::string& source) const { return source.size() <= root.size(); }

    // An entry the walk saw and that is gone now is simply not in the copy; the source
    // itself is not allowed to go.
    bool vanished(int errnoValue, const std::string& source) const {
        return errnoValue == ENOENT && !isRoot(source);
    }

    // The entry stays out of the copy and is reported. The source itself cannot stay out:
    // then the copy fails with the destination's error.
    void leaveOut(const std::string& source, LeftOutReason reason, int errnoValue) {
        if (isRoot(source)) {
            Fail(source, errnoValue);
        }
        std::lock_guard lock(leftOutMutex);
        leftOut.push_back({source.substr(root.size() + 1), reason});
    }

    // Sets one piece of metadata unless the destination refused that kind for good before.
    // A refusal leaves what the destination made; any other failure fails the copy.
    template <typename Call>
    void setMetadata(std::atomic<bool>& refused, const std::string& path, Call call) {
        if (refused || call() == 0) {
            return;
        }
        const int failure = errno;
        if (!RefusesMetadata(failure)) {
            Fail(path, failure);
        }
        if (RefusesForGood(failure)) {
            refused = true;
        }
    }
};

// Held by the first name of a file with several names; the others wait until it settles.
// Gone unsettled (the name was left out, or the copy failed), the next name takes over.
class FirstName {
public:
    FirstName(CopyContext& context, InodeKey key) : context_(context), key_(key) {}
    FirstName(const FirstName&) = delete;
    FirstName& operator=(const FirstName&) = delete;
    ~FirstName() {
        std::lock_guard lock(context_.linkMutex);
        if (state_ == LinkGroup::State::Copying) {
            context_.linkGroups.erase(key_);
        } else {
            context_.linkGroups.at(key_).state = state_;
        }
        context_.linkSettled.notify_all();
    }
    void settle(LinkGroup::State state) { state_ = state; }

private:
    CopyContext& context_;
    InodeKey key_;
    LinkGroup::State state_ = LinkGroup::State::Copying;
};

class FileCopier {
public:
    explicit FileCopier(CopyContext& context) : context_(context) {}

    void copyFile(const std::string& source, const std::string& target, bool followLink) {
        int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW);
        FileDescriptor in(::open(source.c_str(), flags));
        if (in.get() < 0) {
            if (context_.vanished(errno, source)) {
                return;
            }
            Fail(source, errno);
        }
        struct stat st;
        if (::fstat(in.get(), &st) != 0) {
            Fail(source, errno);
        }
        if (!S_ISREG(st.st_mode)) {
            return;  // became something that is not copied since the folder was read
        }
        const ExtendedAttributes attributes =
            ReadAttributes(in.get(), context_.attributes, traitsOf(st.st_dev).noAttributes);
        // Writable by its owner until its attributes are set.
        const mode_t wanted = ModeWithoutAcl(st.st_mode & kFileModeBits, attributes);
        const mode_t created = (wanted & 0777) | (attributes.empty() ? 0 : 0600);
        std::optional<FirstName> firstName;
        std::optional<FileDescriptor> out = createTarget(source, target, created, st, firstName);
        if (!out) {
            return;  // another name of a file already copied, or left out
        }
        try {
            if (const int fault = InjectedFault(source)) {
                FailWrite(source, fault);
            }
            copyData(source, in.get(), out->get(), st);
        } catch (const TooLargeForDestination&) {
            out.reset();
            ::unlink(target.c_str());
            if (firstName) {
                firstName->settle(LinkGroup::State::TooLarge);
            }
            context_.leaveOut(source, LeftOutReason::TooLarge, EFBIG);
            return;
        }
        setMetadata(source, out->get(), st, wanted, created, attributes);
        if (context_.flushEach && ::fsync(out->get()) != 0) {
            Fail(source, errno);
        }
        if (::close(out->release()) != 0) {
            Fail(source, errno);
        }
        if (firstName) {
            firstName->settle(LinkGroup::State::Done);
        }
    }

    void copyLink(const std::string& source, const std::string& target) {
        struct stat st;
        if (::lstat(source.c_str(), &st) != 0) {
            if (context_.vanished(errno, source)) {
                return;
            }
            Fail(source, errno);
        }
        if (!S_ISLNK(st.st_mode)) {
            return;
        }
        if (context_.noSymlinks) {
            context_.leaveOut(source, LeftOutReason::SymbolicLink, ENOSYS);
            return;
        }
        std::string destination(static_cast<size_t>(std::max<off_t>(st.st_size, 255)) + 1, '\0');
        const ssize_t length = ::readlink(source.c_str(), destination.data(), destination.size());
        if (length < 0) {
            if (context_.vanished(errno, source)) {
                return;
            }
            Fail(source, errno);
        }
        if (static_cast<size_t>(length) == destination.size()) {
            Fail(source, ENAMETOOLONG);  // grew since lstat
        }
        destination.resize(static_cast<size_t>(length));
        if (::symlink(destination.c_str(), target.c_str()) != 0) {
            leaveOutLink(source, target, errno);
            return;
        }
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        context_.setMetadata(context_.noLinkTimes, source, [&] {
            return ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
        });
    }

private:
    void leaveOutLink(const std::string& source, const std::string& target, int failure) {
        if (failure == ENOSYS || failure == EOPNOTSUPP || failure == EPERM) {
            context_.noSymlinks = context_.noSymlinks || RefusesForGood(failure);
            context_.leaveOut(source, LeftOutReason::SymbolicLink, failure);
        } else if (const auto reason = RefusedName(failure, target)) {
            context_.leaveOut(source, *reason, failure);
        } else {
            Fail(source, failure);
        }
    }

    // The target file, open for writing; nothing when it is another name of a file already
    // copied (then made a link to it) or when it is left out. firstName is set when this is
    // the first of several names of one file.
    std::optional<FileDescriptor> createTarget(const std::string& source, const std::string& target,
                                               mode_t mode, const struct stat& st,
                                               std::optional<FirstName>& firstName) {
        if (st.st_nlink < 2 || context_.noHardLinks) {
            return openTarget(source, target, mode);
        }
        const InodeKey key{st.st_dev, st.st_ino};
        std::unique_lock lock(context_.linkMutex);
        for (;;) {
            const auto [group, inserted] = context_.linkGroups.try_emplace(key, target);
            if (inserted) {
                firstName.emplace(context_, key);
                lock.unlock();
                return openTarget(source, target, mode);
            }
            if (group->second.state == LinkGroup::State::Copying) {
                context_.linkSettled.wait(lock);
                continue;  // the group may be gone: this name is the first then
            }
            if (group->second.state == LinkGroup::State::TooLarge) {
                lock.unlock();
                context_.leaveOut(source, LeftOutReason::TooLarge, EFBIG);
                return std::nullopt;
            }
            const std::string first = group->second.target;
            lock.unlock();
            if (::link(first.c_str(), target.c_str()) == 0) {
                return std::nullopt;
            }
            const int failure = errno;
            if (failure == EEXIST) {
                context_.leaveOut(source, LeftOutReason::SameName, failure);
                return std::nullopt;
            }
            if (failure == EPERM || RefusesForGood(failure)) {
                context_.noHardLinks = true;
            }
            return openTarget(source, target, mode);  // a file of its own, same content
        }
    }

    std::optional<FileDescriptor> openTarget(const std::string& source, const std::string& target,
                                             mode_t mode) {
        const int fd =
            ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0) {
            const int failure = errno;
            if (const auto reason = RefusedName(failure, target)) {
                context_.leaveOut(source, *reason, failure);
                return std::nullopt;
            }
            Fail(source, failure);
        }
        return std::optional<FileDescriptor>(std::in_place, fd);
    }

    void copyData(const std::string& source, int in, int out, const struct stat& st) {
        if (st.st_size == 0) {
            return;
        }
        FileSystemTraits& traits = traitsOf(st.st_dev);
        if (tryReflink(traits, in, out)) {
            return;
        }
        if (static_cast<off_t>(st.st_blocks) * 512 < st.st_size) {
            copySparse(source, traits, in, out, st.st_size);
        } else {
            copyRange(source, traits, in, out, 0, st.st_size);
        }
    }

    static bool tryReflink(FileSystemTraits& traits, int in, int out) {
        using Reflink = FileSystemTraits::Reflink;
        if (traits.reflink == Reflink::Absent) {
            return false;
        }
        if (::ioctl(out, FICLONE, in) == 0) {
            traits.reflink = Reflink::Works;
            return true;
        }
        Reflink untried = Reflink::Untried;
        traits.reflink.compare_exchange_strong(untried, Reflink::Absent);
        return false;
    }

    // Copies only the data extents and leaves the holes between them.
    void copySparse(const std::string& source, FileSystemTraits& traits, int in, int out,
                    off_t size) {
        off_t position = 0;
        while (position < size) {
            const off_t data = ::lseek(in, position, SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO) {
                    break;  // nothing but a hole up to the end
                }
                if (errno != EINVAL) {
                    Fail(source, errno);
                }
                copyRange(source, traits, in, out, position, size - position);
                return;
            }
            off_t hole = ::lseek(in, data, SEEK_HOLE);
            if (hole < 0 || hole > size) {
                hole = size;
            }
            copyRange(source, traits, in, out, data, hole - data);
            position = hole;
        }
        if (::ftruncate(out, size) != 0) {
            FailWrite(source, errno);
        }
    }

    void copyRange(const std::string& source, FileSystemTraits& traits, int in, int out,
                   off_t offset, off_t length) {
        loff_t inOffset = offset;
        loff_t outOffset = offset;
        while (length > 0 && traits.copyFileRange) {
            const ssize_t n =
                ::copy_file_range(in, &inOffset, out, &outOffset, static_cast<size_t>(length), 0);
            if (n > 0) {
                length -= n;
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && !FallsBackToReadWrite(errno)) {
                FailWrite(source, errno);
            }
            if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EOPNOTSUPP)) {
                traits.copyFileRange = false;
            }
            break;  // a short result or a refusal: the rest goes through a buffer
        }
        if (length > 0) {
            readWrite(source, in, out, inOffset, length);
        }
    }

    void readWrite(const std::string& source, int in, int out, off_t offset, off_t length) {
        if (!buffer_) {
            buffer_ = std::make_unique<char[]>(kBufferSize);
        }
        while (length > 0) {
            const size_t chunk = static_cast<size_t>(std::min<off_t>(length, kBufferSize));
            const ssize_t got = ::pread(in, buffer_.get(), chunk, offset);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                Fail(source, errno);
            }
            if (got == 0) {
                return;  // the file shrank while it was copied
            }
            writeAll(source, out, got, offset);
            offset += got;
            length -= got;
        }
    }

    void writeAll(const std::string& source, int out, ssize_t count, off_t offset) {
        const char* data = buffer_.get();
        while (count > 0) {
            const ssize_t put = ::pwrite(out, data, static_cast<size_t>(count), offset);
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                FailWrite(source, put < 0 ? errno : EIO);
            }
            data += put;
            offset += put;
            count -= put;
        }
    }

    FileSystemTraits& traitsOf(dev_t device) {
        if (!traits_ || device_ != device) {
            traits_ = &context_.traits.of(device);
            device_ = device;
        }
        return *traits_;
    }

    void setMetadata(const std::string& source, int out, const struct stat& st, mode_t wanted,
                     mode_t created, const ExtendedAttributes& attributes) {
        WriteAttributes(out, attributes, false, context_.attributes);
        if ((created & ~context_.umask) != wanted) {
            context_.setMetadata(context_.noModes, source, [&] { return ::fchmod(out, wanted); });
        }
        WriteAttributes(out, attributes, true, context_.attributes);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        context_.setMetadata(context_.noTimes, source, [&] { return ::futimens(out, times); });
    }

    CopyContext& context_;
    std::unique_ptr<char[]> buffer_;
    FileSystemTraits* traits_ = nullptr;
    dev_t device_ = 0;
};

struct CopyItem {
    enum class Kind { File, Link } kind;
    std::string source;
    std::string target;
};
using Batch = std::vector<CopyItem>;

// Batches of files handed from the folder walker to the copy workers. Bounded, so that a
// huge folder costs a fixed amount of memory.
class BatchQueue {
public:
    void push(Batch batch) {
        std::unique_lock lock(mutex_);
        notFull_.wait(lock, [&] { return queuedItems_ < kQueuedItems || abandoned_; });
        if (abandoned_) {
            return;
        }
        queuedItems_ += batch.size();
        batches_.push_back(std::move(batch));
        notEmpty_.notify_one();
    }

    std::optional<Batch> pop() {
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

    // No more batches will come.
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        notEmpty_.notify_all();
    }

    // A copy failed: drop what is waiting and stop taking more.
    void abandon() {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        closed_ = true;
        batches_.clear();
        queuedItems_ = 0;
        notFull_.notify_all();
        notEmpty_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    std::deque<Batch> batches_;
    size_t queuedItems_ = 0;
    bool closed_ = false;
    bool abandoned_ = false;
};

// The copy is put in place by renaming its folder. fusefat empties a folder it renames: the
// backup would look made and hold nothing, and an earlier copy set aside would be lost too.
// Tried on a folder of our own inside the fresh copy, before anything else is copied.
bool Lists(const std::string& folder, std::string_view name) {
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
    while (const dirent* entry = listing ? ::readdir(listing.get()) : nullptr) {
        if (entry->d_name == name) {
            return true;
        }
    }
    return false;
}

void RefuseLosingRenames(const std::string& folder) {
    const std::string before = folder + "/.tessivar-probe";
    const std::string after = folder + "/.tessivar-probe-renamed";
    int failure = 0;
    bool lost = false;
    if (::mkdir(before.c_str(), 0700) != 0) {
        failure = errno;
    } else if (FileDescriptor held(::open((before + "/held").c_str(),
                                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
               !held.valid() || !held.close()) {
        failure = errno;
    } else if (::rename(before.c_str(), after.c_str()) != 0) {
        failure = errno;
    } else {
        lost = !Lists(after, "held");  // the folder's own listing: a lookup may be cached
    }
    for (const std::string& left : {before, after}) {
        ::unlink((left + "/held").c_str());
        ::rmdir(left.c_str());
    }
    if (failure != 0) {
        Fail(folder, failure);
    }
    if (lost) {
        const std::string destination = folder.substr(0, folder.rfind('/'));
        throw Error(QStringLiteral("Cannot copy to \"%1\": a folder renamed there loses what it "
                                   "holds, so no complete copy can be put in place")
                        .arg(PathText(destination)));
    }
}

struct FolderRecord {
    std::string target;
    mode_t mode;
    struct timespec atime;
    struct timespec mtime;
    ExtendedAttributes attributes;
};

class TreeCopier {
public:
    TreeCopier(CopyContext& context, int workers) : context_(context), workerCount_(workers) {}

    void copy(const std::string& source, const std::string& target) {
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

private:
    // A thread the system will not start is done without: with none at all, the walking
    // thread copies each batch itself.
    void startWorkers() {
        try {
            while (static_cast<int>(workers_.size()) < workerCount_) {
                workers_.emplace_back([this] { drain(); });
            }
        } catch (const std::system_error&) {
        }
    }

    void drain() {
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

    void copyItem(FileCopier& copier, const CopyItem& item) {
        try {
            if (item.kind == CopyItem::Kind::File) {
                copier.copyFile(item.source, item.target, false);
            } else {
                copier.copyLink(item.source, item.target);
            }
        } catch (...) {
            context_.fail(std::current_exception());
            queue_.abandon();
        }
    }

    // Depth first, one folder open at a time whatever the depth of the tree.
    void walk(const std::string& source, const std::string& target) {
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

    void copyFolder(const std::string& source, const std::string& target, bool root,
                    std::vector<std::pair<std::string, std::string>>& pending) {
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
            probeLinkTimes(target);
        }
        ExtendedAttributes attributes = ReadAttributes(fd.get(), context_.attributes,
                                                       context_.traits.of(st.st_dev).noAttributes);
        const mode_t mode = ModeWithoutAcl(st.st_mode & kFolderModeBits, attributes);
        folders_.push_back({target, mode, st.st_atim, st.st_mtim, std::move(attributes)});
        DIR* folder = ::fdopendir(fd.get());
        if (!folder) {
            Fail(source, errno);
        }
        fd.release();
        std::unique_ptr<DIR, int (*)(DIR*)> closer(folder, ::closedir);
        readEntries(folder, source, target, pending);
        flush();
    }

    void readEntries(DIR* folder, const std::string& source, const std::string& target,
                     std::vector<std::pair<std::string, std::string>>& pending) {
        errno = 0;
        while (const dirent* entry = ::readdir(folder)) {
            const char* name = entry->d_name;
            if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))) {
                addEntry(folder, entry, source + '/' + name, target + '/' + name, pending);
            }
            errno = 0;
        }
        if (errno != 0) {
            Fail(source, errno);
        }
    }

    void addEntry(DIR* folder, const dirent* entry, std::string source, std::string target,
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
            type = S_ISDIR(st.st_mode)   ? DT_DIR
                   : S_ISREG(st.st_mode) ? DT_REG
                   : S_ISLNK(st.st_mode) ? DT_LNK
                                         : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            pending.emplace_back(std::move(source), std::move(target));
        } else if (type == DT_REG || type == DT_LNK) {
            const auto kind = type == DT_REG ? CopyItem::Kind::File : CopyItem::Kind::Link;
            batch_.push_back({kind, std::move(source), std::move(target)});
            if (batch_.size() >= kBatchSize) {
                flush();
            }
        }
        // FIFOs, sockets and devices are not copied.
    }

    void flush() {
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

    // Setting a link's times must not reach what it points at: over sshfs it does (the
    // server follows the link). Tried once on a link to a file of our own; where the link
    // itself does not take the time, links keep the times the destination gives them.
    void probeLinkTimes(const std::string& folder) {
        const std::string file = folder + "/.tessivar-probe";
        const std::string link = folder + "/.tessivar-probe-link";
        FileDescriptor fd(
            ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        bool linksTakeTimes = false;
        if (fd.valid() && ::symlink(".tessivar-probe", link.c_str()) == 0) {
            constexpr time_t kProbeTime = 1000000000;
            const struct timespec times[2] = {{kProbeTime, 0}, {kProbeTime, 0}};
            struct stat st;
            linksTakeTimes = ::utimensat(AT_FDCWD, link.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 &&
                             ::lstat(link.c_str(), &st) == 0 && st.st_mtim.tv_sec == kProbeTime;
            ::unlink(link.c_str());
        } else if (fd.valid() && RefusesForGood(errno)) {
            context_.noSymlinks = true;
        }
        if (fd.valid()) {
            ::unlink(file.c_str());
        }
        context_.noLinkTimes = !linksTakeTimes;
    }

    // Deepest first: a folder's time is set after everything inside it is written, and its
    // default ACL once nothing more is made inside it, so that nothing inherits it.
    void setFolderMetadata() {
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
            const char* path = folder->target.c_str();
            // Opened while the mode is still ours, so that a folder without read permission
            // can be flushed too.
            FileDescriptor flushed;
            if (context_.flushEach) {
                flushed =
                    FileDescriptor(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!flushed.valid()) {
                    Fail(folder->target, errno);
                }
            }
            WriteAttributes(folder->target, folder->attributes, false, context_.attributes);
            context_.setMetadata(context_.noModes, folder->target,
                                 [&] { return ::chmod(path, folder->mode); });
            WriteAttributes(folder->target, folder->attributes, true, context_.attributes);
            const struct timespec times[2] = {folder->atime, folder->mtime};
            context_.setMetadata(context_.noTimes, folder->target,
                                 [&] { return ::utimensat(AT_FDCWD, path, times, 0); });
            if (flushed.valid() && ::fsync(flushed.get()) != 0) {
                Fail(folder->target, errno);
            }
        }
    }

    CopyContext& context_;
    int workerCount_;
    BatchQueue queue_;
    std::vector<std::thread> workers_;
    Batch batch_;
    FileCopier ownCopier_{context_};
    std::vector<FolderRecord> folders_;
};

int WorkerCount(int requested) {
    if (requested > 0) {
        return requested;
    }
    return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4);
}

// A flush of the whole file system (syncfs) does not reach the storage behind a FUSE file
// system (exfat-fuse, ntfs-3g, sshfs): there each file and folder of the copy is flushed.
bool FlushesEach(const std::string& target) {
    const size_t slash = target.rfind('/');
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : target.substr(0, slash);
    struct statfs fs;
    return ::statfs(parent.c_str(), &fs) == 0 && fs.f_type == FUSE_SUPER_MAGIC;
}

std::vector<LeftOutEntry> CopyTopLevel(const std::string& source, const std::string& target,
                                       int workers) {
    struct stat st;
    if (::stat(source.c_str(), &st) != 0) {
        Fail(source, errno);
    }
    CopyContext context(source);
    context.flushEach = FlushesEach(target);
    if (S_ISDIR(st.st_mode)) {
        TreeCopier(context, WorkerCount(workers)).copy(source, target);
    } else if (S_ISREG(st.st_mode)) {
        FileCopier(context).copyFile(source, target, true);
    } else {
        throw Error(QStringLiteral("Cannot copy \"%1\": it is neither a file nor a folder")
                        .arg(PathText(source)));
    }
    std::sort(context.leftOut.begin(), context.leftOut.end(),
              [](const LeftOutEntry& a, const LeftOutEntry& b) { return a.path < b.path; });
    return std::move(context.leftOut);
}

}  // namespace

std::vector<LeftOutEntry> CopyTree(const std::filesystem::path& source,
                                   const std::filesystem::path& target, int workers,
                                   RunControl* /*control*/) {
    struct stat existing;
    if (::lstat(target.c_str(), &existing) == 0) {
        Fail(target.native(), EEXIST);
    }
    try {
        return CopyTopLevel(source.native(), target.native(), workers);
    } catch (...) {
        RemoveTree(target);
        throw;
    }
}

void SetCopyFaultInjector(CopyFaultInjector newInjector) {
    std::lock_guard lock(injectorMutex);
    injector = std::move(newInjector);
    injecting = static_cast<bool>(injector);
}
