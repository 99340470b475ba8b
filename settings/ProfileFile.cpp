#include "settings/ProfileFile.h"

#include "platform/AtomicFile.h"
#include "platform/Error.h"
#include "platform/Gb18030.h"
#include "platform/WorkingFiles.h"
#include "settings/ProfileText.h"

#include <sys/stat.h>

namespace {

// Turns a failed read or write of the file into the error the save reports.
AtomicFile::FailureHandler FailOn(const QString& path) {
    return [path](AtomicFile::Step step, int errnoValue) {
        const QLatin1String verb(step == AtomicFile::Step::Read ? "read" : "write");
        throw Error(QStringLiteral("Cannot %1 file \"%2\". %3")
                        .arg(verb, path, SystemErrorText(errnoValue)));
    };
}

bool HoldsLineBreak(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n');
}

}  // namespace

bool ProfileFile::Writable(const QString& value) {
    return !HoldsLineBreak(value) && ToGb18030(value).size() <= ProfileText::kValueLimit;
}

bool ProfileFile::IsThere() const {
    struct stat status {};
    if (::stat(ToFsPath(path_).c_str(), &status) != 0 || S_ISDIR(status.st_mode)) {
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        throw Error(QStringLiteral("Cannot read file \"%1\". It is not a regular file").arg(path_));
    }
    return true;
}

QString ProfileFile::ReadString(const QString& section, const QString& key) const {
    QByteArray content;
    try {
        content = AtomicFile::ReadExisting(path_, FailOn(path_));
    } catch (const Error&) {
        return {};
    }
    const auto value = ProfileText::Lookup(content, ToGb18030(section), ToGb18030(key));
    return value ? FromGb18030(*value) : QString();
}

void ProfileFile::WriteString(const QString& section, const QString& key, const QString& value) {
    if (!Writable(value)) {
        throw Error(QStringLiteral("The value of \"%1\" cannot be written to \"%2\" so that it "
                                   "reads back the same")
                        .arg(key, path_));
    }
    const QByteArray content = AtomicFile::ReadExisting(path_, FailOn(path_));
    const QByteArray sectionBytes = ToGb18030(section);
    const QByteArray keyBytes = ToGb18030(key);
    const auto present = ProfileText::Lookup(content, sectionBytes, keyBytes);
    const bool unchanged = present && FromGb18030(*present) == value;
    AtomicFile::Replace(
        path_,
        unchanged ? content
                  : ProfileText::WithValue(content, sectionBytes, keyBytes, ToGb18030(value)),
        {FailOn(path_)});
}
