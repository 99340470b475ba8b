#include "log/LogFile.h"

#include "log/IoErrorText.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/DateStamp.h"
#include "platform/Error.h"
#include "platform/FileDescriptor.h"
#include "platform/Gb18030.h"
#include "platform/TimeFormat.h"
#include "platform/WorkingFiles.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// A folder of the log's name counts as no log at all.
bool LogExists() {
    struct stat status {};
    return ::stat(LogFsPath().constData(), &status) == 0 && !S_ISDIR(status.st_mode);
}

[[noreturn]] void ThrowFileStepError(AtomicFile::Step step, int errnoValue) {
    switch (step) {
        case AtomicFile::Step::Read:
            ThrowCannotOpen(errnoValue);
        case AtomicFile::Step::Write:
            ThrowStreamWriteError();
        case AtomicFile::Step::Create:
        case AtomicFile::Step::Rename:
            break;
    }
    ThrowCannotCreate(errnoValue);
}

void ReplaceLog(const QByteArray& content) {
    AtomicFile::Replace(WorkingFiles::kLog, content, {&ThrowFileStepError, writeFunction});
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

namespace {

void AppendLines(const QByteArray& line, const QStringList& followingLines) {
    QByteArray content;
    if (LogExists()) {
        content =
            UniformLogLines(AtomicFile::ReadExisting(WorkingFiles::kLog, &ThrowFileStepError));
    }
    content.append(line);
    for (const QString& following : followingLines) {
        content.append(ToGb18030(following)).append("\r\n");
    }
    ReplaceLog(content);
}

}  // namespace

void AppendLogLine(const QString& sourcePath, const QString& targetPath,
                   const QStringList& followingLines) {
    AppendLines(ComposeLogLine(sourcePath, targetPath), followingLines);
}

void AppendFollowingLines(const QStringList& lines) {
    AppendLines({}, lines);
}

void EnsureLogFile() {
    FileDescriptor file(::open(LogFsPath().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!file.valid() || !file.close()) {
        ThrowIoError(errno);
    }
}

QByteArray ReadLogBytes() {
    if (!LogExists()) {
        ThrowCannotOpen(ENOENT);
    }
    return AtomicFile::ReadExisting(WorkingFiles::kLog, &ThrowFileStepError);
}

QString ReadLog() {
    return FromGb18030(ReadLogBytes());
}

void ClearLog() {
    FileDescriptor file(
        ::open(LogFsPath().constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file.valid() || !file.close()) {
        ThrowIoError(errno);
    }
}

void SetLogWriteFunction(LogWriteFunction write) {
    writeFunction = write ? write : &::write;
}
