#pragma once
// The device form tcp://HOST:PORT: a COM port whose serial line is reached
// through a serial device server (an Ethernet-to-serial converter in raw or
// "TCP server" mode), which passes the bytes between a TCP connection and
// its serial line unchanged. Every rule about that form is here: whether a
// device text has it, what it names, and what it means for the line
// settings.

#include <QString>

#include <optional>

namespace korvane {

/// Where a serial device server listens.
struct TcpAddress {
    QString host;      ///< a host name, an IPv4 address, or an IPv6 address (without brackets)
    quint16 port = 0;  ///< 1..65535
    bool ipv6 = false; ///< host is an IPv6 address

    /// The host for people: an IPv6 address in brackets ("[::1]").
    QString displayHost() const;

    friend bool operator==(const TcpAddress &, const TcpAddress &) = default;
};

/// Whether a device text has the tcp:// form (the scheme in any case,
/// blanks around the text ignored), well formed or not. Every other text
/// is the path of a serial device.
bool isTcpDevice(const QString &device);

/// The address that a tcp://HOST:PORT text names. HOST is a host name
/// (letters, digits, '-' and '_' in dot-separated labels), an IPv4 address
/// (four numbers 0 to 255), or an IPv6 address in brackets; PORT is a
/// number from 1 to 65535; nothing may follow it. std::nullopt for a text
/// without the form, or one that is malformed, with problem (when given)
/// saying what is wrong in a few words, e.g. "the port is missing".
std::optional<TcpAddress> parseTcpDevice(const QString &device, QString *problem = nullptr);

/// What a tcp:// device text is, for people: "serial device server
/// 192.168.1.50, TCP port 4001", or "not a valid tcp://HOST:PORT address:
/// the port is missing".
QString describeTcpDevice(const QString &device);

/// The line settings in effect on the port's serial line: the settings
/// text itself for a serial device; for a device server, which sets its
/// serial line from its own configuration, a text that says so and names
/// the stored settings.
QString lineSettingsInEffect(const QString &device, const QString &settings);

} // namespace korvane
