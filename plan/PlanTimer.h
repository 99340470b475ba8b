#pragma once

#include <QDate>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>

#include "plan/PlannedRun.h"

class MainFormFields;

// The name of a date's weekday ("星期一" ... "星期日"); empty for an invalid date.
QString WeekdayNameOf(const QDate& date);

// The name of today's weekday on the local clock ("星期一" ... "星期日").
QString CurrentDayName();

// The work of one FileTimer2 tick.
//
// The run starts when the clock, plus a lead of 10 s, reaches the picker's hour and minute
// with second 0, on a ticked weekday of the clock itself. Ticks are compared as wall-clock
// readings, so the regional time format plays no part. A tick that comes up to 5 s late
// still starts the run, once; a clock set back before the scheduled moment starts it again
// when the moment recurs.
class PlanSchedule {
public:
    // FileTimer2Timer. At the moment it makes the planned run (RunPlannedBackup) and
    // returns its outcome, for the caller to tell once the tick is over; an empty one when
    // nothing ran. After a failed run the buttons stay disabled until the next tick on a
    // ticked day.
    RunOutcome Tick(MainFormFields& fields, const std::function<RunOutcome()>& plannedRun);

    // The plan goes from stopped to started. The moment of the start stands in for the
    // previous tick, so a moment that passed while the plan was stopped does not fire.
    void Start();

private:
    // Wall-clock reading of the previous tick, in milliseconds.
    std::optional<qint64> previousTick_;
};
