#include "pty_transport.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace devsim {

PtyTransport::~PtyTransport()
{
    for (int *fd : {&master_, &slaveFd_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

bool PtyTransport::applyTermios()
{
    termios t{};
    if (tcgetattr(slaveFd_, &t) != 0)
        return false;
    cfmakeraw(&t);
    cfsetispeed(&t, settings_.speed());
    cfsetospeed(&t, settings_.speed());
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= CLOCAL | CREAD;
    const int bits = settings_.dataBits;
    t.c_cflag |= bits == 5 ? CS5 : bits == 6 ? CS6 : bits == 7 ? CS7 : CS8;
    if (settings_.parity != 'n')
        t.c_cflag |= PARENB | (settings_.parity == 'o' ? PARODD : 0);
    if (settings_.stopBits == 2)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(slaveFd_, TCSANOW, &t) == 0;
}

bool PtyTransport::open(Sink &sink)
{
    sink_ = &sink;
    char name[256] = {};
    if (openpty(&master_, &slaveFd_, name, nullptr, nullptr) != 0) {
        warn("openpty: %s", std::strerror(errno));
        return false;
    }
    slaveName_ = name;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd_, F_SETFD, FD_CLOEXEC);
    // We keep our own descriptor of the slave side open for the whole run:
    // the master side then never reports a hang-up when the program closes
    // the port, and the program can reopen it at any time.
    if (!applyTermios() || !setNonBlocking(master_)) {
        warn("pseudo-terminal setup: %s", std::strerror(errno));
        return false;
    }
    return true;
}

void PtyTransport::addPollFds(std::vector<pollfd> &fds, Clock::time_point now)
{
    polled_ = now >= hupUntil_;
    if (polled_)
        fds.push_back({master_, POLLIN, 0});
}

std::optional<Clock::time_point> PtyTransport::wake(Clock::time_point now) const
{
    if (now < hupUntil_)
        return hupUntil_;
    return std::nullopt;
}

void PtyTransport::handle(const pollfd *fds, Clock::time_point now)
{
    if (!polled_ || !fds[0].revents)
        return;
    if (fds[0].revents & (POLLHUP | POLLERR) && !(fds[0].revents & POLLIN)) {
        hupUntil_ = now + std::chrono::milliseconds(100);
        return;
    }
    Bytes bytes;
    uint8_t buf[512];
    while (true) {
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) {
            bytes.insert(bytes.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // EIO: no slave side open. We hold one, so this should not happen;
        // back off briefly instead of spinning on it.
        hupUntil_ = now + std::chrono::milliseconds(100);
        break;
    }
    sink_->received(bytes, now);
}

std::optional<PeerLine> PtyTransport::peerLine() const
{
    // termios calls on the master side read the slave side's settings:
    // those the program at the other end set last (or ours from open()).
    termios t{};
    if (tcgetattr(master_, &t) != 0)
        return std::nullopt;
    return PeerLine{baudOf(cfgetospeed(&t)), (t.c_cflag & CSTOPB) ? 2 : 1};
}

void PtyTransport::send(const Bytes &b, Clock::time_point)
{
    const ssize_t n = write(master_, b.data(), b.size());
    if (n != ssize_t(b.size()))
        warn("reply not fully sent (%zd of %zu bytes): %s", n, b.size(),
             n < 0 ? std::strerror(errno) : "buffer full");
}

} // namespace devsim
