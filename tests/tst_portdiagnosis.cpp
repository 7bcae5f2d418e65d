// Why a port could not be opened and what the operator should do: the
// advice from the facts (a table over owner, group, mode, the user's
// groups, errno, lock files and the devices present), the facts as they are
// looked up (lock files in a temporary lock folder), and the error number
// the real serial component reports for a failed open.

#include "Devices.h"
#include "serial/PortDiagnosis.h"
#include "serial/QtSerialComponent.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>

#include <pty.h>
#include <unistd.h>

using namespace korvane;

Q_DECLARE_METATYPE(korvane::PortFacts)

namespace {

const QString Ftdi = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");

QList<SerialDevice> devicesAt(const QStringList &paths)
{
    QList<SerialDevice> out;
    for (const QString &p : paths)
        out << test::serialDevice(p);
    return out;
}

// A device as stat() would describe it, refused with error.
PortFacts facts(int port, const QString &device, int error, uid_t owner, gid_t group,
                const QString &groupName, unsigned mode, uid_t user, const QList<gid_t> &groups)
{
    PortFacts f;
    f.port = port;
    f.device = device;
    f.exists = error != ENOENT;
    f.ownerUid = owner;
    f.ownerName = owner == 0 ? QStringLiteral("root") : QStringLiteral("alice");
    f.groupGid = group;
    f.groupName = groupName;
    f.mode = mode;
    f.userUid = user;
    f.userGroups = groups;
    f.error = error;
    return f;
}

// The advice split into its sentences.
QStringList sentences(const QString &advice)
{
    QStringList out;
    for (const QString &s : advice.split(QRegularExpression(QStringLiteral("(?<=[.])\\s+"))))
        out << s.trimmed();
    return out;
}

} // namespace

class TestPortDiagnosis : public QObject {
    Q_OBJECT
private slots:
    void advice_data();
    void advice();
    void lookUpFindsTheLockHolder_data();
    void lookUpFindsTheLockHolder();
    void lookUpReadsTheDeviceAndTheUser();
    void componentReportsWhyOpeningFailed_data();
    void componentReportsWhyOpeningFailed();
};

void TestPortDiagnosis::advice_data()
{
    QTest::addColumn<PortFacts>("facts");
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<QStringList>("never");

    const QString usb0 = QStringLiteral("/dev/ttyUSB0");
    const QList<gid_t> alone{1000};
    const QList<gid_t> inDialout{1000, 20};
    const QString assign = QStringLiteral("\"Serial Port \u2192 Port Devices\u2026\"");

    {
        PortFacts f = facts(2, usb0, ENOENT, 0, 0, {}, 0, 1000, alone);
        f.present = devicesAt({Ftdi});
        QTest::newRow("missing, an FTDI adapter present: named, assigned to COM2 (COM2=...)")
            << f
            << QStringList{"The device does not exist.", "Serial devices present: " + Ftdi + ".",
                           assign + " assigns one to COM2", "COM2=" + Ftdi}
            << QStringList{"adduser", "in use", "No serial device"};
    }
    QTest::newRow("missing, nothing present: no serial device was found (COM3=/dev/ttyUSB0)")
        << facts(3, QStringLiteral("/dev/ttyS2"), ENOENT, 0, 0, {}, 0, 1000, alone)
        << QStringList{"The device does not exist.", "No serial device was found", assign + " assigns it to COM3",
                       "COM3=/dev/ttyUSB0"}
        << QStringList{"present:"};
    {
        PortFacts f = facts(1, usb0, ENOENT, 0, 0, {}, 0, 1000, alone);
        f.present = devicesAt({"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3"});
        QTest::newRow("five present: three named, and 2 more")
            << f << QStringList{"Serial devices present: /dev/ttyACM0, /dev/ttyACM1, /dev/ttyUSB1 and 2 more."}
            << QStringList{"/dev/ttyUSB2", "/dev/ttyUSB3"};
    }
    {
        PortFacts f = facts(4, QStringLiteral("/home/op/notes.txt"), ENOTTY, 1000, 1000, "op", 0644, 1000, alone);
        f.present = devicesAt({usb0});
        QTest::newRow("ENOTTY (a plain file): not a serial device, not \"in use\"")
            << f << QStringList{"It is not a serial device.", "Serial devices present: /dev/ttyUSB0.", "COM4=/dev/ttyUSB0"}
            << QStringList{"in use", "does not exist"};
    }
    QTest::newRow("EISDIR (a folder): not a serial device")
        << facts(1, QStringLiteral("/dev/serial"), EISDIR, 0, 0, "root", 0755, 1000, alone)
        << QStringList{"It is not a serial device."} << QStringList{"in use"};
    QTest::newRow("EBUSY: in use by another program, choose COM1 again")
        << facts(1, usb0, EBUSY, 0, 20, "dialout", 0660, 1000, inDialout)
        << QStringList{"It is in use by another program. Close that program, then choose COM1 from the "
                       "\"Serial Port\" menu."}
        << QStringList{"adduser", "not a serial device"};
    {
        PortFacts f = facts(2, usb0, EACCES, 0, 20, "dialout", 0660, 1000, inDialout);
        f.lockPid = 4242;
        f.lockProgram = QStringLiteral("minicom");
        QTest::newRow("lock file of minicom, pid 4242: in use by it, named")
            << f << QStringList{"It is in use by another program (minicom, process 4242).", "choose COM2"}
            << QStringList{"adduser", "not allowed"};
    }
    {
        PortFacts f = facts(2, usb0, EACCES, 0, 20, "dialout", 0660, 1000, alone);
        f.lockPid = 4242;
        QTest::newRow("lock file without a name: in use by process 4242")
            << f << QStringList{"It is in use by another program (process 4242)."} << QStringList{"adduser"};
    }
    QTest::newRow("root:dialout 0660, user not in dialout: sudo adduser $USER dialout, log in again")
        << facts(1, usb0, EACCES, 0, 20, "dialout", 0660, 1000, alone)
        << QStringList{"group \"dialout\"", "log in again", "sudo adduser $USER dialout"}
        << QStringList{"udev", "Only root", "adduser $USER root"};
    QTest::newRow("root:uucp 0660: join uucp, not dialout")
        << facts(1, usb0, EACCES, 0, 14, "uucp", 0660, 1000, alone)
        << QStringList{"sudo adduser $USER uucp", "log in again"} << QStringList{"dialout"};
    QTest::newRow("EPERM as EACCES: root:dialout 0660 -> join dialout")
        << facts(1, usb0, EPERM, 0, 20, "dialout", 0660, 1000, alone)
        << QStringList{"sudo adduser $USER dialout"} << QStringList{"udev"};
    QTest::newRow("root:root 0660: only root may open it; no group hint")
        << facts(1, usb0, EACCES, 0, 0, "root", 0660, 1000, alone)
        << QStringList{"Only root may open it.", "An administrator can give you access", "udev rule"}
        << QStringList{"adduser", "log in again"};
    QTest::newRow("root:dialout 0600 (the group may not use it): only root")
        << facts(1, usb0, EACCES, 0, 20, "dialout", 0600, 1000, alone)
        << QStringList{"Only root may open it.", "udev rule"} << QStringList{"adduser"};
    QTest::newRow("root:dialout 0640 (the group may only read): only root")
        << facts(1, usb0, EACCES, 0, 20, "dialout", 0640, 1000, alone)
        << QStringList{"Only root may open it."} << QStringList{"adduser"};
    QTest::newRow("alice:alice 0600: only its owner and root")
        << facts(1, usb0, EACCES, 1001, 1001, "alice", 0600, 1000, alone)
        << QStringList{"Only its owner (alice) and root may open it.", "An administrator can give you access"}
        << QStringList{"adduser"};
    QTest::newRow("in dialout, 0660, refused all the same (an ACL): not allowed, ask an administrator")
        << facts(1, usb0, EACCES, 0, 20, "dialout", 0660, 1000, inDialout)
        << QStringList{"You are not allowed to open it.", "An administrator can give you access"}
        << QStringList{"adduser", "Only root"};
    QTest::newRow("0666, refused all the same: not allowed")
        << facts(1, usb0, EACCES, 0, 20, "dialout", 0666, 1000, alone)
        << QStringList{"You are not allowed to open it."} << QStringList{"adduser"};
    QTest::newRow("root refused: not allowed, no group hint")
        << facts(1, usb0, EACCES, 0, 20, "dialout", 0660, 0, QList<gid_t>{0})
        << QStringList{"You are not allowed to open it."} << QStringList{"adduser", "Only root"};
    QTest::newRow("EINVAL: the line settings are refused")
        << facts(1, usb0, EINVAL, 0, 20, "dialout", 0660, 1000, inDialout)
        << QStringList{"It does not accept the line settings", "\"Baud Rate\""} << QStringList{"in use"};
    QTest::newRow("EIO: the system's text")
        << facts(1, usb0, EIO, 0, 20, "dialout", 0660, 1000, inDialout)
        << QStringList{"Opening it failed: " + QString::fromLocal8Bit(std::strerror(EIO)) + "."}
        << QStringList{"in use"};
    {
        PortFacts f = facts(5, Ftdi, 0, 0, 20, "dialout", 0660, 1000, inDialout);
        f.present = devicesAt({Ftdi});
        f.deviceIndex = 0;
        QTest::newRow("cause unknown, the device is the only one present: try COM5 again, no list")
            << f << QStringList{"Choose COM5 from the \"Serial Port\" menu to try again."}
            << QStringList{"present", "No serial device", "Port Devices"};
    }
    {
        PortFacts f = facts(6, Ftdi, EACCES, 0, 20, "dialout", 0660, 1000, alone);
        f.present = devicesAt({"/dev/ttyACM0", Ftdi, "/dev/ttyUSB1"});
        f.deviceIndex = 1;
        QTest::newRow("refused, two other devices present: the group hint, then the other devices")
            << f
            << QStringList{"sudo adduser $USER dialout", "Other serial devices present: /dev/ttyACM0, /dev/ttyUSB1.",
                           "COM6=/dev/ttyACM0"}
            << QStringList{"present: " + Ftdi, ", " + Ftdi};
    }

    // Serial device servers: the host, the port and the reason; never the
    // advice about files, groups, lock files or this computer's devices.
    const auto server = [&](const char *device, int error) {
        PortFacts f;
        f.port = 2;
        f.device = QString::fromLatin1(device);
        f.error = error;
        f.present = devicesAt({Ftdi});
        return f;
    };
    const QStringList notForServers{"adduser", "group", "does not exist", "in use", "not a serial device",
                                    "present", "No serial device", Ftdi, "administrator"};
    const QString serverSettings = QStringLiteral(
        "Over TCP the server's own settings apply to its serial line: the \"Baud Rate\" and \"Data Format\" menus "
        "store their choice but cannot change it.");
    const QString changeIt = assign + " changes the address of COM2.";
    QTest::newRow("tcp://127.0.0.1:5020, ECONNREFUSED: refused, host and port named")
        << server("tcp://127.0.0.1:5020", ECONNREFUSED)
        << QStringList{"The connection to 127.0.0.1 on TCP port 5020 was refused", "5020 is the TCP port of its "
                       "serial line", serverSettings, changeIt}
        << notForServers;
    QTest::newRow("tcp://[fe80::1]:4001, ETIMEDOUT: timed out")
        << server("tcp://[fe80::1]:4001", ETIMEDOUT)
        << QStringList{"The connection to [fe80::1] on TCP port 4001 timed out", serverSettings, changeIt}
        << notForServers;
    QTest::newRow("tcp://gw.example:502, ENXIO: no such host")
        << server("tcp://gw.example:502", ENXIO)
        << QStringList{"There is no host named gw.example (no such host)", serverSettings} << notForServers;
    QTest::newRow("tcp://10.9.8.7:4001, EHOSTUNREACH: cannot be reached")
        << server("tcp://10.9.8.7:4001", EHOSTUNREACH)
        << QStringList{"10.9.8.7 cannot be reached from this computer", serverSettings} << notForServers;
    QTest::newRow("tcp://10.9.8.7:4001, EACCES: the system's text, no group or administrator advice")
        << server("tcp://10.9.8.7:4001", EACCES)
        << QStringList{"Connecting to 10.9.8.7 on TCP port 4001 failed: " + QString::fromLocal8Bit(std::strerror(EACCES))}
        << notForServers;
    QTest::newRow("tcp://10.9.8.7:4001, cause unknown: choose COM2 again")
        << server("tcp://10.9.8.7:4001", 0)
        << QStringList{"Connecting to 10.9.8.7 on TCP port 4001 failed.", "Choose COM2 from the \"Serial Port\" menu"}
        << notForServers;
    QTest::newRow("tcp://10.9.8.7 (EINVAL): not a valid server address, the port missing, an example")
        << server("tcp://10.9.8.7", EINVAL)
        << QStringList{"\"tcp://10.9.8.7\" is not a valid server address: the port is missing.",
                       "tcp://192.168.1.50:4001", assign}
        << notForServers + QStringList{"line settings"};
}

void TestPortDiagnosis::advice()
{
    QFETCH(PortFacts, facts);
    QFETCH(QStringList, says);
    QFETCH(QStringList, never);

    const QString advice = portOpenAdvice(facts);
    for (const QString &s : says)
        QVERIFY2(advice.contains(s), qPrintable(QStringLiteral("missing \"%1\" in: %2").arg(s, advice)));
    for (const QString &s : never)
        QVERIFY2(!advice.contains(s), qPrintable(QStringLiteral("unwanted \"%1\" in: %2").arg(s, advice)));

    // Each piece of advice once; an example names the port's own number.
    const QStringList parts = sentences(advice);
    QCOMPARE(QSet<QString>(parts.begin(), parts.end()).size(), parts.size());
    QVERIFY2(advice.count(QStringLiteral("Port Devices")) <= 1, qPrintable(advice));
    QVERIFY2(advice.count(QStringLiteral("\"Serial Port\" menu")) <= 1, qPrintable(advice));
    const QRegularExpression example(QStringLiteral("COM(\\d)="));
    for (auto m = example.globalMatch(advice); m.hasNext();)
        QCOMPARE(m.next().captured(1).toInt(), facts.port);
}

void TestPortDiagnosis::lookUpFindsTheLockHolder_data()
{
    QTest::addColumn<QString>("lockName");  // file name in the lock folder; empty: none
    QTest::addColumn<QString>("content");   // %1: the pid
    QTest::addColumn<QString>("holder");    // "live", "dead" or "self"
    QTest::addColumn<bool>("throughLink");  // the port's device is a link to the node
    QTest::addColumn<QString>("program");   // expected; empty: no lock holder found
    QTest::addColumn<int>("error");         // the port reported EACCES; what the facts say

    QTest::newRow("QLockFile format (pid, name, host): held by it")
        << "LCK..ttyNODE" << "%1\nsleeper\nhost\n" << "live" << false << "sleeper" << EACCES;
    QTest::newRow("UUCP format, padded pid alone: the name from the process")
        << "LCK..ttyNODE" << "      %1\n" << "live" << false << "sleep" << EACCES;
    QTest::newRow("pid and name on one line")
        << "LCK..ttyNODE" << "  %1 picocom root\n" << "live" << false << "picocom" << EACCES;
    QTest::newRow("locked under the node's name, port opened through a link")
        << "LCK..ttyNODE" << "%1\nsleeper\n" << "live" << true << "sleeper" << EACCES;
    QTest::newRow("locked under the link's name")
        << "LCK..adapter" << "%1\nsleeper\n" << "live" << true << "sleeper" << EACCES;
    QTest::newRow("a finished process's lock: nobody, and the user may open it: EBUSY")
        << "LCK..ttyNODE" << "%1\nsleeper\n" << "dead" << false << "" << EBUSY;
    QTest::newRow("our own lock: nobody else, EBUSY")
        << "LCK..ttyNODE" << "%1\nkorvane\n" << "self" << false << "" << EBUSY;
    QTest::newRow("no lock file, the user may open it: EBUSY (kept exclusive)")
        << "" << "" << "live" << false << "" << EBUSY;
    QTest::newRow("garbage in the lock file: nobody")
        << "LCK..ttyNODE" << "not a pid\n" << "live" << false << "" << EBUSY;
}

void TestPortDiagnosis::lookUpFindsTheLockHolder()
{
    QFETCH(QString, lockName);
    QFETCH(QString, content);
    QFETCH(QString, holder);
    QFETCH(bool, throughLink);
    QFETCH(QString, program);
    QFETCH(int, error);

    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("lock")));
    const QString node = dir.filePath(QStringLiteral("ttyNODE"));
    {
        QFile f(node);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QString device = node;
    if (throughLink) {
        device = dir.filePath(QStringLiteral("adapter"));
        QVERIFY(QFile::link(node, device));
    }

    QProcess sleeper;
    qint64 pid = QCoreApplication::applicationPid();
    if (holder != QLatin1String("self")) {
        sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(sleeper.waitForStarted());
        pid = sleeper.processId();
        if (holder == QLatin1String("dead")) {
            sleeper.kill();
            QVERIFY(sleeper.waitForFinished());
        }
    }
    if (!lockName.isEmpty()) {
        QFile lock(dir.filePath(QStringLiteral("lock/") + lockName));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(content.arg(pid).toLocal8Bit());
    }

    const PortFacts f = lookUpPortFacts(2, device, EACCES, {}, dir.filePath(QStringLiteral("lock")));
    sleeper.kill();
    sleeper.waitForFinished();

    QCOMPARE(f.lockPid > 0, !program.isEmpty());
    if (!program.isEmpty()) {
        QCOMPARE(f.lockPid, pid);
        QCOMPARE(f.lockProgram, program);
    }
    QCOMPARE(f.error, error);
    QVERIFY(portOpenAdvice(f).contains(QStringLiteral("in use by another program")));
}

void TestPortDiagnosis::lookUpReadsTheDeviceAndTheUser()
{
    QTemporaryDir dir;
    const QString node = dir.filePath(QStringLiteral("ttyNODE"));
    {
        QFile f(node);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::setPermissions(node, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const QString link = dir.filePath(QStringLiteral("adapter"));
    QVERIFY(QFile::link(node, link));
    const QList<SerialDevice> present = devicesAt({QStringLiteral("/dev/ttyACM0"), node});

    const PortFacts f = lookUpPortFacts(3, link, ENOTTY, present, dir.filePath(QStringLiteral("lock")));
    QCOMPARE(f.port, 3);
    QCOMPARE(f.device, link);
    QVERIFY(f.exists);
    QCOMPARE(f.mode, 0640u);
    QCOMPARE(f.ownerUid, ::geteuid());
    QCOMPARE(f.userUid, ::geteuid());
    QVERIFY(f.userGroups.contains(::getegid()));
    QCOMPARE(f.groupGid, ::getegid());
    QVERIFY(!f.groupName.isEmpty());
    QCOMPARE(f.error, ENOTTY);       // only EACCES is looked into
    QCOMPARE(f.deviceIndex, 1);       // the link leads to the second device
    QCOMPARE(f.lockPid, 0);

    const PortFacts gone = lookUpPortFacts(3, dir.filePath(QStringLiteral("ttyGONE")), ENOENT, present,
                                           dir.filePath(QStringLiteral("lock")));
    QVERIFY(!gone.exists);
    QCOMPARE(gone.deviceIndex, -1);

    // A serial device server is no file: a lock file named like its
    // address's last part (held by a running process) is not looked at,
    // and the error stays as the port reported it.
    const QString lockFolder = dir.filePath(QStringLiteral("lock"));
    QVERIFY(QDir().mkpath(lockFolder));
    QFile lock(lockFilePath(lockFolder, QStringLiteral("tcp://127.0.0.1:5020")));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write("1\n");
    lock.close();
    const PortFacts server = lookUpPortFacts(1, QStringLiteral("tcp://127.0.0.1:5020"), ECONNREFUSED, present,
                                             lockFolder);
    QCOMPARE(server.lockPid, 0);
    QCOMPARE(server.error, ECONNREFUSED);
    QCOMPARE(server.deviceIndex, -1);
    QVERIFY(portOpenAdvice(server).contains(QStringLiteral("refused")));
}

void TestPortDiagnosis::componentReportsWhyOpeningFailed_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("advice");
    QTest::newRow("missing path: ENOENT") << "missing" << ENOENT << "The device does not exist.";
    QTest::newRow("plain file: ENOTTY") << "file" << ENOTTY << "It is not a serial device.";
    QTest::newRow("folder: EISDIR") << "folder" << EISDIR << "It is not a serial device.";
    QTest::newRow("pseudo-terminal held open by another port: EACCES, in use")
        << "held" << EACCES << "It is in use by another program.";
    // A name without a folder opens inside /dev, and is explained there.
    QTest::newRow("bare name null (/dev/null): ENOTTY") << "bare null" << ENOTTY << "It is not a serial device.";
    QTest::newRow("bare name pts/N held open by another port: EACCES, in use")
        << "bare held" << EACCES << "It is in use by another program.";
}

// The real component, on paths that are not serial devices and on a
// pseudo-terminal that another port holds.
void TestPortDiagnosis::componentReportsWhyOpeningFailed()
{
    QFETCH(QString, kind);
    QFETCH(int, error);
    QFETCH(QString, advice);

    QTemporaryDir dir;
    QString device = dir.filePath(QStringLiteral("ttyNONE"));
    int master = -1, slave = -1;
    QtSerialComponent holder;
    if (kind == QLatin1String("file")) {
        QFile f(device);
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("ttyNONE")));
    } else if (kind == QLatin1String("bare null")) {
        device = QStringLiteral("null");
    } else if (kind.endsWith(QLatin1String("held"))) {
        char name[256] = {};
        QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        device = QString::fromLocal8Bit(name);
        if (kind.startsWith(QLatin1String("bare")))
            device = device.mid(int(qstrlen("/dev/")));
        holder.setPortDevice(1, device);
        holder.setSettings(QStringLiteral("9600,n,8,2"));
        QVERIFY(holder.setPortOpen(true));
    }

    // A bare name looked up in the working folder instead of /dev would
    // find nothing there.
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const auto back = qScopeGuard([&] { QDir::setCurrent(before); });

    QtSerialComponent port;
    port.setPortDevice(1, device);
    port.setSettings(QStringLiteral("9600,n,8,2"));
    QVERIFY(!port.setPortOpen(true));
    QCOMPARE(port.lastErrorNumber(), error);
    QVERIFY(port.lastError().startsWith(device));

    const PortFacts f = lookUpPortFacts(1, device, port.lastErrorNumber(), {});
    QVERIFY2(portOpenAdvice(f).contains(advice), qPrintable(portOpenAdvice(f)));

    holder.setPortOpen(false);
    if (master >= 0) {
        ::close(slave);
        ::close(master);
    }
}

QTEST_GUILESS_MAIN(TestPortDiagnosis)
#include "tst_portdiagnosis.moc"
