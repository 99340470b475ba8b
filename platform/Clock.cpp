#include "platform/Clock.h"

#include <ctime>

Clock::~Clock() = default;

namespace {

qint64 Nsecs(clockid_t id) {
    timespec reading{};
    ::clock_gettime(id, &reading);
    return qint64(reading.tv_sec) * 1000000000 + reading.tv_nsec;
}

class SystemClock final : public Clock {
protected:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

SystemClock systemClock;
Clock* currentClock = &systemClock;

}  // namespace

QDateTime Clock::currentDateTime() {
    return currentClock->now();
}

void Clock::setInstance(Clock* clock) {
    currentClock = clock ? clock : &systemClock;
}

qint64 Clock::asleepMsecs() {
    return currentClock->asleep();
}

qint64 Clock::asleep() const {
    const qint64 monotonic = Nsecs(CLOCK_MONOTONIC);
    return (Nsecs(CLOCK_BOOTTIME) - monotonic) / 1000000;
}
