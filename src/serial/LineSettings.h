#pragma once
// The line-settings text "baud,parity,databits,stopbits" (e.g. "9600,n,8,2").

#include <QSerialPort>
#include <QString>

#include <optional>

namespace korvane {

struct LineSettings {
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    friend bool operator==(const LineSettings &, const LineSettings &) = default;
};

/// Parses a line-settings text: a positive baud rate; parity n, e, o, m or s
/// in either case; 5 to 8 data bits; 1, 1.5 or 2 stop bits. Blanks around
/// the fields are allowed. Anything else gives std::nullopt.
std::optional<LineSettings> parseLineSettings(const QString &text);

} // namespace korvane
