// korvane-devsim: a Modbus RTU slave on a pseudo-terminal that behaves as
// the counter/display device, with faults on request for tests.
//
// It deliberately shares no code with the KORVANE program, so that running
// the program against it checks the program independently. libmodbus carries
// out the requests on the device's data; this file frames the incoming bytes,
// routes libmodbus' replies through a socket pair and alters them as asked.

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kCoilCount = 4;      // 0, 1: outputs; 2: counter reset; 3: buzzer
constexpr int kRegisterCount = 5;  // 0, 1: counter; 2..4: display text
constexpr size_t kMaxPending = 1024; // input bytes kept while waiting for a frame's end

// ---------------------------------------------------------------- output

void line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void line(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void warn(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::fputs("korvane-devsim: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}

std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }

// ---------------------------------------------------------------- CRC

uint16_t crc16(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

void appendCrc(Bytes &b)
{
    const uint16_t crc = crc16(b.data(), b.size());
    b.push_back(uint8_t(crc & 0xFF));
    b.push_back(uint8_t(crc >> 8));
}

bool crcOk(const Bytes &b)
{
    if (b.size() < 4)
        return false;
    const uint16_t crc = crc16(b.data(), b.size() - 2);
    return b[b.size() - 2] == (crc & 0xFF) && b[b.size() - 1] == (crc >> 8);
}

// ---------------------------------------------------------------- behaviours

struct Behaviour {
    enum Kind { Ok, NoReply, BadCrc, Delay, Exception, Garbage, Split, OtherSlave } kind = Ok;
    int arg = 0;

    std::string text() const
    {
        switch (kind) {
        case Ok: return "ok";
        case NoReply: return "noreply";
        case BadCrc: return "crc";
        case Delay: return "delay:" + std::to_string(arg);
        case Exception: return "exception:" + std::to_string(arg);
        case Garbage: return "garbage:" + std::to_string(arg);
        case Split: return "split:" + std::to_string(arg);
        case OtherSlave: return "slave:" + std::to_string(arg);
        }
        return "?";
    }
};

std::string trim(const std::string &s)
{
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::optional<long> parseInt(const std::string &s, long lo, long hi)
{
    if (s.empty())
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return std::nullopt;
    return v;
}

std::optional<Behaviour> parseBehaviour(const std::string &word)
{
    const std::string w = trim(word);
    const auto colon = w.find(':');
    const std::string name = w.substr(0, colon);
    const std::string arg = colon == std::string::npos ? std::string() : w.substr(colon + 1);
    const bool hasArg = colon != std::string::npos;

    struct Entry { const char *name; Behaviour::Kind kind; bool needsArg; long lo, hi; };
    static const Entry table[] = {
        {"ok", Behaviour::Ok, false, 0, 0},
        {"noreply", Behaviour::NoReply, false, 0, 0},
        {"crc", Behaviour::BadCrc, false, 0, 0},
        {"delay", Behaviour::Delay, true, 0, 600000},
        {"exception", Behaviour::Exception, true, 0, 255},
        {"garbage", Behaviour::Garbage, true, 1, 256},
        {"split", Behaviour::Split, true, 0, 600000},
        {"slave", Behaviour::OtherSlave, true, 0, 255},
    };
    for (const Entry &e : table) {
        if (name != e.name)
            continue;
        if (hasArg != e.needsArg)
            return std::nullopt;
        Behaviour b;
        b.kind = e.kind;
        if (e.needsArg) {
            const auto v = parseInt(arg, e.lo, e.hi);
            if (!v)
                return std::nullopt;
            b.arg = int(*v);
        }
        return b;
    }
    return std::nullopt;
}

// Parses a comma list; returns false (and names the bad word) on error.
bool parseBehaviourList(const std::string &list, std::vector<Behaviour> &out, std::string &bad)
{
    size_t pos = 0;
    while (pos <= list.size()) {
        const size_t comma = std::min(list.find(',', pos), list.size());
        const std::string word = trim(list.substr(pos, comma - pos));
        pos = comma + 1;
        if (word.empty())
            continue;
        const auto b = parseBehaviour(word);
        if (!b) {
            bad = word;
            return false;
        }
        out.push_back(*b);
    }
    return true;
}

// ---------------------------------------------------------------- options

struct LineSettings {
    int baud = 9600;
    char parity = 'n';
    int dataBits = 8;
    int stopBits = 2;

    std::string text() const
    {
        return std::to_string(baud) + "," + parity + "," + std::to_string(dataBits) + ","
            + std::to_string(stopBits);
    }
    double charSeconds() const
    {
        return double(1 + dataBits + (parity == 'n' ? 0 : 1) + stopBits) / baud;
    }
};

struct BaudEntry { int baud; speed_t speed; };
const BaudEntry kBauds[] = {
    {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
    {115200, B115200}, {230400, B230400},
};

std::optional<LineSettings> parseSettings(const std::string &s)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    while (true) {
        const size_t comma = s.find(',', pos);
        parts.push_back(trim(s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos)));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    if (parts.size() != 4)
        return std::nullopt;
    LineSettings ls;
    const auto baud = parseInt(parts[0], 1, 10000000);
    if (!baud || std::none_of(std::begin(kBauds), std::end(kBauds),
                              [&](const BaudEntry &e) { return e.baud == *baud; }))
        return std::nullopt;
    ls.baud = int(*baud);
    if (parts[1].size() != 1)
        return std::nullopt;
    ls.parity = char(std::tolower(static_cast<unsigned char>(parts[1][0])));
    if (ls.parity != 'n' && ls.parity != 'e' && ls.parity != 'o')
        return std::nullopt;
    const auto data = parseInt(parts[2], 5, 8);
    const auto stop = parseInt(parts[3], 1, 2);
    if (!data || !stop)
        return std::nullopt;
    ls.dataBits = int(*data);
    ls.stopBits = int(*stop);
    return ls;
}

struct Options {
    int slave = 1;
    double rate = 3;
    int32_t counter = 0;
    LineSettings settings;
    std::vector<Behaviour> script;
    std::string linkPath;
    std::string controlPath;
    bool exitOnStdinEof = false;
    bool trace = false;
};

const char kUsage[] = R"(Usage: korvane-devsim [OPTION]...
Simulates the counter/display device: a Modbus RTU slave on a pseudo-terminal.

Options:
  --slave N          slave address to answer, 1..247 (default 1)
  --rate N           counter speed in counts per second, N >= 0, may be
                     fractional; 0 freezes the counter (default 3)
  --counter N        counter value at start, signed 32-bit (default 0)
  --settings B,P,D,S line settings applied to the pseudo-terminal, e.g.
                     9600,n,8,2 (default); P is n, e or o. Pseudo-terminals
                     ignore parity and data bits; the baud rate sets the
                     silence that ends an incomplete frame.
  --script LIST      behaviours for the coming requests, one per request in
                     order, comma separated; afterwards every request is "ok"
  --control PATH     create a FIFO at PATH (replacing a stale FIFO); each line
                     written to it appends behaviours (one, or a comma list)
                     to the queue; it is removed on exit
  --link PATH        create a symbolic link PATH to the device (replacing a
                     stale symbolic link); it is removed on exit
  --exit-on-stdin-eof
                     stop when standard input closes (otherwise stdin is
                     ignored)
  --trace            also print every frame received and every piece sent
  -h, --help         show this help and exit

Behaviours (each applies to one request addressed to this slave):
  ok                 carry out the request and reply normally
  noreply            drop the request: not carried out, no reply
  crc                carry out, reply with a corrupted CRC
  delay:MS           carry out, send the reply MS milliseconds later
  exception:CODE     not carried out; reply with the 5-byte exception
                     (address, function | 0x80, CODE, CRC)
  garbage:N          carry out, reply followed by N bytes (1..256) of garbage
  split:MS           carry out, send the first half of the reply, the rest
                     MS milliseconds later
  slave:A            carry out, reply from address A (frame and CRC valid)
Replies leave in order: a reply is never sent before an earlier delayed one.

Device:
  holding registers 0,1  counter, signed 32-bit, high word first; a write
                         (function 6 or 16) sets it and the display shows it
  holding registers 2..4 display text, two characters per register, the
                         earlier character in the high byte
  coils 0, 1             output 1, output 2
  coil 2                 writing ON resets the counter to 0 (reads back 0)
  coil 3                 buzzer
  Requests to another address are ignored; address 0 (broadcast) is carried
  out without a reply and takes no behaviour from the queue. Frames with a
  bad CRC are dropped.

Output (stdout, one line each, flushed):
  device: PATH                       always the first line
  link: PATH / control: PATH         when those options are given
  config: slave=N settings=B,P,D,S rate=N counter=N
  request N: fn=F slave=A behaviour=B
                                     per frame with a good CRC; B is the
                                     behaviour applied, or "ignored" (another
                                     address) or "broadcast"
  counter: V                         counter value read (function 3)
  counter: reset to 0                coil 2 written ON
  display: number V                  registers 0,1 written
  display: text "TEXT"               registers 2..4 written (\xNN escapes)
  output 1: on|off, output 2: on|off, buzzer: on|off
                                     on every write of coil 0, 1 or 3
  refused: exception C               libmodbus refused the request
  queued: B                          a behaviour arrived on the control FIFO
  dropped: REASON: BYTES             bytes that made no valid frame
  rx: BYTES / tx: BYTES              with --trace
  stopped: REASON                    on exit (SIGINT, SIGTERM, stdin closed)
Errors go to stderr. Exit status 0 after a clean stop, 1 on a runtime
error, 2 on a bad command line.
)";

[[noreturn]] void usageError(const std::string &msg)
{
    warn("%s (see --help)", msg.c_str());
    std::exit(2);
}

Options parseOptions(int argc, char **argv)
{
    enum { OptSlave = 1000, OptRate, OptCounter, OptSettings, OptScript, OptControl, OptLink,
           OptStdin, OptTrace };
    static const option longOpts[] = {
        {"slave", required_argument, nullptr, OptSlave},
        {"rate", required_argument, nullptr, OptRate},
        {"counter", required_argument, nullptr, OptCounter},
        {"settings", required_argument, nullptr, OptSettings},
        {"script", required_argument, nullptr, OptScript},
        {"control", required_argument, nullptr, OptControl},
        {"link", required_argument, nullptr, OptLink},
        {"exit-on-stdin-eof", no_argument, nullptr, OptStdin},
        {"trace", no_argument, nullptr, OptTrace},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "h", longOpts, nullptr)) != -1) {
        const std::string arg = optarg ? optarg : "";
        switch (c) {
        case 'h':
            std::fputs(kUsage, stdout);
            std::exit(0);
        case OptSlave: {
            const auto v = parseInt(arg, 1, 247);
            if (!v)
                usageError("--slave wants 1..247, not \"" + arg + "\"");
            o.slave = int(*v);
            break;
        }
        case OptRate: {
            char *end = nullptr;
            const double v = std::strtod(arg.c_str(), &end);
            if (arg.empty() || *end != '\0' || !(v >= 0) || v > 1e6)
                usageError("--rate wants a number >= 0, not \"" + arg + "\"");
            o.rate = v;
            break;
        }
        case OptCounter: {
            const auto v = parseInt(arg, INT32_MIN, INT32_MAX);
            if (!v)
                usageError("--counter wants a signed 32-bit number, not \"" + arg + "\"");
            o.counter = int32_t(*v);
            break;
        }
        case OptSettings: {
            const auto s = parseSettings(arg);
            if (!s)
                usageError("--settings wants BAUD,PARITY,DATA,STOP like 9600,n,8,2, not \"" + arg + "\"");
            o.settings = *s;
            break;
        }
        case OptScript: {
            std::string bad;
            if (!parseBehaviourList(arg, o.script, bad))
                usageError("--script: unknown behaviour \"" + bad + "\"");
            break;
        }
        case OptControl:
            if (arg.empty())
                usageError("--control wants a path");
            o.controlPath = arg;
            break;
        case OptLink:
            if (arg.empty())
                usageError("--link wants a path");
            o.linkPath = arg;
            break;
        case OptStdin:
            o.exitOnStdinEof = true;
            break;
        case OptTrace:
            o.trace = true;
            break;
        default:
            usageError(std::string("unknown option or missing value: ")
                       + (optind > 0 && optind <= argc ? argv[optind - 1] : "?"));
        }
    }
    if (optind < argc)
        usageError(std::string("unexpected argument \"") + argv[optind] + "\"");
    return o;
}

// ---------------------------------------------------------------- signals

int gSignalPipe[2] = {-1, -1};

void onSignal(int sig)
{
    const int saved = errno;
    const uint8_t b = uint8_t(sig);
    [[maybe_unused]] const ssize_t r = write(gSignalPipe[1], &b, 1);
    errno = saved;
}

bool setNonBlocking(int fd)
{
    const int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

// ---------------------------------------------------------------- the device

class Device {
public:
    explicit Device(const Options &o) : opt_(o), queue_(o.script.begin(), o.script.end()) {}
    ~Device() { cleanup(); }

    int run();

private:
    struct Segment { Clock::time_point due; Bytes bytes; };

    bool setUp();
    void cleanup();
    bool applyTermios();
    bool makeLink();
    bool makeControl();

    void readPty(Clock::time_point now);
    void extractFrames(Clock::time_point now);
    void onSilence(Clock::time_point now);
    void handleFrame(const Bytes &frame, Clock::time_point now);
    Bytes carryOut(const Bytes &frame, Clock::time_point now);
    void describe(const Bytes &frame, Clock::time_point now);
    Behaviour nextBehaviour();
    void schedule(Bytes bytes, Clock::time_point due);
    void sendDue(Clock::time_point now);
    void readControl();

    uint32_t counterAt(Clock::time_point now) const;
    void setCounter(uint32_t v, Clock::time_point now);
    std::string displayText() const;

    const Options &opt_;
    std::deque<Behaviour> queue_;

    int master_ = -1, slaveFd_ = -1;
    std::string slaveName_;
    int replyFds_[2] = {-1, -1};  // libmodbus writes into [1], we read [0]
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;

    int controlFd_ = -1, controlKeepOpen_ = -1;
    std::string controlBuf_;
    bool linkMade_ = false, controlMade_ = false;

    Bytes rx_;
    Clock::time_point lastRx_;
    bool resync_ = false;  // discard input until the line falls silent
    Clock::duration silence_{};
    Clock::time_point hupUntil_{};

    std::deque<Segment> out_;
    long requests_ = 0;

    int64_t counterBase_ = 0;
    Clock::time_point counterT0_;
};

uint32_t Device::counterAt(Clock::time_point now) const
{
    int64_t ticks = 0;
    if (opt_.rate > 0) {
        const double secs = std::chrono::duration<double>(now - counterT0_).count();
        ticks = int64_t(std::floor(secs * opt_.rate));
    }
    return uint32_t(counterBase_ + ticks);  // wraps like a 32-bit counter
}

void Device::setCounter(uint32_t v, Clock::time_point now)
{
    counterBase_ = v;
    counterT0_ = now;
    map_->tab_registers[0] = uint16_t(v >> 16);
    map_->tab_registers[1] = uint16_t(v & 0xFFFF);
}

std::string Device::displayText() const
{
    std::string s;
    for (int r = 2; r <= 4; ++r) {
        for (const uint8_t c : {uint8_t(map_->tab_registers[r] >> 8), uint8_t(map_->tab_registers[r] & 0xFF)}) {
            if (c == '"' || c == '\\') {
                s += '\\';
                s += char(c);
            } else if (c >= 0x20 && c < 0x7F) {
                s += char(c);
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", c);
                s += buf;
            }
        }
    }
    return s;
}

bool Device::applyTermios()
{
    termios t{};
    if (tcgetattr(slaveFd_, &t) != 0)
        return false;
    cfmakeraw(&t);
    const LineSettings &ls = opt_.settings;
    for (const BaudEntry &e : kBauds) {
        if (e.baud == ls.baud) {
            cfsetispeed(&t, e.speed);
            cfsetospeed(&t, e.speed);
        }
    }
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag |= ls.dataBits == 5 ? CS5 : ls.dataBits == 6 ? CS6 : ls.dataBits == 7 ? CS7 : CS8;
    if (ls.parity != 'n')
        t.c_cflag |= PARENB | (ls.parity == 'o' ? PARODD : 0);
    if (ls.stopBits == 2)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(slaveFd_, TCSANOW, &t) == 0;
}

bool Device::makeLink()
{
    struct stat st{};
    if (lstat(opt_.linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            warn("--link %s: exists and is not a symbolic link", opt_.linkPath.c_str());
            return false;
        }
        unlink(opt_.linkPath.c_str());
    }
    if (symlink(slaveName_.c_str(), opt_.linkPath.c_str()) != 0) {
        warn("--link %s: %s", opt_.linkPath.c_str(), std::strerror(errno));
        return false;
    }
    linkMade_ = true;
    return true;
}

bool Device::makeControl()
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

bool Device::setUp()
{
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

    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, replyFds_) != 0
        || !setNonBlocking(replyFds_[0])) {
        warn("socketpair: %s", std::strerror(errno));
        return false;
    }
    const LineSettings &ls = opt_.settings;
    ctx_ = modbus_new_rtu("/dev/null", ls.baud, char(std::toupper(ls.parity)), ls.dataBits, ls.stopBits);
    if (!ctx_) {
        warn("modbus_new_rtu: %s", modbus_strerror(errno));
        return false;
    }
    // Never connected: libmodbus only builds replies and writes them to the
    // socket pair, from where they go to the pseudo-terminal.
    modbus_set_socket(ctx_, replyFds_[1]);
    modbus_set_slave(ctx_, opt_.slave);
    map_ = modbus_mapping_new_start_address(0, kCoilCount, 0, 0, 0, kRegisterCount, 0, 0);
    if (!map_) {
        warn("modbus_mapping_new: %s", modbus_strerror(errno));
        return false;
    }
    for (int r = 2; r <= 4; ++r)
        map_->tab_registers[r] = 0x2020;
    setCounter(uint32_t(opt_.counter), Clock::now());

    // 3.5 character times end a frame on a real line; a pseudo-terminal has
    // no such timing, so allow at least 20 ms for scheduling delays.
    silence_ = std::max<Clock::duration>(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(3.5 * ls.charSeconds())),
        std::chrono::milliseconds(20));

    if (!opt_.linkPath.empty() && !makeLink())
        return false;
    if (!opt_.controlPath.empty() && !makeControl())
        return false;
    return true;
}

void Device::cleanup()
{
    if (linkMade_) {
        char target[512];
        const ssize_t n = readlink(opt_.linkPath.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, size_t(n)) == slaveName_)
            unlink(opt_.linkPath.c_str());
        linkMade_ = false;
    }
    if (controlMade_) {
        unlink(opt_.controlPath.c_str());
        controlMade_ = false;
    }
    for (int *fd : {&controlFd_, &controlKeepOpen_, &master_, &slaveFd_, &replyFds_[0], &replyFds_[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (ctx_)
        modbus_free(ctx_);
    ctx_ = nullptr;
    if (map_)
        modbus_mapping_free(map_);
    map_ = nullptr;
}

Behaviour Device::nextBehaviour()
{
    if (queue_.empty())
        return {};
    const Behaviour b = queue_.front();
    queue_.pop_front();
    return b;
}

void Device::schedule(Bytes bytes, Clock::time_point due)
{
    if (!out_.empty())
        due = std::max(due, out_.back().due);
    out_.push_back({due, std::move(bytes)});
}

void Device::sendDue(Clock::time_point now)
{
    while (!out_.empty() && out_.front().due <= now) {
        const Bytes &b = out_.front().bytes;
        const ssize_t n = write(master_, b.data(), b.size());
        if (n != ssize_t(b.size()))
            warn("reply not fully sent (%zd of %zu bytes): %s", n, b.size(),
                 n < 0 ? std::strerror(errno) : "buffer full");
        if (opt_.trace)
            line("tx: %s", hex(b).c_str());
        out_.pop_front();
    }
}

// Expected length of a request from its first bytes, 0 while unknown and -1
// for a function code whose length only the silence after it tells.
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

void Device::readPty(Clock::time_point now)
{
    uint8_t buf[512];
    while (true) {
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) {
            if (resync_)
                continue;  // still discarding, the silence timer restarts below
            rx_.insert(rx_.end(), buf, buf + n);
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
    lastRx_ = now;
    extractFrames(now);
}

void Device::extractFrames(Clock::time_point now)
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
        handleFrame(frame, now);
    }
}

void Device::onSilence(Clock::time_point now)
{
    resync_ = false;
    if (rx_.empty())
        return;
    Bytes frame;
    frame.swap(rx_);
    if (expectedLength(frame) == -1 && frame.size() <= MODBUS_RTU_MAX_ADU_LENGTH && crcOk(frame)) {
        handleFrame(frame, now);  // an unsupported function: libmodbus refuses it
        return;
    }
    line("dropped: %s: %s", expectedLength(frame) == -1 ? "bad CRC" : "incomplete frame",
         hex(frame).c_str());
}

void Device::handleFrame(const Bytes &frame, Clock::time_point now)
{
    const long n = ++requests_;
    const int addr = frame[0];
    const int fn = frame[1];
    if (opt_.trace)
        line("rx: %s", hex(frame).c_str());
    if (addr != opt_.slave && addr != MODBUS_BROADCAST_ADDRESS) {
        line("request %ld: fn=%d slave=%d behaviour=ignored", n, fn, addr);
        return;
    }
    if (addr == MODBUS_BROADCAST_ADDRESS) {
        line("request %ld: fn=%d slave=0 behaviour=broadcast", n, fn);
        carryOut(frame, now);  // no reply to a broadcast
        return;
    }
    const Behaviour b = nextBehaviour();
    line("request %ld: fn=%d slave=%d behaviour=%s", n, fn, addr, b.text().c_str());

    if (b.kind == Behaviour::NoReply)
        return;  // as if the request never arrived: nothing changes
    if (b.kind == Behaviour::Exception) {
        Bytes r{uint8_t(addr), uint8_t(fn | 0x80), uint8_t(b.arg)};
        appendCrc(r);
        schedule(std::move(r), now);
        return;
    }
    Bytes reply = carryOut(frame, now);
    if (reply.empty())
        return;
    switch (b.kind) {
    case Behaviour::BadCrc:
        reply[reply.size() - 2] ^= 0xFF;
        break;
    case Behaviour::Garbage:
        for (int i = 0; i < b.arg; ++i)
            reply.push_back(uint8_t(0xA5 ^ (i * 0x3B)));
        break;
    case Behaviour::OtherSlave:
        reply[0] = uint8_t(b.arg);
        reply.resize(reply.size() - 2);
        appendCrc(reply);
        break;
    case Behaviour::Split: {
        const auto half = reply.begin() + std::ptrdiff_t(reply.size() / 2);
        schedule(Bytes(reply.begin(), half), now);
        schedule(Bytes(half, reply.end()), now + std::chrono::milliseconds(b.arg));
        return;
    }
    default:
        break;
    }
    schedule(std::move(reply), b.kind == Behaviour::Delay ? now + std::chrono::milliseconds(b.arg) : now);
}

// Carries out the request on the device's data through libmodbus and returns
// the reply it built (with a valid CRC), empty if it built none.
Bytes Device::carryOut(const Bytes &frame, Clock::time_point now)
{
    setCounter(counterAt(now), now);  // the registers hold the current count
    const int fn = frame[1];

    uint8_t req[MODBUS_MAX_ADU_LENGTH] = {};
    std::copy(frame.begin(), frame.end(), req);
    req[0] = uint8_t(opt_.slave);  // so that libmodbus also answers a broadcast

    Bytes reply;
    const bool badCount =
        (fn == 15 || fn == 16) && frame.size() >= 9
        && frame[6] != (fn == 16 ? 2 * ((frame[4] << 8) | frame[5]) : (((frame[4] << 8) | frame[5]) + 7) / 8);
    if (badCount) {
        reply = {uint8_t(opt_.slave), uint8_t(fn | 0x80), MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE};
        appendCrc(reply);
    } else {
        if (modbus_reply(ctx_, req, int(frame.size()), map_) < 0) {
            warn("modbus_reply: %s", modbus_strerror(errno));
            return {};
        }
        uint8_t buf[MODBUS_MAX_ADU_LENGTH];
        ssize_t n;
        while ((n = read(replyFds_[0], buf, sizeof buf)) > 0)
            reply.insert(reply.end(), buf, buf + n);
    }
    if (reply.size() < 4) {
        warn("libmodbus built no reply for %s", hex(frame).c_str());
        return {};
    }
    if (reply[1] & 0x80) {
        line("refused: exception %d", reply[2]);
    } else {
        describe(frame, now);
    }
    reply[0] = frame[0];
    reply.resize(reply.size() - 2);
    appendCrc(reply);
    return reply;
}

// Prints what a carried-out request did and applies the device's own rules
// (counter reset through coil 2, the counter restarting from a written value).
void Device::describe(const Bytes &frame, Clock::time_point now)
{
    const int fn = frame[1];
    const int start = (frame[2] << 8) | frame[3];
    int count = 1;
    if (fn == 1 || fn == 3 || fn == 15 || fn == 16)
        count = (frame[4] << 8) | frame[5];
    const auto covers = [&](int a) { return a >= start && a < start + count; };

    if (fn == 3 && (covers(0) || covers(1)))
        line("counter: %d", int32_t(counterAt(now)));

    if (fn == 5 || fn == 15) {
        static const char *const names[] = {"output 1", "output 2", nullptr, "buzzer"};
        for (int c = 0; c < kCoilCount; ++c) {
            if (!covers(c))
                continue;
            if (c == 2) {
                if (map_->tab_bits[2]) {
                    map_->tab_bits[2] = 0;
                    setCounter(0, now);
                    line("counter: reset to 0");
                }
                continue;
            }
            line("%s: %s", names[c], map_->tab_bits[c] ? "on" : "off");
        }
    }
    if (fn == 6 || fn == 16) {
        if (covers(0) || covers(1)) {
            const uint32_t v = (uint32_t(map_->tab_registers[0]) << 16) | map_->tab_registers[1];
            setCounter(v, now);
            line("display: number %d", int32_t(v));
        }
        if (covers(2) || covers(3) || covers(4))
            line("display: text \"%s\"", displayText().c_str());
    }
}

void Device::readControl()
{
    char buf[512];
    ssize_t n;
    while ((n = read(controlFd_, buf, sizeof buf)) > 0)
        controlBuf_.append(buf, size_t(n));
    size_t nl;
    while ((nl = controlBuf_.find('\n')) != std::string::npos) {
        const std::string text = controlBuf_.substr(0, nl);
        controlBuf_.erase(0, nl + 1);
        std::vector<Behaviour> list;
        std::string bad;
        if (!parseBehaviourList(text, list, bad)) {
            warn("control: unknown behaviour \"%s\" in \"%s\", line ignored", bad.c_str(), text.c_str());
            continue;
        }
        for (const Behaviour &b : list) {
            queue_.push_back(b);
            line("queued: %s", b.text().c_str());
        }
    }
}

int Device::run()
{
    if (!setUp())
        return 1;
    line("device: %s", slaveName_.c_str());
    if (!opt_.linkPath.empty())
        line("link: %s", opt_.linkPath.c_str());
    if (!opt_.controlPath.empty())
        line("control: %s", opt_.controlPath.c_str());
    line("config: slave=%d settings=%s rate=%g counter=%d", opt_.slave, opt_.settings.text().c_str(),
         opt_.rate, opt_.counter);

    std::string stopReason;
    while (stopReason.empty()) {
        Clock::time_point now = Clock::now();
        sendDue(now);
        if (!rx_.empty() || resync_) {
            if (now - lastRx_ >= silence_)
                onSilence(now);
        }

        // Sleep until the next thing due: a reply piece or the end of a frame.
        std::optional<Clock::time_point> wake;
        const auto earliest = [&](Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
        if (!out_.empty())
            earliest(out_.front().due);
        if (!rx_.empty() || resync_)
            earliest(lastRx_ + silence_);
        const bool hup = now < hupUntil_;
        if (hup)
            earliest(hupUntil_);
        int timeout = -1;
        if (wake) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
            timeout = int(std::clamp<long long>(ms, 0, 60000));
        }

        pollfd fds[4];
        int nfds = 0;
        fds[nfds++] = {gSignalPipe[0], POLLIN, 0};
        const int ptyIdx = hup ? -1 : nfds;
        if (!hup)
            fds[nfds++] = {master_, POLLIN, 0};
        const int ctlIdx = controlFd_ >= 0 ? nfds : -1;
        if (controlFd_ >= 0)
            fds[nfds++] = {controlFd_, POLLIN, 0};
        const int inIdx = opt_.exitOnStdinEof ? nfds : -1;
        if (opt_.exitOnStdinEof)
            fds[nfds++] = {STDIN_FILENO, POLLIN, 0};

        const int rc = poll(fds, nfds_t(nfds), timeout);
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
        if (ptyIdx >= 0 && fds[ptyIdx].revents) {
            if (fds[ptyIdx].revents & (POLLHUP | POLLERR) && !(fds[ptyIdx].revents & POLLIN))
                hupUntil_ = now + std::chrono::milliseconds(100);
            else
                readPty(now);
        }
        if (ctlIdx >= 0 && (fds[ctlIdx].revents & POLLIN))
            readControl();
        if (inIdx >= 0 && fds[inIdx].revents) {
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

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options opt = parseOptions(argc, argv);

    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        warn("pipe: %s", std::strerror(errno));
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Device device(opt);
    return device.run();
}
