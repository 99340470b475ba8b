#include "platform/CopyContext.h"

#include "platform/Error.h"

#include <QByteArray>
#include <QFile>
#include <cstdio>
#include <filesystem>

namespace copying {

namespace {

mode_t CurrentUmask() {
    // Read without changing it: umask(2) would change it for every thread for a moment.
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) {
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        }
        std::fclose(status);
        if (found) {
            return static_cast<mode_t>(mask);
        }
    }
    return 07777;  // unknown: every file gets its mode set explicitly
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
    : umask(CurrentUmask()), root(std::move(sourceRoot)) {}

}  // namespace copying
