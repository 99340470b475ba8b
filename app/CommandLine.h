#pragma once

#include <QString>
#include <QStringList>

inline const QString kProgramName = QStringLiteral("tessivar");

// What the arguments ask for. With none, the window opens as it always has.
struct CommandLine {
    enum class Action { Window, StartPlan, BackupNow, Verify, Help, Version, Refused };
    Action action = Action::Window;
    QString taskFolder;  // --task DIR; empty: the current folder is the task
    QString verifyCopy;  // --verify=PATH, made absolute; empty: every catalogued copy
    QString refusal;     // why the arguments were refused
};

// Reads the arguments, the program's own name first.
CommandLine ParseCommandLine(QStringList arguments);

// The text of --help, and of --version: "tessivar" and the version.
QString HelpText();
QString VersionText();
