#pragma once
// Advice for an operator when a serial port cannot be opened: is the device
// missing, not accessible to this user, or in use?

#include <QList>
#include <QString>

#include <sys/types.h>

namespace korvane {

/// What the advice depends on: the device's owner and group, and who we are.
struct DeviceAccess {
    bool exists = false;
    uid_t ownerUid = 0;
    gid_t groupGid = 0;
    QString groupName;       ///< e.g. "dialout"
    unsigned mode = 0;       ///< permission bits of the device
    uid_t userUid = 0;       ///< the running user
    QList<gid_t> userGroups; ///< the running user's primary and other groups
};

/// Reads the device's owner, group and mode and the running user's identity.
DeviceAccess probeDeviceAccess(const QString &device);

/// One or two sentences for the operator: the device is missing (map it in
/// the "Ports" section), or this user may not use it (join its group), or it
/// is in use by another program.
QString portOpenAdvice(const QString &device, const DeviceAccess &access);

} // namespace korvane
