#include "engine/HiddenNames.h"

#include "platform/TreeRemove.h"

#include <QCryptographicHash>
#include <QDir>

#include <algorithm>
#include <cstdio>
#include <string>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

fs::path Beside(const fs::path& copy, const char* suffix) {
    return copy.parent_path() /
           ('.' + copy.filename().native() + '.' + HiddenNames::TaskMark() + suffix);
}

bool IsLeftoverSuffix(const std::string& suffix) {
    return suffix == ".partial" || suffix == ".pruning" || suffix == ".replaced" ||
           suffix == ".sha256";
}

bool IsBackupDay(const std::string& text) {
    return text.size() == 6 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool Exists(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

namespace HiddenNames {

std::string TaskMark() {
    const QByteArray folder = QDir::current().canonicalPath().toUtf8();
    return QCryptographicHash::hash(folder, QCryptographicHash::Sha256)
        .toHex()
        .left(8)
        .toStdString();
}

fs::path Partial(const fs::path& copy) {
    return Beside(copy, ".partial");
}

fs::path Replaced(const fs::path& copy) {
    return Beside(copy, ".replaced");
}

fs::path Pruning(const fs::path& copy) {
    return Beside(copy, ".pruning");
}

fs::path PartialManifest(const fs::path& copy) {
    return Beside(copy, ".sha256");
}

fs::path EarlierPruning(const fs::path& copy) {
    return copy.parent_path() / ('.' + copy.filename().native() + ".pruning");
}

std::error_code ClearLeftovers(const fs::path& target) {
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    const std::string dated = target.filename().native();
    const std::string stem = '.' + dated.substr(0, dated.size() - 6);
    const std::string ownMark = '.' + TaskMark();
    std::error_code ownPartial;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().native();
        std::string suffix = name.substr(std::min(name.size(), stem.size() + 6));
        const bool marked = suffix.compare(0, ownMark.size(), ownMark) == 0;
        if (marked) {
            suffix.erase(0, ownMark.size());
        }
        // Manifests were always marked: ".<name>_yymmdd.sha256" is another source's manifest
        // (of a source named ".<name>").
        if (name.compare(0, stem.size(), stem) != 0 || !IsBackupDay(name.substr(stem.size(), 6)) ||
            !IsLeftoverSuffix(suffix) || (suffix == ".sha256" && !marked)) {
            continue;
        }
        const fs::path copy = folder / name.substr(1, stem.size() + 5);
        if (suffix == ".replaced" && !Exists(copy) &&
            std::rename(entry->path().c_str(), copy.c_str()) == 0) {
            continue;
        }
        const std::error_code removal = RemoveTree(entry->path());
        if (suffix == ".partial" && copy.filename() == dated) {
            ownPartial = removal;
        }
    }
    return ownPartial;
}

}  // namespace HiddenNames
