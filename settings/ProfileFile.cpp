#include "settings/ProfileFile.h"

#include "platform/AtomicFile.h"
#include "platform/Error.h"
#include "platform/Gb18030.h"
#include "settings/ProfileText.h"

namespace {

// Turns a failed read or write of the file into the error the save reports.
AtomicFile::FailureHandler FailOn(const QString& path) {
    return [path](AtomicFile::Step step, int errnoValue) {
        const QLatin1String verb(step == AtomicFile::Step::Read ? "read" : "write");
        throw Error(QStringLiteral("Cannot %1 file \"%2\". %3")
                        .arg(verb, path, SystemErrorText(errnoValue)));
    };
}

}  // namespace

bool HoldsLineBreak(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n');
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
    if (HoldsLineBreak(value)) {
        throw Error(QStringLiteral("The value of \"%1\" holds a line break and cannot be "
                                   "written to \"%2\"")
                        .arg(key, path_));
    }
    const QByteArray content = AtomicFile::ReadExisting(path_, FailOn(path_));
    AtomicFile::Replace(
        path_,
        ProfileText::WithValue(content, ToGb18030(section), ToGb18030(key), ToGb18030(value)),
        {FailOn(path_)});
}
