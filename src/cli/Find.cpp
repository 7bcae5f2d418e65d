#include "Find.h"

#include "common/Numbers.h"
#include "protocol/SlaveAddress.h"
#include "serial/LineSettings.h"
#include "serial/SerialComponent.h"

namespace korvane::cli {

namespace {
SearchPort searchPort(const QString &port, const Options &o, const StoredSettings &stored)
{
    SearchPort p;
    if (const auto n = comNumber(port)) {
        p.commPort = *n;
        const QString mapped = stored.ports[std::size_t(*n - 1)];
        p.device = mapped.isEmpty() ? SerialComponent::defaultPortDevice(*n) : mapped;
        p.removeEcho = o.echo || stored.echo[std::size_t(*n - 1)].trimmed() == QLatin1String("1");
    } else {
        p.device = port;
        p.removeEcho = o.echo;
    }
    return p;
}
} // namespace

FindChoice findOptions(const Options &o, const StoredSettings &stored)
{
    FindChoice c;
    SearchOptions &s = c.options;
    QStringList ports = o.ports;
    if (ports.isEmpty() && o.port)
        ports << *o.port;
    if (ports.isEmpty()) {
        const auto n = stored.commPort.isEmpty() ? std::optional<qint64>(1) : parseWholeNumber(stored.commPort, 1, 6);
        if (!n) {
            c.error = QStringLiteral("%1: CommPort=\"%2\" is not a port number from 1 to 6; give --ports or --port")
                          .arg(stored.file, stored.commPort);
            return c;
        }
        ports << QStringLiteral("COM%1").arg(*n);
    }
    for (const QString &port : std::as_const(ports)) {
        if (port.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) && !comNumber(port)
            && port.mid(3).toInt() > 0) {
            c.error = QStringLiteral("%1: only COM1 to COM6 have a device in the settings; give the device's path")
                          .arg(port);
            return c;
        }
        s.ports << searchPort(port, o, stored);
    }
    if (!o.bauds.isEmpty())
        s.bauds = o.bauds;
    if (!o.formats.isEmpty()) {
        s.formats.clear();
        for (const LineFormat &f : o.formats)
            s.formats << f.name;
    }
    s.firstAddress = o.firstAddress;
    s.lastAddress = o.lastAddress;
    s.probeWaitMs = o.waitMs;
    s.stopAtFirst = !o.all;

    // What is in use is tried first, where it can be used at all.
    if (o.slave)
        s.currentAddress = *o.slave;
    else if (const auto slave = parseWholeNumber(stored.slaveId, 1, HighestSlaveAddress))
        s.currentAddress = int(*slave);
    QString baud = QStringLiteral("9600"), format = QStringLiteral("n,8,2");
    if (parseLineSettings(stored.setting)) {
        const qsizetype comma = stored.setting.indexOf(QLatin1Char(','));
        baud = stored.setting.left(comma).trimmed();
        format = stored.setting.mid(comma + 1).trimmed().toLower();
    }
    if (o.baud)
        baud = QString::number(*o.baud);
    if (o.format)
        format = o.format->settings;
    s.currentSettings = baud + QLatin1Char(',') + format;

    if (const auto why = whyNotSearchable(s))
        c.error = *why;
    return c;
}

QString searchPortName(int commPort, const QString &device)
{
    return commPort > 0 ? QStringLiteral("COM%1").arg(commPort) : device;
}

QString foundLine(const FoundDevice &d)
{
    const QString line = d.baud > 0 ? QStringLiteral("%1 %2").arg(d.baud).arg(d.format)
                                    : QStringLiteral("line set by the server");
    return QStringLiteral("found: %1  slave %2  %3  counter %4%5")
        .arg(portName(d.commPort, d.device))
        .arg(d.slave)
        .arg(line)
        .arg(d.counter)
        .arg(d.echo ? QStringLiteral("  (after its echo)") : QString());
}

JsonFields foundFields(const FoundDevice &d)
{
    const QString line = d.baud > 0 ? lineSettingsText(d.baud, d.format) : QString();
    return {
        {QStringLiteral("time"), isoTime(QDateTime::currentDateTime())},
        {QStringLiteral("port"), searchPortName(d.commPort, d.device)},
        {QStringLiteral("device"), d.device},
        {QStringLiteral("slave"), d.slave},
        {QStringLiteral("line"), line.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(line)},
        {QStringLiteral("command"), QStringLiteral("find")},
        {QStringLiteral("found"), true},
        {QStringLiteral("baud"), d.baud > 0 ? QJsonValue(d.baud) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("format"), d.format.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(d.format)},
        {QStringLiteral("value"), d.counter},
        {QStringLiteral("reply_ms"), d.replyMs >= 0 ? QJsonValue(d.replyMs) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("echo"), d.echo},
    };
}

JsonFields verdictFields(const PortReport &r)
{
    return {
        {QStringLiteral("time"), isoTime(QDateTime::currentDateTime())},
        {QStringLiteral("port"), searchPortName(r.commPort, r.device)},
        {QStringLiteral("device"), r.device},
        {QStringLiteral("command"), QStringLiteral("find")},
        {QStringLiteral("verdict"), portVerdict(r)},
        {QStringLiteral("searched"), !r.unusable.has_value()},
        {QStringLiteral("devices"), int(r.devices.size())},
        {QStringLiteral("probes"), r.probesDone},
        {QStringLiteral("planned"), r.probesPlanned},
    };
}

int findExitCode(const SearchReport &r)
{
    if (!r.devices.isEmpty())
        return 0;
    return r.anyPortSearched() ? 1 : 4;
}

} // namespace korvane::cli
