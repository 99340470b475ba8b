#pragma once

#include <QString>

// The operation log ./Log/FileBackupLog.log of the current folder: one line per backup,
// GB18030, every line ending in CR LF. Each operation throws Error on failure.
void AppendLogLine(const QString& sourcePath, const QString& targetPath);
void EnsureLogFile();
QString ReadLog();
void ClearLog();
