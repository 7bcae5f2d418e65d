#include "SettingsLocation.h"

#include "modINI.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace korvane {

namespace {
const QString fileName = QStringLiteral("korvane.ini");

// folder/name with exactly one '/' between them, also for the root folder.
QString joined(const QString &folder, const QString &name)
{
    const QString f = QDir::cleanPath(QDir::fromNativeSeparators(folder));
    return f.endsWith(u'/') ? f + name : f + u'/' + name;
}
} // namespace

QString userSettingsFile(const QString &configFolder)
{
    return joined(configFolder, QStringLiteral("korvane/") + fileName);
}

QString installedDefaultFile(const QString &appFolder)
{
    QString path = QDir::cleanPath(joined(appFolder, QStringLiteral("../share/korvane/") + fileName));
    // The root folder is its own parent.
    while (path.startsWith(QLatin1String("/../")))
        path.remove(0, 3);
    return path;
}

SettingsLocation chooseSettingsFile(const SettingsFacts &facts)
{
    const QString appFile = joined(facts.appFolder, fileName);
    // An installed program keeps the per-user file even where its folder
    // can be written (run by root, or installed under ~/.local), so that
    // no file appears in bin/ and the user's settings stay in use.
    const bool installed = facts.defaultExists && !facts.appFileExists;
    if ((facts.appFolderWritable && !installed) || facts.configFolder.isEmpty())
        return {appFile, {}};
    const QString userFile = userSettingsFile(facts.configFolder);
    if (facts.userFileExists)
        return {userFile, {}};
    if (facts.appFileExists)
        return {userFile, appFile};
    if (facts.defaultExists)
        return {userFile, installedDefaultFile(facts.appFolder)};
    return {userFile, {}};
}

bool makeSettingsFileReady(const SettingsLocation &where)
{
    const QString target = QDir::toNativeSeparators(where.path);
    const QString folder = QFileInfo(where.path).absolutePath();
    if (!QDir().mkpath(folder)) {
        qWarning("%s: cannot create the settings file's folder", qPrintable(target));
        return false;
    }
    if (where.seedFrom.isEmpty() || QFileInfo::exists(where.path))
        return true;
    QFile source(where.seedFrom);
    if (!source.copy(where.path)) {
        qWarning("%s: cannot create the settings file from %s: %s", qPrintable(target),
                 qPrintable(QDir::toNativeSeparators(where.seedFrom)), qPrintable(source.errorString()));
        return false;
    }
    // The copy keeps the source's permissions, which may forbid writing.
    QFile::setPermissions(where.path, QFile::permissions(where.path) | QFile::ReadOwner | QFile::WriteOwner);
    return true;
}

SettingsFacts lookUpSettingsFacts(const QString &appFolder, const QString &configFolder)
{
    const QFileInfo appFile(joined(appFolder, fileName));
    SettingsFacts facts;
    facts.appFolder = appFolder;
    facts.configFolder = configFolder;
    // A korvane.ini that is not a file (a folder of that name) cannot be
    // written either.
    facts.appFolderWritable = QFileInfo(appFolder).isWritable()
        && (!appFile.exists() || (appFile.isFile() && appFile.isWritable()));
    facts.appFileExists = appFile.isFile();
    facts.userFileExists = !configFolder.isEmpty() && QFileInfo::exists(userSettingsFile(configFolder));
    facts.defaultExists = QFileInfo(installedDefaultFile(appFolder)).isFile();
    return facts;
}

SettingsLocation locateSettingsFile()
{
    return chooseSettingsFile(lookUpSettingsFacts(
        modINI::AppFolder(), QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)));
}

QString settingsFileToRead(const SettingsLocation &where)
{
    if (QFileInfo::exists(where.path))
        return where.path;
    if (!where.seedFrom.isEmpty() && QFileInfo::exists(where.seedFrom))
        return where.seedFrom;
    return {};
}

SettingsLocation prepareSettingsFile(const QString &appFolder, const QString &configFolder)
{
    const SettingsLocation where = chooseSettingsFile(lookUpSettingsFacts(appFolder, configFolder));
    makeSettingsFileReady(where);
    return where;
}

SettingsLocation prepareSettingsFile()
{
    return prepareSettingsFile(modINI::AppFolder(),
                               QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

} // namespace korvane
