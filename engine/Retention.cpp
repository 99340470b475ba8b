#include "engine/Retention.h"

#include "engine/Catalogue.h"
#include "platform/MainFormFields.h"

void PruneBackups(MainFormFields&, Catalogue&) {}
