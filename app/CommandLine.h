#pragma once

#include <QString>
#include <QStringList>

// The program's exit codes on the command line.
enum ExitCode : int {
    kExitSucceeded = 0,
    kExitRunFailed = 1,
    kExitBadArguments = 2,
};

// What the arguments ask for. With none, the window opens as it always has.
struct CommandLine {
    enum class Action { Window, StartPlan, BackupNow, Help, Version, Refused };
    Action action = Action::Window;
    QString taskFolder;  // --task DIR; empty: the current folder is the task
    QString refusal;     // why the arguments were refused
};

// Reads the arguments, the program's own name first.
CommandLine ParseCommandLine(const QStringList& arguments);

// The text of --help, and of --version: "tessivar" and the version.
QString HelpText();
QString VersionText();

// Makes the task folder the current folder. On failure the message goes to stderr,
// nothing is made, and the result is false.
bool EnterTaskFolder(const QString& folder);

// One line on stderr (or stdout), in the local encoding.
void PrintError(const QString& text);
void PrintOutput(const QString& text);

// The windowless actions: help, version, refused arguments and --backup-now. Makes the
// application object itself, one without any window system, and returns the exit code.
int RunWithoutWindow(int argc, char** argv, const CommandLine& line);
