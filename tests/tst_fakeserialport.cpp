// The scripted fake port's device line: the settings the device listens at,
// the noise at other settings and the echo of an adapter that hears itself.
// Other tests rely on it to show the program what a real line delivers.

#include "FakeSerialPort.h"
#include "Frames.h"

#include <QTest>
#include <QTimer>

using namespace korvane::test;

namespace {

const QByteArray kRequest = hex("01 03 00 00 00 02 C4 0B");
const QByteArray kReply = hex("01 03 04 00 00 00 05 3A 30");

// The fake with a reply-wait timer of its own; exchange() sends a request
// and collects what arrives at each of the first four ticks, then what
// deliverLate() brings.
struct Line {
    Line()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1);
        port.followTicks(&timer);
    }

    struct Heard {
        QList<QByteArray> ticks;  // ticks 1..4
        QByteArray late;
        bool complete = false;  // all four ticks came
    };

    Heard exchange(const QByteArray &request)
    {
        Heard heard;
        port.onTick = [&](int tick) {
            heard.ticks.append(port.Input());
            if (tick == 4)
                timer.stop();
        };
        for (const char c : request)
            port.Output(c);
        timer.start();
        heard.complete = QTest::qWaitFor([&] { return !timer.isActive(); }, 5000);
        port.onTick = {};
        port.deliverLate();
        heard.late = port.Input();
        return heard;
    }

    FakeSerialPort port;
    QTimer timer;
};

} // namespace

class TestFakeSerialPort : public QObject {
    Q_OBJECT

private slots:
    void deviceLine_data();
    void deviceLine();
    void unheardRequestUsesUpItsScript();
    void noiseIsNeverAFrame_data();
    void noiseIsNeverAFrame();
};

void TestFakeSerialPort::deviceLine_data()
{
    QTest::addColumn<QString>("device");  // empty: not set
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("garble");
    QTest::addColumn<bool>("echo");
    QTest::addColumn<FakeSerialPort::Script>("script");
    QTest::addColumn<QList<QByteArray>>("ticks");
    QTest::addColumn<QByteArray>("late");

    // The reply's first five bytes at tick 3, the rest after the wait.
    const FakeSerialPort::Script split = {{3, kReply.left(5)}, {FakeSerialPort::LateTick, kReply.mid(5)}};
    const QList<QByteArray> reply = {{}, {}, kReply.left(5), {}};
    const QList<QByteArray> nothing = {{}, {}, {}, {}};
    const QByteArray noise = hex("00 00 00 00");
    const auto row = [&](const char *name, const QString &device, const QString &settings, bool garble, bool echo,
                         const QList<QByteArray> &ticks, const QByteArray &late) {
        QTest::newRow(name) << device << settings << garble << echo << split << ticks << late;
    };
    row("not set, 19200,e,7,1: heard", "", "19200,e,7,1", false, false, reply, kReply.mid(5));
    row("9600,n,8,2 at 9600,n,8,2: heard", "9600,n,8,2", "9600,n,8,2", false, false, reply, kReply.mid(5));
    row("9600,n,8,2 at \" 9600, N ,8 ,2\": heard", "9600,n,8,2", " 9600, N ,8 ,2", false, false, reply,
        kReply.mid(5));
    row("9600,n,8,2 at 19200,n,8,2: nothing", "9600,n,8,2", "19200,n,8,2", false, false, nothing, {});
    row("9600,n,8,2 at 9600,e,8,2: nothing", "9600,n,8,2", "9600,e,8,2", false, false, nothing, {});
    row("9600,n,8,2 at 9600,n,7,2: nothing", "9600,n,8,2", "9600,n,7,2", false, false, nothing, {});
    row("9600,n,8,2 at 9600,n,8,1: nothing", "9600,n,8,2", "9600,n,8,1", false, false, nothing, {});
    row("garbling, 9600,e,8,1 at 9600,o,8,1: 00 00 00 00 at tick 1", "9600,e,8,1", "9600,o,8,1", true, false,
        {noise, {}, {}, {}}, {});
    row("garbling, at the same settings: heard", "9600,e,8,1", "9600,e,8,1", true, false, reply, kReply.mid(5));
    row("echo: the request at tick 1, then the reply", "", "9600,n,8,2", false, true,
        {kRequest, {}, kReply.left(5), {}}, kReply.mid(5));
    row("echo, 9600,n,8,2 at 4800,n,8,2: the request only", "9600,n,8,2", "4800,n,8,2", false, true,
        {kRequest, {}, {}, {}}, {});
    row("echo and garbling, 9600,n,8,2 at 4800,n,8,2: the request, then noise", "9600,n,8,2", "4800,n,8,2", true,
        true, {kRequest + noise, {}, {}, {}}, {});
    QTest::newRow("echo, the reply also at tick 1: the request first")
        << "" << "9600,n,8,2" << false << true << FakeSerialPort::inTime(kReply, 1)
        << QList<QByteArray>{kRequest + kReply, {}, {}, {}} << QByteArray();
}

void TestFakeSerialPort::deviceLine()
{
    QFETCH(QString, device);
    QFETCH(QString, settings);
    QFETCH(bool, garble);
    QFETCH(bool, echo);
    QFETCH(FakeSerialPort::Script, script);
    QFETCH(QList<QByteArray>, ticks);
    QFETCH(QByteArray, late);
    Line line;
    if (!device.isEmpty())
        line.port.deviceSettings = device;
    line.port.garbleOnMismatch = garble;
    line.port.echo = echo;
    line.port.setSettings(settings);
    QVERIFY(line.port.setPortOpen(true));
    line.port.answerNext(script);

    const Line::Heard heard = line.exchange(kRequest);
    QVERIFY(heard.complete);
    QCOMPARE(heard.ticks, ticks);
    QCOMPARE(heard.late, late);
    QCOMPARE(line.port.requests(), QList<QByteArray>{kRequest});
}

// The scripts stay in step with the requests: the one for a request the
// device did not hear is gone, and the next request gets the next script.
void TestFakeSerialPort::unheardRequestUsesUpItsScript()
{
    Line line;
    line.port.deviceSettings = QStringLiteral("9600,n,8,2");
    line.port.setSettings(QStringLiteral("19200,n,8,2"));
    QVERIFY(line.port.setPortOpen(true));
    const QByteArray second = withCRC(hex("01 03 04 00 00 00 07"));
    line.port.answerNext(FakeSerialPort::inTime(kReply, 1));
    line.port.answerNext(FakeSerialPort::inTime(second, 1));

    const Line::Heard unheard = line.exchange(kRequest);
    QVERIFY(unheard.complete);
    QCOMPARE(unheard.ticks.value(0), QByteArray());
    line.port.setPortOpen(false);
    line.port.setSettings(QStringLiteral("9600,n,8,2"));
    QVERIFY(line.port.setPortOpen(true));
    const Line::Heard heard = line.exchange(kRequest);
    QVERIFY(heard.complete);
    QCOMPARE(heard.ticks.value(0), second);
}

void TestFakeSerialPort::noiseIsNeverAFrame_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("noise");
    QTest::newRow("01 03 00 00 00 02 C4 0B: 00 00 00 00") << kRequest << hex("00 00 00 00");
    QTest::newRow("F7 03 FF FF 00 01 90 B8: FF FF 00 FF, as FF FF 00 00 is a valid frame")
        << hex("F7 03 FF FF 00 01 90 B8") << hex("FF FF 00 FF");
    QTest::newRow("FF 0F 00: FF 00, the odd byte on its own") << hex("FF 0F 00") << hex("FF 00");
}

void TestFakeSerialPort::noiseIsNeverAFrame()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, noise);
    QCOMPARE(FakeSerialPort::noiseFor(request), noise);
}

QTEST_GUILESS_MAIN(TestFakeSerialPort)
#include "tst_fakeserialport.moc"
