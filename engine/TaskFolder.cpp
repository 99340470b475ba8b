#include "engine/TaskFolder.h"

#include "engine/Catalogue.h"
#include "platform/WorkingFiles.h"

#include <QDir>

bool PrepareTaskFolder() {
    QDir here;
    here.mkpath(WorkingFiles::kLogFolder);
    here.mkpath(WorkingFiles::kScratchFolder);
    Catalogue::ClearLeftScratch();
    return !Catalogue::Present() && Catalogue::Create();
}
