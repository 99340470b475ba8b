#pragma once

#include <QProcess>
#include <QString>

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
