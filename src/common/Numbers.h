#pragma once
// Whole numbers written as text: in the settings file and in the window.

#include <QString>

#include <optional>

namespace korvane {

/// A whole number within [min, max]: optional blanks around it, an optional
/// "+" or "-", then decimal digits (ASCII only). Anything else, or a value
/// outside the range, gives std::nullopt.
std::optional<qint64> parseWholeNumber(const QString &text, qint64 min, qint64 max);

} // namespace korvane
