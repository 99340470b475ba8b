#pragma once

#include <QDate>
#include <QString>
#include <QtGlobal>
#include <optional>

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
// when the moment recurs. A moment of a ticked day that passed while the machine was
// asleep is made up for on the first tick after it wakes, with one run however many
// moments the sleep took; a window that was only busy, or a clock set forward, makes none.
class PlanSchedule {
public:
    // FileTimer2Timer, on a tick that comes while no run is on. True at the moment: the plan
    // buttons are then disabled and the caller starts the planned run (PlannedBackup), and
    // calls RunEnded when it is over.
    bool Tick(MainFormFields& fields);

    // The planned run is over. After a failed run the buttons stay disabled until the next
    // tick on a ticked day.
    void RunEnded(MainFormFields& fields, bool failed);

    // The plan goes from stopped to started. The moment of the start stands in for the
    // previous tick, so a moment that passed while the plan was stopped does not fire.
    void Start();

private:
    struct Reading {
        qint64 wall;    // the wall clock, in milliseconds
        qint64 asleep;  // Clock::asleepMsecs()
    };
    static Reading Now(const QDateTime& clock);

    std::optional<Reading> previousTick_;
};
