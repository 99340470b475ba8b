#pragma once

#include "platform/TreeCopy.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QTime>

#include <array>
#include <optional>
#include <vector>

// The task's settings as a run takes them: read from the window's controls (or from
// config.ini) on the thread that starts the run, and kept for the whole run whatever the
// controls do meanwhile.
struct TaskSettings {
    QString source;       // Edit1
    QString destination;  // Edit2
    QString countText;    // DBNumberEditEh1 as shown
    std::optional<double> countValue;
    std::array<bool, 7> days{};  // Monday first
    QTime time;

    // The tail of the source from its last "/", the "/" included; the whole source when it
    // has none (what the window shows in Edit3).
    QString sourceName() const;
    // Whether a planned run prunes after its backup: the count holds more than blanks.
    bool prunes() const { return !countText.trimmed().isEmpty(); }
};

// What one run did, for the window to show and for the command line to print.
struct RunReport {
    enum class Step {
        None,
        Lock,       // the task folder's lock could not be taken
        Check,      // a check before the copy refused it (the message box kind)
        Copy,       // the copy failed, or one of the checks that throw before it
        Log,        // the copy is in place, its log line could not be written
        Catalogue,  // the copy is in place and logged, its row could not be written
        Pruning,    // the backup is complete, the pruning failed
    };

    QString refusal;                 // the information box of a check that refused the run
    std::optional<QString> failure;  // the error that ended the run, without the full stop
    Step failedStep = Step::None;
    bool stopped = false;  // a stop was asked for and the run ended early

    // The backup.
    bool copyStarted = false;  // the checks passed and the copy began
    QString sourceName;        // Edit3
    QString target;
    bool placed = false;      // the copy is in place under its dated name
    bool logged = false;      // its log line is written
    bool catalogued = false;  // its row is written
    std::vector<LeftOutEntry> leftOut;
    QStringList roomMade;  // copies deleted to make room for this one

    // The pruning, when the run made one.
    bool pruningRan = false;
    QStringList pruned;      // the copies deleted from the disk
    QStringList notDeleted;  // the log lines of copies left where they are (NotDeletedLine)

    bool backupComplete() const { return catalogued; }
};
