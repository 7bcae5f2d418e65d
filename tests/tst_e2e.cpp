// End to end over the real serial path: the main window with the real
// serial-port component talks to the device simulator (korvane-devsim) on a
// pseudo-terminal, reached through a [Ports] mapping in korvane.ini. The
// simulator's own report of each request shows what reached the device;
// the window's status labels show what the operator sees. The cases named
// "OverTcp" run the same with the simulator serving the device over TCP on
// the loopback address, as a serial device server does, and COM1 mapped to
// its tcp:// address. The last cases start the program itself as a process
// from a program folder of its own.
//
// The window waits ten 10 ms ticks for a reply. Faults that must fit inside
// that wait use a small fraction of it, a late reply comes ten times later,
// and every other condition is awaited, so a slow machine only makes the
// tests take longer.

#include "LoopbackPeers.h"
#include "serial/AnyDeviceComponent.h"
#include "ui/TrafficWindow.h"
#include "ui/frmMain.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QScopedValueRollback>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <unistd.h>

using namespace korvane;
using korvane::test::pendingConnectsTo;
using korvane::test::StalledListener;

namespace {

// Generous bounds for awaited conditions (a loaded machine, sanitizers).
constexpr int Patience = 30000;

// The simulator process and the lines it prints, collected as they come
// (also while the window waits inside a command).
class Sim {
public:
    Sim()
    {
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&proc, &QProcess::readyReadStandardOutput, &proc, [this] { collect(); });
    }
    ~Sim() { stop(); }

    // Starts the simulator and waits for its device line.
    bool start(const QStringList &args)
    {
        lines.clear();
        connections.clear();
        device.clear();
        proc.start(QStringLiteral(KORVANE_DEVSIM_PATH), args);
        if (!proc.waitForStarted(Patience))
            return false;
        proc.closeWriteChannel();
        const bool reported = QTest::qWaitFor([this] {
            collect();
            return !lines.isEmpty() || proc.state() == QProcess::NotRunning;
        }, Patience);
        if (!reported || lines.isEmpty() || !lines.first().startsWith(QLatin1String("device: ")))
            return false;
        device = lines.first().mid(8);
        // The link line follows the device line when --link is given; wait
        // for the whole start-up report (the config line) so that the link
        // exists before anyone opens it.
        return QTest::qWaitFor([this] {
            collect();
            return lines.last().startsWith(QLatin1String("config: "))
                || proc.state() == QProcess::NotRunning;
        }, Patience) && proc.state() == QProcess::Running;
    }

    void stop()
    {
        if (proc.state() == QProcess::NotRunning)
            return;
        proc.terminate();
        if (!proc.waitForFinished(Patience))
            proc.kill();
        proc.waitForFinished(Patience);
    }

    // A TCP client's coming and going is kept apart from the device's own
    // lines, so that those read the same over TCP.
    void collect()
    {
        while (proc.canReadLine()) {
            const QString line = QString::fromUtf8(proc.readLine()).trimmed();
            const bool connection = line.startsWith(QLatin1String("connected: "))
                || line.startsWith(QLatin1String("disconnected: "));
            (connection ? connections : lines) << line;
        }
    }

    // The request and state-change lines printed since mark.
    QStringList since(qsizetype mark)
    {
        collect();
        return lines.mid(mark);
    }

    QProcess proc;
    QStringList lines;
    QStringList connections; // "connected: ..." and "disconnected: ..."
    QString device;
};

int linkSerial = 0;

// A unique name for the simulator's link. The serial port's lock file is
// named after the last part of the path, so the name must not be shared
// with another test run on the same machine.
QString uniqueLinkName()
{
    return QStringLiteral("ttyE2E-%1-%2").arg(QCoreApplication::applicationPid()).arg(++linkSerial);
}

QByteArray iniFor(const QString &link)
{
    return "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n[Ports]\r\nCOM1="
        + link.toLocal8Bit() + "\r\n";
}

// Set by the "OverTcp" cases: the simulator serves the device over TCP.
bool viaTcp = false;

// The window on the real serial-port component (the program's own, which
// opens a serial device or connects to a serial device server), COM1 mapped
// in a korvane.ini of its own to the simulator's link, or over TCP to its
// address.
struct Rig {
    Rig() : link(dir.filePath(uniqueLinkName())) {}

    // Starts the simulator (frozen counter, linked at `link`, or on a free
    // loopback TCP port that it keeps when started again) with extra args.
    bool startSim(const QStringList &extra)
    {
        if (!viaTcp)
            return sim.start(QStringList{QStringLiteral("--rate"), QStringLiteral("0"),
                                         QStringLiteral("--link"), link} + extra);
        const bool started = sim.start(QStringList{QStringLiteral("--rate"), QStringLiteral("0"),
                                                   QStringLiteral("--tcp"),
                                                   QStringLiteral("127.0.0.1:%1").arg(tcpPort)} + extra);
        if (started && tcpPort == 0)
            tcpPort = parseTcpDevice(sim.device).value_or(TcpAddress()).port;
        return started && sim.device == QStringLiteral("tcp://127.0.0.1:%1").arg(tcpPort);
    }
    // What COM1 is mapped to.
    QString device() const { return viaTcp ? QStringLiteral("tcp://127.0.0.1:%1").arg(tcpPort) : link; }

    // Writes korvane.ini and brings the window up; true when it opened the
    // port without a warning.
    bool openWindow()
    {
        QFile f(dir.filePath(QStringLiteral("korvane.ini")));
        if (!f.open(QIODevice::WriteOnly) || f.write(iniFor(device())) < 0)
            return false;
        f.close();
        window = std::make_unique<frmMain>(&port, f.fileName(),
                                           [this](const Message &m) { messages << m; });
        // The system's device list would open the machine's serial ports.
        window->setDeviceSource([] { return QList<SerialDevice>(); });
        window->Form_Load();
        return port.PortOpen() && messages.isEmpty();
    }

    QTemporaryDir dir;
    QString link;
    quint16 tcpPort = 0;
    Sim sim;
    AnyDeviceComponent port;
    QList<Message> messages;
    std::unique_ptr<frmMain> window; // destroyed before the port
};

enum Command { Read, Reset, Number, Text, Output };

void run(frmMain &w, Command command, int index = 0, const QString &input = {})
{
    switch (command) {
    case Read:
        w.cmdReadCount_Click();
        break;
    case Reset:
        w.cmdResetCount_Click();
        break;
    case Number:
        w.txtNum->setText(input);
        w.cmdWReg_Click();
        break;
    case Text:
        w.txtASCII->setText(input);
        w.cmdASCII_Click();
        break;
    case Output:
        w.cmdOutput_Click(index);
        break;
    }
}

QLabel *statusLabel(frmMain &w, Command command)
{
    switch (command) {
    case Read:
    case Reset:
        return w.lblSta;
    case Number:
    case Text:
        return w.lblSta1;
    case Output:
        break;
    }
    return w.lblSta2;
}

QString request(int n, int fn, const QString &behaviour = QStringLiteral("ok"))
{
    return QStringLiteral("request %1: fn=%2 slave=1 behaviour=%3").arg(n).arg(fn).arg(behaviour);
}

// Whether process pid holds device open (a file descriptor pointing at it).
bool holdsOpen(qint64 pid, const QString &device)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char target[512];
        const ssize_t n = ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof target - 1);
        if (n > 0 && QString::fromLocal8Bit(target, n) == device)
            return true;
    }
    return false;
}

// Counts the program's "serial port closed" lines on stderr.
struct ClosedLines {
    ClosedLines()
    {
        current = this;
        previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &ctx, const QString &text) {
            if (current && text.contains(QLatin1String("serial port closed")))
                ++current->count;
            if (current && current->previous)
                current->previous(type, ctx, text);
        });
    }
    ~ClosedLines()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    int count = 0;
    QtMessageHandler previous = nullptr;
    static inline ClosedLines *current = nullptr;
};

// A virtual X server (Xvfb) for the tests that press buttons and choose
// from the menus of the real program, and xdotool to do so.
struct XServer {
    bool start()
    {
        server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                              QStringLiteral("-screen"), QStringLiteral("0"),
                                              QStringLiteral("800x600x24"), QStringLiteral("-nolisten"),
                                              QStringLiteral("tcp"),
                                              // No reset when the last client (an xdotool
                                              // call, a program run) leaves: a client
                                              // connecting during a reset is refused.
                                              QStringLiteral("-noreset")});
        if (!server.waitForStarted(Patience))
            return false;
        // The display number is the first line Xvfb prints; no line is a failure below.
        (void)QTest::qWaitFor([this] { return server.canReadLine() || server.state() == QProcess::NotRunning; },
                              Patience);
        const QByteArray number = server.readLine().trimmed();
        if (number.isEmpty())
            return false;
        display = QLatin1Char(':') + QString::fromLatin1(number);
        return true;
    }
    ~XServer()
    {
        server.terminate();
        server.waitForFinished(Patience);
    }

    QString xdotool(const QStringList &args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("xdotool"), args);
        p.waitForFinished(Patience);
        return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    }

    // The program's visible top-level windows: the main window, its message
    // boxes and its open menus. (By class: a menu's window name is not
    // always set when it appears.)
    QStringList windows()
    {
        return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--classname"),
                        QStringLiteral("^korvane$")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QString focused() { return xdotool({QStringLiteral("getwindowfocus")}); }
    int height(const QString &window)
    {
        const QString g = xdotool({QStringLiteral("getwindowgeometry"), window});
        const qsizetype x = g.lastIndexOf(QLatin1Char('x'));
        return x < 0 ? -1 : g.mid(x + 1).toInt();
    }
    void key(const QString &name) { xdotool({QStringLiteral("key"), name}); }

    // "Read Counter Value" in window coordinates: its place in the client
    // area (group box at 24,16, button at 16,24, 113 x 25 pixels) below a
    // menu bar of 20 to 25 pixels.
    static QPoint buttonCentre() { return QPoint(24 + 16 + 56, 22 + 16 + 24 + 12); }

    // The windows titled KORVANE that are shown (the main window and any
    // message box), each with its place on the screen.
    QList<QRect> shownWindows()
    {
        QList<QRect> windows;
        const QString ids = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                     QStringLiteral("--name"), QStringLiteral("^KORVANE$")});
        for (const QString &id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            QMap<QString, int> g;
            const QString shell = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
            for (const QString &line : shell.split(QLatin1Char('\n'))) {
                const qsizetype eq = line.indexOf(QLatin1Char('='));
                if (eq > 0)
                    g[line.left(eq)] = line.mid(eq + 1).toInt();
            }
            windows << QRect(g.value(QStringLiteral("X")), g.value(QStringLiteral("Y")),
                             g.value(QStringLiteral("WIDTH")), g.value(QStringLiteral("HEIGHT")));
        }
        return windows;
    }

    // A click at `at` in the client area (below the menu bar) of the main
    // window, which stands at `window` on the screen; its client area is
    // 569 x 245 pixels. Negative y: in the menu bar.
    void clickInClient(const QRect &window, QPoint at)
    {
        const int menuBar = window.height() - 245;
        xdotool({QStringLiteral("mousemove"), QString::number(window.x() + at.x()),
                 QString::number(window.y() + menuBar + at.y()), QStringLiteral("click"), QStringLiteral("1")});
    }
    // Keys to the window that has the focus, e.g. "ctrl+a", "Down", "Return".
    void keys(const QStringList &names) { xdotool(QStringList{QStringLiteral("key")} + names); }
    void type(const QString &text)
    {
        xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
    }

    QProcess server;
    QString display;
};

// The program copied into dir/program with `ini` as its korvane.ini;
// returns the executable's path, empty when that failed.
QString programFolder(const QTemporaryDir &dir, const QByteArray &ini)
{
    if (!QDir(dir.path()).mkpath(QStringLiteral("program")))
        return QString();
    const QString exe = dir.filePath(QStringLiteral("program/korvane"));
    QFile f(dir.filePath(QStringLiteral("program/korvane.ini")));
    if (!QFile::copy(QStringLiteral(KORVANE_EXE_PATH), exe)
        || !QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner)
        || !f.open(QIODevice::WriteOnly) || f.write(ini) != ini.size())
        return QString();
    return exe;
}

// The program's environment: the offscreen platform, or x's display.
QProcessEnvironment programEnvironment(const XServer *x)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!x) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), x->display);
    // In the sanitizer build: the desktop integration's D-Bus library
    // keeps an allocation at exit, which is not the program's.
    env.insert(QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=") + QFINDTESTDATA("lsan-system.supp"));
    return env;
}

// Places in the main window's client area (pixels; the layout's twips / 15).
const QPoint SlaveField(408 + 10, 32 + 10);
const QPoint ReadCounterValue(24 + 16 + 56, 16 + 24 + 12);
const QPoint ResetCounter(24 + 16 + 56, 16 + 56 + 12);
const QPoint WriteNumericValue(296 + 16 + 56, 64 + 32 + 12);
const QPoint SerialPortMenu(20, -9); // in the menu bar above the client area

// The program started on a virtual X server of its own.
struct ProgramOnX {
    bool start(const QString &exe)
    {
        if (!x.start())
            return false;
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.setProcessEnvironment(programEnvironment(&x));
        program.start(exe, {});
        return program.waitForStarted(Patience);
    }
    // Waits until the program holds `device` open and shows its window
    // alone; then `window` is the window's place on the screen.
    bool ready(const QString &device)
    {
        const bool up = QTest::qWaitFor([&] {
            return program.state() == QProcess::NotRunning
                || (holdsOpen(program.processId(), device) && x.shownWindows().size() == 1);
        }, Patience);
        if (!up || program.state() != QProcess::Running)
            return false;
        window = x.shownWindows().first();
        return true;
    }

    XServer x;
    QProcess program; // ended before the X server
    QRect window;
};

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestE2E : public QObject {
    Q_OBJECT
private slots:
    void commandChangesTheDevice_data();
    void commandChangesTheDevice();
    void faultShowsItsStatus_data();
    void faultShowsItsStatus();
    void lateReplyIsNotTakenForTheNextOne();
    void trafficNoteNamesTheFault_data();
    void trafficNoteNamesTheFault();
    void deviceGoneAndBackIsOpenedByTheNextCommand_data();
    void deviceGoneAndBackIsOpenedByTheNextCommand();

    // The same over TCP, against the simulator as a serial device server.
    void commandChangesTheDeviceOverTcp_data() { commandChangesTheDevice_data(); }
    void commandChangesTheDeviceOverTcp() { overTcp(&TestE2E::commandChangesTheDevice); }
    void faultShowsItsStatusOverTcp_data() { faultShowsItsStatus_data(); }
    void faultShowsItsStatusOverTcp() { overTcp(&TestE2E::faultShowsItsStatus); }
    void lateReplyIsNotTakenForTheNextOneOverTcp() { overTcp(&TestE2E::lateReplyIsNotTakenForTheNextOne); }
    void trafficNoteNamesTheFaultOverTcp_data() { trafficNoteNamesTheFault_data(); }
    void trafficNoteNamesTheFaultOverTcp() { overTcp(&TestE2E::trafficNoteNamesTheFault); }
    void deviceGoneAndBackIsOpenedByTheNextCommandOverTcp_data() { deviceGoneAndBackIsOpenedByTheNextCommand_data(); }
    void deviceGoneAndBackIsOpenedByTheNextCommandOverTcp() { overTcp(&TestE2E::deviceGoneAndBackIsOpenedByTheNextCommand); }
    void serverClosesAndTheNextCommandReconnects_data();
    void serverClosesAndTheNextCommandReconnects();

    void programStartsFromItsFolderAndStoresSettingsOnSigterm_data();
    void programStartsFromItsFolderAndStoresSettingsOnSigterm();
    void menuChoiceOutlivesTwoRunsFromAFolderWithoutSettings();
    void typedSlaveAddressReachesThatSlaveOnly();
    void signalEndsTheProgramWhateverBoxIsOpen_data();
    void signalEndsTheProgramWhateverBoxIsOpen();
    void programTalksToADeviceServer_data();
    void programTalksToADeviceServer();

private:
    void overTcp(void (TestE2E::*test)())
    {
        const QScopedValueRollback tcp(viaTcp, true);
        (this->*test)();
    }
};

void TestE2E::commandChangesTheDevice_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<QString>("counter");

    QTest::newRow("read -> counter: 1234, shown")
        << int(Read) << 0 << QString() << QStringList{request(1, 3), "counter: 1234"} << "1234";
    QTest::newRow("reset -> counter: reset to 0, 0 shown")
        << int(Reset) << 0 << QString() << QStringList{request(1, 5), "counter: reset to 0"} << "0";
    QTest::newRow("number -12345 -> display: number -12345")
        << int(Number) << 0 << "-12345" << QStringList{request(1, 16), "display: number -12345"} << "";
    QTest::newRow("number 999999 -> display: number 999999")
        << int(Number) << 0 << "999999" << QStringList{request(1, 16), "display: number 999999"} << "";
    QTest::newRow("text KORV42 -> display: text \"KORV42\"")
        << int(Text) << 0 << "KORV42" << QStringList{request(1, 16), "display: text \"KORV42\""} << "";
    QTest::newRow("text Ab -> display: text \"    Ab\"")
        << int(Text) << 0 << "Ab" << QStringList{request(1, 16), "display: text \"    Ab\""} << "";
    QTest::newRow("Turn On 1 -> output 1: on")
        << int(Output) << 0 << QString() << QStringList{request(1, 5), "output 1: on"} << "";
    QTest::newRow("Turn Off 1 -> output 1: off")
        << int(Output) << 1 << QString() << QStringList{request(1, 5), "output 1: off"} << "";
    QTest::newRow("Turn On 2 -> output 2: on")
        << int(Output) << 2 << QString() << QStringList{request(1, 5), "output 2: on"} << "";
    QTest::newRow("Turn Off 2 -> output 2: off")
        << int(Output) << 3 << QString() << QStringList{request(1, 5), "output 2: off"} << "";
    QTest::newRow("Buzzer On -> buzzer: on")
        << int(Output) << 4 << QString() << QStringList{request(1, 5), "buzzer: on"} << "";
    QTest::newRow("Buzzer Off -> buzzer: off")
        << int(Output) << 5 << QString() << QStringList{request(1, 5), "buzzer: off"} << "";
}

void TestE2E::commandChangesTheDevice()
{
    QFETCH(int, command);
    QFETCH(int, index);
    QFETCH(QString, input);
    QFETCH(QStringList, device);
    QFETCH(QString, counter);

    Rig rig;
    QVERIFY(rig.startSim({QStringLiteral("--counter"), QStringLiteral("1234")}));
    QVERIFY(rig.openWindow());
    frmMain &w = *rig.window;
    const qsizetype mark = rig.sim.lines.size();

    run(w, Command(command), index, input);

    QCOMPARE(statusLabel(w, Command(command))->text(), QStringLiteral("Success"));
    QCOMPARE(w.lblCounter->text(), counter);
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.since(mark), device, Patience);
}

void TestE2E::faultShowsItsStatus_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("counter");
    QTest::addColumn<QStringList>("device");

    QTest::newRow("noreply -> Error")
        << "noreply" << "Error" << "" << QStringList{request(1, 3, "noreply")};
    QTest::newRow("crc -> CRC Err")
        << "crc" << "CRC Err" << "" << QStringList{request(1, 3, "crc"), "counter: 4321"};
    QTest::newRow("exception:2 -> CRC Err")
        << "exception:2" << "CRC Err" << "" << QStringList{request(1, 3, "exception:2")};
    QTest::newRow("split:30, halves inside the wait -> Success")
        << "split:30" << "Success" << "4321" << QStringList{request(1, 3, "split:30"), "counter: 4321"};
    QTest::newRow("slave:7, a good frame from address 7 -> Success")
        << "slave:7" << "Success" << "4321" << QStringList{request(1, 3, "slave:7"), "counter: 4321"};
}

// Each fault on a counter read, then a normal read: the fault leaves
// nothing behind that disturbs the next exchange.
void TestE2E::faultShowsItsStatus()
{
    QFETCH(QString, behaviour);
    QFETCH(QString, status);
    QFETCH(QString, counter);
    QFETCH(QStringList, device);

    Rig rig;
    QVERIFY(rig.startSim({QStringLiteral("--counter"), QStringLiteral("4321"), QStringLiteral("--script"), behaviour}));
    QVERIFY(rig.openWindow());
    frmMain &w = *rig.window;
    const qsizetype mark = rig.sim.lines.size();

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), status);
    QCOMPARE(w.lblCounter->text(), counter);
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.since(mark), device, Patience);

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    QCOMPARE(w.lblCounter->text(), QStringLiteral("4321"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.since(mark), (device + QStringList{request(2, 3), "counter: 4321"}), Patience);
}

// A read whose reply (counter 1111) comes ten times the wait too late; once
// it has arrived, the number 2222 is written and read back. Taking the late
// reply for either of them would show: the write as "CRC Err", the read as
// 1111.
void TestE2E::lateReplyIsNotTakenForTheNextOne()
{
    Rig rig;
    QVERIFY(rig.startSim({QStringLiteral("--counter"), QStringLiteral("1111"),
                          QStringLiteral("--script"), QStringLiteral("delay:1000")}));
    QVERIFY(rig.openWindow());
    frmMain &w = *rig.window;
    const qsizetype mark = rig.sim.lines.size();

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
    QCOMPARE(w.lblCounter->text(), QString());
    // The late reply (nine bytes, counter 1111) arrives and waits in the
    // input buffer.
    QTRY_COMPARE_WITH_TIMEOUT(rig.port.InBufferCount(), 9, Patience);

    run(w, Number, 0, QStringLiteral("2222"));
    QCOMPARE(w.lblSta1->text(), QStringLiteral("Success"));
    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    QCOMPARE(w.lblCounter->text(), QStringLiteral("2222"));

    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.since(mark),
                              (QStringList{request(1, 3, "delay:1000"), "counter: 1111",
                                           request(2, 16), "display: number 2222",
                                           request(3, 3), "counter: 2222"}),
                              Patience);
}

void TestE2E::trafficNoteNamesTheFault_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("lateBytes");  // bytes expected after the wait
    QTest::addColumn<QString>("note");   // a pattern for the whole note

    const QString timing = QStringLiteral("first byte \\d+ ms after the request left, -?\\d+ ms before the wait ended");
    const QString hexes = QStringLiteral("[0-9A-F]{2}( [0-9A-F]{2})*");
    const QString completed = QStringLiteral("with them the reply is complete and its CRC good: the device answered, "
                                             "too late for the wait");
    QTest::newRow("noreply") << "noreply" << "Error" << 0 << "no reply within the wait \\(\\d+ ms\\)";
    QTest::newRow("crc") << "crc" << "CRC Err" << 0
                         << "CRC expected [0-9A-F]{2} [0-9A-F]{2}, received [0-9A-F]{2} [0-9A-F]{2}; " + timing;
    QTest::newRow("exception:2") << "exception:2" << "CRC Err" << 0
                                 << "Modbus exception 02 Illegal Data Address; reply too short for the check: "
                                    "5 bytes, 9 needed; " + timing;
    QTest::newRow("split:30, inside the wait") << "split:30" << "Success" << 0 << "CRC good; " + timing;
    QTest::newRow("split:1000, past the wait")
        << "split:1000" << "CRC Err" << 5
        << "reply too short for the check: 4 bytes, 9 needed; " + timing
               + "; 5 bytes arrived after the wait, about \\d+ ms late: " + hexes + "; " + completed;
    QTest::newRow("slave:7") << "slave:7" << "Success" << 0
                             << "CRC good; reply from slave 7, the request went to slave 1; " + timing;
    QTest::newRow("delay:1000, past the wait")
        << "delay:1000" << "Error" << 9
        << "no reply within the wait \\(\\d+ ms\\); 9 bytes arrived after the wait, about \\d+ ms late: "
               "01 03 04 00 00 10 E1 " + hexes + "; " + completed;
}

// A counter read with each of the simulator's faults, the traffic window
// shown, then a normal read: the first row's note names the fault (late
// bytes included, once they have come), the second row is a plain success
// and holds none of the first one's bytes.
void TestE2E::trafficNoteNamesTheFault()
{
    QFETCH(QString, behaviour);
    QFETCH(QString, status);
    QFETCH(int, lateBytes);
    QFETCH(QString, note);

    Rig rig;
    QVERIFY(rig.startSim({QStringLiteral("--counter"), QStringLiteral("4321"), QStringLiteral("--script"), behaviour}));
    QVERIFY(rig.openWindow());
    frmMain &w = *rig.window;
    w.show();
    w.mnuTraffic->trigger();
    QVERIFY(QTest::qWaitForWindowExposed(w.frmTraffic));
    const TrafficModel &model = *w.frmTraffic->model();

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), status);
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.cellText(0, TrafficModel::StatusColumn), status);
    QCOMPARE(model.record(0).sent, QByteArray::fromHex("010300000002C40B"));
    QTRY_COMPARE_WITH_TIMEOUT(model.record(0).late.size(), lateBytes, Patience);
    if (lateBytes > 0)
        QVERIFY2(model.record(0).lateFirstMs >= 1000, qPrintable(QString::number(model.record(0).lateFirstMs)));
    const QRegularExpression pattern(QRegularExpression::anchoredPattern(note));
    QVERIFY2(pattern.match(model.cellText(0, TrafficModel::Note)).hasMatch(),
             qPrintable(model.cellText(0, TrafficModel::Note)));
    QCOMPARE(w.lblSta->toolTip().section(QLatin1Char('\n'), 1, 1), model.cellText(0, TrafficModel::Note));

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    QCOMPARE(w.lblCounter->text(), QStringLiteral("4321"));
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.record(1).taken.size(), 9);
    QCOMPARE(model.record(1).taken.left(7), QByteArray::fromHex("01030400 0010E1"));
    QVERIFY(model.record(1).late.isEmpty());
    QVERIFY(model.record(1).droppedBeforeSend.isEmpty());
    QCOMPARE(model.record(0).late.size(), lateBytes);
    const QRegularExpression success(QRegularExpression::anchoredPattern(
        QStringLiteral("CRC good; first byte \\d+ ms after the request left, -?\\d+ ms before the wait ended")));
    QVERIFY2(success.match(model.cellText(1, TrafficModel::Note)).hasMatch(),
             qPrintable(model.cellText(1, TrafficModel::Note)));
}

void TestE2E::deviceGoneAndBackIsOpenedByTheNextCommand_data()
{
    QTest::addColumn<bool>("kill");
    QTest::addColumn<bool>("duringWait");
    QTest::addColumn<bool>("byMenu");
    QTest::newRow("simulator killed (SIGKILL) between requests, back: the next read opens it")
        << true << false << false;
    QTest::newRow("simulator stopped (SIGTERM) between requests, back: the next read opens it")
        << false << false << false;
    QTest::newRow("simulator killed (SIGKILL) during a wait, back: the next read opens it")
        << true << true << false;
    QTest::newRow("simulator killed (SIGKILL), back: choosing COM1 opens it") << true << false << true;
}

// The device goes away (its pseudo-terminal hangs up, as an unplugged
// adapter does) and comes back behind the same link: the port closes once,
// commands meanwhile send nothing, and the next command after the device is
// back opens the port and succeeds, with no menu needed.
void TestE2E::deviceGoneAndBackIsOpenedByTheNextCommand()
{
    QFETCH(bool, kill);
    QFETCH(bool, duringWait);
    QFETCH(bool, byMenu);

    Rig rig;
    // The second request is never answered: the device goes away while the
    // window waits for that reply (in the rows that kill during a wait).
    QVERIFY(rig.startSim({QStringLiteral("--counter"), QStringLiteral("1111"),
                          QStringLiteral("--script"), QStringLiteral("ok,noreply")}));
    QVERIFY(rig.openWindow());
    frmMain &w = *rig.window;
    QSignalSpy closed(&rig.port, &SerialComponent::closedOnError);
    ClosedLines stderrLines;

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    QCOMPARE(w.lblCounter->text(), QStringLiteral("1111"));

    // The device goes away: its pseudo-terminal hangs up.
    auto goAway = [&] {
        if (kill)
            rig.sim.proc.kill();
        else
            rig.sim.proc.terminate();
    };
    QMetaObject::Connection atTick3;
    if (duringWait) {
        atTick3 = QObject::connect(w.Timer1, &QTimer::timeout, &rig.sim.proc, [&] {
            if (w.vars.gTick == 3) {
                QObject::disconnect(atTick3);
                goAway();
            }
        });
    } else {
        goAway();
        QVERIFY(rig.sim.proc.waitForFinished(Patience));
    }

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.proc.state(), QProcess::NotRunning, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.port.PortOpen(), Patience);
    QCOMPARE(closed.count(), 1);
    const QString reason = closed.at(0).at(0).toString();
    QVERIFY2(reason.contains(rig.device()), qPrintable(reason));

    // Gone for now. A killed simulator leaves its link behind, leading to a
    // pseudo-terminal number that another program may get next: remove it,
    // as udev removes an unplugged adapter's link.
    QFile::remove(rig.link);
    w.cmdOutput_Click(0);
    QCOMPARE(w.lblSta2->text(), QStringLiteral("Error"));
    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
    QVERIFY(!rig.port.PortOpen());
    QCOMPARE(closed.count(), 1);

    // Back: a new device behind the same link.
    QVERIFY(rig.startSim({QStringLiteral("--counter"), QStringLiteral("2222")}));
    const qsizetype mark = rig.sim.lines.size();
    if (byMenu) {
        w.mnuCOM[1]->trigger();
        QVERIFY(rig.port.PortOpen());
        QVERIFY(w.mnuCOM[1]->isChecked());
    }
    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    QCOMPARE(w.lblCounter->text(), QStringLiteral("2222"));
    w.cmdOutput_Click(0);
    QCOMPARE(w.lblSta2->text(), QStringLiteral("Success"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.since(mark),
                              (QStringList{request(1, 3), "counter: 2222", request(2, 5), "output 1: on"}),
                              Patience);
    QCOMPARE(closed.count(), 1);
    QCOMPARE(rig.messages.size(), 0);
    // One line on stderr for the hang-up, none for the commands after it.
    QCOMPARE(stderrLines.count, 1);
}

void TestE2E::programStartsFromItsFolderAndStoresSettingsOnSigterm_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::addColumn<bool>("duringExchange");
    QTest::newRow("started as program/korvane") << false << false;
    QTest::newRow("started through a symbolic link in another folder") << true << false;
    QTest::newRow("closed while an exchange waits (clicked in a virtual X server)") << false << true;
}

// The program, copied into a folder of its own with a korvane.ini there,
// opens the device that file maps COM1 to, and on SIGTERM closes its window,
// stores the three settings in that file and exits 0. The stored values are
// written in quotes at first, so storing them is visible: they are written
// back without quotes, the rest of the file unchanged. (The program stores
// nothing while its values and the file's agree, so storing the same values
// twice would leave no trace; only the stored result is checked.)
void TestE2E::programStartsFromItsFolderAndStoresSettingsOnSigterm()
{
    QFETCH(bool, throughLink);
    QFETCH(bool, duringExchange);

    QTemporaryDir dir;
    const QString link = dir.filePath(uniqueLinkName());
    Sim sim;
    QVERIFY(sim.start({QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--link"), link,
                       QStringLiteral("--script"), QStringLiteral("noreply")}));

    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("elsewhere")));
    const QByteArray ports = "[Ports]\r\nCOM1=" + link.toLocal8Bit() + "\r\n";
    const QString exe = programFolder(
        dir, "[Settings]\r\nCommPort=\"1\"\r\nSetting=\"9600,n,8,2\"\r\nSlaveID=\"1\"\r\n" + ports);
    QVERIFY(!exe.isEmpty());
    const QString ini = dir.filePath(QStringLiteral("program/korvane.ini"));
    QString started = exe;
    if (throughLink) {
        started = dir.filePath(QStringLiteral("elsewhere/korvane"));
        QVERIFY(QFile::link(exe, started));
    }

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    XServer x;
    // A button can only be pressed from outside on a real display.
    if (duringExchange)
        QVERIFY2(x.start(), "Xvfb (Debian xvfb) did not start");
    program.setProcessEnvironment(programEnvironment(duringExchange ? &x : nullptr));
    program.setWorkingDirectory(dir.filePath(QStringLiteral("elsewhere")));
    program.start(started, {});
    QVERIFY(program.waitForStarted(Patience));

    // Up and running: it has opened the device COM1 is mapped to (after
    // its signal handling was set up).
    QTRY_VERIFY_WITH_TIMEOUT(holdsOpen(program.processId(), sim.device)
                                 || program.state() == QProcess::NotRunning, Patience);
    QCOMPARE(program.state(), QProcess::Running);

    if (duringExchange) {
        // Press "Read Counter Value"; once the device has the request, the
        // program is waiting for the reply (ten 10 ms ticks, and the device
        // never answers): close it now.
        const QString window = x.xdotool({QStringLiteral("search"), QStringLiteral("--sync"),
                                          QStringLiteral("--name"), QStringLiteral("^KORVANE$")})
                                   .split(QLatin1Char('\n')).first();
        QVERIFY(!window.isEmpty());
        // The signal goes out from the simulator's output handler, the moment
        // its request line arrives, well inside the 100 ms wait.
        bool sent = false;
        QObject::connect(&sim.proc, &QProcess::readyReadStandardOutput, &program, [&] {
            if (!sent && sim.since(0).contains(request(1, 3, QStringLiteral("noreply")))) {
                sent = ::kill(pid_t(program.processId()), SIGTERM) == 0;
            }
        });
        const QPoint readButton = x.buttonCentre();
        x.xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                   QString::number(readButton.x()), QString::number(readButton.y()),
                   QStringLiteral("click"), QStringLiteral("1")});
        QTRY_VERIFY_WITH_TIMEOUT(sent || program.state() == QProcess::NotRunning, Patience);
        QVERIFY(sent);
    } else {
        QCOMPARE(::kill(pid_t(program.processId()), SIGTERM), 0);
    }
    QVERIFY(program.waitForFinished(Patience));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    QCOMPARE(contents(ini), "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n" + ports);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("elsewhere/korvane.ini"))));
}

// The program copied into a folder of its own without a korvane.ini, run
// twice on a virtual X server and driven through its real menus with
// xdotool (the menus have no access keys: the first title is clicked, then
// the keyboard moves to the menu and item). The first run creates the file
// beside the program at exit with the choice made; the second run starts
// from it: its own choice of "8N2" keeps the baud rate chosen in the first
// run, which only a second run that read the file can know. The "Serial
// Port" menu is never chosen from (its items would open /dev/ttyS*): each
// menu is checked to be a three-item one before an item is chosen.
void TestE2E::menuChoiceOutlivesTwoRunsFromAFolderWithoutSettings()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("program")));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("elsewhere")));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("runtime")));
    QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("runtime")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString exe = dir.filePath(QStringLiteral("program/korvane"));
    QVERIFY(QFile::copy(QStringLiteral(KORVANE_EXE_PATH), exe));
    QVERIFY(QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner));
    const QString ini = dir.filePath(QStringLiteral("program/korvane.ini"));
    const QString config = dir.filePath(QStringLiteral("config"));

    XServer x;
    QVERIFY2(x.start(), "Xvfb (Debian xvfb) did not start");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), x.display);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("runtime")));
    env.insert(QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=") + QFINDTESTDATA("lsan-system.supp"));

    QString mainWindow;
    QProcess *program = nullptr; // the run in progress
    const auto ended = [&] { return program->state() == QProcess::NotRunning; };
    // A message box has the keyboard focus: it is a window of the program
    // other than the main one. Return presses its OK button.
    auto dismissBox = [&] {
        QString box;
        const bool shown = QTest::qWaitFor([&] {
            if (ended())
                return true;
            const QStringList all = x.windows();
            const QString f = x.focused();
            if (!all.contains(f) || f == mainWindow)
                return false;
            box = f;
            return true;
        }, Patience);
        if (!shown || box.isEmpty())
            return false;
        if (mainWindow.isEmpty()) {
            for (const QString &w : x.windows())
                if (w != box)
                    mainWindow = w;
        }
        x.key(QStringLiteral("Return"));
        return QTest::qWaitFor([&] { return !x.windows().contains(box); }, Patience);
    };
    // Opens the menu `menu` places right of "Serial Port" and chooses its
    // item `item` (0 = first), then dismisses the box that follows (no
    // port is chosen, so reopening the port says so).
    auto choose = [&](int menu, int item) {
        const auto popup = [&](const QString &other, int patience) {
            QString found;
            const bool opened = QTest::qWaitFor([&] {
                if (ended())
                    return true;
                for (const QString &w : x.windows())
                    if (w != mainWindow && w != other)
                        found = w;
                return !found.isEmpty();
            }, patience);
            return opened ? found : QString();
        };
        x.xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), mainWindow, QStringLiteral("20"),
                   QStringLiteral("10"), QStringLiteral("click"), QStringLiteral("1")});
        QString open = popup({}, Patience);
        const int serialPortHeight = x.height(open);
        for (int i = 0; i < menu; ++i) {
            x.key(QStringLiteral("Right")); // the next menu, its first item active
            open = popup(open, Patience);
        }
        if (open.isEmpty() || x.height(open) >= serialPortHeight) {
            x.key(QStringLiteral("Escape"));
            return false;
        }
        for (int i = 0; i < item; ++i)
            x.key(QStringLiteral("Down"));
        x.key(QStringLiteral("Return"));
        return dismissBox();
    };
    auto run = [&](const std::function<bool()> &operate) {
        QProcess process;
        program = &process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.filePath(QStringLiteral("elsewhere")));
        process.start(exe, {});
        mainWindow.clear();
        const bool done = process.waitForStarted(Patience) && dismissBox() && operate();
        if (process.state() == QProcess::Running)
            ::kill(pid_t(process.processId()), SIGTERM);
        const bool finished = process.state() == QProcess::NotRunning || process.waitForFinished(Patience);
        if (!finished)
            process.kill();
        process.waitForFinished(Patience);
        return done && finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    };

    // First run: "Data Format" 8E1, then "Baud Rate" 19200.
    QVERIFY(run([&] { return choose(2, 1) && choose(1, 2); }));
    const IniFile stored(ini);
    QCOMPARE(stored.ReadINI(QStringLiteral("Settings"), QStringLiteral("Setting")), QStringLiteral("19200,e,8,1"));

    // Second run: "Data Format" 8N2 keeps the stored baud rate.
    QVERIFY(run([&] { return choose(2, 0); }));
    QCOMPARE(stored.ReadINI(QStringLiteral("Settings"), QStringLiteral("Setting")), QStringLiteral("19200,n,8,2"));
    QVERIFY(!QFileInfo::exists(config));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("elsewhere/korvane.ini"))));
}

// The real program on a virtual X server, typed into and clicked as an
// operator does. The simulator answers slave 12 only, and prints a line for
// every frame with a good CRC, also for other addresses and broadcasts, so
// a text that named no entry but went out to address 0 would show.
void TestE2E::typedSlaveAddressReachesThatSlaveOnly()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(uniqueLinkName());
    Sim sim;
    QVERIFY(sim.start({QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--slave"),
                       QStringLiteral("12"), QStringLiteral("--link"), link}));
    const QString exe = programFolder(dir, iniFor(link));
    QVERIFY(!exe.isEmpty());
    ProgramOnX run;
    QVERIFY2(run.start(exe), "Xvfb (Debian xvfb) or the program did not start");
    QVERIFY(run.ready(sim.device));
    XServer &x = run.x;
    const QRect window = run.window;
    const qsizetype mark = sim.lines.size();

    auto typeSlave = [&](const QString &text) {
        x.clickInClient(window, SlaveField);
        x.keys({QStringLiteral("ctrl+a")});
        x.type(text);
    };
    // "12" typed over the stored "1", then "Read Counter Value".
    typeSlave(QStringLiteral("12"));
    x.clickInClient(window, ReadCounterValue);
    QTRY_COMPARE_WITH_TIMEOUT(sim.since(mark),
                              (QStringList{QStringLiteral("request 1: fn=3 slave=12 behaviour=ok"),
                                           QStringLiteral("counter: 0")}),
                              Patience);
    // "300" names no entry: "Reset Counter" sends nothing. Then "1" and a
    // read show that the line and the program are alive, and that nothing
    // went out in between.
    typeSlave(QStringLiteral("300"));
    x.clickInClient(window, ResetCounter);
    typeSlave(QStringLiteral("1"));
    x.clickInClient(window, ReadCounterValue);
    QTRY_COMPARE_WITH_TIMEOUT(sim.since(mark).size(), 3, Patience);
    QCOMPARE(sim.since(mark).last(), QStringLiteral("request 2: fn=3 slave=1 behaviour=ignored"));

    QCOMPARE(::kill(pid_t(run.program.processId()), SIGTERM), 0);
    QVERIFY(run.program.waitForFinished(Patience));
    QCOMPARE(run.program.exitCode(), 0);
}

enum OpenBox { StartUpWarning, ComPortError, InvalidNumber };

void TestE2E::signalEndsTheProgramWhateverBoxIsOpen_data()
{
    QTest::addColumn<int>("box");
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("commPortStored");
    QTest::newRow("start-up warning (CommPort=9), SIGTERM") << int(StartUpWarning) << SIGTERM << QByteArray("9");
    QTest::newRow("start-up warning (CommPort=9), SIGINT") << int(StartUpWarning) << SIGINT << QByteArray("9");
    QTest::newRow("start-up warning (CommPort=9), SIGHUP") << int(StartUpWarning) << SIGHUP << QByteArray("9");
    QTest::newRow("\"Com Port Error\" after COM2 (no device) is chosen, SIGTERM")
        << int(ComPortError) << SIGTERM << QByteArray("2");
    QTest::newRow("the invalid-number message (the field empty), SIGTERM")
        << int(InvalidNumber) << SIGTERM << QByteArray("1");
}

// The real program on a virtual X server with a message box open in front
// of its window: the box stands centred over the window, and a signal ends
// the program with status 0 and the settings stored. The file holds its
// values in quotes, so storing them shows: they are written back without.
void TestE2E::signalEndsTheProgramWhateverBoxIsOpen()
{
    QFETCH(int, box);
    QFETCH(int, signal);
    QFETCH(QByteArray, commPortStored);

    QTemporaryDir dir;
    const QString link = dir.filePath(uniqueLinkName());
    Sim sim;
    QVERIFY(sim.start({QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--link"), link}));
    const QByteArray ports = "[Ports]\r\nCOM1=" + link.toLocal8Bit() + "\r\nCOM2="
        + dir.filePath(QStringLiteral("no-such-device")).toLocal8Bit() + "\r\n";
    const QByteArray commPort = box == StartUpWarning ? "9" : "1";
    const QString exe = programFolder(
        dir, "[Settings]\r\nCommPort=\"" + commPort + "\"\r\nSetting=\"9600,n,8,2\"\r\nSlaveID=\"1\"\r\n" + ports);
    QVERIFY(!exe.isEmpty());
    ProgramOnX run;
    QVERIFY2(run.start(exe), "Xvfb (Debian xvfb) or the program did not start");
    XServer &x = run.x;
    QProcess &program = run.program;

    if (box != StartUpWarning) {
        QVERIFY(run.ready(sim.device));
        if (box == ComPortError) {
            x.clickInClient(run.window, SerialPortMenu);
            x.keys({QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Return")});
        } else {
            x.clickInClient(run.window, WriteNumericValue);
        }
    }
    // The window and the box in front of it.
    QTRY_COMPARE_WITH_TIMEOUT(x.shownWindows().size(), 2, Patience);
    QList<QRect> windows = x.shownWindows();
    std::sort(windows.begin(), windows.end(), [](const QRect &a, const QRect &b) { return a.width() > b.width(); });
    const QRect window = windows[0], message = windows[1];
    QCOMPARE(window.size().width(), 569);
    const QPointF offCentre = QRectF(message).center() - QRectF(window).center();
    QVERIFY2(qAbs(offCentre.x()) <= 1 && qAbs(offCentre.y()) <= 1,
             qPrintable(QStringLiteral("box at %1,%2 %3x%4 over the window at %5,%6 %7x%8")
                            .arg(message.x()).arg(message.y()).arg(message.width()).arg(message.height())
                            .arg(window.x()).arg(window.y()).arg(window.width()).arg(window.height())));

    QCOMPARE(::kill(pid_t(program.processId()), signal), 0);
    // The program must end at once; the bound only tells a hang from a
    // slow machine.
    QVERIFY(program.waitForFinished(Patience));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(contents(dir.filePath(QStringLiteral("program/korvane.ini"))),
             "[Settings]\r\nCommPort=" + commPortStored + "\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n" + ports);
}

void TestE2E::serverClosesAndTheNextCommandReconnects_data()
{
    QTest::addColumn<bool>("duringWait");
    QTest::newRow("the server closes instead of replying (during the wait): Error, the next read reconnects")
        << true;
    QTest::newRow("the server closes between requests (hangup on its control line): the next read reconnects")
        << false;
}

// A serial device server that closes the connection: the port closes once
// (one line on stderr), and the next command connects again and succeeds,
// with no menu and no message.
void TestE2E::serverClosesAndTheNextCommandReconnects()
{
    QFETCH(bool, duringWait);

    const QScopedValueRollback tcp(viaTcp, true);
    Rig rig;
    const QString control = rig.dir.filePath(QStringLiteral("control"));
    QStringList args{QStringLiteral("--counter"), QStringLiteral("1111"), QStringLiteral("--control"), control};
    if (duringWait)
        args << QStringLiteral("--script") << QStringLiteral("ok,disconnect");
    QVERIFY(rig.startSim(args));
    QVERIFY(rig.openWindow());
    frmMain &w = *rig.window;
    QSignalSpy closed(&rig.port, &SerialComponent::closedOnError);
    ClosedLines stderrLines;

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    if (duringWait) {
        w.cmdReadCount_Click();
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
    } else {
        QFile fifo(control);
        QVERIFY(fifo.open(QIODevice::WriteOnly));
        fifo.write("hangup\n");
        fifo.close();
    }
    QTRY_VERIFY_WITH_TIMEOUT(!rig.port.PortOpen(), Patience);
    QCOMPARE(closed.count(), 1);
    const QString reason = closed.at(0).at(0).toString();
    QVERIFY2(reason.startsWith(rig.device() + QStringLiteral(": ")), qPrintable(reason));
    // The simulator's own account: the connection it closed, and why.
    QTRY_COMPARE_WITH_TIMEOUT((rig.sim.collect(), rig.sim.connections.size()), 2, Patience);
    QVERIFY2(rig.sim.connections[1].startsWith(QLatin1String("disconnected: 127.0.0.1:"))
                 && rig.sim.connections[1].endsWith(duringWait ? "(disconnect)" : "(hangup)"),
             qPrintable(rig.sim.connections[1]));
    const qsizetype mark = rig.sim.since(0).size();

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    QCOMPARE(w.lblCounter->text(), QStringLiteral("1111"));
    w.cmdOutput_Click(0);
    QCOMPARE(w.lblSta2->text(), QStringLiteral("Success"));
    const int next = duringWait ? 3 : 2;
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.since(mark),
                              (QStringList{request(next, 3), "counter: 1111", request(next + 1, 5), "output 1: on"}),
                              Patience);
    QCOMPARE(rig.sim.connections.size(), 3);
    QVERIFY2(rig.sim.connections[2].startsWith(QLatin1String("connected: 127.0.0.1:")),
             qPrintable(rig.sim.connections[2]));
    QCOMPARE(closed.count(), 1);
    QCOMPARE(stderrLines.count, 1);
    QVERIFY(rig.messages.isEmpty());
}

void TestE2E::programTalksToADeviceServer_data()
{
    QTest::addColumn<bool>("connects");
    QTest::newRow("COM1=tcp://127.0.0.1:PORT of the simulator: a click reads the counter, SIGTERM stores")
        << true;
    QTest::newRow("COM1=tcp:// of a peer that never completes the connection: meanwhile a click opens no "
                  "menu, and SIGTERM ends the program with status 0, the settings stored")
        << false;
}

// The real program on a virtual X server with COM1 at a serial device
// server. While it connects (at start-up, up to 3 s), the window paints but
// leaves the operator's input waiting, so nothing starts inside the open;
// a termination signal ends the connecting at once, like any other wait.
void TestE2E::programTalksToADeviceServer()
{
    QFETCH(bool, connects);

    QTemporaryDir dir;
    Sim sim;
    StalledListener stalled;
    QString device;
    if (connects) {
        QVERIFY(sim.start({QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--counter"),
                           QStringLiteral("77"), QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0")}));
        device = sim.device;
    } else {
        QVERIFY(stalled.isValid());
        device = QStringLiteral("tcp://127.0.0.1:%1").arg(stalled.port());
    }
    const QByteArray ports = "[Ports]\r\nCOM1=" + device.toLatin1() + "\r\n";
    const QString exe =
        programFolder(dir, "[Settings]\r\nCommPort=\"1\"\r\nSetting=\"9600,n,8,2\"\r\nSlaveID=\"1\"\r\n" + ports);
    QVERIFY(!exe.isEmpty());
    ProgramOnX run;
    QVERIFY2(run.start(exe), "Xvfb (Debian xvfb) or the program did not start");
    XServer &x = run.x;

    // Up: the window shown, and connected (the simulator says so) or
    // connecting.
    const auto reached = [&] {
        return connects ? (sim.collect(), !sim.connections.isEmpty()) : pendingConnectsTo(stalled.port()) > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(run.program.state() == QProcess::NotRunning
                                 || (reached() && x.shownWindows().size() == 1), Patience);
    QCOMPARE(run.program.state(), QProcess::Running);
    const QRect window = x.shownWindows().first();

    if (connects) {
        const qsizetype mark = sim.since(0).size();
        x.clickInClient(window, ReadCounterValue);
        QTRY_COMPARE_WITH_TIMEOUT(sim.since(mark), (QStringList{request(1, 3), "counter: 77"}), Patience);
    } else {
        x.clickInClient(window, SerialPortMenu);
        QTest::qWait(500);
        QCOMPARE(x.windows().size(), 1);
        QVERIFY2(pendingConnectsTo(stalled.port()) > 0, "the connection attempt ended before the check");
    }

    QCOMPARE(::kill(pid_t(run.program.processId()), SIGTERM), 0);
    QVERIFY(run.program.waitForFinished(Patience));
    QCOMPARE(run.program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.program.exitCode(), 0);
    QCOMPARE(contents(dir.filePath(QStringLiteral("program/korvane.ini"))),
             "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n" + ports);
}

QTEST_MAIN(TestE2E)
#include "tst_e2e.moc"
