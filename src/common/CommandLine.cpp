#include "common/CommandLine.h"

#include "common/BuildInfo.h"

#include <cstdio>

namespace korvane {

namespace {

// The Qt options passed on: those that Qt 6.4's QCoreApplication,
// QGuiApplication, QApplication and its X11 (xcb) platform plugin take.
// Qt takes each also with two dashes; only -style, -stylesheet and
// -qmljsdebugger also as -name=value. -geometry, -title, -icon, -display,
// -name, -visual, -nograb and -dograb are the X11 platform's; elsewhere Qt
// leaves them unused. The list is also the help's.
struct QtOption {
    const char *name;
    const char *alias; // the same option under its X11 name, or nullptr
    const char *value; // the value's placeholder, or nullptr for a switch
    bool equalsForm;   // also -name=value
    const char *help;
};

constexpr QtOption QtOptions[] = {
    {"platform", nullptr, "NAME[:OPTIONS]", false, "the platform plugin: xcb, wayland, offscreen, ..."},
    {"platformpluginpath", nullptr, "DIR", false, "a further folder to look for platform plugins in"},
    {"platformtheme", nullptr, "NAME", false, "the platform theme"},
    {"plugin", nullptr, "NAME", false, "load an input plugin, e.g. evdevtouch"},
    {"style", nullptr, "NAME", true, "the widget style instead of Fusion"},
    {"stylesheet", nullptr, "FILE", true, "a Qt style sheet for the window"},
    {"widgetcount", nullptr, nullptr, false, "report at exit how many widgets were left"},
    {"reverse", nullptr, nullptr, false, "lay the window out from right to left"},
    {"testability", nullptr, nullptr, false, "load Qt's testability plugin (for GUI test tools)"},
    {"qmljsdebugger", nullptr, "ARGS", true, "the QML debugger's settings (unused: no QML)"},
    {"qwindowgeometry", "geometry", "GEOMETRY", false, "the window's position, e.g. +100+50"},
    {"qwindowtitle", "title", "TITLE", false, "the window's title"},
    {"qwindowicon", "icon", "FILE", false, "the window's icon"},
    {"session", nullptr, "ID", false, "restore the session ID (from a session manager)"},
    {"display", nullptr, "DISPLAY", false, "the X display, e.g. :0"},
    {"name", nullptr, "NAME", false, "the X resource name"},
    {"visual", nullptr, "ID", false, "the X visual, by its id"},
    {"nograb", nullptr, nullptr, false, "never grab the mouse or the keyboard"},
    {"dograb", nullptr, nullptr, false, "grab them even under a debugger"},
};

// The option named by `arg` ("-platform", "--platform", "-style=Fusion"),
// with whether the value came after "=".
const QtOption *findQtOption(const QString &arg, bool *inlineValue)
{
    *inlineValue = false;
    if (!arg.startsWith(QLatin1Char('-')))
        return nullptr;
    QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype equals = name.indexOf(QLatin1Char('='));
    if (equals >= 0)
        name.truncate(equals);
    for (const QtOption &o : QtOptions) {
        if (name != QLatin1String(o.name) && !(o.alias && name == QLatin1String(o.alias)))
            continue;
        if (equals >= 0 && !o.equalsForm)
            return nullptr;
        *inlineValue = equals >= 0;
        return &o;
    }
    return nullptr;
}

CommandLine answer(CommandLine::Action action, const QString &text)
{
    CommandLine c;
    c.action = action;
    c.text = text;
    return c;
}

CommandLine error(const QString &what)
{
    return answer(CommandLine::Action::Error,
                  QStringLiteral("korvane: %1 (see korvane --help)\n").arg(what));
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine result;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help"))
            return answer(CommandLine::Action::Help, helpText());
        if (arg == QLatin1String("-v") || arg == QLatin1String("--version"))
            return answer(CommandLine::Action::Version, versionText());
        bool inlineValue = false;
        if (const QtOption *o = findQtOption(arg, &inlineValue)) {
            if (o->value && !inlineValue) {
                if (i + 1 >= arguments.size())
                    return error(QStringLiteral("option %1 needs a value").arg(arg));
                ++i; // the value, whatever it looks like (as Qt takes it)
            }
            if (QLatin1String(o->name) == QLatin1String("style"))
                result.styleGiven = true;
            continue;
        }
        if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1)
            return error(QStringLiteral("unknown option \"%1\"").arg(arg));
        return error(QStringLiteral("unexpected argument \"%1\"").arg(arg));
    }
    return result;
}

QStringList argumentsOf(int argc, char **argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    return args;
}

int printAnswer(const CommandLine &commandLine)
{
    std::FILE *to = commandLine.action == CommandLine::Action::Error ? stderr : stdout;
    std::fputs(commandLine.text.toLocal8Bit().constData(), to);
    std::fflush(to);
    return commandLine.exitCode();
}

QString helpText()
{
    // Two columns: the option, then what it does from column 27, at least
    // two blanks after the option (else on a line of its own below it).
    auto row = [](const QString &option, const char *help) {
        constexpr int Column = 26;
        QString line = QStringLiteral("  ") + option;
        line += line.size() + 2 <= Column ? QString(Column - line.size(), QLatin1Char(' '))
                                          : QLatin1Char('\n') + QString(Column, QLatin1Char(' '));
        return line + QLatin1String(help) + QLatin1Char('\n');
    };
    QString text = QStringLiteral(
        "Usage: korvane [OPTION]... [QT-OPTION]...\n"
        "Drives one Modbus RTU counter/display device over a serial line: reads and\n"
        "resets its counter, writes a number or text to its display, and switches its\n"
        "outputs and buzzer.\n"
        "\n"
        "Options:\n");
    text += row(QStringLiteral("-h, --help"), "show this help and exit");
    text += row(QStringLiteral("-v, --version"), "show the version and exit");
    text += QStringLiteral("\nQt options, passed on to Qt (each also with two dashes, e.g. --platform):\n");
    for (const QtOption &o : QtOptions) {
        auto form = [&o](const char *name) {
            QString f = QLatin1Char('-') + QLatin1String(name);
            if (o.value)
                f += QLatin1Char(' ') + QLatin1String(o.value);
            if (o.equalsForm)
                f += QStringLiteral(", -%1=%2").arg(QLatin1String(name), QLatin1String(o.value));
            return f;
        };
        QString option = form(o.name);
        if (o.alias)
            option += QStringLiteral(", ") + form(o.alias);
        text += row(option, o.help);
    }
    text += QStringLiteral(
        "\n"
        "The settings (port, line settings, slave address) are kept in korvane.ini in\n"
        "the program's folder or in $XDG_CONFIG_HOME/korvane/; see korvane(1).\n");
    return text;
}

QString versionText()
{
    return QStringLiteral("korvane %1\n").arg(QLatin1String(build::Version));
}

} // namespace korvane
