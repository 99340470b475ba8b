#include "app/AppIcon.h"

QIcon AppIcon() {
    // The icons live in a static library; make sure its resources are linked in.
    Q_INIT_RESOURCE(icons);
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/tessivar-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}
