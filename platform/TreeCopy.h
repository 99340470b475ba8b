#pragma once

#include <filesystem>
#include <functional>

// Copies one file, or one folder with everything in it, to target, which must not exist
// yet (its parent folder must). Contents, permission bits and access and modification
// times are kept, of folders too; hard links inside the source stay hard links; symbolic
// links inside the source are copied as links and never followed; FIFOs, sockets and
// device files are left out. Names are copied byte for byte. A source that is itself a
// symbolic link is followed, as the folder or file the user picked.
//
// Throws Error naming the file that failed, with the system's text; nothing is then left
// at target. workers = 0 picks the number of copy threads from the machine.
void CopyTree(const std::filesystem::path& source, const std::filesystem::path& target,
              int workers = 0);

// For tests: called before the data of each regular file is copied, with the file's
// source path; a non-zero result is taken as the errno of a failed copy of that file.
// An empty function switches the injection off.
using CopyFaultInjector = std::function<int(const std::filesystem::path& sourceFile)>;
void SetCopyFaultInjector(CopyFaultInjector injector);
