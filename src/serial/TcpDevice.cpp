#include "TcpDevice.h"

#include <QHostAddress>
#include <QStringList>

namespace korvane {

namespace {

const QLatin1String Scheme("tcp://");

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool allDigits(QStringView text)
{
    for (QChar c : text) {
        if (!isDigit(c))
            return false;
    }
    return true;
}

std::optional<quint16> parsePort(QStringView text, QString &problem)
{
    if (text.isEmpty()) {
        problem = QStringLiteral("the port is missing");
        return std::nullopt;
    }
    if (!allDigits(text)) {
        problem = QStringLiteral("\"%1\" is not a port number (1 to 65535)").arg(text);
        return std::nullopt;
    }
    qsizetype first = 0;
    while (first < text.size() - 1 && text[first] == QLatin1Char('0'))
        ++first;
    const QStringView digits = text.mid(first);
    const uint value = digits.size() <= 5 ? digits.toUInt() : 0;
    if (digits.size() > 5 || value == 0 || value > 65535) {
        problem = QStringLiteral("port %1 is outside 1 to 65535").arg(text);
        return std::nullopt;
    }
    return quint16(value);
}

// Four decimal numbers 0..255, written back without leading zeros (which
// some resolvers would read as octal).
std::optional<QString> parseIpv4(QStringView text)
{
    const QList<QStringView> parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    QStringList out;
    for (QStringView part : parts) {
        if (part.isEmpty() || part.size() > 3 || !allDigits(part) || part.toUInt() > 255)
            return std::nullopt;
        out << QString::number(part.toUInt());
    }
    return out.join(QLatin1Char('.'));
}

bool isHostName(QStringView text)
{
    QStringView name = text;
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name.isEmpty() || name.size() > 253)
        return false;
    for (QStringView label : name.split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-'))
            || label.endsWith(QLatin1Char('-')))
            return false;
        for (QChar c : label) {
            const bool letter = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
                || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
            if (!letter && !isDigit(c) && c != QLatin1Char('-') && c != QLatin1Char('_'))
                return false;
        }
    }
    return true;
}

std::optional<TcpAddress> parse(const QString &device, QString &problem)
{
    const QString text = device.trimmed();
    if (!text.startsWith(Scheme, Qt::CaseInsensitive)) {
        problem = QStringLiteral("it does not begin with tcp://");
        return std::nullopt;
    }
    const QStringView rest = QStringView(text).mid(Scheme.size());
    if (rest.isEmpty()) {
        problem = QStringLiteral("the host and the port are missing");
        return std::nullopt;
    }
    TcpAddress a;
    QStringView portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0) {
            problem = QStringLiteral("the ] that closes the IPv6 address is missing");
            return std::nullopt;
        }
        const QString inside = rest.mid(1, close - 1).toString();
        QHostAddress address;
        if (inside.isEmpty() || !address.setAddress(inside)
            || address.protocol() != QAbstractSocket::IPv6Protocol) {
            problem = QStringLiteral("\"[%1]\" is not an IPv6 address").arg(inside);
            return std::nullopt;
        }
        const QStringView after = rest.mid(close + 1);
        if (after.isEmpty()) {
            problem = QStringLiteral("the port is missing");
            return std::nullopt;
        }
        if (!after.startsWith(QLatin1Char(':'))) {
            problem = QStringLiteral("the port must follow the ] after a colon, as in tcp://[::1]:502");
            return std::nullopt;
        }
        a.host = inside;
        a.ipv6 = true;
        portText = after.mid(1);
    } else {
        const qsizetype colon = rest.indexOf(QLatin1Char(':'));
        if (colon < 0) {
            problem = QStringLiteral("the port is missing");
            return std::nullopt;
        }
        if (rest.indexOf(QLatin1Char(':'), colon + 1) >= 0) {
            problem = QStringLiteral("an IPv6 address must stand in brackets, as in tcp://[::1]:502");
            return std::nullopt;
        }
        const QStringView host = rest.left(colon);
        if (host.isEmpty()) {
            problem = QStringLiteral("the host is missing");
            return std::nullopt;
        }
        bool numeric = true;
        for (QChar c : host)
            numeric = numeric && (isDigit(c) || c == QLatin1Char('.'));
        if (numeric) {
            const auto ipv4 = parseIpv4(host);
            if (!ipv4) {
                problem = QStringLiteral("\"%1\" is not an IPv4 address (four numbers from 0 to 255)").arg(host);
                return std::nullopt;
            }
            a.host = *ipv4;
        } else if (isHostName(host)) {
            a.host = host.toString();
        } else {
            problem = QStringLiteral("\"%1\" is not a host name (letters, digits and '-' between dots)").arg(host);
            return std::nullopt;
        }
        portText = rest.mid(colon + 1);
    }
    const auto port = parsePort(portText, problem);
    if (!port)
        return std::nullopt;
    a.port = *port;
    return a;
}

} // namespace

QString TcpAddress::displayHost() const
{
    return ipv6 ? QLatin1Char('[') + host + QLatin1Char(']') : host;
}

bool isTcpDevice(const QString &device)
{
    return device.trimmed().startsWith(Scheme, Qt::CaseInsensitive);
}

std::optional<TcpAddress> parseTcpDevice(const QString &device, QString *problem)
{
    QString why;
    auto address = parse(device, why);
    if (problem)
        *problem = address ? QString() : why;
    return address;
}

QString describeTcpDevice(const QString &device)
{
    QString problem;
    const auto address = parseTcpDevice(device, &problem);
    if (!address)
        return QStringLiteral("not a valid tcp://HOST:PORT address: %1").arg(problem);
    return QStringLiteral("serial device server %1, TCP port %2").arg(address->displayHost()).arg(address->port);
}

QString lineSettingsInEffect(const QString &device, const QString &settings)
{
    if (!isTcpDevice(device))
        return settings;
    return QStringLiteral("the server's line settings (%1 stored)").arg(settings);
}

} // namespace korvane
