// The device behind a TCP port, as a serial device server in raw ("TCP
// server") mode offers it: the RTU bytes pass over the connection
// unchanged. One client at a time; a new connection replaces the current
// one, so a master that reconnects (or one whose old connection silently
// died) is never locked out.
#pragma once

#include "options.h"
#include "transport.h"

#include <sys/socket.h>

namespace devsim {

struct ListenAddress {
    sockaddr_storage addr{};
    socklen_t len = 0;
};

// The addresses HOST:PORT names, in getaddrinfo's order; on failure, empty
// with the reason in error.
std::vector<ListenAddress> resolveListenAddress(const TcpAddress &where, std::string &error);

class TcpTransport : public Transport {
public:
    TcpTransport(std::string given, std::vector<ListenAddress> addresses)
        : given_(std::move(given)), addresses_(std::move(addresses)) {}
    ~TcpTransport() override;

    bool open(Sink &sink) override;
    std::string device() const override { return device_; }
    void addPollFds(std::vector<pollfd> &fds, Clock::time_point now) override;
    std::optional<Clock::time_point> wake(Clock::time_point) const override { return std::nullopt; }
    void handle(const pollfd *fds, Clock::time_point now) override;
    void send(const Bytes &bytes, Clock::time_point now) override;
    bool disconnect(const std::string &why, Clock::time_point now) override;

private:
    void acceptClients(Clock::time_point now);
    void readClient(Clock::time_point now);
    void closeClient(const std::string &why, Clock::time_point now);

    std::string given_;  // the --tcp argument, for messages
    std::vector<ListenAddress> addresses_;
    Sink *sink_ = nullptr;
    int listen_ = -1, client_ = -1;
    std::string device_, peer_;
    bool clientPolled_ = false;  // whether addPollFds added the client
};

} // namespace devsim
