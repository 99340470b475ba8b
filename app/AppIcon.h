#pragma once

#include <QIcon>

// The program's icon, used by its windows, the tray and the launcher.
QIcon AppIcon();
