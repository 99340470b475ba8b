#pragma once

class Catalogue;
class MainFormFields;

// Button11Click: deletes the copies beyond the newest N of the catalogue, N being the
// backup count field.
void PruneBackups(MainFormFields& fields, Catalogue& catalogue);
