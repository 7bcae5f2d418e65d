#pragma once
// TCP peers on the loopback address for tests of a serial device server's
// connection: a port that refuses, a listener whose connections never
// complete, and a look at the connections this machine is still making.

#include <QDeadlineTimer>
#include <QFile>
#include <QString>
#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane::test {

namespace detail {
inline sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline quint16 boundPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0 ? ntohs(a.sin_port) : 0;
}
} // namespace detail

/// A loopback port nothing listens on: connecting to it is refused. (A port
/// the system gave out and took back at once; 0 if that failed.)
inline quint16 refusingPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = detail::loopback(0);
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        port = detail::boundPort(fd);
    if (fd >= 0)
        ::close(fd);
    return port;
}

/// A loopback listener whose connections are never completed: it listens
/// with a backlog of 0 and holds its accept queue full with one connection
/// of its own that it never accepts. Linux drops the SYN of every further
/// connection while the queue is full, so a client's connect stays pending
/// (its SYN sent again and again) until the client gives up.
class StalledListener {
public:
    StalledListener()
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = detail::loopback(0);
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
            || ::listen(listen_, 0) != 0)
            return;
        port_ = detail::boundPort(listen_);
        // The connection that fills the queue; it must be complete before
        // anyone else connects.
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        a = detail::loopback(port_);
        if (filler_ < 0
            || (::connect(filler_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS)) {
            port_ = 0;
            return;
        }
        pollfd p{filler_, POLLOUT, 0};
        int error = -1;
        socklen_t len = sizeof error;
        if (::poll(&p, 1, 5000) != 1 || ::getsockopt(filler_, SOL_SOCKET, SO_ERROR, &error, &len) != 0
            || error != 0)
            port_ = 0;
    }
    ~StalledListener()
    {
        for (int fd : {filler_, listen_}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    StalledListener(const StalledListener &) = delete;
    StalledListener &operator=(const StalledListener &) = delete;

    bool isValid() const { return port_ != 0; }
    quint16 port() const { return port_; }

private:
    int listen_ = -1;
    int filler_ = -1;
    quint16 port_ = 0;
};

/// How many IPv4 connections on this machine are being made to the loopback
/// port and have not been completed (state SYN_SENT in /proc/net/tcp).
inline int pendingConnectsTo(quint16 port)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QString remote = QStringLiteral("0100007F:%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
    int n = 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QStringList fields = QString::fromLatin1(line).simplified().split(QLatin1Char(' '));
        if (fields.size() > 3 && fields[2] == remote && fields[3] == QLatin1String("02"))
            ++n;
    }
    return n;
}

} // namespace korvane::test
