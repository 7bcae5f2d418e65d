#include "options.h"

#include "common.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include <getopt.h>

namespace devsim {

namespace {

struct BaudEntry { int baud; speed_t speed; };
const BaudEntry kBauds[] = {
    {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
    {115200, B115200}, {230400, B230400},
};

const char kUsage[] = R"(Usage: korvane-devsim [OPTION]...
Simulates the counter/display device: a Modbus RTU slave on a pseudo-terminal,
or behind a TCP port with --tcp.

Options:
  --tcp HOST:PORT    serve the device over TCP instead of a pseudo-terminal,
                     as a serial device server in raw ("TCP server") mode:
                     the RTU frames, CRC included, pass unchanged. HOST is a
                     host name, an IPv4 address or an IPv6 address in
                     brackets ([::1]:5020); PORT 0 picks a free port. One
                     client at a time: a new connection replaces the
                     current one (see TCP below)
  --slave N          slave address to answer, 1..247 (default 1)
  --rate N           counter speed in counts per second, N >= 0, may be
                     fractional; 0 freezes the counter (default 3)
  --counter N        counter value at start, signed 32-bit (default 0)
  --settings B,P,D,S line settings the device listens at, e.g. 9600,n,8,2
                     (default); P is n, e or o. On a pseudo-terminal they
                     are set on it at start, and a request that arrives
                     while the program at the other end has set another
                     baud rate or number of stop bits is not heard: no
                     reply (see --garble), nothing carried out. Parity and
                     data bits cannot be seen over a pseudo-terminal: a
                     request is heard whatever they are. Over TCP there are
                     no line settings and every request is heard. The baud
                     rate also sets the silence that ends an incomplete
                     frame.
  --garble           answer a request at other line settings with noise
                     instead of silence: for every two request bytes one
                     byte, 00 where 0 bits dominate them and FF where 1
                     bits do, as a UART at half the speed reads them
                     (01 03 00 00 00 02 C4 0B as 00 00 00 00); never a
                     frame with a valid CRC
  --echo             send every byte received straight back, before any
                     reply, as an RS-485 adapter that hears itself shows
                     the master its own request; also at other line
                     settings (the adapter hears the master regardless of
                     the device)
  --script LIST      behaviours for the coming requests, one per request in
                     order, comma separated; afterwards every request is "ok"
  --control PATH     create a FIFO at PATH (replacing a stale FIFO); each line
                     written to it appends behaviours (one, or a comma list)
                     to the queue, or is "hangup": close the TCP client's
                     connection now; the FIFO is removed on exit
  --link PATH        create a symbolic link PATH to the device (replacing a
                     stale symbolic link; with --tcp it points to the
                     tcp://ADDRESS:PORT text); it is removed on exit
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
  disconnect         with --tcp only: not carried out; the client's
                     connection is closed instead of a reply
Replies leave in order: a reply (or a disconnect) never comes before an
earlier delayed one.

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

TCP (--tcp):
  It listens on one address, the first of HOST's addresses it can bind (the
  device line names it), with SO_REUSEADDR, so a simulator started again
  takes the same port at once; replies leave with TCP_NODELAY, so the
  pieces of split:MS leave apart. One client at a time: when a second one
  connects, the current connection is closed and the new one served;
  replies not yet sent to the old one are dropped. A client that closes is
  no error (what it sent before is carried out): the simulator keeps
  listening for the next one.

Output (stdout, one line each, flushed):
  device: PATH                       always the first line; with --tcp
                                     tcp://ADDRESS:PORT, the address to
                                     connect to (IPv6 in brackets)
  link: PATH / control: PATH         when those options are given
  config: slave=N settings=B,P,D,S rate=N counter=N [echo] [garble]
  connected: ADDRESS:PORT            a TCP client connected (its address)
  disconnected: ADDRESS:PORT (WHY)   the TCP client went; WHY is "closed by
                                     the client", "replaced by ADDRESS:PORT",
                                     "disconnect", "hangup", "stopping" or
                                     "error: TEXT"
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
  mismatch: LINE (listening at B,P,D,S): silent|noise: BYTES
                                     per frame with a good CRC that came
                                     at other line settings (LINE: the baud
                                     rate and stop bits the other end set);
                                     it is not carried out and takes no
                                     behaviour from the queue
  queued: B                          a behaviour arrived on the control FIFO
  dropped: REASON: BYTES             bytes that made no valid frame, or
                                     that the closed connection left unsent
  rx: BYTES / tx: BYTES              with --trace
  echo: BYTES                        with --trace and --echo: bytes sent
                                     straight back
  stopped: REASON                    on exit (SIGINT, SIGTERM, stdin closed)
Errors go to stderr. Exit status 0 after a clean stop, 1 on a runtime
error (such as a port in use), 2 on a bad command line (also a HOST that
does not resolve).
)";

} // namespace

std::string LineSettings::text() const
{
    return std::to_string(baud) + "," + parity + "," + std::to_string(dataBits) + ","
        + std::to_string(stopBits);
}

double LineSettings::charSeconds() const
{
    return double(1 + dataBits + (parity == 'n' ? 0 : 1) + stopBits) / baud;
}

int baudOf(speed_t speed)
{
    for (const BaudEntry &e : kBauds) {
        if (e.speed == speed)
            return e.baud;
    }
    return 0;
}

speed_t LineSettings::speed() const
{
    for (const BaudEntry &e : kBauds) {
        if (e.baud == baud)
            return e.speed;
    }
    return B9600;  // not reached: parseSettings accepts only the listed rates
}

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

[[noreturn]] void usageError(const std::string &msg)
{
    warn("%s (see --help)", msg.c_str());
    std::exit(2);
}

std::optional<TcpAddress> parseTcpAddress(const std::string &s, std::string &error)
{
    const auto wrong = [&](const std::string &why) {
        error = why + ", not \"" + s + "\"";
        return std::nullopt;
    };
    const std::string form = "wants HOST:PORT such as 127.0.0.1:5020, localhost:0 or [::1]:5020";
    TcpAddress a;
    std::string rest;
    if (!s.empty() && s[0] == '[') {
        const auto close = s.find(']');
        if (close == std::string::npos || close == 1)
            return wrong(form);
        a.host = s.substr(1, close - 1);
        rest = s.substr(close + 1);
        if (rest.empty() || rest[0] != ':')
            return wrong(form);
        rest.erase(0, 1);
    } else {
        const auto colon = s.rfind(':');
        if (colon == std::string::npos || colon == 0)
            return wrong(form);
        a.host = s.substr(0, colon);
        rest = s.substr(colon + 1);
        if (a.host.find(':') != std::string::npos)
            return wrong("wants an IPv6 address in brackets, such as [::1]:5020");
    }
    // Digits only: getaddrinfo would also take a service name such as "http".
    const bool digits = !rest.empty() && rest.size() <= 5
        && std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
    const auto port = digits ? parseInt(rest, 0, 65535) : std::nullopt;
    if (!port)
        return wrong("wants a PORT of 0..65535 (0: any free port)");
    a.port = int(*port);
    a.text = s;
    return a;
}

Options parseOptions(int argc, char **argv)
{
    enum { OptSlave = 1000, OptRate, OptCounter, OptSettings, OptScript, OptControl, OptLink,
           OptStdin, OptTrace, OptTcp, OptGarble, OptEcho };
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
        {"tcp", required_argument, nullptr, OptTcp},
        {"garble", no_argument, nullptr, OptGarble},
        {"echo", no_argument, nullptr, OptEcho},
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
        case OptGarble:
            o.garble = true;
            break;
        case OptEcho:
            o.echo = true;
            break;
        case OptTcp: {
            std::string error;
            o.tcp = parseTcpAddress(arg, error);
            if (!o.tcp)
                usageError("--tcp " + error);
            break;
        }
        default:
            usageError(std::string("unknown option or missing value: ")
                       + (optind > 0 && optind <= argc ? argv[optind - 1] : "?"));
        }
    }
    if (optind < argc)
        usageError(std::string("unexpected argument \"") + argv[optind] + "\"");
    if (!o.tcp && std::any_of(o.script.begin(), o.script.end(),
                              [](const Behaviour &b) { return b.kind == Behaviour::Disconnect; }))
        usageError("--script: disconnect closes a TCP client's connection; it needs --tcp");
    return o;
}

} // namespace devsim
