#include "platform/DestinationRules.h"

#include "platform/CopyContext.h"
#include "platform/Error.h"
#include "platform/FileDescriptor.h"

#include <memory>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace copying {

namespace {

bool FolderExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

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

}  // namespace

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

bool RefusesForGood(int errnoValue) {
    return errnoValue == ENOSYS || errnoValue == EOPNOTSUPP;
}

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

// Setting a link's times must not reach what it points at: over sshfs it does (the
// server follows the link). Tried once on a link to a file of our own; where the link
// itself does not take the time, links keep the times the destination gives them.
void ProbeLinkTimes(const std::string& folder, std::atomic<bool>& noSymlinks,
                    std::atomic<bool>& noLinkTimes) {
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
        noSymlinks = true;
    }
    if (fd.valid()) {
        ::unlink(file.c_str());
    }
    noLinkTimes = !linksTakeTimes;
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

}  // namespace copying

QString ReasonText(LeftOutReason reason) {
    switch (reason) {
        case LeftOutReason::SymbolicLink:
            return QStringLiteral("目的地址不支持符号链接");
        case LeftOutReason::Name:
            return QStringLiteral("目的地址不支持此文件名");
        case LeftOutReason::NameTooLong:
            return QStringLiteral("文件名或路径过长，目的地址无法容纳");
        case LeftOutReason::SameName:
            return QStringLiteral("与已复制的文件名仅大小写不同");
        case LeftOutReason::TooLarge:
            return QStringLiteral("文件过大，目的地址无法容纳");
        case LeftOutReason::Socket:
            return QStringLiteral("套接字无法复制");
        case LeftOutReason::DeviceFile:
            return QStringLiteral("无权创建设备文件");
        case LeftOutReason::SpecialFile:
            return QStringLiteral("目的地址不支持此类文件");
    }
    return {};
}
