#pragma once

#include <QDateTime>

// The session manager asks the program to save its data before the session ends. A close
// that follows within a few seconds is the log-off's own and ends the program without the
// question; a log-off that was cancelled leaves none, so a later close asks again.
class SessionEnd {
public:
    void Committing();
    bool CloseIsTheSessions() const;

private:
    QDateTime committed_;
};
