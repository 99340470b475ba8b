#include "platform/TreeCopy.h"

#include "platform/CopyContext.h"
#include "platform/DestinationRules.h"
#include "platform/Error.h"
#include "platform/FileDataCopy.h"
#include "platform/TreeRemove.h"
#include "platform/TreeWalk.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace {

std::vector<LeftOutEntry> CopyTopLevel(const std::string& source, const std::string& target,
                                       int workers, RunControl* control,
                                       std::vector<CopiedDigest>* digests) {
    struct stat st;
    if (::stat(source.c_str(), &st) != 0) {
        copying::Fail(source, errno);
    }
    copying::CopyContext context(source);
    context.flushEach = copying::FlushesEach(target);
    context.control = control;
    context.hashing = digests != nullptr;
    if (S_ISDIR(st.st_mode)) {
        copying::TreeCopier(context, copying::WorkerCount(workers)).copy(source, target);
    } else if (S_ISREG(st.st_mode)) {
        copying::FileCopier(context).copyFile(source, target, true);
        context.copiedEntry();
    } else {
        throw Error(QStringLiteral("Cannot copy \"%1\": it is neither a file nor a folder")
                        .arg(copying::PathText(source)));
    }
    std::sort(context.leftOut.begin(), context.leftOut.end(),
              [](const LeftOutEntry& a, const LeftOutEntry& b) { return a.path < b.path; });
    if (digests) {
        std::sort(context.digests.begin(), context.digests.end(),
                  [](const CopiedDigest& a, const CopiedDigest& b) { return a.path < b.path; });
        *digests = std::move(context.digests);
    }
    return std::move(context.leftOut);
}

}  // namespace

std::vector<LeftOutEntry> CopyTree(const std::filesystem::path& source,
                                   const std::filesystem::path& target, int workers,
                                   RunControl* control, std::vector<CopiedDigest>* digests) {
    struct stat existing;
    if (::lstat(target.c_str(), &existing) == 0) {
        copying::Fail(target.native(), EEXIST);
    }
    try {
        return CopyTopLevel(source.native(), target.native(), workers, control, digests);
    } catch (const RunStopped&) {
        throw;  // what was copied is left for the caller, so that the stop is not held up
    } catch (...) {
        RemoveTree(target);
        throw;
    }
}

void SetCopyFaultInjector(CopyFaultInjector newInjector) {
    std::lock_guard lock(copying::injectorMutex);
    copying::injector = std::move(newInjector);
    copying::injecting = static_cast<bool>(copying::injector);
}
