#pragma once

#include <functional>

// Runs one event handler. A failure stops the handler at that point and is shown in the
// application's error box; the program then goes on with its next event. No exception
// ever reaches the Qt event loop.
void RunGuarded(const std::function<void()>& handler) noexcept;
