#pragma once

#include <QString>
#include <functional>

class MainFormFields;

// The name of today's weekday on the local clock ("星期一" ... "星期日").
QString CurrentDayName();

// The work of one FileTimer2 tick.
class PlanSchedule {
public:
    struct Actions {
        std::function<void()> runBackup;  // Button10Click
        std::function<void()> prune;      // Button11Click
    };

    // FileTimer2Timer. Throws what the run or the pruning throws; the buttons then stay
    // disabled until the next tick on a ticked day.
    void Tick(MainFormFields& fields, const Actions& actions);
};
