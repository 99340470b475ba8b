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

namespace {

// The backup; entries left out of its copy are told in a box as well as in the log.
void BackUp(MainFormFields& fields, Catalogue& catalogue) {
    if (const int leftOut = RunBackup(fields, catalogue).leftOut) {
        Prompts::instance().information(LeftOutNotice(leftOut));
    }
}

}  // namespace

RunOutcome RunManualBackup(MainFormFields& fields, Catalogue& catalogue) {
    return RunLocked([&] { BackUp(fields, catalogue); });
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
        fields, [&] { BackUp(fields, catalogue); }, [&] { PruneBackups(fields, catalogue); });
}
