#pragma once

#include "engine/RunReport.h"
#include "platform/Prompts.h"

#include <vector>

class MainFormFields;

// The task's settings as the window's controls hold them now (or the plain fields loaded
// from config.ini), for a run to take.
TaskSettings TaskSettingsOf(const MainFormFields& fields);

// What a run tells the user once it is over, in the order the run met it.
struct RunOutcome {
    std::vector<HeldBox> boxes;
    bool failed = false;  // an error ended the run; it is the last box
};

// The boxes of a report: the refusal of a check, the notice of entries left out of a
// complete backup, the error that ended the run (its full stop added). A stopped run tells
// nothing: the program is ending.
RunOutcome OutcomeOf(const RunReport& report);
