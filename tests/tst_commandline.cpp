// The command line, read before the GUI application reaches the window
// system: KORVANE's --help and --version, Qt's options passed on, and
// mistakes answered with one line and status 2; then the real program doing
// so with no display at all.

#include "common/CommandLine.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace korvane;

Q_DECLARE_METATYPE(korvane::CommandLine::Action)

namespace {
using Action = CommandLine::Action;
constexpr int Patience = 30000; // ms; only bounds a hang
} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void arguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Action>("action");
        QTest::addColumn<bool>("styleGiven");
        QTest::addColumn<QString>("error");

        auto row = [](const char *name, QStringList args, Action action, bool style = false,
                      const QString &error = {}) {
            QTest::newRow(name) << args << action << style << error;
        };
        row("none: the window", {}, Action::Run);
        row("--help", {"--help"}, Action::Help);
        row("-h", {"-h"}, Action::Help);
        row("--version", {"--version"}, Action::Version);
        row("-v", {"-v"}, Action::Version);
        row("Qt's -platform offscreen is passed on", {"-platform", "offscreen"}, Action::Run);
        row("Qt's options also take two dashes", {"--platform", "offscreen", "--reverse"}, Action::Run);
        row("-style NAME chooses the style", {"-style", "Windows"}, Action::Run, true);
        row("-style=NAME chooses the style", {"-style=Windows"}, Action::Run, true);
        row("-stylesheet=FILE is no style", {"-stylesheet=a.qss"}, Action::Run, false);
        row("-qwindowtitle takes --help as its title", {"-qwindowtitle", "--help"}, Action::Run);
        row("-title, the X11 name, likewise", {"-title", "-v"}, Action::Run);
        row("Qt's -qmljsdebugger, either form, and -testability are passed on",
            {"-qmljsdebugger=port:1234", "-qmljsdebugger", "port:1234,block", "-testability"}, Action::Run);
        row("X11's -visual ID, -nograb and -dograb are passed on", {"-visual", "0x21", "-nograb", "--dograb"},
            Action::Run);
        row("Qt options, then --version", {"-reverse", "-display", ":0", "--version"}, Action::Version);
        row("the first answer decides: --version before a mistake", {"--version", "--bogus"},
            Action::Version);
        row("the first answer decides: a mistake before --help", {"--bogus", "--help"}, Action::Error,
            false, "korvane: unknown option \"--bogus\" (see korvane --help)\n");
        row("a Qt option without its value", {"-reverse", "-platform"}, Action::Error, false,
            "korvane: option -platform needs a value (see korvane --help)\n");
        row("-platform=NAME is not a form Qt takes", {"-platform=offscreen"}, Action::Error, false,
            "korvane: unknown option \"-platform=offscreen\" (see korvane --help)\n");
        row("-help is no option", {"-help"}, Action::Error, false,
            "korvane: unknown option \"-help\" (see korvane --help)\n");
        row("an argument: the program takes none", {"korvane.ini"}, Action::Error, false,
            "korvane: unexpected argument \"korvane.ini\" (see korvane --help)\n");
        row("a lone dash", {"-"}, Action::Error, false,
            "korvane: unexpected argument \"-\" (see korvane --help)\n");
        row("an empty argument", {""}, Action::Error, false,
            "korvane: unexpected argument \"\" (see korvane --help)\n");
    }
    void arguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Action, action);
        QFETCH(bool, styleGiven);
        QFETCH(QString, error);

        const CommandLine c = parseCommandLine(arguments);
        QCOMPARE(c.action, action);
        QCOMPARE(c.styleGiven, styleGiven);
        QCOMPARE(c.exitCode(), action == Action::Error ? 2 : 0);
        switch (action) {
        case Action::Run: QCOMPARE(c.text, QString()); break;
        case Action::Help: QCOMPARE(c.text, helpText()); break;
        case Action::Version: QCOMPARE(c.text, versionText()); break;
        case Action::Error: QCOMPARE(c.text, error); break;
        }
    }

    // Every form of every option the help lists is accepted (Qt's also with
    // two dashes), and nothing else in an option's place of the help is.
    void everyOptionTheHelpListsIsAccepted()
    {
        int forms = 0;
        for (const QString &line : helpText().split(QLatin1Char('\n'))) {
            if (!line.startsWith(QLatin1String("  -")))
                continue;
            const QString options = line.trimmed().section(QLatin1String("  "), 0, 0);
            for (const QString &form : options.split(QLatin1String(", "))) {
                const QStringList args = form.split(QLatin1Char(' ')); // "-style NAME" takes a value
                const QString name = args.first().section(QLatin1Char('='), 0, 0);
                const bool help = name == QLatin1String("-h") || name == QLatin1String("--help");
                const bool version = name == QLatin1String("-v") || name == QLatin1String("--version");
                const bool ours = help || version;
                const Action expected = help ? Action::Help : version ? Action::Version : Action::Run;
                QCOMPARE(parseCommandLine(args).action, expected);
                if (!ours) {
                    QStringList twoDashes = args;
                    twoDashes.first().prepend(QLatin1Char('-'));
                    QCOMPARE(parseCommandLine(twoDashes).action, Action::Run);
                }
                ++forms;
            }
        }
        QVERIFY2(forms >= 20, qPrintable(helpText()));
    }

    void realProgramAnswersWithoutADisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("--help: the help on stdout") << QStringList{"--help"} << 0 << helpText() << "";
        QTest::newRow("--version: the CMake version on stdout")
            << QStringList{"--version"} << 0 << QStringLiteral("korvane " KORVANE_PROJECT_VERSION "\n") << "";
        QTest::newRow("Qt's -platform before --help") << QStringList{"-platform", "xcb", "-h"} << 0
                                                      << helpText() << "";
        QTest::newRow("an unknown option: one line on stderr, status 2")
            << QStringList{"--bogus"} << 2 << ""
            << "korvane: unknown option \"--bogus\" (see korvane --help)\n";
        QTest::newRow("a Qt option without its value: status 2")
            << QStringList{"-style"} << 2 << ""
            << "korvane: option -style needs a value (see korvane --help)\n";
    }
    // No DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM: a program that reached
    // for the window system would abort instead.
    void realProgramAnswersWithoutADisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(KORVANE_EXE_PATH), arguments);
        QVERIFY(program.waitForFinished(Patience));
        const QString stdErr = QString::fromLocal8Bit(program.readAllStandardError());
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QVERIFY2(program.exitCode() == exitCode, qPrintable(stdErr));
        QCOMPARE(QString::fromLocal8Bit(program.readAllStandardOutput()), out);
        QCOMPARE(stdErr, err);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
