#include "plan/PlanTimer.h"

#include <utility>

#include "platform/Clock.h"
#include "platform/MainFormFields.h"
#include "platform/Weekdays.h"

namespace {

constexpr qint64 kMsecsPerDay = 24LL * 60 * 60 * 1000;
constexpr qint64 kLeadMsecs = 10 * 1000;
constexpr qint64 kSecondMsecs = 1000;
constexpr qint64 kLatenessAllowedMsecs = 5 * 1000;

constexpr PlanButton kPlanButtons[] = {PlanButton::Button8, PlanButton::Button9,
                                       PlanButton::Button10};

// The local date and time as the clock shows it, without its zone: a clock set back at
// the end of daylight saving time reads earlier than before, as it does on the wall.
qint64 WallMsecs(const QDateTime& clock) {
    return clock.date().toJulianDay() * kMsecsPerDay + clock.time().msecsSinceStartOfDay();
}

// The picker's hour and minute with second 0, on the date the clock shows once the lead
// time is added, less the lead time: a plan for 0:00 falls on 23:59:50 of the day before.
std::optional<qint64> ScheduledMoment(qint64 now, const QTime& picker) {
    if (!picker.isValid()) {
        return std::nullopt;
    }
    const qint64 leadDay = (now + kLeadMsecs) / kMsecsPerDay;
    const qint64 planned = QTime(picker.hour(), picker.minute()).msecsSinceStartOfDay();
    return leadDay * kMsecsPerDay + planned - kLeadMsecs;
}

bool FallsDue(std::optional<qint64> previous, qint64 now, qint64 scheduled) {
    if (!previous) {
        // Nothing to measure lateness against: only the scheduled second itself.
        return scheduled <= now && now < scheduled + kSecondMsecs;
    }
    if (now < *previous) {
        // Set back: the moments ahead of now come round again, but this tick has
        // passed none of them.
        return false;
    }
    return *previous < scheduled && scheduled <= now && now - scheduled <= kLatenessAllowedMsecs;
}

bool DayListHolds(const QString& dayList, const QDate& date) {
    const QString name = WeekdayNameOf(date);
    return !name.isEmpty() && dayList.contains(name);
}

// Whether a moment of a ticked day passed while the machine slept, between the previous
// tick and this one. Where in that gap the sleep lay is not known, only how long it was:
// a moment counts when the sleep covers it wherever it lay, give or take the lateness a
// tick may have. A window that was busy across the moment has not slept through it.
bool MissedAsleep(qint64 previous, qint64 now, qint64 slept, const QString& dayList,
                  const QTime& picker) {
    const std::optional<qint64> latest = ScheduledMoment(now, picker);
    if (!latest || slept <= 0 || now < previous) {
        return false;
    }
    const qint64 reach = slept + kLatenessAllowedMsecs;
    qint64 moment = *latest > now ? *latest - kMsecsPerDay : *latest;
    for (int day = 0; day < 7 && moment > previous && now - moment <= reach;
         ++day, moment -= kMsecsPerDay) {
        if (moment - previous <= reach &&
            DayListHolds(dayList, QDate::fromJulianDay(moment / kMsecsPerDay))) {
            return true;
        }
    }
    return false;
}

void SetPlanButtonsEnabled(MainFormFields& fields, bool enabled) {
    for (const PlanButton button : kPlanButtons) {
        fields.SetButtonEnabled(button, enabled);
    }
}

}  // namespace

QString WeekdayNameOf(const QDate& date) {
    if (!date.isValid()) {
        return {};
    }
    return WeekdayNames()[WeekdayIndex(date.dayOfWeek())];
}

QString CurrentDayName() {
    return WeekdayNameOf(Clock::currentDate());
}

PlanSchedule::Reading PlanSchedule::Now(const QDateTime& clock) {
    return {WallMsecs(clock), Clock::asleepMsecs()};
}

void PlanSchedule::Start() {
    previousTick_ = Now(Clock::currentDateTime());
}

bool PlanSchedule::Tick(MainFormFields& fields) {
    // One reading of the clock serves the day and the time, so a tick at midnight cannot
    // take its day from one side and its time from the other.
    const QDateTime clock = Clock::currentDateTime();
    const Reading reading = Now(clock);
    const qint64 now = reading.wall;
    // Recorded before the run, so that no later tick fires the same moment again.
    const std::optional<Reading> previous = std::exchange(previousTick_, reading);

    if (fields.Edit1Text().isEmpty() || fields.Edit2Text().isEmpty()) {
        return false;
    }
    fields.DayList = DayListOf(fields);
    const bool tickedToday = DayListHolds(fields.DayList, clock.date());
    const std::optional<qint64> scheduled = ScheduledMoment(now, fields.PickerTime());
    const bool due =
        tickedToday && scheduled &&
        FallsDue(previous ? std::optional(previous->wall) : std::nullopt, now, *scheduled);
    const bool missed = !due && previous &&
                        MissedAsleep(previous->wall, now, reading.asleep - previous->asleep,
                                     fields.DayList, fields.PickerTime());
    if (due || missed) {
        SetPlanButtonsEnabled(fields, false);
        return true;
    }
    if (tickedToday) {
        SetPlanButtonsEnabled(fields, true);
    }
    return false;
}

void PlanSchedule::RunEnded(MainFormFields& fields, bool failed) {
    if (!failed) {
        SetPlanButtonsEnabled(fields, true);
    }
}
