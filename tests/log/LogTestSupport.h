#pragma once

#include "platform/TimeFormat.h"
#include "platform/WorkingFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

// The regional format installed for a test's lifetime; the previous one comes back after.
class ScopedTimeFormat {
public:
    explicit ScopedTimeFormat(const TimeFormat& format) : previous_(TimeFormat::current()) {
        TimeFormat::setCurrent(format);
    }
    ~ScopedTimeFormat() { TimeFormat::setCurrent(previous_); }
    ScopedTimeFormat(const ScopedTimeFormat&) = delete;
    ScopedTimeFormat& operator=(const ScopedTimeFormat&) = delete;

private:
    TimeFormat previous_;
};

inline TimeFormat TwentyFourHourFormat() {
    return TimeFormat{};
}

inline TimeFormat TwelveHourFormat(bool leadingZero = false) {
    TimeFormat format;
    format.twelveHour = true;
    format.leadingZero = leadingZero;
    format.designatorAfter = true;
    return format;
}

inline bool MakeLogFolder() {
    return QDir().mkdir(WorkingFiles::kLogFolder);
}

// The log's full path as error texts name it.
inline QString FullLogPath() {
    return QFileInfo(QDir::currentPath()).canonicalFilePath() +
           QStringLiteral("/Log/FileBackupLog.log");
}

// Everything in the Log folder, hidden files included.
inline QStringList LogFolderEntries() {
    return QDir(WorkingFiles::kLogFolder)
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}
