#include "engine/BackupRun.h"

#include "engine/Catalogue.h"
#include "engine/HiddenNames.h"
#include "engine/Retention.h"
#include "log/LogFile.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/DateStamp.h"
#include "platform/DestinationRules.h"
#include "platform/DiskFlush.h"
#include "platform/Error.h"
#include "platform/FileDescriptor.h"
#include "platform/FileHashing.h"
#include "platform/Manifest.h"
#include "platform/Mounts.h"
#include "platform/ShownPath.h"
#include "platform/SourceMeasure.h"
#include "platform/TreeCopy.h"
#include "platform/TreeRemove.h"
#include "platform/WorkingFiles.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The source as the file system finds it, links followed; throws when it is not there.
fs::path ExistingSource(const QString& source) {
    struct stat st;
    const fs::path path = ToFsPath(source);
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            throw Error(QStringLiteral("The source \"%1\" does not exist").arg(source));
        }
        throw Error(QStringLiteral("Cannot read the source \"%1\": %2")
                        .arg(source, SystemErrorText(errno)));
    }
    std::error_code error;
    fs::path real = fs::canonical(path, error);
    if (error) {
        throw Error(QStringLiteral("Cannot read the source \"%1\": %2")
                        .arg(source, SystemErrorText(error.value())));
    }
    return real;
}

// A copy made inside its own source would copy itself without end.
void RefuseTargetInsideSource(const QString& source, const QString& destination,
                              const QString& target) {
    const fs::path realSource = ExistingSource(source);
    for (const QString& place : {destination, target}) {
        std::error_code error;
        const fs::path realPlace = fs::weakly_canonical(ToFsPath(place), error);
        if (!error && IsSameOrInside(realPlace, realSource)) {
            throw Error(
                QStringLiteral("The destination folder \"%1\" lies inside the source \"%2\"")
                    .arg(destination, source));
        }
    }
}

void MakeFolders(const fs::path& folder) {
    std::error_code error;
    if (!folder.empty()) {
        fs::create_directories(folder, error);
    }
    if (error) {
        throw Error(QStringLiteral("Cannot create the folder \"%1\": %2")
                        .arg(FromFsPath(folder), SystemErrorText(error.value())));
    }
}

bool Exists(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

[[noreturn]] void FailToPlace(const fs::path& target, int errnoValue) {
    throw Error(QStringLiteral("Cannot put the copy in place at \"%1\": %2")
                    .arg(FromFsPath(target), SystemErrorText(errnoValue)));
}

// The renames in a folder reach the disk: after a power cut the copy has its dated name.
void FlushFolder(const fs::path& folder) {
    if (const int failure = FlushFolderEntries(folder)) {
        throw Error(QStringLiteral("Cannot write the folder \"%1\" to the disk: %2")
                        .arg(FromFsPath(folder), SystemErrorText(failure)));
    }
}

// Puts the finished copy at target and flushes the folder. An earlier copy there is swapped
// out in one step where the file system can, else moved aside first; it stays under its
// hidden name, returned, until the new copy is recorded (a run cut short leaves it to the
// next run's cleaning).
//
// The copy's manifest follows it, so that a manifest beside a copy is always that copy's,
// whenever the power goes: the earlier copy's manifest is gone from the disk before the new
// copy is in place, and the new one comes after. A manifest that cannot be put in place is
// dropped: the copy is whole without one, as the copies of earlier versions are.
fs::path PutInPlace(const fs::path& partial, const fs::path& target, const fs::path& replaced,
                    const fs::path& manifest) {
    const fs::path folder = target.parent_path();
    const fs::path datedManifest = Manifest::Of(target);
    if (::unlink(datedManifest.c_str()) == 0) {
        FlushFolder(folder);
    } else if (errno != ENOENT) {
        FailToPlace(datedManifest, errno);
    }
    fs::path earlier;
    const bool placed =
        ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
    if (!placed && errno != EEXIST && errno != EINVAL) {
        FailToPlace(target, errno);
    }
    if (!placed && errno == EEXIST &&
        ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
        earlier = partial;
    } else if (!placed) {
        // No exchange here: the earlier copy steps aside under its own hidden name.
        if (Exists(target) && std::rename(target.c_str(), replaced.c_str()) != 0) {
            FailToPlace(target, errno);
        }
        if (std::rename(partial.c_str(), target.c_str()) != 0) {
            const int failure = errno;
            std::rename(replaced.c_str(), target.c_str());
            FailToPlace(target, failure);
        }
        earlier = replaced;
    }
    FlushFolder(folder);
    // Not flushed: a manifest whose rename is lost is absent, and its hidden name goes with
    // the leftovers.
    if (!manifest.empty() && std::rename(manifest.c_str(), datedManifest.c_str()) != 0) {
        ::unlink(manifest.c_str());
    }
    return earlier;
}

// The lines of the manifest of a copy named copyName, its files' paths under that name; a
// file that shares the source's data has no digest yet.
std::vector<Manifest::Line> ManifestLines(const std::string& copyName,
                                          const std::vector<CopiedDigest>& digests) {
    std::vector<Manifest::Line> lines;
    lines.reserve(digests.size());
    for (const CopiedDigest& file : digests) {
        lines.push_back({file.shared ? std::string() : HexDigest(file.digest),
                         file.path.empty() ? copyName : copyName + '/' + file.path});
    }
    return lines;
}

// Writes a manifest at path, flushed to the disk unless a flush of the whole file system
// follows. Readable by its owner only: the digests of files others may not read would tell
// which of a few likely contents they hold.
void WriteManifest(const fs::path& path, const std::vector<Manifest::Line>& lines, bool flush) {
    std::string text;
    for (const Manifest::Line& line : lines) {
        text += Manifest::LineText(line);
    }
    FileDescriptor fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    int failure = fd.valid() ? AtomicFile::WriteFully(fd.get(), text.data(), text.size()) : errno;
    if (failure == 0 && (!flush || ::fsync(fd.get()) == 0) && fd.close()) {
        return;
    }
    failure = failure ? failure : errno;
    ::unlink(path.c_str());
    throw Error(QStringLiteral("Cannot write the checksum manifest \"%1\": %2")
                    .arg(FromFsPath(path), SystemErrorText(failure)));
}

// Beyond the space the copy's blocks take, for what the destination's own bookkeeping needs
// and what the estimate misses: 1 % of the copy, and at least 4 MiB, or a 64th of a smaller
// disk. Small, so that a disk sized for N copies holds them.
constexpr std::uint64_t kMarginPercent = 1;
constexpr std::uint64_t kMarginBytes = 4ULL << 20;
constexpr std::uint64_t kMarginDiskShare = 64;
// The block a file takes on the destination: no larger than this, whatever a network file
// system gives as its preferred size.
constexpr std::uint64_t kLargestBlock = 128 * 1024;

// A copy on a file system that shares extents with the source takes almost no room.
bool SharesExtents(const fs::path& source, const fs::path& destination) {
    struct stat from;
    struct stat to;
    struct statfs system;
    return ::stat(source.c_str(), &from) == 0 && ::stat(destination.c_str(), &to) == 0 &&
           from.st_dev == to.st_dev && ::statfs(destination.c_str(), &system) == 0 &&
           (system.f_type == BTRFS_SUPER_MAGIC || system.f_type == XFS_SUPER_MAGIC);
}

// Measures the source and sees that its copy fits on the destination, for this user, blocks
// and files. When it does not and the run may make room, the oldest copies that make it fit
// go first. False, with the refusal in the report and nothing deleted or written, when it
// cannot fit.
bool EnsureRoom(const TaskSettings& settings, const QString& target, bool mayMakeRoom,
                Catalogue& catalogue, RunControl& control, RunReport& report) {
    const fs::path source = ToFsPath(settings.source);
    const fs::path destination = NearestExisting(ToFsPath(target).parent_path());
    if (!control.watched) {
        return true;
    }
    struct statvfs room;
    struct stat where;
    // A file system that tells nothing of its size (some FUSE drivers) is not judged.
    const bool known = ::statvfs(destination.c_str(), &room) == 0 &&
                       ::stat(destination.c_str(), &where) == 0 && room.f_frsize > 0 &&
                       room.f_blocks > 0;
    const std::uint64_t block = known ? std::min<std::uint64_t>(room.f_frsize, kLargestBlock) : 1;
    const SourceSize size = MeasureSource(source, block, control);
    if (!known || SharesExtents(source, destination)) {
        return true;
    }
    const std::uint64_t disk = static_cast<std::uint64_t>(room.f_blocks) * room.f_frsize;
    const std::uint64_t need =
        size.allocated + std::max(size.allocated * kMarginPercent / 100,
                                  std::min(kMarginBytes, disk / kMarginDiskShare));
    const std::uint64_t entries = size.entries + size.folders;
    const std::uint64_t available = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
    const std::uint64_t freeEntries = room.f_files > 0 ? room.f_favail : entries;
    if (need <= available && entries <= freeEntries) {
        return true;
    }
    if (mayMakeRoom &&
        MakeRoom(settings, catalogue, where.st_dev, need > available ? need - available : 0,
                 entries > freeEntries ? entries - freeEntries : 0, report.roomMade)) {
        return true;
    }
    report.refusal =
        QStringLiteral("目的地址空间不足：需要 %1，可用 %2，本次未备份！")
            .arg(SizeText(static_cast<double>(need)), SizeText(static_cast<double>(available)));
    report.failedStep = RunReport::Step::Check;
    return false;
}

// The mount point of the task's last copy when it is no longer mounted while the destination
// lies under it: the destination would now be written onto the file system beneath (an
// unplugged disk's mount folder, a dropped network mount). Empty when the drive is there,
// is another drive mounted at the same place, or is not known.
QString AbsentDrive(const QString& destination, Catalogue& catalogue) {
    const std::optional<Catalogue::Drive> last = catalogue.LastDrive();
    if (!last || !last->unplugged()) {
        return {};
    }
    std::error_code error;
    const fs::path place = fs::weakly_canonical(ToFsPath(destination), error);
    return !error && IsSameOrInside(place, ToFsPath(last->mountPoint)) ? last->mountPoint
                                                                       : QString();
}

// Where the copy now in place was made, for the catalogue.
std::optional<Catalogue::Drive> DriveOfCopy(const QString& target) {
    std::error_code error;
    const fs::path folder = fs::canonical(ToFsPath(target).parent_path(), error);
    const std::optional<MountPlace> place = error ? std::nullopt : MountPlaceOf(folder);
    if (!place) {
        return std::nullopt;
    }
    return Catalogue::Drive{FromFsPath(folder), FromFsPath(place->mountPoint),
                            QString::fromStdString(place->identity)};
}

// The copy is made under a hidden name beside the target, so that the target is either the
// complete new copy or whatever was there before. Returns what the destination could not
// hold. A stop asked for before the copy is in place abandons it: its hidden tree is left
// for the next run to clear, so that the program can end at once. The manifest goes with the
// copy; when some of the copy's files share the source's data, it is left in lateManifest,
// for PlaceLateManifest.
std::vector<LeftOutEntry> CopyIntoPlace(const QString& source, const QString& target,
                                        RunControl& control, fs::path& earlier,
                                        std::vector<Manifest::Line>& lateManifest) {
    const fs::path targetPath = ToFsPath(target);
    const fs::path partial = HiddenNames::Partial(targetPath);
    const fs::path manifest =
        control.manifest ? HiddenNames::PartialManifest(targetPath) : fs::path();
    MakeFolders(targetPath.parent_path());
    DiskFlush flush(targetPath.parent_path());
    std::vector<CopiedDigest> digests;
    std::vector<LeftOutEntry> leftOut =
        CopyTree(ToFsPath(source), partial, 0, control.watched ? &control : nullptr,
                 control.manifest ? &digests : nullptr);
    std::vector<Manifest::Line> lines = ManifestLines(targetPath.filename().native(), digests);
    const bool late = std::any_of(lines.begin(), lines.end(),
                                  [](const Manifest::Line& line) { return line.digest.empty(); });
    bool withManifest = !manifest.empty() && !late;
    try {
        if (withManifest) {
            WriteManifest(manifest, lines, copying::FlushesEach(partial.native()));
        }
    } catch (const Error&) {
        withManifest = false;  // the copy is whole without it
    }
    try {
        flush.finish(partial);
    } catch (const Error&) {
        RemoveTree(partial);
        ::unlink(manifest.c_str());
        throw;
    }
    control.throwIfStopped();
    earlier = PutInPlace(partial, targetPath, HiddenNames::Replaced(targetPath),
                         withManifest ? manifest : fs::path());
    if (!manifest.empty() && late) {
        lateManifest = std::move(lines);
    }
    return leftOut;
}

// The manifest of a copy in place whose files partly share the source's data: those are read
// from the copy now, once it is recorded, so that the copy itself took no longer than its
// metadata. A manifest that cannot be made is left out; the copy is whole without it.
void PlaceLateManifest(const fs::path& target, std::vector<Manifest::Line>& lines,
                       RunControl& control) {
    const fs::path folder = target.parent_path();
    const FileDescriptor fd(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<HashJob> jobs;
    for (const Manifest::Line& line : lines) {
        if (line.digest.empty()) {
            jobs.push_back({fd.get(), line.path});
        }
    }
    std::vector<FileDigest> hashed;
    try {
        hashed = HashFromDisk(jobs, control);
    } catch (const RunStopped&) {
        return;  // the copy is complete and recorded; only its manifest is left out
    }
    auto next = hashed.begin();
    for (Manifest::Line& line : lines) {
        if (line.digest.empty() && (line.digest = (next++)->digest).empty()) {
            return;
        }
    }
    const fs::path hidden = HiddenNames::PartialManifest(target);
    try {
        WriteManifest(hidden, lines, true);
        if (std::rename(hidden.c_str(), Manifest::Of(target).c_str()) != 0) {
            ::unlink(hidden.c_str());
        }
    } catch (const Error&) {
        ::unlink(hidden.c_str());
    }
}

}  // namespace

QString SourceName(const QString& sourcePath) {
    const qsizetype slash = sourcePath.lastIndexOf(u'/');
    return slash < 0 ? sourcePath : sourcePath.mid(slash);
}

QString TaskSettings::sourceName() const {
    return SourceName(source);
}

QString LeftOutNotice(int count) {
    return QStringLiteral("备份已完成，但有 %1 项未能复制到目的地址，详见操作日志。").arg(count);
}

QString SizeText(double bytes) {
    constexpr double kMiB = 1024.0 * 1024.0;
    return bytes >= 1024 * kMiB ? QStringLiteral("%1 GiB").arg(bytes / kMiB / 1024, 0, 'f', 2)
                                : QStringLiteral("%1 MiB").arg(bytes / kMiB, 0, 'f', 1);
}

QString RoomMadeLine(const QString& copy) {
    return QStringLiteral("    为腾出空间删除：") + copy;
}

QString LeftOutLine(const LeftOutEntry& entry) {
    return QStringLiteral("    未复制：") + ShownPath(entry.path) + u'（' +
           ReasonText(entry.reason) + u'）';
}

void RunBackup(const TaskSettings& settings, Catalogue& catalogue, RunControl& control,
               RunReport& report, bool mayMakeRoom) {
    if (settings.source.isEmpty()) {
        report.refusal = QStringLiteral("请输入要备份的文件地址！");
        report.failedStep = RunReport::Step::Check;
        return;
    }
    if (settings.destination.isEmpty()) {
        report.refusal = QStringLiteral("请输入备份文件的目的地址！");
        report.failedStep = RunReport::Step::Check;
        return;
    }
    RunReport::Step step = RunReport::Step::Copy;
    try {
        control.throwIfStopped();
        // One day for the run: the copy's name and its row carry the same, however long the
        // copy takes.
        const QDate day = Clock::currentDate();
        const QString backupDay = DateStamp(day);
        report.sourceName = settings.sourceName();
        report.target = settings.destination + report.sourceName + u'_' + backupDay;
        RefuseTargetInsideSource(settings.source, settings.destination, report.target);
        catalogue.CheckWritable();
        if (const QString absent = AbsentDrive(settings.destination, catalogue);
            !absent.isEmpty()) {
            report.refusal =
                QStringLiteral("备份目的地址所在的磁盘未连接（%1），本次未备份！").arg(absent);
            report.failedStep = RunReport::Step::Check;
            return;
        }
        // What an interrupted run left goes first: it must not take the room of this copy.
        const fs::path targetPath = ToFsPath(report.target);
        if (const std::error_code error = HiddenNames::ClearLeftovers(targetPath)) {
            throw Error(
                QStringLiteral("Cannot remove the unfinished copy \"%1\" of an earlier run: %2")
                    .arg(FromFsPath(HiddenNames::Partial(targetPath)),
                         SystemErrorText(error.value())));
        }
        if (!EnsureRoom(settings, report.target, mayMakeRoom, catalogue, control, report)) {
            return;
        }
        report.copyStarted = true;
        control.reach(RunStage::Copying, report.sourceName);
        fs::path earlier;
        std::vector<Manifest::Line> lateManifest;
        report.leftOut =
            CopyIntoPlace(settings.source, report.target, control, earlier, lateManifest);
        report.placed = true;
        QStringList leftOutLines;
        for (const LeftOutEntry& entry : report.leftOut) {
            leftOutLines << LeftOutLine(entry);
        }
        for (const QString& removed : std::as_const(report.roomMade)) {
            leftOutLines << RoomMadeLine(removed);
        }
        step = RunReport::Step::Log;
        AppendLogLine(settings.source, report.target, leftOutLines);
        report.logged = true;
        step = RunReport::Step::Catalogue;
        catalogue.RecordBackup(report.target, day, DriveOfCopy(report.target));
        report.catalogued = true;
        if (!earlier.empty()) {
            RemoveTree(earlier);  // the copy it replaced, once the new one is recorded
        }
        if (!lateManifest.empty()) {
            PlaceLateManifest(targetPath, lateManifest, control);
        }
    } catch (const RunStopped&) {
        report.stopped = true;
    } catch (const Error& error) {
        report.failure = error.message();
        report.failedStep = step;
    }
}
