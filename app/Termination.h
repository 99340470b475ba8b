#pragma once

#include <functional>

// When the desktop session ends (SIGTERM, SIGHUP) or the terminal asks (SIGINT), the handler
// runs on the thread of the application's event loop, once for each signal; it decides how
// the program ends.
void OnTerminationSignals(std::function<void()> handler);
