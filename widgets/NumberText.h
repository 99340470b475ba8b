#pragma once

#include <QString>
#include <optional>

// Text-to-number rules of the backup-count field, kept apart from the widget so the logic
// and its tests need no display.
namespace NumberText {

// The number a text stands for, or nothing when it is not a number.
std::optional<double> Parse(const QString& text);

// The general form: shortest writing with at most 15 significant digits.
QString General(double value);

// The program's write of the field's text: the empty text gives no value; a text that is
// not a number throws Error "'%s' is not a valid floating point value".
std::optional<double> ValueOfProgramText(const QString& text);

}  // namespace NumberText
