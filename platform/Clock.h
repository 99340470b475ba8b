#pragma once

#include <QDateTime>

// The local clock, and how long the machine has been asleep. Tests swap in their own clock;
// everything that reads the time of day (the plan, the backup day, the log line) reads it
// here.
class Clock {
public:
    virtual ~Clock();

    static QDateTime currentDateTime();
    static QDate currentDate() { return currentDateTime().date(); }
    static QTime currentTime() { return currentDateTime().time(); }
    // Milliseconds spent in suspend since the machine started (CLOCK_BOOTTIME less
    // CLOCK_MONOTONIC); it grows only while the machine sleeps.
    static qint64 asleepMsecs();

    // Not owned. nullptr puts back the system clock.
    static void setInstance(Clock* clock);

protected:
    virtual QDateTime now() const = 0;
    virtual qint64 asleep() const;
};
