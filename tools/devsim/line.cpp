#include "line.h"

namespace devsim {

std::string PeerLine::text() const
{
    return (baud ? std::to_string(baud) + " baud" : std::string("an unknown speed")) + ", "
        + std::to_string(stopBits) + (stopBits == 1 ? " stop bit" : " stop bits");
}

bool hears(const LineSettings &listen, const PeerLine &peer)
{
    return peer.baud == listen.baud && peer.stopBits == listen.stopBits;
}

Bytes noiseFor(const Bytes &request)
{
    // A UART at twice the sender's speed reads each character as its start
    // bit and first four data bits, each seen twice (data LSB first):
    // 0 d0 d0 d1 d1 d2 d2 d3. So 01 reads as 06, 03 as 1E, 00 as 00.
    Bytes noise;
    for (const uint8_t b : request) {
        uint8_t v = 0;
        if (b & 0x01)
            v |= 0x06;
        if (b & 0x02)
            v |= 0x18;
        if (b & 0x04)
            v |= 0x60;
        if (b & 0x08)
            v |= 0x80;
        noise.push_back(v);
    }
    if (crcOk(noise))
        noise.back() ^= 0xFF;  // a CRC byte changed: the frame is no longer valid
    return noise;
}

} // namespace devsim
