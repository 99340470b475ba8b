#pragma once

#include <sys/resource.h>

#include <QProcess>
#include <QString>
#include <csignal>

// The immutable attribute (chattr +i) stops even root from replacing a file or adding to
// a folder. Cleared again when the guard goes, so the scratch folder can be removed.
class Immutable {
public:
    explicit Immutable(QString path) : path_(std::move(path)) { set_ = Run("+i"); }
    ~Immutable() {
        if (set_) {
            Run("-i");
        }
    }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;

    // False where the file system or the user cannot set the attribute.
    bool isSet() const { return set_; }

private:
    bool Run(const char* flag) const {
        QProcess chattr;
        chattr.start(QStringLiteral("chattr"), {QString::fromLatin1(flag), path_});
        return chattr.waitForFinished(5000) && chattr.exitStatus() == QProcess::NormalExit &&
               chattr.exitCode() == 0;
    }

    QString path_;
    bool set_ = false;
};

// A limit on the size of the files this process writes; writes beyond it fail with EFBIG
// instead of raising SIGXFSZ. The previous limit comes back when the guard goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};
