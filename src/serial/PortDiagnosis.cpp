#include "PortDiagnosis.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korvane {

DeviceAccess probeDeviceAccess(const QString &device)
{
    DeviceAccess a;
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(device).constData(), &st) != 0)
        return a;
    a.exists = true;
    a.ownerUid = st.st_uid;
    a.groupGid = st.st_gid;
    a.mode = st.st_mode & 07777;
    if (const struct group *g = ::getgrgid(st.st_gid))
        a.groupName = QString::fromLocal8Bit(g->gr_name);
    else
        a.groupName = QString::number(st.st_gid);
    a.userUid = ::geteuid();
    a.userGroups.append(::getegid());
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        QList<gid_t> groups(n);
        if (::getgroups(n, groups.data()) == n)
            a.userGroups.append(groups);
    }
#else
    a.exists = true;
#endif
    return a;
}

QString portOpenAdvice(const QString &device, const DeviceAccess &access)
{
    if (!access.exists)
        return QStringLiteral("The device %1 does not exist. Connect the adapter, or map this port "
                              "to another device in the \"Ports\" section of korvane.ini "
                              "(for example COM1=/dev/ttyUSB0).")
            .arg(device);
    const bool owner = access.userUid == 0 || access.userUid == access.ownerUid;
    const bool member = access.userGroups.contains(access.groupGid);
    const bool othersMayUse = (access.mode & 006) == 006;
    if (!owner && !member && !othersMayUse)
        return QStringLiteral("You may not use %1: it belongs to the group \"%2\". Ask an "
                              "administrator to add you to that group (on Debian: "
                              "sudo adduser $USER %2), then log in again.")
            .arg(device, access.groupName);
    return QStringLiteral("%1 is probably in use by another program. Close that program, "
                          "or choose another port from the \"Serial Port\" menu.")
        .arg(device);
}

} // namespace korvane
