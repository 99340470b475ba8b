#include "app/BackupNow.h"

#include "app/CommandLine.h"
#include "app/PlainFields.h"
#include "engine/BackupRun.h"
#include "engine/Catalogue.h"
#include "engine/TaskFolder.h"
#include "plan/PlannedRun.h"
#include "platform/Guard.h"
#include "settings/Settings.h"

namespace {

// The start-up steps a run needs, as the window takes them: the task folder readied, then
// the settings loaded. The text of the failure that stops them, if any.
std::optional<QString> PrepareRun(PlainFields& fields) {
    return FailureOf([&fields] {
        PrepareTaskFolder();
        LoadSettings(fields);
    });
}

}  // namespace

int BackupNow() {
    PlainFields fields;
    if (const std::optional<QString> failure = PrepareRun(fields)) {
        PrintError(WithFullStop(*failure));
        return kExitRunFailed;
    }
    Catalogue catalogue;
    const RunOutcome outcome = RunPlannedBackup(fields, catalogue);
    for (const HeldBox& box : outcome.boxes) {
        PrintError(box.text);
    }
    // A check that stopped the run leaves the status as it was.
    const bool made = fields.PanelText(1) == kBackedUpStatus;
    return made && !outcome.failed ? kExitSucceeded : kExitRunFailed;
}
