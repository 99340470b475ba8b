#pragma once

#include "engine/RunReport.h"
#include "platform/RunControl.h"

#include <QObject>

#include <functional>
#include <memory>
#include <thread>

// A run of the task as a job on a worker thread, so that the thread that starts it (the
// window's, or the command line's) goes on with its events meanwhile. One job at a time in
// the process: a start while any job runs is refused. The job reports back by queued
// signals, delivered on the thread the job object lives on.
class BackupJob : public QObject {
    Q_OBJECT
public:
    using Work = std::function<RunReport(RunControl&)>;

    explicit BackupJob(QObject* parent = nullptr);
    // Asks the run to stop and waits for its thread.
    ~BackupJob() override;

    // Starts the work on a thread of its own; false, with nothing started, while a job of
    // the process runs.
    bool start(Work work);
    bool running() const { return static_cast<bool>(control_); }

    // The run stops as soon as the step it is in allows (see RunBackup, PruneBackups): at
    // the latest when the system call in progress returns.
    void requestStop();
    // Nothing when no job runs.
    RunControl::Progress progress() const;

signals:
    void stageReached(RunStage stage, const QString& sourceName);
    void finished(const RunReport& report);

private:
    void join();

    std::shared_ptr<RunControl> control_;
    std::thread thread_;
};
