#include "widgets/NumberText.h"

#include "platform/Error.h"

#include <langinfo.h>
#include <locale.h>
#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

namespace NumberText {

namespace {

std::optional<QChar> SingleCharacter(const char* bytes) {
    const QString text = QString::fromLocal8Bit(bytes ? bytes : "");
    if (text.size() != 1) {
        return std::nullopt;
    }
    return text.front();
}

bool IsBlank(QChar c) {
    return c.unicode() <= u' ';
}
bool IsDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}
bool IsSign(QChar c) {
    return c == u'+' || c == u'-';
}
bool IsExponentLetter(QChar c) {
    return c == u'E' || c == u'e';
}

QString TrimmedOfBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype end = text.size();
    while (first < end && IsBlank(text[first])) {
        ++first;
    }
    while (end > first && IsBlank(text[end - 1])) {
        --end;
    }
    return text.mid(first, end - first);
}

// Reads the digits starting at `pos` into `out`, returns how many there were.
qsizetype TakeDigits(const QString& text, qsizetype& pos, std::string& out) {
    const qsizetype start = pos;
    while (pos < text.size() && IsDigit(text[pos])) {
        out += static_cast<char>(text[pos].unicode());
        ++pos;
    }
    return pos - start;
}

// The number's syntax rewritten in the C form strtod reads, or nothing.
std::optional<std::string> CanonicalForm(const QString& text, QChar decimal) {
    std::string out;
    qsizetype pos = 0;
    const auto skipBlanks = [&] {
        while (pos < text.size() && IsBlank(text[pos])) {
            ++pos;
        }
    };
    skipBlanks();
    if (pos < text.size() && IsSign(text[pos])) {
        out += static_cast<char>(text[pos++].unicode());
    }
    out += '0';  // keeps ".5" and "3." readable for strtod
    qsizetype mantissa = TakeDigits(text, pos, out);
    if (pos < text.size() && text[pos] == decimal) {
        ++pos;
        ++mantissa;
        out += '.';
        TakeDigits(text, pos, out);
        out += '0';
    }
    if (mantissa == 0) {
        return std::nullopt;
    }
    if (pos < text.size() && IsExponentLetter(text[pos])) {
        ++pos;
        out += 'e';
        if (pos < text.size() && IsSign(text[pos])) {
            out += static_cast<char>(text[pos++].unicode());
        }
        out += '0';
        TakeDigits(text, pos, out);
    }
    skipBlanks();
    if (pos != text.size()) {
        return std::nullopt;
    }
    return out;
}

locale_t CLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

// Digits after the decimal separator, up to the exponent letter.
qsizetype DecimalsOf(const QString& text, QChar decimal) {
    const qsizetype separator = text.indexOf(decimal);
    if (separator < 0) {
        return 0;
    }
    qsizetype count = 0;
    for (qsizetype i = separator + 1; i < text.size() && !IsExponentLetter(text[i]); ++i) {
        if (IsDigit(text[i])) {
            ++count;
        }
    }
    return count;
}

bool OnlyNumberCharacters(const QString& text, QChar decimal) {
    for (QChar c : text) {
        if (!IsDigit(c) && c != decimal && !IsSign(c) && !IsExponentLetter(c)) {
            return false;
        }
    }
    return true;
}

bool IsLoneSign(const QString& text) {
    return text.size() == 1 && IsSign(text.front());
}

// "1e+20" -> "1E20", "1.5e-07" -> "1.5E-7".
QString DelphiExponent(const QString& exponent) {
    QString digits = exponent;
    QString sign;
    if (!digits.isEmpty() && IsSign(digits.front())) {
        if (digits.front() == u'-') {
            sign = QStringLiteral("-");
        }
        digits.remove(0, 1);
    }
    while (digits.size() > 1 && digits.front() == u'0') {
        digits.remove(0, 1);
    }
    return QStringLiteral("E") + sign + digits;
}

}  // namespace

Separators RegionalSeparators() {
    Separators separators;
    const auto decimal = SingleCharacter(nl_langinfo(RADIXCHAR));
    if (decimal) {
        separators.decimal = *decimal;
    }
    const auto thousands = SingleCharacter(nl_langinfo(THOUSEP));
    if (thousands && *thousands != separators.decimal) {
        separators.thousands = *thousands;
    } else {
        separators.thousands = separators.decimal == u',' ? u'.' : u',';
    }
    return separators;
}

std::optional<double> Parse(const QString& text, QChar decimal) {
    const auto canonical = CanonicalForm(text, decimal);
    if (!canonical) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = strtod_l(canonical->c_str(), &end, CLocale());
    if (std::isinf(value) || end != canonical->c_str() + canonical->size()) {
        return std::nullopt;
    }
    return value;
}

QString Normalised(const QString& text, const Separators& separators) {
    QString result;
    const QString trimmed = TrimmedOfBlanks(text);
    result.reserve(trimmed.size());
    const bool dropThousands = separators.thousands != separators.decimal;
    for (QChar c : trimmed) {
        if (dropThousands && c == separators.thousands) {
            continue;
        }
        result += (c == u'.' || c == u',') ? separators.decimal : c;
    }
    return result;
}

QString General(double value, QChar decimal) {
    if (value == 0) {
        return QStringLiteral("0");  // -0 as well
    }
    char buffer[64];
    const auto written =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    const QString plain = QString::fromLatin1(buffer, written.ptr - buffer);
    const qsizetype exponentAt = plain.indexOf(u'e');
    QString mantissa = exponentAt < 0 ? plain : plain.left(exponentAt);
    mantissa.replace(u'.', decimal);
    return exponentAt < 0 ? mantissa : mantissa + DelphiExponent(plain.mid(exponentAt + 1));
}

QString General(const std::optional<double>& value, QChar decimal) {
    return value ? General(*value, decimal) : QString();
}

double Bounded(double value, double minValue, double maxValue) {
    if (minValue == maxValue) {
        return value;
    }
    if (minValue < maxValue) {
        return std::min(std::max(value, minValue), maxValue);
    }
    if (maxValue == 0) {
        return std::max(value, minValue);
    }
    if (minValue == 0) {
        return std::min(value, maxValue);
    }
    return value;
}

double Rounded(double value, int decimalPlaces) {
    const double scale = std::pow(10.0, decimalPlaces);
    const double scaled = value * scale;
    // From 2^53 on every double is whole, so there is nothing to round; scaling back would
    // only lose bits, and for the largest values the product overflows.
    if (!std::isfinite(scaled) || std::fabs(scaled) >= 0x1p53) {
        return value;
    }
    return std::nearbyint(scaled) / scale;
}

double BoundRule(double value, double minValue, double maxValue, int decimalPlaces) {
    return Rounded(Bounded(value, minValue, maxValue), decimalPlaces);
}

bool AcceptableWhileTyping(const QString& normalised, int decimalPlaces, QChar decimal) {
    if (DecimalsOf(normalised, decimal) > decimalPlaces) {
        return false;
    }
    if (normalised.isEmpty() || IsLoneSign(normalised)) {
        return true;
    }
    return OnlyNumberCharacters(normalised, decimal) && Parse(normalised, decimal).has_value();
}

bool StandsForValue(const QString& normalised, QChar decimal) {
    return normalised.isEmpty() || IsLoneSign(normalised) || Parse(normalised, decimal);
}

QString ConversionErrorText(const QString& normalised) {
    return QStringLiteral("'%1' is not a valid floating point value").arg(normalised);
}

std::optional<double> ValueOfProgramText(const QString& text, const Separators& separators) {
    const QString normalised = Normalised(text, separators);
    if (normalised.isEmpty()) {
        return std::nullopt;
    }
    const auto value = Parse(normalised, separators.decimal);
    if (!value) {
        throw Error(ConversionErrorText(normalised));
    }
    return value;
}

std::optional<double> ValueOfTypedText(const QString& text, double minValue, double maxValue,
                                       int decimalPlaces, const Separators& separators) {
    const QString normalised = Normalised(text, separators);
    if (normalised.isEmpty()) {
        return std::nullopt;
    }
    if (IsLoneSign(normalised)) {
        return 0.0;
    }
    const auto value = Parse(normalised, separators.decimal);
    if (!value) {
        return std::nullopt;
    }
    return BoundRule(*value, minValue, maxValue, decimalPlaces);
}

}  // namespace NumberText
