#include "engine/Runs.h"

#include "engine/BackupRun.h"
#include "engine/Catalogue.h"
#include "engine/Retention.h"
#include "platform/Error.h"
#include "platform/TaskLock.h"

#include <functional>

namespace {

RunReport Locked(RunControl& control, const std::function<void(RunReport&)>& work) {
    RunReport report;
    try {
        const TaskLock lock(kTaskLockFile, &control);
        work(report);
    } catch (const RunStopped&) {
        report.stopped = true;
    } catch (const Error& error) {
        report.failure = error.message();
        report.failedStep = RunReport::Step::Lock;
    }
    return report;
}

// An empty source or destination is refused before the lock is waited for.
bool RefusedUnlocked(const TaskSettings& settings) {
    return settings.source.isEmpty() || settings.destination.isEmpty();
}

void BackUp(const TaskSettings& settings, RunControl& control, RunReport& report) {
    Catalogue catalogue;
    RunBackup(settings, catalogue, control, report);
}

}  // namespace

RunReport ManualBackup(const TaskSettings& settings, RunControl& control) {
    if (RefusedUnlocked(settings)) {
        RunReport report;
        BackUp(settings, control, report);
        return report;
    }
    return Locked(control, [&](RunReport& report) { BackUp(settings, control, report); });
}

RunReport Pruning(const TaskSettings& settings, RunControl& control) {
    return Locked(control, [&](RunReport& report) {
        Catalogue catalogue;
        PruneBackups(settings, catalogue, control, report);
    });
}

RunReport PlannedBackup(const TaskSettings& settings, RunControl& control) {
    return Locked(control, [&](RunReport& report) {
        Catalogue catalogue;
        RunBackup(settings, catalogue, control, report, settings.prunes());
        if (settings.prunes() && report.refusal.isEmpty() && !report.failure && !report.stopped) {
            PruneBackups(settings, catalogue, control, report);
        }
    });
}
