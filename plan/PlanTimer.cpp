#include "plan/PlanTimer.h"

#include "platform/Clock.h"
#include "platform/MainFormFields.h"
#include "platform/Weekdays.h"

QString CurrentDayName() {
    return WeekdayNames()[WeekdayIndex(Clock::currentDate().dayOfWeek())];
}

void PlanSchedule::Tick(MainFormFields&, const Actions&) {}
