#pragma once

#include <QString>

// The runtime's input/output error text for a failed open, create or close of a file, by the
// code that error would carry on the desktop the log format comes from. `folderMissing`
// tells a missing file apart from a missing folder on its path (both ENOENT here).
QString IoErrorText(int errnoValue, bool folderMissing);
