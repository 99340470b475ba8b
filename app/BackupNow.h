#pragma once

// --backup-now: one run of the task in the current folder, made as the plan makes it when
// its moment comes (the backup, then the pruning when a count is set), with the settings
// of config.ini and the task lock held. Readies the task folder as the window's start-up
// does. No window and no display: every check and error goes to stderr with the text its
// box would show. Needs a QCoreApplication. Returns the exit code: 0 when the copy was made
// (a notice of entries left out included), 1 when the run failed or a check stopped it.
int BackupNow();
