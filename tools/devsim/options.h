// The command line: what the simulator is asked to be and do.
#pragma once

#include "behaviour.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <termios.h>

namespace devsim {

struct LineSettings {
    int baud = 9600;
    char parity = 'n';
    int dataBits = 8;
    int stopBits = 2;

    std::string text() const;
    double charSeconds() const;
    speed_t speed() const;  // the termios constant for baud
};

std::optional<LineSettings> parseSettings(const std::string &s);

// The baud rate of a termios speed constant; 0 for one outside the table.
int baudOf(speed_t speed);

// Where --tcp listens: a host name or address (without brackets) and a port,
// 0 for any free one.
struct TcpAddress {
    std::string host;
    int port = 0;
    std::string text;  // as given, for messages
};

// Parses HOST:PORT ([IPV6]:PORT); on error names what is wrong in error.
std::optional<TcpAddress> parseTcpAddress(const std::string &s, std::string &error);

struct Options {
    int slave = 1;
    double rate = 3;
    int32_t counter = 0;
    LineSettings settings;  // what the device listens at
    bool garble = false;    // noise instead of silence at other line settings
    bool echo = false;      // every byte received goes back at once
    std::vector<Behaviour> script;
    std::string linkPath;
    std::string controlPath;
    bool exitOnStdinEof = false;
    bool trace = false;
    std::optional<TcpAddress> tcp;  // serve over TCP instead of a pseudo-terminal
};

// Parses the command line; prints the usage and exits 0 for --help, prints
// a message and exits 2 on a bad command line.
Options parseOptions(int argc, char **argv);

[[noreturn]] void usageError(const std::string &msg);

} // namespace devsim
