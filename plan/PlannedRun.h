#pragma once

#include "platform/Prompts.h"

#include <functional>
#include <vector>

class Catalogue;
class MainFormFields;

// What a run leaves to be told to the user once the task folder's lock is released.
struct RunOutcome {
    std::vector<HeldBox> boxes;  // in the order the run asked for them
    bool failed = false;         // an error ended the run; it is the last box
};

// Runs the work holding the task folder's lock, so that the runs of two windows (or of a
// window and a command line) in one folder never interleave: the later one waits. No box
// is shown meanwhile, so nobody waits on the lock for a click: the boxes the work asks
// for, and the text of an error that ends it, come back in the outcome.
RunOutcome RunLocked(const std::function<void()>& work);

// "手动执行备份": one backup under the lock.
RunOutcome RunManualBackup(MainFormFields& fields, Catalogue& catalogue);

// The pruning of old copies under the lock.
RunOutcome RunPruning(MainFormFields& fields, Catalogue& catalogue);

// The run a plan makes at its moment: under one lock, the backup, then, when the count
// field holds more than blanks, the pruning. The window and the command line both run it.
// Like the manual backup, it tells of entries left out of the copy in an information box.
RunOutcome RunPlannedBackup(MainFormFields& fields, Catalogue& catalogue);

// RunPlannedBackup's sequence over given steps.
RunOutcome RunPlanned(MainFormFields& fields, const std::function<void()>& backup,
                      const std::function<void()>& prune);
