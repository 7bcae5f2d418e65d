#pragma once
// The serial devices present on this machine, each under a path that stays
// the same from one plug-in to the next, and the rules that tie a typed or
// stored device path to one of them.

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace korvane {

/// One serial device that the system reports.
struct SerialDevice {
    /// The stable path: the /dev/serial/by-id link to the device where it
    /// has one, else its system location.
    QString path;
    /// Where the device node is, e.g. /dev/ttyUSB0.
    QString systemLocation;
    QString description;  ///< the product, e.g. "FT232R USB UART"
    QString manufacturer; ///< e.g. "FTDI"
    QString serialNumber;
    int vendorId = -1;    ///< USB vendor id, -1 when unknown
    int productId = -1;   ///< USB product id, -1 when unknown

    friend bool operator==(const SerialDevice &, const SerialDevice &) = default;
};

/// Lists the serial devices present now; the port-devices dialog and the
/// failure advice take one, so that tests can give a fixed list.
using DeviceSource = std::function<QList<SerialDevice>()>;

/// Where udev keeps a link per serial device, named after what identifies it.
inline constexpr char SerialByIdFolder[] = "/dev/serial/by-id";

/// Where the device nodes are.
inline constexpr char DeviceFolder[] = "/dev";

/// The folders whose names change when a serial device comes or goes:
/// DeviceFolder and SerialByIdFolder.
QStringList deviceNodeFolders();

/// The path a port name opens, resolved as QSerialPort resolves it (on
/// Unix): a name that starts with "/", "./" or "../" as it is, any other
/// inside /dev ("ttyUSB0" is /dev/ttyUSB0, "pts/3" is /dev/pts/3); a
/// tcp:// address (TcpDevice.h) and the empty name unchanged. Whatever
/// checks, lists or explains a port's device looks at this path.
QString resolvedDevicePath(const QString &name);

/// What identifies the device for a person: manufacturer, product, serial
/// number and USB ids, those that are known, e.g. "FTDI FT232R USB UART,
/// serial A1B2C3, USB 0403:6001". Empty when nothing is known.
QString identification(const SerialDevice &device);

/// The devices with their path set to the link in byIdFolder that leads to
/// their system location (relative and absolute links, through further
/// links); where several lead to one device, the first by name. A device
/// without a link keeps its system location as its path.
QList<SerialDevice> withStablePaths(QList<SerialDevice> devices, const QString &byIdFolder);

/// The serial devices present now (QSerialPortInfo), with stable paths from
/// byIdFolder, sorted by path.
QList<SerialDevice> listSerialDevices(const QString &byIdFolder = QLatin1String(SerialByIdFolder));

/// A DeviceSource that calls listSerialDevices(byIdFolder).
DeviceSource systemDeviceSource(const QString &byIdFolder = QLatin1String(SerialByIdFolder));

/// The index in devices of the device that a port name (resolvedDevicePath())
/// names: its stable path, its system location, or a path that leads to the
/// same device node through symbolic links. -1 when it names none of them.
qsizetype indexOfDevice(const QList<SerialDevice> &devices, const QString &name);

/// How a port name (resolvedDevicePath()) stands against the devices present.
enum class DevicePresence {
    Listed,   ///< one of the serial devices present
    Unlisted, ///< exists, but is not among them (a pseudo-terminal, a link to one)
    Absent,   ///< does not exist
    Server,   ///< tcp://HOST:PORT (see TcpDevice.h): reached over the network, not a file
};
DevicePresence devicePresence(const QList<SerialDevice> &devices, const QString &name);

} // namespace korvane
