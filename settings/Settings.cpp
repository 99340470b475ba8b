#include "settings/Settings.h"

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/MainFormFields.h"
#include "platform/Prompts.h"
#include "platform/TimeFormat.h"
#include "platform/Weekdays.h"
#include "platform/WorkingFiles.h"
#include "settings/ProfileFile.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

const QString kSection = QStringLiteral("备份设置");
const QString kSourceKey = QStringLiteral("备份文件源地址");
const QString kDestinationKey = QStringLiteral("备份文件目的地址");
const QString kTimeKey = QStringLiteral("定时时刻");
const QString kDaysKey = QStringLiteral("备份频率");
const QString kCountKey = QStringLiteral("备份个数");

const QString kSaved = QStringLiteral("配置文件保存完毕!");
const QString kSaveFailed = QStringLiteral("配置文件保存失败!");

QTime TimeOfDay(const QString& text) {
    const std::optional<QTime> time = TimeFormat::current().parse(text);
    if (!time) {
        throw Error(QStringLiteral("'%1' is not a valid time").arg(text));
    }
    return *time;
}

// A box is ticked when its name occurs anywhere in the list; none is ever unticked.
void TickDaysNamedIn(MainFormFields& fields, const QString& dayList) {
    for (int day = 0; day < kWeekdayCount; ++day) {
        if (dayList.contains(WeekdayNames()[day])) {
            fields.SetDayTicked(day, true);
        }
    }
}

void LoadFromFile(MainFormFields& fields, const ProfileFile& file) {
    fields.SetEdit1Text(file.ReadString(kSection, kSourceKey));
    fields.SetCountText(file.ReadString(kSection, kCountKey));
    fields.SetEdit2Text(file.ReadString(kSection, kDestinationKey));
    fields.DayList = file.ReadString(kSection, kDaysKey);
    const QString time = file.ReadString(kSection, kTimeKey);
    if (!time.isEmpty()) {
        fields.SetPickerTime(TimeOfDay(time));
    }
    TickDaysNamedIn(fields, fields.DayList);
}

// Blanks and control characters at both ends removed, nothing else.
QString WithoutOuterBlanks(const QString& text) {
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && text[from].unicode() <= u' ') {
        ++from;
    }
    while (to > from && text[to - 1].unicode() <= u' ') {
        --to;
    }
    return text.sliced(from, to - from);
}

bool AnyDayTicked(const MainFormFields& fields) {
    for (int day = 0; day < kWeekdayCount; ++day) {
        if (fields.DayTicked(day)) {
            return true;
        }
    }
    return false;
}

// The message of the first check that fails, in the order the user is told about them.
std::optional<QString> FailedCheck(const MainFormFields& fields) {
    if (fields.Edit1Text().isEmpty()) {
        return QStringLiteral("请输入要备份的文件地址！");
    }
    if (fields.Edit2Text().isEmpty()) {
        return QStringLiteral("请输入备份文件的目的地址！");
    }
    if (!AnyDayTicked(fields)) {
        return QStringLiteral("请选定备份日期！");
    }
    if (WithoutOuterBlanks(fields.CountText()).isEmpty()) {
        return QStringLiteral("请输入备份个数！");
    }
    const std::optional<double> count = fields.CountValue();
    if (!count || *count < 1) {
        return QStringLiteral("备份个数输入不合法！");
    }
    return std::nullopt;
}

struct KeyValue {
    const QString& key;
    QString value;
};

// A value the file cannot give back as it is (a Linux folder name may hold a line break)
// fails the save before any key is written.
bool AllWritable(const std::array<KeyValue, 5>& values) {
    return std::all_of(values.begin(), values.end(),
                       [](const KeyValue& entry) { return ProfileFile::Writable(entry.value); });
}

}  // namespace

void LoadSettings(MainFormFields& fields) {
    fields.SetEdit1Text({});
    fields.SetEdit2Text({});
    fields.SetPickerTime(Clock::currentTime());
    const ProfileFile file(WorkingFiles::kConfig);
    if (file.IsThere()) {
        LoadFromFile(fields, file);
    }
    fields.SetPanelText(0, kCreditText);
}

void SaveSettings(MainFormFields& fields) {
    if (const auto message = FailedCheck(fields)) {
        Prompts::instance().information(*message);
        return;
    }
    fields.DayList = DayListOf(fields);
    const std::array<KeyValue, 5> values = {{
        {kSourceKey, fields.Edit1Text()},
        {kDestinationKey, fields.Edit2Text()},
        {kTimeKey, TimeFormat::current().longTime(fields.PickerTime())},
        {kDaysKey, fields.DayList},
        {kCountKey, fields.CountText()},
    }};
    if (!AllWritable(values)) {
        fields.SetPanelText(1, kSaveFailed);
        return;
    }
    ProfileFile file(WorkingFiles::kConfig);
    try {
        for (const KeyValue& entry : values) {
            file.WriteString(kSection, entry.key, entry.value);
        }
    } catch (const Error&) {
        fields.SetPanelText(1, kSaveFailed);
        return;
    }
    fields.SetPanelText(1, kSaved);
}
