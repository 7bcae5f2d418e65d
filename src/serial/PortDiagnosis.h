#pragma once
// Advice for an operator when a serial port cannot be opened: why (the
// device is missing, is not a serial device, is in use, or this user may not
// open it) and what to do, with the serial devices that are present.
//
// portOpenAdvice() is a pure function of the facts; lookUpPortFacts() finds
// the facts on this machine.

#include "PortDevices.h"

#include <QList>
#include <QString>

#include <sys/types.h>

namespace korvane {

/// What the advice depends on.
struct PortFacts {
    int port = 1;            ///< the COM number, 1..6
    QString device;          ///< the port's device path as configured
    bool exists = false;     ///< the path it opens (resolvedDevicePath()) leads to an existing file
    uid_t ownerUid = 0;      ///< the device's owner, group and permission bits
    gid_t groupGid = 0;
    QString ownerName;       ///< e.g. "root"
    QString groupName;       ///< e.g. "dialout"
    unsigned mode = 0;
    uid_t userUid = 0;       ///< the running user
    QList<gid_t> userGroups; ///< the running user's primary and other groups
    int error = 0;           ///< errno of the failed open; 0 when not known
    qint64 lockPid = 0;      ///< another running process that holds the device's lock file
    QString lockProgram;     ///< that process's name, when known
    QList<SerialDevice> present; ///< the serial devices present
    qsizetype deviceIndex = -1;  ///< which of them is the port's own device; -1: none
};

/// The advice, one or more sentences; each piece of advice appears once.
/// It does not repeat the port or device name in front ("COM2 (/dev/...)
/// could not be opened." is the caller's). Reasons, in this order:
/// - another process holds the lock file, or EBUSY: in use by another program;
/// - missing (ENOENT, ENODEV, ENXIO, or the path does not exist);
/// - not a serial device (ENOTTY, EISDIR);
/// - EACCES/EPERM: the group to join when a group other than root may use
///   the device and the user is not in it; a device only root (or only its
///   owner) may open; else plain "not allowed"; the latter two say that an
///   administrator can give access;
/// - EINVAL: the device refused the line settings;
/// - any other error by its system text.
/// Then the serial devices present (up to three, by stable path) and that
/// "Serial Port → Port Devices…" assigns one to this port, or that no serial
/// device was found.
/// For a serial device server (tcp://HOST:PORT, see TcpDevice.h) it names
/// the host, the port and the reason instead (ECONNREFUSED refused,
/// ETIMEDOUT timed out, ENXIO no such host, ENETUNREACH or EHOSTUNREACH
/// unreachable, a malformed address), says that the server's own settings
/// apply to its serial line, and where the address is changed.
QString portOpenAdvice(const PortFacts &facts);

/// The lock file a device is locked with while a program has it open:
/// lockFolder/LCK..<last part of path>.
QString lockFilePath(const QString &lockFolder, const QString &path);

/// Looks up the facts for device of port (for a serial device server only
/// the port, the address and the error) at the path the port opens
/// (resolvedDevicePath(): a bare name is inside /dev): its owner, group and mode, the
/// running user, a lock file in lockFolder held by another running process
/// (named after the device path or the node it leads to), and the present
/// devices from devices. error is the port's own errno for the failure; an
/// EACCES where this user may open the device and no other process holds the
/// lock becomes EBUSY (a device kept exclusive by another program).
PortFacts lookUpPortFacts(int port, const QString &device, int error,
                          const QList<SerialDevice> &devices,
                          const QString &lockFolder = QStringLiteral("/var/lock"));

} // namespace korvane
