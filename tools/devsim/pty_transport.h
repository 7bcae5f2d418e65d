// The device on a pseudo-terminal: the program opens its slave side as a
// serial port.
#pragma once

#include "options.h"
#include "transport.h"

namespace devsim {

class PtyTransport : public Transport {
public:
    explicit PtyTransport(const LineSettings &settings) : settings_(settings) {}
    ~PtyTransport() override;

    bool open(Sink &sink) override;
    std::string device() const override { return slaveName_; }
    void addPollFds(std::vector<pollfd> &fds, Clock::time_point now) override;
    std::optional<Clock::time_point> wake(Clock::time_point now) const override;
    void handle(const pollfd *fds, Clock::time_point now) override;
    void send(const Bytes &bytes, Clock::time_point now) override;
    bool disconnect(const std::string &, Clock::time_point) override { return false; }
    std::optional<PeerLine> peerLine() const override;

private:
    bool applyTermios();

    LineSettings settings_;
    Sink *sink_ = nullptr;
    int master_ = -1, slaveFd_ = -1;
    std::string slaveName_;
    Clock::time_point hupUntil_{};
    bool polled_ = false;  // whether addPollFds added the master side
};

} // namespace devsim
