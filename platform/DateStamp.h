#pragma once

#include <QDate>
#include <QString>

// Every date stamp of the program (the backup day of a copy's name, the date of a log
// line) is two-digit year, month and day without separators: 7 December 2026 is 261207.
inline constexpr char kDateStampFormat[] = "yyMMdd";

inline QString DateStamp(const QDate& date) {
    return date.toString(QLatin1String(kDateStampFormat));
}
