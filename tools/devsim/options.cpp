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

} // namespace devsim
