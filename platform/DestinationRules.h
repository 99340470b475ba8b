#pragma once

#include "platform/TreeCopy.h"

#include <QString>
#include <atomic>
#include <optional>
#include <string>

// What a destination can hold, learnt by probing it and from the errors it gives.
namespace copying {

bool FallsBackToReadWrite(int errnoValue);

// A write the destination refuses because the file would be larger than it allows.
struct TooLargeForDestination {};

// How a destination refuses a change of metadata it does not keep (owner, modes, times,
// a time out of its range).
bool RefusesMetadata(int errnoValue);

// Refusals that hold for every later call of the same kind on the same destination.
bool RefusesForGood(int errnoValue);

// Why the destination would not make an entry of this name inside our own fresh copy, or
// nothing when the error is a failure of the copy.
std::optional<LeftOutReason> RefusedName(int errnoValue, const std::string& target);

// Throws when a folder renamed inside folder (the fresh copy) loses what it holds.
void RefuseLosingRenames(const std::string& folder);

// Tried inside folder (the fresh copy): noLinkTimes is set when a symbolic link does not
// take times of its own (nor then an owner), noSymlinks when the destination makes no
// symbolic links at all.
void ProbeLinkTimes(const std::string& folder, std::atomic<bool>& noSymlinks,
                    std::atomic<bool>& noLinkTimes);

bool FlushesEach(const std::string& target);

}  // namespace copying

// Why an entry is not in the copy, in the words the log shows the user.
QString ReasonText(LeftOutReason reason);
