#pragma once
// The state shared by the protocol code and the main window: the request
// frame buffer, the last reply, the settings texts, the CRC texts and the
// tick counter of the reply wait.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>
#include <cstdint>

namespace korvane {

/// The one request frame buffer: 21 bytes, indices 0 to 20. Any other
/// index throws std::out_of_range instead of touching memory outside it.
class FrameBuffer {
public:
    static constexpr int Size = 21;

    std::uint8_t &operator[](int i) { return bytes_.at(checked(i)); }
    std::uint8_t operator[](int i) const { return bytes_.at(checked(i)); }

    /// The first n bytes as a byte array (n is checked like an index).
    QByteArray head(int n) const;

private:
    static std::size_t checked(int i);
    std::array<std::uint8_t, Size> bytes_{};
};

struct ModVariables {
    FrameBuffer TxBuf;      ///< request frame, built from index 0
    QByteArray RxData;      ///< bytes of the last reply, taken in one piece
    QString gCommPort;      ///< port number as decimal text, "1".."6"
    QString gSetting;       ///< line settings, e.g. "9600,n,8,2"
    QString gSlaveID;       ///< slave address read at start-up, "0".."247"
    qint32 gCRC = 0;        ///< CRC working value
    QString gCRCLo;         ///< low byte of the last CRC, two upper-case hex digits
    QString gCRCHi;         ///< high byte of the last CRC, two upper-case hex digits
    qint16 gTick = 0;       ///< ticks counted by the reply wait
};

} // namespace korvane
