#pragma once

#include "platform/RunControl.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <utility>
#include <vector>

class Catalogue;

// What the check of one copy against its checksum manifest ("<copy>.sha256") found.
struct CopyCheck {
    enum class Outcome {
        Whole,        // every file listed is there and matches, and nothing else is
        Damaged,      // something below is wrong (see the lists)
        Missing,      // the copy is gone, its drive being there
        DriveAbsent,  // its drive is not mounted and the copy is not there: not checked
        NoManifest,   // made before copies had a manifest: nothing to check it against
    };

    QString copy;  // as catalogued, or as given
    Outcome outcome = Outcome::Whole;
    // Paths relative to the copy's folder, as the manifest gives them (the name's bytes).
    std::vector<std::string> damaged;   // other contents, or no longer a regular file
    std::vector<std::string> missing;   // listed, not there
    std::vector<std::string> unlisted;  // a regular file of the copy the manifest lacks
    std::vector<std::pair<std::string, int>> unreadable;  // and the errno
    std::vector<int> badLines;  // manifest lines (from 1) that are no such line, or whose
                                // path leaves the copy
    int manifestError = 0;      // errno: the manifest is there but cannot be read

    QString manifest() const { return copy + QStringLiteral(".sha256"); }
};

struct VerifyReport {
    std::vector<CopyCheck> copies;
    bool single = false;             // one copy named: without a manifest it is not checked
    bool stopped = false;            // a stop was asked for; what was found is incomplete
    std::optional<QString> failure;  // why nothing was checked (no catalogue, the lock, the
                                     // catalogue failed), full stop included

    int count(CopyCheck::Outcome outcome) const;
    // Every copy checked is whole, and none was left unchecked.
    bool allWhole() const;
};

// Checks the task's copies against their manifests: every copy the catalogue records, or
// only `copy` when one is given (its manifest beside it). Holds the task folder's lock, so
// that no backup or pruning of the task changes a copy meanwhile; changes, deletes or
// repairs nothing. Each listed file is read back from the disk (see HashFromDisk) on all
// processors; a copy's folder is walked, with no link followed, for regular files its
// manifest does not list. The control gets the total and the progress of the hashing.
VerifyReport VerifyCopies(Catalogue& catalogue, RunControl& control, const QString& copy = {});

// The lines a check leaves on stderr: one per finding, paths as the log shows them, then the
// summary.
QStringList VerifyLines(const VerifyReport& report);
