#include "plan/PlanTimer.h"

#include <utility>

#include "plan/PlannedRun.h"
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

void PlanSchedule::Start() {
    previousTick_ = WallMsecs(Clock::currentDateTime());
}

RunOutcome PlanSchedule::Tick(MainFormFields& fields,
                              const std::function<RunOutcome()>& plannedRun) {
    // One reading of the clock serves the day and the time, so a tick at midnight cannot
    // take its day from one side and its time from the other.
    const QDateTime clock = Clock::currentDateTime();
    const qint64 now = WallMsecs(clock);
    // Recorded before the run, so that no later tick fires the same moment again.
    const std::optional<qint64> previous = std::exchange(previousTick_, now);

    if (fields.Edit1Text().isEmpty() || fields.Edit2Text().isEmpty()) {
        return {};
    }
    fields.DayList = DayListOf(fields);
    if (!DayListHolds(fields.DayList, clock.date())) {
        return {};
    }
    RunOutcome outcome;
    const std::optional<qint64> scheduled = ScheduledMoment(now, fields.PickerTime());
    if (scheduled && FallsDue(previous, now, *scheduled)) {
        SetPlanButtonsEnabled(fields, false);
        outcome = plannedRun();
        if (outcome.failed) {
            return outcome;
        }
    }
    SetPlanButtonsEnabled(fields, true);
    return outcome;
}
