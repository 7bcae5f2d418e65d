// The device simulator (korvane-devsim), checked on its own: the test starts
// it, opens its pseudo-terminal with plain POSIX calls and exchanges raw
// Modbus RTU frames built here, independently of the program's own code.

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
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

    QProcess proc;
    QString device;
    QStringList lines;
    int seen = 0;
};

// The far end of the line, opened the way a serial program opens it.
class Port {
public:
    explicit Port(const QString &path)
    {
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
            tcflush(fd, TCIFLUSH);
        }
    }
    ~Port()
    {
        if (fd >= 0)
            ::close(fd);
    }

    struct Reply {
        QByteArray bytes;
        int firstChunk = 0;   // bytes that came with the first read
        qint64 elapsedMs = 0; // from the request's write to the last byte read
    };

    // Sends a request and collects bytes until want have come or ms passed.
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
            }
        }
        return r;
    }

    QByteArray ask(const QByteArray &request, int want) { return transact(request, want).bytes; }

    int fd = -1;
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
    void faults_data();
    void faults();
    void refusedRequestsChangeNothing();
    void controlChannelQueuesBehaviours();
    void otherAddressIgnoredAndBroadcastCarriedOut();
    void linkAndCleanExit_data();
    void linkAndCleanExit();
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

// Each fault applies to the first request only; the second gets the normal
// reply, which also shows that the fault sent no stray bytes.
enum class Check { Exact, NoReply, BadCrc, Split, Delayed };
Q_DECLARE_METATYPE(Check)

void TestDevsim::faults_data()
{
    const QByteArray normal = hex("01 03 04 00 00 00 05 3A 30");
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<Check>("check");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("noreply: nothing") << "noreply" << Check::NoReply << QByteArray();
    QTest::newRow("crc: 01 03 04 00 00 00 05 + bad CRC") << "crc" << Check::BadCrc << normal;
    QTest::newRow("exception:2: 01 83 02 C0 F1") << "exception:2" << Check::Exact << hex("01 83 02 C0 F1");
    QTest::newRow("garbage:5: reply + 5 bytes") << "garbage:5" << Check::Exact << normal;
    QTest::newRow("split:300: two pieces") << "split:300" << Check::Split << normal;
    QTest::newRow("slave:7: 07 03 04 00 00 00 05 + valid CRC")
        << "slave:7" << Check::Exact << withCrc(hex("07 03 04 00 00 00 05"));
    QTest::newRow("delay:300: after 300 ms") << "delay:300" << Check::Delayed << normal;
}

void TestDevsim::faults()
{
    QFETCH(QString, behaviour);
    QFETCH(Check, check);
    QFETCH(QByteArray, expected);
    const int garbage = behaviour.startsWith("garbage:") ? behaviour.mid(8).toInt() : 0;

    Sim sim;
    QVERIFY(sim.start({"--rate", "0", "--counter", "5", "--script", behaviour}));
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

    const auto send = [&](const QByteArray &text) {
        const int fd = ::open(control.toLocal8Bit().constData(), O_WRONLY);
        const bool ok = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
        if (fd >= 0)
            ::close(fd);
        return ok;
    };
    QVERIFY(send("exception:3\n"));
    QVERIFY(sim.waitLine("queued: exception:3"));
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
    QTest::addColumn<Stop>("stop");
    QTest::newRow("SIGTERM") << Stop::Term;
    QTest::newRow("SIGINT") << Stop::Int;
    QTest::newRow("stdin closed with --exit-on-stdin-eof") << Stop::StdinEof;
}

void TestDevsim::linkAndCleanExit()
{
    QFETCH(Stop, stop);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("ttyDEV");
    const QString control = dir.filePath("control");
    // A stale link left by an earlier run is replaced.
    QVERIFY(::symlink("/nonexistent/pts", link.toLocal8Bit().constData()) == 0);

    Sim sim;
    QStringList args{"--link", link, "--control", control};
    if (stop == Stop::StdinEof)
        args << "--exit-on-stdin-eof";
    QVERIFY(sim.start(args, stop == Stop::StdinEof));
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device);
    {
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
    QVERIFY(sim.waitLine("stopped: "));
    struct stat st{};
    QVERIFY2(::lstat(link.toLocal8Bit().constData(), &st) != 0, "link left behind");
    QVERIFY2(::lstat(control.toLocal8Bit().constData(), &st) != 0, "control FIFO left behind");
}

QTEST_GUILESS_MAIN(TestDevsim)
#include "tst_devsim.moc"
