#include "plan/PlannedRun.h"

#include "engine/BackupRun.h"
#include "platform/MainFormFields.h"

TaskSettings TaskSettingsOf(const MainFormFields& fields) {
    TaskSettings settings;
    settings.source = fields.Edit1Text();
    settings.destination = fields.Edit2Text();
    settings.countText = fields.CountText();
    settings.countValue = fields.CountValue();
    for (int day = 0; day < static_cast<int>(settings.days.size()); ++day) {
        settings.days[day] = fields.DayTicked(day);
    }
    settings.time = fields.PickerTime();
    return settings;
}

RunOutcome OutcomeOf(const RunReport& report) {
    RunOutcome outcome;
    if (report.stopped && !report.failure) {
        return outcome;
    }
    if (!report.refusal.isEmpty()) {
        outcome.boxes.push_back({HeldBox::Kind::Information, report.refusal});
    }
    if (report.backupComplete() && !report.leftOut.empty()) {
        outcome.boxes.push_back(
            {HeldBox::Kind::Information, LeftOutNotice(static_cast<int>(report.leftOut.size()))});
    }
    if (report.failure) {
        outcome.boxes.push_back({HeldBox::Kind::Error, WithFullStop(*report.failure)});
        outcome.failed = true;
    }
    return outcome;
}
