#include "platform/Clock.h"

Clock::~Clock() = default;

namespace {

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
