#include "line.h"

#include <algorithm>

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
    // A UART at half the sender's speed spans two of its characters with
    // each one it reads and sees mostly the level that dominates them: 00
    // (a framing error on a real line) where 0 bits do, FF where 1 bits do.
    Bytes noise;
    for (size_t i = 0; i < request.size(); i += 2) {
        const size_t n = std::min<size_t>(2, request.size() - i);
        int ones = 0;
        for (size_t k = i; k < i + n; ++k)
            ones += __builtin_popcount(request[k]);
        noise.push_back(2 * ones >= 8 * int(n) ? 0xFF : 0x00);
    }
    if (crcOk(noise))
        noise.back() ^= 0xFF;  // FF FF 00 00 is a valid frame; a changed CRC byte makes it none
    return noise;
}

} // namespace devsim
