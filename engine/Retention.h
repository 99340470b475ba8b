#pragma once

#include <QString>

#include "engine/RunReport.h"
#include "platform/RunControl.h"

#include <cstdint>

#include <sys/types.h>

class Catalogue;

// Button11Click's work: deletes the copies beyond the newest N of the catalogue, N being the
// backup count, and their rows, told in the report. Nothing happens when the count's value
// is below 1; a count that is not a whole number is refused before anything is deleted. A
// stop ends it after the copy it is deleting.
void PruneBackups(const TaskSettings& settings, Catalogue& catalogue, RunControl& control,
                  RunReport& report);

// Before a planned copy that does not fit: deletes the task's oldest copies beyond the newest
// N - 1 of the catalogue (never the newest, and only those on the destination's file system,
// device), oldest day first, as few as free `bytes` of space and `entries` files, each with
// its row, and lists them in removed. False, with nothing deleted, when all of them would not
// free that much or the count is not a whole number of at least 1.
bool MakeRoom(const TaskSettings& settings, Catalogue& catalogue, dev_t device, std::uint64_t bytes,
              std::uint64_t entries, QStringList& removed);

// The line, in the log and on stderr, of a copy pruning left where it was: four blanks,
// "未删除：", its path, the reason in full-width brackets.
QString NotDeletedLine(const QString& copy, const QString& reason);

// Whether pruning may delete this catalogued path on the disk: an absolute path with no
// ".." in it, lying strictly inside a folder, whose last component ends in "_" and six
// digits, and that holds neither the home folder nor the current folder.
bool MayDeleteOnDisk(const QString& path);
