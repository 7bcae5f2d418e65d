#pragma once
// The command line: KORVANE's own options (--help, --version) and those of
// Qt's options that it passes on to Qt unchanged. It is read before the GUI
// application exists, so --help, --version and a mistake are answered
// without a display.

#include <QString>
#include <QStringList>

namespace korvane {

struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    /// What to print: the help or the version line (standard output), or a
    /// one-line error that names --help (standard error). Empty for Run.
    QString text;
    /// A Qt option chose the widget style (-style): the program's own choice
    /// (Fusion) then steps aside.
    bool styleGiven = false;

    /// 2 after an error, otherwise 0.
    int exitCode() const { return action == Action::Error ? 2 : 0; }
};

/// Reads the arguments after the program's name, in order: the first of
/// --help, --version or a mistake decides. Qt's options with a value take
/// the next argument as it stands (-qwindowtitle --help is a title).
CommandLine parseCommandLine(const QStringList &arguments);

/// argv without the program's name, as text.
QStringList argumentsOf(int argc, char **argv);

/// Prints what parseCommandLine() answered (standard output for the help
/// and the version, standard error for an error) and returns the exit
/// status. Only for actions other than Run.
int printAnswer(const CommandLine &commandLine);

/// The texts of --help and --version.
QString helpText();
QString versionText();

} // namespace korvane
