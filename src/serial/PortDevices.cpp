#include "PortDevices.h"

#include "TcpDevice.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSerialPortInfo>

#include <algorithm>

namespace korvane {

namespace {
// The device node a path leads to, through any symbolic links; empty when
// it leads nowhere.
QString resolved(const QString &path)
{
    return path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
}
} // namespace

QString resolvedDevicePath(const QString &name)
{
#ifdef Q_OS_UNIX
    // QSerialPortInfoPrivate::portNameToSystemLocation(), which Qt keeps
    // private; QSerialPortInfo(name) would list (probe) every port to find it.
    if (name.isEmpty() || isTcpDevice(name) || name.startsWith(QLatin1Char('/'))
        || name.startsWith(QLatin1String("./")) || name.startsWith(QLatin1String("../")))
        return name;
    return QLatin1String(DeviceFolder) + QLatin1Char('/') + name;
#else
    return name;
#endif
}

QStringList deviceNodeFolders()
{
    return {QLatin1String(DeviceFolder), QLatin1String(SerialByIdFolder)};
}

QString identification(const SerialDevice &device)
{
    QStringList parts;
    QString product = device.manufacturer.trimmed();
    const QString description = device.description.trimmed();
    if (!description.isEmpty() && !description.startsWith(product, Qt::CaseInsensitive))
        product = product.isEmpty() ? description : product + QLatin1Char(' ') + description;
    else if (!description.isEmpty())
        product = description;
    if (!product.isEmpty())
        parts << product;
    if (!device.serialNumber.trimmed().isEmpty())
        parts << QStringLiteral("serial %1").arg(device.serialNumber.trimmed());
    if (device.vendorId >= 0 && device.productId >= 0)
        parts << QStringLiteral("USB %1:%2")
                     .arg(device.vendorId, 4, 16, QLatin1Char('0'))
                     .arg(device.productId, 4, 16, QLatin1Char('0'));
    return parts.join(QStringLiteral(", "));
}

QList<SerialDevice> withStablePaths(QList<SerialDevice> devices, const QString &byIdFolder)
{
    // Link names sort by what they identify; the first link to a device wins,
    // so the choice does not depend on the order the folder is read in.
    QHash<QString, QString> linkTo;
    const QDir folder(byIdFolder);
    const QStringList names = folder.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot,
                                               QDir::Name);
    for (const QString &name : names) {
        const QString link = folder.filePath(name);
        if (!QFileInfo(link).isSymLink())
            continue;
        const QString target = resolved(link);
        if (!target.isEmpty() && !linkTo.contains(target))
            linkTo.insert(target, link);
    }
    for (SerialDevice &d : devices) {
        const QString link = linkTo.value(resolved(d.systemLocation));
        d.path = link.isEmpty() ? d.systemLocation : link;
    }
    return devices;
}

QList<SerialDevice> listSerialDevices(const QString &byIdFolder)
{
    QList<SerialDevice> found;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        SerialDevice d;
        d.systemLocation = info.systemLocation();
        d.description = info.description();
        d.manufacturer = info.manufacturer();
        d.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            d.vendorId = info.vendorIdentifier();
            d.productId = info.productIdentifier();
        }
        found << d;
    }
    found = withStablePaths(std::move(found), byIdFolder);
    std::sort(found.begin(), found.end(),
              [](const SerialDevice &a, const SerialDevice &b) { return a.path < b.path; });
    return found;
}

DeviceSource systemDeviceSource(const QString &byIdFolder)
{
    return [byIdFolder] { return listSerialDevices(byIdFolder); };
}

qsizetype indexOfDevice(const QList<SerialDevice> &devices, const QString &name)
{
    if (name.isEmpty() || isTcpDevice(name))
        return -1;
    const QString path = resolvedDevicePath(name);
    for (qsizetype i = 0; i < devices.size(); ++i) {
        if (devices[i].path == path || devices[i].systemLocation == path)
            return i;
    }
    const QString node = resolved(path);
    if (node.isEmpty())
        return -1;
    for (qsizetype i = 0; i < devices.size(); ++i) {
        if (resolved(devices[i].systemLocation) == node)
            return i;
    }
    return -1;
}

DevicePresence devicePresence(const QList<SerialDevice> &devices, const QString &name)
{
    if (isTcpDevice(name))
        return DevicePresence::Server;
    if (indexOfDevice(devices, name) >= 0)
        return DevicePresence::Listed;
    // exists() follows links: a link whose device is gone is absent.
    return !name.isEmpty() && QFileInfo::exists(resolvedDevicePath(name)) ? DevicePresence::Unlisted
                                                                          : DevicePresence::Absent;
}

} // namespace korvane
