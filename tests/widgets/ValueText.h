#pragma once

#include <QString>
#include <cmath>
#include <limits>
#include <optional>

// Field values as text for comparisons: exact (17 digits), and readable when they differ.
inline QString ValueText(const std::optional<double>& value) {
    return value ? QString::number(*value, 'g', 17) : QStringLiteral("<empty>");
}

// Tables write the empty value as NaN.
inline const double kEmptyValue = std::numeric_limits<double>::quiet_NaN();

inline std::optional<double> FromTable(double value) {
    return std::isnan(value) ? std::nullopt : std::optional<double>(value);
}
