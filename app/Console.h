#pragma once

#include "engine/RunReport.h"
#include "platform/RunControl.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

struct VerifyReport;

// What the program prints on a terminal, and its exit codes.

// The exit codes of the command line; --backup-now uses all four, --verify the first three.
enum ExitCode : int {
    kExitSucceeded = 0,     // the copy was made, logged and catalogued, pruning (when due) done;
                            // every copy checked is whole
    kExitRunFailed = 1,     // no new copy: refused, failed or stopped; a copy is damaged,
                            // missing or not checked, or the check was stopped
    kExitBadArguments = 2,  // bad arguments, or a task folder that cannot be used
    kExitPartlyDone = 3,    // the copy was made, a later step failed or was stopped
};

// One line on stderr (or stdout), in the local encoding.
void PrintError(const QString& text);
void PrintOutput(const QString& text);

// Makes the task folder the current folder. On failure the message goes to stderr,
// nothing is made, and the result is false.
bool EnterTaskFolder(const QString& folder);

// The exit code of a run, and the lines it leaves on stderr: what its boxes would show, and
// for a copy made but not finished with, which step failed or was stopped.
int ExitCodeOf(const RunReport& report);
int ExitCodeOf(const VerifyReport& report);
QStringList ReportLines(const RunReport& report);

// The progress line of a run on a terminal: percent, bytes, files, rate and time left,
// measured from `seconds` since the copy began.
QString ProgressLine(const RunControl::Progress& progress, double seconds);

// The progress line on a terminal, redrawn in place four times a second from progress()
// once the clock has started and the totals are known; nothing at all elsewhere.
class ProgressDisplay {
public:
    explicit ProgressDisplay(std::function<RunControl::Progress()> progress);
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // The rate and the time left are measured from now.
    void startClock();
    // Stops, and leaves the terminal's line empty for what follows.
    void finish();

private:
    void draw();

    std::function<RunControl::Progress()> progress_;
    bool drawn_ = false;
    QTimer timer_;
    QElapsedTimer clock_;
};
