#include "settings/ProfileFile.h"

#include "platform/Error.h"
#include "platform/Gb18030.h"
#include "settings/AtomicFile.h"
#include "settings/ProfileText.h"

bool HoldsLineBreak(const QString& text) {
    return text.contains(u'\r') || text.contains(u'\n');
}

QString ProfileFile::ReadString(const QString& section, const QString& key) const {
    QByteArray content;
    try {
        content = AtomicFile::ReadExisting(path_);
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
    const QByteArray content = AtomicFile::ReadExisting(path_);
    AtomicFile::Replace(path_, ProfileText::WithValue(content, ToGb18030(section), ToGb18030(key),
                                                      ToGb18030(value)));
}
