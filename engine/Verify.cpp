#include "engine/Verify.h"

#include "engine/Catalogue.h"
#include "platform/Error.h"
#include "platform/FileDescriptor.h"
#include "platform/FileHashing.h"
#include "platform/Manifest.h"
#include "platform/Mounts.h"
#include "platform/Prompts.h"
#include "platform/ShownPath.h"
#include "platform/TaskLock.h"
#include "platform/WorkingFiles.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include <fcntl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

using Outcome = CopyCheck::Outcome;

// Whether a path of the manifest names the copy called name or a file below it through
// plain names: nothing absolute, no "..", ".", or empty name.
bool WithinCopy(const std::string& path, const std::string& name) {
    if (path == name) {
        return true;
    }
    if (path.size() <= name.size() + 1 || path.compare(0, name.size(), name) != 0 ||
        path[name.size()] != '/') {
        return false;
    }
    for (std::size_t start = name.size() + 1; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part(path.data() + start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

// The whole manifest; nothing, with the errno in error, when it cannot be read. Only a
// regular file of a sane size is read: never a link, a FIFO or a device put in its place.
std::optional<std::string> ReadWhole(const fs::path& file, int& error) {
    constexpr off_t kLargest = off_t{1} << 30;
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (fd.valid() && ::fstat(fd.get(), &st) == 0 &&
        (!S_ISREG(st.st_mode) || st.st_size > kLargest)) {
        fd = FileDescriptor();
        errno = S_ISREG(st.st_mode) ? EFBIG : EINVAL;
    }
    std::string text;
    char buffer[64 * 1024];
    while (fd.valid()) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got == 0) {
            return text;
        }
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            break;
        }
    }
    error = errno;
    return std::nullopt;
}

// The copy's drive, recorded when it was made, is no longer mounted.
bool DriveAbsent(Catalogue& catalogue, const QString& copy) {
    std::optional<Catalogue::Drive> drive;
    try {
        drive = catalogue.DriveOf(copy);
    } catch (const Error&) {  // no catalogue: a copy named on the command line
    }
    return drive && drive->unplugged();
}

// One file a manifest lists, to be hashed.
struct Listed {
    std::size_t check;  // its copy's place in the report
    Manifest::Line line;
};

// A copy whose manifest was read: the folder holding both, and the paths listed.
struct Prepared {
    FileDescriptor folder;
    std::unordered_set<std::string> named;
    bool walked = false;  // the copy is there to be walked for files not listed
};

// Readies the check of one copy: its outcome where it is decided before any hashing, else
// the files to hash.
Prepared Prepare(CopyCheck& check, std::size_t index, Catalogue& catalogue,
                 std::vector<Listed>& listed) {
    Prepared prepared;
    const fs::path copy = ToFsPath(check.copy);
    const std::string name = copy.filename().native();
    struct stat st;
    if (::lstat(copy.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            check.outcome =
                DriveAbsent(catalogue, check.copy) ? Outcome::DriveAbsent : Outcome::Missing;
        } else {
            check.unreadable.emplace_back(name, errno);
        }
        return prepared;
    }
    int error = 0;
    const std::optional<std::string> manifest = ReadWhole(Manifest::Of(copy), error);
    if (!manifest) {
        if (error == ENOENT) {
            check.outcome = Outcome::NoManifest;
        } else {
            check.manifestError = error;
        }
        return prepared;
    }
    int number = 0;
    for (std::size_t start = 0; start < manifest->size();) {
        const std::size_t end = std::min(manifest->find('\n', start), manifest->size());
        ++number;
        const std::string_view text = std::string_view(*manifest).substr(start, end - start);
        start = end + 1;
        std::optional<Manifest::Line> line = Manifest::ParseLine(text);
        if (!line || !WithinCopy(line->path, name)) {
            check.badLines.push_back(number);
            continue;
        }
        prepared.named.insert(line->path);
        listed.push_back({index, std::move(*line)});
    }
    prepared.walked = true;
    const fs::path folder = copy.parent_path();
    prepared.folder = FileDescriptor(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!prepared.folder.valid()) {
        check.unreadable.emplace_back(name, errno);
    }
    return prepared;
}

// Walks the copies for the regular files their manifests do not list, and gives the control
// the size of those they list.
std::vector<std::vector<std::string>> Unlisted(const VerifyReport& report,
                                               const std::vector<Prepared>& prepared,
                                               std::uint64_t files, RunControl& control) {
    std::vector<std::vector<std::string>> unlisted(prepared.size());
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        if (!prepared[i].walked) {
            continue;
        }
        const fs::path copy = ToFsPath(report.copies[i].copy);
        const std::string name = copy.filename().native();
        for (const FoundFile& file : RegularFilesAt(copy, control)) {
            const std::string path = file.path.empty() ? name : name + '/' + file.path;
            if (prepared[i].named.count(path)) {
                bytes += file.size;
            } else {
                unlisted[i].push_back(path);
            }
        }
    }
    control.setTotal(bytes, files);
    return unlisted;
}

// What the digest of a listed file tells of it.
void Judge(CopyCheck& check, const Listed& file, const FileDigest& digest) {
    const std::string& path = file.line.path;
    if (digest.error == ENOENT || digest.error == ENOTDIR) {
        check.missing.push_back(path);
    } else if (digest.irregular || digest.error == ELOOP || digest.error == EXDEV) {
        check.damaged.push_back(path);
    } else if (digest.error != 0) {
        check.unreadable.emplace_back(path, digest.error);
    } else if (digest.digest != file.line.digest) {
        check.damaged.push_back(path);
    }
}

void Check(Catalogue& catalogue, RunControl& control, VerifyReport& report) {
    std::vector<Listed> listed;
    std::vector<Prepared> prepared;
    for (std::size_t i = 0; i < report.copies.size(); ++i) {
        prepared.push_back(Prepare(report.copies[i], i, catalogue, listed));
    }
    std::vector<HashJob> jobs;
    for (const Listed& file : listed) {
        if (prepared[file.check].folder.valid()) {
            jobs.push_back({prepared[file.check].folder.get(), file.line.path});
        }
    }
    // The walk runs beside the hashing: the disk serves the folders it lists while the
    // threads read files. The progress has its total once the walk is done.
    std::vector<std::vector<std::string>> unlisted;
    std::exception_ptr walkFailure;
    std::vector<FileDigest> digests;
    {
        const std::jthread walk([&] {
            try {
                unlisted = Unlisted(report, prepared, jobs.size(), control);
            } catch (...) {
                walkFailure = std::current_exception();
                control.requestStop();
            }
        });
        digests = HashFromDisk(jobs, control);
    }
    if (walkFailure) {
        std::rethrow_exception(walkFailure);
    }
    std::size_t next = 0;
    for (const Listed& file : listed) {
        if (prepared[file.check].folder.valid()) {
            Judge(report.copies[file.check], file, digests[next++]);
        }
    }
    for (std::size_t i = 0; i < report.copies.size(); ++i) {
        CopyCheck& check = report.copies[i];
        check.unlisted = std::move(unlisted[i]);
        for (auto* paths : {&check.damaged, &check.missing, &check.unlisted}) {
            std::sort(paths->begin(), paths->end());
        }
        std::sort(check.unreadable.begin(), check.unreadable.end());
        const bool wrong = !check.damaged.empty() || !check.missing.empty() ||
                           !check.unlisted.empty() || !check.unreadable.empty() ||
                           !check.badLines.empty() || check.manifestError != 0;
        if (wrong) {
            check.outcome = Outcome::Damaged;
        }
    }
}

// A path of the manifest as the log shows it, in the folder of the copy.
QString Shown(const CopyCheck& check, const std::string& path) {
    return check.copy.left(check.copy.lastIndexOf(u'/') + 1) + ShownPath(path);
}

}  // namespace

int VerifyReport::count(CopyCheck::Outcome outcome) const {
    return static_cast<int>(
        std::count_if(copies.begin(), copies.end(),
                      [outcome](const CopyCheck& c) { return c.outcome == outcome; }));
}

bool VerifyReport::allWhole() const {
    return !failure && !stopped &&
           count(Outcome::Whole) + (single ? 0 : count(Outcome::NoManifest)) ==
               static_cast<int>(copies.size());
}

VerifyReport VerifyCopies(Catalogue& catalogue, RunControl& control, const QString& copy) {
    VerifyReport report;
    report.single = !copy.isEmpty();
    if (!report.single && !Catalogue::Present()) {
        report.failure = QStringLiteral("任务文件夹中没有备份记录（wenjianming.mdb）！");
        return report;
    }
    try {
        const TaskLock lock(kTaskLockFile, &control);
        if (report.single) {
            report.copies.emplace_back().copy = copy;
        } else {
            QStringList seen;
            for (const Catalogue::Row& row : catalogue.Rows()) {
                if (!row.wenjianming.isEmpty() && !seen.contains(row.wenjianming)) {
                    seen << row.wenjianming;
                    report.copies.emplace_back().copy = row.wenjianming;
                }
            }
        }
        Check(catalogue, control, report);
    } catch (const RunStopped&) {
        report.stopped = true;
    } catch (const Error& error) {
        report.failure = WithFullStop(error.message());
    }
    return report;
}

QStringList VerifyLines(const VerifyReport& report) {
    if (report.failure) {
        return {*report.failure};
    }
    if (report.stopped) {
        return {QStringLiteral("校验已中止，未全部完成！")};
    }
    QStringList lines;
    for (const CopyCheck& check : report.copies) {
        switch (check.outcome) {
            case Outcome::Missing:
                lines << QStringLiteral("备份不存在：") + check.copy;
                continue;
            case Outcome::DriveAbsent:
                lines << QStringLiteral("未检查（磁盘未连接）：") + check.copy;
                continue;
            case Outcome::NoManifest:
                if (report.single) {
                    lines << QStringLiteral("没有校验清单，未检查：") + check.copy;
                }
                continue;
            case Outcome::Whole:
            case Outcome::Damaged:
                break;
        }
        if (check.manifestError != 0) {
            lines << QStringLiteral("无法读取校验清单：%1（%2）")
                         .arg(check.manifest(), SystemErrorText(check.manifestError));
        }
        for (const int number : check.badLines) {
            lines
                << QStringLiteral("校验清单有误：%1（第 %2 行）").arg(check.manifest()).arg(number);
        }
        for (const std::string& path : check.damaged) {
            lines << QStringLiteral("已损坏：") + Shown(check, path);
        }
        for (const std::string& path : check.missing) {
            lines << QStringLiteral("缺失：") + Shown(check, path);
        }
        for (const std::string& path : check.unlisted) {
            lines << QStringLiteral("未列入校验清单：") + Shown(check, path);
        }
        for (const auto& [path, error] : check.unreadable) {
            lines << QStringLiteral("无法读取：%1（%2）")
                         .arg(Shown(check, path), SystemErrorText(error));
        }
    }
    lines << QStringLiteral("校验完毕：%1 份备份完好，%2 份有问题，%3 份未检查，%4 份无校验清单。")
                 .arg(report.count(Outcome::Whole))
                 .arg(report.count(Outcome::Damaged) + report.count(Outcome::Missing))
                 .arg(report.count(Outcome::DriveAbsent))
                 .arg(report.count(Outcome::NoManifest));
    return lines;
}
