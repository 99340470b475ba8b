#pragma once

#include "platform/MainFormFields.h"

#include <QString>
#include <array>

// The seven weekday boxes, always in this order, Monday first.
inline constexpr int kWeekdayCount = 7;

// Captions of the boxes; Tuesday's and Saturday's carry a trailing blank, and the day
// list is built from these captions.
inline const std::array<QString, kWeekdayCount>& WeekdayCaptions() {
    static const std::array<QString, kWeekdayCount> captions = {
        QStringLiteral("星期一"), QStringLiteral("星期二 "), QStringLiteral("星期三"),
        QStringLiteral("星期四"), QStringLiteral("星期五"),  QStringLiteral("星期六 "),
        QStringLiteral("星期日")};
    return captions;
}

// The names searched for in a day list: the captions without blanks.
inline const std::array<QString, kWeekdayCount>& WeekdayNames() {
    static const std::array<QString, kWeekdayCount> names = {
        QStringLiteral("星期一"), QStringLiteral("星期二"), QStringLiteral("星期三"),
        QStringLiteral("星期四"), QStringLiteral("星期五"), QStringLiteral("星期六"),
        QStringLiteral("星期日")};
    return names;
}

// Qt's day of week (1 = Monday ... 7 = Sunday) as a box index.
inline int WeekdayIndex(int qtDayOfWeek) {
    return qtDayOfWeek - 1;
}

// The day list: the caption of each ticked box followed by ";", Monday to Sunday.
inline QString DayListOf(const MainFormFields& fields) {
    QString list;
    for (int day = 0; day < kWeekdayCount; ++day) {
        if (fields.DayTicked(day)) {
            list += WeekdayCaptions()[day] + u';';
        }
    }
    return list;
}
