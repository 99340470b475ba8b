#pragma once

#include <QString>

class Catalogue;
class MainFormFields;

// Button11Click: deletes the copies beyond the newest N of the catalogue, N being the
// backup count field, and their rows. Nothing happens when the count's value is below 1;
// a count that is not a whole number is refused before anything is deleted.
void PruneBackups(MainFormFields& fields, Catalogue& catalogue);

// Whether pruning may delete this catalogued path on the disk: an absolute path with no
// ".." in it, lying strictly inside a folder, whose last component ends in "_" and six
// digits, and that holds neither the home folder nor the current folder.
bool MayDeleteOnDisk(const QString& path);
