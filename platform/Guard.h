#pragma once

#include <QString>
#include <functional>
#include <optional>

// Runs one step and catches what it throws: the failure's text (without the full stop the
// error box adds), or nothing when the step went through.
std::optional<QString> FailureOf(const std::function<void()>& step) noexcept;

// Runs one event handler. A failure stops the handler at that point and is shown in the
// application's error box; the program then goes on with its next event. No exception
// ever reaches the Qt event loop.
void RunGuarded(const std::function<void()>& handler) noexcept;
