#pragma once
// Which korvane.ini the program uses.
//
// - The file korvane.ini in the executable's folder, when it exists and both
//   it and the folder can be written (a portable copy, the build folder, a
//   demo folder): the settings stay with the program.
// - Otherwise (an installed program, e.g. under /usr/bin) the per-user file
//   korvane/korvane.ini in the user's configuration folder ($XDG_CONFIG_HOME,
//   by default ~/.config). When it is missing it is created on first start as
//   a copy of the installed default, <executable's folder>/../share/korvane/
//   korvane.ini, found relative to the executable so that any installation
//   prefix works. Without that default nothing is created, and start-up
//   reports the settings it cannot find.
// - When no configuration folder is known, the file in the executable's
//   folder is used all the same (start-up then reports what it cannot read,
//   and storing the settings reports what it cannot write).

#include <QString>

namespace korvane {

struct SettingsLocation {
    /// The settings file to read and write.
    QString path;
    /// The installed default copied to path when path does not exist yet;
    /// empty when path is never created from a default.
    QString defaultPath;

    bool operator==(const SettingsLocation &) const = default;
};

/// The choice itself, from the facts alone (nothing is looked up):
/// appFolder: the executable's folder; appFileUsable: korvane.ini exists
/// there and both it and the folder are writable; configFolder: the user's
/// configuration folder (empty when unknown). Paths use '/' separators.
SettingsLocation chooseSettingsFile(const QString &appFolder, bool appFileUsable, const QString &configFolder);

/// Looks up the facts for chooseSettingsFile() and, where the chosen file is
/// missing and the default exists, creates it (and its folder) as a copy of
/// the default, writable by its owner. A copy that fails is reported on
/// stderr; the location is returned all the same.
SettingsLocation prepareSettingsFile(const QString &appFolder, const QString &configFolder);

/// prepareSettingsFile() for the running program: the executable's folder
/// and the platform's configuration folder ($XDG_CONFIG_HOME or ~/.config).
SettingsLocation prepareSettingsFile();

} // namespace korvane
