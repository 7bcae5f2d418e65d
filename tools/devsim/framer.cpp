#include "framer.h"

#include <modbus.h>

namespace devsim {

namespace {
constexpr size_t kMaxPending = 1024; // input bytes kept while waiting for a frame's end
}

Framer::Framer(Clock::duration silence, FrameHandler onFrame)
    : silence_(silence), onFrame_(std::move(onFrame))
{
}

int expectedLength(const Bytes &b)
{
    if (b.size() < 2)
        return 0;
    switch (b[1]) {
    case 1: case 2: case 3: case 4: case 5: case 6:
        return 8;
    case 15: case 16:
        return b.size() < 7 ? 0 : 9 + b[6];
    default:
        return -1;
    }
}

void Framer::received(const Bytes &bytes, Clock::time_point now)
{
    if (!resync_)  // while discarding, only the silence timer restarts
        rx_.insert(rx_.end(), bytes.begin(), bytes.end());
    lastRx_ = now;
    extractFrames(now);
}

void Framer::extractFrames(Clock::time_point now)
{
    while (!rx_.empty()) {
        const int len = expectedLength(rx_);
        if (len > MODBUS_RTU_MAX_ADU_LENGTH || rx_.size() > kMaxPending) {
            line("dropped: too long: %s", hex(rx_).c_str());
            rx_.clear();
            resync_ = true;
            return;
        }
        if (len <= 0 || rx_.size() < size_t(len))
            return;  // wait for more bytes or for the silence
        Bytes frame(rx_.begin(), rx_.begin() + len);
        if (!crcOk(frame)) {
            // The frame boundaries are lost: drop everything up to the next
            // silence, as a device on a real line resynchronises.
            line("dropped: bad CRC: %s", hex(rx_).c_str());
            rx_.clear();
            resync_ = true;
            return;
        }
        rx_.erase(rx_.begin(), rx_.begin() + len);
        onFrame_(frame, now);
    }
}

void Framer::reset()
{
    if (!rx_.empty())
        line("dropped: incomplete frame: %s", hex(rx_).c_str());
    rx_.clear();
    resync_ = false;
}

std::optional<Clock::time_point> Framer::wake() const
{
    if (rx_.empty() && !resync_)
        return std::nullopt;
    return lastRx_ + silence_;
}

void Framer::checkSilence(Clock::time_point now)
{
    if ((rx_.empty() && !resync_) || now - lastRx_ < silence_)
        return;
    resync_ = false;
    if (rx_.empty())
        return;
    Bytes frame;
    frame.swap(rx_);
    if (expectedLength(frame) == -1 && frame.size() <= MODBUS_RTU_MAX_ADU_LENGTH && crcOk(frame)) {
        onFrame_(frame, now);  // an unsupported function: libmodbus refuses it
        return;
    }
    line("dropped: %s: %s", expectedLength(frame) == -1 ? "bad CRC" : "incomplete frame",
         hex(frame).c_str());
}

} // namespace devsim
