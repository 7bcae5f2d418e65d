#pragma once
// Which korvane.ini the program uses, so that the settings are always kept
// somewhere.
//
// - The file korvane.ini in the executable's folder whenever that folder
//   can keep it (the folder can be written, and so can the file if it is
//   there): a portable copy, the build folder, a demo folder, also a freshly
//   copied program without a file yet. A missing file is created there when
//   the settings are stored at exit. An installed program (one with the
//   installed default below and no korvane.ini of its own) never gets a
//   file in its folder, even where that folder can be written (run by root,
//   installed under ~/.local): it keeps using the per-user file.
// - Otherwise (an installed program, a portable copy on a read-only medium)
//   the per-user file korvane/korvane.ini in the user's
//   configuration folder ($XDG_CONFIG_HOME, by default ~/.config). Its folder
//   is always created, so that storing the settings at exit can create the
//   file. While the file does not exist it starts as a copy of the first of:
//   the executable's folder's own korvane.ini (a read-only portable copy
//   keeps its settings), the installed default <executable's folder>/../
//   share/korvane/korvane.ini (found relative to the executable, so that any
//   installation prefix works); with neither it starts empty (it is created
//   at exit).
// - When no configuration folder is known, the file in the executable's
//   folder is used all the same (storing the settings then says on stderr
//   what it cannot write).

#include <QString>

namespace korvane {

struct SettingsLocation {
    /// The settings file to read and write.
    QString path;
    /// The file copied to path before it is first read, because path does
    /// not exist yet; empty when nothing is copied.
    QString seedFrom;

    bool operator==(const SettingsLocation &) const = default;
};

/// What the choice depends on. Folders may end in a separator or not.
struct SettingsFacts {
    QString appFolder;              ///< the executable's folder
    QString configFolder;           ///< the user's configuration folder; empty when unknown
    bool appFolderWritable = false; ///< the folder can be written, and so can its korvane.ini if present
    bool appFileExists = false;     ///< <appFolder>/korvane.ini exists
    bool userFileExists = false;    ///< <configFolder>/korvane/korvane.ini exists
    bool defaultExists = false;     ///< <appFolder>/../share/korvane/korvane.ini exists
};

/// The choice itself, from the facts alone (nothing is looked up). Paths
/// use '/' separators, without doubled separators.
SettingsLocation chooseSettingsFile(const SettingsFacts &facts);

/// The per-user file in configFolder, and the installed default for an
/// executable in appFolder (the two candidate paths the choice names).
QString userSettingsFile(const QString &configFolder);
QString installedDefaultFile(const QString &appFolder);

/// Makes the chosen file ready to be read and later written: creates its
/// folder and, when seedFrom is set and the file still does not exist,
/// copies seedFrom there, writable by its owner. Returns false when the
/// folder or the copy could not be made (said on stderr); the seed file is
/// never changed.
bool makeSettingsFileReady(const SettingsLocation &where);

/// The facts for chooseSettingsFile(), looked up on disk; nothing changes.
SettingsFacts lookUpSettingsFacts(const QString &appFolder, const QString &configFolder);

/// The choice for the running program (its executable's folder, the
/// platform's configuration folder), looked up without creating, copying
/// or writing anything: for a program that only reads the settings.
SettingsLocation locateSettingsFile();

/// The file that holds the settings a reader would find at where: its
/// path where that file exists, else the file it would be seeded from;
/// empty when there is neither (the defaults apply).
QString settingsFileToRead(const SettingsLocation &where);

/// Looks up the facts for chooseSettingsFile() and makes the chosen file
/// ready (makeSettingsFileReady()). The location is returned in every case.
SettingsLocation prepareSettingsFile(const QString &appFolder, const QString &configFolder);

/// prepareSettingsFile() for the running program: the executable's folder
/// and the platform's configuration folder ($XDG_CONFIG_HOME or ~/.config).
SettingsLocation prepareSettingsFile();

} // namespace korvane
