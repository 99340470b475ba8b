#pragma once

#include "engine/RunReport.h"
#include "platform/RunControl.h"

// The runs a task makes, each holding the task folder's lock, so that the runs of two
// windows (or of a window and a command line) in one folder never interleave: the later one
// waits, and says so through the control. They run on any thread; the catalogue is opened
// on it. Nothing is shown: everything comes back in the report.

// "手动执行备份": the backup.
RunReport ManualBackup(const TaskSettings& settings, RunControl& control);

// Button11Click: the pruning of old copies.
RunReport Pruning(const TaskSettings& settings, RunControl& control);

// The run a plan makes at its moment: under one lock, the backup, then, when the count holds
// more than blanks and no check, error or stop ended the backup, the pruning (a run that made
// no copy deletes none). The window and the
// command line both run it.
RunReport PlannedBackup(const TaskSettings& settings, RunControl& control);
