// Arbitrary bytes as the reply to every request the window sends.
//
// For each command kind the request is built with the command builders (the
// first input bytes choose the slave address, the number, the text or the
// output button), then the input itself, cut to the port's input buffer
// (SerialComponent::InBufferSize bytes) as the port would take it, goes
// through the reply check at the command's check index k, and for the
// counter read through the counter decoding. Each reply is checked twice:
// as it came, and with its bytes k+1 and k+2 replaced by the right CRC, so
// that the decoding sees arbitrary counter bytes and not only the few
// inputs with a matching CRC.
//
// Invariants (an independent bitwise CRC-16/MODBUS is the reference):
// - each request frame has the expected length and check index, starts with
//   the slave address, carries its payload, and ends in its own valid CRC;
// - the reply check passes exactly when the reply has at least k+3 bytes and
//   bytes k+1 (low) and k+2 (high) hold the CRC of bytes 0..k; it leaves the
//   reply as it was and, on success, names the reply's CRC bytes in
//   gCRCLo/gCRCHi as two upper-case hexadecimal digits each;
// - a counter reply that passes decodes to the decimal text of the signed
//   big-endian 32-bit number in bytes 3..6.

#include "FuzzCheck.h"

#include "common/modVariables.h"
#include "protocol/Commands.h"
#include "protocol/crc16.h"
#include "serial/SerialComponent.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

using namespace korvane;

namespace {

std::uint16_t modbusCrc(const std::uint8_t *p, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
    }
    return crc;
}

std::uint16_t modbusCrc(const QByteArray &b, qsizetype n)
{
    return modbusCrc(reinterpret_cast<const std::uint8_t *>(b.constData()), std::size_t(n));
}

std::uint8_t byteAt(const QByteArray &b, qsizetype i) { return static_cast<std::uint8_t>(b[i]); }

QString upperHex(std::uint8_t b)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", b);
    return QString::fromLatin1(text, 2);
}

// The request in TxBuf: its shape, its CRC, and that it starts with slave.
void checkRequest(const ModVariables &v, const Request &r, int length, int checkIndex, std::uint8_t slave)
{
    FUZZ_REQUIRE(r.length == length);
    FUZZ_REQUIRE(r.checkIndex == checkIndex);
    const QByteArray frame = v.TxBuf.head(r.length);
    FUZZ_REQUIRE(byteAt(frame, 0) == slave);
    const std::uint16_t crc = modbusCrc(frame, length - 2);
    FUZZ_REQUIRE(byteAt(frame, length - 2) == (crc & 0xFF));
    FUZZ_REQUIRE(byteAt(frame, length - 1) == (crc >> 8));
}

// The reply check (and, for the counter read, the decoding) on one reply.
void checkReply(const QByteArray &reply, int k, bool counterRead)
{
    ModVariables v;
    v.RxData = reply;
    const bool passed = CheckCRC(v, k);

    const bool longEnough = reply.size() >= qsizetype(k) + 3;
    const bool crcMatches = longEnough
        && modbusCrc(reply, k + 1) == (byteAt(reply, k + 1) | (byteAt(reply, k + 2) << 8));
    FUZZ_REQUIRE(passed == crcMatches);
    FUZZ_REQUIRE(v.RxData == reply);
    if (!passed)
        return;
    FUZZ_REQUIRE(v.gCRCLo == upperHex(byteAt(reply, k + 1)));
    FUZZ_REQUIRE(v.gCRCHi == upperHex(byteAt(reply, k + 2)));

    if (counterRead) {
        const std::uint32_t raw = (std::uint32_t(byteAt(reply, 3)) << 24) | (std::uint32_t(byteAt(reply, 4)) << 16)
            | (std::uint32_t(byteAt(reply, 5)) << 8) | std::uint32_t(byteAt(reply, 6));
        const auto expected = static_cast<std::int32_t>(raw);
        FUZZ_REQUIRE(counterValueText(v.RxData).toStdString() == std::to_string(expected));
    }
}

// The reply as it came and with the right CRC put in at k+1..k+2.
void checkBothWays(const QByteArray &reply, int k, bool counterRead)
{
    checkReply(reply, k, counterRead);
    if (reply.size() >= qsizetype(k) + 3) {
        QByteArray fixed = reply;
        const std::uint16_t crc = modbusCrc(fixed, k + 1);
        fixed[k + 1] = char(crc & 0xFF);
        fixed[k + 2] = char(crc >> 8);
        checkReply(fixed, k, counterRead);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The port keeps at most InBufferSize bytes of one reply.
    const std::size_t kept = size < std::size_t(SerialComponent::InBufferSize) ? size : SerialComponent::InBufferSize;
    const QByteArray reply(reinterpret_cast<const char *>(data), qsizetype(kept));
    auto param = [&](std::size_t i) -> std::uint8_t { return i < size ? data[i] : 0; };
    const std::uint8_t slave = param(0);

    ModVariables v;

    // Counter read: slave 03 00 00 00 02, reply checked at k = 6 and decoded.
    checkRequest(v, buildReadCounter(v, slave), 8, 6, slave);
    checkBothWays(reply, 6, true);

    // Counter reset: write coil 2 ON.
    checkRequest(v, buildResetCounter(v, slave), 8, 5, slave);
    FUZZ_REQUIRE(v.TxBuf[1] == 5 && v.TxBuf[3] == 2 && v.TxBuf[4] == 0xFF && v.TxBuf[5] == 0);
    checkBothWays(reply, 5, false);

    // Number: bytes 1..4 of the input, big-endian, sent high word first.
    const auto number = static_cast<qint32>((std::uint32_t(param(1)) << 24) | (std::uint32_t(param(2)) << 16)
                                            | (std::uint32_t(param(3)) << 8) | std::uint32_t(param(4)));
    checkRequest(v, buildWriteNumber(v, slave, number), 13, 5, slave);
    for (int i = 0; i < 4; ++i)
        FUZZ_REQUIRE(v.TxBuf[7 + i] == param(1 + std::size_t(i)));
    checkBothWays(reply, 5, false);

    // Text: up to twelve input bytes after the first, read as UTF-8 (so that
    // characters outside Windows-1252 and surrogate pairs come along).
    const std::size_t textBytes = size > 1 ? (size - 1 < 12 ? size - 1 : 12) : 0;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data) + (size > 0 ? 1 : 0),
                                           qsizetype(textBytes));
    checkRequest(v, buildWriteText(v, slave, text), 15, 5, slave);
    const QByteArray shown = displayTextBytes(text);
    FUZZ_REQUIRE(shown.size() == 6);
    for (int i = 0; i < 6; ++i)
        FUZZ_REQUIRE(v.TxBuf[7 + i] == byteAt(shown, i));
    checkBothWays(reply, 5, false);

    // Output button chosen by the second byte: coils 0, 0, 1, 1, 3, 3.
    static constexpr std::uint8_t coils[OutputButtonCount] = {0, 0, 1, 1, 3, 3};
    const int button = param(1) % OutputButtonCount;
    checkRequest(v, buildOutput(v, slave, button), 8, 5, slave);
    FUZZ_REQUIRE(v.TxBuf[3] == coils[button] && v.TxBuf[4] == (button % 2 == 0 ? 0xFF : 0x00));
    checkBothWays(reply, 5, false);

    return 0;
}
