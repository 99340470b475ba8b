#pragma once

#include <QString>

#include "engine/RunReport.h"
#include "platform/RunControl.h"

class Catalogue;

// Button11Click's work: deletes the copies beyond the newest N of the catalogue, N being the
// backup count, and their rows, told in the report. Nothing happens when the count's value
// is below 1; a count that is not a whole number is refused before anything is deleted. A
// stop ends it after the copy it is deleting.
void PruneBackups(const TaskSettings& settings, Catalogue& catalogue, RunControl& control,
                  RunReport& report);

// Whether pruning may delete this catalogued path on the disk: an absolute path with no
// ".." in it, lying strictly inside a folder, whose last component ends in "_" and six
// digits, and that holds neither the home folder nor the current folder.
bool MayDeleteOnDisk(const QString& path);
