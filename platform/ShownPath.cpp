#include "platform/ShownPath.h"

#include <cstddef>

namespace {

// The length of the valid UTF-8 sequence at the start of bytes, 0 when there is none.
size_t Utf8Length(const unsigned char* bytes, size_t available) {
    const unsigned char lead = bytes[0];
    size_t length = 0;
    if (lead < 0x80) {
        length = 1;
    } else if (lead >= 0xC2 && lead < 0xE0) {
        length = 2;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        length = 3;
    } else if (lead >= 0xF0 && lead < 0xF5) {
        length = 4;
    }
    if (length == 0 || length > available) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    // Overlong forms, UTF-16 surrogates and code points beyond U+10FFFF.
    const unsigned char second = length > 1 ? bytes[1] : 0x80;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
        return 0;
    }
    return length;
}

}  // namespace

QString ShownPath(const std::string& path) {
    QString shown;
    const auto* bytes = reinterpret_cast<const unsigned char*>(path.data());
    for (size_t at = 0; at < path.size();) {
        const size_t length = Utf8Length(bytes + at, path.size() - at);
        if (length == 0 || bytes[at] < 0x20 || bytes[at] == 0x7F) {
            shown += QStringLiteral("\\x") +
                     QStringLiteral("%1").arg(bytes[at], 2, 16, QLatin1Char('0')).toUpper();
            ++at;
        } else {
            shown += QString::fromUtf8(path.data() + at, static_cast<qsizetype>(length));
            at += length;
        }
    }
    return shown;
}
