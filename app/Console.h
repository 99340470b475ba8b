#pragma once

#include "engine/RunReport.h"
#include "platform/RunControl.h"

#include <QString>
#include <QStringList>

// What the program prints on a terminal, and its exit codes.

// The exit codes of the command line; --backup-now uses all four.
enum ExitCode : int {
    kExitSucceeded = 0,     // the copy was made, logged and catalogued, pruning (when due) done
    kExitRunFailed = 1,     // no new copy: refused, failed or stopped
    kExitBadArguments = 2,  // bad arguments, or a task folder that cannot be used
    kExitPartlyDone = 3,    // the copy was made, a later step failed or was stopped
};

// One line on stderr (or stdout), in the local encoding.
void PrintError(const QString& text);
void PrintOutput(const QString& text);

// Makes the task folder the current folder. On failure the message goes to stderr,
// nothing is made, and the result is false.
bool EnterTaskFolder(const QString& folder);

// The exit code of a run, and the lines it leaves on stderr: what its boxes would show, and
// for a copy made but not finished with, which step failed or was stopped.
int ExitCodeOf(const RunReport& report);
QStringList ReportLines(const RunReport& report);

// The progress line of a run on a terminal: percent, bytes, files, rate and time left,
// measured from `seconds` since the copy began.
QString ProgressLine(const RunControl::Progress& progress, double seconds);
