#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devsim {

namespace {

int gSignalPipe[2] = {-1, -1};

void onSignal(int sig)
{
    const int saved = errno;
    const uint8_t b = uint8_t(sig);
    [[maybe_unused]] const ssize_t r = write(gSignalPipe[1], &b, 1);
    errno = saved;
}

// 3.5 character times end a frame on a real line; a pseudo-terminal has no
// such timing, so allow at least 20 ms for scheduling delays.
Clock::duration frameSilence(const LineSettings &ls)
{
    return std::max<Clock::duration>(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(3.5 * ls.charSeconds())),
        std::chrono::milliseconds(20));
}

} // namespace

bool installSignalHandlers()
{
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        warn("pipe: %s", std::strerror(errno));
        return false;
    }
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

Simulator::Simulator(const Options &o, std::unique_ptr<Transport> transport)
    : opt_(o),
      transport_(std::move(transport)),
      device_(o),
      framer_(frameSilence(o.settings),
              [this](const Bytes &frame, Clock::time_point now) { frameArrived(frame, now); })
{
}

Simulator::~Simulator() { cleanup(); }

bool Simulator::makeLink()
{
    struct stat st{};
    if (lstat(opt_.linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            warn("--link %s: exists and is not a symbolic link", opt_.linkPath.c_str());
            return false;
        }
        unlink(opt_.linkPath.c_str());
    }
    linkTarget_ = transport_->device();
    if (symlink(linkTarget_.c_str(), opt_.linkPath.c_str()) != 0) {
        warn("--link %s: %s", opt_.linkPath.c_str(), std::strerror(errno));
        return false;
    }
    linkMade_ = true;
    return true;
}

bool Simulator::makeControl()
{
    const char *path = opt_.controlPath.c_str();
    struct stat st{};
    if (lstat(path, &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            warn("--control %s: exists and is not a FIFO", path);
            return false;
        }
        unlink(path);
    }
    if (mkfifo(path, 0600) != 0) {
        warn("--control %s: %s", path, std::strerror(errno));
        return false;
    }
    controlMade_ = true;
    controlFd_ = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // Holding a writer open ourselves keeps the FIFO from reporting end of
    // file (and POLLHUP) each time a client's writer closes.
    controlKeepOpen_ = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (controlFd_ < 0 || controlKeepOpen_ < 0) {
        warn("--control %s: %s", path, std::strerror(errno));
        return false;
    }
    return true;
}

bool Simulator::setUp()
{
    if (!transport_->open(*this) || !device_.setUp(Clock::now()))
        return false;
    if (!opt_.linkPath.empty() && !makeLink())
        return false;
    if (!opt_.controlPath.empty() && !makeControl())
        return false;
    return true;
}

void Simulator::cleanup()
{
    if (linkMade_) {
        char target[512];
        const ssize_t n = readlink(opt_.linkPath.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, size_t(n)) == linkTarget_)
            unlink(opt_.linkPath.c_str());
        linkMade_ = false;
    }
    if (controlMade_) {
        unlink(opt_.controlPath.c_str());
        controlMade_ = false;
    }
    for (int *fd : {&controlFd_, &controlKeepOpen_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (transport_)
        transport_->disconnect("stopping", Clock::now());
    transport_.reset();
}

void Simulator::received(const Bytes &bytes, Clock::time_point now)
{
    if (opt_.echo && !bytes.empty()) {
        // The adapter hears the master's bytes as they go out, before the
        // device could answer, and whether or not the device hears them.
        if (opt_.trace)
            line("echo: %s", hex(bytes).c_str());
        transport_->send(bytes, now);
    }
    framer_.received(bytes, now);
}

void Simulator::frameArrived(const Bytes &frame, Clock::time_point now)
{
    // Checked per request: the program at the other end may change its
    // settings between requests (a search over baud rates does).
    const auto peer = transport_->peerLine();
    if (!peer || hears(opt_.settings, *peer)) {
        device_.handleFrame(frame, now);
        return;
    }
    // A device at other settings reads garbage: it cannot even tell the
    // address, so this holds for every frame, and nothing is carried out.
    if (opt_.trace)
        line("rx: %s", hex(frame).c_str());
    const std::string what = peer->text() + " (listening at " + opt_.settings.text() + ")";
    if (!opt_.garble) {
        line("mismatch: %s: silent", what.c_str());
        return;
    }
    Bytes noise = noiseFor(frame);
    line("mismatch: %s: noise: %s", what.c_str(), hex(noise).c_str());
    device_.scheduleBytes(std::move(noise), now);
}

void Simulator::peerChanged(Clock::time_point)
{
    framer_.reset();
    device_.dropScheduled();
}

void Simulator::sendDue(Clock::time_point now)
{
    while (const auto s = device_.takeDue(now)) {
        if (s->close) {
            transport_->disconnect("disconnect", now);
            continue;
        }
        if (opt_.trace)
            line("tx: %s", hex(s->bytes).c_str());
        transport_->send(s->bytes, now);
    }
}

void Simulator::readControl()
{
    char buf[512];
    ssize_t n;
    while ((n = read(controlFd_, buf, sizeof buf)) > 0)
        controlBuf_.append(buf, size_t(n));
    size_t nl;
    while ((nl = controlBuf_.find('\n')) != std::string::npos) {
        const std::string text = controlBuf_.substr(0, nl);
        controlBuf_.erase(0, nl + 1);
        if (trim(text) == "hangup") {
            if (!opt_.tcp)
                warn("control: hangup closes a TCP client's connection; it needs --tcp, line ignored");
            else if (!transport_->disconnect("hangup", Clock::now()))
                warn("control: hangup: no client is connected");
            continue;
        }
        std::vector<Behaviour> list;
        std::string bad;
        if (!parseBehaviourList(text, list, bad)) {
            warn("control: unknown behaviour \"%s\" in \"%s\", line ignored", bad.c_str(), text.c_str());
            continue;
        }
        if (!opt_.tcp && std::any_of(list.begin(), list.end(),
                                     [](const Behaviour &b) { return b.kind == Behaviour::Disconnect; })) {
            warn("control: disconnect closes a TCP client's connection; it needs --tcp, line ignored");
            continue;
        }
        for (const Behaviour &b : list) {
            device_.enqueue(b);
            line("queued: %s", b.text().c_str());
        }
    }
}

int Simulator::run()
{
    if (!setUp())
        return 1;
    line("device: %s", transport_->device().c_str());
    if (!opt_.linkPath.empty())
        line("link: %s", opt_.linkPath.c_str());
    if (!opt_.controlPath.empty())
        line("control: %s", opt_.controlPath.c_str());
    line("config: slave=%d settings=%s rate=%g counter=%d%s%s", opt_.slave, opt_.settings.text().c_str(),
         opt_.rate, opt_.counter, opt_.echo ? " echo" : "", opt_.garble ? " garble" : "");

    std::string stopReason;
    std::vector<pollfd> fds;
    while (stopReason.empty()) {
        Clock::time_point now = Clock::now();
        sendDue(now);
        framer_.checkSilence(now);

        // Sleep until the next thing due: a reply piece, the end of a frame
        // or the transport's own.
        std::optional<Clock::time_point> wake;
        for (const auto t : {device_.nextDue(), framer_.wake(), transport_->wake(now)}) {
            if (t)
                wake = wake ? std::min(*wake, *t) : *t;
        }
        int timeout = -1;
        if (wake) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
            timeout = int(std::clamp<long long>(ms, 0, 60000));
        }

        fds.clear();
        fds.push_back({gSignalPipe[0], POLLIN, 0});
        const size_t transportIdx = fds.size();
        transport_->addPollFds(fds, now);
        const int ctlIdx = controlFd_ >= 0 ? int(fds.size()) : -1;
        if (controlFd_ >= 0)
            fds.push_back({controlFd_, POLLIN, 0});
        const int inIdx = opt_.exitOnStdinEof ? int(fds.size()) : -1;
        if (opt_.exitOnStdinEof)
            fds.push_back({STDIN_FILENO, POLLIN, 0});

        const int rc = poll(fds.data(), nfds_t(fds.size()), timeout);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            warn("poll: %s", std::strerror(errno));
            return 1;
        }
        now = Clock::now();
        if (fds[0].revents & POLLIN) {
            uint8_t sig = 0;
            if (read(gSignalPipe[0], &sig, 1) == 1)
                stopReason = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "signal";
        }
        transport_->handle(fds.data() + transportIdx, now);
        if (ctlIdx >= 0 && (fds[size_t(ctlIdx)].revents & POLLIN))
            readControl();
        if (inIdx >= 0 && fds[size_t(inIdx)].revents) {
            char buf[256];
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                stopReason = "stdin closed";
        }
    }
    cleanup();
    line("stopped: %s", stopReason.c_str());
    return 0;
}

} // namespace devsim
