#include "engine/Retention.h"

#include "engine/Catalogue.h"
#include "engine/HiddenNames.h"
#include "platform/Error.h"
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
// under a name that looks like a whole backup; what was set aside goes at the next try.
// False when some of it is still on the disk.
bool DeleteCopy(const fs::path& copy) {
    const fs::path aside = HiddenNames::Pruning(copy);
    if (RemoveTree(aside) || RemoveTree(HiddenNames::EarlierPruning(copy))) {
        return false;
    }
    if (::rename(copy.c_str(), aside.c_str()) != 0) {
        return !RemoveTree(copy);  // nothing to set aside, or it cannot move: delete in place
    }
    return !RemoveTree(aside);
}

// The folder being backed up is never pruned, nor anything holding it or inside it: an
// old copy may well be today's source.
bool TouchesSource(const QString& path, const QString& source) {
    return !source.trimmed().isEmpty() &&
           (Holds(ToFsPath(path), source) || Holds(ToFsPath(source), path));
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
    std::vector<const Catalogue::Row*> chosen;
    std::uint64_t freedBytes = 0;
    std::uint64_t freedEntries = 0;
    for (const Catalogue::Row& row : rows) {
        if (freedBytes >= bytes && freedEntries >= entries) {
            break;
        }
        const fs::path copy = ToFsPath(row.wenjianming);
        struct stat st;
        if (!MayDeleteOnDisk(row.wenjianming) || TouchesSource(row.wenjianming, settings.source) ||
            ::lstat(copy.c_str(), &st) != 0 || st.st_dev != device) {
            continue;
        }
        RunControl measured;
        const SourceSize held =
            S_ISLNK(st.st_mode) ? SourceSize{} : MeasureSource(copy, 1, measured);
        freedBytes += held.allocated;
        freedEntries += held.entries + held.folders;
        chosen.push_back(&row);
    }
    if (freedBytes < bytes || freedEntries < entries) {
        return false;
    }
    catalogue.KeepingWhatIsDone([&] {
        for (const Catalogue::Row* row : chosen) {
            if (DeleteCopy(ToFsPath(row->wenjianming))) {
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
                // A copy that could not be deleted keeps its row, so a later pruning tries
                // again.
                const fs::path copy = ToFsPath(row.wenjianming);
                struct stat st;
                const bool onDisk = MayDeleteOnDisk(row.wenjianming) &&
                                    !TouchesSource(row.wenjianming, settings.source);
                const bool there = onDisk && ::lstat(copy.c_str(), &st) == 0;
                if (onDisk && !DeleteCopy(copy)) {
                    continue;
                }
                if (there) {
                    report.pruned << row.wenjianming;
                }
                catalogue.DeleteRow(row.id);
            }
        });
    } catch (const Error& error) {
        report.failure = error.message();
        report.failedStep = RunReport::Step::Pruning;
    }
}
