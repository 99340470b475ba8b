#pragma once

#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "FakeFields.h"
#include "MockClock.h"
#include "plan/PlanTimer.h"

// A day of the test week: 2024-01-01 is a Monday, so day 0 is Monday ... day 6 Sunday.
inline QDate WeekDay(int day) {
    return QDate(2024, 1, 1).addDays(day);
}

inline QDateTime At(const QDate& date, int hour, int minute, int second, int msec = 0) {
    return QDateTime(date, QTime(hour, minute, second, msec), QTimeZone::utc());
}

// FakeFields that also keep every write to a plan button, in order.
class RecordingFields : public FakeFields {
public:
    std::vector<std::pair<PlanButton, bool>> buttonWrites;
    bool recordButtonWrites = true;  // off for sweeps of days

    void SetButtonEnabled(PlanButton button, bool enabled) override {
        if (recordButtonWrites) {
            buttonWrites.emplace_back(button, enabled);
        }
        FakeFields::SetButtonEnabled(button, enabled);
    }

    bool AllPlanButtons(bool enabled) const {
        return Enabled.at(PlanButton::Button8) == enabled &&
               Enabled.at(PlanButton::Button9) == enabled &&
               Enabled.at(PlanButton::Button10) == enabled;
    }
};

// The plan with a mock clock and plain fields: a source, a destination, 8:30, a count of 3
// and no day ticked. A tick is FileTimer2Timer's: at the moment it starts a run, which only
// records the clock it saw, and ends it.
class PlanHarness {
public:
    explicit PlanHarness(const QDateTime& start) : clock(start) {
        fields.Edit1 = QStringLiteral("/data/reports");
        fields.Edit2 = QStringLiteral("/backups");
        fields.Picker = QTime(8, 30);
        fields.SetCount(QStringLiteral("3"), 3);
    }

    MockClock clock;
    RecordingFields fields;
    PlanSchedule plan;
    std::vector<QDateTime> runs;
    std::function<void()> insideRun;
    bool runsFail = false;  // each run ends with an error

    void tick() {
        if (plan.Tick(fields)) {
            runs.push_back(Clock::currentDateTime());
            if (insideRun) {
                insideRun();
            }
            plan.RunEnded(fields, runsFail);
        }
    }
    void tickAt(const QDateTime& time) {
        clock.set(time);
        tick();
    }
    // Ticks at `from`, then every `stepMsecs` while the clock has not passed `to`.
    void sweep(const QDateTime& from, const QDateTime& to, qint64 stepMsecs = 1000) {
        for (QDateTime now = from; now <= to; now = now.addMSecs(stepMsecs)) {
            clock.set(now);
            tick();
        }
    }
    // Ticks every second within two minutes of one of `moments`, every minute elsewhere; a
    // minute's step never lands within seconds after a moment, so no tick there is late.
    void sweepNear(const QDateTime& from, const QDateTime& to,
                   const std::vector<QDateTime>& moments) {
        const auto near = [&](const QDateTime& now) {
            return std::any_of(moments.begin(), moments.end(), [&](const QDateTime& moment) {
                return qAbs(now.secsTo(moment)) <= 120;
            });
        };
        for (QDateTime now = from; now <= to; now = now.addMSecs(near(now) ? 1000 : 60000)) {
            clock.set(now);
            tick();
        }
    }
    void tickDays(std::initializer_list<int> days) {
        for (int day : days) {
            fields.Days.at(day) = true;
        }
    }
};
