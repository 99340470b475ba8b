#pragma once

#include "platform/Sha256.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/types.h>

namespace copying {

// The SHA-256 of one file of a copy, of the data as it reached the copy. Data that passes
// through the program is fed to the hash as it is written; data the kernel moves by itself
// (copy_file_range) is read back from the copy, on a thread of its own for
// a large file, so that the hash keeps pace with the copy instead of following it. What a
// file of the source does meanwhile does not matter: the copy is what is hashed.
class FileDigester {
public:
    FileDigester() = default;
    ~FileDigester() { abandon(); }
    FileDigester(const FileDigester&) = delete;
    FileDigester& operator=(const FileDigester&) = delete;

    // Starts on the copy open at fd (readable); size is the data expected.
    void begin(int fd, bool readBack, off_t size);
    bool readsBack() const { return readBack_; }
    // Fed: data written at offset; what lies between the last data fed and offset is a hole.
    void feed(const char* data, size_t size, off_t offset);
    // Everything before end is in the copy (holes read as zeros): read back, or, fed, a hole
    // up to there.
    void written(off_t end);
    // The digest of the copy, up to the end of what was written; 0 with the errno of a failed
    // read.
    int finish(Sha256::Digest& digest);
    // Ends a hash that will not be finished.
    void abandon();

private:
    int readUpTo(off_t end);
    void readBehind();

    Sha256 hash_;
    int fd_ = -1;
    bool readBack_ = false;
    off_t position_ = 0;  // hashed up to here
    std::unique_ptr<char[]> buffer_;

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    off_t writtenUpTo_ = 0;
    bool ending_ = false;
    int failure_ = 0;
    std::atomic<bool> cancelled_{false};
    off_t end_ = 0;  // of the data written
};

}  // namespace copying
