#pragma once

#include <filesystem>
#include <optional>
#include <string>

// Where a folder lies: the mount point of its file system and that file system's identity.
struct MountPlace {
    std::string mountPoint;
    std::string identity;  // the file system's id (statfs), in hex; empty where it gives none
};

// The mount a path lies on, read from the path itself or, when it does not exist yet, from
// its nearest folder that does. Nothing when the system tells nothing.
std::optional<MountPlace> MountPlaceOf(const std::filesystem::path& path);

// The path itself when it exists, else its nearest folder that does ("." for a relative path
// none of whose folders exists).
std::filesystem::path NearestExisting(std::filesystem::path path);

// Whether a file system is mounted at the folder now.
bool IsMountPoint(const std::string& folder);

// The file system's identity of an existing path, as MountPlace gives it.
std::string FileSystemIdentity(const std::filesystem::path& path);
