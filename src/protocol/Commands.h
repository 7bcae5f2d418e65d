#pragma once
// The device's command set: each builder fills TxBuf from index 0 with one
// request, appends its CRC (low byte first) and says how long the frame is
// and which reply byte the CRC check ends at.

#include "common/modVariables.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace korvane {

struct Request {
    int length = 0;      ///< L: bytes of TxBuf to send
    int checkIndex = 0;  ///< k: last reply byte covered by the reply's CRC
};

/// Read holding registers 0-1 (the counter): slave 03 00 00 00 02 CRC.
Request buildReadCounter(ModVariables &v, std::uint8_t slave);
/// Write ON to coil 2 (counter reset): slave 05 00 02 FF 00 CRC.
Request buildResetCounter(ModVariables &v, std::uint8_t slave);
/// Write the number into registers 0-1, high word first (function 16).
Request buildWriteNumber(ModVariables &v, std::uint8_t slave, qint32 value);
/// Write six characters into registers 2-4 (function 16), as
/// displayTextBytes() gives them.
Request buildWriteText(ModVariables &v, std::uint8_t slave, const QString &text);

/// The six output buttons: index 0..5 -> coil 0, 0, 1, 1, 3, 3 set ON (even
/// index) or OFF (odd index).
constexpr int OutputButtonCount = 6;
Request buildOutput(ModVariables &v, std::uint8_t slave, int index);

/// Appends the CRC of TxBuf[0..n-1] at TxBuf[n] (low) and TxBuf[n+1] (high).
void appendCRC(ModVariables &v, int n);

/// The counter value of a good counter reply (RxData[3..6], big-endian,
/// signed 32-bit) as plain decimal text. Needs at least 7 bytes.
QString counterValueText(const QByteArray &reply);

/// A number as typed into the numeric field: optional blanks around it, an
/// optional "+" or "-", decimal digits, within the signed 32-bit range.
std::optional<qint32> parseNumber(const QString &text);

/// A character as a byte of the Windows-1252 code page; '?' where that code
/// page has no such character.
std::uint8_t toWindows1252(char32_t ch);

/// The six bytes a display text sends: at most its first six characters,
/// right-aligned with spaces, each as a Windows-1252 byte.
QByteArray displayTextBytes(const QString &text);

} // namespace korvane
