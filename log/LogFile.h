#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "platform/AtomicFile.h"

#include <sys/types.h>

// The operation log ./Log/FileBackupLog.log of the current folder: one line per backup,
// GB18030, every line ending in CR LF. Each operation throws Error on failure.

// Adds the entry line for a backup of sourcePath to targetPath, and after it the lines
// given (each then ended by CR LF), all in one step. The whole log is rewritten (line
// breaks made CR LF) into a temporary file beside it that then replaces it, so a failure
// leaves the old log as it was.
void AppendLogLine(const QString& sourcePath, const QString& targetPath,
                   const QStringList& followingLines = {});
// Adds the lines given (each ended by CR LF) after the last line of the log, in one step as
// AppendLogLine does: what a pruning after the run's line has to say.
void AppendFollowingLines(const QStringList& lines);
// Creates an empty log when there is none; an existing one keeps its bytes.
void EnsureLogFile();
// The whole log as text; bytes that are not GB18030 show as U+FFFD.
QString ReadLog();
// The whole log as it lies on disk.
QByteArray ReadLogBytes();
// Leaves the log with 0 bytes.
void ClearLog();

// The entry line for a backup made now, CR LF included: date "yymmdd", a blank, the long
// regional time, three blanks, the source, "   成功备份至   ", the target. The date is read
// from the clock before the time.
QByteArray ComposeLogLine(const QString& sourcePath, const QString& targetPath);

// The lines of existing log bytes, each ended by CR LF: a line ends at CR LF, a lone CR or a
// lone LF; everything from the first NUL on is dropped; a last line without a break gets
// one. The bytes of the lines themselves are kept exactly.
QByteArray UniformLogLines(const QByteArray& content);

// Tests stand in for the write call of the rewrite, to see a disk fill up midway.
// nullptr puts back ::write.
using LogWriteFunction = AtomicFile::WriteFunction;
void SetLogWriteFunction(LogWriteFunction write);
