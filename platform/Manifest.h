#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The checksum manifest beside a copy: "<copy>.sha256", in the format that sha256sum writes
// and "sha256sum -c" reads, so that anyone can check a copy with coreutils alone. One line
// per regular file of the copy: 64 lowercase hexadecimal digits, two blanks, the path
// relative to the folder that holds the copy and its manifest. A path holding a backslash,
// a line feed or a carriage return is written as coreutils writes it: the line starts with
// a backslash and those characters become "\\", "\n" and "\r".
namespace Manifest {

struct Line {
    std::string digest;  // 64 lowercase hexadecimal digits
    std::string path;    // the name's bytes as they are, relative to the copy's folder
    bool operator==(const Line&) const = default;
};

// "<copy>.sha256".
std::filesystem::path Of(const std::filesystem::path& copy);

// One line of the manifest, line feed included.
std::string LineText(const Line& line);

// One line as sha256sum writes it (without its line feed; a carriage return before it is
// not part of the path); nothing when it is not such a line.
std::optional<Line> ParseLine(std::string_view text);

}  // namespace Manifest
