#include "app/VerifyNow.h"

#include "app/BackupNow.h"
#include "app/Console.h"
#include "engine/Catalogue.h"
#include "engine/Verify.h"

int VerifyNow(const QString& copy) {
    VerifyReport report;
    // The report is written on the job's thread before it finishes, and read after.
    RunOnTerminal(
        [&report, copy](RunControl& control) {
            Catalogue catalogue;
            report = VerifyCopies(catalogue, control, copy);
            return RunReport{};
        },
        false);
    for (const QString& line : VerifyLines(report)) {
        PrintError(line);
    }
    return ExitCodeOf(report);
}
