#include "crc16.h"

namespace korvane {

void CalcCRC(ModVariables &v, int n)
{
    v.gCRC = -1;
    for (int i = 0; i != n; ++i) {
        v.gCRC ^= v.TxBuf[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = (v.gCRC & 1) != 0;
            if (carry)
                v.gCRC -= 1;
            // Halving a value whose bit 0 is clear is exact; the AND drops
            // whatever the sign extension put above bit 14.
            v.gCRC = (v.gCRC / 2) & 0x7FFF;
            if (carry)
                v.gCRC ^= static_cast<qint32>(0xFFFFA001u);
        }
    }
    QString h = QString::number(static_cast<quint32>(v.gCRC), 16).toUpper();
    if (h.size() > 4)
        h = h.right(4);
    while (h.size() != 4)
        h.prepend(QLatin1Char('0'));
    v.gCRCLo = h.right(2);
    v.gCRCHi = h.left(2);
}

bool CheckCRC(ModVariables &v, int k)
{
    if (k < 0 || v.RxData.size() < qsizetype(k) + 3)
        return false;
    for (int c = 0; c <= k; ++c)
        v.TxBuf[c] = static_cast<std::uint8_t>(v.RxData[c]);
    CalcCRC(v, k + 1);
    const QString lo = hexText(static_cast<std::uint8_t>(v.RxData[k + 1]));
    const QString hi = hexText(static_cast<std::uint8_t>(v.RxData[k + 2]));
    return hi == v.gCRCHi && lo == v.gCRCLo;
}

std::uint16_t crc16(QByteArrayView bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
    }
    return crc;
}

bool frameCrcGood(QByteArrayView bytes)
{
    if (bytes.size() < 4)
        return false;
    const std::uint16_t crc = crc16(bytes.first(bytes.size() - 2));
    return static_cast<std::uint8_t>(bytes[bytes.size() - 2]) == (crc & 0xFF)
        && static_cast<std::uint8_t>(bytes[bytes.size() - 1]) == (crc >> 8);
}

std::uint8_t hexByte(const QString &hex)
{
    bool ok = false;
    const uint value = hex.toUInt(&ok, 16);
    Q_ASSERT(ok && value <= 0xFF);
    return static_cast<std::uint8_t>(value);
}

QString hexText(std::uint8_t byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace korvane
