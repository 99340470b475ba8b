#pragma once

#include <filesystem>
#include <system_error>

// The hidden names a run gives a copy beside its dated name "<name>_yymmdd", marked with the
// task they belong to (a short digest of the task folder's path): ".<name>_yymmdd.<task>.partial"
// while it is being made, ".<name>_yymmdd.<task>.replaced" for the earlier copy of the same
// day while a rerun puts the new one in place, ".<name>_yymmdd.<task>.pruning" while pruning
// deletes it, ".<name>_yymmdd.<task>.sha256" for the new copy's checksum manifest until the
// copy is in place. Two tasks that share a destination and a source name never touch each other's.
// The names of earlier versions, without the task, belong to any task.
namespace HiddenNames {

// The mark of the task in the current folder.
std::string TaskMark();

std::filesystem::path Partial(const std::filesystem::path& copy);
std::filesystem::path Replaced(const std::filesystem::path& copy);
std::filesystem::path Pruning(const std::filesystem::path& copy);
std::filesystem::path PartialManifest(const std::filesystem::path& copy);
// The name earlier versions gave a copy being pruned.
std::filesystem::path EarlierPruning(const std::filesystem::path& copy);

// What runs of this task, of this source into this destination, left on any day when they
// were cut short (and what earlier versions left, whatever the task):
// copies being made (".partial") or pruned (".pruning") go, and manifests not put in place
// (".sha256"); an earlier copy set aside by a
// same-day rerun (".replaced") goes back to its dated name when that is missing, as it is
// then that day's only copy, and goes otherwise. Other names are not touched. Returns why
// the target's own ".partial" is still there, if it is.
std::error_code ClearLeftovers(const std::filesystem::path& target);

}  // namespace HiddenNames
