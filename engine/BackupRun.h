#pragma once

#include <QString>

#include <string>

#include "engine/RunReport.h"
#include "platform/RunControl.h"
#include "platform/TreeCopy.h"

class Catalogue;

// Panel 1 while the copy is made, and once it is in place and logged.
inline const QString kBackingUpStatus = QStringLiteral("文件备份中……");
inline const QString kBackedUpStatus = QStringLiteral("文件备份完毕！");

// Button10Click's work: one dated copy of the source into the destination, its log line and
// its catalogue row, told in the report. An empty source or destination is refused with the
// message to show; a failure ends the run at its step. A failed copy leaves no trace: no
// partial copy, no log line, no row, and an earlier copy of the day untouched. A stop asked
// for before the copy is in place abandons it; once it is in place, its log line and row
// are written first.
//
// Before the copy, the source is measured and its copy must fit on the destination, with a
// margin; when it does not, the run is refused before anything is deleted or written, unless
// it may make room (a planned run with a count): then just as many of the oldest copies as
// make it fit go first (see MakeRoom).
void RunBackup(const TaskSettings& settings, Catalogue& catalogue, RunControl& control,
               RunReport& report, bool mayMakeRoom = false);

// The information box after a manual run that left count entries out of its copy.
QString LeftOutNotice(int count);

// The log line of one entry left out: four blanks, "未复制：", the path relative to the
// source ("\xNN" for each byte that is no text, or a control character), the reason in
// full-width brackets.
QString LeftOutLine(const LeftOutEntry& entry);

// A size as the program tells it: MiB with one decimal, from 1 GiB on GiB with two.
QString SizeText(double bytes);

// The log line of a copy removed to make room for the run's own: four blanks,
// "为腾出空间删除：", its path.
QString RoomMadeLine(const QString& copy);

// The tail of the source path from its last "/", the "/" included; the whole path when it
// has none.
QString SourceName(const QString& sourcePath);
