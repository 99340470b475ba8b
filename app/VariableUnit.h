#pragma once

#include <QString>

// The few values shared across the whole process.
namespace VariableUnit {
inline const QString kApplicationTitle = QStringLiteral("Tessivar");
}  // namespace VariableUnit
