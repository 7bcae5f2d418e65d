// End to end over the real serial path: the main window with the real
// serial-port component talks to the device simulator (korvane-devsim) on a
// pseudo-terminal, reached through a [Ports] mapping in korvane.ini. The
// simulator's own report of each request shows what reached the device;
// the window's status labels show what the operator sees. The last case
// starts the program itself as a process from a program folder of its own.
//
// The window waits ten 10 ms ticks for a reply. Faults that must fit inside
// that wait use a small fraction of it, a late reply comes ten times later,
// and every other condition is awaited, so a slow machine only makes the
// tests take longer.

#include "serial/QtSerialComponent.h"
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
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

#include <csignal>
#include <memory>
#include <unistd.h>

using namespace korvane;

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

    void collect()
    {
        while (proc.canReadLine())
            lines << QString::fromUtf8(proc.readLine()).trimmed();
    }

    // The request and state-change lines printed since mark.
    QStringList since(qsizetype mark)
    {
        collect();
        return lines.mid(mark);
    }

    QProcess proc;
    QStringList lines;
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

// The window on the real serial port, COM1 mapped to the simulator's link
// in a korvane.ini of its own.
struct Rig {
    Rig() : link(dir.filePath(uniqueLinkName())) {}

    // Starts the simulator (frozen counter, linked at `link`) with extra args.
    bool startSim(const QStringList &extra)
    {
        return sim.start(QStringList{QStringLiteral("--rate"), QStringLiteral("0"),
                                     QStringLiteral("--link"), link} + extra);
    }

    // Writes korvane.ini and brings the window up; true when it opened the
    // port without a warning.
    bool openWindow()
    {
        QFile f(dir.filePath(QStringLiteral("korvane.ini")));
        if (!f.open(QIODevice::WriteOnly) || f.write(iniFor(link)) < 0)
            return false;
        f.close();
        window = std::make_unique<frmMain>(&port, f.fileName(),
                                           [this](const Message &m) { messages << m; });
        window->Form_Load();
        return port.PortOpen() && messages.isEmpty();
    }

    QTemporaryDir dir;
    QString link;
    Sim sim;
    QtSerialComponent port;
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

// A virtual X server (Xvfb) for the one test that must press a button in
// the real program, and xdotool to press it.
struct XServer {
    bool start()
    {
        server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                              QStringLiteral("-screen"), QStringLiteral("0"),
                                              QStringLiteral("800x600x24"), QStringLiteral("-nolisten"),
                                              QStringLiteral("tcp")});
        if (!server.waitForStarted(Patience))
            return false;
        QTest::qWaitFor([this] { return server.canReadLine() || server.state() == QProcess::NotRunning; },
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

    // "Read Counter Value" in window coordinates: its place in the client
    // area (group box at 24,16, button at 16,24, 113 x 25 pixels) below a
    // menu bar of 20 to 25 pixels.
    static QPoint buttonCentre() { return QPoint(24 + 16 + 56, 22 + 16 + 24 + 12); }

    QProcess server;
    QString display;
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
    void deviceGoneClosesThePortOnceAndReopensFromTheMenu_data();
    void deviceGoneClosesThePortOnceAndReopensFromTheMenu();
    void programStartsFromItsFolderAndStoresSettingsOnSigterm_data();
    void programStartsFromItsFolderAndStoresSettingsOnSigterm();
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

void TestE2E::deviceGoneClosesThePortOnceAndReopensFromTheMenu_data()
{
    QTest::addColumn<bool>("kill");
    QTest::addColumn<bool>("duringWait");
    QTest::newRow("simulator killed (SIGKILL) between requests") << true << false;
    QTest::newRow("simulator stopped (SIGTERM) between requests") << false << false;
    QTest::newRow("simulator killed (SIGKILL) during a wait") << true << true;
}

void TestE2E::deviceGoneClosesThePortOnceAndReopensFromTheMenu()
{
    QFETCH(bool, kill);
    QFETCH(bool, duringWait);

    Rig rig;
    // The second request is never answered: the device goes away while the
    // window waits for that reply (in the rows that kill during a wait).
    QVERIFY(rig.startSim({QStringLiteral("--counter"), QStringLiteral("1111"),
                          QStringLiteral("--script"), QStringLiteral("ok,noreply")}));
    QVERIFY(rig.openWindow());
    frmMain &w = *rig.window;
    QSignalSpy closed(&rig.port, &SerialComponent::closedOnError);

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
    QVERIFY(!rig.port.PortOpen());
    QCOMPARE(closed.count(), 1);
    const QString reason = closed.at(0).at(0).toString();
    QVERIFY2(reason.contains(rig.link), qPrintable(reason));

    // Further commands find the port closed; no further error is reported.
    w.cmdOutput_Click(0);
    QCOMPARE(w.lblSta2->text(), QStringLiteral("Error"));
    QCOMPARE(closed.count(), 1);

    // A new device behind the same link; choosing COM1 opens it.
    QVERIFY(rig.startSim({QStringLiteral("--counter"), QStringLiteral("2222")}));
    const qsizetype mark = rig.sim.lines.size();
    w.mnuCOM[1]->trigger();
    QVERIFY(rig.port.PortOpen());
    QVERIFY(w.mnuCOM[1]->isChecked());
    QCOMPARE(rig.messages.size(), 0);

    w.cmdReadCount_Click();
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    QCOMPARE(w.lblCounter->text(), QStringLiteral("2222"));
    w.cmdOutput_Click(0);
    QCOMPARE(w.lblSta2->text(), QStringLiteral("Success"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.since(mark),
                              (QStringList{request(1, 3), "counter: 2222", request(2, 5), "output 1: on"}),
                              Patience);
    QCOMPARE(closed.count(), 1);
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

    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("program")));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("elsewhere")));
    const QString exe = dir.filePath(QStringLiteral("program/korvane"));
    QVERIFY(QFile::copy(QStringLiteral(KORVANE_EXE_PATH), exe));
    QVERIFY(QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner));
    const QString ini = dir.filePath(QStringLiteral("program/korvane.ini"));
    const QByteArray ports = "[Ports]\r\nCOM1=" + link.toLocal8Bit() + "\r\n";
    {
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Settings]\r\nCommPort=\"1\"\r\nSetting=\"9600,n,8,2\"\r\nSlaveID=\"1\"\r\n" + ports);
    }
    QString started = exe;
    if (throughLink) {
        started = dir.filePath(QStringLiteral("elsewhere/korvane"));
        QVERIFY(QFile::link(exe, started));
    }

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    XServer x;
    if (duringExchange) {
        // A button can only be pressed from outside on a real display.
        QVERIFY2(x.start(), "Xvfb (Debian xvfb) did not start");
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), x.display);
        // In the sanitizer build: the desktop integration's D-Bus library
        // keeps an allocation at exit, which is not the program's.
        env.insert(QStringLiteral("LSAN_OPTIONS"),
                   QStringLiteral("suppressions=") + QFINDTESTDATA("lsan-system.supp"));
    }
    program.setProcessEnvironment(env);
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

QTEST_MAIN(TestE2E)
#include "tst_e2e.moc"
