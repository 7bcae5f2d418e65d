// korvane-cli's pure parts: the command line, the target chosen from the
// options and the settings, the outcome of an exchange and its exit status,
// the JSON object, the test's sequence against a scripted device, and the
// watch's period.

#include "Frames.h"
#include "cli/CliOptions.h"
#include "cli/CliTarget.h"
#include "cli/DeviceTest.h"
#include "cli/Find.h"
#include "cli/Outcome.h"
#include "cli/Report.h"
#include "cli/Watch.h"
#include "protocol/crc16.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <unistd.h>

using namespace korvane;
using namespace korvane::cli;
using korvane::test::hex;
using korvane::test::withCRC;

Q_DECLARE_METATYPE(korvane::cli::Outcome)

namespace {

// The options that differ from the defaults, as text: "number -5 |
// port=COM2 json".
QString describe(const Options &o)
{
    QStringList parts{commandName(o.command)};
    switch (o.command) {
    case Command::Number: parts << QString::number(o.number); break;
    case Command::Text: parts << QLatin1Char('"') + o.text + QLatin1Char('"'); break;
    case Command::Output: parts << QString::number(o.output) << (o.on ? "on" : "off"); break;
    case Command::Buzzer: parts << (o.on ? "on" : "off"); break;
    default: break;
    }
    QStringList opts;
    if (o.port)
        opts << "port=" + *o.port;
    if (o.baud)
        opts << "baud=" + QString::number(*o.baud);
    if (o.format)
        opts << "format=" + o.format->name;
    if (o.slave)
        opts << "slave=" + QString::number(*o.slave);
    if (o.settingsFile)
        opts << "settings=" + *o.settingsFile;
    if (o.timeoutMs != 100)
        opts << "timeout=" + QString::number(o.timeoutMs);
    if (o.retries)
        opts << "retries=" + QString::number(o.retries);
    if (o.echo)
        opts << "echo";
    if (o.json)
        opts << "json";
    if (o.verbose)
        opts << "verbose";
    if (o.command == Command::Watch)
        opts << "interval=" + QString::number(o.intervalMs);
    if (o.count)
        opts << "count=" + QString::number(*o.count);
    if (!o.ports.isEmpty())
        opts << "ports=" + o.ports.join(',');
    if (!o.bauds.isEmpty()) {
        QStringList b;
        for (int x : o.bauds)
            b << QString::number(x);
        opts << "bauds=" + b.join(',');
    }
    if (!o.formats.isEmpty()) {
        QStringList f;
        for (const LineFormat &x : o.formats)
            f << x.name;
        opts << "formats=" + f.join(',');
    }
    if (o.firstAddress != 1 || o.lastAddress != 247)
        opts << QStringLiteral("addresses=%1-%2").arg(o.firstAddress).arg(o.lastAddress);
    if (o.waitMs != 100)
        opts << "wait=" + QString::number(o.waitMs);
    if (o.all)
        opts << "all";
    return parts.join(' ') + (opts.isEmpty() ? QString() : " | " + opts.join(' '));
}

// An exchange as the runner records it: the request, what was taken after
// the wait, and the window's status word from the CRC check at the
// request's check index.
// With echoRemoval, the request's echo (or the part of it that came) in
// front of the reply is not judged.
ExchangeRecord exchange(const QByteArray &sent, const QByteArray &taken, int checkIndex, bool echoRemoval = false)
{
    ExchangeRecord r;
    r.time = QDateTime::currentDateTime();
    r.sent = sent;
    r.checkIndex = checkIndex;
    r.taken = taken;
    if (echoRemoval && !taken.isEmpty()) {
        r.echoRemoved = int(taken.startsWith(sent) ? sent.size() : sent.startsWith(taken) ? taken.size() : 0);
        r.echoMissing = r.echoRemoved == 0;
    }
    ModVariables v;
    v.RxData = replyBytes(r);
    r.status = v.RxData.isEmpty() ? Status::Error : CheckCRC(v, checkIndex) ? Status::Success : Status::CrcErr;
    return r;
}

QByteArray frame(const std::function<Request(ModVariables &)> &build, int *checkIndex = nullptr)
{
    ModVariables v;
    const Request r = build(v);
    if (checkIndex)
        *checkIndex = r.checkIndex;
    return v.TxBuf.head(r.length);
}

// A device for the test's sequence: a counter, two outputs and a buzzer,
// and what it does wrong.
struct ScriptedDevice {
    qint32 counter = 0;
    bool on[3] = {false, false, false};
    bool ignoresWrites = false;
    qint32 countsPerRequest = 0;        // a counter that counts on
    QMap<int, Outcome> failures;        // by request number (1, 2, ...)
    std::function<void(int)> during;    // called while request n waits
    QList<TestRequest> requests;

    TestReply send(const TestRequest &r)
    {
        requests << r;
        const int n = int(requests.size());
        if (during)
            during(n);
        TestReply reply;
        reply.elapsedMs = 1;
        if (failures.contains(n)) {
            reply.outcome = failures[n];
            reply.note = "scripted";
            return reply;
        }
        counter += countsPerRequest;
        reply.outcome = Outcome::Ok;
        switch (r.kind) {
        case TestRequest::Kind::Read: reply.value = counter; break;
        case TestRequest::Kind::WriteNumber: if (!ignoresWrites) counter = r.number; break;
        case TestRequest::Kind::Reset: if (!ignoresWrites) counter = 0; break;
        case TestRequest::Kind::Switch: on[r.output - 1] = r.on; break;
        case TestRequest::Kind::WriteText: break;
        }
        return reply;
    }
};

// A settings file's keys as read, from KEY=VALUE texts of [Settings]
// (CommPort, Setting, SlaveID) and [Ports] (COMn, COMnEcho); none: no file.
StoredSettings storedSettings(const QStringList &ini)
{
    StoredSettings stored;
    for (const QString &kv : ini) {
        stored.file = "/etc/korvane.ini";
        const QString key = kv.section('=', 0, 0), value = kv.section('=', 1);
        if (key == "CommPort") stored.commPort = value;
        else if (key == "Setting") stored.setting = value;
        else if (key == "SlaveID") stored.slaveId = value;
        else if (key.endsWith("Echo")) stored.echo[key.mid(3, 1).toInt() - 1] = value;
        else stored.ports[key.mid(3).toInt() - 1] = value;
    }
    return stored;
}

QString requestText(const TestRequest &r)
{
    switch (r.kind) {
    case TestRequest::Kind::Read: return "R";
    case TestRequest::Kind::WriteNumber: return "N" + QString::number(r.number);
    case TestRequest::Kind::Reset: return "Z";
    case TestRequest::Kind::WriteText: return "T";
    case TestRequest::Kind::Switch: return QString(r.output == 3 ? "B" : "O" + QString::number(r.output)) + (r.on ? "+" : "-");
    }
    return {};
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected"); // describe(), "help", "version", or "error: <part of the message>"

        auto row = [](const char *name, const QStringList &args, const QString &expected) {
            QTest::newRow(name) << args << expected;
        };
        // Commands and their arguments.
        row("read", {"read"}, "read");
        row("number -99999: an argument, not an option", {"number", "-99999"}, "number -99999");
        row("number -2147483648", {"number", "-2147483648"}, "number -2147483648");
        row("number 2147483647", {"number", "2147483647"}, "number 2147483647");
        row("number 2147483648: out of range", {"number", "2147483648"}, "error: number \"2147483648\"");
        row("number 1e3", {"number", "1e3"}, "error: number \"1e3\"");
        row("number +5", {"number", "+5"}, "error: number \"+5\"");
        row("number --json: still the argument", {"number", "--json"}, "error: number \"--json\"");
        row("number -- -5", {"number", "--", "-5"}, "number -5");
        row("-- number -5", {"--", "number", "-5"}, "number -5");
        row("text -HI-", {"text", "-HI-"}, "text \"-HI-\"");
        row("text -- --", {"text", "--", "--"}, "text \"--\"");
        row("text empty", {"text", ""}, "text \"\"");
        row("text 6 characters with Euro sign", {"text", "12345\u20AC"}, "text \"12345\u20AC\"");
        row("text 7 characters", {"text", "1234567"}, "error: has 7 characters");
        row("text with o double acute (not Windows-1252)", {"text", "ab\u0151"}, "error: cannot show \"\u0151\"");
        row("text with U+0081 (unassigned in Windows-1252)", {"text", "a\u0081"}, "error: cannot show");
        row("text ? is a character", {"text", "?"}, "text \"?\"");
        row("output 2 on", {"output", "2", "on"}, "output 2 on");
        row("output 1 OFF", {"output", "1", "OFF"}, "output 1 off");
        row("output 3 on", {"output", "3", "on"}, "error: output \"3\"");
        row("output 1 maybe", {"output", "1", "maybe"}, "error: output \"maybe\"");
        row("output 1: on|off missing", {"output", "1"}, "error: output needs 1|2 on|off");
        row("buzzer on", {"buzzer", "on"}, "buzzer on");
        row("number: N missing", {"number"}, "error: number needs N");
        row("nothing", {}, "error: no command given");
        row("unknown command", {"raed"}, "error: unknown command \"raed\"");
        row("read extra", {"read", "extra"}, "error: unexpected argument \"extra\"");
        row("read -- extra", {"read", "--", "extra"}, "error: unexpected argument \"extra\"");
        // Options, before and after the command.
        row("options after the command", {"read", "--port", "COM2", "--json", "-v"}, "read | port=COM2 json verbose");
        row("options on both sides", {"--slave", "5", "number", "-7", "--timeout", "250"},
            "number -7 | slave=5 timeout=250");
        row("--port=PATH", {"--port=/dev/ttyUSB0", "reset"}, "reset | port=/dev/ttyUSB0");
        row("--port tcp://", {"--port", "tcp://192.168.1.50:4001", "read"}, "read | port=tcp://192.168.1.50:4001");
        row("--port tcp:// without a port", {"--port", "tcp://host", "read"}, "error: --port \"tcp://host\"");
        row("--port empty", {"--port", "", "read"}, "error: --port \"\"");
        row("--baud 19200 --format 8e1", {"--baud", "19200", "--format", "8e1", "read"}, "read | baud=19200 format=8E1");
        row("--baud 115200", {"--baud", "115200", "read"}, "error: --baud \"115200\"");
        row("--format 7N1", {"--format", "7N1", "read"}, "error: --format \"7N1\"");
        row("--slave 247", {"--slave", "247", "read"}, "read | slave=247");
        row("--slave 0: broadcast", {"--slave", "0", "read"}, "error: 0 is the broadcast address");
        row("--slave 248", {"--slave", "248", "read"}, "error: --slave \"248\"");
        row("--slave 012", {"--slave", "012", "read"}, "error: --slave \"012\"");
        row("--settings FILE", {"--settings", "/tmp/k.ini", "read"}, "read | settings=/tmp/k.ini");
        row("--timeout 0", {"--timeout", "0", "read"}, "error: --timeout \"0\"");
        row("--retries 3 --echo", {"--retries", "3", "--echo", "read"}, "read | retries=3 echo");
        row("--retries -1", {"--retries", "-1", "read"}, "error: --retries \"-1\"");
        row("unknown option", {"--colour", "read"}, "error: unknown option \"--colour\"");
        row("-x", {"read", "-x"}, "error: unknown option \"-x\"");
        row("--port without its value", {"read", "--port"}, "error: option --port needs a value");
        row("--json=yes", {"--json=yes", "read"}, "error: option --json takes no value");
        // watch and find.
        row("watch: 1 s by default", {"watch"}, "watch | interval=1000");
        row("watch --interval 0.2 --count 20", {"watch", "--interval", "0.2", "--count", "20"},
            "watch | interval=200 count=20");
        row("watch: a longer timeout is the default interval", {"watch", "--timeout", "2500"},
            "watch | timeout=2500 interval=2500");
        row("watch --interval shorter than the timeout", {"watch", "--interval", "0.05"},
            "error: --interval 0.05 is shorter than the timeout");
        row("watch --interval 1,5", {"watch", "--interval", "1,5"}, "error: --interval \"1,5\"");
        row("watch --count 0", {"watch", "--count", "0"}, "error: --count \"0\"");
        row("--interval on read", {"read", "--interval", "2"}, "error: --interval is for watch only");
        row("find with its options", {"find", "--ports", "COM1,/dev/ttyUSB1,tcp://h:4001", "--bauds", "19200,4800",
                                      "--formats", "8e1", "--addresses", "5-9", "--wait", "50", "--all"},
            "find | ports=COM1,/dev/ttyUSB1,tcp://h:4001 bauds=19200,4800 formats=8E1 addresses=5-9 wait=50 all");
        row("find --addresses 9-5", {"find", "--addresses", "9-5"}, "error: --addresses \"9-5\"");
        row("find --addresses 0-5", {"find", "--addresses", "0-5"}, "error: --addresses \"0-5\"");
        row("find --bauds 9600,300", {"find", "--bauds", "9600,300"}, "error: --bauds \"9600,300\"");
        row("--all on read", {"--all", "read"}, "error: --all is for find only");
        // Help, version and the first mistake.
        row("--help alone", {"--help"}, "help");
        row("read --help", {"read", "--help"}, "help");
        row("-h", {"-h"}, "help");
        row("--version", {"--version"}, "version");
        row("number --help: the number argument", {"number", "--help"}, "error: number \"--help\"");
        row("a mistake before --help decides", {"--colour", "--help"}, "error: unknown option");
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const ParsedCommandLine p = parseCommandLine(arguments);
        QString got;
        switch (p.action) {
        case ParsedCommandLine::Action::Run: got = describe(p.options); break;
        case ParsedCommandLine::Action::Help: got = "help"; break;
        case ParsedCommandLine::Action::Version: got = "version"; break;
        case ParsedCommandLine::Action::Error: got = "error: " + p.error; break;
        }
        if (expected.startsWith("error: ")) {
            QVERIFY2(got.startsWith("error: ") && got.contains(expected.mid(7)), qPrintable(got));
            // One line, naming --help.
            QVERIFY(!p.error.contains('\n'));
            QVERIFY(usageErrorLine(p.error).endsWith("(see korvane-cli --help)"));
        } else {
            QCOMPARE(got, expected);
        }
    }

    void target_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("ini");      // KEY=VALUE of [Settings] and [Ports]; empty: no file
        QTest::addColumn<QString>("expected");     // "COM2 /dev/ttyUSB3 19200,e,8,1 slave 7 [echo]" or "error: ..."

        auto row = [](const char *name, const QStringList &args, const QStringList &ini, const QString &expected) {
            QTest::newRow(name) << args << ini << expected;
        };
        const QStringList stored{"CommPort=2", "Setting=19200,e,8,1", "SlaveID=7", "COM2=/dev/ttyUSB3"};
        row("no settings file: COM1, its default device, 9600,n,8,2, slave 1", {}, {}, "COM1 - 9600,n,8,2 slave 1");
        row("the settings file", {}, stored, "COM2 /dev/ttyUSB3 19200,e,8,1 slave 7");
        row("--baud keeps the stored format", {"--baud", "4800"}, stored, "COM2 /dev/ttyUSB3 4800,e,8,1 slave 7");
        row("--format keeps the stored baud rate", {"--format", "8O1"}, stored, "COM2 /dev/ttyUSB3 19200,o,8,1 slave 7");
        row("--slave over the stored one", {"--slave", "9"}, stored, "COM2 /dev/ttyUSB3 19200,e,8,1 slave 9");
        row("--port com2: through [Ports]", {"--port", "com2"}, {"COM2=/dev/ttyACM0"}, "COM2 /dev/ttyACM0 9600,n,8,2 slave 1");
        row("--port PATH", {"--port", "/dev/pts/4"}, stored, "/dev/pts/4 /dev/pts/4 19200,e,8,1 slave 7");
        row("--port bare name", {"--port", "ttyUSB0"}, {}, "ttyUSB0 ttyUSB0 9600,n,8,2 slave 1");
        row("--port COM7", {"--port", "COM7"}, {}, "error: only COM1 to COM6");
        row("stored SlaveID=0: never a broadcast", {}, {"SlaveID=0"}, "error: SlaveID=\"0\" is the broadcast address");
        row("stored SlaveID=0 replaced by --slave", {"--slave", "3"}, {"SlaveID=0"}, "COM1 - 9600,n,8,2 slave 3");
        row("stored SlaveID=300", {}, {"SlaveID=300"}, "error: SlaveID=\"300\" is not a slave address");
        row("stored SlaveID=012, as the window reads it", {}, {"SlaveID=012"}, "COM1 - 9600,n,8,2 slave 12");
        row("stored CommPort=9", {}, {"CommPort=9"}, "error: CommPort=\"9\" is not a port number");
        row("stored CommPort=9 replaced by --port", {"--port", "COM3"}, {"CommPort=9"}, "COM3 - 9600,n,8,2 slave 1");
        row("stored Setting=fast", {}, {"Setting=fast"}, "error: give --baud and --format");
        row("stored Setting=fast, --baud alone", {"--baud", "9600"}, {"Setting=fast"}, "error: give --baud and --format");
        row("stored Setting=fast replaced by both", {"--baud", "9600", "--format", "8E1"}, {"Setting=fast"},
            "COM1 - 9600,e,8,1 slave 1");
        row("COM2Echo=1", {}, {"CommPort=2", "COM2Echo=1"}, "COM2 - 9600,n,8,2 slave 1 echo");
        row("COM1Echo=1 is not COM2's", {}, {"CommPort=2", "COM1Echo=1"}, "COM2 - 9600,n,8,2 slave 1");
        row("--echo", {"--echo", "--port", "/dev/pts/2"}, {}, "/dev/pts/2 /dev/pts/2 9600,n,8,2 slave 1 echo");
    }
    void target()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, ini);
        QFETCH(QString, expected);
        const StoredSettings stored = storedSettings(ini);
        const ParsedCommandLine p = parseCommandLine(arguments + QStringList{"read"});
        QCOMPARE(p.action, ParsedCommandLine::Action::Run);
        const TargetChoice c = chooseTarget(p.options, stored);
        if (expected.startsWith("error: ")) {
            QVERIFY2(!c.target && c.error.contains(expected.mid(7)), qPrintable(c.error));
            return;
        }
        QVERIFY2(c.target, qPrintable(c.error));
        const Target &t = *c.target;
        QString got = QStringLiteral("%1 %2 %3 slave %4").arg(t.portName, t.device.isEmpty() ? "-" : t.device, t.line)
                          .arg(t.slave);
        if (t.echo)
            got += " echo";
        QCOMPARE(got, expected);
        QCOMPARE(t.commPort, comNumber(t.portName).value_or(1));
    }

    // The settings file read: --settings must name a readable file; the
    // keys come from [Settings] and [Ports].
    void settingsFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("korvane.ini");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Settings]\r\nCommPort=3\r\nSetting=4800,o,8,1\r\nSlaveID=17\r\n[Ports]\r\nCOM3=tcp://10.0.0.5:4001\r\n"
                "COM3Echo=1\r\n");
        f.close();
        Options o;
        o.settingsFile = path;
        QCOMPARE(chooseSettingsFileToRead(o).file, path);
        const StoredSettings s = readStoredSettings(path);
        QCOMPARE(QStringList({s.commPort, s.setting, s.slaveId, s.ports[2], s.echo[2]}),
                 QStringList({"3", "4800,o,8,1", "17", "tcp://10.0.0.5:4001", "1"}));

        o.settingsFile = dir.filePath("missing.ini");
        QVERIFY(chooseSettingsFileToRead(o).error.contains("missing.ini: no such settings file"));
        o.settingsFile = dir.path();
        QVERIFY(chooseSettingsFileToRead(o).error.contains("a folder"));
        if (::geteuid() != 0) { // root reads any file
            QVERIFY(f.setPermissions(QFile::WriteOwner));
            o.settingsFile = path;
            QVERIFY(chooseSettingsFileToRead(o).error.contains("cannot read"));
        }
    }

    void outcome_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<int>("checkIndex");
        QTest::addColumn<QByteArray>("taken");
        QTest::addColumn<bool>("echoRemoval");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<int>("exit");

        int readK = 0, resetK = 0, numberK = 0;
        const QByteArray read = frame([](ModVariables &v) { return buildReadCounter(v, 1); }, &readK);
        const QByteArray reset = frame([](ModVariables &v) { return buildResetCounter(v, 1); }, &resetK);
        const QByteArray number = frame([](ModVariables &v) { return buildWriteNumber(v, 1, 5); }, &numberK);
        auto row = [](const char *name, const QByteArray &sent, int k, const QByteArray &taken, Outcome o, int exit,
                      bool echoRemoval = false) {
            QTest::newRow(name) << sent << k << taken << echoRemoval << o << exit;
        };
        row("01 03 04 00 00 00 05 3A 30: ok", read, readK, hex("01 03 04 00 00 00 05 3A 30"), Outcome::Ok, 0);
        row("01 03 04 00 00 00 05 3A 30 00 FF: ok, noise after it", read, readK,
            hex("01 03 04 00 00 00 05 3A 30 00 FF"), Outcome::Ok, 0);
        row("nothing: no-reply", read, readK, QByteArray(), Outcome::NoReply, 1);
        row("01 03 04 00 00 00 05 3A 31: bad-crc", read, readK, hex("01 03 04 00 00 00 05 3A 31"), Outcome::BadCrc, 3);
        row("01 03 04 00 00: short", read, readK, hex("01 03 04 00 00"), Outcome::Short, 3);
        row("01 03 02 00 05 + CRC: a whole frame, too few bytes", read, readK, withCRC(hex("01 03 02 00 05")),
            Outcome::Short, 3);
        row("01 83 02 C0 F1: exception", read, readK, hex("01 83 02 C0 F1"), Outcome::Exception, 3);
        row("01 83 02 C0 F0: exception, bad CRC", read, readK, hex("01 83 02 C0 F0"), Outcome::BadCrc, 3);
        row("01 83: exception cut short", read, readK, hex("01 83"), Outcome::Short, 3);
        row("07 03 04 00 00 00 05 + CRC: other-slave", read, readK, withCRC(hex("07 03 04 00 00 00 05")),
            Outcome::OtherSlave, 3);
        row("07 83 02 + CRC: another slave's exception", read, readK, withCRC(hex("07 83 02")), Outcome::OtherSlave, 3);
        row("01 06 00 00 00 01 + CRC to a read: other-function", read, readK, withCRC(hex("01 06 00 00 00 01")),
            Outcome::OtherFunction, 3);
        row("01 04 04 00 00 00 05 + CRC to a read: other-function", read, readK, withCRC(hex("01 04 04 00 00 00 05")),
            Outcome::OtherFunction, 3);
        row("01 03 00 00 00 02 C4 0B back: echo-only", read, readK, read, Outcome::EchoOnly, 1);
        row("01 03 00 00 00 02 C4 0B 01 03 04 ...: echo, then the reply", read, readK,
            read + hex("01 03 04 00 00 00 05 3A 30"), Outcome::BadCrc, 3);
        row("01 05 00 02 FF 00 2D FA back: a reset's own reply", reset, resetK, reset, Outcome::Ok, 0);
        row("01 10 ... 13 bytes back: echo-only", number, numberK, number, Outcome::EchoOnly, 1);
        row("01 10 00 00 00 02 + CRC: number written", number, numberK, withCRC(number.left(6)), Outcome::Ok, 0);
        row("nothing sent: not-sent", QByteArray(), 0, QByteArray(), Outcome::NotSent, 4);
        // Echo removal on: the request's bytes in front are not the reply.
        const QByteArray counter5 = hex("01 03 04 00 00 00 05 3A 30");
        row("echo removal: echo, then 01 03 04 ... 3A 30: ok", read, readK, read + counter5, Outcome::Ok, 0, true);
        row("echo removal: the echo alone: echo-only", read, readK, read, Outcome::EchoOnly, 1, true);
        row("echo removal: 01 03 00, part of the echo: echo-only", read, readK, hex("01 03 00"), Outcome::EchoOnly, 1,
            true);
        row("echo removal: 01 05 00 02 FF 00 2D FA once: echo-only", reset, resetK, reset, Outcome::EchoOnly, 1, true);
        row("echo removal: 01 05 ... twice: ok", reset, resetK, reset + reset, Outcome::Ok, 0, true);
        row("echo removal: echo, then 01 83 02 C0 F1: exception", read, readK, read + hex("01 83 02 C0 F1"),
            Outcome::Exception, 3, true);
        row("echo removal: no echo, 01 03 04 ... 3A 30 judged whole: ok", read, readK, counter5, Outcome::Ok, 0, true);
    }
    void outcome()
    {
        QFETCH(QByteArray, sent);
        QFETCH(int, checkIndex);
        QFETCH(QByteArray, taken);
        QFETCH(bool, echoRemoval);
        QFETCH(Outcome, outcome);
        QFETCH(int, exit);
        ExchangeRecord r = exchange(sent, taken, checkIndex, echoRemoval);
        if (sent.isEmpty()) {
            r.notSent = NotSent::PortClosed;
            r.notSentDetail = "/dev/ttyUSB9: No such file or directory";
        }
        QCOMPARE(classifyExchange(r), outcome);
        QCOMPARE(exitCode(outcome), exit);
    }

    // One request's JSON: the keys in their order, with the types a
    // script expects; value null unless a counter was read.
    void requestJson()
    {
        RequestResult read;
        read.record = exchange(hex("01 03 00 00 00 02 C4 0B"), hex("01 03 04 00 00 00 05 3A 30"), 6);
        read.record.command = "read";
        read.record.device = "/dev/ttyUSB0";
        read.outcome = Outcome::Ok;
        read.value = 5;
        read.elapsedMs = 12.345;
        RequestResult text;
        text.record = exchange(QByteArray(), QByteArray(), 0);
        text.record.command = "text \"Hé\\";
        text.record.notSent = NotSent::PortClosed;
        text.outcome = Outcome::NotSent;
        const ReportContext context{"COM1", "9600,n,8,2", 1};

        const QStringList keys{"time", "port", "device", "slave", "line", "command", "sent", "received",
                               "status", "note", "value", "elapsed_ms"};
        for (const RequestResult *r : {&read, &text}) {
            const QString line = jsonLine(requestFields(context, *r));
            QVERIFY(!line.contains('\n'));
            QJsonParseError error;
            const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
            QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(line));
            const QJsonObject o = doc.object();
            QCOMPARE(o.keys().size(), keys.size());
            // In this order on the line.
            qsizetype at = 0;
            for (const QString &key : keys) {
                const qsizetype next = line.indexOf('"' + key + "\":", at);
                QVERIFY2(next >= at, qPrintable(key));
                at = next;
            }
            QVERIFY(QDateTime::fromString(o["time"].toString(), Qt::ISODateWithMs).isValid());
            QCOMPARE(o["port"].toString(), "COM1");
            QCOMPARE(o["slave"].toInt(), 1);
            QCOMPARE(o["line"].toString(), "9600,n,8,2");
            QCOMPARE(o["command"].toString(), r->record.command);
            QCOMPARE(o["status"].toString(), outcomeName(r->outcome));
            QCOMPARE(o["note"].toString(), explainExchange(r->record));
            QVERIFY(o["elapsed_ms"].isDouble());
        }
        const QJsonObject o = QJsonDocument::fromJson(jsonLine(requestFields(context, read)).toUtf8()).object();
        QCOMPARE(o["sent"].toString(), "01 03 00 00 00 02 C4 0B");
        QCOMPARE(o["received"].toString(), "01 03 04 00 00 00 05 3A 30");
        QCOMPARE(o["value"].toInt(), 5);
        QCOMPARE(o["elapsed_ms"].toDouble(), 12.3);
        QVERIFY(QJsonDocument::fromJson(jsonLine(requestFields(context, text)).toUtf8()).object()["value"].isNull());
    }

    // The test's sequence on a scripted device: the requests in order,
    // the verdict and failed steps, and the device left as found (counter
    // as first read, outputs and buzzer off), also when interrupted.
    void deviceTest_data()
    {
        QTest::addColumn<qint32>("counter");
        QTest::addColumn<bool>("ignoresWrites");
        QTest::addColumn<qint32>("counting");
        QTest::addColumn<int>("failAt");        // request that fails with no-reply (0: none)
        QTest::addColumn<int>("interruptAt");   // request during which a signal comes (0: none)
        QTest::addColumn<QString>("requests");  // R read, N write number, Z reset, T text, O1+ output 1 on, B- buzzer off
        QTest::addColumn<QString>("failed");    // failed steps, comma separated
        QTest::addColumn<bool>("passed");

        const QString all = "R N123456 R N1234 T O1+ O1- O2+ O2- B+ B- R";
        QTest::newRow("good device") << 1234 << false << 0 << 0 << 0 << all << "" << true;
        QTest::newRow("counter 0: reset, not a write of 0")
            << 0 << false << 0 << 0 << 0 << "R N123456 R Z T O1+ O1- O2+ O2- B+ B- R" << "" << true;
        QTest::newRow("counter near 123456: the other number")
            << 123400 << false << 0 << 0 << 0 << "R N654321 R N123400 T O1+ O1- O2+ O2- B+ B- R" << "" << true;
        QTest::newRow("a counter that counts on (first read 1235)")
            << 1234 << false << 1 << 0 << 0 << "R N123456 R N1235 T O1+ O1- O2+ O2- B+ B- R" << "" << true;
        QTest::newRow("device ignores writes") << 1234 << true << 0 << 0 << 0 << all << "read back 123456" << false;
        QTest::newRow("no reply to output 2 on") << 1234 << false << 0 << 8 << 0 << all << "output 2 on" << false;
        QTest::newRow("first read fails: nothing else sent") << 1234 << false << 0 << 1 << 0 << "R" << "read counter"
                                                             << false;
        QTest::newRow("restore fails: the last read says so")
            << 1234 << false << 0 << 4 << 0 << all << "restore counter 1234,read counter again" << false;
        QTest::newRow("interrupted during the write: restored, outputs off")
            << 1234 << false << 0 << 0 << 2 << "R N123456 N1234 O1- O2- B-" << "" << false;
        QTest::newRow("interrupted during the first read: outputs off")
            << 1234 << false << 0 << 0 << 1 << "R O1- O2- B-" << "" << false;
        QTest::newRow("interrupted with output 1 on: no second restore")
            << 1234 << false << 0 << 0 << 6 << "R N123456 R N1234 T O1+ O1- O2- B-" << "" << false;
        QTest::newRow("interrupted with output 2 switched off") << 1234 << false << 0 << 0 << 9
                                                               << "R N123456 R N1234 T O1+ O1- O2+ O2- B-" << ""
                                                               << false;
    }
    void deviceTest()
    {
        QFETCH(qint32, counter);
        QFETCH(bool, ignoresWrites);
        QFETCH(qint32, counting);
        QFETCH(int, failAt);
        QFETCH(int, interruptAt);
        QFETCH(QString, requests);
        QFETCH(QString, failed);
        QFETCH(bool, passed);

        ScriptedDevice device;
        device.counter = counter;
        device.on[0] = device.on[1] = device.on[2] = true; // as another program left them
        device.ignoresWrites = ignoresWrites;
        device.countsPerRequest = counting;
        if (failAt)
            device.failures[failAt] = Outcome::NoReply;
        QList<TestStep> reported;
        DeviceTest test([&](const TestRequest &r) { return device.send(r); },
                        [&](const TestStep &s) { reported << s; });
        device.during = [&](int n) {
            if (n == interruptAt)
                test.interrupt();
        };
        test.run();

        QStringList sent;
        for (const TestRequest &r : device.requests)
            sent << requestText(r);
        QCOMPARE(sent.join(' '), requests);
        QCOMPARE(test.failures().join(','), failed);
        QCOMPARE(test.passed(), passed);
        QCOMPARE(reported.size(), device.requests.size());
        QCOMPARE(test.interrupted(), interruptAt > 0);
        if (!failAt || failAt > 1) {
            QVERIFY2(qAbs(device.counter - counter) <= DeviceTest::CountingTolerance || failAt == 4,
                     qPrintable(QString::number(device.counter)));
            if (!passed && !failAt)
                QVERIFY(!device.on[0] && !device.on[1] && !device.on[2]);
        }
        if (passed) {
            QCOMPARE(test.passedSteps(), DeviceTest::plannedSteps());
            if (!counting)
                QCOMPARE(device.counter, counter);
            QVERIFY(!device.on[0] && !device.on[1] && !device.on[2]);
        }
    }

    // A second signal ends the wait: nothing more is sent.
    void deviceTestAborted()
    {
        ScriptedDevice device;
        device.counter = 7;
        int replies = 0;
        DeviceTest test(
            [&](const TestRequest &r) {
                TestReply reply = device.send(r);
                reply.aborted = ++replies == 3;
                return reply;
            },
            {});
        test.run();
        QCOMPARE(device.requests.size(), 3);
        QVERIFY(!test.passed());
    }

    void firstReadNotSent()
    {
        ScriptedDevice device;
        device.failures[1] = Outcome::NotSent;
        DeviceTest test([&](const TestRequest &r) { return device.send(r); }, {});
        test.run();
        QVERIFY(test.nothingSent());
        QCOMPARE(device.requests.size(), 1);
    }

    // What find asks the search for: the ports (a COM number through
    // [Ports]), echo removal, and the address and line settings in use tried
    // first where they can be used.
    void findOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("ini");   // as for target(): KEY=VALUE
        QTest::addColumn<QString>("expected");  // "PORTS | current ADDRESS SETTINGS | ..." or "error: ..."

        auto row = [](const char *name, const QStringList &args, const QStringList &ini, const QString &expected) {
            QTest::newRow(name) << args << ini << expected;
        };
        const QStringList stored{"CommPort=2", "Setting=19200,e,8,1", "SlaveID=7", "COM2=/dev/ttyUSB3", "COM2Echo=1"};
        row("no settings: COM1's default device, all settings, 1-247", {}, {},
            "COM1=/dev/ttyS0 | current 0 9600,n,8,2 | 4800,9600,19200 8N2,8E1,8O1 1-247 wait 100 first");
        row("the settings file's port, echo, address and line", {}, stored,
            "COM2=/dev/ttyUSB3 echo | current 7 19200,e,8,1 | 4800,9600,19200 8N2,8E1,8O1 1-247 wait 100 first");
        row("--port PATH", {"--port", "/dev/pts/3"}, stored,
            "/dev/pts/3 | current 7 19200,e,8,1 | 4800,9600,19200 8N2,8E1,8O1 1-247 wait 100 first");
        row("--ports over --port, with --echo", {"--port", "/dev/pts/3", "--ports", "COM1,ttyUSB1,tcp://h:4001", "--echo"},
            {"COM1=/dev/ttyACM0"},
            "COM1=/dev/ttyACM0 echo, ttyUSB1 echo, tcp://h:4001 echo | current 0 9600,n,8,2 | "
            "4800,9600,19200 8N2,8E1,8O1 1-247 wait 100 first");
        row("the choices", {"--bauds", "19200", "--formats", "8O1,8N2", "--addresses", "5-9", "--wait", "40", "--all",
                            "--slave", "6", "--baud", "4800"}, {},
            "COM1=/dev/ttyS0 | current 6 4800,n,8,2 | 19200 8O1,8N2 5-9 wait 40 all");
        row("stored SlaveID=0 and Setting=fast are not tried first", {}, {"SlaveID=0", "Setting=fast"},
            "COM1=/dev/ttyS0 | current 0 9600,n,8,2 | 4800,9600,19200 8N2,8E1,8O1 1-247 wait 100 first");
        row("stored CommPort=9", {}, {"CommPort=9"}, "error: CommPort=\"9\" is not a port number");
        row("--ports COM7", {"--ports", "COM7"}, {}, "error: only COM1 to COM6");
        row("a port listed twice", {"--ports", "ttyUSB0,/dev/ttyUSB0"}, {}, "error: is listed twice");
    }
    void findOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, ini);
        QFETCH(QString, expected);
        const StoredSettings stored = storedSettings(ini);
        const ParsedCommandLine p = parseCommandLine(arguments + QStringList{"find"});
        QCOMPARE(p.action, ParsedCommandLine::Action::Run);
        const FindChoice c = cli::findOptions(p.options, stored);
        if (expected.startsWith("error: ")) {
            QVERIFY2(c.error.contains(expected.mid(7)), qPrintable(c.error));
            return;
        }
        QVERIFY2(c.error.isEmpty(), qPrintable(c.error));
        const SearchOptions &s = c.options;
        QStringList ports, bauds;
        for (const SearchPort &port : s.ports)
            ports << (port.commPort ? QStringLiteral("COM%1=").arg(port.commPort) : QString()) + port.device
                         + (port.removeEcho ? " echo" : "");
        for (int b : s.bauds)
            bauds << QString::number(b);
        QCOMPARE(QStringLiteral("%1 | current %2 %3 | %4 %5 %6-%7 wait %8 %9")
                     .arg(ports.join(", ")).arg(s.currentAddress).arg(s.currentSettings, bauds.join(','),
                                                                       s.formats.join(','))
                     .arg(s.firstAddress).arg(s.lastAddress).arg(s.probeWaitMs)
                     .arg(s.stopAtFirst ? "first" : "all"),
                 expected);
    }

    void watchSlot_data()
    {
        QTest::addColumn<qint64>("due");
        QTest::addColumn<qint64>("elapsed");
        QTest::addColumn<qint64>("index");
        QTest::addColumn<qint64>("skipped");
        // Interval 200 ms.
        QTest::newRow("first read at once") << qint64(0) << qint64(0) << qint64(0) << qint64(0);
        QTest::newRow("read 3 due at 600, now 450: wait for it") << qint64(3) << qint64(450) << qint64(3) << qint64(0);
        QTest::newRow("read 3 exactly on time") << qint64(3) << qint64(600) << qint64(3) << qint64(0);
        QTest::newRow("previous read ended at 601: read 3 skipped") << qint64(3) << qint64(601) << qint64(4) << qint64(1);
        QTest::newRow("overran by three periods") << qint64(3) << qint64(1150) << qint64(6) << qint64(3);
    }
    void watchSlot()
    {
        QFETCH(qint64, due);
        QFETCH(qint64, elapsed);
        QFETCH(qint64, index);
        QFETCH(qint64, skipped);
        const WatchSlot s = nextWatchSlot(due, 200, elapsed);
        QCOMPARE(s.index, index);
        QCOMPARE(s.skipped, skipped);
    }

    // Change and rate from the last good read; a failed read changes
    // neither; the summary has the totals.
    void watchTally()
    {
        WatchTally t;
        QStringList lines;
        auto add = [&](qint64 at, std::optional<qint32> value, qint64 skipped = 0) {
            lines << watchLine("T", {at, value}, t.add({at, value}, skipped), "no-reply: none");
        };
        add(0, 100);
        add(1000, 103);
        add(2000, std::nullopt);
        add(4000, 99, 1);
        QCOMPARE(lines, QStringList({"T  100  -  -", "T  103  +3  +180.0/min", "T  FAIL  no-reply: none",
                                     "T  99  -4  -80.0/min"}));
        QVERIFY(t.lastSucceeded());
        QCOMPARE(t.summaryText(), "watch: 4 reads, 1 failed, 1 skipped; first 100, last 99, change -1");
        add(5000, std::nullopt);
        QVERIFY(!t.lastSucceeded());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
