#include "app/SessionEnd.h"

#include "platform/Clock.h"

namespace {

// How long after the session manager's request to save a close counts as the log-off's.
constexpr qint64 kSessionCloseMsecs = 5000;

}  // namespace

void SessionEnd::Committing() {
    committed_ = Clock::currentDateTime();
}

bool SessionEnd::CloseIsTheSessions() const {
    const qint64 since = committed_.isValid() ? committed_.msecsTo(Clock::currentDateTime()) : -1;
    return since >= 0 && since <= kSessionCloseMsecs;
}
