#include "log/IoErrorText.h"

#include <cerrno>

QString IoErrorText(int errnoValue, bool folderMissing) {
    switch (errnoValue) {
        case ENOENT:
            return folderMissing ? QStringLiteral("Invalid filename")
                                 : QStringLiteral("File not found");
        case ENOTDIR:
        case ENAMETOOLONG:
            return QStringLiteral("Invalid filename");
        case EMFILE:
        case ENFILE:
            return QStringLiteral("Too many open files");
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return QStringLiteral("File access denied");
        case ENOSPC:
        case EDQUOT:
            return QStringLiteral("Disk full");
        default:
            return QStringLiteral("I/O error %1").arg(errnoValue);
    }
}
