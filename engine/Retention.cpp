#include "engine/Retention.h"

#include "engine/Catalogue.h"
#include "engine/HiddenNames.h"
#include "log/LogFile.h"
#include "platform/DiskFlush.h"
#include "platform/Error.h"
#include "platform/Manifest.h"
#include "platform/Mounts.h"
#include "platform/SourceMeasure.h"
#include "platform/TreeRemove.h"
#include "platform/WorkingFiles.h"

#include <QDir>
#include <QRegularExpression>
#include <algorithm>
#include <filesystem>

#include <cstdio>
#include <tuple>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

qint64 KeptCount(const QString& countText) {
    static const QRegularExpression wholeNumber(QStringLiteral("^[0-9]+$"));
    const QString text = countText.trimmed();
    bool ok = false;
    const qint64 keep = wholeNumber.match(text).hasMatch() ? text.toLongLong(&ok) : 0;
    if (!ok || keep < 1) {
        throw Error(QStringLiteral("The backup count \"%1\" is not a whole number of at least 1")
                        .arg(countText));
    }
    return keep;
}

bool EndsInBackupDay(const fs::path& name) {
    static const QRegularExpression backupDay(QStringLiteral("_[0-9]{6}$"));
    return backupDay.match(FromFsPath(name)).hasMatch();
}

bool HasParentStep(const fs::path& path) {
    return std::any_of(path.begin(), path.end(), [](const fs::path& part) { return part == ".."; });
}

// True when deleting path would take folder (or folder itself) with it.
bool Holds(const fs::path& path, const QString& folder) {
    return IsSameOrInside(ToFsPath(folder).lexically_normal(), path.lexically_normal());
}

}  // namespace

QString NotDeletedLine(const QString& copy, const QString& reason) {
    return QStringLiteral("    未删除：") + copy + u'（' + reason + u'）';
}

bool MayDeleteOnDisk(const QString& path) {
    const fs::path candidate = ToFsPath(path);
    if (!candidate.is_absolute() || HasParentStep(candidate)) {
        return false;
    }
    const fs::path name = candidate.filename();
    if (name.empty() || candidate.parent_path() == candidate || !EndsInBackupDay(name)) {
        return false;
    }
    return !Holds(candidate, QDir::homePath()) && !Holds(candidate, QDir::currentPath());
}

namespace {

// The dated name goes in one step, so a pruning cut short never leaves a half-deleted tree
// under a name that looks like a whole backup; what was set aside goes at the next try. Its
// manifest goes before it, and is off the disk first, so that no manifest outlives its copy.
// False when some of it is still on the disk.
bool DeleteCopy(const fs::path& copy) {
    const fs::path aside = HiddenNames::Pruning(copy);
    if (RemoveTree(aside) || RemoveTree(HiddenNames::EarlierPruning(copy))) {
        return false;
    }
    const fs::path manifest = Manifest::Of(copy);
    if (::unlink(manifest.c_str()) == 0) {
        if (FlushFolderEntries(copy.parent_path()) != 0) {
            return false;
        }
    } else if (errno != ENOENT) {
        return false;
    }
    if (::rename(copy.c_str(), aside.c_str()) != 0) {
        return !RemoveTree(copy);  // nothing to set aside, or it cannot move: delete in place
    }
    // The dated name is off the disk before anything inside goes.
    return FlushFolderEntries(copy.parent_path()) == 0 && !RemoveTree(aside);
}

bool SameEntry(const fs::path& path, const struct stat& entry) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == entry.st_dev && st.st_ino == entry.st_ino;
}

// Whether one of the folders from path up to the root is the entry.
bool OnTheWayUp(fs::path path, const struct stat& entry) {
    for (;; path = path.parent_path()) {
        if (SameEntry(path, entry)) {
            return true;
        }
        if (path == path.parent_path() || path.empty()) {
            return false;
        }
    }
}

// The folder being backed up is never pruned, nor anything holding it or inside it: an
// old copy may well be today's source. Known by device and inode, whatever path names it.
bool TouchesSource(const fs::path& copy, const QString& source) {
    struct stat own;
    struct stat picked;
    std::error_code error;
    const fs::path real = fs::canonical(ToFsPath(source), error);
    if (source.trimmed().isEmpty() || error || ::stat(real.c_str(), &picked) != 0 ||
        ::lstat(copy.c_str(), &own) != 0) {
        return !source.trimmed().isEmpty() &&
               (Holds(copy, source) || Holds(ToFsPath(source), FromFsPath(copy)));
    }
    return OnTheWayUp(real, own) || OnTheWayUp(copy.parent_path(), picked);
}

// Whether every folder of the path is one, not a symbolic link to one.
bool ReachedWithoutLinks(const fs::path& folder) {
    fs::path walked;
    for (const fs::path& part : folder) {
        walked /= part;
        struct stat st;
        if (::lstat(walked.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) {
            return false;
        }
    }
    return true;
}

// What pruning does with a catalogued copy.
struct Verdict {
    enum class Kind { Delete, RowOnly, Keep } kind;
    fs::path place;  // Delete: the copy, reached without any symbolic link
    QString reason;  // Keep: why it is not deleted; empty to keep it without a word
};

// A copy with a record of where it was made is deleted only there, on that file system; its
// drive absent, it waits with its row. A copy of an earlier version is deleted where its
// folders are no links, or where they lead to today's destination folder.
Verdict Judge(const Catalogue::Row& row, const std::optional<Catalogue::Drive>& drive,
              const QString& destination) {
    if (!MayDeleteOnDisk(row.wenjianming)) {
        return {Verdict::Kind::RowOnly, {}, {}};
    }
    const fs::path copy = ToFsPath(row.wenjianming);
    if (drive && drive->unplugged()) {
        return {Verdict::Kind::Keep, {}, {}};
    }
    std::error_code error;
    const fs::path parent = fs::canonical(copy.parent_path(), error);
    if (error) {
        return {Verdict::Kind::RowOnly, {}, {}};  // its folder is gone, and the copy with it
    }
    const fs::path place = parent / copy.filename();
    if (drive) {
        const bool there = parent == ToFsPath(drive->folder) &&
                           (drive->identity.isEmpty() ||
                            FileSystemIdentity(parent) == drive->identity.toStdString());
        return there ? Verdict{Verdict::Kind::Delete, place, {}}
                     : Verdict{Verdict::Kind::Keep, {}, QStringLiteral("不在当初备份的位置")};
    }
    const fs::path current = fs::weakly_canonical(ToFsPath(destination), error);
    if (ReachedWithoutLinks(copy.parent_path()) || (!error && parent == current)) {
        return {Verdict::Kind::Delete, place, {}};
    }
    return {Verdict::Kind::Keep, {}, QStringLiteral("路径经过符号链接")};
}

}  // namespace

bool MakeRoom(const TaskSettings& settings, Catalogue& catalogue, dev_t device, std::uint64_t bytes,
              std::uint64_t entries, QStringList& removed) {
    if (!settings.countValue || *settings.countValue < 1) {
        return false;
    }
    qint64 keep = 0;
    try {
        keep = KeptCount(settings.countText);
    } catch (const Error&) {
        return false;
    }
    std::vector<Catalogue::Row> rows = catalogue.RetentionRows(std::max<qint64>(keep - 1, 1));
    std::sort(rows.begin(), rows.end(), [](const Catalogue::Row& a, const Catalogue::Row& b) {
        return std::tie(a.shijian, a.id) < std::tie(b.shijian, b.id);
    });
    std::vector<std::pair<const Catalogue::Row*, fs::path>> chosen;
    std::uint64_t freedBytes = 0;
    std::uint64_t freedEntries = 0;
    for (const Catalogue::Row& row : rows) {
        if (freedBytes >= bytes && freedEntries >= entries) {
            break;
        }
        const Verdict verdict =
            Judge(row, catalogue.DriveOf(row.wenjianming), settings.destination);
        const fs::path& copy = verdict.place;
        struct stat st;
        if (verdict.kind != Verdict::Kind::Delete || TouchesSource(copy, settings.source) ||
            ::lstat(copy.c_str(), &st) != 0 || st.st_dev != device) {
            continue;
        }
        RunControl measured;
        const SourceSize held =
            S_ISLNK(st.st_mode) ? SourceSize{} : MeasureSource(copy, 1, measured);
        freedBytes += held.allocated;
        freedEntries += held.entries + held.folders;
        chosen.emplace_back(&row, copy);
    }
    if (freedBytes < bytes || freedEntries < entries) {
        return false;
    }
    catalogue.KeepingWhatIsDone([&] {
        for (const auto& [row, copy] : chosen) {
            if (DeleteCopy(copy)) {
                removed << row->wenjianming;
                catalogue.DeleteRow(row->id);
            }
        }
    });
    return true;
}

void PruneBackups(const TaskSettings& settings, Catalogue& catalogue, RunControl& control,
                  RunReport& report) {
    if (!settings.countValue || *settings.countValue < 1) {
        return;
    }
    report.pruningRan = true;
    try {
        const qint64 keep = KeptCount(settings.countText);
        const std::vector<Catalogue::Row> rows = catalogue.RetentionRows(keep);
        control.reach(RunStage::Pruning);
        catalogue.KeepingWhatIsDone([&] {
            for (const Catalogue::Row& row : rows) {
                // A stop ends the pruning between two copies; the rows of those deleted go.
                if (control.stopRequested()) {
                    report.stopped = true;
                    return;
                }
                const Verdict verdict =
                    Judge(row, catalogue.DriveOf(row.wenjianming), settings.destination);
                if (verdict.kind == Verdict::Kind::Keep) {
                    if (!verdict.reason.isEmpty()) {
                        report.notDeleted << NotDeletedLine(row.wenjianming, verdict.reason);
                    }
                    continue;
                }
                // A copy that could not be deleted keeps its row, so a later pruning tries
                // again.
                struct stat st;
                const bool onDisk = verdict.kind == Verdict::Kind::Delete &&
                                    !TouchesSource(verdict.place, settings.source);
                const bool there = onDisk && ::lstat(verdict.place.c_str(), &st) == 0;
                if (onDisk && !DeleteCopy(verdict.place)) {
                    continue;
                }
                if (there) {
                    report.pruned << row.wenjianming;
                }
                catalogue.DeleteRow(row.id);
            }
        });
        if (!report.notDeleted.isEmpty()) {
            AppendFollowingLines(report.notDeleted);
        }
    } catch (const Error& error) {
        report.failure = error.message();
        report.failedStep = RunReport::Step::Pruning;
    }
}
