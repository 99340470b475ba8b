#pragma once

#include <filesystem>
#include <system_error>

// The hidden names a run gives a copy beside its dated name "<name>_yymmdd":
// ".<name>_yymmdd.partial" while it is being made, ".<name>_yymmdd.replaced" for the earlier
// copy of the same day while a rerun puts the new one in place, ".<name>_yymmdd.pruning"
// while pruning deletes it. A name of one of these forms is ours to remove.
namespace HiddenNames {

std::filesystem::path Partial(const std::filesystem::path& copy);
std::filesystem::path Replaced(const std::filesystem::path& copy);
std::filesystem::path Pruning(const std::filesystem::path& copy);

// What runs of this source into this destination left on any day when they were cut short:
// copies being made (".partial") or pruned (".pruning") go; an earlier copy set aside by a
// same-day rerun (".replaced") goes back to its dated name when that is missing, as it is
// then that day's only copy, and goes otherwise. Other names are not touched. Returns why
// the target's own ".partial" is still there, if it is.
std::error_code ClearLeftovers(const std::filesystem::path& target);

}  // namespace HiddenNames
