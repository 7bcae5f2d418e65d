#pragma once
// The start-up warning about settings that could not be used: its heading
// and the text above the list of keys, so that a missing file is said
// plainly rather than as a list of empty values.

#include <QString>
#include <QStringList>

namespace korvane {

struct SettingsWarning {
    QString text;            ///< the heading: which file, and what is wrong with it
    QString informativeText; ///< what happens next, then one paragraph per key
};

/// path: the settings file as shown to people. fileFound: whether it
/// existed at start-up. problems: one paragraph per key that could not be
/// used, each naming the menu or list that sets it (so the lead-in above
/// them does not say that again).
SettingsWarning settingsWarning(const QString &path, bool fileFound, const QStringList &problems);

} // namespace korvane
