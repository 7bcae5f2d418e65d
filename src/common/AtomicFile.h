#pragma once
// Replacing a file's contents as a whole: a temporary file beside it is
// written and renamed over it, so that a reader finds the old contents or
// the new ones, never a part.

#include <QByteArray>
#include <QString>

#include <optional>

namespace korvane {

/// Writes bytes to path, replacing the file atomically (or creating it).
/// On failure the reason, the old file untouched and no temporary file
/// left behind.
std::optional<QString> replaceFile(const QString &path, const QByteArray &bytes);

} // namespace korvane
