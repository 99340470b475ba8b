#include "app/BackupNow.h"

#include "app/CommandLine.h"
#include "app/PlainFields.h"
#include "engine/BackupRun.h"
#include "engine/Catalogue.h"
#include "engine/Retention.h"
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
    BackupResult result;
    const RunOutcome outcome = RunPlanned(
        fields, [&] { result = RunBackup(fields, catalogue); },
        [&] { PruneBackups(fields, catalogue); });
    for (const HeldBox& box : outcome.boxes) {
        PrintError(box.text);
    }
    // The window's planned run tells of entries left out only in the log; here the notice
    // is all a cron mail or a timer's journal will show.
    if (result.leftOut > 0) {
        PrintError(LeftOutNotice(result.leftOut));
    }
    return result.made && !outcome.failed ? kExitSucceeded : kExitRunFailed;
}
