#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// The profile ("INI") format on the bytes of a whole file, GB18030 encoded. Lines end
// with LF, and every CR before the LF belongs to the line end; a section starts at a line
// "[name]"; a key line is "name=value".
// Section and key names match as the Windows profile functions match them: blanks
// around a name do not count, ASCII letters match in either case, and the first
// matching section and the first matching key in it win.
namespace ProfileText {

// Longest value a read gives; the bytes after it are left out.
constexpr qsizetype kValueLimit = 2047;

// The value of the key, or nothing when the section or the key is missing, read as the
// Windows profile reader reads it: blanks and tabs at both ends removed, then one pair of
// matching quotes ("..." or '...') around it, then at most kValueLimit bytes kept (never
// half a character).
std::optional<QByteArray> Lookup(QByteArrayView content, QByteArrayView section,
                                 QByteArrayView key);

// The content with the key set to the value: a present key's line is replaced, a
// missing key is added after the last non-empty line of its section, a missing section
// is added at the end. Every other byte stays as it was. A value that starts or ends with
// a blank, a tab or a quote is written in double quotes, so that Lookup gives it back as it
// was. The value must hold no line break; new lines end with CR LF.
QByteArray WithValue(QByteArrayView content, QByteArrayView section, QByteArrayView key,
                     QByteArrayView value);

// Two names are the same name: equal bytes, except that ASCII letters match in either
// case. Bytes that belong to a double- or four-byte character are compared exactly.
bool SameName(QByteArrayView a, QByteArrayView b);

}  // namespace ProfileText
