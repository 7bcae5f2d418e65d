#include "PortDiagnosis.h"

#include "TcpDevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korvane {

namespace {

constexpr qsizetype NamedDevices = 3;

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString portName(int port)
{
    return QStringLiteral("COM%1").arg(port);
}

// Why the device could not be opened, and what to do about that reason.
QString reason(const PortFacts &f)
{
    const QString port = portName(f.port);
    if (f.lockPid > 0 || f.error == EBUSY) {
        QString who;
        if (f.lockPid > 0)
            who = f.lockProgram.isEmpty()
                ? QStringLiteral(" (process %1)").arg(f.lockPid)
                : QStringLiteral(" (%1, process %2)").arg(f.lockProgram).arg(f.lockPid);
        return QStringLiteral("It is in use by another program%1. Close that program, then choose "
                              "%2 from the \"Serial Port\" menu.")
            .arg(who, port);
    }
    if (!f.exists || f.error == ENOENT || f.error == ENODEV || f.error == ENXIO)
        return QStringLiteral("The device does not exist.");
    if (f.error == ENOTTY || f.error == EISDIR)
        return QStringLiteral("It is not a serial device.");
    if (f.error == EACCES || f.error == EPERM) {
        const bool root = f.userUid == 0;
        const bool owner = f.userUid == f.ownerUid;
        const bool othersMay = (f.mode & 006) == 006;
        const bool groupMay = f.groupGid != 0 && (f.mode & 060) == 060;
        const bool inGroup = f.userGroups.contains(f.groupGid);
        const QString admin = QStringLiteral("An administrator can give you access, for example with "
                                             "a udev rule that gives the device to a group you are in.");
        if (!root && !owner && !othersMay) {
            if (groupMay && !inGroup)
                return QStringLiteral("You may not use it: it is for the members of the group %1, and "
                                      "you are not one. Join the group, then log in again: "
                                      "sudo adduser $USER %2")
                    .arg(quoted(f.groupName), f.groupName);
            if (!groupMay && f.ownerUid == 0)
                return QStringLiteral("Only root may open it. ") + admin;
            if (!groupMay)
                return QStringLiteral("Only its owner (%1) and root may open it. ")
                           .arg(f.ownerName.isEmpty() ? QStringLiteral("user %1").arg(f.ownerUid)
                                                      : f.ownerName)
                    + admin;
        }
        return QStringLiteral("You are not allowed to open it. ") + admin;
    }
    if (f.error == EINVAL)
        return QStringLiteral("It does not accept the line settings: choose others from the "
                              "\"Baud Rate\" and \"Data Format\" menus.");
    if (f.error != 0)
        return QStringLiteral("Opening it failed: %1.").arg(QString::fromLocal8Bit(std::strerror(f.error)));
    return QStringLiteral("Choose %1 from the \"Serial Port\" menu to try again.").arg(port);
}

// The serial devices present (other than the port's own), and how to assign one.
QString devices(const PortFacts &f)
{
    const QString port = portName(f.port);
    const QString assign = QStringLiteral("\"Serial Port \u2192 Port Devices\u2026\"");
    QStringList others;
    for (qsizetype i = 0; i < f.present.size(); ++i) {
        if (i != f.deviceIndex)
            others << f.present[i].path;
    }
    if (others.isEmpty()) {
        if (f.deviceIndex >= 0)
            return {};
        return QStringLiteral("No serial device was found: connect the adapter, then %1 assigns it to "
                              "%2 (kept in the [Ports] section of the settings file, for example "
                              "%2=/dev/ttyUSB0).")
            .arg(assign, port);
    }
    QString named = others.mid(0, NamedDevices).join(QStringLiteral(", "));
    if (others.size() > NamedDevices)
        named += QStringLiteral(" and %1 more").arg(others.size() - NamedDevices);
    return QStringLiteral("%1 present: %2. %3 assigns one to %4 (kept in the [Ports] section of the "
                          "settings file, for example %4=%5).")
        .arg(f.deviceIndex >= 0 ? QStringLiteral("Other serial devices") : QStringLiteral("Serial devices"),
             named, assign, port, others.first());
}

// A serial device server (tcp://HOST:PORT): why the connection failed and
// what to check. Files, groups and lock files do not apply; nor do the
// serial devices of this computer.
QString serverAdvice(const PortFacts &f)
{
    const QString port = portName(f.port);
    const QString assign = QStringLiteral("\"Serial Port \u2192 Port Devices\u2026\"");
    QString problem;
    const auto address = parseTcpDevice(f.device, &problem);
    if (!address)
        return QStringLiteral("\"%1\" is not a valid server address: %2. Write it as tcp://HOST:PORT, for "
                              "example tcp://192.168.1.50:4001 or tcp://[fe80::1]:4001, in %3.")
            .arg(f.device.trimmed(), problem, assign);
    const QString host = address->displayHost();
    const QString where = QStringLiteral("%1 on TCP port %2").arg(host).arg(address->port);
    QString why;
    switch (f.error) {
    case ECONNREFUSED:
        why = QStringLiteral("The connection to %1 was refused: nothing accepts connections on that port. Check "
                             "that the serial device server is on, that %2 is the TCP port of its serial line "
                             "(raw or \"TCP server\" mode), and that no other program holds the server's only "
                             "connection.")
                  .arg(where).arg(address->port);
        break;
    case ETIMEDOUT:
        why = QStringLiteral("The connection to %1 timed out: nothing answered. Check the address, that the "
                             "server is switched on, and that this computer reaches it over the network "
                             "(cable, firewall).")
                  .arg(where);
        break;
    case ENXIO:
        why = QStringLiteral("There is no host named %1 (no such host): the name could not be looked up. Check "
                             "its spelling, or give the server's IP address.")
                  .arg(host);
        break;
    case ENETUNREACH:
    case EHOSTUNREACH:
        why = QStringLiteral("%1 cannot be reached from this computer (no route over the network). Check the "
                             "address and the network connection.")
                  .arg(host);
        break;
    case 0:
        why = QStringLiteral("Connecting to %1 failed. Choose %2 from the \"Serial Port\" menu to try again.")
                  .arg(where, port);
        break;
    default:
        why = QStringLiteral("Connecting to %1 failed: %2.")
                  .arg(where, QString::fromLocal8Bit(std::strerror(f.error)));
        break;
    }
    return why
        + QStringLiteral(" Over TCP the server's own settings apply to its serial line: the \"Baud Rate\" and "
                         "\"Data Format\" menus store their choice but cannot change it. %1 changes the "
                         "address of %2.")
              .arg(assign, port);
}

} // namespace

QString portOpenAdvice(const PortFacts &facts)
{
    if (isTcpDevice(facts.device))
        return serverAdvice(facts);
    QStringList parts;
    for (const QString &part : {reason(facts), devices(facts)}) {
        if (!part.isEmpty())
            parts << part;
    }
    return parts.join(QLatin1Char(' '));
}

QString lockFilePath(const QString &lockFolder, const QString &path)
{
    return QDir(lockFolder).filePath(QStringLiteral("LCK..") + QFileInfo(path).fileName());
}

namespace {

#ifdef Q_OS_UNIX
bool running(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// A lock file holds the pid in decimal (alone or padded, as UUCP locks do),
// often followed by the program's name: on the same line or the next.
void readLock(const QString &file, PortFacts &f)
{
    QFile lock(file);
    if (!lock.open(QIODevice::ReadOnly))
        return;
    const QStringList words = QString::fromLocal8Bit(lock.read(4096)).split(QLatin1Char('\n'));
    const QStringList first = words.value(0).simplified().split(QLatin1Char(' '));
    bool ok = false;
    const qint64 pid = first.value(0).toLongLong(&ok);
    if (!ok || pid <= 0 || pid == qint64(::getpid()) || !running(pid))
        return;
    f.lockPid = pid;
    QString name = first.size() > 1 ? first.at(1) : words.value(1).trimmed();
    if (name.isEmpty()) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (comm.open(QIODevice::ReadOnly))
            name = QString::fromLocal8Bit(comm.readAll()).trimmed();
    }
    f.lockProgram = name;
}
#endif

} // namespace

PortFacts lookUpPortFacts(int port, const QString &device, int error,
                          const QList<SerialDevice> &devices, const QString &lockFolder)
{
    PortFacts f;
    f.port = port;
    f.device = device;
    f.error = error;
    f.present = devices;
    f.deviceIndex = indexOfDevice(devices, device);
    // A serial device server is no file: its facts are the address and the
    // error alone.
    if (isTcpDevice(device))
        return f;
#ifdef Q_OS_UNIX
    f.userUid = ::geteuid();
    f.userGroups.append(::getegid());
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        QList<gid_t> groups(n);
        if (::getgroups(n, groups.data()) == n)
            f.userGroups.append(groups);
    }
    // The file the port opens: a bare name is inside /dev.
    const QString path = resolvedDevicePath(device);
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        f.exists = true;
        f.ownerUid = st.st_uid;
        f.groupGid = st.st_gid;
        f.mode = st.st_mode & 07777;
        if (const struct passwd *p = ::getpwuid(st.st_uid))
            f.ownerName = QString::fromLocal8Bit(p->pw_name);
        if (const struct group *g = ::getgrgid(st.st_gid))
            f.groupName = QString::fromLocal8Bit(g->gr_name);
        else
            f.groupName = QString::number(st.st_gid);
    }
    // A program locks the device under the name it opened it by: the path
    // as configured, or the node it leads to.
    readLock(lockFilePath(lockFolder, path), f);
    const QString node = QFileInfo(path).canonicalFilePath();
    if (f.lockPid == 0 && !node.isEmpty() && QFileInfo(node).fileName() != QFileInfo(path).fileName())
        readLock(lockFilePath(lockFolder, node), f);
    // The port cannot tell "not allowed" from "kept exclusive by another
    // program": if this user may open the device, it is the latter.
    if (f.error == EACCES && f.exists && f.lockPid == 0
        && ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0)
        f.error = EBUSY;
#else
    f.exists = QFileInfo::exists(resolvedDevicePath(device));
    Q_UNUSED(lockFolder);
#endif
    return f;
}

} // namespace korvane
