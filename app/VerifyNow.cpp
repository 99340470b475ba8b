#include "app/VerifyNow.h"

#include "app/Console.h"
#include "app/Termination.h"
#include "engine/BackupJob.h"
#include "engine/Catalogue.h"
#include "engine/Verify.h"

#include <QEventLoop>

int VerifyNow(const QString& copy) {
    BackupJob job;
    VerifyReport report;
    QEventLoop loop;
    QObject::connect(&job, &BackupJob::finished, &loop, [&loop](const RunReport&) { loop.quit(); });
    OnTerminationSignals([&job] { job.requestStop(); });
    ProgressDisplay display([&job] { return job.progress(); });
    display.startClock();
    // The report is written on the job's thread before it finishes, and read after.
    job.start([&report, copy](RunControl& control) {
        Catalogue catalogue;
        report = VerifyCopies(catalogue, control, copy);
        return RunReport{};
    });
    loop.exec();
    display.finish();
    for (const QString& line : VerifyLines(report)) {
        PrintError(line);
    }
    return ExitCodeOf(report);
}
