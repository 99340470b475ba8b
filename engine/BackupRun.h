#pragma once

class Catalogue;
class MainFormFields;

// Button10Click: one dated copy of the source into the destination, its log line and its
// catalogue row. Throws Error when the run cannot be completed.
void RunBackup(MainFormFields& fields, Catalogue& catalogue);
