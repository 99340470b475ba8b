#pragma once

#include <QDateTime>

// The local clock. Tests swap in their own clock; everything that reads the time of day
// (the plan, the backup day, the log line) reads it here.
class Clock {
public:
    virtual ~Clock();

    static QDateTime currentDateTime();
    static QDate currentDate() { return currentDateTime().date(); }
    static QTime currentTime() { return currentDateTime().time(); }

    // Not owned. nullptr puts back the system clock.
    static void setInstance(Clock* clock);

protected:
    virtual QDateTime now() const = 0;
};
