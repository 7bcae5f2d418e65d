#include "SettingsWarning.h"

namespace korvane {

SettingsWarning settingsWarning(const QString &path, bool fileFound, const QStringList &problems)
{
    const QString keys = problems.join(QStringLiteral("\n\n"));
    if (fileFound)
        return {QStringLiteral("Some settings in %1 could not be used.").arg(path), keys};
    return {QStringLiteral("The settings file %1 was not found.").arg(path),
            QStringLiteral("It will be created when KORVANE closes, with the settings chosen in the "
                           "menus and the list named below.\n\n")
                + keys};
}

} // namespace korvane
