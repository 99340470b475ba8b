#pragma once

#include <QString>

#include <string>

#include "platform/TreeCopy.h"

class Catalogue;
class MainFormFields;

struct BackupResult {
    // Entries of the source that the destination could not hold: each has its own line in
    // the log, after the run's line.
    int leftOut = 0;
};

// Panel 1 once the copy is in place and logged.
inline const QString kBackedUpStatus = QStringLiteral("文件备份完毕！");

// Button10Click: one dated copy of the source into the destination, its log line and its
// catalogue row. Throws Error when the run cannot be completed; a failed copy leaves no
// trace: no partial copy, no log line, no row, and an earlier copy of the day untouched.
BackupResult RunBackup(MainFormFields& fields, Catalogue& catalogue);

// The information box after a manual run that left count entries out of its copy.
QString LeftOutNotice(int count);

// The log line of one entry left out: four blanks, "未复制：", the path relative to the
// source ("\xNN" for each byte that is no text, or a control character), the reason in
// full-width brackets.
QString LeftOutLine(const LeftOutEntry& entry);

// The tail of the source path from its last "/", the "/" included; the whole path when it
// has none.
QString SourceName(const QString& sourcePath);
