#include "common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>

namespace devsim {

void line(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

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

bool setNonBlocking(int fd)
{
    const int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

} // namespace devsim
