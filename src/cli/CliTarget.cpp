#include "CliTarget.h"

#include "common/Numbers.h"
#include "protocol/SlaveAddress.h"
#include "serial/LineSettings.h"
#include "settings/SettingsLocation.h"
#include "settings/modINI.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace korvane::cli {

StoredSettings readStoredSettings(const QString &file)
{
    StoredSettings s;
    if (file.isEmpty())
        return s;
    // Read once, looked up as ReadINI looks (one open per key would cost a
    // command-line call more than its request).
    QFile f(file);
    const QByteArray contents = f.open(QIODevice::ReadOnly) ? f.read(modINI::readLimit) : QByteArray();
    auto value = [&](const char *section, const QString &key) {
        return modINI::readValue(contents, QLatin1String(section), key);
    };
    s.file = file;
    s.commPort = value("Settings", QStringLiteral("CommPort"));
    s.setting = value("Settings", QStringLiteral("Setting"));
    s.slaveId = value("Settings", QStringLiteral("SlaveID"));
    for (int i = 0; i < 6; ++i) {
        s.ports[i] = value("Ports", QStringLiteral("COM%1").arg(i + 1));
        s.echo[i] = value("Ports", QStringLiteral("COM%1Echo").arg(i + 1));
    }
    return s;
}

SettingsFileChoice chooseSettingsFileToRead(const Options &options)
{
    if (!options.settingsFile)
        return {settingsFileToRead(locateSettingsFile()), {}};
    const QString &path = *options.settingsFile;
    const QFileInfo info(path);
    const QString shown = QDir::toNativeSeparators(path);
    if (!info.exists())
        return {{}, QStringLiteral("%1: no such settings file (--settings)").arg(shown)};
    if (info.isDir())
        return {{}, QStringLiteral("%1: a folder, not a settings file (--settings)").arg(shown)};
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {{}, QStringLiteral("%1: cannot read the settings file: %2 (--settings)").arg(shown, f.errorString())};
    return {path, {}};
}

std::optional<int> comNumber(const QString &port)
{
    static const QRegularExpression com(QStringLiteral("^COM([1-6])$"), QRegularExpression::CaseInsensitiveOption);
    const auto m = com.match(port);
    return m.hasMatch() ? std::optional<int>(m.captured(1).toInt()) : std::nullopt;
}

TargetChoice chooseTarget(const Options &options, const StoredSettings &stored)
{
    const QString file = QDir::toNativeSeparators(stored.file);
    auto storedProblem = [&](const char *key, const QString &value, const QString &what, const char *option) {
        return TargetChoice{std::nullopt, QStringLiteral("%1: %2=\"%3\" %4; give %5")
                                              .arg(file, QLatin1String(key), value, what, QLatin1String(option))};
    };

    Target t;
    if (options.port) {
        if (const auto n = comNumber(*options.port)) {
            t.commPort = *n;
            t.portName = QStringLiteral("COM%1").arg(*n);
        } else if (options.port->startsWith(QLatin1String("COM"), Qt::CaseInsensitive)
                   && QRegularExpression(QStringLiteral("^[0-9]+$")).match(options.port->mid(3)).hasMatch()) {
            return {std::nullopt, QStringLiteral("--port %1: only COM1 to COM6 have a device in the settings; "
                                                 "give the device's path").arg(*options.port)};
        } else {
            // A device of its own: COM1 of this run is mapped to it.
            t.commPort = 1;
            t.device = *options.port;
            t.portName = *options.port;
        }
    } else if (!stored.commPort.isEmpty()) {
        const auto n = parseWholeNumber(stored.commPort, 1, 6);
        if (!n)
            return storedProblem("CommPort", stored.commPort, QStringLiteral("is not a port number from 1 to 6"),
                                 "--port");
        t.commPort = int(*n);
        t.portName = QStringLiteral("COM%1").arg(t.commPort);
    } else {
        t.portName = QStringLiteral("COM1");
    }
    if (t.device.isEmpty() && !(options.port && !comNumber(*options.port))) {
        t.device = stored.ports[std::size_t(t.commPort - 1)];
        t.echo = stored.echo[std::size_t(t.commPort - 1)].trimmed() == QLatin1String("1");
    }
    t.echo = t.echo || options.echo;

    // The line settings: the stored ones, with the baud rate or the format
    // that the options give in their place.
    QString baud = QStringLiteral("9600");
    QString format = QStringLiteral("n,8,2");
    if (!stored.setting.isEmpty() && !(options.baud && options.format)) {
        if (!parseLineSettings(stored.setting))
            return storedProblem("Setting", stored.setting, QStringLiteral("are not line settings such as 9600,n,8,2"),
                                 "--baud and --format");
        const qsizetype comma = stored.setting.indexOf(QLatin1Char(','));
        baud = stored.setting.left(comma).trimmed();
        format = stored.setting.mid(comma + 1).trimmed();
    }
    if (options.baud)
        baud = QString::number(*options.baud);
    if (options.format)
        format = options.format->settings;
    t.line = baud + QLatin1Char(',') + format;

    if (options.slave) {
        t.slave = std::uint8_t(*options.slave);
    } else if (!stored.slaveId.isEmpty()) {
        // Read as the window reads it; 0 would reach every device on the line.
        const auto slave = parseWholeNumber(stored.slaveId, 0, HighestSlaveAddress);
        if (!slave || *slave == 0)
            return storedProblem("SlaveID", stored.slaveId,
                                 slave ? QStringLiteral("is the broadcast address, to which korvane-cli never sends")
                                       : QStringLiteral("is not a slave address from 1 to 247"),
                                 "--slave 1 to 247");
        t.slave = std::uint8_t(*slave);
    }
    return {t, {}};
}

} // namespace korvane::cli
