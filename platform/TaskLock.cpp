#include "platform/TaskLock.h"

#include "platform/Error.h"
#include "platform/WorkingFiles.h"

#include <QDir>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

struct HeldLock {
    int fd = -1;
    int holders = 0;
};

std::mutex heldMutex;
std::map<std::string, HeldLock> held;  // by absolute lock-file path

[[noreturn]] void FailToLock(const QString& shownPath, int errnoValue) {
    throw Error(QStringLiteral("Cannot lock the task folder with \"%1\": %2")
                    .arg(shownPath, SystemErrorText(errnoValue)));
}

// A folder the user may read but not write can still be locked through an existing file.
int OpenLockFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666);
    if (fd >= 0 || (errno != EACCES && errno != EROFS && errno != EPERM)) {
        return fd;
    }
    const int firstError = errno;
    const int readOnly = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (readOnly < 0) {
        errno = firstError;
    }
    return readOnly;
}

// How often a run that may be stopped looks at the lock again while another holds it.
constexpr auto kLockPollPeriod = std::chrono::milliseconds(50);

void WaitForLock(int fd, const QString& shownPath, RunControl* control) {
    bool told = false;
    while (::flock(fd, control ? LOCK_EX | LOCK_NB : LOCK_EX) != 0) {
        if (errno == EWOULDBLOCK && control) {
            if (!told) {
                told = true;
                control->reach(RunStage::WaitingForLock);
            }
            if (control->stopRequested()) {
                ::close(fd);
                throw RunStopped{};
            }
            std::this_thread::sleep_for(kLockPollPeriod);
        } else if (errno != EINTR) {
            const int failure = errno;
            ::close(fd);
            FailToLock(shownPath, failure);
        }
    }
}

}  // namespace

TaskLock::TaskLock(const QString& lockFile, RunControl* control) {
    const QString shownPath = QDir::cleanPath(QDir::current().absoluteFilePath(lockFile));
    key_ = ToFsPath(shownPath).native();
    std::lock_guard lock(heldMutex);
    HeldLock& entry = held[key_];
    if (entry.holders > 0) {
        ++entry.holders;
        return;
    }
    const int fd = OpenLockFile(key_);
    if (fd < 0) {
        const int failure = errno;
        held.erase(key_);
        FailToLock(shownPath, failure);
    }
    try {
        WaitForLock(fd, shownPath, control);
    } catch (...) {
        held.erase(key_);
        throw;
    }
    entry.fd = fd;
    entry.holders = 1;
}

TaskLock::~TaskLock() {
    std::lock_guard lock(heldMutex);
    const auto entry = held.find(key_);
    if (entry == held.end() || --entry->second.holders > 0) {
        return;
    }
    // Closing the only descriptor of the open file releases the flock.
    ::close(entry->second.fd);
    held.erase(entry);
}
