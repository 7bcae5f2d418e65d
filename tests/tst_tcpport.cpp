// A COM port whose device is a serial device server (tcp://HOST:PORT): the
// rules of the device text, the TCP component's connecting, frames out and
// in, the stale-input drop and hang-ups, and the window over it: a failed
// connection's message, painting while it connects, a server that never
// answers. Every peer is on the loopback address: a server of the test's
// own, a port that refuses, or a listener that never completes a
// connection (see LoopbackPeers.h).

#include "Frames.h"
#include "LoopbackPeers.h"
#include "serial/AnyDeviceComponent.h"
#include "serial/PortDiagnosis.h"
#include "serial/TcpDevice.h"
#include "serial/TcpSerialComponent.h"
#include "ui/TrafficWindow.h"
#include "ui/frmMain.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include <linux/tcp.h>
#include <poll.h>

using namespace korvane;
using namespace korvane::test;

namespace {

// Generous bounds for awaited conditions (a loaded machine, sanitizers).
constexpr int Patience = 30000;

QString deviceFor(quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
{
    return QStringLiteral("tcp://%1:%2").arg(host).arg(port);
}

// A server of the test's own on the loopback address, one client at a time.
struct Server {
    bool listen(const QHostAddress &address = QHostAddress::LocalHost)
    {
        return server.listen(address, 0);
    }
    quint16 port() const { return server.serverPort(); }
    // The connection of the client that connected last.
    QTcpSocket *peer()
    {
        if (!QTest::qWaitFor([this] { return server.hasPendingConnections() || (client && client->isOpen()); },
                             Patience))
            return nullptr;
        while (server.hasPendingConnections())
            client = server.nextPendingConnection();
        return client;
    }
    // Reads until n bytes from the client have come.
    QByteArray receive(qsizetype n)
    {
        QByteArray got;
        (void)QTest::qWaitFor([&] {
            got += client->readAll();
            return got.size() >= n;
        }, Patience);
        return got;
    }

    QTcpServer server;
    QPointer<QTcpSocket> client;
};

// The TCP component set up for COM1 at device.
void setUp(TcpSerialComponent &port, const QString &device)
{
    port.setCommPort(1);
    port.setPortDevice(1, device);
    port.setSettings(QStringLiteral("9600,n,8,2"));
    port.setInputMode(1);
}

void output(SerialComponent &port, const QByteArray &frame)
{
    for (char b : frame)
        port.Output(b);
}

// Data segments the socket has received (the kernel's own count).
int dataSegmentsIn(const QTcpSocket &s)
{
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(int(s.socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return -1;
    return int(info.tcpi_data_segs_in);
}

// Waits, without running the event loop, until bytes wait in the system's
// queue of the component's socket.
bool queuedInSystem(const TcpSerialComponent &port)
{
    pollfd p{int(port.socket().socketDescriptor()), POLLIN, 0};
    return ::poll(&p, 1, Patience) == 1 && (p.revents & POLLIN);
}

const QByteArray ReadRequest = QByteArray::fromHex("010300000002C40B");
const QByteArray ReadReply = QByteArray::fromHex("010304000004D2F9CA");

} // namespace

class TestTcpPort : public QObject {
    Q_OBJECT
private slots:
    void deviceText_data();
    void deviceText();

    void frameLeavesInOneSegmentAndTheReplyComesBack();
    void staleInputIsReportedAndDropped_data();
    void staleInputIsReportedAndDropped();
    void connectsByHostNameAndIpv6_data();
    void connectsByHostNameAndIpv6();
    void openFailureSaysWhy_data();
    void openFailureSaysWhy();
    void serverEndIsAHangUpAndReopeningConnects_data();
    void serverEndIsAHangUpAndReopeningConnects();

    void windowReportsAFailedConnection_data();
    void windowReportsAFailedConnection();
    void windowPaintsWhileItConnects();
    void serverThatNeverAnswersShowsError();
};

void TestTcpPort::deviceText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("form");     // isTcpDevice
    QTest::addColumn<QString>("host");  // empty: malformed
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("ipv6");
    QTest::addColumn<QString>("problem");

    auto ok = [](const char *text, const char *host, int port, bool ipv6 = false) {
        QTest::newRow(text) << QString::fromUtf8(text) << true << QString::fromLatin1(host) << port << ipv6 << QString();
    };
    auto bad = [](const char *text, const char *problem, bool form = true) {
        QTest::newRow(text) << QString::fromUtf8(text) << form << QString() << 0 << false << QString::fromUtf8(problem);
    };
    ok("tcp://127.0.0.1:502", "127.0.0.1", 502);
    ok("tcp://192.168.001.010:4001", "192.168.1.10", 4001); // decimal, not octal
    ok("tcp://serial-gw.plant.example:4001", "serial-gw.plant.example", 4001);
    ok("tcp://localhost:65535", "localhost", 65535);
    ok("tcp://gw_2.:1", "gw_2.", 1);
    ok("TCP://Gateway:00502", "Gateway", 502);
    ok("  tcp://10.0.0.1:23  ", "10.0.0.1", 23);
    ok("tcp://[::1]:502", "::1", 502, true);
    ok("tcp://[fe80::1%eth0]:4001", "fe80::1%eth0", 4001, true);

    bad("tcp://", "the host and the port are missing");
    bad("tcp://10.0.0.1", "the port is missing");
    bad("tcp://10.0.0.1:", "the port is missing");
    bad("tcp://:502", "the host is missing");
    bad("tcp://10.0.0.1:0", "port 0 is outside 1 to 65535");
    bad("tcp://10.0.0.1:65536", "port 65536 is outside 1 to 65535");
    bad("tcp://10.0.0.1:99999999999", "port 99999999999 is outside 1 to 65535");
    bad("tcp://10.0.0.1:+502", "\"+502\" is not a port number");
    bad("tcp://10.0.0.1:502/", "\"502/\" is not a port number");
    bad("tcp://10.0.0.1:5 02", "\"5 02\" is not a port number");
    bad("tcp://::1:502", "an IPv6 address must stand in brackets");
    bad("tcp://[::1:502", "the ] that closes the IPv6 address is missing");
    bad("tcp://[::1]", "the port is missing");
    bad("tcp://[::1]502", "the port must follow the ]");
    bad("tcp://[127.0.0.1]:502", "\"[127.0.0.1]\" is not an IPv6 address");
    bad("tcp://[]:502", "\"[]\" is not an IPv6 address");
    bad("tcp://256.1.1.1:502", "\"256.1.1.1\" is not an IPv4 address");
    bad("tcp://10.0.1:502", "\"10.0.1\" is not an IPv4 address");
    bad("tcp://user@gw:502", "\"user@gw\" is not a host name");
    bad("tcp://-gw:502", "\"-gw\" is not a host name");
    bad("tcp://gw..example:502", "\"gw..example\" is not a host name");
    bad("tcp://gw example:502", "\"gw example\" is not a host name");
    bad("tcp://g\u00e5teway:502", "is not a host name");
    bad("/dev/ttyUSB0", "it does not begin with tcp://", false);
    bad("tcp:/gw:502", "it does not begin with tcp://", false);
    bad("udp://gw:502", "it does not begin with tcp://", false);
}

void TestTcpPort::deviceText()
{
    QFETCH(QString, text);
    QFETCH(bool, form);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, ipv6);
    QFETCH(QString, problem);

    QCOMPARE(isTcpDevice(text), form);
    QString why = QStringLiteral("(not set)");
    const auto address = parseTcpDevice(text, &why);
    if (host.isEmpty()) {
        QVERIFY(!address);
        QVERIFY2(why.contains(problem), qPrintable(why));
        return;
    }
    QVERIFY2(address, qPrintable(why));
    QCOMPARE(why, QString());
    QCOMPARE(address->host, host);
    QCOMPARE(int(address->port), port);
    QCOMPARE(address->ipv6, ipv6);
}

// Each request frame leaves in one write, as one TCP segment, with
// TCP_NODELAY so that it is not held back; the reply is read as it comes,
// its time after the send is noted, and Input() takes it.
void TestTcpPort::frameLeavesInOneSegmentAndTheReplyComesBack()
{
    Server server;
    QVERIFY(server.listen());
    TcpSerialComponent port;
    setUp(port, deviceFor(server.port()));
    QVERIFY2(port.setPortOpen(true), qPrintable(port.lastError()));
    QVERIFY(port.PortOpen());
    QTcpSocket *peer = server.peer();
    QVERIFY(peer);

    int noDelay = 0;
    socklen_t len = sizeof noDelay;
    QCOMPARE(::getsockopt(int(port.socket().socketDescriptor()), IPPROTO_TCP, TCP_NODELAY, &noDelay, &len), 0);
    QCOMPARE(noDelay, 1);

    QSignalSpy received(&port, &SerialComponent::received);
    // A counter read, a number and a text written: 8, 13 and 15 bytes.
    const QList<QByteArray> frames{ReadRequest, withCRC(hex("0110000000020400003039")),
                                   withCRC(hex("01100002000306202020204B4F"))};
    for (const QByteArray &frame : frames) {
        const int before = dataSegmentsIn(*peer);
        output(port, frame);
        QCOMPARE(server.receive(frame.size()), frame);
        QCOMPARE(dataSegmentsIn(*peer), before + 1);
    }

    QCOMPARE(port.firstByteAfterSendMs(), -1);
    peer->write(ReadReply);
    QTRY_COMPARE_WITH_TIMEOUT(port.InBufferCount(), int(ReadReply.size()), Patience);
    QVERIFY(port.firstByteAfterSendMs() >= 0);
    QVERIFY(port.msSinceSend() >= port.firstByteAfterSendMs());
    QByteArray reported;
    for (const auto &args : received)
        reported += args.at(0).toByteArray();
    QCOMPARE(reported, ReadReply);
    QCOMPARE(port.Input(), ReadReply);
    QCOMPARE(port.InBufferCount(), 0);
}

void TestTcpPort::staleInputIsReportedAndDropped_data()
{
    QTest::addColumn<bool>("eventLoopFirst");
    QTest::newRow("late bytes already read from the socket") << true;
    QTest::newRow("late bytes still in the system's queue, not read yet") << false;
}

// Bytes that came after an exchange's wait are dropped before the next
// request, and reported once: on arrival, or by the drop itself when they
// have not been read yet. The socket is not taken for closed afterwards.
void TestTcpPort::staleInputIsReportedAndDropped()
{
    QFETCH(bool, eventLoopFirst);

    Server server;
    QVERIFY(server.listen());
    TcpSerialComponent port;
    setUp(port, deviceFor(server.port()));
    QVERIFY(port.setPortOpen(true));
    QTcpSocket *peer = server.peer();
    QVERIFY(peer);
    QSignalSpy received(&port, &SerialComponent::received);
    QSignalSpy closed(&port, &SerialComponent::closedOnError);

    const QByteArray late = QByteArray::fromHex("010304000000");
    peer->write(late);
    QVERIFY(peer->waitForBytesWritten(Patience));
    if (eventLoopFirst)
        QTRY_COMPARE_WITH_TIMEOUT(port.InBufferCount(), int(late.size()), Patience);
    else
        QVERIFY(queuedInSystem(port));

    port.DiscardInput();
    QCOMPARE(port.InBufferCount(), 0);
    QByteArray reported;
    for (const auto &args : received)
        reported += args.at(0).toByteArray();
    QCOMPARE(reported, late);

    // Nothing is delivered a second time, and the port stays open.
    QTest::qWait(100);
    QCOMPARE(port.InBufferCount(), 0);
    QVERIFY(port.PortOpen());
    QCOMPARE(closed.count(), 0);
    output(port, ReadRequest);
    QCOMPARE(server.receive(ReadRequest.size()), ReadRequest);
}

void TestTcpPort::connectsByHostNameAndIpv6_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("ipv6");
    // "localhost" is looked up in /etc/hosts, never beyond this machine; it
    // may name ::1 first, where nothing listens: the next address is tried.
    QTest::newRow("tcp://localhost:PORT, a server on 127.0.0.1") << "localhost" << false;
    QTest::newRow("tcp://[::1]:PORT, a server on ::1") << "[::1]" << true;
}

void TestTcpPort::connectsByHostNameAndIpv6()
{
    QFETCH(QString, host);
    QFETCH(bool, ipv6);

    Server server;
    if (ipv6 && !server.listen(QHostAddress::LocalHostIPv6))
        QSKIP("no IPv6 loopback address on this machine");
    if (!ipv6)
        QVERIFY(server.listen());
    TcpSerialComponent port;
    setUp(port, deviceFor(server.port(), host));
    QVERIFY2(port.setPortOpen(true), qPrintable(port.lastError()));
    QVERIFY(server.peer());
    output(port, ReadRequest);
    QCOMPARE(server.receive(ReadRequest.size()), ReadRequest);
}

void TestTcpPort::openFailureSaysWhy_data()
{
    QTest::addColumn<QString>("peer");    // refusing, stalled, or a device text
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("reason");  // in lastError()
    QTest::addColumn<QString>("advice");  // in the advice for it

    QTest::newRow("nothing listens: refused") << "refusing" << "9600,n,8,2" << ECONNREFUSED
                                              << "Connection refused" << "was refused";
    QTest::newRow("never completes: timed out after the connect timeout")
        << "stalled" << "9600,n,8,2" << ETIMEDOUT << "no connection within 0.3 s" << "timed out";
    QTest::newRow("tcp://127.0.0.1 (no port): not valid, nothing connects")
        << "tcp://127.0.0.1" << "9600,n,8,2" << EINVAL << "the port is missing" << "not a valid server address";
    QTest::newRow("line settings 9600,x,8,2: not accepted, as on a serial device")
        << "refusing" << "9600,x,8,2" << 0 << "the line settings \"9600,x,8,2\" are not accepted" << "";
}

void TestTcpPort::openFailureSaysWhy()
{
    QFETCH(QString, peer);
    QFETCH(QString, settings);
    QFETCH(int, error);
    QFETCH(QString, reason);
    QFETCH(QString, advice);

    StalledListener stalled;
    QString device = peer;
    if (peer == QLatin1String("refusing")) {
        const quint16 refusing = refusingPort();
        QVERIFY(refusing != 0);
        device = deviceFor(refusing);
    } else if (peer == QLatin1String("stalled")) {
        QVERIFY(stalled.isValid());
        device = deviceFor(stalled.port());
    }

    TcpSerialComponent port;
    setUp(port, device);
    port.setSettings(settings);
    port.setConnectTimeout(300);
    // The loop that waits for the connection runs timers (and painting).
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
    ticker.start(20);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!port.setPortOpen(true));
    const qint64 took = clock.elapsed();

    QVERIFY(!port.PortOpen());
    QCOMPARE(port.lastErrorNumber(), error);
    QVERIFY2(port.lastError().startsWith(device + QStringLiteral(": ")), qPrintable(port.lastError()));
    QVERIFY2(port.lastError().contains(reason), qPrintable(port.lastError()));
    if (peer == QLatin1String("stalled")) {
        QVERIFY2(took >= 300, qPrintable(QString::number(took)));
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
        QCOMPARE(pendingConnectsTo(stalled.port()), 0); // the attempt was given up
    }
    if (!advice.isEmpty()) {
        const QString text = portOpenAdvice(lookUpPortFacts(1, device, port.lastErrorNumber(), {}));
        QVERIFY2(text.contains(advice), qPrintable(text));
    }
}

void TestTcpPort::serverEndIsAHangUpAndReopeningConnects_data()
{
    QTest::addColumn<QByteArray>("lastWords"); // what the server sends before its end
    QTest::addColumn<bool>("reset");           // ends with a reset, not an orderly close
    QTest::newRow("the server closes between requests") << QByteArray() << false;
    QTest::newRow("the server sends half a reply, then closes: the bytes are kept")
        << QByteArray::fromHex("01030400") << false;
    QTest::newRow("the connection is reset (the server aborts)") << QByteArray() << true;
}

// The server's end of the connection closes the port once, with the
// reason; what it sent before stays readable; opening again connects anew.
void TestTcpPort::serverEndIsAHangUpAndReopeningConnects()
{
    QFETCH(QByteArray, lastWords);
    QFETCH(bool, reset);

    Server server;
    QVERIFY(server.listen());
    TcpSerialComponent port;
    const QString device = deviceFor(server.port());
    setUp(port, device);
    QVERIFY(port.setPortOpen(true));
    QTcpSocket *peer = server.peer();
    QVERIFY(peer);
    QSignalSpy closed(&port, &SerialComponent::closedOnError);

    if (!lastWords.isEmpty()) {
        peer->write(lastWords);
        peer->flush();
    }
    if (reset) {
        const linger abortive{1, 0};
        QCOMPARE(::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive), 0);
        peer->abort();
    } else {
        peer->disconnectFromHost();
    }
    QTRY_VERIFY_WITH_TIMEOUT(!port.PortOpen(), Patience);
    QTest::qWait(100); // time for a repeated report, which must not come
    QCOMPARE(closed.count(), 1);
    const QString why = closed.at(0).at(0).toString();
    QVERIFY2(why.startsWith(device + QStringLiteral(": ")), qPrintable(why));
    QCOMPARE(port.lastError(), why);
    QCOMPARE(port.InBufferCount(), int(lastWords.size()));
    QCOMPARE(port.Input(), lastWords);
    output(port, ReadRequest); // closed: nothing goes out

    QVERIFY2(port.setPortOpen(true), qPrintable(port.lastError()));
    QTcpSocket *again = server.peer();
    QVERIFY(again && again != peer);
    output(port, ReadRequest);
    QCOMPARE(server.receive(ReadRequest.size()), ReadRequest);
}

namespace {

// The window over the component the program uses, with COM1 at device, its
// settings file in a temporary folder and its messages collected.
struct TcpWindow {
    explicit TcpWindow(const QString &device, bool load = true)
    {
        QFile f(dir.filePath(QStringLiteral("korvane.ini")));
        f.open(QIODevice::WriteOnly);
        f.write("[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n[Ports]\r\nCOM1="
                + device.toUtf8() + "\r\n");
        f.close();
        port.tcp().setConnectTimeout(300);
        window = std::make_unique<frmMain>(&port, f.fileName(), [this](const Message &m) { messages << m; });
        // A serial adapter present, which the advice for a server must not offer.
        window->setDeviceSource([] {
            SerialDevice d;
            d.path = d.systemLocation = QStringLiteral("/dev/ttyUSB0");
            return QList<SerialDevice>{d};
        });
        if (load)
            window->Form_Load();
    }
    QString allText(const Message &m) const { return m.text + QLatin1Char('\n') + m.informativeText; }

    QTemporaryDir dir;
    AnyDeviceComponent port;
    QList<Message> messages;
    std::unique_ptr<frmMain> window; // destroyed before the port
};

} // namespace

void TestTcpPort::windowReportsAFailedConnection_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("atStartUp");
    QTest::addColumn<QStringList>("says");

    const QString settings = QStringLiteral("Over TCP the server's own settings apply to its serial line");
    QTest::newRow("refused, at start-up") << "refusing" << true
                                          << QStringList{"was refused", "TCP port %1", settings, "CommPort"};
    QTest::newRow("refused, COM1 chosen: Com Port Error")
        << "refusing" << false << QStringList{"was refused", "127.0.0.1 on TCP port %1", settings};
    QTest::newRow("timed out, COM1 chosen: Com Port Error")
        << "stalled" << false << QStringList{"timed out", "127.0.0.1 on TCP port %1", settings};
    QTest::newRow("tcp://127.0.0.1:http, COM1 chosen: not a valid address")
        << "tcp://127.0.0.1:http" << false
        << QStringList{"\"tcp://127.0.0.1:http\" is not a valid server address",
                       "\"http\" is not a port number"};
}

// "Com Port Error" (or the start-up warning) for a server that cannot be
// reached names the host, the port and the reason, and none of the advice
// for serial devices.
void TestTcpPort::windowReportsAFailedConnection()
{
    QFETCH(QString, peer);
    QFETCH(bool, atStartUp);
    QFETCH(QStringList, says);

    StalledListener stalled;
    QString device = peer;
    quint16 number = 0;
    if (peer == QLatin1String("refusing")) {
        number = refusingPort();
        QVERIFY(number != 0);
        device = deviceFor(number);
    } else if (peer == QLatin1String("stalled")) {
        QVERIFY(stalled.isValid());
        number = stalled.port();
        device = deviceFor(number);
    }
    TcpWindow rig(device);
    QCOMPARE(rig.messages.size(), 1);
    if (!atStartUp) {
        rig.window->mnuCOM_Click(1);
        QCOMPARE(rig.messages.size(), 2);
        QCOMPARE(rig.messages.last().text, QStringLiteral("Com Port Error"));
    }
    QVERIFY(!rig.port.PortOpen());
    const QString text = rig.allText(rig.messages.last());
    QVERIFY2(text.contains(QStringLiteral("COM1 (%1)").arg(device)), qPrintable(text));
    for (const QString &s : says)
        QVERIFY2(text.contains(s.contains(QLatin1String("%1")) ? s.arg(number) : s), qPrintable(text));
    for (const char *never : {"adduser", "group", "does not exist", "/dev/ttyUSB0", "No serial device"})
        QVERIFY2(!text.contains(QLatin1String(never)), qPrintable(text));
    QCOMPARE(rig.messages.last().detailedText, rig.port.lastError());
    // A command meanwhile sends nothing and shows "Error"; the window asks
    // no more (only a hang-up makes a command try again).
    const qsizetype shown = rig.messages.size();
    rig.window->cmdReadCount_Click();
    QCOMPARE(rig.window->lblSta->text(), QStringLiteral("Error"));
    QCOMPARE(rig.messages.size(), shown);
}

// While it connects (up to the timeout) the window keeps painting.
void TestTcpPort::windowPaintsWhileItConnects()
{
    StalledListener stalled;
    QVERIFY(stalled.isValid());
    TcpWindow rig(deviceFor(stalled.port()), false);
    rig.port.tcp().setConnectTimeout(1000);
    frmMain &w = *rig.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.Form_Load();
    QCOMPARE(rig.messages.size(), 1);

    struct PaintCount : QObject {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            paints += e->type() == QEvent::Paint ? 1 : 0;
            return false;
        }
    } counter;
    w.lblCounter->installEventFilter(&counter);
    int changes = 0, pendingSeen = 0;
    QTimer change;
    connect(&change, &QTimer::timeout, this, [&] {
        w.lblCounter->setText(QString::number(++changes));
        pendingSeen += pendingConnectsTo(stalled.port()) > 0 ? 1 : 0;
    });
    change.start(50);
    w.mnuCOM_Click(1);
    change.stop();

    QVERIFY2(pendingSeen >= 3, qPrintable(QString::number(pendingSeen)));
    QVERIFY2(counter.paints >= 3, qPrintable(QString::number(counter.paints)));
    QCOMPARE(rig.messages.size(), 2);
    QVERIFY(rig.messages.last().informativeText.contains(QStringLiteral("timed out")));
}

// A server that takes the connection and never answers: every command
// shows "Error" after the wait, and the port stays open (no hang-up). The
// traffic window's port state says whose line settings apply.
void TestTcpPort::serverThatNeverAnswersShowsError()
{
    Server server;
    QVERIFY(server.listen());
    const QString device = deviceFor(server.port());
    TcpWindow rig(device);
    QVERIFY(rig.messages.isEmpty());
    QVERIFY(rig.port.PortOpen());
    QVERIFY(server.peer());
    frmMain &w = *rig.window;
    QCOMPARE(w.frmTraffic->lblPort->text(),
             QStringLiteral("COM1 %1 open, the server's line settings (9600,n,8,2 stored)").arg(device));

    for (int i = 0; i < 2; ++i) {
        w.cmdReadCount_Click();
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
        QCOMPARE(server.receive(ReadRequest.size()), ReadRequest);
    }
    w.cmdOutput_Click(4);
    QCOMPARE(w.lblSta2->text(), QStringLiteral("Error"));
    QCOMPARE(server.receive(8), withCRC(hex("01050003FF00")));
    QVERIFY(rig.port.PortOpen());
}

QTEST_MAIN(TestTcpPort)
#include "tst_tcpport.moc"
