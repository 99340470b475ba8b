#include "engine/BackupRun.h"

#include "engine/Catalogue.h"
#include "log/LogFile.h"
#include "platform/Clock.h"
#include "platform/DateStamp.h"
#include "platform/Error.h"
#include "platform/FileDescriptor.h"
#include "platform/MainFormFields.h"
#include "platform/Prompts.h"
#include "platform/TreeCopy.h"
#include "platform/TreeRemove.h"
#include "platform/WorkingFiles.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const QString kBackingUp = QStringLiteral("文件备份中……");

// The source as the file system finds it, links followed; throws when it is not there.
fs::path ExistingSource(const QString& source) {
    struct stat st;
    const fs::path path = ToFsPath(source);
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            throw Error(QStringLiteral("The source \"%1\" does not exist").arg(source));
        }
        throw Error(QStringLiteral("Cannot read the source \"%1\": %2")
                        .arg(source, SystemErrorText(errno)));
    }
    std::error_code error;
    fs::path real = fs::canonical(path, error);
    if (error) {
        throw Error(QStringLiteral("Cannot read the source \"%1\": %2")
                        .arg(source, SystemErrorText(error.value())));
    }
    return real;
}

// A copy made inside its own source would copy itself without end.
void RefuseTargetInsideSource(const QString& source, const QString& destination,
                              const QString& target) {
    const fs::path realSource = ExistingSource(source);
    for (const QString& place : {destination, target}) {
        std::error_code error;
        const fs::path realPlace = fs::weakly_canonical(ToFsPath(place), error);
        if (!error && IsSameOrInside(realPlace, realSource)) {
            throw Error(
                QStringLiteral("The destination folder \"%1\" lies inside the source \"%2\"")
                    .arg(destination, source));
        }
    }
}

fs::path Beside(const fs::path& target, const char* suffix) {
    return target.parent_path() / ('.' + target.filename().native() + suffix);
}

void MakeFolders(const fs::path& folder) {
    std::error_code error;
    if (!folder.empty()) {
        fs::create_directories(folder, error);
    }
    if (error) {
        throw Error(QStringLiteral("Cannot create the folder \"%1\": %2")
                        .arg(FromFsPath(folder), SystemErrorText(error.value())));
    }
}

bool Exists(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

[[noreturn]] void FailToPlace(const fs::path& target, int errnoValue) {
    throw Error(QStringLiteral("Cannot put the copy in place at \"%1\": %2")
                    .arg(FromFsPath(target), SystemErrorText(errnoValue)));
}

// Puts the finished copy at target. An earlier copy there is swapped out in one step
// where the file system can, else moved aside first, and deleted only afterwards.
void PutInPlace(const fs::path& partial, const fs::path& target, const fs::path& replaced) {
    if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return;
    }
    if (errno != EEXIST && errno != EINVAL) {
        FailToPlace(target, errno);
    }
    if (errno == EEXIST &&
        ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
        RemoveTree(partial);
        return;
    }
    // No exchange here: the earlier copy steps aside under its own hidden name.
    if (Exists(target) && std::rename(target.c_str(), replaced.c_str()) != 0) {
        FailToPlace(target, errno);
    }
    if (std::rename(partial.c_str(), target.c_str()) != 0) {
        const int failure = errno;
        std::rename(replaced.c_str(), target.c_str());
        FailToPlace(target, failure);
    }
    RemoveTree(replaced);
}

bool IsBackupDay(const std::string& text) {
    return text.size() == 6 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What runs of this source into this destination left on any day when they were cut short:
// copies being made (".partial") or pruned (".pruning") go; an earlier copy set aside by a
// same-day rerun (".replaced") goes back to its dated name when that is missing, as it is
// then that day's only copy, and goes otherwise. Other names are not touched. Returns why
// the target's own ".partial" is still there, if it is.
std::error_code ClearLeftovers(const fs::path& target) {
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    const std::string dated = target.filename().native();
    const std::string stem = '.' + dated.substr(0, dated.size() - 6);
    std::error_code ownPartial;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().native();
        const std::string suffix = name.substr(std::min(name.size(), stem.size() + 6));
        if (name.compare(0, stem.size(), stem) != 0 || !IsBackupDay(name.substr(stem.size(), 6)) ||
            (suffix != ".partial" && suffix != ".pruning" && suffix != ".replaced")) {
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

// The copy's data reaches the disk before its dated name does, so a power cut cannot leave
// a named copy with empty files. Flushes of the whole file system cost far less than one per
// file; they run while the copy goes on, so that the disk writes while the copier reads and
// the last flush, after the copy, finds little left to write.
class DiskFlush {
public:
    // Every tenth of a second, so that a copy of a few seconds is written as it is made. On
    // btrfs each flush commits a transaction, which holds up the copier's writes: there the
    // flushes run a third as often.
    static constexpr std::chrono::milliseconds kEarlyFlushPeriod{100};
    static constexpr std::chrono::milliseconds kEarlyCommitPeriod{300};

    // folder: one on the copy's file system, opened before the copy starts so that the last
    // flush reports every write error of the copy.
    explicit DiskFlush(const fs::path& folder)
        : fd_(::open(folder.empty() ? "." : folder.c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK)) {
        if (!fd_.valid()) {
            return;  // a folder that may not be read: the copy itself is flushed at the end
        }
        struct statfs system;
        if (::fstatfs(fd_.get(), &system) == 0 && system.f_type == BTRFS_SUPER_MAGIC) {
            period_ = kEarlyCommitPeriod;
        }
        try {
            flusher_ = std::thread([this] { flushEarly(); });
        } catch (const std::system_error&) {
            // no thread to spare: the last flush does it all
        }
    }
    ~DiskFlush() { stop(); }
    DiskFlush(const DiskFlush&) = delete;
    DiskFlush& operator=(const DiskFlush&) = delete;

    // The last flush, once the copy is complete; throws when the copy did not reach the disk.
    void finish(const fs::path& copy) {
        stop();
        FileDescriptor own;
        if (!fd_.valid()) {
            own = FileDescriptor(
                ::open(copy.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        }
        const int fd = fd_.valid() ? fd_.get() : own.get();
        int failure = fd < 0 ? errno : earlyFailure_;
        if (failure == 0 && ::syncfs(fd) != 0) {
            failure = errno;
        }
        if (failure != 0) {
            throw Error(QStringLiteral("Cannot write the copy \"%1\" to the disk: %2")
                            .arg(FromFsPath(copy), SystemErrorText(failure)));
        }
    }

private:
    void flushEarly() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, period_, [this] { return stopped_; })) {
            lock.unlock();
            // A write error is reported once per open file: kept for the last flush.
            const int failure = ::syncfs(fd_.get()) == 0 ? 0 : errno;
            lock.lock();
            if (failure != 0 && earlyFailure_ == 0) {
                earlyFailure_ = failure;
            }
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        if (flusher_.joinable()) {
            flusher_.join();
        }
    }

    FileDescriptor fd_;
    std::chrono::milliseconds period_ = kEarlyFlushPeriod;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    int earlyFailure_ = 0;
    std::thread flusher_;
};

// The copy is made under a hidden name beside the target, so that the target is either the
// complete new copy or whatever was there before. Returns what the destination could not
// hold.
std::vector<LeftOutEntry> CopyIntoPlace(const QString& source, const QString& target) {
    const fs::path targetPath = ToFsPath(target);
    const fs::path partial = Beside(targetPath, ".partial");
    const fs::path replaced = Beside(targetPath, ".replaced");
    MakeFolders(targetPath.parent_path());
    if (const std::error_code error = ClearLeftovers(targetPath)) {
        throw Error(QStringLiteral("Cannot remove the unfinished copy \"%1\" of an earlier run: %2")
                        .arg(FromFsPath(partial), SystemErrorText(error.value())));
    }
    DiskFlush flush(targetPath.parent_path());
    std::vector<LeftOutEntry> leftOut = CopyTree(ToFsPath(source), partial);
    try {
        flush.finish(partial);
    } catch (const Error&) {
        RemoveTree(partial);
        throw;
    }
    PutInPlace(partial, targetPath, replaced);
    return leftOut;
}

QString ReasonText(LeftOutReason reason) {
    switch (reason) {
        case LeftOutReason::SymbolicLink:
            return QStringLiteral("目的地址不支持符号链接");
        case LeftOutReason::Name:
            return QStringLiteral("目的地址不支持此文件名");
        case LeftOutReason::NameTooLong:
            return QStringLiteral("文件名或路径过长，目的地址无法容纳");
        case LeftOutReason::SameName:
            return QStringLiteral("与已复制的文件名仅大小写不同");
        case LeftOutReason::TooLarge:
            return QStringLiteral("文件过大，目的地址无法容纳");
    }
    return {};
}

// The length of the valid UTF-8 sequence at the start of bytes, 0 when there is none.
size_t Utf8Length(const unsigned char* bytes, size_t available) {
    const unsigned char lead = bytes[0];
    size_t length = 0;
    if (lead < 0x80) {
        length = 1;
    } else if (lead >= 0xC2 && lead < 0xE0) {
        length = 2;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        length = 3;
    } else if (lead >= 0xF0 && lead < 0xF5) {
        length = 4;
    }
    if (length == 0 || length > available) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    // Overlong forms, UTF-16 surrogates and code points beyond U+10FFFF.
    const unsigned char second = length > 1 ? bytes[1] : 0x80;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
        return 0;
    }
    return length;
}

// The path's bytes as text: each byte that is not valid UTF-8, or a control character,
// as "\xNN".
QString ShownPath(const std::string& path) {
    QString shown;
    const auto* bytes = reinterpret_cast<const unsigned char*>(path.data());
    for (size_t at = 0; at < path.size();) {
        const size_t length = Utf8Length(bytes + at, path.size() - at);
        if (length == 0 || bytes[at] < 0x20 || bytes[at] == 0x7F) {
            shown += QStringLiteral("\\x") +
                     QStringLiteral("%1").arg(bytes[at], 2, 16, QLatin1Char('0')).toUpper();
            ++at;
        } else {
            shown += QString::fromUtf8(path.data() + at, static_cast<qsizetype>(length));
            at += length;
        }
    }
    return shown;
}

}  // namespace

QString SourceName(const QString& sourcePath) {
    const qsizetype slash = sourcePath.lastIndexOf(u'/');
    return slash < 0 ? sourcePath : sourcePath.mid(slash);
}

QString LeftOutNotice(int count) {
    return QStringLiteral("备份已完成，但有 %1 项未能复制到目的地址，详见操作日志。").arg(count);
}

QString LeftOutLine(const LeftOutEntry& entry) {
    return QStringLiteral("    未复制：") + ShownPath(entry.path) + u'（' +
           ReasonText(entry.reason) + u'）';
}

BackupResult RunBackup(MainFormFields& fields, Catalogue& catalogue) {
    const QString source = fields.Edit1Text();
    if (source.isEmpty()) {
        Prompts::instance().information(QStringLiteral("请输入要备份的文件地址！"));
        return {};
    }
    const QString destination = fields.Edit2Text();
    if (destination.isEmpty()) {
        Prompts::instance().information(QStringLiteral("请输入备份文件的目的地址！"));
        return {};
    }
    const QString backupDay = DateStamp(Clock::currentDate());
    RefuseTargetInsideSource(source, destination,
                             destination + SourceName(source) + u'_' + backupDay);
    catalogue.CheckWritable();
    fields.SetPanelText(1, kBackingUp);
    fields.SetEdit3Text(SourceName(source));
    const QString target = fields.Edit2Text() + fields.Edit3Text() + u'_' + backupDay;
    const std::vector<LeftOutEntry> leftOut = CopyIntoPlace(source, target);
    QStringList leftOutLines;
    for (const LeftOutEntry& entry : leftOut) {
        leftOutLines << LeftOutLine(entry);
    }
    AppendLogLine(source, target, leftOutLines);
    fields.SetPanelText(1, kBackedUpStatus);
    catalogue.RecordBackup(target, Clock::currentDate());
    return {static_cast<int>(leftOut.size())};
}
