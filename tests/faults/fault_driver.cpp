// One real operation of a task per process, for the fault scripts: they run it under strace,
// on a full disk or as an unprivileged user, and look at what it left behind.
//
//   fault_driver backup <source> <destination>   the manual backup (with the task lock)
//   fault_driver prune <count> [source]          the pruning, the count as the field's text
//   fault_driver save <source> <destination> <count> <days 1-7, e.g. 125> <hh:mm:ss>
//   fault_driver load                            prints the loaded fields, one per line
//
// Runs in the current folder, which is the task folder. Exit status: 0 done, 1 the operation
// failed with an error (its text on stderr), 2 the program's own check showed a message,
// 3 a save reported its failure in the status bar, 64 wrong use.
// Environment: TESSIVAR_FAULT_DATE=YYYY-MM-DD stands the clock on that day (time of day
// kept); TESSIVAR_FAULT_TRACE=<file> appends "<pid> begin|end <op> <ns>" around the locked
// part; TESSIVAR_FAULT_NO_LOCK=1 runs without the task lock (to show what it prevents).

#include "FakeFields.h"
#include "engine/BackupRun.h"
#include "engine/Catalogue.h"
#include "engine/Retention.h"
#include "engine/TaskFolder.h"
#include "plan/PlannedRun.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Prompts.h"
#include "platform/TaskLock.h"
#include "settings/Settings.h"
#include "widgets/NumberText.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kChecked = 2;
constexpr int kSaveFailed = 3;
constexpr int kUsage = 64;

struct CheckShown {};

void Say(const char* kind, const QString& text) {
    std::fprintf(stderr, "%s: %s\n", kind, text.toUtf8().constData());
}

// Prints what a box would show; a check's message ends the operation.
class StderrPrompts : public Prompts {
public:
    StderrPrompts() { Prompts::setInstance(this); }
    ~StderrPrompts() override { Prompts::setInstance(nullptr); }
    void information(const QString& text) override {
        Say("information", text);
        throw CheckShown{};
    }
    bool confirm(const QString& text) override {
        Say("unexpected confirm", text);
        std::_Exit(kUsage);
    }
    void error(const QString& text) override { Say("error", text); }
    std::optional<QString> chooseFolder(const QString& caption) override {
        Say("unexpected chooser", caption);
        std::_Exit(kUsage);
    }
};

// The real time of day on a chosen day.
class DayClock : public Clock {
public:
    explicit DayClock(QDate day) : day_(day) { Clock::setInstance(this); }
    ~DayClock() override { Clock::setInstance(nullptr); }

protected:
    QDateTime now() const override { return {day_, QTime::currentTime()}; }

private:
    QDate day_;
};

void Trace(const char* event, const char* operation) {
    const char* file = std::getenv("TESSIVAR_FAULT_TRACE");
    if (!file) {
        return;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    char line[128];
    const int length =
        std::snprintf(line, sizeof line, "%d %s %s %lld\n", static_cast<int>(::getpid()), event,
                      operation, static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (::write(fd, line, static_cast<size_t>(length)) != length) {
            Say("trace", QStringLiteral("short write"));
        }
        ::close(fd);
    }
}

// The driver takes the task lock itself, around the run alone (the program's runs take the
// same lock in engine/Runs); TESSIVAR_FAULT_NO_LOCK=1 leaves it out, as a control. Prints
// the status bar's text once a copy is logged; a refusal or a failure ends the driver.
using Run = void (*)(const TaskSettings&, Catalogue&, RunControl&, RunReport&);
int Locked(const char* name, Run run, const MainFormFields& fields) {
    Catalogue catalogue;
    std::optional<TaskLock> lock;
    if (!std::getenv("TESSIVAR_FAULT_NO_LOCK")) {
        lock.emplace();
    }
    Trace("begin", name);
    RunControl control;
    RunReport report;
    run(TaskSettingsOf(fields), catalogue, control, report);
    Trace("end", name);
    if (report.logged) {
        std::printf("%s\n", kBackedUpStatus.toUtf8().constData());
    }
    if (!report.refusal.isEmpty()) {
        Prompts::instance().information(report.refusal);
    }
    if (report.failure) {
        throw Error(*report.failure);
    }
    return kDone;
}

int Backup(const QStringList& args) {
    if (args.size() != 2) {
        return kUsage;
    }
    PrepareTaskFolder();
    FakeFields fields;
    fields.Edit1 = args[0];
    fields.Edit2 = args[1];
    return Locked(
        "backup",
        [](const TaskSettings& settings, Catalogue& catalogue, RunControl& control,
           RunReport& report) { RunBackup(settings, catalogue, control, report); },
        fields);
}

int Prune(const QStringList& args) {
    if (args.size() != 1 && args.size() != 2) {
        return kUsage;
    }
    PrepareTaskFolder();
    FakeFields fields;
    fields.SetCountText(args[0]);
    fields.Edit1 = args.value(1);  // the source shown in the window, when there is one
    return Locked("prune", PruneBackups, fields);
}

int Save(const QStringList& args) {
    if (args.size() != 5) {
        return kUsage;
    }
    FakeFields fields;
    fields.Edit1 = args[0];
    fields.Edit2 = args[1];
    fields.SetCountText(args[2]);
    for (const QChar day : args[3]) {
        const int index = day.digitValue() - 1;
        if (index >= 0 && index < 7) {
            fields.Days[index] = true;
        }
    }
    fields.Picker = QTime::fromString(args[4], QStringLiteral("HH:mm:ss"));
    SaveSettings(fields);
    std::printf("%s\n", fields.PanelText(1).toUtf8().constData());
    return fields.PanelText(1) == QStringLiteral("配置文件保存完毕!") ? kDone : kSaveFailed;
}

int Load() {
    FakeFields fields;
    LoadSettings(fields);
    QString days;
    for (int day = 0; day < 7; ++day) {
        if (fields.Days[day]) {
            days += QString::number(day + 1);
        }
    }
    const QStringList lines = {
        QStringLiteral("source=") + fields.Edit1,
        QStringLiteral("destination=") + fields.Edit2,
        QStringLiteral("count=") + fields.Count,
        QStringLiteral("days=") + days,
        QStringLiteral("time=") + fields.Picker.toString(QStringLiteral("HH:mm")),
        QStringLiteral("panel0=") + fields.PanelText(0),
    };
    std::printf("%s\n", lines.join(u'\n').toUtf8().constData());
    return kDone;
}

int Dispatch(const QStringList& args) {
    const QString command = args.value(0);
    const QStringList rest = args.mid(1);
    if (command == QLatin1String("backup")) {
        return Backup(rest);
    }
    if (command == QLatin1String("prune")) {
        return Prune(rest);
    }
    if (command == QLatin1String("save")) {
        return Save(rest);
    }
    if (command == QLatin1String("load")) {
        return Load();
    }
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    // No widgets in the driver (the crash sweep stops it at every system call it makes): the
    // count takes the program's write by the field's own rule, shown in its general form.
    FakeFields::countWriter = [](FakeFields& fields, const QString& text) {
        const std::optional<double> value = NumberText::ValueOfProgramText(text);
        fields.SetCount(NumberText::General(value), value);
    };
    StderrPrompts prompts;
    std::optional<DayClock> clock;
    if (const char* day = std::getenv("TESSIVAR_FAULT_DATE")) {
        clock.emplace(QDate::fromString(QString::fromLatin1(day), Qt::ISODate));
    }
    int status = kFailed;
    try {
        status = Dispatch(QCoreApplication::arguments().mid(1));
    } catch (const CheckShown&) {
        status = kChecked;
    } catch (const Error& error) {
        Say("error", WithFullStop(error.message()));
    }
    if (status == kUsage) {
        Say("usage", QStringLiteral("see the head of fault_driver.cpp"));
    }
    std::fflush(stdout);
    return status;
}
