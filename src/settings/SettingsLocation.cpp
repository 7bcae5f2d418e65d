#include "SettingsLocation.h"

#include "modINI.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace korvane {

namespace {
const QString fileName = QStringLiteral("korvane.ini");

QString folderPath(const QString &folder)
{
    return QDir::cleanPath(QDir::fromNativeSeparators(folder));
}
} // namespace

SettingsLocation chooseSettingsFile(const QString &appFolder, bool appFileUsable, const QString &configFolder)
{
    const QString app = folderPath(appFolder);
    if (appFileUsable || configFolder.isEmpty())
        return {app + u'/' + fileName, {}};
    return {folderPath(configFolder) + QStringLiteral("/korvane/") + fileName,
            QDir::cleanPath(app + QStringLiteral("/../share/korvane/") + fileName)};
}

SettingsLocation prepareSettingsFile(const QString &appFolder, const QString &configFolder)
{
    const QFileInfo appFile(QDir(appFolder).filePath(fileName));
    const bool usable = appFile.isFile() && appFile.isWritable() && QFileInfo(appFolder).isWritable();
    const SettingsLocation where = chooseSettingsFile(appFolder, usable, configFolder);

    if (where.defaultPath.isEmpty() || QFileInfo::exists(where.path) || !QFileInfo(where.defaultPath).isFile())
        return where;
    const QString folder = QFileInfo(where.path).absolutePath();
    QFile source(where.defaultPath);
    if (!QDir().mkpath(folder) || !source.copy(where.path)) {
        qWarning("%s: cannot create the settings file from %s: %s", qPrintable(QDir::toNativeSeparators(where.path)),
                 qPrintable(QDir::toNativeSeparators(where.defaultPath)),
                 qPrintable(QDir().exists(folder) ? source.errorString() : QStringLiteral("cannot create its folder")));
        return where;
    }
    // The copy keeps the default's permissions, which may forbid writing.
    QFile::setPermissions(where.path, QFile::permissions(where.path) | QFile::ReadOwner | QFile::WriteOwner);
    return where;
}

SettingsLocation prepareSettingsFile()
{
    return prepareSettingsFile(modINI::AppFolder(),
                               QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

} // namespace korvane
