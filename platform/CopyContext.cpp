#include "platform/CopyContext.h"

#include "platform/Error.h"

#include <QByteArray>
#include <QFile>
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include <linux/capability.h>
#include <unistd.h>

namespace copying {

namespace {

struct ProcessStatus {
    mode_t umask = 07777;  // unknown: every file gets its mode set explicitly
    bool givesAway = ::geteuid() == 0;
};

// Read without changing anything: umask(2) would change the mask for every thread for a
// moment. Root without CAP_CHOWN (in a container, say) may not give files away.
ProcessStatus CurrentStatus() {
    ProcessStatus status;
    if (FILE* file = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        unsigned long long capabilities = 0;
        while (std::fgets(line, sizeof line, file)) {
            if (std::sscanf(line, "Umask: %o", &mask) == 1) {
                status.umask = static_cast<mode_t>(mask);
            } else if (std::sscanf(line, "CapEff: %llx", &capabilities) == 1) {
                status.givesAway = (capabilities >> CAP_CHOWN) & 1;
            }
        }
        std::fclose(file);
    }
    return status;
}

std::vector<gid_t> CurrentGroups() {
    std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)) + 1);
    const int count = ::getgroups(static_cast<int>(groups.size()) - 1, groups.data() + 1);
    groups.resize(static_cast<size_t>(std::max(count, 0)) + 1);
    groups[0] = ::getegid();
    return groups;
}

}  // namespace

std::mutex injectorMutex;
CopyFaultInjector injector;
std::atomic<bool> injecting{false};

int InjectedFault(const std::string& sourceFile) {
    if (!injecting) {
        return 0;
    }
    std::lock_guard lock(injectorMutex);
    return injector ? injector(std::filesystem::path(sourceFile)) : 0;
}

QString PathText(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

[[noreturn]] void Fail(const std::string& path, int errnoValue) {
    throw Error(
        QStringLiteral("Cannot copy \"%1\": %2").arg(PathText(path), SystemErrorText(errnoValue)));
}

[[noreturn]] void FailWrite(const std::string& path, int errnoValue) {
    if (errnoValue == EFBIG) {
        throw TooLargeForDestination{};
    }
    Fail(path, errnoValue);
}

CopyContext::CopyContext(std::string sourceRoot)
    : user(::geteuid()), groups(CurrentGroups()), root(std::move(sourceRoot)) {
    const ProcessStatus status = CurrentStatus();
    umask = status.umask;
    givesAway = status.givesAway;
}

}  // namespace copying
