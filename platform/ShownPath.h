#pragma once

#include <QString>

#include <string>

// A path's bytes as the log shows them: each byte that is not valid UTF-8, or a control
// character, as "\xNN"; the rest as text.
QString ShownPath(const std::string& path);
