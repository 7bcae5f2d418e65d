// The device simulator (korvane-devsim), checked on its own: the test starts
// it, opens its pseudo-terminal or connects to its TCP port (loopback only)
// with plain POSIX calls and exchanges raw Modbus RTU frames built here,
// independently of the program's own code.

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

QByteArray withCrc(QByteArray f)
{
    quint16 crc = 0xFFFF;
    for (const char ch : f) {
        crc ^= quint8(ch);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    f.append(char(crc & 0xFF));
    f.append(char(crc >> 8));
    return f;
}

bool crcValid(const QByteArray &f) { return f.size() >= 4 && withCrc(f.left(f.size() - 2)) == f; }

const QByteArray kReadCounter = hex("01 03 00 00 00 02 C4 0B");
const QByteArray kReadCoils = withCrc(hex("01 01 00 00 00 04"));
const QByteArray kCounter5 = hex("01 03 04 00 00 00 05 3A 30");  // the reply with the counter at 5

// The simulator's arguments for a transport: "pty" (the default) or "tcp"
// (loopback, any free port).
QStringList over(const QString &transport)
{
    return transport == "tcp" ? QStringList{"--tcp", "127.0.0.1:0"} : QStringList{};
}

// Whether this machine has the IPv6 loopback address (else the reason).
QString noIPv6Loopback()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    const QString why = ok ? QString() : QString::fromLocal8Bit(std::strerror(errno));
    ::close(fd);
    return why;
}

QString readLink(const QString &path)
{
    char buf[512];
    const ssize_t n = ::readlink(path.toLocal8Bit().constData(), buf, sizeof buf);
    return n < 0 ? QString() : QString::fromLocal8Bit(buf, int(n));
}

// Sends one line to a control FIFO.
bool sendControl(const QString &fifo, const QByteArray &text)
{
    const int fd = ::open(fifo.toLocal8Bit().constData(), O_WRONLY);
    const bool ok = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// The simulator process and the lines it prints on stdout.
class Sim {
public:
    ~Sim()
    {
        if (proc.state() != QProcess::NotRunning) {
            proc.terminate();
            if (!proc.waitForFinished(5000))
                proc.kill();
            proc.waitForFinished(5000);
        }
    }

    // Starts the simulator and reads its device line. Standard input is
    // closed at once (as when a script starts it in the background) unless
    // keepStdin is set.
    bool start(const QStringList &args, bool keepStdin = false)
    {
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(QStringLiteral(KORVANE_DEVSIM_PATH), args);
        if (!proc.waitForStarted(5000))
            return false;
        if (!keepStdin)
            proc.closeWriteChannel();
        if (!waitLine("device: ") || !lines.first().startsWith("device: "))
            return false;
        device = lines.first().mid(8);
        return true;
    }

    // Waits for a line that starts with text, after the lines matched so far.
    bool waitLine(const QString &text, int ms = 5000)
    {
        QElapsedTimer t;
        t.start();
        while (true) {
            while (proc.canReadLine())
                lines.append(QString::fromUtf8(proc.readLine()).trimmed());
            for (int i = seen; i < lines.size(); ++i) {
                if (lines.at(i).startsWith(text)) {
                    seen = i + 1;
                    return true;
                }
            }
            const int left = ms - int(t.elapsed());
            if (left <= 0 || proc.state() == QProcess::NotRunning)
                return false;
            proc.waitForReadyRead(left);
        }
    }

    // Whether a line that starts with text came at any time, waiting for it.
    bool saw(const QString &text, int ms = 5000)
    {
        const int after = seen;
        seen = 0;
        const bool found = waitLine(text, ms);
        seen = std::max(seen, after);
        return found;
    }

    QProcess proc;
    QString device;
    QStringList lines;
    int seen = 0;
};

// The far end of the line: the pseudo-terminal opened the way a serial
// program opens it, or for "tcp://HOST:PORT" a TCP connection to it.
class Port {
public:
    explicit Port(const QString &device)
    {
        if (device.startsWith("tcp://")) {
            connectTcp(device.mid(6));
            return;
        }
        fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
            tcflush(fd, TCIFLUSH);
        }
    }
    ~Port() { close(); }

    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    // The connection's own address as the simulator prints it ("127.0.0.1:N").
    QString local() const
    {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        char host[NI_MAXHOST], port[NI_MAXSERV];
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0
            || ::getnameinfo(reinterpret_cast<sockaddr *>(&ss), len, host, sizeof host, port, sizeof port,
                             NI_NUMERICHOST | NI_NUMERICSERV) != 0)
            return {};
        const QString h = QString::fromLatin1(host);
        return (ss.ss_family == AF_INET6 ? "[" + h + "]" : h) + ":" + QString::fromLatin1(port);
    }

    struct Reply {
        QByteArray bytes;
        int firstChunk = 0;   // bytes that came with the first read
        qint64 elapsedMs = 0; // from the request's write to the last byte read
        bool closed = false;  // the other end closed (TCP) or went away
    };

    // Sends a request (none if empty) and collects bytes until want have
    // come, the other end closed, or ms passed.
    Reply transact(const QByteArray &request, int want, int ms = 3000)
    {
        Reply r;
        QElapsedTimer t;
        t.start();
        if (::write(fd, request.constData(), size_t(request.size())) != request.size())
            return r;
        while (r.bytes.size() < want) {
            const int left = ms - int(t.elapsed());
            if (left <= 0)
                break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                if (r.bytes.isEmpty())
                    r.firstChunk = int(n);
                r.bytes.append(buf, int(n));
                r.elapsedMs = t.elapsed();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                r.closed = true;
                break;
            }
        }
        return r;
    }

    QByteArray ask(const QByteArray &request, int want) { return transact(request, want).bytes; }

    // Sets the line as a serial program sets its end of the pseudo-terminal
    // (the simulator can see the speed and the stop bits of it).
    bool setLine(int baud, int stopBits)
    {
        const speed_t speed = baud == 4800 ? B4800 : baud == 9600 ? B9600 : baud == 19200 ? B19200 : B0;
        termios t{};
        if (speed == B0 || tcgetattr(fd, &t) != 0)
            return false;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        t.c_cflag = stopBits == 2 ? (t.c_cflag | CSTOPB) : (t.c_cflag & ~tcflag_t(CSTOPB));
        return tcsetattr(fd, TCSANOW, &t) == 0;
    }

    int fd = -1;

private:
    void connectTcp(const QString &hostPort)
    {
        QString host = hostPort.section(':', 0, -2);
        const QString port = hostPort.section(':', -1);
        if (host.startsWith('[') && host.endsWith(']'))
            host = host.mid(1, host.size() - 2);
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        addrinfo *ai = nullptr;
        if (::getaddrinfo(host.toLatin1().constData(), port.toLatin1().constData(), &hints, &ai) != 0)
            return;
        fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0)
            close();
        freeaddrinfo(ai);
    }
};

} // namespace

class TestDevsim : public QObject {
    Q_OBJECT

private slots:
    void readsCounterAndServesAgainAfterReopen();
    void counts();
    void writtenNumberIsReadBack_data();
    void writtenNumberIsReadBack();
    void writtenTextIsReadBack();
    void switchesOutputsAndBuzzer();
    void coil2ResetsCounter();
    void servesEveryFunction_data();
    void servesEveryFunction();
    void faults_data();
    void faults();
    void refusedRequestsChangeNothing();
    void controlChannelQueuesBehaviours();
    void otherAddressIgnoredAndBroadcastCarriedOut();
    void linkAndCleanExit_data();
    void linkAndCleanExit();
    void answersOnlyAtItsLineSettings_data();
    void answersOnlyAtItsLineSettings();

    // Over TCP
    void listensWhereAsked_data();
    void listensWhereAsked();
    void closesTheConnection_data();
    void closesTheConnection();
    void newConnectionReplacesCurrent();
    void clientThatClosesIsNoError_data();
    void clientThatClosesIsNoError();
    void portIsFreeAgainAtOnceAfterAStop();
    void badTcpArguments_data();
    void badTcpArguments();
};

void TestDevsim::readsCounterAndServesAgainAfterReopen()
{
    Sim sim;  // stdin closed from the start: the simulator keeps running
    QVERIFY(sim.start({"--rate", "0", "--counter", "5"}));
    QVERIFY(sim.device.startsWith("/dev/pts/"));
    {
        Port port(sim.device);
        QVERIFY(port.fd >= 0);
        QCOMPARE(port.ask(kReadCounter, 9), hex("01 03 04 00 00 00 05 3A 30"));
        QVERIFY(sim.waitLine("request 1: fn=3 slave=1 behaviour=ok"));
        QVERIFY(sim.waitLine("counter: 5"));
    }
    // The program closed the port; opening it again must work.
    Port again(sim.device);
    QVERIFY(again.fd >= 0);
    QCOMPARE(again.ask(kReadCounter, 9), hex("01 03 04 00 00 00 05 3A 30"));
}

void TestDevsim::counts()
{
    Sim sim;
    QVERIFY(sim.start({"--rate", "50", "--counter", "-3"}));
    Port port(sim.device);
    const auto value = [&] {
        const QByteArray r = port.ask(kReadCounter, 9);
        if (r.size() != 9 || !crcValid(r))
            return qint64(INT64_MIN);
        return qint64(qint32(quint32(quint8(r[3])) << 24 | quint32(quint8(r[4])) << 16
                             | quint32(quint8(r[5])) << 8 | quint32(quint8(r[6]))));
    };
    const qint64 first = value();
    QVERIFY(first >= -3);
    QTRY_VERIFY_WITH_TIMEOUT(value() > first, 5000);
}

void TestDevsim::writtenNumberIsReadBack_data()
{
    QTest::addColumn<QByteArray>("write");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("console");
    QTest::newRow("01 10 00 00 00 02 04 00 01 E2 40 EB 3F")
        << hex("01 10 00 00 00 02 04 00 01 E2 40 EB 3F") << hex("00 01 E2 40") << "display: number 123456";
    QTest::newRow("01 10 00 00 00 02 04 FF FE 79 61 40 33")
        << hex("01 10 00 00 00 02 04 FF FE 79 61 40 33") << hex("FF FE 79 61") << "display: number -99999";
}

void TestDevsim::writtenNumberIsReadBack()
{
    QFETCH(QByteArray, write);
    QFETCH(QByteArray, data);
    QFETCH(QString, console);
    Sim sim;
    QVERIFY(sim.start({"--rate", "0"}));
    Port port(sim.device);
    QCOMPARE(port.ask(write, 8), hex("01 10 00 00 00 02 41 C8"));
    QVERIFY(sim.waitLine(console));
    QCOMPARE(port.ask(kReadCounter, 9), withCrc(hex("01 03 04") + data));
}

void TestDevsim::writtenTextIsReadBack()
{
    Sim sim;
    QVERIFY(sim.start({"--rate", "0"}));
    Port port(sim.device);
    QCOMPARE(port.ask(hex("01 10 00 02 00 03 06 20 20 20 20 41 42 7B 86"), 8), hex("01 10 00 02 00 03 21 C8"));
    QVERIFY(sim.waitLine("display: text \"    AB\""));
    QCOMPARE(port.ask(withCrc(hex("01 03 00 02 00 03")), 11), withCrc(hex("01 03 06 20 20 20 20 41 42")));
    // The counter registers are untouched by the text.
    QCOMPARE(port.ask(kReadCounter, 9), withCrc(hex("01 03 04 00 00 00 00")));
}

void TestDevsim::switchesOutputsAndBuzzer()
{
    struct Step { const char *frame; const char *console; quint8 coils; };
    const Step steps[] = {
        {"01 05 00 00 FF 00 8C 3A", "output 1: on", 0x01},
        {"01 05 00 01 FF 00 DD FA", "output 2: on", 0x03},
        {"01 05 00 03 FF 00 7C 3A", "buzzer: on", 0x0B},
        {"01 05 00 00 00 00 CD CA", "output 1: off", 0x0A},
        {"01 05 00 01 00 00 9C 0A", "output 2: off", 0x08},
        {"01 05 00 03 00 00 3D CA", "buzzer: off", 0x00},
    };
    Sim sim;
    QVERIFY(sim.start({}));
    Port port(sim.device);
    for (const Step &s : steps) {
        const QByteArray frame = hex(s.frame);
        QCOMPARE(port.ask(frame, 8), frame);  // the echo
        QVERIFY2(sim.waitLine(s.console), s.console);
        QCOMPARE(port.ask(kReadCoils, 6), withCrc(hex("01 01 01") + char(s.coils)));
    }
}

void TestDevsim::coil2ResetsCounter()
{
    Sim sim;
    QVERIFY(sim.start({"--rate", "0", "--counter", "77"}));
    Port port(sim.device);
    QCOMPARE(port.ask(kReadCounter, 9), withCrc(hex("01 03 04 00 00 00 4D")));
    const QByteArray reset = hex("01 05 00 02 FF 00 2D FA");
    QCOMPARE(port.ask(reset, 8), reset);
    QVERIFY(sim.waitLine("counter: reset to 0"));
    QCOMPARE(port.ask(kReadCounter, 9), withCrc(hex("01 03 04 00 00 00 00")));
    QCOMPARE(port.ask(withCrc(hex("01 01 00 02 00 01")), 6), withCrc(hex("01 01 01 00")));
}

// Every function the device serves, over both transports: the reply, what
// the simulator reports, and the state a second request reads back.
void TestDevsim::servesEveryFunction_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("console");
    QTest::addColumn<QByteArray>("check");
    QTest::addColumn<QByteArray>("checkReply");
    struct Row { const char *name; QByteArray request, reply; const char *console; QByteArray check, checkReply; };
    const Row rows[] = {
        {"fn 3: 01 03 00 00 00 02 C4 0B", kReadCounter, kCounter5, "counter: 5", {}, {}},
        {"fn 1: 01 01 00 00 00 04", kReadCoils, withCrc(hex("01 01 01 00")), "request 1: fn=1 slave=1 behaviour=ok",
         {}, {}},
        {"fn 5: 01 05 00 03 FF 00 7C 3A", hex("01 05 00 03 FF 00 7C 3A"), hex("01 05 00 03 FF 00 7C 3A"),
         "buzzer: on", kReadCoils, withCrc(hex("01 01 01 08"))},
        {"fn 6: 01 06 00 01 00 09", withCrc(hex("01 06 00 01 00 09")), withCrc(hex("01 06 00 01 00 09")),
         "display: number 9", kReadCounter, withCrc(hex("01 03 04 00 00 00 09"))},
        {"fn 15: 01 0F 00 00 00 04 01 03", withCrc(hex("01 0F 00 00 00 04 01 03")),
         withCrc(hex("01 0F 00 00 00 04")), "output 2: on", kReadCoils, withCrc(hex("01 01 01 03"))},
        {"fn 16: 01 10 00 00 00 02 04 00 01 E2 40 EB 3F", hex("01 10 00 00 00 02 04 00 01 E2 40 EB 3F"),
         hex("01 10 00 00 00 02 41 C8"), "display: number 123456", kReadCounter,
         withCrc(hex("01 03 04 00 01 E2 40"))},
        {"fn 4 (no input registers): 01 84 02", withCrc(hex("01 04 00 00 00 01")), withCrc(hex("01 84 02")),
         "refused: exception 2", {}, {}},
    };
    for (const char *transport : {"pty", "tcp"}) {
        for (const Row &r : rows) {
            QTest::addRow("%s: %s", transport, r.name)
                << QString(transport) << r.request << r.reply << QString(r.console) << r.check << r.checkReply;
        }
    }
}

void TestDevsim::servesEveryFunction()
{
    QFETCH(QString, transport);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QString, console);
    QFETCH(QByteArray, check);
    QFETCH(QByteArray, checkReply);
    Sim sim;
    QVERIFY(sim.start(over(transport) + QStringList{"--rate", "0", "--counter", "5"}));
    Port port(sim.device);
    QVERIFY(port.fd >= 0);
    QCOMPARE(port.ask(request, reply.size()), reply);
    QVERIFY2(sim.waitLine(console), qPrintable(console));
    if (!check.isEmpty())
        QCOMPARE(port.ask(check, checkReply.size()), checkReply);
}

// Each fault applies to the first request only; the second gets the normal
// reply, which also shows that the fault sent no stray bytes.
enum class Check { Exact, NoReply, BadCrc, Split, Delayed };
Q_DECLARE_METATYPE(Check)

void TestDevsim::faults_data()
{
    const QByteArray normal = kCounter5;
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<Check>("check");
    QTest::addColumn<QByteArray>("expected");
    for (const char *t : {"pty", "tcp"}) {
        const QString transport(t);
        QTest::addRow("%s: noreply: nothing", t) << transport << "noreply" << Check::NoReply << QByteArray();
        QTest::addRow("%s: crc: 01 03 04 00 00 00 05 + bad CRC", t) << transport << "crc" << Check::BadCrc << normal;
        QTest::addRow("%s: exception:2: 01 83 02 C0 F1", t)
            << transport << "exception:2" << Check::Exact << hex("01 83 02 C0 F1");
        QTest::addRow("%s: garbage:5: reply + 5 bytes", t) << transport << "garbage:5" << Check::Exact << normal;
        QTest::addRow("%s: split:300: two pieces", t) << transport << "split:300" << Check::Split << normal;
        QTest::addRow("%s: slave:7: 07 03 04 00 00 00 05 + valid CRC", t)
            << transport << "slave:7" << Check::Exact << withCrc(hex("07 03 04 00 00 00 05"));
        QTest::addRow("%s: delay:300: after 300 ms", t) << transport << "delay:300" << Check::Delayed << normal;
    }
}

void TestDevsim::faults()
{
    QFETCH(QString, transport);
    QFETCH(QString, behaviour);
    QFETCH(Check, check);
    QFETCH(QByteArray, expected);
    const int garbage = behaviour.startsWith("garbage:") ? behaviour.mid(8).toInt() : 0;

    Sim sim;
    QVERIFY(sim.start(over(transport) + QStringList{"--rate", "0", "--counter", "5", "--script", behaviour}));
    Port port(sim.device);
    const int want = check == Check::NoReply ? 1 : expected.size() + garbage;
    const Port::Reply r = port.transact(kReadCounter, want, check == Check::NoReply ? 500 : 3000);
    QVERIFY(sim.waitLine("request 1: fn=3 slave=1 behaviour=" + behaviour));

    switch (check) {
    case Check::NoReply:
        QCOMPARE(r.bytes, QByteArray());
        break;
    case Check::BadCrc:
        QCOMPARE(r.bytes.size(), 9);
        QCOMPARE(r.bytes.left(7), expected.left(7));
        QVERIFY(!crcValid(r.bytes));
        break;
    case Check::Exact:
        QCOMPARE(r.bytes.left(expected.size()), expected);
        QCOMPARE(r.bytes.size(), expected.size() + garbage);
        break;
    case Check::Split:
        QCOMPARE(r.bytes, expected);
        QVERIFY2(r.firstChunk < expected.size(), "the reply came in one piece");
        break;
    case Check::Delayed:
        QCOMPARE(r.bytes, expected);
        QVERIFY2(r.elapsedMs >= 295, qPrintable(QString::number(r.elapsedMs)));
        break;
    }
    QCOMPARE(port.ask(kReadCounter, 9), hex("01 03 04 00 00 00 05 3A 30"));
    QVERIFY(sim.waitLine("request 2: fn=3 slave=1 behaviour=ok"));
}

void TestDevsim::refusedRequestsChangeNothing()
{
    Sim sim;
    QVERIFY(sim.start({"--script", "noreply,exception:4,ok,crc"}));
    Port port(sim.device);
    QCOMPARE(port.transact(hex("01 05 00 00 FF 00 8C 3A"), 1, 500).bytes, QByteArray());
    QCOMPARE(port.ask(hex("01 05 00 00 FF 00 8C 3A"), 5), withCrc(hex("01 85 04")));
    QCOMPARE(port.ask(kReadCoils, 6), withCrc(hex("01 01 01 00")));
    // A reply with a bad CRC still follows a request that was carried out.
    const QByteArray on2 = hex("01 05 00 01 FF 00 DD FA");
    QCOMPARE(port.ask(on2, 8).left(6), on2.left(6));
    QCOMPARE(port.ask(kReadCoils, 6), withCrc(hex("01 01 01 02")));
}

void TestDevsim::controlChannelQueuesBehaviours()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString control = dir.filePath("control");
    Sim sim;
    QVERIFY(sim.start({"--rate", "0", "--counter", "5", "--control", control}));
    QVERIFY(QFileInfo(control).exists());

    const auto send = [&](const QByteArray &text) { return sendControl(control, text); };
    // Meaningless on a pseudo-terminal: refused (with a message on stderr),
    // not queued.
    QVERIFY(send("disconnect\n"));
    QVERIFY(send("hangup\n"));
    QVERIFY(send("exception:3\n"));
    QVERIFY(sim.waitLine("queued: exception:3"));
    QVERIFY2(!sim.lines.contains("queued: disconnect"), qPrintable(sim.lines.join('\n')));
    QVERIFY(send("slave:9,noreply\n"));
    QVERIFY(sim.waitLine("queued: slave:9"));
    QVERIFY(sim.waitLine("queued: noreply"));

    Port port(sim.device);
    QCOMPARE(port.ask(kReadCounter, 5), withCrc(hex("01 83 03")));
    QCOMPARE(port.ask(kReadCounter, 9), withCrc(hex("09 03 04 00 00 00 05")));
    QCOMPARE(port.transact(kReadCounter, 1, 500).bytes, QByteArray());
    QCOMPARE(port.ask(kReadCounter, 9), hex("01 03 04 00 00 00 05 3A 30"));
}

void TestDevsim::otherAddressIgnoredAndBroadcastCarriedOut()
{
    Sim sim;
    QVERIFY(sim.start({"--slave", "5", "--rate", "0"}));
    Port port(sim.device);
    // Slave 1 is someone else: no reply, and the next request to us is served.
    QCOMPARE(port.transact(kReadCounter, 1, 500).bytes, QByteArray());
    QVERIFY(sim.waitLine("request 1: fn=3 slave=1 behaviour=ignored"));
    QCOMPARE(port.ask(withCrc(hex("05 03 00 00 00 02")), 9), withCrc(hex("05 03 04 00 00 00 00")));

    // Broadcast: carried out, never answered.
    QCOMPARE(port.transact(withCrc(hex("00 05 00 00 FF 00")), 1, 500).bytes, QByteArray());
    QVERIFY(sim.waitLine("request 3: fn=5 slave=0 behaviour=broadcast"));
    QVERIFY(sim.waitLine("output 1: on"));
    QCOMPARE(port.ask(withCrc(hex("05 01 00 00 00 04")), 6), withCrc(hex("05 01 01 01")));
}

enum class Stop { Term, Int, StdinEof };
Q_DECLARE_METATYPE(Stop)

void TestDevsim::linkAndCleanExit_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<Stop>("stop");
    for (const char *t : {"pty", "tcp"}) {
        QTest::addRow("%s: SIGTERM", t) << QString(t) << Stop::Term;
        QTest::addRow("%s: SIGINT", t) << QString(t) << Stop::Int;
        QTest::addRow("%s: stdin closed with --exit-on-stdin-eof", t) << QString(t) << Stop::StdinEof;
    }
}

void TestDevsim::linkAndCleanExit()
{
    QFETCH(QString, transport);
    QFETCH(Stop, stop);
    const bool tcp = transport == "tcp";
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("ttyDEV");
    const QString control = dir.filePath("control");
    // A stale link left by an earlier run is replaced.
    QVERIFY(::symlink("/nonexistent/pts", link.toLocal8Bit().constData()) == 0);

    Sim sim;
    QStringList args = over(transport) + QStringList{"--link", link, "--control", control};
    if (stop == Stop::StdinEof)
        args << "--exit-on-stdin-eof";
    QVERIFY(sim.start(args, stop == Stop::StdinEof));
    // Over TCP the link names the address (there is no device file).
    QCOMPARE(readLink(link), sim.device);
    std::optional<Port> client;
    if (tcp) {
        // A client still connected at the stop is told so.
        client.emplace(sim.device);
        QCOMPARE(client->ask(kReadCounter, 9).size(), 9);
    } else {
        Port port(link);
        QVERIFY(port.fd >= 0);
        QCOMPARE(port.ask(kReadCounter, 9).size(), 9);
    }

    switch (stop) {
    case Stop::Term: sim.proc.terminate(); break;
    case Stop::Int: ::kill(pid_t(sim.proc.processId()), SIGINT); break;
    case Stop::StdinEof: sim.proc.closeWriteChannel(); break;
    }
    QVERIFY(sim.proc.waitForFinished(5000));
    QCOMPARE(sim.proc.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.proc.exitCode(), 0);
    if (tcp) {
        QVERIFY(sim.waitLine("disconnected: " + client->local() + " (stopping)"));
        QVERIFY(client->transact({}, 1, 3000).closed);
    }
    QVERIFY(sim.waitLine("stopped: "));
    struct stat st{};
    QVERIFY2(::lstat(link.toLocal8Bit().constData(), &st) != 0, "link left behind");
    QVERIFY2(::lstat(control.toLocal8Bit().constData(), &st) != 0, "control FIFO left behind");
}

// The line settings the simulator listens at (--settings) against those the
// master has set on its end: the first request is sent at the master's
// settings, the second at the listening ones. A request that was not heard
// is neither carried out nor counted, and leaves nothing behind that would
// come before the second reply.
void TestDevsim::answersOnlyAtItsLineSettings_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("masterBaud");  // 0: over TCP, no line settings
    QTest::addColumn<int>("masterStopBits");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("console");
    const QString heard = "request 1: fn=3 slave=1 behaviour=ok";
    const QString at4800 = "mismatch: 4800 baud, 2 stop bits (listening at 9600,n,8,2): ";
    const auto row = [](const char *name, const char *transport, const QStringList &args, int baud, int stop,
                        const QByteArray &expected, const QString &console, const QByteArray &request = kReadCounter) {
        QTest::newRow(name) << QString(transport) << args << baud << stop << request << expected << console;
    };
    row("default 9600,n,8,2, master at 9600 baud 2 stop bits: reply", "pty", {}, 9600, 2, kCounter5, heard);
    row("19200,e,8,1, master at 19200 baud 1 stop bit: reply", "pty", {"--settings", "19200,e,8,1"}, 19200, 1,
        kCounter5, heard);
    row("9600,n,8,2, master at 4800 baud: silent", "pty", {}, 4800, 2, {}, at4800 + "silent");
    row("9600,n,8,2, master at 19200 baud: silent", "pty", {}, 19200, 2, {},
        "mismatch: 19200 baud, 2 stop bits (listening at 9600,n,8,2): silent");
    row("9600,n,8,2, master with 1 stop bit: silent", "pty", {}, 9600, 1, {},
        "mismatch: 9600 baud, 1 stop bit (listening at 9600,n,8,2): silent");
    row("19200,o,8,1, master with 2 stop bits: silent", "pty", {"--settings", "19200,o,8,1"}, 19200, 2, {},
        "mismatch: 19200 baud, 2 stop bits (listening at 19200,o,8,1): silent");
    row("9600,e,8,2, master without parity: reply (a pty shows no parity)", "pty", {"--settings", "9600,e,8,2"},
        9600, 2, kCounter5, heard);
    row("--garble, master at 4800 baud: 00 00 00 00", "pty", {"--garble"}, 4800, 2, hex("00 00 00 00"),
        at4800 + "noise: 00 00 00 00");
    row("--garble, to slave 247 at 4800 baud: FF FF 00 FF, as FF FF 00 00 would be a valid frame", "pty",
        {"--garble"}, 4800, 2, hex("FF FF 00 FF"), at4800 + "noise: FF FF 00 FF", hex("F7 03 FF FF 00 01 90 B8"));
    row("--garble, master at 9600 baud 2 stop bits: reply", "pty", {"--garble"}, 9600, 2, kCounter5, heard);
    row("--echo: the request, then the reply", "pty", {"--echo"}, 9600, 2, kReadCounter + kCounter5, heard);
    row("--echo, master at 4800 baud: the request only", "pty", {"--echo"}, 4800, 2, kReadCounter,
        at4800 + "silent");
    row("--echo --garble, master at 4800 baud: the request, then noise", "pty", {"--echo", "--garble"}, 4800, 2,
        kReadCounter + hex("00 00 00 00"), at4800 + "noise: 00 00 00 00");
    row("tcp: 19200,o,8,1 --garble: reply (no line settings)", "tcp", {"--settings", "19200,o,8,1", "--garble"}, 0,
        0, kCounter5, heard);
    row("tcp: --echo: the request, then the reply", "tcp", {"--echo"}, 0, 0, kReadCounter + kCounter5, heard);
}

void TestDevsim::answersOnlyAtItsLineSettings()
{
    QFETCH(QString, transport);
    QFETCH(QStringList, args);
    QFETCH(int, masterBaud);
    QFETCH(int, masterStopBits);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QFETCH(QString, console);
    const int at = args.indexOf("--settings");
    const QStringList listen = (at >= 0 ? args.at(at + 1) : QString("9600,n,8,2")).split(',');
    const bool echo = args.contains("--echo");
    QVERIFY(crcValid(request));

    Sim sim;
    QVERIFY(sim.start(over(transport) + QStringList{"--rate", "0", "--counter", "5"} + args));
    Port port(sim.device);
    QVERIFY(port.fd >= 0);
    if (masterBaud)
        QVERIFY(port.setLine(masterBaud, masterStopBits));
    const Port::Reply r = expected.isEmpty() ? port.transact(request, 1, 500)
                                             : port.transact(request, int(expected.size()));
    QCOMPARE(r.bytes, expected);
    QVERIFY2(sim.waitLine(console), qPrintable(sim.lines.join('\n')));

    if (masterBaud)
        QVERIFY(port.setLine(listen.at(0).toInt(), listen.at(3).toInt()));
    const QByteArray second = (echo ? kReadCounter : QByteArray()) + kCounter5;
    QCOMPARE(port.ask(kReadCounter, int(second.size())), second);
    // Only a request that was heard was counted.
    const bool heard = console.startsWith("request 1:");
    QVERIFY(sim.waitLine(QString("request %1: fn=3 slave=1 behaviour=ok").arg(heard ? 2 : 1)));
}

// ---------------------------------------------------------------- over TCP

void TestDevsim::listensWhereAsked_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("device");  // a pattern for the device line
    QTest::addColumn<bool>("ipv6");
    QTest::newRow("127.0.0.1:0") << "127.0.0.1:0" << R"(tcp://127\.0\.0\.1:\d+)" << false;
    QTest::newRow("localhost:0: named by its address")
        << "localhost:0" << R"(tcp://(127\.0\.0\.1|\[::1\]):\d+)" << false;
    QTest::newRow("[::1]:0") << "[::1]:0" << R"(tcp://\[::1\]:\d+)" << true;
}

void TestDevsim::listensWhereAsked()
{
    QFETCH(QString, where);
    QFETCH(QString, device);
    QFETCH(bool, ipv6);
    if (ipv6) {
        const QString why = noIPv6Loopback();
        if (!why.isEmpty())
            QSKIP(qPrintable("no IPv6 loopback address (::1) on this machine: " + why));
    }
    Sim sim;
    QVERIFY(sim.start({"--tcp", where, "--rate", "0", "--counter", "5"}));
    QVERIFY2(QRegularExpression("^" + device + "$").match(sim.device).hasMatch(), qPrintable(sim.device));
    QVERIFY(!sim.device.endsWith(":0"));  // the port it picked, not the one asked for
    Port port(sim.device);
    QVERIFY(port.fd >= 0);
    QVERIFY(sim.waitLine("connected: " + port.local()));
    QCOMPARE(port.ask(kReadCounter, 9), kCounter5);
}

// The simulator closes the connection instead of replying: the client sees
// the close and nothing else; the simulator keeps listening, and a new
// connection is served.
void TestDevsim::closesTheConnection_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QByteArray>("before");  // what arrives before the close
    QTest::addColumn<QString>("why");
    QTest::addColumn<QByteArray>("check");
    QTest::addColumn<QByteArray>("checkReply");
    QTest::newRow("disconnect: 01 05 00 00 FF 00 not carried out")
        << "disconnect" << hex("01 05 00 00 FF 00 8C 3A") << QByteArray() << QByteArray() << "disconnect"
        << kReadCoils << withCrc(hex("01 01 01 00"));
    QTest::newRow("delay:200,disconnect: the delayed reply, then the close")
        << "delay:200,disconnect" << kReadCounter + kReadCounter << QByteArray() << kCounter5 << "disconnect"
        << kReadCounter << kCounter5;
    QTest::newRow("hangup on the control FIFO, between requests")
        << "" << QByteArray() << QByteArray("hangup\n") << QByteArray() << "hangup" << kReadCounter << kCounter5;
}

void TestDevsim::closesTheConnection()
{
    QFETCH(QString, script);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, control);
    QFETCH(QByteArray, before);
    QFETCH(QString, why);
    QFETCH(QByteArray, check);
    QFETCH(QByteArray, checkReply);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fifo = dir.filePath("control");
    Sim sim;
    QStringList args = over("tcp") + QStringList{"--rate", "0", "--counter", "5", "--control", fifo};
    if (!script.isEmpty())
        args << "--script" << script;
    QVERIFY(sim.start(args));

    Port first(sim.device);
    QVERIFY(first.fd >= 0);
    QVERIFY(sim.waitLine("connected: " + first.local()));
    if (!control.isEmpty())
        QVERIFY(sendControl(fifo, control));
    const Port::Reply r = first.transact(request, 256, 3000);
    QVERIFY2(r.closed, "the connection stayed open");
    QCOMPARE(r.bytes, before);
    QVERIFY(sim.waitLine("disconnected: " + first.local() + " (" + why + ")"));

    Port second(sim.device);
    QVERIFY(second.fd >= 0);
    QVERIFY(sim.waitLine("connected: " + second.local()));
    QCOMPARE(second.ask(check, checkReply.size()), checkReply);
}

// One client at a time: a new connection replaces the current one, and what
// was still due to the old one is not sent to the new one.
void TestDevsim::newConnectionReplacesCurrent()
{
    Sim sim;
    QVERIFY(sim.start(over("tcp") + QStringList{"--rate", "0", "--counter", "5", "--script", "delay:1000"}));
    Port first(sim.device);
    QVERIFY(first.fd >= 0);
    QVERIFY(sim.waitLine("connected: " + first.local()));
    QCOMPARE(first.transact(kReadCounter, 1, 0).bytes, QByteArray());
    QVERIFY(sim.waitLine("request 1: fn=3 slave=1 behaviour=delay:1000"));

    Port second(sim.device);
    QVERIFY(second.fd >= 0);
    QVERIFY(sim.waitLine("disconnected: " + first.local() + " (replaced by " + second.local() + ")"));
    QVERIFY(sim.waitLine("dropped: reply to a closed connection: 01 03 04 00 00 00 05 3A 30"));
    QVERIFY(sim.waitLine("connected: " + second.local()));
    const Port::Reply old = first.transact({}, 1, 3000);
    QVERIFY(old.closed);
    QCOMPARE(old.bytes, QByteArray());

    QCOMPARE(second.transact({}, 1, 1200).bytes, QByteArray());  // not the old reply, once due
    QCOMPARE(second.ask(kReadCounter, 9), kCounter5);
    QVERIFY(sim.waitLine("request 2: fn=3 slave=1 behaviour=ok"));
}

// A client that closes is no error: what it sent is carried out, and the
// next client starts afresh. At 300 baud the silence that ends a frame is
// 128 ms, so bytes left by the first client would join the next client's
// request, were they kept.
void TestDevsim::clientThatClosesIsNoError_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("console");
    QTest::addColumn<QString>("why");
    QTest::addColumn<QByteArray>("check");
    QTest::addColumn<QByteArray>("checkReply");
    QTest::newRow("01 03 00 00, then closed: dropped, the next request served")
        << hex("01 03 00 00") << "dropped: incomplete frame: 01 03 00 00" << "closed by the client"
        << kReadCounter << kCounter5;
    QTest::newRow("01 05 00 00 FF 00, then closed: carried out")
        << hex("01 05 00 00 FF 00 8C 3A") << "output 1: on" << "" << kReadCoils << withCrc(hex("01 01 01 01"));
}

void TestDevsim::clientThatClosesIsNoError()
{
    QFETCH(QByteArray, sent);
    QFETCH(QString, console);
    QFETCH(QString, why);
    QFETCH(QByteArray, check);
    QFETCH(QByteArray, checkReply);
    Sim sim;
    QVERIFY(sim.start(over("tcp") + QStringList{"--rate", "0", "--counter", "5", "--settings", "300,n,8,2"}));
    QString firstAddress;
    {
        Port first(sim.device);
        QVERIFY(first.fd >= 0);
        firstAddress = first.local();
        QVERIFY(sim.waitLine("connected: " + firstAddress));
        QCOMPARE(::write(first.fd, sent.constData(), size_t(sent.size())), ssize_t(sent.size()));
    }
    // The reason may also be a reset when a reply met the closed socket.
    QVERIFY(sim.waitLine("disconnected: " + firstAddress + " (" + why));

    // At once, well within the silence after the first client's bytes.
    Port second(sim.device);
    QVERIFY(second.fd >= 0);
    QCOMPARE(second.ask(check, checkReply.size()), checkReply);
    QVERIFY(sim.saw(console));
    QCOMPARE(sim.proc.state(), QProcess::Running);
}

// SO_REUSEADDR: while a simulator listens, a second one cannot take its port
// (a runtime error, exit 1); once it stopped with a client connected (its
// side of that connection now in TIME_WAIT), a new one takes the port at
// once, and the client that reconnects is served.
void TestDevsim::portIsFreeAgainAtOnceAfterAStop()
{
    QString where;
    {
        Sim first;
        QVERIFY(first.start(over("tcp") + QStringList{"--rate", "0", "--counter", "5"}));
        where = first.device.mid(6);
        Port client(first.device);
        QVERIFY(client.fd >= 0);
        QCOMPARE(client.ask(kReadCounter, 9), kCounter5);

        QProcess second;
        second.start(QStringLiteral(KORVANE_DEVSIM_PATH), {"--tcp", where});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 1);
        const QString err = QString::fromLocal8Bit(second.readAllStandardError());
        QVERIFY2(err.contains("--tcp " + where) && err.contains("in use"), qPrintable(err));

        first.proc.terminate();
        QVERIFY(first.proc.waitForFinished(5000));
        QVERIFY(client.transact({}, 1, 3000).closed);
    }
    Sim again;
    QVERIFY(again.start(QStringList{"--tcp", where, "--rate", "0", "--counter", "5"}));
    QCOMPARE(again.device, "tcp://" + where);
    Port client(again.device);
    QVERIFY(client.fd >= 0);
    QCOMPARE(client.ask(kReadCounter, 9), kCounter5);
}

void TestDevsim::badTcpArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QString form = "--tcp wants HOST:PORT";
    const QString port = "--tcp wants a PORT of 0..65535";
    QTest::newRow("127.0.0.1: no port") << QStringList{"--tcp", "127.0.0.1"} << form;
    QTest::newRow("127.0.0.1: (empty port)") << QStringList{"--tcp", "127.0.0.1:"} << port;
    QTest::newRow("127.0.0.1:65536") << QStringList{"--tcp", "127.0.0.1:65536"} << port;
    QTest::newRow("127.0.0.1:-1") << QStringList{"--tcp", "127.0.0.1:-1"} << port;
    QTest::newRow("127.0.0.1:http: a service name") << QStringList{"--tcp", "127.0.0.1:http"} << port;
    QTest::newRow(":5020: no host") << QStringList{"--tcp", ":5020"} << form;
    QTest::newRow("::1:5020: IPv6 without brackets")
        << QStringList{"--tcp", "::1:5020"} << "--tcp wants an IPv6 address in brackets";
    QTest::newRow("[::1]5020: no colon") << QStringList{"--tcp", "[::1]5020"} << form;
    QTest::newRow("[::1: no closing bracket") << QStringList{"--tcp", "[::1"} << form;
    QTest::newRow("[]:5020: empty brackets") << QStringList{"--tcp", "[]:5020"} << form;
    QTest::newRow("no-such-host.invalid:5020")
        << QStringList{"--tcp", "no-such-host.invalid:5020"} << "--tcp cannot resolve \"no-such-host.invalid\"";
    QTest::newRow("--tcp without a value") << QStringList{"--tcp"} << "missing value: --tcp";
    QTest::newRow("--script disconnect on a pseudo-terminal")
        << QStringList{"--script", "ok,disconnect"} << "disconnect closes a TCP client's connection; it needs --tcp";
}

void TestDevsim::badTcpArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QProcess sim;
    sim.start(QStringLiteral(KORVANE_DEVSIM_PATH), args);
    QVERIFY(sim.waitForFinished(30000));  // a name lookup may take a while
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 2);
    QCOMPARE(sim.readAllStandardOutput(), QByteArray());  // no device line
    const QString err = QString::fromLocal8Bit(sim.readAllStandardError());
    QVERIFY2(err.startsWith("korvane-devsim: ") && err.contains(message), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestDevsim)
#include "tst_devsim.moc"
