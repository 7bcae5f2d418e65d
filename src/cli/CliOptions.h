#pragma once
// The command line of korvane-cli: a command with its arguments and the
// options, read into one value. A mistake is a value too (a one-line
// message), so the whole reading is a pure function.

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace korvane::cli {

enum class Command { Read, Reset, Number, Text, Output, Buzzer, Test, Find, Watch };

/// The name a command is given by on the command line ("read").
QString commandName(Command command);

/// A line format of --format: "8N2", "8E1" or "8O1".
struct LineFormat {
    QString name;       ///< as --format names it, "8N2"
    QString settings;   ///< the part of a line-settings text after the baud rate, "n,8,2"
    friend bool operator==(const LineFormat &, const LineFormat &) = default;
};
/// The three formats, in the order a search tries them.
const QList<LineFormat> &lineFormats();
/// The format named (case ignored), or std::nullopt.
std::optional<LineFormat> lineFormat(const QString &name);
/// The baud rates --baud accepts: 4800, 9600, 19200.
const QList<int> &baudRates();

struct Options {
    Command command = Command::Read;
    // The command's arguments.
    qint32 number = 0;           ///< number N
    QString text;                ///< text TEXT, as given (up to six characters)
    int output = 0;              ///< output 1|2
    bool on = false;             ///< output/buzzer on|off

    // Where and how; std::nullopt: from the settings file.
    std::optional<QString> port;
    std::optional<int> baud;
    std::optional<LineFormat> format;
    std::optional<int> slave;
    std::optional<QString> settingsFile;
    int timeoutMs = 100;
    int retries = 0;
    bool echo = false;
    bool json = false;
    bool verbose = false;

    // watch
    int intervalMs = 1000;       ///< 1 s, or the timeout when that is longer
    std::optional<int> count;    ///< std::nullopt: until interrupted

    // find
    QStringList ports;           ///< empty: --port, else the settings file's port
    QList<int> bauds;            ///< empty: all three
    QList<LineFormat> formats;   ///< empty: all three
    int firstAddress = 1;
    int lastAddress = 247;
    int waitMs = 100;
    bool all = false;
};

struct ParsedCommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    Options options;
    /// For Error: what is wrong, in one line without the program's name.
    QString error;
};

/// Reads the arguments after the program's name. Options may come before
/// or after the command; the command's own arguments are taken as they
/// stand (number -5 is a number); "--" ends the options. The first of
/// --help, --version or a mistake decides.
ParsedCommandLine parseCommandLine(const QStringList &arguments);

/// The --help text and the --version line.
QString usageText();
QString versionText();
/// The line printed for a usage error: "korvane-cli: WHAT (see korvane-cli --help)".
QString usageErrorLine(const QString &error);

/// The display shows -99999 to 999999; other numbers are sent all the same.
bool displayCanShow(qint32 number);

} // namespace korvane::cli
