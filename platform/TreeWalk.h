#pragma once

#include "platform/ExtendedAttributes.h"
#include "platform/FileDataCopy.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <sys/types.h>
#include <time.h>

namespace copying {

struct CopyContext;

struct CopyItem {
    enum class Kind { File, Link, Special } kind;
    std::string source;
    std::string target;
};
using Batch = std::vector<CopyItem>;

// Batches of files handed from the folder walker to the copy workers. Bounded, so that a
// huge folder costs a fixed amount of memory.
class BatchQueue {
public:
    void push(Batch batch);
    std::optional<Batch> pop();
    // No more batches will come.
    void close();
    // A copy failed: drop what is waiting and stop taking more.
    void abandon();

private:
    std::mutex mutex_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    std::deque<Batch> batches_;
    size_t queuedItems_ = 0;
    bool closed_ = false;
    bool abandoned_ = false;
};

struct FolderRecord {
    std::string target;
    mode_t mode;
    uid_t owner;
    gid_t group;
    struct timespec atime;
    struct timespec mtime;
    ExtendedAttributes attributes;
};

class TreeCopier {
public:
    TreeCopier(CopyContext& context, int workers) : context_(context), workerCount_(workers) {}

    void copy(const std::string& source, const std::string& target);

private:
    void startWorkers();
    void drain();
    void copyItem(FileCopier& copier, const CopyItem& item);
    void walk(const std::string& source, const std::string& target);
    void copyFolder(const std::string& source, const std::string& target, bool root,
                    std::vector<std::pair<std::string, std::string>>& pending);
    void readEntries(DIR* folder, const std::string& source, const std::string& target,
                     std::vector<std::pair<std::string, std::string>>& pending);
    void addEntry(DIR* folder, const dirent* entry, std::string source, std::string target,
                  std::vector<std::pair<std::string, std::string>>& pending);
    void flush();
    void setFolderMetadata();

    CopyContext& context_;
    int workerCount_;
    BatchQueue queue_;
    std::vector<std::thread> workers_;
    Batch batch_;
    FileCopier ownCopier_{context_};
    std::vector<FolderRecord> folders_;
};

int WorkerCount(int requested);

}  // namespace copying
