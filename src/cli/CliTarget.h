#pragma once
// Which device korvane-cli talks to and how: the port, the line settings,
// the slave address and echo removal, from the command line's options and,
// where they are silent, from the settings file the window uses.

#include "CliOptions.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace korvane::cli {

/// What the settings file holds for korvane-cli (empty texts where a key
/// is missing, or where no file was read).
struct StoredSettings {
    QString file;       ///< the file read; empty when none
    QString commPort;   ///< [Settings] CommPort
    QString setting;    ///< [Settings] Setting
    QString slaveId;    ///< [Settings] SlaveID
    std::array<QString, 6> ports;  ///< [Ports] COM1 .. COM6
    std::array<QString, 6> echo;   ///< [Ports] COM1Echo .. COM6Echo
};

/// Reads the keys above from file (an empty path reads nothing).
StoredSettings readStoredSettings(const QString &file);

/// The settings file to read: the one --settings names (which must exist
/// and be readable: otherwise error says why), else the one the window
/// would use, or the one it would be seeded from (empty: none, the
/// defaults apply). Nothing is created, copied or written.
struct SettingsFileChoice {
    QString file;
    QString error;
};
SettingsFileChoice chooseSettingsFileToRead(const Options &options);

struct Target {
    int commPort = 1;       ///< the COM number the port session selects
    QString device;         ///< what that number is mapped to (empty: its default device)
    QString portName;       ///< for people and the JSON: "COM1", or the path as given
    QString line;           ///< line settings, "9600,n,8,2"
    std::uint8_t slave = 1;
    bool echo = false;      ///< remove the adapter's echo of each request
};

struct TargetChoice {
    std::optional<Target> target;
    /// Why there is none: a stored value that cannot be used, naming the
    /// option that replaces it.
    QString error;
};

/// The target from the options and, where they are silent, the stored
/// settings; without those, COM1 (through the [Ports] mapping), 9600,n,8,2
/// and slave 1. A stored SlaveID of 0 is never used (it would broadcast).
TargetChoice chooseTarget(const Options &options, const StoredSettings &stored);

/// port: "COMn" (any case, n from 1 to 6) -> n; std::nullopt otherwise.
std::optional<int> comNumber(const QString &port);

} // namespace korvane::cli
