#include "platform/Error.h"

#include <locale.h>
#include <clocale>
#include <cstring>

// The system's error texts are shown in English whatever the desktop's language, as the
// rest of the program's error texts are.
QString SystemErrorText(int errnoValue) {
    static const locale_t english = newlocale(LC_ALL_MASK, "C", locale_t(0));
    if (english == locale_t(0)) {
        char buffer[256] = {};
        return QString::fromLocal8Bit(strerror_r(errnoValue, buffer, sizeof buffer));
    }
    return QString::fromLatin1(strerror_l(errnoValue, english));
}
