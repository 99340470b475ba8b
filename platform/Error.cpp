#include "platform/Error.h"

#include <cstring>

QString SystemErrorText(int errnoValue) {
    // strerror_r (GNU flavour) may return a static string instead of filling the buffer.
    char buffer[256] = {};
    const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}
