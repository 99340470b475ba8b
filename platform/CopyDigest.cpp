#include "platform/CopyDigest.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <unistd.h>

namespace copying {

namespace {

constexpr size_t kReadSize = 1024 * 1024;
// From this size on, a file read back is hashed beside its copy rather than after it.
constexpr off_t kReadBehindFrom = 16 * 1024 * 1024;

}  // namespace

void FileDigester::begin(int fd, bool readBack, off_t size) {
    abandon();
    fd_ = fd;
    readBack_ = readBack;
    position_ = 0;
    writtenUpTo_ = 0;
    ending_ = false;
    failure_ = 0;
    cancelled_ = false;
    end_ = 0;
    if (readBack && !buffer_) {
        buffer_ = std::make_unique<char[]>(kReadSize);
    }
    if (readBack && size >= kReadBehindFrom) {
        try {
            thread_ = std::thread([this] { readBehind(); });
        } catch (const std::system_error&) {
            // No thread to be had: the copy is read back once it is written.
        }
    }
}

void FileDigester::feed(const char* data, size_t size, off_t offset) {
    if (offset > position_) {
        hash_.addZeros(static_cast<std::uint64_t>(offset - position_));
    }
    hash_.add(data, size);
    position_ = offset + static_cast<off_t>(size);
    end_ = std::max(end_, position_);
}

void FileDigester::written(off_t end) {
    end_ = std::max(end_, end);
    if (!thread_.joinable()) {
        return;  // read at the end
    }
    {
        std::lock_guard lock(mutex_);
        writtenUpTo_ = std::max(writtenUpTo_, end);
    }
    changed_.notify_one();
}

int FileDigester::readUpTo(off_t end) {
    while (position_ < end) {
        if (cancelled_) {
            return ECANCELED;
        }
        const size_t want = static_cast<size_t>(std::min<off_t>(end - position_, kReadSize));
        const ssize_t got = ::pread(fd_, buffer_.get(), want, position_);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : EIO;
        }
        hash_.add(buffer_.get(), static_cast<size_t>(got));
        position_ += got;
    }
    return 0;
}

void FileDigester::readBehind() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return ending_ || writtenUpTo_ > position_; });
        const off_t end = writtenUpTo_;
        const bool last = ending_;
        if (end > position_ && failure_ == 0) {
            lock.unlock();
            const int failure = readUpTo(end);
            lock.lock();
            failure_ = failure_ ? failure_ : failure;
        }
        if (last || failure_) {
            return;
        }
    }
}

int FileDigester::finish(Sha256::Digest& digest) {
    const off_t size = end_;
    int failure = 0;
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            writtenUpTo_ = std::max(writtenUpTo_, size);
            ending_ = true;
        }
        changed_.notify_one();
        thread_.join();
        failure = failure_;
    }
    if (failure == 0 && readBack_) {
        failure = readUpTo(size);
    } else if (failure == 0 && size > position_) {
        hash_.addZeros(static_cast<std::uint64_t>(size - position_));  // a hole at the end
    }
    digest = hash_.finish();
    fd_ = -1;
    return failure;
}

void FileDigester::abandon() {
    if (thread_.joinable()) {
        cancelled_ = true;
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
        }
        changed_.notify_one();
        thread_.join();
    }
    if (fd_ >= 0) {
        hash_.finish();
        fd_ = -1;
    }
}

}  // namespace copying
