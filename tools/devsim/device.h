// The counter/display device: its registers and coils, the counter, the
// queue of behaviours, and how a request frame is carried out and answered.
//
// libmodbus carries out the requests on the device's data; its replies are
// routed through a socket pair and altered here as the behaviour asks.
#pragma once

#include "behaviour.h"
#include "common.h"
#include "options.h"

#include <deque>
#include <optional>

#include <modbus.h>

namespace devsim {

class Device {
public:
    // A piece of reply due at a time, or the close of the client's
    // connection; they leave in the order scheduled.
    struct Segment {
        Clock::time_point due;
        Bytes bytes;
        bool close = false;
    };

    explicit Device(const Options &o);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    bool setUp(Clock::time_point now);

    void enqueue(const Behaviour &b) { queue_.push_back(b); }

    // A frame with a good CRC arrived: carry it out as the next behaviour
    // says and schedule the reply.
    void handleFrame(const Bytes &frame, Clock::time_point now);

    // Bytes that are not a reply (the noise a request at other line settings
    // brings); they leave after everything scheduled before them.
    void scheduleBytes(Bytes bytes, Clock::time_point now) { schedule(std::move(bytes), now); }

    // The first scheduled segment if it is due at now.
    std::optional<Segment> takeDue(Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const;
    // The connection that was to receive them is gone: drops what is
    // scheduled and prints the bytes that will not be sent.
    void dropScheduled();

private:
    Bytes carryOut(const Bytes &frame, Clock::time_point now);
    void describe(const Bytes &frame, Clock::time_point now);
    Behaviour nextBehaviour();
    void schedule(Bytes bytes, Clock::time_point due, bool close = false);

    uint32_t counterAt(Clock::time_point now) const;
    void setCounter(uint32_t v, Clock::time_point now);
    std::string displayText() const;

    const Options &opt_;
    std::deque<Behaviour> queue_;

    int replyFds_[2] = {-1, -1};  // libmodbus writes into [1], we read [0]
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;

    std::deque<Segment> out_;
    long requests_ = 0;

    int64_t counterBase_ = 0;
    Clock::time_point counterT0_;
};

} // namespace devsim
