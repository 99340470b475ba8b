#include "log/LogFile.h"

#include "log/IoErrorText.h"
#include "platform/Clock.h"
#include "platform/DateStamp.h"
#include "platform/Error.h"
#include "platform/Gb18030.h"
#include "platform/TimeFormat.h"
#include "platform/WorkingFiles.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

LogWriteFunction writeFunction = &::write;

// The path as the error texts show it.
QString ShownLogPath() {
    return QDir::cleanPath(QDir::current().absoluteFilePath(WorkingFiles::kLog));
}

QByteArray LogFsPath() {
    return QFile::encodeName(WorkingFiles::kLog);
}
QByteArray LogFolderFsPath() {
    return QFile::encodeName(WorkingFiles::kLogFolder);
}

[[noreturn]] void ThrowFileError(const QString& pattern, int errnoValue) {
    throw Error(pattern.arg(ShownLogPath(), SystemErrorText(errnoValue)));
}

[[noreturn]] void ThrowCannotOpen(int errnoValue) {
    ThrowFileError(QStringLiteral("Cannot open file \"%1\". %2"), errnoValue);
}

[[noreturn]] void ThrowCannotCreate(int errnoValue) {
    ThrowFileError(QStringLiteral("Cannot create file \"%1\". %2"), errnoValue);
}

[[noreturn]] void ThrowStreamWriteError() {
    throw Error(QStringLiteral("Stream write error"));
}

bool LogFolderMissing() {
    struct stat status {};
    return ::stat(LogFolderFsPath().constData(), &status) != 0 || !S_ISDIR(status.st_mode);
}

[[noreturn]] void ThrowIoError(int errnoValue) {
    throw Error(IoErrorText(errnoValue, LogFolderMissing()));
}

// The permission bits of the log when it exists as a file; a folder of that name counts
// as no log at all.
std::optional<mode_t> ExistingLogMode() {
    struct stat status {};
    if (::stat(LogFsPath().constData(), &status) != 0 || S_ISDIR(status.st_mode)) {
        return std::nullopt;
    }
    return status.st_mode & 07777;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }
    // Closes now; false (errno set) when the close reports an error.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

QByteArray ReadAll(const Descriptor& file) {
    // Room for the whole file and a new line after it, so an append does not copy it again.
    constexpr qsizetype kSlack = 4096;
    struct stat status {};
    QByteArray content;
    content.reserve(::fstat(file.get(), &status) == 0 ? status.st_size + kSlack : kSlack);
    for (;;) {
        if (content.capacity() - content.size() < kSlack) {
            content.reserve(content.capacity() * 2);
        }
        const qsizetype size = content.size();
        content.resize(content.capacity());
        const ssize_t got = ::read(file.get(), content.data() + size, content.size() - size);
        content.resize(size + std::max<ssize_t>(got, 0));
        if (got == 0) {
            return content;
        }
        if (got < 0 && errno != EINTR) {
            ThrowCannotOpen(errno);
        }
    }
}

void WriteAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    size_t left = static_cast<size_t>(bytes.size());
    while (left > 0) {
        const ssize_t written = writeFunction(fd, data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            ThrowStreamWriteError();
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}

// Opens a file of a fresh name in the Log folder; -1 with errno set when none can be made.
int CreateTemporary(const QByteArray& folder, QByteArray& path) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        path = folder + "/.FileBackupLog.log." +
               QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".tmp";
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// A temporary file in the given folder; removed again unless it was renamed into place.
class TemporaryLog {
public:
    explicit TemporaryLog(const QByteArray& folder) : fd_(CreateTemporary(folder, path_)) {
        if (!fd_.valid()) {
            ThrowCannotCreate(errno);
        }
    }
    ~TemporaryLog() {
        if (!renamed_) {
            ::unlink(path_.constData());
        }
    }
    TemporaryLog(const TemporaryLog&) = delete;
    TemporaryLog& operator=(const TemporaryLog&) = delete;

    void setMode(mode_t mode) {
        if (::fchmod(fd_.get(), mode) != 0) {
            ThrowCannotCreate(errno);
        }
    }

    void write(const QByteArray& bytes) {
        WriteAll(fd_.get(), bytes);
        if (::fsync(fd_.get()) != 0 || !fd_.close()) {
            ThrowStreamWriteError();
        }
    }

    void renameOver(const QByteArray& target) {
        if (::rename(path_.constData(), target.constData()) != 0) {
            ThrowCannotCreate(errno);
        }
        renamed_ = true;
    }

private:
    QByteArray path_;
    Descriptor fd_;
    bool renamed_ = false;
};

// Where the new content goes: the log itself, or the file it links to, so that a log kept
// elsewhere through a symbolic link stays linked.
QByteArray ReplacementTarget() {
    struct stat status {};
    if (::lstat(LogFsPath().constData(), &status) == 0 && S_ISLNK(status.st_mode)) {
        if (char* resolved = ::realpath(LogFsPath().constData(), nullptr)) {
            const QByteArray target(resolved);
            std::free(resolved);
            return target;
        }
    }
    return LogFsPath();
}

QByteArray FolderOf(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : path.left(slash);
}

// The rename is on disk only once the folder's entry is; a failure here changes nothing
// about the content already in place, so it is not reported.
void SyncFolder(const QByteArray& folder) {
    Descriptor handle(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (handle.valid()) {
        ::fsync(handle.get());
    }
}

void ReplaceLog(const QByteArray& content, std::optional<mode_t> mode) {
    const QByteArray target = ReplacementTarget();
    const QByteArray folder = FolderOf(target);
    TemporaryLog temporary(folder);
    if (mode) {
        temporary.setMode(*mode);
    }
    temporary.write(content);
    temporary.renameOver(target);
    SyncFolder(folder);
}

}  // namespace

QByteArray ComposeLogLine(const QString& sourcePath, const QString& targetPath) {
    const QString date = DateStamp(Clock::currentDate());
    const QString time = TimeFormat::current().longTime(Clock::currentTime());
    return ToGb18030(date + u' ' + time + QStringLiteral("   ") + sourcePath +
                     QStringLiteral("   成功备份至   ") + targetPath) +
           "\r\n";
}

namespace {

// True when every line already ends in CR LF and there is no NUL: the common case, which
// then needs no copy.
bool AlreadyUniform(const QByteArray& content) {
    if (content.isEmpty()) {
        return true;
    }
    if (!content.endsWith("\r\n") || qstrlen(content.constData()) != size_t(content.size())) {
        return false;
    }
    // Every LF after a CR, and as many CRs as LFs: then every CR is before an LF too.
    const char* const begin = content.constData();
    const char* const end = begin + content.size();
    qsizetype lineFeeds = 0;
    for (const char* at = begin; (at = static_cast<const char*>(std::memchr(at, '\n', end - at)));
         ++at, ++lineFeeds) {
        if (at == begin || at[-1] != '\r') {
            return false;
        }
    }
    return content.count('\r') == lineFeeds;
}

}  // namespace

QByteArray UniformLogLines(const QByteArray& content) {
    if (AlreadyUniform(content)) {
        return content;
    }
    // constData() is NUL-terminated, so strlen and strpbrk stop at the first NUL in the
    // content or at its end, whichever comes first.
    const char* const begin = content.constData();
    const char* const end = begin + std::strlen(begin);
    QByteArray lines;
    lines.reserve((end - begin) + (end - begin) / 32 + 4096);
    const char* lineStart = begin;
    while (const char* lineBreak = std::strpbrk(lineStart, "\r\n")) {
        lines.append(lineStart, lineBreak - lineStart).append("\r\n", 2);
        lineStart = lineBreak + (lineBreak[0] == '\r' && lineBreak[1] == '\n' ? 2 : 1);
    }
    if (lineStart < end) {
        lines.append(lineStart, end - lineStart).append("\r\n", 2);
    }
    return lines;
}

void AppendLogLine(const QString& sourcePath, const QString& targetPath) {
    const QByteArray line = ComposeLogLine(sourcePath, targetPath);
    const std::optional<mode_t> mode = ExistingLogMode();
    QByteArray content;
    if (mode) {
        content = UniformLogLines(ReadLogBytes());
    }
    content.append(line);
    ReplaceLog(content, mode);
}

void EnsureLogFile() {
    Descriptor file(::open(LogFsPath().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!file.valid() || !file.close()) {
        ThrowIoError(errno);
    }
}

QByteArray ReadLogBytes() {
    const Descriptor file(::open(LogFsPath().constData(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        ThrowCannotOpen(errno);
    }
    return ReadAll(file);
}

QString ReadLog() {
    return FromGb18030(ReadLogBytes());
}

void ClearLog() {
    Descriptor file(::open(LogFsPath().constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file.valid() || !file.close()) {
        ThrowIoError(errno);
    }
}

void SetLogWriteFunction(LogWriteFunction write) {
    writeFunction = write ? write : &::write;
}
