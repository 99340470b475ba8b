#pragma once

#include <QString>

class Catalogue;
class MainFormFields;

// Button10Click: one dated copy of the source into the destination, its log line and its
// catalogue row. Throws Error when the run cannot be completed; a failed copy leaves no
// trace: no partial copy, no log line, no row, and an earlier copy of the day untouched.
void RunBackup(MainFormFields& fields, Catalogue& catalogue);

// The tail of the source path from its last "/", the "/" included; the whole path when it
// has none.
QString SourceName(const QString& sourcePath);
