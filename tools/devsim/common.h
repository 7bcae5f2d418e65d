// Small helpers the simulator's parts share: time, byte strings, the lines
// it prints, the Modbus CRC and number parsing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// One line on stdout, flushed at once (tests and scripts read it live).
void line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// One line on stderr, prefixed with the program's name.
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string hex(const uint8_t *p, size_t n);
std::string hex(const Bytes &b);

uint16_t crc16(const uint8_t *p, size_t n);
void appendCrc(Bytes &b);
bool crcOk(const Bytes &b);

std::string trim(const std::string &s);
std::optional<long> parseInt(const std::string &s, long lo, long hi);

bool setNonBlocking(int fd);

} // namespace devsim
