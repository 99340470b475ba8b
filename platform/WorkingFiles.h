#pragma once

#include <QFile>
#include <QString>
#include <algorithm>
#include <filesystem>

// The task's working files, all relative to the current folder at the moment of use, so
// that every folder holding its own config.ini is a task of its own.
namespace WorkingFiles {
inline const QString kConfig = QStringLiteral("./config.ini");
inline const QString kCatalogue = QStringLiteral("./wenjianming.mdb");
inline const QString kLogFolder = QStringLiteral("./Log");
inline const QString kLog = QStringLiteral("./Log/FileBackupLog.log");
inline const QString kScratchFolder = QStringLiteral("./TempBackupFile");
}  // namespace WorkingFiles

// A path as the file system sees it: the bytes of the local 8-bit encoding.
inline std::filesystem::path ToFsPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

inline QString FromFsPath(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

// True when inner is outer itself or lies somewhere below it, component by component.
inline bool IsSameOrInside(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first ==
           outer.end();
}

// "." or "..", the two names every folder lists beside its entries.
inline bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}
