#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/RunControl.h"

// Why an entry of the source is not in the copy: the destination cannot hold it.
enum class LeftOutReason {
    SymbolicLink,  // the destination makes no symbolic links
    Name,          // the destination refuses the name (characters it does not allow)
    NameTooLong,   // the name or the path is too long for the destination
    SameName,      // the destination takes it for a name already copied (case ignored)
    TooLarge,      // the file is larger than the destination allows
};

struct LeftOutEntry {
    std::string path;  // relative to the source, the name's bytes as they are
    LeftOutReason reason;
    bool operator==(const LeftOutEntry&) const = default;
};

// Copies one file, or one folder with everything in it, to target, which must not exist
// yet (its parent folder must). Contents, permission bits, access and modification times,
// extended attributes and POSIX ACLs are kept, of folders too; hard links inside the source
// stay hard links; symbolic links inside the source are copied as links and never followed;
// FIFOs, sockets and device files are left out. Names are copied byte for byte. A source
// that is itself a symbolic link is followed, as the folder or file the user picked.
//
// The destination decides what it can hold, learnt by trying: metadata it refuses or
// ignores stays as it makes it, and a hard link it cannot make becomes a file of its own.
// A symbolic link, a name it cannot hold or a file too large for it is left out of the
// copy and returned, sorted by path. An entry that vanishes from the source while the copy
// runs is simply not in the copy.
//
// Throws Error naming the file that failed, with the system's text; nothing is then left
// at target. A destination that loses what a folder holds when the folder is renamed (the
// copy could never be put in place whole) is refused before anything is copied. workers = 0
// picks the number of copy threads from the machine. On a FUSE destination, which a flush of
// the whole file system does not reach, each file and folder of the copy is flushed to its
// storage as it is finished.
//
// With a control, each file and link copied and each byte of file data written is counted
// on it, and a stop asked for on it ends the copy with RunStopped within a few megabytes of
// data; what was copied is then left at target, for the caller to clear.
std::vector<LeftOutEntry> CopyTree(const std::filesystem::path& source,
                                   const std::filesystem::path& target, int workers = 0,
                                   RunControl* control = nullptr);

// For tests: called before the data of each regular file is copied, with the file's
// source path; a non-zero result is taken as the errno of a failed write of that file.
// An empty function switches the injection off.
using CopyFaultInjector = std::function<int(const std::filesystem::path& sourceFile)>;
void SetCopyFaultInjector(CopyFaultInjector injector);
