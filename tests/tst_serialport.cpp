// The serial-port component on a real device: line-settings text, opening
// and configuring, bytes out and in, the input buffer, and closing itself
// on a hang-up. Every device is a pseudo-terminal made by openpty(); the
// test holds both ends, so it sees what left the port and can feed it.

#include "serial/LineSettings.h"
#include "serial/ParityMarks.h"
#include "serial/QtSerialComponent.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTest>

#include <memory>

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

using namespace korvane;

namespace {

/// One pseudo-terminal pair. The component opens the slave by its path; the
/// test writes and reads the master (the "device" side). The test keeps its
/// own slave descriptor open, in raw mode, so that bytes written on the
/// master can wait in the slave's input queue while the port is closed, and
/// so that the queue can be measured (FIONREAD) without taking bytes from it.
class Pty {
public:
    Pty()
    {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            return;
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
        path_ = QString::fromLocal8Bit(name);
    }
    ~Pty()
    {
        hangUp();
        if (slave_ >= 0)
            ::close(slave_);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isValid() const { return master_ >= 0 && !path_.isEmpty(); }
    QString path() const { return path_; }

    /// The device sends these bytes towards the port.
    bool send(const QByteArray &bytes)
    {
        return ::write(master_, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    /// Whether bytes from the port are waiting on the device side (no wait).
    bool hasReceived() const
    {
        pollfd p{master_, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
    }
    /// One read(2) on the device side: whatever the port has sent so far.
    QByteArray receiveOnce()
    {
        if (!hasReceived())
            return {};
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        return n > 0 ? QByteArray(buf, qsizetype(n)) : QByteArray();
    }
    /// Bytes waiting in the slave's input queue in the kernel, not yet read
    /// by anybody.
    int queuedForPort() const
    {
        int n = -1;
        ::ioctl(slave_, FIONREAD, &n);
        return n;
    }
    /// Waits, without running the event loop, until at least n bytes wait
    /// in the slave's input queue.
    bool waitQueuedForPort(int n) const
    {
        const QDeadlineTimer deadline(5000);
        while (queuedForPort() < n) {
            if (deadline.hasExpired())
                return false;
            pollfd p{slave_, POLLIN, 0};
            ::poll(&p, 1, 10);
            if (queuedForPort() < n) {
                const timespec nap{0, 1000 * 1000};
                ::nanosleep(&nap, nullptr);
            }
        }
        return true;
    }
    /// The device goes away: the master side closes, the slave hangs up.
    void hangUp()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    QString path_;
};

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray pattern(int size)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        out[i] = char((i * 7 + i / 256) & 0xFF);
    return out;
}

void outputAll(SerialComponent &port, const QByteArray &frame)
{
    for (char b : frame)
        port.Output(b);
}

const char *rowName(const QString &text)
{
    static QByteArray keep;
    keep = text.isEmpty() ? QByteArray("<empty>") : ('"' + text.toLatin1() + '"');
    return keep.constData();
}

} // namespace

class Test_serialport : public QObject {
    Q_OBJECT

    /// A component whose port 1 is a fresh pty, opened with settings.
    struct Opened {
        std::unique_ptr<Pty> pty = std::make_unique<Pty>();
        std::unique_ptr<QtSerialComponent> port = std::make_unique<QtSerialComponent>();
    };
    static bool openOnPty(Opened &o, const QString &settings = QStringLiteral("9600,n,8,2"))
    {
        if (!o.pty->isValid())
            return false;
        o.port->setPortDevice(1, o.pty->path());
        o.port->setCommPort(1);
        o.port->setSettings(settings);
        o.port->setInputMode(1);
        return o.port->setPortOpen(true);
    }

private slots:
    void parsesLineSettings_data();
    void parsesLineSettings();
    void portNumbersMapToDevices();

    void openAppliesTheSettings_data();
    void openAppliesTheSettings();
    void opensTheDeviceOfTheChosenPort();
    void refusedSettingsKeepThePortClosed_data();
    void refusedSettingsKeepThePortClosed();
    void missingDeviceFailsToOpen();

    void outputLeavesUnchangedInOneWrite_data();
    void outputLeavesUnchangedInOneWrite();
    void closingDropsUnsentOutput();

    void inputReturnsArrivedBytesInOrder();
    void inputBufferKeepsTheFirst1024Bytes();
    void discardInputDropsWaitingBytes_data();
    void discardInputDropsWaitingBytes();
    void openStartsWithEmptyInput_data();
    void openStartsWithEmptyInput();
    void readNotificationWithNothingToReadKeepsPortOpen();
    void reportsArrivalsAndTheFirstByteAfterASend();

    void hangUpClosesThePortOnce();

    void parityMarksBecomeData_data();
    void parityMarksBecomeData();
    void parityCheckingFollowsTheParity_data();
    void parityCheckingFollowsTheParity();
    void receivedFFIsOneByteWithParity();
    void settingsChangeOnTheOpenPort_data();
    void settingsChangeOnTheOpenPort();
};

// --- Line-settings text ----------------------------------------------------

void Test_serialport::parsesLineSettings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("baud");
    QTest::addColumn<QSerialPort::Parity>("parity");
    QTest::addColumn<QSerialPort::DataBits>("dataBits");
    QTest::addColumn<QSerialPort::StopBits>("stopBits");

    const auto ok = [](const QString &text, int baud, QSerialPort::Parity p,
                       QSerialPort::DataBits d, QSerialPort::StopBits s) {
        QTest::newRow(rowName(text)) << text << true << baud << p << d << s;
    };
    const auto refused = [](const QString &text) {
        QTest::newRow(rowName(text)) << text << false << 0 << QSerialPort::NoParity
                                     << QSerialPort::Data8 << QSerialPort::OneStop;
    };

    ok("9600,n,8,2", 9600, QSerialPort::NoParity, QSerialPort::Data8, QSerialPort::TwoStop);
    ok("19200,E,8,1", 19200, QSerialPort::EvenParity, QSerialPort::Data8, QSerialPort::OneStop);
    ok("4800,o,7,1.5", 4800, QSerialPort::OddParity, QSerialPort::Data7,
       QSerialPort::OneAndHalfStop);
    ok("9600,O,8,1", 9600, QSerialPort::OddParity, QSerialPort::Data8, QSerialPort::OneStop);
    ok(" 9600 , n , 8 , 1 ", 9600, QSerialPort::NoParity, QSerialPort::Data8,
       QSerialPort::OneStop);
    ok("115200,N,8,1", 115200, QSerialPort::NoParity, QSerialPort::Data8, QSerialPort::OneStop);
    ok("1200,m,5,1", 1200, QSerialPort::MarkParity, QSerialPort::Data5, QSerialPort::OneStop);
    ok("300,S,6,2", 300, QSerialPort::SpaceParity, QSerialPort::Data6, QSerialPort::TwoStop);
    ok("110,e,7,2", 110, QSerialPort::EvenParity, QSerialPort::Data7, QSerialPort::TwoStop);

    refused("");
    refused("9600");
    refused("9600,n,8");
    refused("9600,n,8,2,1");
    refused("9600,n,8,1,");
    refused("9600;n;8;1");
    refused("9600,x,8,1");
    refused("9600,,8,1");
    refused("9600,ne,8,1");
    refused("9600,n,9,1");
    refused("9600,n,4,1");
    refused("9600,n,,1");
    refused("9600,n,8,3");
    refused("9600,n,8,0");
    refused("9600,n,8,");
    refused("abc,n,8,1");
    refused(",n,8,1");
    refused("96 00,n,8,1");
    refused("9600.5,n,8,1");
    refused("-9600,n,8,1");
    refused("0,n,8,1");
    refused("99999999999,n,8,1");
}

void Test_serialport::parsesLineSettings()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);

    const auto parsed = parseLineSettings(text);
    QCOMPARE(parsed.has_value(), accepted);
    if (!accepted)
        return;
    QFETCH(int, baud);
    QFETCH(QSerialPort::Parity, parity);
    QFETCH(QSerialPort::DataBits, dataBits);
    QFETCH(QSerialPort::StopBits, stopBits);
    QCOMPARE(parsed->baudRate, baud);
    QCOMPARE(parsed->parity, parity);
    QCOMPARE(parsed->dataBits, dataBits);
    QCOMPARE(parsed->stopBits, stopBits);
}

void Test_serialport::portNumbersMapToDevices()
{
#ifdef Q_OS_WIN
    QCOMPARE(SerialComponent::defaultPortDevice(1), QStringLiteral("COM1"));
    QCOMPARE(SerialComponent::defaultPortDevice(6), QStringLiteral("COM6"));
#else
    QCOMPARE(SerialComponent::defaultPortDevice(1), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(SerialComponent::defaultPortDevice(6), QStringLiteral("/dev/ttyS5"));
#endif
    QtSerialComponent port;
    port.setPortDevice(2, QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(port.portDevice(2), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(port.portDevice(3), SerialComponent::defaultPortDevice(3));
    port.setPortDevice(2, QString());
    QCOMPARE(port.portDevice(2), SerialComponent::defaultPortDevice(2));
}

// --- Opening -----------------------------------------------------------------

void Test_serialport::openAppliesTheSettings_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("baud");
    QTest::addColumn<QSerialPort::Parity>("parity");
    QTest::addColumn<QSerialPort::StopBits>("stopBits");

    QTest::newRow("19200,e,8,1") << "19200,e,8,1" << 19200 << QSerialPort::EvenParity
                                 << QSerialPort::OneStop;
    QTest::newRow("9600,n,8,2") << "9600,n,8,2" << 9600 << QSerialPort::NoParity
                                << QSerialPort::TwoStop;
    QTest::newRow("4800,O,8,1") << "4800,O,8,1" << 4800 << QSerialPort::OddParity
                                << QSerialPort::OneStop;
}

void Test_serialport::openAppliesTheSettings()
{
    QFETCH(QString, settings);
    QFETCH(int, baud);
    QFETCH(QSerialPort::Parity, parity);
    QFETCH(QSerialPort::StopBits, stopBits);

    // Opened first with other settings, then closed and reconfigured, as
    // the menus do: the second open must apply the new text.
    Opened o;
    QVERIFY(openOnPty(o, QStringLiteral("1200,s,7,2")));
    QCOMPARE(o.port->port().parity(), QSerialPort::SpaceParity);
    QCOMPARE(o.port->port().dataBits(), QSerialPort::Data7);
    QVERIFY(o.port->setPortOpen(false));
    QVERIFY(!o.port->PortOpen());

    o.port->setSettings(settings);
    QVERIFY2(o.port->setPortOpen(true), qPrintable(o.port->lastError()));
    QVERIFY(o.port->PortOpen());
    QCOMPARE(o.port->Settings(), settings);
    QCOMPARE(o.port->port().baudRate(), baud);
    QCOMPARE(o.port->port().parity(), parity);
    QCOMPARE(o.port->port().dataBits(), QSerialPort::Data8);
    QCOMPARE(o.port->port().stopBits(), stopBits);
    QCOMPARE(o.port->port().flowControl(), QSerialPort::NoFlowControl);
    QVERIFY(o.port->lastError().isEmpty());
}

void Test_serialport::opensTheDeviceOfTheChosenPort()
{
    Pty one, three;
    QVERIFY(one.isValid() && three.isValid());
    QtSerialComponent port;
    port.setPortDevice(1, one.path());
    port.setPortDevice(3, three.path());
    port.setCommPort(3);
    port.setSettings(QStringLiteral("9600,n,8,2"));
    QVERIFY2(port.setPortOpen(true), qPrintable(port.lastError()));

    port.Output(char(0x5A));
    QTRY_VERIFY(three.hasReceived());
    QCOMPARE(three.receiveOnce(), bytes({0x5A}));
    QVERIFY(!one.hasReceived());

    // Another port number while closed: the next open takes its device.
    QVERIFY(port.setPortOpen(false));
    port.setCommPort(1);
    QVERIFY2(port.setPortOpen(true), qPrintable(port.lastError()));
    port.Output(char(0xA5));
    QTRY_VERIFY(one.hasReceived());
    QCOMPARE(one.receiveOnce(), bytes({0xA5}));
    QVERIFY(!three.hasReceived());
}

void Test_serialport::refusedSettingsKeepThePortClosed_data()
{
    QTest::addColumn<QString>("settings");
    for (const char *text : {"", "9600", "9600,x,8,1", "9600,n,9,1", "9600,n,8,3", "0,n,8,1",
                             "9600,n,8,2,1"})
        QTest::newRow(rowName(QString::fromLatin1(text))) << QString::fromLatin1(text);
}

void Test_serialport::refusedSettingsKeepThePortClosed()
{
    QFETCH(QString, settings);
    Opened o;
    QVERIFY(!openOnPty(o, settings));
    QVERIFY(!o.port->PortOpen());
    QVERIFY2(o.port->lastError().contains(o.pty->path()), qPrintable(o.port->lastError()));
    if (!settings.isEmpty())
        QVERIFY2(o.port->lastError().contains(settings), qPrintable(o.port->lastError()));

    // Good settings open the same device afterwards.
    o.port->setSettings(QStringLiteral("9600,n,8,2"));
    QVERIFY2(o.port->setPortOpen(true), qPrintable(o.port->lastError()));
    QVERIFY(o.port->lastError().isEmpty());
}

void Test_serialport::missingDeviceFailsToOpen()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.filePath(QStringLiteral("no-such-tty"));

    QtSerialComponent port;
    port.setPortDevice(1, missing);
    port.setCommPort(1);
    port.setSettings(QStringLiteral("9600,n,8,2"));
    QVERIFY(!port.setPortOpen(true));
    QVERIFY(!port.PortOpen());
    QVERIFY2(port.lastError().contains(missing), qPrintable(port.lastError()));

    // Pointed at an existing device, the same component opens.
    Pty pty;
    QVERIFY(pty.isValid());
    port.setPortDevice(1, pty.path());
    QVERIFY2(port.setPortOpen(true), qPrintable(port.lastError()));
    QVERIFY(port.PortOpen());
    QVERIFY(port.lastError().isEmpty());
}

// --- Bytes out ---------------------------------------------------------------

void Test_serialport::outputLeavesUnchangedInOneWrite_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("00") << bytes({0x00});
    QTest::newRow("FF") << bytes({0xFF});
    QTest::newRow("01 03 00 00 00 02 C4 0B") << bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B});
    // Bytes a terminal would translate or act on (newline, carriage return,
    // XON/XOFF, interrupt, delete) must leave as they are.
    QTest::newRow("0A 0D 11 13 03 7F 1A 04") << bytes({0x0A, 0x0D, 0x11, 0x13, 0x03, 0x7F, 0x1A, 0x04});
}

void Test_serialport::outputLeavesUnchangedInOneWrite()
{
    QFETCH(QByteArray, frame);
    Opened o;
    QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));

    outputAll(*o.port, frame);
    QTRY_VERIFY(o.pty->hasReceived());
    // The first read on the device side already holds the whole frame: the
    // bytes did not leave in pieces spread over event-loop passes.
    QCOMPARE(o.pty->receiveOnce(), frame);
    QVERIFY(!o.pty->hasReceived());

    // The next request goes out on its own, just as whole.
    outputAll(*o.port, frame);
    QTRY_VERIFY(o.pty->hasReceived());
    QCOMPARE(o.pty->receiveOnce(), frame);
}

void Test_serialport::closingDropsUnsentOutput()
{
    Opened o;
    QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));

    outputAll(*o.port, bytes({0xAA, 0xBB}));
    QVERIFY(o.port->setPortOpen(false));
    QVERIFY(o.port->setPortOpen(true));
    const QByteArray frame = bytes({0x01, 0x05, 0x00, 0x10, 0xFF, 0x00, 0x8D, 0xFF});
    outputAll(*o.port, frame);
    QTRY_VERIFY(o.pty->hasReceived());
    QCOMPARE(o.pty->receiveOnce(), frame);
}

// --- Bytes in ----------------------------------------------------------------

void Test_serialport::inputReturnsArrivedBytesInOrder()
{
    Opened o;
    QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));
    QCOMPARE(o.port->InBufferCount(), 0);
    QCOMPARE(o.port->Input(), QByteArray());

    // A reply in two pieces, with bytes a terminal would act on.
    const QByteArray first = bytes({0x01, 0x03, 0x04, 0x00, 0x0A, 0x0D, 0x13});
    const QByteArray second = bytes({0x11, 0x03, 0x7F, 0xFF, 0x00});
    QVERIFY(o.pty->send(first));
    QTRY_COMPARE(o.port->InBufferCount(), int(first.size()));
    QVERIFY(o.pty->send(second));
    QTRY_COMPARE(o.port->InBufferCount(), int(first.size() + second.size()));

    QCOMPARE(o.port->Input(), first + second);
    QCOMPARE(o.port->InBufferCount(), 0);
    QCOMPARE(o.port->Input(), QByteArray());

    // What arrives afterwards is returned on its own.
    QVERIFY(o.pty->send(bytes({0x3A, 0x30})));
    QTRY_COMPARE(o.port->InBufferCount(), 2);
    QCOMPARE(o.port->Input(), bytes({0x3A, 0x30}));
}

void Test_serialport::inputBufferKeepsTheFirst1024Bytes()
{
    Opened o;
    QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));
    int most = 0;
    connect(&o.port->port(), &QSerialPort::readyRead, this,
            [&] { most = qMax(most, o.port->InBufferCount()); });

    const QByteArray flood = pattern(2000);
    QVERIFY(o.pty->send(flood));
    // Everything left the kernel's queue and the buffer holds its limit.
    QTRY_VERIFY(o.pty->queuedForPort() == 0 && o.port->InBufferCount() == SerialComponent::InBufferSize);
    QVERIFY(most > 0);
    QVERIFY(most <= SerialComponent::InBufferSize);
    QCOMPARE(o.port->Input(), flood.left(SerialComponent::InBufferSize));
    QCOMPARE(o.port->InBufferCount(), 0);

    // The bytes beyond the limit are gone, not held back somewhere.
    const QByteArray fresh = bytes({0x01, 0x03, 0x02, 0x00, 0x07});
    QVERIFY(o.pty->send(fresh));
    QTRY_COMPARE(o.port->InBufferCount(), int(fresh.size()));
    QCOMPARE(o.port->Input(), fresh);
}

void Test_serialport::discardInputDropsWaitingBytes_data()
{
    QTest::addColumn<QByteArray>("received");  // taken in by the port
    QTest::addColumn<QByteArray>("inKernel");  // still in the driver's queue
    QTest::newRow("taken in") << bytes({0x01, 0x03, 0x04}) << QByteArray();
    QTest::newRow("in the driver") << QByteArray() << bytes({0x07, 0x08, 0x09, 0x0A});
    QTest::newRow("both") << bytes({0x01, 0x03}) << bytes({0x05, 0x06, 0x00, 0xFF});
}

void Test_serialport::discardInputDropsWaitingBytes()
{
    QFETCH(QByteArray, received);
    QFETCH(QByteArray, inKernel);
    Opened o;
    QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));
    QByteArray reported;
    connect(o.port.get(), &SerialComponent::received, this,
            [&](const QByteArray &b) { reported += b; });

    if (!received.isEmpty()) {
        QVERIFY(o.pty->send(received));
        QTRY_COMPARE(o.port->InBufferCount(), int(received.size()));
        QCOMPARE(o.pty->queuedForPort(), 0);
    }
    if (!inKernel.isEmpty()) {
        // No event processing from here to DiscardInput: the bytes stay in
        // the kernel's queue.
        QVERIFY(o.pty->send(inKernel));
        QVERIFY(o.pty->waitQueuedForPort(int(inKernel.size())));
    }

    o.port->DiscardInput();
    QCOMPARE(o.port->InBufferCount(), 0);
    QCOMPARE(o.pty->queuedForPort(), 0);
    // Whatever was dropped was reported first, the driver's bytes too.
    QCOMPARE(reported, received + inKernel);

    const QByteArray fresh = bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x05, 0x3A, 0x30});
    QVERIFY(o.pty->send(fresh));
    QTRY_COMPARE(o.port->InBufferCount(), int(fresh.size()));
    QCOMPARE(o.port->Input(), fresh);
    QVERIFY(o.port->PortOpen());
}

void Test_serialport::openStartsWithEmptyInput_data()
{
    QTest::addColumn<bool>("duringEarlierSession");
    QTest::newRow("sent before the first open") << false;
    QTest::newRow("left from the previous session") << true;
}

void Test_serialport::openStartsWithEmptyInput()
{
    QFETCH(bool, duringEarlierSession);
    Opened o;
    QVERIFY(o.pty->isValid());

    const QByteArray stale = bytes({0xDE, 0xAD, 0xBE, 0xEF});
    if (duringEarlierSession) {
        QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));
        QVERIFY(o.pty->send(stale));
        QTRY_COMPARE(o.port->InBufferCount(), int(stale.size()));
        QVERIFY(o.port->setPortOpen(false));
        // More arrives while the port is closed.
        QVERIFY(o.pty->send(stale));
        QVERIFY(o.pty->waitQueuedForPort(int(stale.size())));
        QVERIFY(o.port->setPortOpen(true));
    } else {
        QVERIFY(o.pty->send(stale));
        QVERIFY(o.pty->waitQueuedForPort(int(stale.size())));
        QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));
    }
    QCOMPARE(o.port->InBufferCount(), 0);
    QCOMPARE(o.pty->queuedForPort(), 0);

    const QByteArray fresh = bytes({0x01, 0x10, 0x00, 0x00, 0x00, 0x03, 0x80, 0x08});
    QVERIFY(o.pty->send(fresh));
    QTRY_COMPARE(o.port->InBufferCount(), int(fresh.size()));
    QCOMPARE(o.port->Input(), fresh);
}

void Test_serialport::readNotificationWithNothingToReadKeepsPortOpen()
{
    // Bytes are readable when the event loop polls, but a handler that runs
    // earlier in the same pass discards them (in the window: a click, which
    // arrives through the display connection's descriptor, starts a request
    // and the request drops stale input). The port's read then finds
    // nothing, which is no reason to close the port.
    int pipeFds[2];
    QVERIFY(::pipe(pipeFds) == 0);
    const auto closePipe = qScopeGuard([&] {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
    });
    // Made before the port opens, so it comes first in the event loop's pass.
    QSocketNotifier click(pipeFds[0], QSocketNotifier::Read);

    Opened o;
    QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));
    QSignalSpy closed(o.port.get(), &SerialComponent::closedOnError);
    QSignalSpy arrived(&o.port->port(), &QSerialPort::readyRead);

    QVERIFY(o.pty->send(bytes({0x01, 0x02, 0x03})));
    QVERIFY(o.pty->waitQueuedForPort(3));
    bool discarded = false;
    connect(&click, &QSocketNotifier::activated, this, [&] {
        click.setEnabled(false);
        o.port->DiscardInput();
        discarded = true;
    });
    QVERIFY(::write(pipeFds[1], "x", 1) == 1);
    QTRY_VERIFY(discarded);
    if (arrived.count() > 0)
        QSKIP("This event dispatcher let the port read before the discarding handler ran");

    QVERIFY2(o.port->PortOpen(), qPrintable(o.port->lastError()));
    QCOMPARE(closed.count(), 0);
    QCOMPARE(o.port->InBufferCount(), 0);
    // And it still receives.
    const QByteArray fresh = bytes({0x01, 0x03, 0x02, 0x00, 0x05, 0x78, 0x47});
    QVERIFY(o.pty->send(fresh));
    QTRY_COMPARE(o.port->InBufferCount(), int(fresh.size()));
    QCOMPARE(o.port->Input(), fresh);
    QVERIFY(o.port->PortOpen());
    QCOMPARE(closed.count(), 0);
}

// Every piece of input is reported with its time after the last send, and
// the first byte after a send is timed from the moment the send left. The
// device answers 30 ms after it has the request, so the first byte cannot
// come sooner than that.
void Test_serialport::reportsArrivalsAndTheFirstByteAfterASend()
{
    Opened o;
    QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));
    QList<QPair<QByteArray, qint64>> reports;
    connect(o.port.get(), &SerialComponent::received, this,
            [&](const QByteArray &b, qint64 ms) { reports.append({b, ms}); });

    // Before any send there is nothing to time from.
    QVERIFY(o.pty->send(bytes({0x55})));
    QTRY_COMPARE(reports.size(), 1);
    QCOMPARE(reports.at(0), (QPair<QByteArray, qint64>(bytes({0x55}), -1)));
    QCOMPARE(o.port->msSinceSend(), -1);
    QCOMPARE(o.port->firstByteAfterSendMs(), -1);
    o.port->Input();

    const QByteArray request = bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B});
    outputAll(*o.port, request);
    QTRY_VERIFY(o.pty->hasReceived());
    QCOMPARE(o.pty->receiveOnce(), request);
    QVERIFY(o.port->msSinceSend() >= 0);
    QCOMPARE(o.port->firstByteAfterSendMs(), -1);
    const timespec thirtyMs{0, 30 * 1000 * 1000};
    ::nanosleep(&thirtyMs, nullptr);

    const QByteArray reply = bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x05, 0x3A, 0x30});
    QVERIFY(o.pty->send(reply.left(4)));
    QTRY_COMPARE(o.port->InBufferCount(), 4);
    QVERIFY(o.pty->send(reply.mid(4)));
    QTRY_COMPARE(o.port->InBufferCount(), int(reply.size()));
    const qint64 first = o.port->firstByteAfterSendMs();
    QVERIFY2(first >= 30 && first <= o.port->msSinceSend(), qPrintable(QString::number(first)));
    QByteArray together;
    for (qsizetype i = 1; i < reports.size(); ++i) {
        together += reports.at(i).first;
        QVERIFY(reports.at(i).second >= first);
    }
    QCOMPARE(together, reply);
    QCOMPARE(reports.at(1).second, first);

    // The next send starts timing afresh.
    o.port->Input();
    outputAll(*o.port, request);
    QTRY_VERIFY(o.pty->hasReceived());
    QCOMPARE(o.port->firstByteAfterSendMs(), -1);
}

// --- Hang-up -----------------------------------------------------------------

void Test_serialport::hangUpClosesThePortOnce()
{
    Opened o;
    QVERIFY2(openOnPty(o), qPrintable(o.port->lastError()));
    QSignalSpy closed(o.port.get(), &SerialComponent::closedOnError);
    QSignalSpy errors(&o.port->port(), &QSerialPort::errorOccurred);
    const QString firstDevice = o.pty->path();

    // A reply arrived just before the device went away.
    QVERIFY(o.pty->send(bytes({0x01, 0x83, 0x02})));
    QTRY_COMPARE(o.port->InBufferCount(), 3);

    o.pty->hangUp();
    QTRY_VERIFY(!o.port->PortOpen());
    QCOMPARE(closed.count(), 1);
    QVERIFY2(closed.at(0).at(0).toString().contains(firstDevice),
             qPrintable(closed.at(0).at(0).toString()));
    QCOMPARE(o.port->lastError(), closed.at(0).at(0).toString());

    // Give a repeating error the chance to show itself.
    QTest::qWait(50);
    QCOMPARE(closed.count(), 1);
    int readErrors = 0;
    for (const auto &e : errors) {
        const auto code = e.at(0).value<QSerialPort::SerialPortError>();
        if (code == QSerialPort::ReadError || code == QSerialPort::ResourceError)
            ++readErrors;
    }
    QCOMPARE(readErrors, 1);
    QVERIFY(!o.port->PortOpen());

    // A new device for the same port number: the component opens it and
    // works as before, with nothing left over from the old one.
    auto fresh = std::make_unique<Pty>();
    QVERIFY(fresh->isValid());
    o.port->setPortDevice(1, fresh->path());
    QVERIFY2(o.port->setPortOpen(true), qPrintable(o.port->lastError()));
    QVERIFY(o.port->PortOpen());
    QVERIFY(o.port->lastError().isEmpty());
    QCOMPARE(o.port->InBufferCount(), 0);

    const QByteArray request = bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B});
    outputAll(*o.port, request);
    QTRY_VERIFY(fresh->hasReceived());
    QCOMPARE(fresh->receiveOnce(), request);
    const QByteArray reply = bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x05, 0x3A, 0x30});
    QVERIFY(fresh->send(reply));
    QTRY_COMPARE(o.port->InBufferCount(), int(reply.size()));
    QCOMPARE(o.port->Input(), reply);
    QCOMPARE(closed.count(), 1);
}

// --- Parity and framing errors ------------------------------------------------

// Each row: the reads from the device as the kernel delivers them with
// parity marking on (a null entry: the decoder is reset, as when the port
// closes or input is discarded), and what each read yields. The generated
// rows split one stream at every point and check what the reads yield
// together.
void Test_serialport::parityMarksBecomeData_data()
{
    QTest::addColumn<QByteArrayList>("reads");
    QTest::addColumn<QByteArrayList>("yields"); // per read; empty: only the whole is checked
    QTest::addColumn<QByteArray>("data");        // all reads together

    const auto row = [](const char *name, std::initializer_list<const char *> reads,
                        std::initializer_list<const char *> yields) {
        QByteArrayList r, y;
        QByteArray all;
        for (const char *read : reads)
            r << (read ? QByteArray::fromHex(read) : QByteArray());
        for (const char *part : yields) {
            y << QByteArray::fromHex(part);
            all += y.last();
        }
        QTest::newRow(name) << r << y << all;
    };
    row("01 03 02 00 05: unchanged", {"0103020005"}, {"0103020005"});
    row("FF 00 41: byte with an error -> 3F", {"FF0041"}, {"3F"});
    row("FF 00 FF: error on an FF -> 3F", {"FF00FF"}, {"3F"});
    row("FF 00 00: break -> 3F", {"FF0000"}, {"3F"});
    row("FF FF: a real FF -> FF", {"FFFF"}, {"FF"});
    row("01 FF 00 41 FF FF 02 -> 01 3F FF 02", {"01FF0041FFFF02"}, {"013FFF02"});
    row("FF FF FF 00 41 -> FF 3F", {"FFFFFF0041"}, {"FF3F"});
    row("FF 00 41 FF 00 42: two errors in a row -> 3F 3F", {"FF0041FF0042"}, {"3F3F"});
    row("01 FF | FF 02: FF at the end of a read waits", {"01FF", "FF02"}, {"01", "FF02"});
    row("FF | 00 41: mark split after FF", {"FF", "0041"}, {"", "3F"});
    row("FF 00 | 41: mark split after 00", {"FF00", "41"}, {"", "3F"});
    row("FF | 00 | 41: mark in three reads", {"FF", "00", "41"}, {"", "", "3F"});
    row("FF FF FF | FF -> FF | FF", {"FFFFFF", "FF"}, {"FF", "FF"});
    row("FF 41: lone FF followed by something else, kept", {"FF41"}, {"FF41"});
    row("FF | 41: lone FF at the end, then something else", {"FF", "41"}, {"", "FF41"});
    row("FF 00 | reset | 41: an unfinished mark is forgotten", {"FF00", nullptr, "41"}, {"", "", "41"});
    row("FF | reset | FF 00 41: so is a held-back FF", {"FF", nullptr, "FF0041"}, {"", "", "3F"});

    const QByteArray wire = QByteArray::fromHex("01FF0041FFFF02FF000003FF");
    const QByteArray last = QByteArray::fromHex("FF");
    const QByteArray data = QByteArray::fromHex("013FFF023F03FF");
    for (int at = 1; at < wire.size(); ++at) {
        const QByteArray name = "01 FF 00 41 FF FF 02 FF 00 00 03 FF FF split after byte " + QByteArray::number(at);
        QTest::newRow(name.constData()) << QByteArrayList{wire.left(at), wire.mid(at) + last} << QByteArrayList()
                                        << data;
    }
    QByteArrayList single;
    for (char c : wire + last)
        single << QByteArray(1, c);
    QTest::newRow("01 FF 00 41 FF FF 02 FF 00 00 03 FF FF one byte per read") << single << QByteArrayList() << data;
}

void Test_serialport::parityMarksBecomeData()
{
    QFETCH(QByteArrayList, reads);
    QFETCH(QByteArrayList, yields);
    QFETCH(QByteArray, data);
    ParityMarkDecoder decoder;
    QByteArray all;
    for (qsizetype i = 0; i < reads.size(); ++i) {
        QByteArray got;
        if (reads[i].isNull())
            decoder.reset();
        else
            got = decoder.decode(reads[i]);
        if (!yields.isEmpty())
            QCOMPARE(got.toHex(' '), yields[i].toHex(' '));
        all += got;
    }
    QCOMPARE(all.toHex(' '), data.toHex(' '));
    QVERIFY(!decoder.holdsPartialMark());
    // No row receives a real 3F, so every 3F in the data is a marked byte.
    QCOMPARE(decoder.errorCount(), quint64(data.count(ParityMarkDecoder::ErrorByte)));
}

// With parity, the line discipline must check it and mark bytes received
// with an error; without, the port stays as Qt sets it. The pseudo-terminal's
// kernel side ignores parity (it never sees a parity or framing error), so
// only the flags can be checked here, not a marked byte.
void Test_serialport::parityCheckingFollowsTheParity_data()
{
    QTest::addColumn<QString>("before"); // opened and closed first; empty: none
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("checked");
    QTest::newRow("9600,e,8,1: checked and marked") << QString() << "9600,e,8,1" << true;
    QTest::newRow("19200,o,8,1: checked and marked") << QString() << "19200,o,8,1" << true;
    QTest::newRow("9600,n,8,2: as Qt sets it") << QString() << "9600,n,8,2" << false;
    QTest::newRow("9600,n,8,2 after 9600,e,8,1: no longer checked") << "9600,e,8,1" << "9600,n,8,2" << false;
}

void Test_serialport::parityCheckingFollowsTheParity()
{
    QFETCH(QString, before);
    QFETCH(QString, settings);
    QFETCH(bool, checked);
    Opened o;
    if (!before.isEmpty()) {
        QVERIFY2(openOnPty(o, before), qPrintable(o.port->lastError()));
        QVERIFY(o.port->setPortOpen(false));
    }
    QVERIFY2(openOnPty(o, settings), qPrintable(o.port->lastError()));

    termios tio{};
    QCOMPARE(::tcgetattr(int(o.port->port().handle()), &tio), 0);
    QCOMPARE(bool(tio.c_iflag & INPCK), checked);
    QCOMPARE(bool(tio.c_iflag & PARMRK), checked);
    QCOMPARE(bool(tio.c_iflag & IGNPAR), !checked);
    QVERIFY(!(tio.c_iflag & ISTRIP)); // else FF would not be doubled and 8-bit data cut
}

// With marking on, the line discipline doubles every FF it receives, also on
// a pseudo-terminal: the port must deliver each as one byte, and its
// 1,024-byte bound counts the bytes as delivered.
void Test_serialport::receivedFFIsOneByteWithParity()
{
    Opened o;
    QVERIFY2(openOnPty(o, QStringLiteral("9600,e,8,1")), qPrintable(o.port->lastError()));

    // Data that looks like marks is data: FF 00 41 here is three bytes.
    const QByteArray reply = bytes({0x01, 0xFF, 0x00, 0x41, 0xFF, 0xFF, 0x02});
    QVERIFY(o.pty->send(reply));
    QTRY_COMPARE(o.port->InBufferCount(), int(reply.size()));
    QCOMPARE(o.port->Input().toHex(' '), reply.toHex(' '));

    const QByteArray flood(1500, char(0xFF));
    QVERIFY(o.pty->send(flood));
    QTRY_VERIFY(o.pty->queuedForPort() == 0 && o.port->InBufferCount() == SerialComponent::InBufferSize);
    QCOMPARE(o.port->Input(), flood.left(SerialComponent::InBufferSize));
    const QByteArray fresh = bytes({0x01, 0x03, 0x02, 0x00, 0x07});
    QVERIFY(o.pty->send(fresh));
    QTRY_COMPARE(o.port->InBufferCount(), int(fresh.size()));
    QCOMPARE(o.port->Input(), fresh);
}

// New line settings on the open port (the device search changes them at
// every probe): taken in place where the device takes them, with the
// checking of parity following the new parity and the old input dropped;
// refused where the device refuses, the settings then as before. A
// pseudo-terminal refuses even parity on an open port.
void Test_serialport::settingsChangeOnTheOpenPort_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("applied");
    QTest::newRow("9600,n,8,2 -> 19200,n,8,1") << "9600,n,8,2" << "19200,n,8,1" << true;
    QTest::newRow("9600,n,8,2 -> 4800,o,8,1: parity checked") << "9600,n,8,2" << "4800,o,8,1" << true;
    QTest::newRow("19200,o,8,1 -> 9600,n,8,2: no longer checked") << "19200,o,8,1" << "9600,n,8,2" << true;
    QTest::newRow("9600,n,8,2 -> 9600,e,8,1: refused by the pseudo-terminal") << "9600,n,8,2" << "9600,e,8,1"
                                                                             << false;
    QTest::newRow("9600,n,8,2 -> 9600,x,8,1: not line settings") << "9600,n,8,2" << "9600,x,8,1" << false;
}

void Test_serialport::settingsChangeOnTheOpenPort()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(bool, applied);
    Opened o;
    QVERIFY(!o.port->applySettings(to)); // closed: nothing to change
    QVERIFY2(openOnPty(o, from), qPrintable(o.port->lastError()));
    const QByteArray old = bytes({0x01, 0x03, 0x04});
    QVERIFY(o.pty->send(old));
    QTRY_COMPARE(o.port->InBufferCount(), int(old.size()));

    QCOMPARE(o.port->applySettings(to), applied);
    QVERIFY(o.port->PortOpen());
    QCOMPARE(o.port->Settings(), applied ? to : from);
    if (!applied)
        return;
    QCOMPARE(o.port->InBufferCount(), 0);
    const auto line = parseLineSettings(to);
    QCOMPARE(o.port->port().baudRate(), line->baudRate);
    QCOMPARE(o.port->port().parity(), line->parity);
    QCOMPARE(o.port->port().stopBits(), line->stopBits);
    termios tio{};
    QCOMPARE(::tcgetattr(int(o.port->port().handle()), &tio), 0);
    const bool checked = line->parity != QSerialPort::NoParity;
    QCOMPARE(bool(tio.c_iflag & INPCK), checked);
    QCOMPARE(bool(tio.c_iflag & PARMRK), checked);
    QCOMPARE(bool(tio.c_iflag & IGNPAR), !checked);
}

QTEST_GUILESS_MAIN(Test_serialport)
#include "tst_serialport.moc"
