#pragma once

#include <functional>

// When the desktop session ends (SIGTERM, SIGHUP) or the terminal asks (SIGINT), the
// program ends at once, without the exit question, through its normal shut-down.
void EndOnTerminationSignals(std::function<void()> beforeQuit);
