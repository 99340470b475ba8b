#pragma once

#include "platform/Clock.h"

// A clock the test sets and moves; installed for its lifetime.
class MockClock : public Clock {
public:
    explicit MockClock(QDateTime start) : now_(std::move(start)) { Clock::setInstance(this); }
    ~MockClock() override { Clock::setInstance(nullptr); }

    void set(const QDateTime& time) { now_ = time; }
    void advance(qint64 msecs) { now_ = now_.addMSecs(msecs); }
    // The machine sleeps for that long: the clock moves on, and so does the time asleep.
    void sleep(qint64 msecs) {
        advance(msecs);
        asleep_ += msecs;
    }

protected:
    QDateTime now() const override { return now_; }
    qint64 asleep() const override { return asleep_; }

private:
    QDateTime now_;
    qint64 asleep_ = 0;
};
