#pragma once

#include "platform/RunControl.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

// A regular file found at or below a folder.
struct FoundFile {
    std::string path;  // relative to where the walk began, "/" between names; "" for itself
    std::uint64_t size = 0;
    ino_t inode = 0;
};

// The regular files at or below root, root itself included when it is one, with no symbolic
// link followed (a link as root gives nothing). A folder that cannot be listed is passed
// over. Throws RunStopped once a stop is asked for.
std::vector<FoundFile> RegularFilesAt(const std::filesystem::path& root, const RunControl& control);

// One file to hash: a path below an open folder.
struct HashJob {
    int folder = -1;
    std::string path;
};

// What hashing one file gave.
struct FileDigest {
    std::string digest;      // 64 lowercase hexadecimal digits; empty when it failed
    int error = 0;           // errno of the failure; ELOOP: a symbolic link on the way
    bool irregular = false;  // there is something at the path, but not a regular file
};

// Hashes every job's file with SHA-256, read from the disk rather than from the page cache:
// each file's cached pages are dropped before it is read (a copy checked right after it was
// written is read back, not remembered), then read in large sequential pieces. The path is
// resolved below its folder with no symbolic link followed and without ever leaving it. The
// files are shared out among one thread per processor, each file read by one of them; a few
// dozen files ahead of them are opened and readied, and the reads of the small ones among
// them started, so that many small files are read from the disk at a time.
// Every byte read and every file done is added to the control. The results come in the
// order of the jobs. Throws RunStopped once a stop is asked for.
std::vector<FileDigest> HashFromDisk(const std::vector<HashJob>& jobs, RunControl& control);
