// Whether the device hears a request: the line settings the master has set
// against the ones the device listens at, and what a wrong setting delivers.
#pragma once

#include "common.h"
#include "options.h"

#include <string>

namespace devsim {

// What can be seen of the master's line settings on a pseudo-terminal: the
// speed and the stop bits. The kernel keeps parity and data bits to itself.
struct PeerLine {
    int baud = 0;  // 0: a speed outside the table of --settings
    int stopBits = 1;

    std::string text() const;  // "4800 baud, 2 stop bits"
};

// Whether a request sent at peer reaches a device listening at listen (the
// parts a pseudo-terminal shows must agree).
bool hears(const LineSettings &listen, const PeerLine &peer);

// What the master reads instead of a reply when its speed is wrong: a few
// 00 and FF bytes derived from the request (one per two of its bytes),
// never a frame with a valid CRC.
Bytes noiseFor(const Bytes &request);

} // namespace devsim
