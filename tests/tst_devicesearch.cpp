// Find Device without a window: the order of the probes, the raised waits,
// what each probe heard, the verdicts about a port and the refusal of an
// empty choice as tables; then the engine on fake lines of devices: it
// finds and confirms a device, searches two ports together, stops within a
// probe wait giving the window's port back, names ports it cannot use, and
// lists every device when asked to go on.

#include "FakeSerialPort.h"
#include "Frames.h"
#include "serial/LineSettings.h"
#include "session/DeviceSearch.h"
#include "session/PortSession.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <map>
#include <memory>

using namespace korvane;
using namespace korvane::test;

namespace {

QByteArray readRequest(int address)
{
    ModVariables v;
    const Request r = buildReadCounter(v, std::uint8_t(address));
    return v.TxBuf.head(r.length);
}

QByteArray counterReply(int address, qint32 value)
{
    const auto u = quint32(value);
    QByteArray frame;
    frame += char(address);
    frame += QByteArray::fromHex("0304");
    for (const int shift : {24, 16, 8, 0})
        frame += char((u >> shift) & 0xFF);
    return withCRC(frame);
}

QByteArray exceptionReply(int address, int code)
{
    QByteArray frame;
    frame += char(address);
    frame += char(0x83);
    frame += char(code);
    return withCRC(frame);
}

bool sameSettings(const QString &a, const QString &b)
{
    const auto x = parseLineSettings(a);
    return x && x == parseLineSettings(b);
}

// "3@19200,e,8,1" for each probe, to compare orders at a glance.
QStringList probeTexts(const QList<Probe> &probes)
{
    QStringList texts;
    for (const Probe &p : probes)
        texts << (p.settings.isEmpty() ? QString::number(p.address)
                                       : QStringLiteral("%1@%2").arg(p.address).arg(p.settings));
    return texts;
}

// A line of devices behind a fake port. Each request is answered by the
// device at its address that listens at the port's present settings; at
// the settings in noiseAt 00/FF noise arrives where no device answers. The
// fake's echo puts the request's own bytes first. The fake's clock moves
// 10 ms a tick, so a reply at tick 1 came in 10 ms. (The fake's
// deviceSettings does the same for a single device; this line has several,
// each with settings of its own.)
class DeviceLine : public FakeSerialPort {
    Q_OBJECT
public:
    struct Device {
        int address = 0;
        QString settings;
        qint32 counter = 0;
        int exception = 0; ///< answers with this exception code instead
    };

    DeviceLine(QTimer *ticks, QString name, QStringList *log)
        : name_(std::move(name))
        , log_(log)
    {
        followTicks(ticks);
        // A tick ends the frame being written: the next byte starts a request.
        connect(ticks, &QTimer::timeout, this, [this] { frameStarts_ = true; });
    }

    QList<Device> devices;
    QStringList noiseAt;
    /// The device refuses new settings on the open port (as a
    /// pseudo-terminal refuses even parity): the port must be reopened.
    bool refuseInPlace = false;
    int appliedInPlace = 0;
    /// The settings at each request.
    QStringList settingsAtRequest;

    bool applySettings(const QString &settings) override
    {
        if (!PortOpen() || refuseInPlace || !parseLineSettings(settings))
            return false;
        setSettings(settings);
        DiscardInput();
        ++appliedInPlace;
        return true;
    }

    void Output(char byte) override
    {
        if (frameStarts_ && PortOpen()) {
            frameStarts_ = false;
            settingsAtRequest << Settings();
            if (log_)
                *log_ << name_;
            answerNext(scriptFor(static_cast<std::uint8_t>(byte)));
        }
        FakeSerialPort::Output(byte);
    }

private:
    Script scriptFor(int address) const
    {
        QByteArray bytes;
        bool answered = false;
        for (const Device &d : devices) {
            if (d.address == address && sameSettings(d.settings, Settings())) {
                bytes += d.exception ? exceptionReply(address, d.exception) : counterReply(address, d.counter);
                answered = true;
            }
        }
        if (!answered && std::any_of(noiseAt.begin(), noiseAt.end(),
                                     [&](const QString &s) { return sameSettings(s, Settings()); }))
            bytes += hex("00 FF 00 00");
        return bytes.isEmpty() ? Script() : inTime(bytes, 1);
    }

    QString name_;
    QStringList *log_ = nullptr;
    bool frameStarts_ = true;
};

// The window's session on its own line (COM1, /dev/ttyWIN, 9600,n,8,2,
// slave 1), other ports' lines made on demand, and the search. Replies come
// on the ticks of a 1 ms timer, well within the probe waits.
struct SearchRig {
    SearchRig()
    {
        ticks.setInterval(1);
        ticks.setTimerType(Qt::PreciseTimer);
        ticks.start();
        window.setCommPort(1);
        window.setPortDevice(1, QStringLiteral("/dev/ttyWIN"));
        window.setSettings(QStringLiteral("9600,n,8,2"));
        window.open();
        search->setWindowSession(&window);
        search->setDeviceSource([] { return QList<SerialDevice>(); });
        search->setComponentFactory([this](const SearchPort &port) {
            auto line = std::make_unique<DeviceLine>(&ticks, port.device, &log);
            if (const auto it = setUp.find(port.device); it != setUp.end())
                it->second(*line);
            lines[port.device] = line.get();
            return std::unique_ptr<SerialComponent>(std::move(line));
        });
    }

    /// Two baud rates and two formats (probe waits of 30 ms, none raised),
    /// addresses 1..last, the window's address and settings first.
    static SearchOptions options(int last = 4)
    {
        SearchOptions o;
        o.ports = {SearchPort{1, QString(), false}};
        o.bauds = {9600, 19200};
        o.formats = {QStringLiteral("8N2"), QStringLiteral("8E1")};
        o.firstAddress = 1;
        o.lastAddress = last;
        o.currentAddress = 1;
        o.currentSettings = QStringLiteral("9600,n,8,2");
        o.probeWaitMs = 30;
        return o;
    }

    /// Runs a search to its end.
    std::optional<SearchReport> run(const SearchOptions &o)
    {
        QSignalSpy finished(search.get(), &DeviceSearch::finished);
        if (const auto refused = search->start(o)) {
            qWarning("refused: %s", qPrintable(*refused));
            return std::nullopt;
        }
        if (!finished.wait(60000))
            return std::nullopt;
        return finished.first().first().value<SearchReport>();
    }

    QTimer ticks;
    QStringList log; // the port of every request, in order
    DeviceLine windowLine{&ticks, QStringLiteral("/dev/ttyWIN"), &log};
    PortSession window{windowLine};
    std::unique_ptr<DeviceSearch> search = std::make_unique<DeviceSearch>();
    std::map<QString, std::function<void(DeviceLine &)>> setUp; // by device
    std::map<QString, DeviceLine *> lines;
};

// A tally from (settings, class, how many) triples.
struct Heard {
    QString settings;
    ProbeClass kind;
    int count;
    bool echo = false;
};
PortTally tallyOf(const QList<Heard> &heard)
{
    PortTally t;
    for (const Heard &h : heard) {
        for (int i = 0; i < h.count; ++i) {
            ProbeOutcome o;
            o.kind = h.kind;
            o.echo = h.echo;
            t.add(Probe{1, h.settings}, o);
        }
    }
    return t;
}

} // namespace

Q_DECLARE_METATYPE(korvane::ProbeClass)
Q_DECLARE_METATYPE(korvane::SearchOptions)

class TestDeviceSearch : public QObject {
    Q_OBJECT
private slots:
    // ------------------------------------------------------------ order

    void probeOrder_data()
    {
        QTest::addColumn<SearchOptions>("options");
        QTest::addColumn<bool>("lineSettings");
        QTest::addColumn<QStringList>("expected");
        const auto opts = [](QList<int> bauds, QStringList formats, int first, int last, int current,
                             QString settings) {
            SearchOptions o;
            o.bauds = bauds;
            o.formats = formats;
            o.firstAddress = first;
            o.lastAddress = last;
            o.currentAddress = current;
            o.currentSettings = settings;
            return o;
        };
        const QString n2 = QStringLiteral("8N2"), e1 = QStringLiteral("8E1"), o1 = QStringLiteral("8O1");

        // Every setting at address 1 comes before address 2: a device at
        // address 1 is found within the first nine probes.
        QTest::newRow("slave 1 at 9600,n,8,2, all settings, 1-2")
            << opts({4800, 9600, 19200}, {n2, e1, o1}, 1, 2, 1, "9600,n,8,2") << true
            << QStringList{"1@9600,n,8,2",  "1@4800,n,8,2",  "1@19200,n,8,2", "1@9600,e,8,1",  "1@4800,e,8,1",
                           "1@19200,e,8,1", "1@9600,o,8,1",  "1@4800,o,8,1",  "1@19200,o,8,1", "2@9600,n,8,2",
                           "2@4800,n,8,2",  "2@19200,n,8,2", "2@9600,e,8,1",  "2@4800,e,8,1",  "2@19200,e,8,1",
                           "2@9600,o,8,1",  "2@4800,o,8,1",  "2@19200,o,8,1"};
        QTest::newRow("slave 5 in 3-6 at 19200,e,8,1: first, and not again")
            << opts({9600, 19200}, {n2, e1}, 3, 6, 5, "19200,e,8,1") << true
            << QStringList{"5@19200,e,8,1", "3@19200,e,8,1", "3@9600,e,8,1", "3@19200,n,8,2", "3@9600,n,8,2",
                           "4@19200,e,8,1", "4@9600,e,8,1",  "4@19200,n,8,2", "4@9600,n,8,2", "5@9600,e,8,1",
                           "5@19200,n,8,2", "5@9600,n,8,2",  "6@19200,e,8,1", "6@9600,e,8,1", "6@19200,n,8,2",
                           "6@9600,n,8,2"};
        QTest::newRow("slave 9 outside 1-2: not first")
            << opts({9600}, {n2, e1}, 1, 2, 9, "9600,e,8,1") << true
            << QStringList{"1@9600,e,8,1", "1@9600,n,8,2", "2@9600,e,8,1", "2@9600,n,8,2"};
        QTest::newRow("current settings not chosen: the order chosen")
            << opts({19200, 9600}, {o1}, 1, 2, 1, "4800,n,8,2") << true
            << QStringList{"1@19200,o,8,1", "1@9600,o,8,1", "2@19200,o,8,1", "2@9600,o,8,1"};
        QTest::newRow("current settings written otherwise: still first")
            << opts({9600, 19200}, {n2, e1}, 1, 1, 0, " 19200,E,8,1") << true
            << QStringList{"1@19200,e,8,1", "1@9600,e,8,1", "1@19200,n,8,2", "1@9600,n,8,2"};
        QTest::newRow("TCP: addresses only, slave 2 first")
            << opts({4800, 9600, 19200}, {n2, e1, o1}, 1, 3, 2, "9600,n,8,2") << false
            << QStringList{"2", "1", "3"};
    }
    void probeOrder()
    {
        QFETCH(SearchOptions, options);
        QFETCH(bool, lineSettings);
        QFETCH(QStringList, expected);
        QCOMPARE(probeTexts(korvane::probeOrder(options, lineSettings)), expected);
    }

    // The request and its reply on the line (17 characters of 11 bits),
    // 3.5 characters of silence and 5 ms: 52 ms at 4800, 29 at 9600, 17 at
    // 19200 bps.
    void probeWaits_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("asked");
        QTest::addColumn<int>("used");
        QTest::newRow("4800 bps, 20 ms: raised to 52") << 4800 << 20 << 52;
        QTest::newRow("9600 bps, 20 ms: raised to 29") << 9600 << 20 << 29;
        QTest::newRow("19200 bps, 20 ms: kept") << 19200 << 20 << 20;
        QTest::newRow("19200 bps, 10 ms: raised to 17") << 19200 << 10 << 17;
        QTest::newRow("4800 bps, 100 ms: kept") << 4800 << 100 << 100;
        QTest::newRow("4800 bps, 52 ms: kept") << 4800 << 52 << 52;
        QTest::newRow("TCP (no baud rate), 5 ms: kept") << 0 << 5 << 5;
    }
    void probeWaits()
    {
        QFETCH(int, baud);
        QFETCH(int, asked);
        QFETCH(int, used);
        QCOMPARE(probeWaitMs(asked, baud), used);
        if (baud == 0)
            return;
        SearchOptions o;
        o.bauds = {baud};
        o.probeWaitMs = asked;
        const QList<RaisedWait> raised = used > asked ? QList<RaisedWait>{{baud, used}} : QList<RaisedWait>();
        QCOMPARE(raisedWaits(o), raised);
    }

    // ------------------------------------------------------------ what a probe heard

    void classifiesWhatCameBack_data()
    {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<int>("errors");
        QTest::addColumn<ProbeClass>("kind");
        QTest::addColumn<bool>("echo");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("code"); // exception code, or data bytes of another size (negative)
        QTest::addColumn<int>("value");
        const QByteArray echo = readRequest(1);
        QTest::newRow("nothing: silence") << QByteArray() << 0 << ProbeClass::Silence << false << 0 << 0 << 0;
        QTest::newRow("01 03 00 00 00 02 C4 0B: the echo only")
            << echo << 0 << ProbeClass::Echo << true << 0 << 0 << 0;
        QTest::newRow("01 03 00 00: the start of the echo") << echo.left(4) << 0 << ProbeClass::Echo << true << 0
                                                             << 0 << 0;
        QTest::newRow("01 03 04 00 00 00 05 3A 30: the counter, 5")
            << counterReply(1, 5) << 0 << ProbeClass::Reply << false << 1 << 0 << 5;
        QTest::newRow("echo, then 01 03 04 00 00 00 05 3A 30: a reply with an echo")
            << echo + counterReply(1, 5) << 0 << ProbeClass::Reply << true << 1 << 0 << 5;
        QTest::newRow("01 03 04 FF FF FF FE ..: the counter, -2")
            << counterReply(1, -2) << 0 << ProbeClass::Reply << false << 1 << 0 << -2;
        QTest::newRow("reply with error bytes counted: still the reply")
            << counterReply(1, 5) << 2 << ProbeClass::Reply << false << 1 << 0 << 5;
        QTest::newRow("00 FF 00 00: 00/FF noise") << hex("00 FF 00 00") << 0 << ProbeClass::LineNoise << false << 0
                                                  << 0 << 0;
        QTest::newRow("echo, then 00 00: noise after the echo")
            << echo + hex("00 00") << 0 << ProbeClass::LineNoise << true << 0 << 0 << 0;
        QTest::newRow("3F 12 3F with 2 error bytes: framing/parity errors")
            << hex("3F 12 3F") << 2 << ProbeClass::LineNoise << false << 0 << 0 << 0;
        QTest::newRow("12 34 56: no valid frame") << hex("12 34 56") << 0 << ProbeClass::Garbage << false << 0 << 0
                                                  << 0;
        QTest::newRow("01 03 04 00 00 00 05 3A 31: bad CRC")
            << hex("01 03 04 00 00 00 05 3A 31") << 0 << ProbeClass::Garbage << false << 0 << 0 << 0;
        QTest::newRow("07 03 04 00 00 00 05 ..: address 7 answers")
            << counterReply(7, 5) << 0 << ProbeClass::OtherAddress << false << 7 << 0 << 0;
        QTest::newRow("01 83 01 ..: exception 01") << exceptionReply(1, 1) << 0 << ProbeClass::NotCounter << false
                                                   << 1 << 1 << 0;
        QTest::newRow("01 03 02 00 05 ..: 2 data bytes, not the counter")
            << withCRC(hex("01 03 02 00 05")) << 0 << ProbeClass::NotCounter << false << 1 << -2 << 0;
    }
    void classifiesWhatCameBack()
    {
        QFETCH(QByteArray, received);
        QFETCH(int, errors);
        QFETCH(ProbeClass, kind);
        QFETCH(bool, echo);
        QFETCH(int, address);
        QFETCH(int, code);
        QFETCH(int, value);
        const ProbeOutcome o = classifyProbe(readRequest(1), received, errors);
        QCOMPARE(o.kind, kind);
        QCOMPARE(o.echo, echo);
        QCOMPARE(o.address, address);
        QCOMPARE(code < 0 ? -o.byteCount : o.exceptionCode, code);
        QCOMPARE(o.value, value);
    }

    // ------------------------------------------------------------ verdicts

    void verdicts_data()
    {
        QTest::addColumn<PortReport>("report");
        QTest::addColumn<QString>("verdict");
        const QString n96 = QStringLiteral("9600,n,8,2"), e96 = QStringLiteral("9600,e,8,1"),
                      n48 = QStringLiteral("4800,n,8,2"), e192 = QStringLiteral("19200,e,8,1");
        const auto report = [](const PortTally &t, int done = -1) {
            PortReport r;
            r.commPort = 1;
            r.device = QStringLiteral("/dev/ttyUSB0");
            r.tally = t;
            r.probesDone = done < 0 ? t.probes() : done;
            r.probesPlanned = done < 0 ? t.probes() : 18;
            return r;
        };
        const QString com1 = QStringLiteral("COM1 /dev/ttyUSB0: ");

        {
            PortReport r = report(tallyOf({{n96, ProbeClass::Silence, 4}, {e192, ProbeClass::Reply, 2}}));
            r.devices << FoundDevice{1, r.device, 5, 19200, QStringLiteral("8E1"), 123, 12, false};
            QTest::newRow("found") << r << com1 + "counter/display found at address 5, 19200 bps 8E1 (counter 123)";
            r.tally = tallyOf({{e192, ProbeClass::Reply, 2, true}});
            QTest::newRow("found, with echoes")
                << r << com1 + "counter/display found at address 5, 19200 bps 8E1 (counter 123); requests came "
                               "back as echoes of themselves: turn on echo removal for this port";
            r.removeEcho = true;
            QTest::newRow("found, echoes removed")
                << r << com1 + "counter/display found at address 5, 19200 bps 8E1 (counter 123)";
            r.removeEcho = false;
            r.devices << FoundDevice{1, r.device, 7, 19200, QStringLiteral("8E1"), -4, 12, false};
            r.tally = PortTally();
            QTest::newRow("two found") << r << com1 + "2 counters/displays found: at address 5, 19200 bps 8E1 "
                                                      "(counter 123); at address 7, 19200 bps 8E1 (counter -4)";
        }
        {
            PortReport r = report(PortTally());
            r.commPort = 0;
            r.device = QStringLiteral("/dev/ttyUSB7");
            r.unusable = QStringLiteral("The device does not exist.");
            QTest::newRow("cannot be opened, named by its path")
                << r << QStringLiteral("/dev/ttyUSB7: not searched: The device does not exist.");
        }
        QTest::newRow("silence") << report(tallyOf({{n96, ProbeClass::Silence, 9}, {e96, ProbeClass::Silence, 9}}))
                                 << com1 + "no byte was received at any setting: check power, wiring and that this "
                                           "is the right adapter";
        QTest::newRow("echo only")
            << report(tallyOf({{n96, ProbeClass::Echo, 9, true}, {e96, ProbeClass::Echo, 9, true}}))
            << com1 + "every request came back as an echo of itself: the adapter hears its own transmission; turn "
                      "on echo removal for this port";
        {
            PortReport r = report(tallyOf({{n96, ProbeClass::Echo, 9, true}}));
            r.removeEcho = true;
            QTest::newRow("echo only, echoes removed")
                << r << com1 + "every request came back as its own echo and nothing else: the line is heard, but "
                               "no device answered; check the device's power and wiring";
        }
        QTest::newRow("bytes only at 9600 bps")
            << report(tallyOf({{n96, ProbeClass::Garbage, 3},
                               {e96, ProbeClass::LineNoise, 3},
                               {n48, ProbeClass::Silence, 3},
                               {e192, ProbeClass::Silence, 3}}))
            << com1 + "bytes arrived only at 9600 bps but never as a valid frame: wrong data format or A/B wires "
                      "swapped";
        QTest::newRow("00/FF noise at every baud rate")
            << report(tallyOf({{n96, ProbeClass::LineNoise, 3}, {n48, ProbeClass::LineNoise, 3}}))
            << com1 + "only 00/FF bytes or bytes with framing or parity errors arrived, at every baud rate tried: "
                      "A/B wires swapped, or a baud rate not tried";
        QTest::newRow("bytes at every baud rate")
            << report(tallyOf({{n96, ProbeClass::Garbage, 3}, {n48, ProbeClass::LineNoise, 3}}))
            << com1 + "bytes arrived at every baud rate tried but never as a valid frame: A/B wires swapped, or a "
                      "device that speaks another protocol";
        {
            PortTally t = tallyOf({{n96, ProbeClass::Silence, 4}});
            ProbeOutcome o;
            o.kind = ProbeClass::NotCounter;
            o.address = 5;
            o.exceptionCode = 1;
            t.add(Probe{5, n96}, o);
            QTest::newRow("exception 01 at address 5")
                << report(t) << com1 + "a device answers at address 5 with exception 01 (Illegal Function): this "
                                       "is not a counter/display of this kind";
            PortTally sized = tallyOf({{n96, ProbeClass::Silence, 4}});
            o.exceptionCode = 0;
            o.byteCount = 2;
            sized.add(Probe{5, n96}, o);
            QTest::newRow("2 data bytes at address 5")
                << report(sized) << com1 + "a device answers at address 5 with 2 data bytes instead of 4: this is "
                                           "not a counter/display of this kind";
        }
        {
            PortTally t = tallyOf({{n96, ProbeClass::Silence, 4}});
            ProbeOutcome o;
            o.kind = ProbeClass::OtherAddress;
            o.address = 9;
            t.add(Probe{2, e192}, o);
            QTest::newRow("address 9 answers for address 2")
                << report(t) << com1 + "address 9 answered a request for address 2 at 19200 bps 8E1: a device or "
                                       "gateway that answers for other addresses, or a second master on the line";
        }
        {
            PortTally t = tallyOf({{n96, ProbeClass::Silence, 4}, {n96, ProbeClass::Reply, 1}});
            t.addUnconfirmed(Probe{3, n96});
            QTest::newRow("one reply, not confirmed")
                << report(t) << com1 + "address 3 answered once at 9600 bps 8N2 but not the second read: a loose "
                                       "contact, a noisy line or a second master";
        }
        {
            PortReport r = report(tallyOf({{n96, ProbeClass::Silence, 3}}), 3);
            r.lost = QStringLiteral("/dev/ttyUSB0: the device hung up (disconnected)");
            QTest::newRow("lost to a hang-up")
                << r << com1 + "the port closed itself after 3 of 18 probes (/dev/ttyUSB0: the device hung up "
                               "(disconnected)); no byte was received at any setting tried: check power, wiring "
                               "and that this is the right adapter";
        }
        QTest::newRow("stopped early")
            << report(tallyOf({{n96, ProbeClass::Silence, 4}}), 4)
            << com1 + "the search ended after 4 of 18 probes; no byte was received at any setting tried: check "
                      "power, wiring and that this is the right adapter";
        {
            PortReport r = report(tallyOf({{QString(), ProbeClass::Silence, 5}}));
            r.commPort = 2;
            r.device = QStringLiteral("tcp://10.0.0.9:4001");
            QTest::newRow("TCP: silence")
                << r << QStringLiteral("COM2 tcp://10.0.0.9:4001: no byte was received at any address: check the "
                                       "device's power and wiring and the server's serial line");
        }
    }
    void verdicts()
    {
        QFETCH(PortReport, report);
        QFETCH(QString, verdict);
        QCOMPARE(portVerdict(report), verdict);
    }

    void refusesAnEmptyChoice_data()
    {
        QTest::addColumn<SearchOptions>("options");
        QTest::addColumn<QString>("reason"); // empty: searchable
        const auto base = [] {
            SearchOptions o;
            o.ports = {SearchPort{1, QStringLiteral("/dev/ttyUSB0"), false}};
            return o;
        };
        QTest::newRow("all settings, 1-247: searchable") << base() << QString();
        SearchOptions o = base();
        o.ports.clear();
        QTest::newRow("no port") << o << "Choose at least one port to search.";
        o = base();
        o.ports << SearchPort{0, QStringLiteral("ttyUSB0"), false};
        QTest::newRow("/dev/ttyUSB0 and ttyUSB0") << o << "ttyUSB0 is listed twice.";
        o = base();
        o.ports << SearchPort{0, QString(), false};
        QTest::newRow("a port without device") << o << "A port to search has no device.";
        o = base();
        o.bauds.clear();
        QTest::newRow("no baud rate") << o << "Choose at least one baud rate.";
        o = base();
        o.bauds = {2400};
        QTest::newRow("2400 bps") << o << "2400 bps is not a baud rate the search tries (4800, 9600 or 19200).";
        o = base();
        o.formats.clear();
        QTest::newRow("no format") << o << "Choose at least one data format.";
        o = base();
        o.formats = {QStringLiteral("7E1")};
        QTest::newRow("7E1") << o << "\"7E1\" is not a data format the search tries (8N2, 8E1 or 8O1).";
        o = base();
        o.firstAddress = 0;
        QTest::newRow("from address 0")
            << o << "Addresses run from 1 to 247 (0 would reach every device at once and is never probed): 0 to 247 "
                    "is outside.";
        o = base();
        o.lastAddress = 248;
        QTest::newRow("up to address 248")
            << o << "Addresses run from 1 to 247 (0 would reach every device at once and is never probed): 1 to 248 "
                    "is outside.";
        o = base();
        o.firstAddress = 10;
        o.lastAddress = 9;
        QTest::newRow("10 to 9") << o << "The first address (10) is above the last (9).";
        o = base();
        o.probeWaitMs = 0;
        QTest::newRow("wait 0 ms") << o << "The probe wait must be at least 1 ms.";
    }
    void refusesAnEmptyChoice()
    {
        QFETCH(SearchOptions, options);
        QFETCH(QString, reason);
        QCOMPARE(whyNotSearchable(options).value_or(QString()), reason);
        if (reason.isEmpty())
            return;
        DeviceSearch search;
        QCOMPARE(search.start(options).value_or(QString()), reason);
        QVERIFY(!search.isRunning());
    }

    // ------------------------------------------------------------ the engine

    // A device at another address and setting than the window's: every
    // probe in order up to it, then a second read there, and the window's
    // port given back with its settings. Line settings change on the open
    // port, or by reopening it where the device refuses that.
    void findsAndConfirmsADevice_data()
    {
        QTest::addColumn<bool>("refuseInPlace");
        QTest::newRow("settings changed on the open port") << false;
        QTest::newRow("device refuses: closed, set and opened") << true;
    }
    void findsAndConfirmsADevice()
    {
        QFETCH(bool, refuseInPlace);
        SearchRig rig;
        rig.windowLine.devices << DeviceLine::Device{3, QStringLiteral("19200,e,8,1"), 77};
        rig.windowLine.refuseInPlace = refuseInPlace;
        const int opensBefore = rig.windowLine.openCount;
        const SearchOptions o = SearchRig::options();

        const auto report = rig.run(o);
        QVERIFY(report);
        QCOMPARE(report->devices.size(), 1);
        const FoundDevice &d = report->devices.first();
        QCOMPARE(d.commPort, 1);
        QCOMPARE(d.device, QStringLiteral("/dev/ttyWIN"));
        QCOMPARE(d.slave, 3);
        QCOMPARE(d.baud, 19200);
        QCOMPARE(d.format, QStringLiteral("8E1"));
        QCOMPARE(d.counter, 77);
        QCOMPARE(d.replyMs, 10);
        QVERIFY(!d.echo);

        // The probes in order up to the device, then the same probe again;
        // each a read of registers 0-1, none to address 0.
        QList<Probe> expected = korvane::probeOrder(o, true);
        expected = expected.mid(0, expected.indexOf(Probe{3, QStringLiteral("19200,e,8,1")}) + 1);
        expected << expected.last();
        const QList<QByteArray> sent = rig.windowLine.requests();
        QCOMPARE(sent.size(), expected.size());
        for (qsizetype i = 0; i < sent.size(); ++i) {
            QCOMPARE(sent[i].toHex(' '), readRequest(expected[i].address).toHex(' '));
            QVERIFY(sameSettings(rig.windowLine.settingsAtRequest[i], expected[i].settings));
        }

        QCOMPARE(report->ports.size(), 1);
        QCOMPARE(report->ports.first().verdict,
                 QStringLiteral("COM1 /dev/ttyWIN: counter/display found at address 3, 19200 bps 8E1 (counter 77)"));
        QVERIFY(!report->stopped);
        // Given back: open, with the window's port, device and settings.
        QVERIFY(rig.window.isOpen());
        QCOMPARE(rig.window.commPort(), 1);
        QCOMPARE(rig.window.device(), QStringLiteral("/dev/ttyWIN"));
        QCOMPARE(rig.window.settings(), QStringLiteral("9600,n,8,2"));
        // Opened again only where the device refused the settings in place.
        if (refuseInPlace)
            QVERIFY(rig.windowLine.openCount > opensBefore + 2);
        else
            QCOMPARE(rig.windowLine.openCount, opensBefore);
    }

    // A silent port and a port with a device are searched at the same
    // time: their requests alternate, the silent port is not searched
    // first or after, and the device found ends both.
    void twoPortsAreSearchedTogether()
    {
        SearchRig rig;
        rig.setUp[QStringLiteral("/dev/ttyB")] = [](DeviceLine &line) {
            line.devices << DeviceLine::Device{4, QStringLiteral("19200,e,8,1"), 9};
        };
        SearchOptions o = SearchRig::options(6);
        o.ports << SearchPort{0, QStringLiteral("/dev/ttyB"), false};
        const auto report = rig.run(o);
        QVERIFY(report);
        QCOMPARE(report->devices.size(), 1);
        QCOMPARE(report->devices.first().device, QStringLiteral("/dev/ttyB"));
        QCOMPARE(report->devices.first().commPort, 0);

        const QString a = QStringLiteral("/dev/ttyWIN"), b = QStringLiteral("/dev/ttyB");
        const qsizetype fromA = rig.log.count(a), fromB = rig.log.count(b);
        QVERIFY2(fromB >= 14 && qAbs(fromA - fromB) <= 2, qPrintable(rig.log.join(QLatin1Char(' '))));
        int longestRun = 0, run = 0;
        for (qsizetype i = 0; i < rig.log.size(); ++i) {
            run = i > 0 && rig.log[i] == rig.log[i - 1] ? run + 1 : 1;
            longestRun = std::max(longestRun, run);
        }
        QVERIFY2(longestRun <= 3, qPrintable(rig.log.join(QLatin1Char(' '))));

        QCOMPARE(report->ports.size(), 2);
        QVERIFY2(report->ports[0].verdict.startsWith(QStringLiteral("COM1 /dev/ttyWIN: the search ended after ")),
                 qPrintable(report->ports[0].verdict));
        QCOMPARE(report->ports[1].verdict,
                 QStringLiteral("/dev/ttyB: counter/display found at address 4, 19200 bps 8E1 (counter 9)"));
        // The other port's own session is closed again.
        QVERIFY(!rig.lines.at(b)->PortOpen());
    }

    // Stop, or the engine's end, during a probe's wait: no probe follows,
    // and the window's port is given back at once with its own settings
    // and echo removal, although the probe was at other settings.
    void stopEndsWithinOneProbeWait_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("stop()") << false;
        QTest::newRow("engine destroyed") << true;
    }
    void stopEndsWithinOneProbeWait()
    {
        QFETCH(bool, destroy);
        SearchRig rig;
        SearchOptions o = SearchRig::options(247);
        o.ports.first().removeEcho = true;
        QSignalSpy finished(rig.search.get(), &DeviceSearch::finished);
        rig.windowLine.onTick = [&](int tick) {
            if (tick != 2 || rig.windowLine.requests().size() != 3 || !rig.search)
                return;
            QCOMPARE(rig.window.settings(), QStringLiteral("9600,e,8,1"));
            QVERIFY(rig.window.removeEcho());
            if (destroy)
                rig.search.reset();
            else
                rig.search->stop();
        };
        QVERIFY(!rig.search->start(o));
        if (destroy) {
            QTRY_VERIFY_WITH_TIMEOUT(!rig.search, 60000);
            // Given back at once, before the probe's wait could end.
            QCOMPARE(rig.window.settings(), QStringLiteral("9600,n,8,2"));
            QTest::qWait(100);  // would a probe still follow?
        } else {
            QVERIFY(finished.wait(60000));
            const auto report = finished.first().first().value<SearchReport>();
            QVERIFY(report.stopped);
            QCOMPARE(report.probesDone, 3);
            QVERIFY2(report.ports.first().verdict.contains(QStringLiteral("the search ended after 3 of ")),
                     qPrintable(report.ports.first().verdict));
            QVERIFY(!rig.search->isRunning());
        }
        QCOMPARE(rig.windowLine.requests().size(), 3);
        QVERIFY(rig.window.isOpen());
        QCOMPARE(rig.window.settings(), QStringLiteral("9600,n,8,2"));
        QCOMPARE(rig.window.commPort(), 1);
        QCOMPARE(rig.window.device(), QStringLiteral("/dev/ttyWIN"));
        QVERIFY(!rig.window.removeEcho());
    }

    // A port that cannot be opened is named with the reason and a port
    // that hangs up is named with its own; the search goes on elsewhere.
    void unusablePortsAreNamedAndOthersSearched()
    {
        SearchRig rig;
        rig.windowLine.devices << DeviceLine::Device{3, QStringLiteral("9600,n,8,2"), 31};
        rig.setUp[QStringLiteral("/dev/ttyGONE")] = [](DeviceLine &line) { line.failOpen = true; };
        rig.setUp[QStringLiteral("/dev/ttyHUP")] = [](DeviceLine &line) {
            line.onTick = [&line](int tick) {
                if (tick == 1 && line.requests().size() == 2)
                    line.hangUp();
            };
        };
        SearchOptions o = SearchRig::options(4);
        o.stopAtFirst = false;
        o.ports << SearchPort{0, QStringLiteral("/dev/ttyGONE"), false}
                << SearchPort{0, QStringLiteral("/dev/ttyHUP"), false};
        const auto report = rig.run(o);
        QVERIFY(report);
        QCOMPARE(report->devices.size(), 1);
        QCOMPARE(report->devices.first().slave, 3);

        const PortReport &gone = report->ports[1];
        QVERIFY(gone.unusable);
        QCOMPARE(gone.verdict, QStringLiteral("/dev/ttyGONE: not searched: ") + *gone.unusable);
        QVERIFY2(gone.unusable->startsWith(QStringLiteral("The device does not exist.")), qPrintable(*gone.unusable));
        QCOMPARE(rig.lines.at(QStringLiteral("/dev/ttyGONE"))->requests().size(), 0);

        const PortReport &lost = report->ports[2];
        QCOMPARE(lost.lost, std::optional<QString>(QStringLiteral("/dev/ttyHUP: hang-up")));
        QVERIFY2(lost.verdict.startsWith(QStringLiteral("/dev/ttyHUP: the port closed itself after 1 of 16 probes "
                                                        "(/dev/ttyHUP: hang-up)")),
                 qPrintable(lost.verdict));
        // Not reopened to go on.
        QCOMPARE(rig.lines.at(QStringLiteral("/dev/ttyHUP"))->openCount, 1);
        QCOMPARE(rig.lines.at(QStringLiteral("/dev/ttyHUP"))->requests().size(), 2);
        QVERIFY(report->anyPortSearched());
        // The window's port went on to the end of its range.
        QCOMPARE(report->ports[0].probesDone, report->ports[0].probesPlanned);
    }

    // With "stop at the first device" off, every device on the line is
    // listed and the whole range searched; a device's address is not
    // probed at other settings once it is found.
    void everyDeviceOnALine()
    {
        SearchRig rig;
        rig.windowLine.devices << DeviceLine::Device{2, QStringLiteral("9600,n,8,2"), 20}
                               << DeviceLine::Device{4, QStringLiteral("9600,n,8,2"), 40};
        SearchOptions o = SearchRig::options(5);
        o.bauds = {9600};
        o.stopAtFirst = false;
        QSignalSpy found(rig.search.get(), &DeviceSearch::deviceFound);
        const auto report = rig.run(o);
        QVERIFY(report);
        QCOMPARE(found.count(), 2);
        QCOMPARE(report->devices.size(), 2);
        QCOMPARE(report->devices[0].slave, 2);
        QCOMPARE(report->devices[0].counter, 20);
        QCOMPARE(report->devices[1].slave, 4);
        QCOMPARE(report->devices[1].counter, 40);
        QStringList sent;
        for (qsizetype i = 0; i < rig.windowLine.requests().size(); ++i)
            sent << QStringLiteral("%1@%2").arg(quint8(rig.windowLine.requests()[i][0]))
                        .arg(rig.windowLine.settingsAtRequest[i]);
        QCOMPARE(sent, (QStringList{"1@9600,n,8,2", "1@9600,e,8,1", "2@9600,n,8,2", "2@9600,n,8,2", "3@9600,n,8,2",
                                    "3@9600,e,8,1", "4@9600,n,8,2", "4@9600,n,8,2", "5@9600,n,8,2",
                                    "5@9600,e,8,1"}));
        QCOMPARE(report->probesDone, report->probesTotal);
        QCOMPARE(report->ports.first().verdict,
                 QStringLiteral("COM1 /dev/ttyWIN: 2 counters/displays found: at address 2, 9600 bps 8N2 (counter "
                                "20); at address 4, 9600 bps 8N2 (counter 40)"));
    }

    // What a line says reaches the port's report: echoes (and whether they
    // were heard, so the dialog can offer echo removal), noise, a device
    // that is not a counter.
    void whatTheLineSaidReachesTheReport_data()
    {
        QTest::addColumn<bool>("echo");
        QTest::addColumn<bool>("removeEcho");
        QTest::addColumn<QStringList>("noiseAt");
        QTest::addColumn<int>("exception");     // the device at 2 answers with it; 0: the counter; -1: none
        QTest::addColumn<QString>("garbleBut"); // the fake's noise at every other setting than these
        QTest::addColumn<QString>("verdict");
        QTest::newRow("echo, no device") << true << false << QStringList() << -1 << QString()
                                         << "COM1 /dev/ttyWIN: every request came back as an echo of itself: the "
                                            "adapter hears its own transmission; turn on echo removal for this port";
        QTest::newRow("echo removed, device at 2")
            << true << true << QStringList() << 0 << QString()
            << "COM1 /dev/ttyWIN: counter/display found at address 2, 9600 bps 8E1 (counter 5)";
        QTest::newRow("echo kept, device at 2")
            << true << false << QStringList() << 0 << QString()
            << "COM1 /dev/ttyWIN: counter/display found at address 2, 9600 bps 8E1 (counter 5); requests came back "
               "as echoes of themselves: turn on echo removal for this port";
        QTest::newRow("noise at 9600 bps only")
            << false << false << QStringList{"9600,n,8,2", "9600,e,8,1"} << -1 << QString()
            << "COM1 /dev/ttyWIN: bytes arrived only at 9600 bps but never as a valid frame: wrong data format or A/B "
               "wires swapped";
        QTest::newRow("exception 02 at address 2")
            << false << false << QStringList() << 2 << QString()
            << "COM1 /dev/ttyWIN: a device answers at address 2 with exception 02 (Illegal Data Address): this is "
               "not a counter/display of this kind";
        QTest::newRow("noise wherever a device at 19200 8E1 does not hear")
            << false << false << QStringList() << -1 << "19200,e,8,1"
            << "COM1 /dev/ttyWIN: only 00/FF bytes or bytes with framing or parity errors arrived, at every baud "
               "rate tried: A/B wires swapped, or a baud rate not tried";
    }
    void whatTheLineSaidReachesTheReport()
    {
        QFETCH(bool, echo);
        QFETCH(bool, removeEcho);
        QFETCH(QStringList, noiseAt);
        QFETCH(int, exception);
        QFETCH(QString, garbleBut);
        QFETCH(QString, verdict);
        SearchRig rig;
        rig.windowLine.echo = echo;
        rig.windowLine.noiseAt = noiseAt;
        if (!garbleBut.isEmpty()) {
            rig.windowLine.deviceSettings = garbleBut;
            rig.windowLine.garbleOnMismatch = true;
        }
        if (exception >= 0)
            rig.windowLine.devices << DeviceLine::Device{2, QStringLiteral("9600,e,8,1"), 5, exception};
        SearchOptions o = SearchRig::options(2);
        o.ports.first().removeEcho = removeEcho;
        const auto report = rig.run(o);
        QVERIFY(report);
        QCOMPARE(report->ports.first().verdict, verdict);
        QCOMPARE(report->ports.first().echoHeard(), echo);
        QCOMPARE(report->ports.first().removeEcho, removeEcho);
        if (!report->devices.isEmpty())
            QCOMPARE(report->devices.first().echo, echo);
    }
};

QTEST_GUILESS_MAIN(TestDeviceSearch)
#include "tst_devicesearch.moc"
