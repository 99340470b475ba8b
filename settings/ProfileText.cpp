#include "settings/ProfileText.h"

#include <vector>

namespace ProfileText {
namespace {

constexpr QByteArrayView kLineEnd = "\r\n";

enum class Kind { Blank, Section, Key, Other };

struct Line {
    qsizetype begin = 0;  // first byte of the line
    qsizetype next = 0;   // first byte of the next line (after the line end)
    Kind kind = Kind::Other;
    QByteArrayView name;   // section or key name, blanks around it removed
    QByteArrayView value;  // key lines: the text after "=", blanks around it removed
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

QByteArrayView Trimmed(QByteArrayView text) {
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && IsBlank(text[from])) {
        ++from;
    }
    while (to > from && IsBlank(text[to - 1])) {
        --to;
    }
    return text.sliced(from, to - from);
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// Bytes of the GB18030 character that starts at `at`: one for ASCII (and for a byte that
// cannot lead), two for a GBK pair, four when the second byte is a digit.
qsizetype CharLength(QByteArrayView text, qsizetype at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const qsizetype left = text.size() - at;
    if (lead < 0x81 || lead == 0xFF || left < 2) {
        return 1;
    }
    const auto second = static_cast<unsigned char>(text[at + 1]);
    if (second >= 0x30 && second <= 0x39) {
        return std::min<qsizetype>(4, left);
    }
    return 2;
}

// "[name]": the name between "[" and the last "]" that is a character of its own (a "]"
// byte can also be the second half of a GBK character).
std::optional<QByteArrayView> SectionName(QByteArrayView trimmed) {
    if (trimmed.isEmpty() || trimmed[0] != '[') {
        return std::nullopt;
    }
    qsizetype close = -1;
    for (qsizetype at = 1; at < trimmed.size(); at += CharLength(trimmed, at)) {
        if (trimmed[at] == ']') {
            close = at;
        }
    }
    if (close < 0) {
        return std::nullopt;
    }
    return Trimmed(trimmed.sliced(1, close - 1));
}

void Classify(QByteArrayView text, Line& line) {
    const QByteArrayView trimmed = Trimmed(text);
    if (trimmed.isEmpty()) {
        line.kind = Kind::Blank;
        return;
    }
    if (const auto section = SectionName(trimmed)) {
        line.kind = Kind::Section;
        line.name = *section;
        return;
    }
    if (trimmed[0] == '[') {
        line.kind = Kind::Other;
        return;
    }
    // "=" is below every second byte of GBK and GB18030, so a byte search is safe.
    line.kind = Kind::Key;
    const qsizetype equals = text.indexOf('=');
    if (equals < 0) {
        line.name = trimmed;
        return;
    }
    line.name = Trimmed(text.first(equals));
    line.value = Trimmed(text.sliced(equals + 1));
}

std::vector<Line> SplitLines(QByteArrayView content) {
    std::vector<Line> lines;
    qsizetype begin = 0;
    while (begin < content.size()) {
        const qsizetype feed = content.indexOf('\n', begin);
        Line line;
        line.begin = begin;
        line.next = feed < 0 ? content.size() : feed + 1;
        qsizetype end = feed < 0 ? content.size() : feed;
        while (end > begin && content[end - 1] == '\r') {
            --end;
        }
        Classify(content.sliced(begin, end - begin), line);
        lines.push_back(line);
        begin = line.next;
    }
    return lines;
}

struct Place {
    std::optional<size_t> section;  // the header line of the first matching section
    std::optional<size_t> key;      // the first matching key line inside it
    size_t lastFilled = 0;          // the last non-blank line of the section
};

Place Find(const std::vector<Line>& lines, QByteArrayView section, QByteArrayView key) {
    Place place;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (line.kind == Kind::Section) {
            if (place.section) {
                break;
            }
            if (SameName(line.name, section)) {
                place.section = i;
                place.lastFilled = i;
            }
            continue;
        }
        if (!place.section) {
            continue;
        }
        if (line.kind != Kind::Blank) {
            place.lastFilled = i;
        }
        if (line.kind == Kind::Key && SameName(line.name, key)) {
            place.key = i;
            break;
        }
    }
    return place;
}

// Quotes and blanks are never the second or fourth byte of a GB18030 character, so the
// first and the last byte can be looked at alone.
QByteArrayView Unquoted(QByteArrayView value) {
    if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
        return value.sliced(1, value.size() - 2);
    }
    return value;
}

QByteArrayView WithinLimit(QByteArrayView value) {
    qsizetype end = 0;
    while (end < value.size()) {
        const qsizetype next = end + CharLength(value, end);
        if (next > kValueLimit) {
            break;
        }
        end = next;
    }
    return value.first(end);
}

bool NeedsQuotes(QByteArrayView value) {
    const auto outer = [](char c) { return IsBlank(c) || IsQuote(c); };
    return !value.isEmpty() && (outer(value.front()) || outer(value.back()));
}

QByteArray KeyLine(QByteArrayView key, QByteArrayView value) {
    QByteArray line;
    line.reserve(key.size() + value.size() + 5);
    line.append(key).append('=');
    if (NeedsQuotes(value)) {
        line.append('"').append(value).append('"');
    } else {
        line.append(value);
    }
    return line.append(kLineEnd);
}

// The content up to `at`, ended with a line end if its last line has none.
QByteArray HeadEndingALine(QByteArrayView content, qsizetype at) {
    QByteArray head = content.first(at).toByteArray();
    if (head.endsWith('\r')) {
        head.append('\n');
    } else if (!head.isEmpty() && !head.endsWith('\n')) {
        head.append(kLineEnd);
    }
    return head;
}

}  // namespace

bool SameName(QByteArrayView a, QByteArrayView b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (qsizetype at = 0; at < a.size();) {
        const qsizetype length = CharLength(a, at);
        if (length == 1) {
            if (AsciiLower(a[at]) != AsciiLower(b[at])) {
                return false;
            }
        } else if (a.sliced(at, length) != b.sliced(at, length)) {
            return false;
        }
        at += length;
    }
    return true;
}

std::optional<QByteArray> Lookup(QByteArrayView content, QByteArrayView section,
                                 QByteArrayView key) {
    const std::vector<Line> lines = SplitLines(content);
    const Place place = Find(lines, section, key);
    if (!place.key) {
        return std::nullopt;
    }
    return WithinLimit(Unquoted(lines[*place.key].value)).toByteArray();
}

QByteArray WithValue(QByteArrayView content, QByteArrayView section, QByteArrayView key,
                     QByteArrayView value) {
    const std::vector<Line> lines = SplitLines(content);
    const Place place = Find(lines, section, key);
    if (place.key) {
        const Line& line = lines[*place.key];
        QByteArray result = content.first(line.begin).toByteArray();
        return result.append(KeyLine(line.name, value)).append(content.sliced(line.next));
    }
    if (place.section) {
        const qsizetype after = lines[place.lastFilled].next;
        QByteArray result = HeadEndingALine(content, after);
        return result.append(KeyLine(key, value)).append(content.sliced(after));
    }
    QByteArray result = HeadEndingALine(content, content.size());
    result.append('[').append(section).append(']').append(kLineEnd);
    return result.append(KeyLine(key, value));
}

}  // namespace ProfileText
