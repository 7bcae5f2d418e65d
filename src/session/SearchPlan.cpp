#include "SearchPlan.h"

#include "serial/LineSettings.h"
#include "serial/TcpDevice.h"

#include <QSet>

#include <algorithm>
#include <cmath>

namespace korvane {

namespace {

struct FormatEntry {
    const char *name;
    const char *text;
};
constexpr FormatEntry Formats[] = {{"8N2", "n,8,2"}, {"8E1", "e,8,1"}, {"8O1", "o,8,1"}};

bool knownBaud(int baud)
{
    return std::find(std::begin(SearchBauds), std::end(SearchBauds), baud) != std::end(SearchBauds);
}

// A device as the port opens it: a bare name lies in /dev.
QString deviceKey(const SearchPort &port)
{
    const QString device = port.device.trimmed();
    if (device.isEmpty())
        return QStringLiteral("COM%1").arg(port.commPort);
    if (isTcpDevice(device))
        return device.toLower();
    return device.contains(QLatin1Char('/')) ? device : QStringLiteral("/dev/") + device;
}

QString portLabel(const SearchPort &port)
{
    if (port.device.trimmed().isEmpty())
        return QStringLiteral("COM%1").arg(port.commPort);
    return port.commPort > 0 ? QStringLiteral("COM%1 (%2)").arg(port.commPort).arg(port.device) : port.device;
}

} // namespace

QStringList searchFormatNames()
{
    QStringList names;
    for (const FormatEntry &f : Formats)
        names << QLatin1String(f.name);
    return names;
}

QString lineSettingsText(int baud, const QString &format)
{
    for (const FormatEntry &f : Formats) {
        if (format.compare(QLatin1String(f.name), Qt::CaseInsensitive) == 0)
            return QStringLiteral("%1,%2").arg(baud).arg(QLatin1String(f.text));
    }
    return {};
}

QString formatName(const QString &settings)
{
    const auto line = parseLineSettings(settings);
    if (!line)
        return {};
    QChar parity = QLatin1Char('N');
    switch (line->parity) {
    case QSerialPort::EvenParity: parity = QLatin1Char('E'); break;
    case QSerialPort::OddParity: parity = QLatin1Char('O'); break;
    case QSerialPort::MarkParity: parity = QLatin1Char('M'); break;
    case QSerialPort::SpaceParity: parity = QLatin1Char('S'); break;
    default: break;
    }
    const QString stop = line->stopBits == QSerialPort::TwoStop          ? QStringLiteral("2")
                         : line->stopBits == QSerialPort::OneAndHalfStop ? QStringLiteral("1.5")
                                                                         : QStringLiteral("1");
    return QStringLiteral("%1%2%3").arg(int(line->dataBits)).arg(parity).arg(stop);
}

int baudOf(const QString &settings)
{
    const auto line = parseLineSettings(settings);
    return line ? int(line->baudRate) : 0;
}

std::optional<QString> whyNotSearchable(const SearchOptions &o)
{
    if (o.ports.isEmpty())
        return QStringLiteral("Choose at least one port to search.");
    QSet<QString> seen;
    for (const SearchPort &p : o.ports) {
        if (p.device.trimmed().isEmpty() && (p.commPort < 1 || p.commPort > 6))
            return QStringLiteral("A port to search has no device.");
        if (seen.contains(deviceKey(p)))
            return QStringLiteral("%1 is listed twice.").arg(portLabel(p));
        seen.insert(deviceKey(p));
    }
    if (o.bauds.isEmpty())
        return QStringLiteral("Choose at least one baud rate.");
    for (const int baud : o.bauds) {
        if (!knownBaud(baud))
            return QStringLiteral("%1 bps is not a baud rate the search tries (4800, 9600 or 19200).").arg(baud);
    }
    if (o.formats.isEmpty())
        return QStringLiteral("Choose at least one data format.");
    for (const QString &format : o.formats) {
        if (lineSettingsText(9600, format).isEmpty())
            return QStringLiteral("\"%1\" is not a data format the search tries (8N2, 8E1 or 8O1).").arg(format);
    }
    if (o.firstAddress < 1 || o.firstAddress > 247 || o.lastAddress < 1 || o.lastAddress > 247)
        return QStringLiteral("Addresses run from 1 to 247 (0 would reach every device at once and is never "
                              "probed): %1 to %2 is outside.")
            .arg(o.firstAddress)
            .arg(o.lastAddress);
    if (o.firstAddress > o.lastAddress)
        return QStringLiteral("The first address (%1) is above the last (%2).").arg(o.firstAddress).arg(o.lastAddress);
    if (o.probeWaitMs <= 0)
        return QStringLiteral("The probe wait must be at least 1 ms.");
    return std::nullopt;
}

QStringList settingsOrder(const SearchOptions &o)
{
    const auto current = parseLineSettings(o.currentSettings);
    const QString currentFormat = formatName(o.currentSettings);
    const int currentBaud = current ? int(current->baudRate) : 0;

    QStringList formats;
    for (const QString &f : o.formats) {
        const QString name = f.toUpper();
        if (!formats.contains(name))
            formats << name;
    }
    QList<int> bauds;
    for (const int b : o.bauds) {
        if (!bauds.contains(b))
            bauds << b;
    }
    // The current one first in each list; the rest keep the order chosen.
    if (formats.removeAll(currentFormat) > 0)
        formats.prepend(currentFormat);
    if (bauds.removeAll(currentBaud) > 0)
        bauds.prepend(currentBaud);

    QStringList order;
    for (const QString &format : std::as_const(formats)) {
        for (const int baud : std::as_const(bauds))
            order << lineSettingsText(baud, format);
    }
    return order;
}

QList<Probe> probeOrder(const SearchOptions &o, bool lineSettings)
{
    const QStringList settings = lineSettings ? settingsOrder(o) : QStringList{QString()};
    QList<Probe> probes;
    if (settings.isEmpty() || o.firstAddress > o.lastAddress)
        return probes;
    probes.reserve((o.lastAddress - o.firstAddress + 1) * settings.size());
    const bool currentFirst = o.currentAddress >= o.firstAddress && o.currentAddress <= o.lastAddress
                              && o.currentAddress >= 1;
    const Probe first{o.currentAddress, settings.first()};
    if (currentFirst)
        probes << first;
    for (int address = std::max(1, o.firstAddress); address <= o.lastAddress; ++address) {
        for (const QString &s : settings) {
            const Probe p{address, s};
            if (!(currentFirst && p == first))
                probes << p;
        }
    }
    return probes;
}

int leastProbeWaitMs(int baud)
{
    if (baud <= 0)
        return 0;
    constexpr double bitsPerChar = 11;
    constexpr double chars = 8 + 9 + 3.5;
    return int(std::ceil(chars * bitsPerChar * 1000.0 / baud + 5.0));
}

int probeWaitMs(int requestedMs, int baud)
{
    return std::max(requestedMs, leastProbeWaitMs(baud));
}

QList<RaisedWait> raisedWaits(const SearchOptions &o)
{
    QList<RaisedWait> raised;
    QList<int> bauds = o.bauds;
    std::sort(bauds.begin(), bauds.end());
    bauds.erase(std::unique(bauds.begin(), bauds.end()), bauds.end());
    for (const int baud : std::as_const(bauds)) {
        const int wait = probeWaitMs(o.probeWaitMs, baud);
        if (wait > o.probeWaitMs)
            raised << RaisedWait{baud, wait};
    }
    return raised;
}

} // namespace korvane
