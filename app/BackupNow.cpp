#include "app/BackupNow.h"

#include "app/Console.h"
#include "app/PlainFields.h"
#include "app/Termination.h"
#include "engine/BackupJob.h"
#include "engine/Runs.h"
#include "engine/TaskFolder.h"
#include "plan/PlannedRun.h"
#include "platform/Guard.h"
#include "platform/Prompts.h"
#include "settings/Settings.h"

#include <QEventLoop>

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

RunReport RunOnTerminal(const BackupJob::Work& work, bool clockFromCopy) {
    BackupJob job;
    RunReport report;
    QEventLoop loop;
    QObject::connect(&job, &BackupJob::finished, &loop, [&](const RunReport& finished) {
        report = finished;
        loop.quit();
    });
    OnTerminationSignals([&job] { job.requestStop(); });
    ProgressDisplay display([&job] { return job.progress(); });
    if (clockFromCopy) {
        QObject::connect(&job, &BackupJob::stageReached,
                         [&display](RunStage stage, const QString&) {
                             if (stage == RunStage::Copying) {
                                 display.startClock();
                             }
                         });
    } else {
        display.startClock();
    }
    job.start(work);
    loop.exec();
    display.finish();
    return report;
}

int BackupNow() {
    PlainFields fields;
    if (const std::optional<QString> failure = PrepareRun(fields)) {
        PrintError(WithFullStop(*failure));
        return kExitBadArguments;
    }
    const TaskSettings settings = TaskSettingsOf(fields);
    const RunReport report = RunOnTerminal(
        [settings](RunControl& control) { return PlannedBackup(settings, control); }, true);
    for (const QString& line : ReportLines(report)) {
        PrintError(line);
    }
    return ExitCodeOf(report);
}
