#include "widgets/NumberText.h"

#include "platform/Error.h"

namespace NumberText {

std::optional<double> Parse(const QString& text) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok) {
        return std::nullopt;
    }
    return value;
}

QString General(double value) { return QString::number(value, 'g', 15); }

std::optional<double> ValueOfProgramText(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return std::nullopt;
    }
    const auto value = Parse(trimmed);
    if (!value) {
        throw Error(QStringLiteral("'%1' is not a valid floating point value").arg(trimmed));
    }
    return value;
}

}  // namespace NumberText
