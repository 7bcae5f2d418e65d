#include "modINI.h"

#include <QCoreApplication>
#include <QDir>

// Reading and writing the file are not there yet: reads give the empty text
// and writes do nothing.

namespace korvane {

QString IniFile::ReadINI(const QString &, const QString &) const { return {}; }
bool IniFile::WriteINI(const QString &, const QString &, const QString &) const { return false; }

namespace modINI {

namespace {
QString &configuredPath()
{
    static QString p;
    return p;
}
} // namespace

QString AppFolder()
{
    QString folder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    return folder;
}

QString path()
{
    return configuredPath().isEmpty() ? AppFolder() + QStringLiteral("korvane.ini") : configuredPath();
}

void setPath(const QString &p) { configuredPath() = p; }

QString ReadINI(const QString &section, const QString &key) { return IniFile(path()).ReadINI(section, key); }
bool WriteINI(const QString &section, const QString &key, const QString &value)
{
    return IniFile(path()).WriteINI(section, key, value);
}

} // namespace modINI
} // namespace korvane
