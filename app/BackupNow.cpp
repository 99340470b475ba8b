#include "app/BackupNow.h"

#include "app/Console.h"
#include "app/PlainFields.h"
#include "app/Termination.h"
#include "engine/BackupJob.h"
#include "engine/Runs.h"
#include "engine/TaskFolder.h"
#include "plan/PlannedRun.h"
#include "platform/Guard.h"
#include "platform/Prompts.h"
#include "settings/Settings.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

namespace {

// How often the progress line is redrawn.
constexpr int kProgressPeriodMsecs = 250;

// The start-up steps a run needs, as the window takes them: the task folder readied, then
// the settings loaded. The text of the failure that stops them, if any.
std::optional<QString> PrepareRun(PlainFields& fields) {
    return FailureOf([&fields] {
        PrepareTaskFolder();
        LoadSettings(fields);
    });
}

// One line on a terminal, redrawn in place; nothing at all elsewhere.
class ProgressDisplay {
public:
    ProgressDisplay() : shown_(::isatty(STDERR_FILENO) == 1) {}

    void start(BackupJob& job) {
        if (!shown_) {
            return;
        }
        QObject::connect(&timer_, &QTimer::timeout, [this, &job] { draw(job.progress()); });
        QObject::connect(&job, &BackupJob::stageReached, [this](RunStage stage, const QString&) {
            if (stage == RunStage::Copying) {
                clock_.start();
            }
        });
        timer_.start(kProgressPeriodMsecs);
    }

    // Leaves the terminal's line empty for what follows.
    void finish() {
        timer_.stop();
        if (drawn_) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
    }

private:
    void draw(const RunControl::Progress& progress) {
        if (!progress.measured || !clock_.isValid()) {
            return;
        }
        const QByteArray line =
            ProgressLine(progress, static_cast<double>(clock_.elapsed()) / 1000).toLocal8Bit();
        std::fprintf(stderr, "\r%s\033[K", line.constData());
        std::fflush(stderr);
        drawn_ = true;
    }

    bool shown_;
    bool drawn_ = false;
    QTimer timer_;
    QElapsedTimer clock_;
};

}  // namespace

int BackupNow() {
    PlainFields fields;
    if (const std::optional<QString> failure = PrepareRun(fields)) {
        PrintError(WithFullStop(*failure));
        return kExitBadArguments;
    }
    BackupJob job;
    RunReport report;
    QEventLoop loop;
    QObject::connect(&job, &BackupJob::finished, &loop, [&](const RunReport& finished) {
        report = finished;
        loop.quit();
    });
    OnTerminationSignals([&job] { job.requestStop(); });
    ProgressDisplay display;
    display.start(job);
    const TaskSettings settings = TaskSettingsOf(fields);
    job.start([settings](RunControl& control) { return PlannedBackup(settings, control); });
    loop.exec();
    display.finish();
    for (const QString& line : ReportLines(report)) {
        PrintError(line);
    }
    return ExitCodeOf(report);
}
