// The line side of the simulator: where request bytes come from and where
// reply bytes go. The main loop polls the transport's descriptors together
// with its own.
#pragma once

#include "common.h"
#include "line.h"

#include <optional>
#include <string>
#include <vector>

#include <poll.h>

namespace devsim {

class Transport {
public:
    // What the transport tells the main loop.
    class Sink {
    public:
        virtual ~Sink() = default;
        // Bytes arrived (possibly none: the line was active at now).
        virtual void received(const Bytes &bytes, Clock::time_point now) = 0;
        // The peer the bytes come from changed (a TCP client came or went):
        // what was on its way belongs to the old one.
        virtual void peerChanged(Clock::time_point now) = 0;
    };

    virtual ~Transport() = default;

    // Prepares the transport; warns and returns false on failure.
    virtual bool open(Sink &sink) = 0;
    // What to connect to: the "device:" line and the target of --link.
    virtual std::string device() const = 0;

    // Appends the descriptors to poll now; handle() gets the same ones back.
    virtual void addPollFds(std::vector<pollfd> &fds, Clock::time_point now) = 0;
    // When the transport wants to be woken without an event, if ever.
    virtual std::optional<Clock::time_point> wake(Clock::time_point now) const = 0;
    virtual void handle(const pollfd *fds, Clock::time_point now) = 0;

    virtual void send(const Bytes &bytes, Clock::time_point now) = 0;
    // The line settings the other end has set now; none where the transport
    // has no line settings (every request is heard then).
    virtual std::optional<PeerLine> peerLine() const { return std::nullopt; }
    // Closes the current client's connection, saying why; false if there is
    // none (or the transport has no connections).
    virtual bool disconnect(const std::string &why, Clock::time_point now) = 0;
};

} // namespace devsim
