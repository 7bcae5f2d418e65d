// The serial devices present: their stable paths from a by-id folder of
// symbolic links, what identifies them, and how a configured path stands
// against them. The folders are temporary ones that stand in for /dev and
// /dev/serial/by-id; the system's own list is never asked (asking it opens
// the machine's serial ports).

#include "Devices.h"
#include "serial/PortDevices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <pty.h>
#include <unistd.h>

using namespace korvane;

namespace {

// A device as the system lists it, before its stable path is known.
SerialDevice at(const QString &systemLocation)
{
    return test::serialDevice({}, systemLocation);
}

// A stand-in for /dev with device nodes (plain files) and a by-id folder of
// links made the way udev makes them (relative, "../../ttyUSB0").
struct DevFolder {
    DevFolder()
    {
        QDir(root.path()).mkpath(QStringLiteral("serial/by-id"));
        for (const char *node : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyACM0"}) {
            QFile f(dev(QLatin1String(node)));
            f.open(QIODevice::WriteOnly);
        }
    }
    QString dev(const QString &name) const { return root.filePath(name); }
    QString byId() const { return root.filePath(QStringLiteral("serial/by-id")); }
    QString link(const QString &name) const { return byId() + QLatin1Char('/') + name; }
    bool makeLink(const QString &name, const QString &target) const
    {
        return QFile::link(target, link(name));
    }

    QTemporaryDir root;
};

} // namespace

class TestPortDevices : public QObject {
    Q_OBJECT
private slots:
    void stablePathsComeFromTheByIdFolder_data();
    void stablePathsComeFromTheByIdFolder();
    void missingByIdFolderKeepsTheSystemLocations();
    void identification_data();
    void identification();
    void aPathNamesAPresentDevice_data();
    void aPathNamesAPresentDevice();
    void resolvedDevicePath_data();
    void resolvedDevicePath();
    void bareNamesAreLookedUpInDev();
};

void TestPortDevices::stablePathsComeFromTheByIdFolder_data()
{
    QTest::addColumn<QString>("node");
    QTest::addColumn<QString>("expected"); // a link name in by-id, or "node" for the node itself

    QTest::newRow("relative link ../../ttyUSB0 -> the link")
        << "ttyUSB0" << "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    QTest::newRow("absolute link to ttyACM0 -> the link") << "ttyACM0" << "usb-Arduino_Uno_7523-if00";
    QTest::newRow("no link (adapter without a serial number) -> the node") << "ttyUSB1" << "node";
    QTest::newRow("two links to ttyUSB2 -> the first by name") << "ttyUSB2" << "usb-A_second-if00";
}

void TestPortDevices::stablePathsComeFromTheByIdFolder()
{
    QFETCH(QString, node);
    QFETCH(QString, expected);

    DevFolder dev;
    QVERIFY(dev.makeLink(QStringLiteral("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"),
                         QStringLiteral("../../ttyUSB0")));
    QVERIFY(dev.makeLink(QStringLiteral("usb-Arduino_Uno_7523-if00"), dev.dev(QStringLiteral("ttyACM0"))));
    QVERIFY(dev.makeLink(QStringLiteral("usb-B_dangling-if00"), QStringLiteral("../../ttyUSB2-gone")));
    QVERIFY(dev.makeLink(QStringLiteral("usb-C_third-if00"), QStringLiteral("../../ttyUSB2")));
    QVERIFY(dev.makeLink(QStringLiteral("usb-A_second-if00"), QStringLiteral("usb-C_third-if00")));
    // Not a link: ignored, though it is in the folder.
    QFile plain(dev.link(QStringLiteral("usb-Z_plain-if00")));
    QVERIFY(plain.open(QIODevice::WriteOnly));

    const QList<SerialDevice> found = withStablePaths(
        {at(dev.dev(QStringLiteral("ttyUSB0"))), at(dev.dev(QStringLiteral("ttyUSB1"))),
         at(dev.dev(QStringLiteral("ttyUSB2"))), at(dev.dev(QStringLiteral("ttyACM0")))},
        dev.byId());
    QCOMPARE(found.size(), 4);
    const QString location = dev.dev(node);
    const auto it = std::find_if(found.begin(), found.end(),
                                 [&](const SerialDevice &d) { return d.systemLocation == location; });
    QVERIFY(it != found.end());
    QCOMPARE(it->path, expected == QLatin1String("node") ? location : dev.link(expected));
}

void TestPortDevices::missingByIdFolderKeepsTheSystemLocations()
{
    DevFolder dev;
    const QList<SerialDevice> found =
        withStablePaths({at(dev.dev(QStringLiteral("ttyUSB0")))}, dev.root.filePath(QStringLiteral("nowhere")));
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.first().path, dev.dev(QStringLiteral("ttyUSB0")));
}

void TestPortDevices::identification_data()
{
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");
    QTest::addColumn<QString>("expected");

    QTest::newRow("FTDI adapter: all of it")
        << "FTDI" << "FT232R USB UART" << "A1B2C3" << 0x0403 << 0x6001
        << "FTDI FT232R USB UART, serial A1B2C3, USB 0403:6001";
    QTest::newRow("product that names its maker: named once")
        << "Prolific" << "Prolific USB-Serial Controller" << "" << 0x067b << 0x2303
        << "Prolific USB-Serial Controller, USB 067b:2303";
    QTest::newRow("on-board port: description only") << "" << "16550A UART" << "" << -1 << -1 << "16550A UART";
    QTest::newRow("nothing known: empty") << "" << "" << "" << -1 << -1 << "";
}

void TestPortDevices::identification()
{
    QFETCH(QString, manufacturer);
    QFETCH(QString, description);
    QFETCH(QString, serial);
    QFETCH(int, vendor);
    QFETCH(int, product);
    QFETCH(QString, expected);
    SerialDevice d = test::serialDevice(QStringLiteral("/dev/ttyUSB0"), {}, manufacturer, description, serial);
    d.vendorId = vendor;
    d.productId = product;
    QCOMPARE(korvane::identification(d), expected);
}

void TestPortDevices::aPathNamesAPresentDevice_data()
{
    QTest::addColumn<QString>("path"); // relative to the stand-in /dev; "<empty>" for ""
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("presence");

    const int listed = int(DevicePresence::Listed);
    QTest::newRow("its stable path") << "serial/by-id/usb-FTDI-if00" << 0 << listed;
    QTest::newRow("its system location") << "ttyUSB0" << 0 << listed;
    QTest::newRow("another link to the same node") << "my-adapter" << 0 << listed;
    QTest::newRow("the second device") << "ttyACM0" << 1 << listed;
    QTest::newRow("a file that is no listed device (a pseudo-terminal)") << "ttyUSB1" << -1
                                                                        << int(DevicePresence::Unlisted);
    QTest::newRow("a missing node") << "ttyUSB7" << -1 << int(DevicePresence::Absent);
    QTest::newRow("a link that leads nowhere") << "gone-adapter" << -1 << int(DevicePresence::Absent);
    QTest::newRow("empty") << "<empty>" << -1 << int(DevicePresence::Absent);
}

void TestPortDevices::aPathNamesAPresentDevice()
{
    QFETCH(QString, path);
    QFETCH(int, index);
    QFETCH(int, presence);

    DevFolder dev;
    QVERIFY(dev.makeLink(QStringLiteral("usb-FTDI-if00"), QStringLiteral("../../ttyUSB0")));
    QVERIFY(QFile::link(QStringLiteral("ttyUSB0"), dev.dev(QStringLiteral("my-adapter"))));
    QVERIFY(QFile::link(QStringLiteral("ttyUSB9"), dev.dev(QStringLiteral("gone-adapter"))));
    const QList<SerialDevice> present = withStablePaths(
        {at(dev.dev(QStringLiteral("ttyUSB0"))), at(dev.dev(QStringLiteral("ttyACM0")))}, dev.byId());

    const QString full = path == QLatin1String("<empty>") ? QString() : dev.dev(path);
    QCOMPARE(indexOfDevice(present, full), qsizetype(index));
    QCOMPARE(int(devicePresence(present, full)), presence);
}

void TestPortDevices::resolvedDevicePath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    QTest::newRow("ttyUSB0 -> /dev/ttyUSB0") << "ttyUSB0" << "/dev/ttyUSB0";
    QTest::newRow("pts/3 -> /dev/pts/3") << "pts/3" << "/dev/pts/3";
    QTest::newRow("serial/by-id/usb-FTDI-if00 -> inside /dev")
        << "serial/by-id/usb-FTDI-if00" << "/dev/serial/by-id/usb-FTDI-if00";
    QTest::newRow("/dev/ttyACM0 as it is") << "/dev/ttyACM0" << "/dev/ttyACM0";
    QTest::newRow("/tmp/ttyV0 as it is") << "/tmp/ttyV0" << "/tmp/ttyV0";
    QTest::newRow("./ttyV0 as it is (the working folder)") << "./ttyV0" << "./ttyV0";
    QTest::newRow("../ttyV0 as it is (the working folder)") << "../ttyV0" << "../ttyV0";
    QTest::newRow("tcp://192.168.1.50:4001 untouched") << "tcp://192.168.1.50:4001" << "tcp://192.168.1.50:4001";
    QTest::newRow("TCP://host:4001 untouched") << "TCP://host:4001" << "TCP://host:4001";
    QTest::newRow("empty stays empty") << "" << "";
}

void TestPortDevices::resolvedDevicePath()
{
    QFETCH(QString, name);
    QFETCH(QString, path);
    QCOMPARE(korvane::resolvedDevicePath(name), path);
}

// A name without a folder is looked up in /dev, as the port opens it, not
// in the working folder: an existing node (/dev/null, a pseudo-terminal's
// pts/N) exists, a file of that name in the working folder does not make
// one exist, and a listed device is found by its bare name.
void TestPortDevices::bareNamesAreLookedUpInDev()
{
    QTemporaryDir work;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));
    {
        QFile decoy(QStringLiteral("ttyKORVANE0"));
        QVERIFY(decoy.open(QIODevice::WriteOnly));
    }
    int master = -1, slave = -1;
    char name[256] = {};
    QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const QString pty = QString::fromLocal8Bit(name);
    QVERIFY(pty.startsWith(QLatin1String("/dev/pts/")));
    const QString bare = pty.mid(5); // "pts/N"

    QCOMPARE(int(devicePresence({}, QStringLiteral("null"))), int(DevicePresence::Unlisted));
    QCOMPARE(int(devicePresence({}, bare)), int(DevicePresence::Unlisted));
    QCOMPARE(int(devicePresence({}, QStringLiteral("ttyKORVANE0"))), int(DevicePresence::Absent));
    const QList<SerialDevice> present = {test::serialDevice(QStringLiteral("/dev/ttyACM0")),
                                         test::serialDevice(pty)};
    QCOMPARE(indexOfDevice(present, QStringLiteral("ttyACM0")), qsizetype(0));
    QCOMPARE(int(devicePresence(present, QStringLiteral("ttyACM0"))), int(DevicePresence::Listed));
    QCOMPARE(indexOfDevice(present, bare), qsizetype(1));

    ::close(slave);
    ::close(master);
    QVERIFY(QDir::setCurrent(before));
}

QTEST_GUILESS_MAIN(TestPortDevices)
#include "tst_portdevices.moc"
