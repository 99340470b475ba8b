#include "platform/Manifest.h"

#include <algorithm>

namespace Manifest {

std::filesystem::path Of(const std::filesystem::path& copy) {
    std::filesystem::path manifest = copy;
    manifest += ".sha256";
    return manifest;
}

std::string LineText(const Line& line) {
    const bool escaped = line.path.find_first_of("\\\n\r") != std::string::npos;
    std::string text;
    text.reserve(line.path.size() + 68);
    if (escaped) {
        text += '\\';
    }
    text += line.digest;
    text += "  ";
    for (const char c : line.path) {
        if (escaped && c == '\\') {
            text += "\\\\";
        } else if (escaped && c == '\n') {
            text += "\\n";
        } else if (escaped && c == '\r') {
            text += "\\r";
        } else {
            text += c;
        }
    }
    text += '\n';
    return text;
}

std::optional<Line> ParseLine(std::string_view text) {
    // A line end of CR LF, as sha256sum -c takes it: a name's own CR is written "\r".
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
    }
    const bool escaped = !text.empty() && text.front() == '\\';
    if (escaped) {
        text.remove_prefix(1);
    }
    if (text.size() < 67 || text.substr(64, 2) != "  ") {
        return std::nullopt;
    }
    Line line;
    line.digest = std::string(text.substr(0, 64));
    if (!std::all_of(line.digest.begin(), line.digest.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })) {
        return std::nullopt;
    }
    const std::string_view name = text.substr(66);
    if (!escaped) {
        line.path = std::string(name);
        return line;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '\\') {
            line.path += name[i];
            continue;
        }
        if (++i == name.size()) {
            return std::nullopt;
        }
        switch (name[i]) {
            case '\\':
                line.path += '\\';
                break;
            case 'n':
                line.path += '\n';
                break;
            case 'r':
                line.path += '\r';
                break;
            default:
                return std::nullopt;
        }
    }
    return line;
}

}  // namespace Manifest
