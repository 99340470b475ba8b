#include "engine/BackupJob.h"

#include <QMetaObject>

#include <atomic>
#include <system_error>

namespace {

std::atomic<bool> jobRunning{false};

}  // namespace

BackupJob::BackupJob(QObject* parent) : QObject(parent) {}

BackupJob::~BackupJob() {
    requestStop();
    join();
    if (control_) {
        control_.reset();
        jobRunning = false;  // its report is not delivered: nobody is left to take it
    }
}

bool BackupJob::start(Work work) {
    bool idle = false;
    if (!jobRunning.compare_exchange_strong(idle, true)) {
        return false;
    }
    join();  // the thread of the last job has ended its work; only its join is left
    auto control = std::make_shared<RunControl>();
    // The thread is joined before the job object goes, so it is there for every call.
    BackupJob* self = this;
    control->onStage = [self](RunStage stage, const QString& sourceName) {
        QMetaObject::invokeMethod(
            self, [self, stage, sourceName] { emit self->stageReached(stage, sourceName); },
            Qt::QueuedConnection);
    };
    control_ = control;
    try {
        thread_ = std::thread([self, control, work = std::move(work)] {
            const RunReport report = work(*control);
            // Delivered on the job's own thread: the job counts as running until then, so
            // that a click or a tick handled before it cannot start another.
            QMetaObject::invokeMethod(
                self,
                [self, report] {
                    self->control_.reset();
                    jobRunning = false;
                    emit self->finished(report);
                },
                Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        control_.reset();
        jobRunning = false;
        throw;
    }
    return true;
}

void BackupJob::requestStop() {
    if (control_) {
        control_->requestStop();
    }
}

RunControl::Progress BackupJob::progress() const {
    return control_ ? control_->progress() : RunControl::Progress{};
}

void BackupJob::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}
