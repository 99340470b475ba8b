#include "platform/TreeRemove.h"

std::error_code RemoveTree(const std::filesystem::path& path) noexcept {
    // libstdc++'s remove_all opens each folder with O_NOFOLLOW and unlinks relative to it,
    // so a link swapped in during the walk cannot lead it out of the tree.
    std::error_code error;
    std::filesystem::remove_all(path, error);
    return error;
}
