#include "TerminationSignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace korvane {

#ifdef Q_OS_UNIX
namespace {
int signalPipe[2] = {-1, -1};
constexpr int Caught[] = {SIGINT, SIGTERM, SIGHUP};

void onSignal(int sig)
{
    // Only async-signal-safe work here: hand the number to the event loop.
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}
} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::drain);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : Caught)
        ::sigaction(sig, &sa, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : Caught)
        ::sigaction(sig, &sa, nullptr);
    for (int &fd : signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void TerminationSignals::drain()
{
    char buf[16];
    ssize_t n;
    while ((n = ::read(signalPipe[0], buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            ++count_;
            emit received(int(buf[i]));
        }
    }
}
#else
TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent) {}
TerminationSignals::~TerminationSignals() = default;
void TerminationSignals::drain() {}
#endif

} // namespace korvane
