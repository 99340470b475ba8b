#pragma once

#include <QString>

// --verify and --verify=PATH: checks the copies of the task in the current folder against
// the checksum manifests beside them (every catalogued copy, or only the copy at `copy`),
// with the task lock held, changing nothing. No window and no display: each finding and the
// summary go to stderr; on a terminal one line shows the progress meanwhile. SIGINT, SIGTERM
// and SIGHUP stop the check. Needs a QCoreApplication. Returns the exit code (see ExitCode).
int VerifyNow(const QString& copy = {});
