#include "plan/PlannedRun.h"

#include "engine/BackupRun.h"
#include "engine/Retention.h"
#include "platform/Guard.h"
#include "platform/MainFormFields.h"
#include "platform/TaskLock.h"

RunOutcome RunLocked(const std::function<void()>& work) {
    HoldBoxes held;
    const std::optional<QString> failure = FailureOf([&] {
        const TaskLock lock;
        work();
    });
    if (failure) {
        ShowApplicationError(*failure);
    }
    return {std::move(held.boxes), failure.has_value()};
}

// A manual run tells of entries left out of its copy in a box as well; a planned run only
// in the log.
RunOutcome RunManualBackup(MainFormFields& fields, Catalogue& catalogue) {
    return RunLocked([&] {
        if (const int leftOut = RunBackup(fields, catalogue).leftOut) {
            Prompts::instance().information(LeftOutNotice(leftOut));
        }
    });
}

RunOutcome RunPruning(MainFormFields& fields, Catalogue& catalogue) {
    return RunLocked([&] { PruneBackups(fields, catalogue); });
}

RunOutcome RunPlanned(MainFormFields& fields, const std::function<void()>& backup,
                      const std::function<void()>& prune) {
    return RunLocked([&] {
        backup();
        if (!fields.CountText().trimmed().isEmpty()) {
            prune();
        }
    });
}

RunOutcome RunPlannedBackup(MainFormFields& fields, Catalogue& catalogue) {
    return RunPlanned(
        fields, [&] { RunBackup(fields, catalogue); }, [&] { PruneBackups(fields, catalogue); });
}
