#pragma once
// The Modbus RTU CRC-16 over the head of the frame buffer, and the CRC
// check of a received reply. The result is handed over as two upper-case
// hexadecimal texts (gCRCLo, gCRCHi) in the shared state.

#include "common/modVariables.h"

#include <QByteArrayView>

#include <cstdint>

namespace korvane {

/// Computes the CRC over TxBuf[0..n-1] into gCRCLo and gCRCHi.
/// Throws std::out_of_range when the bytes reach beyond TxBuf[20].
void CalcCRC(ModVariables &v, int n);

/// True when RxData[k+1] (low) and RxData[k+2] (high) hold the CRC of
/// RxData[0..k]. Copies RxData[0..k] into TxBuf on the way, so afterwards
/// gCRCLo/gCRCHi hold the reply's CRC. A reply shorter than k+3 bytes fails
/// the check without being read past its end.
bool CheckCRC(ModVariables &v, int k);

/// The Modbus CRC-16 of bytes, as a number: the frame carries its low byte
/// first. The same value CalcCRC gives as text.
std::uint16_t crc16(QByteArrayView bytes);

/// True when bytes is at least four long and its last two bytes are the
/// CRC of those before them (low byte first).
bool frameCrcGood(QByteArrayView bytes);

/// The byte value of a hexadecimal text ("&H" + text): "0A" -> 10.
std::uint8_t hexByte(const QString &hex);

/// Two upper-case hexadecimal digits for a byte: 10 -> "0A".
QString hexText(std::uint8_t byte);

} // namespace korvane
