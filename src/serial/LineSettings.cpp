#include "LineSettings.h"

#include <QStringList>

namespace korvane {

std::optional<LineSettings> parseLineSettings(const QString &text)
{
    const QStringList f = text.split(QLatin1Char(','));
    if (f.size() != 4)
        return std::nullopt;

    LineSettings s;
    bool ok = false;
    const QString baud = f[0].trimmed();
    s.baudRate = baud.toInt(&ok);
    if (!ok || s.baudRate <= 0 || baud.startsWith(QLatin1Char('+')))
        return std::nullopt;

    const QString parity = f[1].trimmed().toLower();
    if (parity == QLatin1String("n"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("e"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("o"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("m"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("s"))
        s.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    const QString data = f[2].trimmed();
    if (data == QLatin1String("5"))
        s.dataBits = QSerialPort::Data5;
    else if (data == QLatin1String("6"))
        s.dataBits = QSerialPort::Data6;
    else if (data == QLatin1String("7"))
        s.dataBits = QSerialPort::Data7;
    else if (data == QLatin1String("8"))
        s.dataBits = QSerialPort::Data8;
    else
        return std::nullopt;

    const QString stop = f[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;

    return s;
}

} // namespace korvane
