#include "tcp_transport.h"

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace devsim {

namespace {

// "127.0.0.1:5020" or "[::1]:5020".
std::string formatAddress(const sockaddr *sa, socklen_t len)
{
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getnameinfo(sa, len, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    if (sa->sa_family == AF_INET6)
        return std::string("[") + host + "]:" + port;
    return std::string(host) + ":" + port;
}

void setNoDelay(int fd)
{
    // Each reply piece leaves at once, in a segment of its own.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

std::vector<ListenAddress> resolveListenAddress(const TcpAddress &where, std::string &error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *list = nullptr;
    const std::string port = std::to_string(where.port);
    const int rc = getaddrinfo(where.host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        error = "cannot resolve \"" + where.host + "\": " + gai_strerror(rc);
        return {};
    }
    std::vector<ListenAddress> out;
    for (const addrinfo *ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        ListenAddress a;
        std::memcpy(&a.addr, ai->ai_addr, ai->ai_addrlen);
        a.len = ai->ai_addrlen;
        out.push_back(a);
    }
    freeaddrinfo(list);
    if (out.empty())
        error = "\"" + where.host + "\" has no address";
    return out;
}

TcpTransport::~TcpTransport()
{
    for (int *fd : {&client_, &listen_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

bool TcpTransport::open(Sink &sink)
{
    sink_ = &sink;
    std::string error = "no address";
    // The first address that can be bound wins: one listening socket, named
    // exactly on the device line.
    for (const ListenAddress &a : addresses_) {
        const int fd = socket(a.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        // A simulator started again takes the port at once, although the
        // connections of the one before may still be in TIME_WAIT.
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setNoDelay(fd);
        if (bind(fd, reinterpret_cast<const sockaddr *>(&a.addr), a.len) != 0
            || listen(fd, 8) != 0) {
            error = formatAddress(reinterpret_cast<const sockaddr *>(&a.addr), a.len) + ": "
                + std::strerror(errno);
            close(fd);
            continue;
        }
        listen_ = fd;
        break;
    }
    if (listen_ < 0) {
        warn("--tcp %s: %s", given_.c_str(), error.c_str());
        return false;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    if (getsockname(listen_, reinterpret_cast<sockaddr *>(&bound), &len) != 0) {
        warn("--tcp %s: getsockname: %s", given_.c_str(), std::strerror(errno));
        return false;
    }
    device_ = "tcp://" + formatAddress(reinterpret_cast<const sockaddr *>(&bound), len);
    return true;
}

void TcpTransport::addPollFds(std::vector<pollfd> &fds, Clock::time_point)
{
    fds.push_back({listen_, POLLIN, 0});
    clientPolled_ = client_ >= 0;
    if (clientPolled_)
        fds.push_back({client_, POLLIN, 0});
}

void TcpTransport::handle(const pollfd *fds, Clock::time_point now)
{
    // The current client's bytes first: they came before any replacement.
    if (clientPolled_ && fds[1].revents)
        readClient(now);
    if (fds[0].revents)
        acceptClients(now);
}

void TcpTransport::acceptClients(Clock::time_point now)
{
    while (true) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        const int fd = accept4(listen_, reinterpret_cast<sockaddr *>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                warn("--tcp %s: accept: %s", given_.c_str(), std::strerror(errno));
            return;
        }
        setNoDelay(fd);
        const std::string peer = formatAddress(reinterpret_cast<const sockaddr *>(&ss), len);
        if (client_ >= 0)
            closeClient("replaced by " + peer, now);
        client_ = fd;
        peer_ = peer;
        line("connected: %s", peer_.c_str());
    }
}

void TcpTransport::readClient(Clock::time_point now)
{
    Bytes bytes;
    std::string gone;
    uint8_t buf[512];
    while (true) {
        const ssize_t n = recv(client_, buf, sizeof buf, 0);
        if (n > 0) {
            bytes.insert(bytes.end(), buf, buf + n);
            continue;
        }
        if (n == 0) {
            gone = "closed by the client";
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            gone = std::string("error: ") + std::strerror(errno);
        }
        break;
    }
    // What came before a close is carried out, as a serial device server
    // passes it on to the line; only the reply has nowhere to go.
    if (!bytes.empty())
        sink_->received(bytes, now);
    if (!gone.empty())
        closeClient(gone, now);
}

void TcpTransport::closeClient(const std::string &why, Clock::time_point now)
{
    close(client_);
    client_ = -1;
    line("disconnected: %s (%s)", peer_.c_str(), why.c_str());
    sink_->peerChanged(now);
}

bool TcpTransport::disconnect(const std::string &why, Clock::time_point now)
{
    if (client_ < 0)
        return false;
    closeClient(why, now);
    return true;
}

void TcpTransport::send(const Bytes &b, Clock::time_point now)
{
    if (client_ < 0)
        return;
    const ssize_t n = ::send(client_, b.data(), b.size(), MSG_NOSIGNAL);
    if (n == ssize_t(b.size()))
        return;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        closeClient(std::string("error: ") + std::strerror(errno), now);
        return;
    }
    warn("reply not fully sent (%zd of %zu bytes): %s", n, b.size(), n < 0 ? std::strerror(errno) : "buffer full");
}

} // namespace devsim
