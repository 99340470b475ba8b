#pragma once

// Readies the current folder as a backup task: makes the Log and TempBackupFile folders
// when missing (a failure is left to the later writes into them) and, when there is no
// catalogue, makes one. True when the catalogue was made now; throws Error when the
// catalogue file was made but its table could not be.
bool PrepareTaskFolder();
