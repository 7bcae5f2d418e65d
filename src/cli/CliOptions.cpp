#include "CliOptions.h"

#include "common/BuildInfo.h"
#include "common/Numbers.h"
#include "protocol/Commands.h"
#include "protocol/SlaveAddress.h"
#include "serial/TcpDevice.h"

#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace korvane::cli {

namespace {

struct CommandInfo {
    Command command;
    const char *name;
    int arguments;
};

constexpr CommandInfo Commands[] = {
    {Command::Read, "read", 0},     {Command::Reset, "reset", 0}, {Command::Number, "number", 1},
    {Command::Text, "text", 1},     {Command::Output, "output", 2}, {Command::Buzzer, "buzzer", 1},
    {Command::Test, "test", 0},     {Command::Find, "find", 0},   {Command::Watch, "watch", 0},
};

const CommandInfo *findCommand(const QString &name)
{
    for (const CommandInfo &c : Commands) {
        if (name == QLatin1String(c.name))
            return &c;
    }
    return nullptr;
}

// The options and whether each takes a value.
struct OptionInfo {
    const char *name;
    bool value;
};
constexpr OptionInfo OptionList[] = {
    {"--port", true},     {"--baud", true},      {"--format", true},  {"--slave", true},   {"--settings", true},
    {"--timeout", true},  {"--retries", true},   {"--echo", false},   {"--json", false},   {"--verbose", false},
    {"--interval", true}, {"--count", true},     {"--ports", true},   {"--bauds", true},   {"--formats", true},
    {"--addresses", true}, {"--wait", true},     {"--all", false},    {"--help", false},   {"--version", false},
};

const OptionInfo *findOption(const QString &name)
{
    for (const OptionInfo &o : OptionList) {
        if (name == QLatin1String(o.name))
            return &o;
    }
    return nullptr;
}

// Options that only one command uses.
bool watchOnly(const QString &name)
{
    return name == QLatin1String("--interval") || name == QLatin1String("--count");
}
bool findOnly(const QString &name)
{
    static const QStringList names{QStringLiteral("--ports"), QStringLiteral("--bauds"), QStringLiteral("--formats"),
                                   QStringLiteral("--addresses"), QStringLiteral("--wait"), QStringLiteral("--all")};
    return names.contains(name);
}

std::optional<int> wholeNumber(const QString &text, int min, int max)
{
    // Digits only: no blanks or signs inside an option's value.
    static const QRegularExpression digits(QStringLiteral("^-?[0-9]+$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    const auto value = parseWholeNumber(text, min, max);
    return value ? std::optional<int>(int(*value)) : std::nullopt;
}

/// Seconds as a decimal ("1", "0.2", "1.5"), in milliseconds.
std::optional<int> seconds(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^[0-9]+(\\.[0-9]{1,3})?$|^\\.[0-9]{1,3}$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    const double s = text.toDouble();
    if (!(s > 0) || s > 86400)
        return std::nullopt;
    return int(std::lround(s * 1000));
}

/// Why a display text cannot be sent, or empty when it can.
QString textProblem(const QString &text)
{
    const QList<uint> chars = text.toUcs4();
    if (chars.size() > 6)
        return QStringLiteral("text \"%1\" has %2 characters; the display shows at most 6").arg(text).arg(chars.size());
    for (uint c : chars) {
        if (c != '?' && toWindows1252(char32_t(c)) == '?')
            return QStringLiteral("text \"%1\": the display cannot show \"%2\" (not a Windows-1252 character)")
                .arg(text, QString::fromUcs4(reinterpret_cast<const char32_t *>(&c), 1));
    }
    return {};
}

struct Parser {
    ParsedCommandLine result;
    Options &o = result.options;
    bool haveCommand = false;
    QStringList commandArgs;
    int argumentsWanted = 0;
    QStringList optionsSeen;
    bool intervalGiven = false;

    bool fail(const QString &what)
    {
        if (result.action == ParsedCommandLine::Action::Run) {
            result.action = ParsedCommandLine::Action::Error;
            result.error = what;
        }
        return false;
    }
    bool badValue(const QString &option, const QString &value, const QString &expected)
    {
        return fail(QStringLiteral("%1 \"%2\": %3").arg(option, value, expected));
    }

    /// A whole number from min to max into out, else the usage error.
    bool whole(const QString &name, const QString &value, int min, int max, const char *expected, int &out)
    {
        const auto n = wholeNumber(value, min, max);
        if (!n)
            return badValue(name, value, QLatin1String(expected));
        out = *n;
        return true;
    }
    bool option(const QString &name, const QString &value);
    bool commandArgument(const QString &arg);
    bool finish();
};

bool Parser::option(const QString &name, const QString &value)
{
    optionsSeen << name;
    if (name == QLatin1String("--port")) {
        if (value.trimmed().isEmpty())
            return badValue(name, value, QStringLiteral("give COM1 to COM6, a device path or tcp://HOST:PORT"));
        if (isTcpDevice(value)) {
            QString problem;
            if (!parseTcpDevice(value, &problem))
                return badValue(name, value, QStringLiteral("not a valid tcp://HOST:PORT address: ") + problem);
        }
        o.port = value;
    } else if (name == QLatin1String("--baud")) {
        const auto baud = wholeNumber(value, 1, 1000000);
        if (!baud || !baudRates().contains(*baud))
            return badValue(name, value, QStringLiteral("give 4800, 9600 or 19200"));
        o.baud = *baud;
    } else if (name == QLatin1String("--format")) {
        const auto format = lineFormat(value);
        if (!format)
            return badValue(name, value, QStringLiteral("give 8N2, 8E1 or 8O1"));
        o.format = *format;
    } else if (name == QLatin1String("--slave")) {
        if (value == QLatin1String("0"))
            return badValue(name, value, QStringLiteral("0 is the broadcast address, which no device answers; "
                                                        "give 1 to 247"));
        const auto slave = slaveAddressFromText(value);
        if (!slave || value.trimmed() != value)
            return badValue(name, value, QStringLiteral("give a slave address from 1 to 247"));
        o.slave = *slave;
    } else if (name == QLatin1String("--settings")) {
        if (value.isEmpty())
            return badValue(name, value, QStringLiteral("give the path of a korvane.ini"));
        o.settingsFile = value;
    } else if (name == QLatin1String("--timeout")) {
        return whole(name, value, 1, 60000, "give milliseconds from 1 to 60000", o.timeoutMs);
    } else if (name == QLatin1String("--retries")) {
        return whole(name, value, 0, 100, "give a number from 0 to 100", o.retries);
    } else if (name == QLatin1String("--echo")) {
        o.echo = true;
    } else if (name == QLatin1String("--json")) {
        o.json = true;
    } else if (name == QLatin1String("--verbose")) {
        o.verbose = true;
    } else if (name == QLatin1String("--interval")) {
        const auto ms = seconds(value);
        if (!ms)
            return badValue(name, value, QStringLiteral("give seconds, e.g. 1 or 0.2 (at most 86400)"));
        o.intervalMs = *ms;
        intervalGiven = true;
    } else if (name == QLatin1String("--count")) {
        int n = 0;
        if (!whole(name, value, 1, std::numeric_limits<int>::max(), "give a number of reads, 1 or more", n))
            return false;
        o.count = n;
    } else if (name == QLatin1String("--ports")) {
        QStringList ports;
        for (const QString &p : value.split(QLatin1Char(','))) {
            if (p.trimmed().isEmpty())
                return badValue(name, value, QStringLiteral("an empty entry in the list"));
            if (isTcpDevice(p) && !parseTcpDevice(p))
                return badValue(name, value, QStringLiteral("\"%1\" is not a valid tcp://HOST:PORT address").arg(p));
            ports << p.trimmed();
        }
        o.ports = ports;
    } else if (name == QLatin1String("--bauds")) {
        QList<int> bauds;
        for (const QString &b : value.split(QLatin1Char(','))) {
            const auto baud = wholeNumber(b.trimmed(), 1, 1000000);
            if (!baud || !baudRates().contains(*baud))
                return badValue(name, value, QStringLiteral("give a list of 4800, 9600 and 19200"));
            if (!bauds.contains(*baud))
                bauds << *baud;
        }
        o.bauds = bauds;
    } else if (name == QLatin1String("--formats")) {
        QList<LineFormat> formats;
        for (const QString &f : value.split(QLatin1Char(','))) {
            const auto format = lineFormat(f.trimmed());
            if (!format)
                return badValue(name, value, QStringLiteral("give a list of 8N2, 8E1 and 8O1"));
            if (!formats.contains(*format))
                formats << *format;
        }
        o.formats = formats;
    } else if (name == QLatin1String("--addresses")) {
        const QStringList range = value.split(QLatin1Char('-'));
        const auto first = wholeNumber(range.value(0), 1, 247);
        const auto last = range.size() == 1 ? first : wholeNumber(range.value(1), 1, 247);
        if (range.size() > 2 || !first || !last || *first > *last)
            return badValue(name, value, QStringLiteral("give A-B with 1 <= A <= B <= 247, or one address"));
        o.firstAddress = *first;
        o.lastAddress = *last;
    } else if (name == QLatin1String("--wait")) {
        return whole(name, value, 1, 60000, "give milliseconds from 1 to 60000", o.waitMs);
    } else if (name == QLatin1String("--all")) {
        o.all = true;
    }
    return true;
}

bool Parser::commandArgument(const QString &arg)
{
    const int index = int(commandArgs.size());
    commandArgs << arg;
    switch (o.command) {
    case Command::Number: {
        const auto n = wholeNumber(arg, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max());
        if (!n)
            return fail(QStringLiteral("number \"%1\": give a whole number from -2147483648 to 2147483647").arg(arg));
        o.number = *n;
        return true;
    }
    case Command::Text: {
        const QString problem = textProblem(arg);
        if (!problem.isEmpty())
            return fail(problem);
        o.text = arg;
        return true;
    }
    case Command::Output:
        if (index == 0) {
            if (arg != QLatin1String("1") && arg != QLatin1String("2"))
                return fail(QStringLiteral("output \"%1\": give 1 or 2").arg(arg));
            o.output = arg.toInt();
            return true;
        }
        [[fallthrough]];
    case Command::Buzzer: {
        const QString word = arg.toLower();
        if (word != QLatin1String("on") && word != QLatin1String("off"))
            return fail(QStringLiteral("%1 \"%2\": give on or off").arg(commandName(o.command), arg));
        o.on = word == QLatin1String("on");
        return true;
    }
    default:
        return true;
    }
}

bool Parser::finish()
{
    if (!haveCommand)
        return fail(QStringLiteral("no command given"));
    if (commandArgs.size() < argumentsWanted) {
        static const char *const wanted[] = {"", "", "N", "TEXT", "1|2 on|off", "on|off"};
        const int i = int(o.command);
        return fail(QStringLiteral("%1 needs %2").arg(commandName(o.command), QLatin1String(i < 6 ? wanted[i] : "")));
    }
    for (const QString &name : optionsSeen) {
        if (watchOnly(name) && o.command != Command::Watch)
            return fail(QStringLiteral("%1 is for watch only").arg(name));
        if (findOnly(name) && o.command != Command::Find)
            return fail(QStringLiteral("%1 is for find only").arg(name));
    }
    // A read must end before the next one is due.
    if (!intervalGiven)
        o.intervalMs = std::max(o.intervalMs, o.timeoutMs);
    else if (o.intervalMs < o.timeoutMs)
        return fail(QStringLiteral("--interval %1 is shorter than the timeout (%2 ms)")
                        .arg(o.intervalMs / 1000.0).arg(o.timeoutMs));
    return true;
}

} // namespace

QString commandName(Command command)
{
    for (const CommandInfo &c : Commands) {
        if (c.command == command)
            return QLatin1String(c.name);
    }
    return {};
}

const QList<LineFormat> &lineFormats()
{
    static const QList<LineFormat> formats{{QStringLiteral("8N2"), QStringLiteral("n,8,2")},
                                           {QStringLiteral("8E1"), QStringLiteral("e,8,1")},
                                           {QStringLiteral("8O1"), QStringLiteral("o,8,1")}};
    return formats;
}

std::optional<LineFormat> lineFormat(const QString &name)
{
    for (const LineFormat &f : lineFormats()) {
        if (name.compare(f.name, Qt::CaseInsensitive) == 0)
            return f;
    }
    return std::nullopt;
}

const QList<int> &baudRates()
{
    static const QList<int> rates{4800, 9600, 19200};
    return rates;
}

bool displayCanShow(qint32 number)
{
    return number >= -99999 && number <= 999999;
}

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    Parser p;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        if (!optionsEnded && arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        // Arguments the command still takes are taken as they stand.
        const bool argumentDue = p.haveCommand && p.commandArgs.size() < p.argumentsWanted;
        if (!optionsEnded && !argumentDue && arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            QString name = arg;
            QString value;
            bool inlineValue = false;
            if (arg.startsWith(QLatin1String("--"))) {
                const qsizetype equals = arg.indexOf(QLatin1Char('='));
                if (equals > 0) {
                    name = arg.left(equals);
                    value = arg.mid(equals + 1);
                    inlineValue = true;
                }
            } else if (arg == QLatin1String("-v")) {
                name = QStringLiteral("--verbose");
            } else if (arg == QLatin1String("-h")) {
                name = QStringLiteral("--help");
            }
            const OptionInfo *info = findOption(name);
            if (!info) {
                p.fail(QStringLiteral("unknown option \"%1\"").arg(arg));
                break;
            }
            if (name == QLatin1String("--help") || name == QLatin1String("--version")) {
                p.result.action = name == QLatin1String("--help") ? ParsedCommandLine::Action::Help
                                                                   : ParsedCommandLine::Action::Version;
                return p.result;
            }
            if (!info->value && inlineValue) {
                p.fail(QStringLiteral("option %1 takes no value").arg(name));
                break;
            }
            if (info->value && !inlineValue) {
                if (i + 1 >= arguments.size()) {
                    p.fail(QStringLiteral("option %1 needs a value").arg(name));
                    break;
                }
                value = arguments[++i];
            }
            if (!p.option(name, value))
                break;
            continue;
        }
        if (!p.haveCommand) {
            const CommandInfo *c = findCommand(arg);
            if (!c) {
                p.fail(QStringLiteral("unknown command \"%1\"").arg(arg));
                break;
            }
            p.haveCommand = true;
            p.o.command = c->command;
            p.argumentsWanted = c->arguments;
            continue;
        }
        if (!argumentDue) {
            p.fail(QStringLiteral("unexpected argument \"%1\"").arg(arg));
            break;
        }
        if (!p.commandArgument(arg))
            break;
    }
    if (p.result.action == ParsedCommandLine::Action::Run)
        p.finish();
    return p.result;
}

QString usageErrorLine(const QString &error)
{
    return QStringLiteral("korvane-cli: %1 (see korvane-cli --help)").arg(error);
}

QString versionText()
{
    return QStringLiteral("korvane-cli %1\n").arg(QLatin1String(build::Version));
}

QString usageText()
{
    return QStringLiteral(
        "Usage: korvane-cli [OPTION]... COMMAND [ARGUMENT]...\n"
        "Sends commands to the counter/display device (a Modbus RTU slave) over a\n"
        "serial line and reports the result: for a shell, a script or a test station.\n"
        "\n"
        "Commands:\n"
        "  read                  print the counter value\n"
        "  reset                 reset the counter to 0\n"
        "  number N              write the whole number N to the counter and display\n"
        "                        (-2147483648 to 2147483647; the display shows -99999\n"
        "                        to 999999)\n"
        "  text TEXT             show up to six characters, right-aligned (characters\n"
        "                        of Windows-1252 only)\n"
        "  output 1|2 on|off     switch output 1 or 2\n"
        "  buzzer on|off         switch the buzzer\n"
        "  test                  test the device, step by step, PASS or FAIL\n"
        "  watch                 read the counter every --interval seconds\n"
        "  find                  search ports, line settings and addresses for devices\n"
        "\n"
        "Options:\n"
        "  --port P              COM1 to COM6 (through the settings file's [Ports]), a\n"
        "                        device path (/dev/ttyUSB0 or ttyUSB0) or\n"
        "                        tcp://HOST:PORT (default: the settings file's port)\n"
        "  --baud B              4800, 9600 or 19200 (default: the settings file's)\n"
        "  --format F            8N2, 8E1 or 8O1 (default: the settings file's)\n"
        "  --slave N             slave address, 1 to 247 (default: the settings file's)\n"
        "  --settings FILE       the korvane.ini to read (default: the window's)\n"
        "  --timeout MS          wait at most MS milliseconds for a reply (default 100)\n"
        "  --retries N           send a failed request again up to N times (default 0)\n"
        "  --echo                the adapter hears its own requests: remove them\n"
        "  --json                one JSON object per request on a line (JSON Lines)\n"
        "  -v, --verbose         each request's frames and note on standard error\n"
        "  --interval S          watch: seconds from read to read (default 1)\n"
        "  --count N             watch: stop after N reads (default: when interrupted)\n"
        "  --ports LIST          find: ports to search, comma separated (default: the\n"
        "                        --port value, else the settings file's port)\n"
        "  --bauds LIST          find: baud rates to try (default: 4800,9600,19200)\n"
        "  --formats LIST        find: formats to try (default: 8N2,8E1,8O1)\n"
        "  --addresses A-B       find: slave addresses to try (default: 1-247)\n"
        "  --wait MS             find: wait for each probe's reply (default 100)\n"
        "  --all                 find: go on after the first device found\n"
        "  -h, --help            show this help and exit\n"
        "  --version             show the version and exit\n"
        "\n"
        "Options may come before or after the command; the command's own arguments are\n"
        "never read as options (number -5), and \"--\" ends the options.\n"
        "\n"
        "Exit status: 0 success; 1 no reply within the timeout; 2 usage error; 3 a reply\n"
        "that fails (bad CRC, too short, another slave or function, Modbus exception);\n"
        "4 nothing sent (the port or the settings file cannot be opened).\n"
        "See korvane-cli(1).\n");
}

} // namespace korvane::cli
