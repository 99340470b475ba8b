#include "platform/FileDataCopy.h"

#include "platform/CopyContext.h"
#include "platform/DestinationRules.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace copying {

namespace {

constexpr size_t kBufferSize = 256 * 1024;
// The data of one copy_file_range call when the copy is watched.
constexpr off_t kWatchedSlice = 8 * 1024 * 1024;
// Hashed, a smaller file goes through the program's buffer and is hashed on its way; a
// larger one is left to the kernel and read back.
constexpr off_t kKernelCopyFrom = 1024 * 1024;

// Makes a FIFO or device file; 0, or the errno. A FUSE file system that makes a plain file
// whatever it is asked for (exfat-fuse) gives EIO, as the kernel sees the kind differ: that
// file goes again, and the kind counts as refused.
int MakeNode(const std::string& target, mode_t type, dev_t device) {
    if (::mknod(target.c_str(), type | 0600, device) == 0) {
        return 0;
    }
    const int failure = errno;
    struct stat made;
    if (failure == EIO && ::lstat(target.c_str(), &made) == 0 && (made.st_mode & S_IFMT) != type) {
        ::unlink(target.c_str());
        return EOPNOTSUPP;
    }
    return failure;
}

}  // namespace

void FileCopier::copyFile(const std::string& source, const std::string& target, bool followLink) {
    context_.throwIfStopped();
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
    // Whatever ends the copy of this file, the hash stops reading it before it is closed.
    struct EndDigest {
        FileDigester& digester;
        ~EndDigest() { digester.abandon(); }
    } endDigest{digester_};
    try {
        if (const int fault = InjectedFault(source)) {
            FailWrite(source, fault);
        }
        fileBytes_ = 0;
        copyData(source, in.get(), out->get(), st);
        // Before the times are set: reading the copy back could change its access time.
        finishDigest(source, firstName);
        // Holes, a reflinked file, or a file that shrank: it counts as the size measured.
        if (fileBytes_ < st.st_size) {
            context_.copied(static_cast<std::uint64_t>(st.st_size - fileBytes_));
        }
    } catch (const TooLargeForDestination&) {
        endDigest.digester.abandon();
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
    if (firstName && !context_.hashing) {
        firstName->settle(LinkGroup::State::Done);
    }
}

void FileCopier::finishDigest(const std::string& source, std::optional<FirstName>& firstName) {
    if (!context_.hashing) {
        return;
    }
    Sha256::Digest digest{};
    if (!sharedData_) {
        if (const int failure = digester_.finish(digest)) {
            Fail(source, failure);
        }
    }
    context_.recordDigest(source, digest, sharedData_);
    if (firstName) {
        firstName->settle(LinkGroup::State::Done, digest, sharedData_);
    }
}

void FileCopier::copyLink(const std::string& source, const std::string& target) {
    struct stat st;
    if (!statEntry(source, st)) {
        return;
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
    std::optional<FirstName> firstName;
    if (linkToFirstName(source, target, st, firstName)) {
        return;
    }
    if (::symlink(destination.c_str(), target.c_str()) != 0) {
        leaveOutLink(source, target, errno);
        return;
    }
    // Where a link takes no times of its own (sshfs), a change of owner would reach what it
    // points at too.
    if (!context_.noLinkTimes) {
        context_.keepOwner(source, st.st_uid, st.st_gid, [&](uid_t owner, gid_t group) {
            return ::lchown(target.c_str(), owner, group);
        });
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    context_.setMetadata(context_.noLinkTimes, source, [&] {
        return ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
    });
    if (firstName) {
        firstName->settle(LinkGroup::State::Done);
    }
}

bool FileCopier::statEntry(const std::string& source, struct stat& st) {
    if (::lstat(source.c_str(), &st) == 0) {
        return true;
    }
    if (!context_.vanished(errno, source)) {
        Fail(source, errno);
    }
    return false;
}

void FileCopier::copySpecial(const std::string& source, const std::string& target) {
    struct stat st;
    if (!statEntry(source, st)) {
        return;
    }
    const mode_t type = st.st_mode & S_IFMT;
    if (type == S_IFSOCK) {
        context_.leaveOut(source, LeftOutReason::Socket, EOPNOTSUPP);
        return;
    }
    if (type != S_IFIFO && type != S_IFCHR && type != S_IFBLK) {
        return;  // became something else since the folder was read
    }
    if (const int failure = MakeNode(target, type, st.st_rdev)) {
        leaveOutSpecial(source, target, type, failure);
        return;
    }
    setSpecialMetadata(source, target, st);
}

// A device file is refused (EPERM) to a process without CAP_MKNOD before the destination is
// asked; whether the destination makes such files at all then shows on a FIFO.
void FileCopier::leaveOutSpecial(const std::string& source, const std::string& target, mode_t type,
                                 int failure) {
    if (failure == EPERM && type != S_IFIFO && MakeNode(target, S_IFIFO, 0) == 0) {
        ::unlink(target.c_str());
        context_.leaveOut(source, LeftOutReason::DeviceFile, failure);
    } else if (failure == EPERM || failure == ENOSYS || failure == EOPNOTSUPP) {
        context_.leaveOut(source, LeftOutReason::SpecialFile, failure);
    } else if (const auto reason = RefusedName(failure, target)) {
        context_.leaveOut(source, *reason, failure);
    } else {
        Fail(source, failure);
    }
}

void FileCopier::leaveOutLink(const std::string& source, const std::string& target, int failure) {
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
std::optional<FileDescriptor> FileCopier::createTarget(const std::string& source,
                                                       const std::string& target, mode_t mode,
                                                       const struct stat& st,
                                                       std::optional<FirstName>& firstName) {
    if (linkToFirstName(source, target, st, firstName)) {
        return std::nullopt;
    }
    return openTarget(source, target, mode);
}

// Whether this name of an entry with several names (a file or a symbolic link) is done
// with: made a hard link to the name copied first, or left out as that one was. Else the
// caller makes it as an entry of its own: the first name (firstName set), or a later one
// where the destination makes no hard links.
bool FileCopier::linkToFirstName(const std::string& source, const std::string& target,
                                 const struct stat& st, std::optional<FirstName>& firstName) {
    if (st.st_nlink < 2 || context_.noHardLinks) {
        return false;
    }
    const InodeKey key{st.st_dev, st.st_ino};
    std::unique_lock lock(context_.linkMutex);
    for (;;) {
        const auto [group, inserted] = context_.linkGroups.try_emplace(key, target);
        if (inserted) {
            firstName.emplace(context_, key);
            return false;
        }
        if (group->second.state == LinkGroup::State::Copying) {
            context_.linkSettled.wait(lock);
            continue;  // the group may be gone: this name is the first then
        }
        if (group->second.state == LinkGroup::State::TooLarge) {
            lock.unlock();
            context_.leaveOut(source, LeftOutReason::TooLarge, EFBIG);
            return true;
        }
        const std::string first = group->second.target;
        const Sha256::Digest digest = group->second.digest;
        const bool shared = group->second.shared;
        lock.unlock();
        // linkat without AT_SYMLINK_FOLLOW links a symbolic link itself.
        if (::linkat(AT_FDCWD, first.c_str(), AT_FDCWD, target.c_str(), 0) == 0) {
            if (context_.hashing && S_ISREG(st.st_mode)) {
                context_.recordDigest(source, digest, shared);
            }
            return true;
        }
        const int failure = errno;
        if (failure == EEXIST) {
            context_.leaveOut(source, LeftOutReason::SameName, failure);
            return true;
        }
        if (failure == EPERM || RefusesForGood(failure)) {
            context_.noHardLinks = true;
        }
        return false;  // an entry of its own, the same
    }
}

std::optional<FileDescriptor> FileCopier::openTarget(const std::string& source,
                                                     const std::string& target, mode_t mode) {
    // Read back too when hashed.
    const int access = context_.hashing ? O_RDWR : O_WRONLY;
    const int fd = ::open(target.c_str(), access | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
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

void FileCopier::copyData(const std::string& source, int in, int out, const struct stat& st) {
    FileSystemTraits& traits = traitsOf(st.st_dev);
    // Shared data is not read now: the copy stays a matter of metadata.
    sharedData_ = st.st_size > 0 && tryReflink(traits, in, out);
    if (sharedData_) {
        return;
    }
    if (context_.hashing) {
        digester_.begin(out, traits.copyFileRange && st.st_size >= kKernelCopyFrom, st.st_size);
    }
    if (st.st_size == 0) {
        return;
    }
    if (static_cast<off_t>(st.st_blocks) * 512 < st.st_size) {
        copySparse(source, traits, in, out, st.st_size);
    } else {
        copyRange(source, traits, in, out, 0, st.st_size);
    }
}

bool FileCopier::tryReflink(FileSystemTraits& traits, int in, int out) {
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
void FileCopier::copySparse(const std::string& source, FileSystemTraits& traits, int in, int out,
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
    digester_.written(size);
}

void FileCopier::copyRange(const std::string& source, FileSystemTraits& traits, int in, int out,
                           off_t offset, off_t length) {
    loff_t position = offset;
    // Hashed on its way through the program, the data does not go by the kernel alone.
    if (!context_.hashing || digester_.readsBack()) {
        copyRangeByKernel(source, traits, in, out, position, length);
    }
    if (length > 0) {
        readWrite(source, in, out, position, length);
    }
}

// Copies what it can with copy_file_range, from position on, and leaves the rest.
void FileCopier::copyRangeByKernel(const std::string& source, FileSystemTraits& traits, int in,
                                   int out, loff_t& position, off_t& length) {
    loff_t inOffset = position;
    loff_t outOffset = position;
    // Watched, the data goes in slices, so that its progress shows and a stop is heard; read
    // back, the hash follows slice by slice.
    const off_t slice = context_.control || context_.hashing ? kWatchedSlice : length;
    while (length > 0 && traits.copyFileRange) {
        const ssize_t n = ::copy_file_range(in, &inOffset, out, &outOffset,
                                            static_cast<size_t>(std::min(length, slice)), 0);
        if (n > 0) {
            length -= n;
            position = outOffset;
            digester_.written(outOffset);
            counted(n);
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
}

void FileCopier::counted(ssize_t bytes) {
    fileBytes_ += bytes;
    context_.copied(static_cast<std::uint64_t>(bytes));
    context_.throwIfStopped();
}

void FileCopier::readWrite(const std::string& source, int in, int out, off_t offset, off_t length) {
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
        if (context_.hashing && digester_.readsBack()) {
            digester_.written(offset + got);
        } else if (context_.hashing) {
            digester_.feed(buffer_.get(), static_cast<size_t>(got), offset);
        }
        offset += got;
        length -= got;
        counted(got);
    }
}

void FileCopier::writeAll(const std::string& source, int out, ssize_t count, off_t offset) {
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

FileSystemTraits& FileCopier::traitsOf(dev_t device) {
    if (!traits_ || device_ != device) {
        traits_ = &context_.traits.of(device);
        device_ = device;
    }
    return *traits_;
}

// The owner first: a change of owner clears the set-ID bits and drops the capabilities.
void FileCopier::setMetadata(const std::string& source, int out, const struct stat& st,
                             mode_t wanted, mode_t created, const ExtendedAttributes& attributes) {
    const bool owned =
        context_.keepOwner(source, st.st_uid, st.st_gid,
                           [&](uid_t owner, gid_t group) { return ::fchown(out, owner, group); });
    if (!owned) {
        wanted &= ~kSetIdBits;
    }
    WriteAttributes(out, attributes,
                    owned ? AttributePass::OthersAndCapability : AttributePass::Others,
                    context_.attributes);
    if ((created & ~context_.umask) != wanted) {
        context_.setMetadata(context_.noModes, source, [&] { return ::fchmod(out, wanted); });
    }
    WriteAttributes(out, attributes, AttributePass::Acls, context_.attributes);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    context_.setMetadata(context_.noTimes, source, [&] { return ::futimens(out, times); });
}

// Set by path: a device file is never opened.
void FileCopier::setSpecialMetadata(const std::string& source, const std::string& target,
                                    const struct stat& st) {
    const ExtendedAttributes attributes =
        ReadAttributes(source, context_.attributes, traitsOf(st.st_dev).noAttributes);
    const bool owned = context_.keepOwner(
        source, st.st_uid, st.st_gid,
        [&](uid_t owner, gid_t group) { return ::lchown(target.c_str(), owner, group); });
    const mode_t mode = ModeWithoutAcl(
        st.st_mode & (owned ? kFileModeBits : kFileModeBits & ~kSetIdBits), attributes);
    WriteAttributes(target, attributes, AttributePass::Others, context_.attributes);
    context_.setMetadata(context_.noModes, source,
                         [&] { return ::fchmodat(AT_FDCWD, target.c_str(), mode, 0); });
    WriteAttributes(target, attributes, AttributePass::Acls, context_.attributes);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    context_.setMetadata(context_.noTimes, source, [&] {
        return ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
    });
}

}  // namespace copying
