#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/RunControl.h"
#include "platform/Sha256.h"

// Why an entry of the source is not in the copy: the destination cannot hold it, or no copy
// can be made of it.
enum class LeftOutReason {
    SymbolicLink,  // the destination makes no symbolic links
    Name,          // the destination refuses the name (characters it does not allow)
    NameTooLong,   // the name or the path is too long for the destination
    SameName,      // the destination takes it for a name already copied (case ignored)
    TooLarge,      // the file is larger than the destination allows
    Socket,        // a socket: only the program that listens on it makes one
    DeviceFile,    // a device file, which this process may not make
    SpecialFile,   // a FIFO or device file, which the destination does not make
};

struct LeftOutEntry {
    std::string path;  // relative to the source, the name's bytes as they are
    LeftOutReason reason;
    bool operator==(const LeftOutEntry&) const = default;
};

// The SHA-256 of one regular file of a copy, as it was written.
struct CopiedDigest {
    std::string path;  // relative to the source, the name's bytes; empty for a file source
    Sha256::Digest digest;
    // Its data is shared with the source's file (a reflink, a metadata operation) and was not
    // read: the digest is to be taken from the copy afterwards.
    bool shared = false;
};

// Copies one file, or one folder with everything in it, to target, which must not exist
// yet (its parent folder must). Contents, permission bits, access and modification times,
// extended attributes and POSIX ACLs are kept, of folders too; hard links inside the source
// stay hard links; symbolic links inside the source are copied as links and never followed;
// FIFOs and device files are made anew as such. Names are copied byte for byte. A source
// that is itself a symbolic link is followed, as the folder or file the user picked.
//
// Owners and groups are kept as far as the process may set them: all of them when it may
// give files away (root, or CAP_CHOWN), else the groups it belongs to. The set-user-ID and
// set-group-ID bits of a file, and its capabilities (security.capability), are kept only on
// a copy that has its source's owner and group: on a copy owned by whoever runs the backup
// they would hand out that user's rights.
//
// The destination decides what it can hold, learnt by trying: metadata it refuses or
// ignores stays as it makes it, and a hard link it cannot make becomes a file of its own.
// A symbolic link, a name it cannot hold, a file too large for it, a FIFO or device file it
// does not make or this process may not make, and every socket, are left out of the copy
// and returned, sorted by path. An entry that vanishes from the source while the copy
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
//
// With digests, every regular file of the copy, each name of a file with several, is hashed
// as it was written and listed there, sorted by path; one that shares the source's data is
// listed as shared, without its digest.
std::vector<LeftOutEntry> CopyTree(const std::filesystem::path& source,
                                   const std::filesystem::path& target, int workers = 0,
                                   RunControl* control = nullptr,
                                   std::vector<CopiedDigest>* digests = nullptr);

// For tests: called before the data of each regular file is copied, with the file's
// source path; a non-zero result is taken as the errno of a failed write of that file.
// An empty function switches the injection off.
using CopyFaultInjector = std::function<int(const std::filesystem::path& sourceFile)>;
void SetCopyFaultInjector(CopyFaultInjector injector);
