#pragma once

#include <QChar>
#include <QString>
#include <optional>

// Text-to-number rules of the backup-count field, kept apart from the widget so the logic
// and its tests need no display.
namespace NumberText {

struct Separators {
    QChar decimal = u'.';
    QChar thousands = u',';
};

// The separators of the C library's LC_NUMERIC. "." and "," stand in for a separator the
// locale leaves empty, gives as more than one character, or makes equal to the other.
Separators RegionalSeparators();

// The number a text stands for, or nothing when it is not a number: optional blanks, an
// optional sign, digits with an optional decimal separator (at least one of the two), an
// optional "E"/"e" with optional sign and digits, optional blanks. Too large for a double
// is not a number.
std::optional<double> Parse(const QString& text, QChar decimal = RegionalSeparators().decimal);

// Blanks trimmed, thousands separators dropped, every other "." and "," made the decimal
// separator.
QString Normalised(const QString& text, const Separators& separators = RegionalSeparators());

// The general form: shortest writing with at most 15 significant digits, the exponent form
// ("1E20", "1.5E-7") when the decimal exponent is 15 or more or below -4.
QString General(double value, QChar decimal = RegionalSeparators().decimal);
QString General(const std::optional<double>& value, QChar decimal = RegionalSeparators().decimal);

// Equal bounds mean no limit; min below max limits to the range; min above max limits only
// from below when max is 0, only from above when min is 0, and not at all otherwise.
double Bounded(double value, double minValue, double maxValue);

// Rounded to the given number of decimals, halves to the even neighbour.
double Rounded(double value, int decimalPlaces);

// The whole bound rule of a value the field takes from the user (typing, step keys, the
// wheel): bounded, then rounded.
double BoundRule(double value, double minValue, double maxValue, int decimalPlaces);

// Whether a typed character may stay: the normalised text that would result has at most
// `decimalPlaces` digits after the decimal separator (up to the exponent letter), and is
// empty, a lone sign, or made only of digits, the separator, signs and "E"/"e" and converts.
bool AcceptableWhileTyping(const QString& normalised, int decimalPlaces, QChar decimal);

// Whether a normalised text gives the field a value or leaves it empty by rule: the empty
// text, a lone sign, or a number. Anything else is a conversion error.
bool StandsForValue(const QString& normalised, QChar decimal);

// The conversion error for a text that is not a number.
QString ConversionErrorText(const QString& normalised);

// The program's write of the field's text: the empty text gives no value; a text that is
// not a number throws Error "'%s' is not a valid floating point value" with the normalised
// text. The number is taken as it is, neither bounded nor rounded.
std::optional<double> ValueOfProgramText(const QString& text,
                                         const Separators& separators = RegionalSeparators());

// The value that follows the text the user left in the field: none for the empty text or
// a text that is not a number, 0 for a lone sign, otherwise bounded, then rounded.
std::optional<double> ValueOfTypedText(const QString& text, double minValue, double maxValue,
                                       int decimalPlaces,
                                       const Separators& separators = RegionalSeparators());

}  // namespace NumberText
