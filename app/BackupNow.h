#pragma once

#include "engine/BackupJob.h"

// Runs the work as a job while this thread waits in an event loop: on a terminal one line
// shows its progress, its rate timed from the copy's start (clockFromCopy) or from the
// work's; SIGINT, SIGTERM and SIGHUP ask it to stop. The work's report.
RunReport RunOnTerminal(const BackupJob::Work& work, bool clockFromCopy);

// --backup-now: one run of the task in the current folder, made as the plan makes it when
// its moment comes (the backup, then the pruning when a count is set), with the settings
// of config.ini and the task lock held. Readies the task folder as the window's start-up
// does. No window and no display: every check and error goes to stderr with the text its
// box would show; on a terminal one line shows the progress meanwhile. SIGINT, SIGTERM and
// SIGHUP stop the run. Needs a QCoreApplication. Returns the exit code (see ExitCode).
int BackupNow();
