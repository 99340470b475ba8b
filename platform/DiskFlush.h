#pragma once

#include "platform/FileDescriptor.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

// The names made, renamed and removed in a folder reach the disk; 0, or the errno. A file
// system that cannot flush a folder (some FUSE drivers) is left to keep them.
int FlushFolderEntries(const std::filesystem::path& folder);

// The copy's data reaches the disk before its dated name does, so a power cut cannot leave
// a named copy with empty files. Flushes of the whole file system cost far less than one per
// file; they run while the copy goes on, so that the disk writes while the copier reads and
// the last flush, after the copy, finds little left to write.
class DiskFlush {
public:
    // Every tenth of a second, so that a copy of a few seconds is written as it is made. On
    // btrfs each flush commits a transaction, which holds up the copier's writes: there the
    // flushes run a third as often.
    static constexpr std::chrono::milliseconds kEarlyFlushPeriod{100};
    static constexpr std::chrono::milliseconds kEarlyCommitPeriod{300};

    // folder: one on the copy's file system, opened before the copy starts so that the last
    // flush reports every write error of the copy.
    explicit DiskFlush(const std::filesystem::path& folder);
    ~DiskFlush();
    DiskFlush(const DiskFlush&) = delete;
    DiskFlush& operator=(const DiskFlush&) = delete;

    // The last flush, once the copy is complete; throws Error when the copy did not reach
    // the disk.
    void finish(const std::filesystem::path& copy);

private:
    void flushEarly();
    void stop();

    FileDescriptor fd_;
    std::chrono::milliseconds period_ = kEarlyFlushPeriod;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    int earlyFailure_ = 0;
    std::thread flusher_;
};
