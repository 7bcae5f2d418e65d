#include "device.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace devsim {

namespace {
constexpr int kCoilCount = 4;      // 0, 1: outputs; 2: counter reset; 3: buzzer
constexpr int kRegisterCount = 5;  // 0, 1: counter; 2..4: display text
}

Device::Device(const Options &o) : opt_(o), queue_(o.script.begin(), o.script.end()) {}

Device::~Device()
{
    for (int &fd : replyFds_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    if (ctx_)
        modbus_free(ctx_);
    if (map_)
        modbus_mapping_free(map_);
}

bool Device::setUp(Clock::time_point now)
{
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
    // socket pair, from where they go to the line.
    modbus_set_socket(ctx_, replyFds_[1]);
    modbus_set_slave(ctx_, opt_.slave);
    map_ = modbus_mapping_new_start_address(0, kCoilCount, 0, 0, 0, kRegisterCount, 0, 0);
    if (!map_) {
        warn("modbus_mapping_new: %s", modbus_strerror(errno));
        return false;
    }
    for (int r = 2; r <= 4; ++r)
        map_->tab_registers[r] = 0x2020;
    setCounter(uint32_t(opt_.counter), now);
    return true;
}

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

Behaviour Device::nextBehaviour()
{
    if (queue_.empty())
        return {};
    const Behaviour b = queue_.front();
    queue_.pop_front();
    return b;
}

void Device::schedule(Bytes bytes, Clock::time_point due, bool close)
{
    if (!out_.empty())
        due = std::max(due, out_.back().due);
    out_.push_back({due, std::move(bytes), close});
}

void Device::dropScheduled()
{
    Bytes unsent;
    for (const Segment &s : out_)
        unsent.insert(unsent.end(), s.bytes.begin(), s.bytes.end());
    out_.clear();
    if (!unsent.empty())
        line("dropped: reply to a closed connection: %s", hex(unsent).c_str());
}

std::optional<Device::Segment> Device::takeDue(Clock::time_point now)
{
    if (out_.empty() || out_.front().due > now)
        return std::nullopt;
    Segment s = std::move(out_.front());
    out_.pop_front();
    return s;
}

std::optional<Clock::time_point> Device::nextDue() const
{
    if (out_.empty())
        return std::nullopt;
    return out_.front().due;
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
    if (b.kind == Behaviour::Disconnect) {
        schedule({}, now, true);  // not carried out either
        return;
    }
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

} // namespace devsim
