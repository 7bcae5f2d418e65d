#include "Commands.h"

#include "crc16.h"
#include "common/Numbers.h"

#include <QList>
#include <QStringView>

#include <stdexcept>
#include <string>

#include <limits>

namespace korvane {

namespace {

constexpr std::uint8_t FnReadHolding = 3;
constexpr std::uint8_t FnWriteCoil = 5;
constexpr std::uint8_t FnWriteRegisters = 16;

// Header of a function-16 request: slave, 16, start register, count, bytes.
void fillWriteRegistersHeader(ModVariables &v, std::uint8_t slave, std::uint8_t start,
                              std::uint8_t count)
{
    v.TxBuf[0] = slave;
    v.TxBuf[1] = FnWriteRegisters;
    v.TxBuf[2] = 0;
    v.TxBuf[3] = start;
    v.TxBuf[4] = 0;
    v.TxBuf[5] = count;
    v.TxBuf[6] = static_cast<std::uint8_t>(count * 2);
}

Request buildWriteCoil(ModVariables &v, std::uint8_t slave, std::uint8_t coil, bool on)
{
    v.TxBuf[0] = slave;
    v.TxBuf[1] = FnWriteCoil;
    v.TxBuf[2] = 0;
    v.TxBuf[3] = coil;
    v.TxBuf[4] = on ? 0xFF : 0x00;
    v.TxBuf[5] = 0;
    appendCRC(v, 6);
    return {8, 5};
}

} // namespace

void appendCRC(ModVariables &v, int n)
{
    CalcCRC(v, n);
    v.TxBuf[n] = hexByte(v.gCRCLo);
    v.TxBuf[n + 1] = hexByte(v.gCRCHi);
}

Request buildReadCounter(ModVariables &v, std::uint8_t slave)
{
    v.TxBuf[0] = slave;
    v.TxBuf[1] = FnReadHolding;
    v.TxBuf[2] = 0;
    v.TxBuf[3] = 0;
    v.TxBuf[4] = 0;
    v.TxBuf[5] = 2;
    appendCRC(v, 6);
    return {8, 6};
}

Request buildResetCounter(ModVariables &v, std::uint8_t slave)
{
    return buildWriteCoil(v, slave, 2, true);
}

Request buildWriteNumber(ModVariables &v, std::uint8_t slave, qint32 value)
{
    // Eight hex digits of the 32-bit two's complement, sent big-endian.
    const QString h = QStringLiteral("%1").arg(static_cast<quint32>(value), 8, 16, QLatin1Char('0')).toUpper();
    fillWriteRegistersHeader(v, slave, 0, 2);
    for (int i = 0; i < 4; ++i)
        v.TxBuf[7 + i] = hexByte(h.mid(2 * i, 2));
    appendCRC(v, 11);
    return {13, 5};
}

Request buildWriteText(ModVariables &v, std::uint8_t slave, const QString &text)
{
    fillWriteRegistersHeader(v, slave, 2, 3);
    const QByteArray t = displayTextBytes(text);
    for (int i = 0; i < 6; ++i)
        v.TxBuf[7 + i] = static_cast<std::uint8_t>(t[i]);
    appendCRC(v, 13);
    return {15, 5};
}

Request buildOutput(ModVariables &v, std::uint8_t slave, int index)
{
    static constexpr std::uint8_t coils[OutputButtonCount] = {0, 0, 1, 1, 3, 3};
    if (index < 0 || index >= OutputButtonCount)
        throw std::out_of_range("output button index " + std::to_string(index));
    return buildWriteCoil(v, slave, coils[index], index % 2 == 0);
}

QString counterValueText(const QByteArray &reply)
{
    Q_ASSERT(reply.size() >= 7);
    QString digits;
    for (int i = 3; i <= 6; ++i)
        digits += hexText(static_cast<std::uint8_t>(reply[i]));
    const auto value = static_cast<qint32>(digits.toUInt(nullptr, 16));
    return QString::number(value);
}

std::optional<qint32> parseNumber(const QString &text)
{
    const auto value = parseWholeNumber(text, std::numeric_limits<qint32>::min(),
                                        std::numeric_limits<qint32>::max());
    if (!value)
        return std::nullopt;
    return static_cast<qint32>(*value);
}

std::uint8_t toWindows1252(char32_t ch)
{
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF))
        return static_cast<std::uint8_t>(ch);
    // 0x80..0x9F of Windows-1252; 0 marks the five unassigned positions.
    static constexpr char16_t high[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
        0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
    };
    for (int i = 0; i < 32; ++i) {
        if (high[i] != 0 && high[i] == ch)
            return static_cast<std::uint8_t>(0x80 + i);
    }
    return '?';
}

QByteArray displayTextBytes(const QString &text)
{
    QList<uint> chars = text.toUcs4();
    if (chars.size() > 6)
        chars.resize(6);
    QByteArray bytes(6 - chars.size(), ' ');
    for (uint c : chars)
        bytes.append(static_cast<char>(toWindows1252(c)));
    return bytes;
}

} // namespace korvane
