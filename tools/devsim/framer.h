// Cuts the incoming byte stream into RTU frames: by the length a request's
// function code gives, or by the silence that follows it.
#pragma once

#include "common.h"

#include <functional>
#include <optional>

namespace devsim {

class Framer {
public:
    using FrameHandler = std::function<void(const Bytes &frame, Clock::time_point now)>;

    Framer(Clock::duration silence, FrameHandler onFrame);

    // Bytes that arrived at now (possibly none: the line was active).
    void received(const Bytes &bytes, Clock::time_point now);
    // Ends a frame once the line has been silent long enough.
    void checkSilence(Clock::time_point now);
    // The bytes' source changed (a TCP client went): what is pending made
    // no frame and must not join the next client's bytes.
    void reset();
    // When checkSilence next has something to do, if ever.
    std::optional<Clock::time_point> wake() const;

private:
    void extractFrames(Clock::time_point now);

    Clock::duration silence_;
    FrameHandler onFrame_;
    Bytes rx_;
    Clock::time_point lastRx_;
    bool resync_ = false;  // discard input until the line falls silent
};

// Expected length of a request from its first bytes, 0 while unknown and -1
// for a function code whose length only the silence after it tells.
int expectedLength(const Bytes &b);

} // namespace devsim
