#pragma once

#include <QString>
#include <string>

#include "platform/RunControl.h"

// The lock file of a task folder, relative to the current folder at the moment of locking.
inline const QString kTaskLockFile = QStringLiteral("./.tessivar.lock");

// Holds the task folder's lock for its lifetime, so that the backup runs and prunings of
// two instances started in the same folder never interleave. The constructor waits until
// the other instance lets go; it throws Error when the lock file can be neither made nor
// opened. With a control, the wait is told to it as a stage, and a stop asked for meanwhile
// ends the wait with RunStopped. Taking it again in a process that already holds it does not wait
// on itself: the inner holder shares the outer one's lock.
class TaskLock {
public:
    explicit TaskLock(const QString& lockFile = kTaskLockFile, RunControl* control = nullptr);
    ~TaskLock();
    TaskLock(const TaskLock&) = delete;
    TaskLock& operator=(const TaskLock&) = delete;

private:
    std::string key_;
};
