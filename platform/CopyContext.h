#pragma once

#include "platform/RunControl.h"

#include "platform/DestinationRules.h"
#include "platform/ExtendedAttributes.h"
#include "platform/FileDataCopy.h"
#include "platform/LinkGroups.h"
#include "platform/TreeCopy.h"

#include <QString>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

// What the parts of the tree copier share: the state of one copy and the way a copy fails.
namespace copying {

// The set-user-ID and set-group-ID bits of a file are kept only on a copy that has the
// source's owner and group: a set-ID copy owned by whoever runs the backup (root, say)
// would hand out that user's rights.
constexpr mode_t kFileModeBits = 07777;
constexpr mode_t kSetIdBits = 06000;
constexpr mode_t kFolderModeBits = 03777;

// Set through SetCopyFaultInjector.
extern std::mutex injectorMutex;
extern CopyFaultInjector injector;
extern std::atomic<bool> injecting;

int InjectedFault(const std::string& sourceFile);

QString PathText(const std::string& path);

[[noreturn]] void Fail(const std::string& path, int errnoValue);

[[noreturn]] void FailWrite(const std::string& path, int errnoValue);

// Everything the threads of one copy share.
struct CopyContext {
    explicit CopyContext(std::string sourceRoot);

    mode_t umask;
    // The process may give its copies any owner (root, or CAP_CHOWN); else only a group of
    // its own, one of groups.
    bool givesAway;
    uid_t user;
    std::vector<gid_t> groups;
    std::string root;
    TraitsTable traits;
    // Each file and folder is flushed to the storage as it is finished (see FlushesEach).
    bool flushEach = false;
    // Counts what is copied and says when to stop; none for a copy nobody watches.
    RunControl* control = nullptr;
    // Each regular file is hashed as it is written, its digest listed in digests.
    bool hashing = false;

    void throwIfStopped() const {
        if (control) {
            control->throwIfStopped();
        }
    }
    void copied(std::uint64_t bytes) const {
        if (control) {
            control->addBytes(bytes);
        }
    }
    void copiedEntry() const {
        if (control) {
            control->addFile();
        }
    }

    // What the destination refused once is not asked of it again.
    std::atomic<bool> noModes{false};
    std::atomic<bool> noTimes{false};
    std::atomic<bool> noLinkTimes{false};
    std::atomic<bool> noOwners{false};
    std::atomic<bool> noSymlinks{false};
    std::atomic<bool> noHardLinks{false};
    AttributeRefusals attributes;

    std::mutex linkMutex;
    std::condition_variable linkSettled;
    std::map<InodeKey, LinkGroup> linkGroups;

    std::mutex leftOutMutex;
    std::vector<LeftOutEntry> leftOut;
    std::vector<CopiedDigest> digests;  // under leftOutMutex

    std::atomic<bool> failed{false};
    std::mutex failureMutex;
    std::exception_ptr failure;

    void fail(std::exception_ptr error) {
        std::lock_guard lock(failureMutex);
        if (!failure) {
            failure = std::move(error);
        }
        failed = true;
    }

    bool isRoot(const std::string& source) const { return source.size() <= root.size(); }

    // An entry the walk saw and that is gone now is simply not in the copy; the source
    // itself is not allowed to go.
    bool vanished(int errnoValue, const std::string& source) const {
        return errnoValue == ENOENT && !isRoot(source);
    }

    // The entry stays out of the copy and is reported. The source itself cannot stay out:
    // then the copy fails with the destination's error.
    void leaveOut(const std::string& source, LeftOutReason reason, int errnoValue) {
        if (isRoot(source)) {
            Fail(source, errnoValue);
        }
        std::lock_guard lock(leftOutMutex);
        leftOut.push_back({source.substr(root.size() + 1), reason});
    }

    void recordDigest(const std::string& source, const Sha256::Digest& digest, bool shared) {
        std::lock_guard lock(leftOutMutex);
        digests.push_back(
            {isRoot(source) ? std::string() : source.substr(root.size() + 1), digest, shared});
    }

    // Sets one piece of metadata unless the destination refused that kind for good before;
    // true when it is set. A refusal leaves what the destination made; any other failure
    // fails the copy.
    template <typename Call>
    bool setMetadata(std::atomic<bool>& refused, const std::string& path, Call call) {
        if (refused) {
            return false;
        }
        if (call() == 0) {
            return true;
        }
        const int failure = errno;
        if (!RefusesMetadata(failure)) {
            Fail(path, failure);
        }
        if (RefusesForGood(failure)) {
            refused = true;
        }
        return false;
    }

    // Gives the copy of an entry the source's owner and group, as far as the process and
    // the destination let it; true when the copy has both. chown(owner, group) sets them
    // on the copy, -1 leaving one as it is. A group the process is not in is not tried.
    template <typename Chown>
    bool keepOwner(const std::string& path, uid_t owner, gid_t group, Chown chown) {
        if (givesAway) {
            return setMetadata(noOwners, path, [&] { return chown(owner, group); });
        }
        if (std::find(groups.begin(), groups.end(), group) == groups.end()) {
            return false;
        }
        const bool grouped =
            setMetadata(noOwners, path, [&] { return chown(static_cast<uid_t>(-1), group); });
        return grouped && owner == user;
    }
};

}  // namespace copying
