#pragma once
// Writing frames in tests: hex text to bytes, and a frame with its CRC.

#include "protocol/Commands.h"

#include <QByteArray>

namespace korvane::test {

/// Bytes from hex text; blanks between the pairs are allowed ("01 03").
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

/// The frame followed by its Modbus CRC, low byte first.
inline QByteArray withCRC(const QByteArray &frame)
{
    ModVariables v;
    for (int i = 0; i < frame.size(); ++i)
        v.TxBuf[i] = static_cast<std::uint8_t>(frame[i]);
    appendCRC(v, int(frame.size()));
    return v.TxBuf.head(int(frame.size()) + 2);
}

} // namespace korvane::test
