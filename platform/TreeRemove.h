#pragma once

#include <filesystem>
#include <system_error>

// Deletes one file, or one folder with everything in it, for good. A symbolic link is
// removed itself, never followed. A path that is already gone is no failure. Returns the
// first error met; what could be deleted is deleted all the same.
std::error_code RemoveTree(const std::filesystem::path& path) noexcept;
