// korvane-cli end to end: the real program, started as a process, against
// the device simulator on a pseudo-terminal. What the simulator received
// (its --trace lines) and did, what the program printed and its exit
// status, for every command, the faults, ports that cannot be used, the
// JSON, the test (also interrupted) and watch.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

constexpr int Patience = 30000; // ms; only bounds a hang

// The simulator and the lines it prints.
class Sim {
public:
    ~Sim()
    {
        if (proc.state() != QProcess::NotRunning) {
            proc.terminate();
            if (!proc.waitForFinished(Patience))
                proc.kill();
            proc.waitForFinished(Patience);
        }
    }

    bool start(const QStringList &args)
    {
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(QStringLiteral(KORVANE_DEVSIM_PATH), QStringList{"--rate", "0", "--trace"} + args);
        if (!proc.waitForStarted(Patience))
            return false;
        proc.closeWriteChannel();
        if (!waitFor("config: "))
            return false;
        device = lines.first().mid(8);
        return lines.first().startsWith("device: ");
    }

    void collect()
    {
        while (proc.canReadLine())
            lines << QString::fromUtf8(proc.readLine()).trimmed();
    }

    // Waits for a line that starts with text (any line so far counts).
    bool waitFor(const QString &text)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            collect();
            for (const QString &l : lines) {
                if (l.startsWith(text))
                    return true;
            }
            if (t.elapsed() > Patience || proc.state() == QProcess::NotRunning)
                return false;
            proc.waitForReadyRead(100);
        }
    }

    // The lines after the start-up report, without those of requests, of
    // what was sent back and of queued behaviours.
    QStringList effects()
    {
        collect();
        QStringList out;
        for (const QString &l : lines.mid(lines.indexOf(lines.filter("config: ").value(0)) + 1)) {
            if (!l.startsWith("request ") && !l.startsWith("tx: ") && !l.startsWith("echo: ") && !l.startsWith("queued: "))
                out << l;
        }
        return out;
    }

    QProcess proc;
    QString device;
    QStringList lines;
};

struct Result {
    int exit = -1;
    QString out;
    QString err;
};

Result runCli(const QStringList &args, const std::function<void(QProcess &)> &during = {})
{
    QProcess p;
    p.start(QStringLiteral(KORVANE_CLI_PATH), args);
    Result r;
    if (!p.waitForStarted(Patience))
        return r;
    if (during)
        during(p);
    if (!p.waitForFinished(Patience)) {
        p.kill();
        p.waitForFinished();
    }
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// A settings file with COM1 mapped to device.
QString writeSettings(const QTemporaryDir &dir, const QString &device)
{
    const QString path = dir.filePath("korvane.ini");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write("[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n[Ports]\r\nCOM1=" + device.toUtf8() + "\r\n");
    return path;
}

} // namespace

class TestCliE2E : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // No user's settings file may take part.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    }

    // Each command's frame as the simulator received it, what the device
    // did, the program's output and status; the faults and their status.
    void commands_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("simulator"); // the simulator's options (--script: behaviours for the requests)
        QTest::addColumn<int>("exit");
        QTest::addColumn<QStringList>("effects"); // the simulator's lines, in order ("rx: ..." the frames)
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");      // part of standard error ("" : nothing at all)

        auto row = [](const char *name, const QStringList &args, const QString &script, int exit,
                      const QStringList &effects, const QString &out, const QString &err = {}) {
            const QStringList simulator = script.startsWith("--") ? script.split(' ')
                                        : script.isEmpty()       ? QStringList()
                                                                 : QStringList{"--script", script};
            QTest::newRow(name) << args << simulator << exit << effects << out << err;
        };
        row("read: 01 03 00 00 00 02 C4 0B", {"read"}, "", 0,
            {"rx: 01 03 00 00 00 02 C4 0B", "counter: 1234"}, "1234\n");
        row("reset: 01 05 00 02 FF 00 2D FA", {"reset"}, "", 0,
            {"rx: 01 05 00 02 FF 00 2D FA", "counter: reset to 0"}, "");
        row("number -99999: 01 10 00 00 00 02 04 FF FE 79 61 ...", {"number", "-99999"}, "", 0,
            {"rx: 01 10 00 00 00 02 04 FF FE 79 61 40 33", "display: number -99999"}, "");
        row("number 1000000: sent, with a note", {"number", "1000000", "--"}, "", 0,
            {"rx: 01 10 00 00 00 02 04 00 0F 42 40 F2 FC", "display: number 1000000"}, "",
            "the display cannot show it");
        row("text AB: right-aligned", {"text", "AB"}, "", 0,
            {"rx: 01 10 00 02 00 03 06 20 20 20 20 41 42 7B 86", "display: text \"    AB\""}, "");
        row("output 1 on: 01 05 00 00 FF 00 8C 3A", {"output", "1", "on"}, "", 0,
            {"rx: 01 05 00 00 FF 00 8C 3A", "output 1: on"}, "");
        row("output 2 off: 01 05 00 01 00 00 9C 0A", {"output", "2", "off"}, "", 0,
            {"rx: 01 05 00 01 00 00 9C 0A", "output 2: off"}, "");
        row("buzzer on: 01 05 00 03 FF 00 7C 3A", {"buzzer", "on"}, "", 0,
            {"rx: 01 05 00 03 FF 00 7C 3A", "buzzer: on"}, "");
        row("--slave 9: the device at 1 stays silent", {"read", "--slave", "9"}, "", 1,
            {"rx: 09 03 00 00 00 02 C5 43"}, "", "read: no-reply: no reply within the wait");
        row("silence: exit 1", {"read"}, "noreply", 1, {"rx: 01 03 00 00 00 02 C4 0B"}, "", "no-reply");
        row("corrupt reply: exit 3", {"read"}, "crc", 3, {"rx: 01 03 00 00 00 02 C4 0B", "counter: 1234"}, "",
            "read: bad-crc: CRC expected");
        row("exception 02: exit 3", {"read"}, "exception:2", 3, {"rx: 01 03 00 00 00 02 C4 0B"}, "",
            "read: exception: Modbus exception 02 Illegal Data Address");
        row("reply from slave 7: exit 3", {"reset"}, "slave:7", 3,
            {"rx: 01 05 00 02 FF 00 2D FA", "counter: reset to 0"}, "", "reset: other-slave");
        row("--retries 1 after silence", {"read", "--retries", "1"}, "noreply", 0,
            {"rx: 01 03 00 00 00 02 C4 0B", "rx: 01 03 00 00 00 02 C4 0B", "counter: 1234"}, "1234\n");
        row("a delayed reply within --timeout", {"read", "--timeout", "1000"}, "delay:300", 0,
            {"rx: 01 03 00 00 00 02 C4 0B", "counter: 1234"}, "1234\n");
        // An adapter that hears itself (the simulator echoes each request).
        row("echo: --echo removes it", {"read", "--echo"}, "--echo", 0, {"rx: 01 03 00 00 00 02 C4 0B", "counter: 1234"},
            "1234\n");
        row("echo without --echo: the reply fails, with a hint", {"read"}, "--echo", 3,
            {"rx: 01 03 00 00 00 02 C4 0B", "counter: 1234"}, "", "try --echo");
        row("echo of a reset: --echo waits for the reply itself", {"reset", "--echo"}, "--echo", 0,
            {"rx: 01 05 00 02 FF 00 2D FA", "counter: reset to 0"}, "");
        // Usage errors: a message, status 2, nothing sent.
        row("--slave 0: usage error", {"--slave", "0", "read"}, "", 2, {}, "", "broadcast address");
        row("text too long: usage error", {"text", "1234567"}, "", 2, {}, "", "at most 6");
        row("unknown command", {"reed"}, "", 2, {}, "", "korvane-cli: unknown command \"reed\" (see korvane-cli --help)");
    }
    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, simulator);
        QFETCH(int, exit);
        QFETCH(QStringList, effects);
        QFETCH(QString, out);
        QFETCH(QString, err);

        Sim sim;
        QVERIFY(sim.start(QStringList{"--counter", "1234"} + simulator));
        QTemporaryDir dir;
        const Result r = runCli(QStringList{"--settings", writeSettings(dir, sim.device)} + arguments);
        QCOMPARE(r.exit, exit);
        QCOMPARE(r.out, out);
        if (err.isEmpty())
            QCOMPARE(r.err, QString());
        else
            QVERIFY2(r.err.contains(err), qPrintable(r.err));
        QVERIFY(r.err.count('\n') <= 2);
        // The simulator has printed all it will (its lines follow a request at once).
        if (!effects.isEmpty())
            QVERIFY(sim.waitFor(effects.last()));
        QCOMPARE(sim.effects(), effects);
    }

    // A port that cannot be used: status 4 with the reason, and a file
    // that is no terminal is not written to.
    void portsThatCannotBeUsed_data()
    {
        QTest::addColumn<QString>("port");  // "FILE": a regular file; "DIR": a folder
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing device") << "/dev/ttyKORVANE-none" << "/dev/ttyKORVANE-none: No such file or directory";
        QTest::newRow("regular file") << "FILE" << "Inappropriate ioctl for device";
        QTest::newRow("folder") << "DIR" << "Is a directory";
        QTest::newRow("/dev/null") << "/dev/null" << "Inappropriate ioctl for device";
        QTest::newRow("nothing listens at tcp://127.0.0.1:1") << "tcp://127.0.0.1:1" << "nothing sent";
    }
    void portsThatCannotBeUsed()
    {
        QFETCH(QString, port);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString file = dir.filePath("plain");
        const QByteArray content = "do not touch\n";
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
        f.close();
        if (port == "FILE")
            port = file;
        else if (port == "DIR")
            port = dir.path();
        for (const QString &command : {QStringLiteral("read"), QStringLiteral("test"), QStringLiteral("watch")}) {
            const Result r = runCli({"--settings", writeSettings(dir, "/dev/null"), "--port", port, command});
            QCOMPARE(r.exit, 4);
            QVERIFY2(r.err.contains(reason) || r.out.contains(reason), qPrintable(r.err + r.out));
        }
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), content);
    }

    void missingSettingsFile()
    {
        QTemporaryDir dir;
        const Result r = runCli({"--settings", dir.filePath("none.ini"), "read"});
        QCOMPARE(r.exit, 4);
        QVERIFY2(r.err.contains("none.ini: no such settings file"), qPrintable(r.err));
    }

    // JSON Lines that parse, with the fields a script reads.
    void json()
    {
        Sim sim;
        QVERIFY(sim.start({"--counter", "-42", "--script", "ok,exception:3"}));
        QTemporaryDir dir;
        const QString ini = writeSettings(dir, sim.device);
        for (const auto &[command, status, value] :
             {std::tuple{QStringList{"read"}, QString("ok"), QJsonValue(-42)},
              std::tuple{QStringList{"number", "5"}, QString("exception"), QJsonValue(QJsonValue::Null)}}) {
            const Result r = runCli(QStringList{"--settings", ini, "--json"} + command);
            QCOMPARE(r.exit, status == "ok" ? 0 : 3);
            const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
            QCOMPARE(lines.size(), 1);
            const QJsonObject o = QJsonDocument::fromJson(lines[0].toUtf8()).object();
            QCOMPARE(o["port"].toString(), "COM1");
            QCOMPARE(o["device"].toString(), sim.device);
            QCOMPARE(o["slave"].toInt(), 1);
            QCOMPARE(o["line"].toString(), "9600,n,8,2");
            QCOMPARE(o["command"].toString(), command.join(' '));
            QCOMPARE(o["status"].toString(), status);
            QCOMPARE(o["value"], value);
            QVERIFY(QDateTime::fromString(o["time"].toString(), Qt::ISODateWithMs).isValid());
            QVERIFY(!o["sent"].toString().isEmpty() && !o["received"].toString().isEmpty());
            QVERIFY(!o["note"].toString().isEmpty());
            QVERIFY(o["elapsed_ms"].isDouble());
        }
    }

    // test on a good device: every step passes and the device is left as
    // found; a write the device refuses fails its step.
    void deviceTest_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("failed"); // the summary's failed steps
        QTest::newRow("good device") << "" << 0 << "";
        QTest::newRow("the number write refused: exception 04") << "ok,exception:4" << 1
                                                           << "failed: write number 123456, read back 123456";
    }
    void deviceTest()
    {
        QFETCH(QString, script);
        QFETCH(int, exit);
        QFETCH(QString, failed);
        Sim sim;
        QVERIFY(sim.start(QStringList{"--counter", "1234"} + (script.isEmpty() ? QStringList() : QStringList{"--script", script})));
        QTemporaryDir dir;
        const Result r = runCli({"--settings", writeSettings(dir, sim.device), "test"});
        QCOMPARE(r.exit, exit);
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 13);
        QCOMPARE(lines.filter(QRegularExpression("^PASS  ")).size(), exit == 0 ? 13 : 10);
        QVERIFY2(lines.last().startsWith(exit == 0 ? "PASS  12 of 12 steps passed" : "FAIL  10 of 12"), qPrintable(lines.last()));
        QVERIFY(lines.last().contains(failed));
        QVERIFY(sim.waitFor("buzzer: off"));
        // Left as found.
        const QStringList effects = sim.effects().filter(QRegularExpression("^(display: number|output|buzzer)"));
        QCOMPARE(effects.last(), "buzzer: off");
        QVERIFY(effects.contains("display: number 1234") || exit != 0);
        QCOMPARE(sim.effects().filter("counter: ").last(), "counter: 1234");
    }

    // SIGINT while the test has output 1 on: the test stops, switches
    // everything off, and the counter keeps its value.
    void deviceTestInterrupted()
    {
        Sim sim;
        QVERIFY(sim.start({"--counter", "77", "--script", "ok,ok,ok,ok,ok,delay:500"}));
        QTemporaryDir dir;
        const Result r = runCli({"--settings", writeSettings(dir, sim.device), "--timeout", "2000", "--json", "test"},
                                [&](QProcess &p) {
                                    QVERIFY(sim.waitFor("output 1: on"));
                                    ::kill(pid_t(p.processId()), SIGINT);
                                });
        QCOMPARE(r.exit, 1);
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        const QJsonObject summary = QJsonDocument::fromJson(lines.last().toUtf8()).object();
        QCOMPARE(summary["result"].toString(), "FAIL");
        QVERIFY(summary["interrupted"].toBool());
        QVERIFY(sim.waitFor("buzzer: off"));
        const QStringList effects = sim.effects().filter(QRegularExpression("^(display: number|output|buzzer)"));
        QCOMPARE(effects, QStringList({"display: number 123456", "display: number 77", "output 1: on",
                                       "output 1: off", "output 2: off", "buzzer: off"}));
    }

    // watch: one line per read and a summary; SIGTERM ends it at once.
    void watch()
    {
        Sim sim;
        QVERIFY(sim.start({"--counter", "10", "--script", "ok,noreply"}));
        QTemporaryDir dir;
        const QString ini = writeSettings(dir, sim.device);
        Result r = runCli({"--settings", ini, "watch", "--interval", "0.2", "--count", "3"});
        QCOMPARE(r.exit, 0);
        QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[0].endsWith("  10  -  -"), qPrintable(lines[0]));
        QVERIFY2(lines[1].contains("  FAIL  no-reply: "), qPrintable(lines[1]));
        QVERIFY2(lines[2].contains("  10  0  0.0/min"), qPrintable(lines[2]));
        QCOMPARE(lines[3], "watch: 3 reads, 1 failed, 0 skipped; first 10, last 10, change 0");

        // Ended once two reads are printed.
        r = runCli({"--settings", ini, "--json", "watch", "--interval", "0.1"}, [&](QProcess &p) {
            QVERIFY(QTest::qWaitFor([&] { return p.peek(1 << 20).count('\n') >= 2; }, Patience));
            p.terminate();
        });
        QCOMPARE(r.exit, 0);
        lines = r.out.split('\n', Qt::SkipEmptyParts);
        const QJsonObject summary = QJsonDocument::fromJson(lines.last().toUtf8()).object();
        QVERIFY(summary["summary"].toBool());
        QCOMPARE(summary["reads"].toInt(), lines.size() - 1);
        QCOMPARE(summary["first"].toInt(), 10);
        QCOMPARE(summary["change"].toInt(), 0);
    }

    // An adapter unplugged during watch (the simulator stopped), then back
    // (started again behind the same link): the failed reads are printed,
    // the port is opened again before the next read, and the watch goes on.
    void watchAfterHangUp()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("ttyCLI-%1").arg(QCoreApplication::applicationPid()));
        auto sim = std::make_unique<Sim>();
        QVERIFY(sim->start({"--counter", "5", "--link", link}));
        const QString ini = writeSettings(dir, link);
        QStringList seen;
        const Result r = runCli({"--settings", ini, "watch", "--interval", "0.1"}, [&](QProcess &p) {
            auto waitForLine = [&](const QString &part) {
                return QTest::qWaitFor([&] {
                    seen = QString::fromUtf8(p.peek(1 << 20)).split('\n', Qt::SkipEmptyParts);
                    return !seen.filter(part).isEmpty();
                }, Patience);
            };
            QVERIFY(waitForLine("  5  -  -"));
            sim.reset();
            QVERIFY(waitForLine("  FAIL  "));
            sim = std::make_unique<Sim>();
            QVERIFY(sim->start({"--counter", "9", "--link", link}));
            QVERIFY(waitForLine("  9  +4  "));
            p.terminate();
        });
        QCOMPARE(r.exit, 0);
        // Not sent while the device was gone, or no reply when it went
        // during a read's wait.
        QVERIFY2(r.out.contains(QRegularExpression("  FAIL  (not-sent|no-reply): ")), qPrintable(r.out));
        QVERIFY2(r.out.contains("; first 5, last 9, change +4"), qPrintable(r.out));
    }

    // find: a device at an address and line settings that nothing names is
    // found with reads alone; a silent range says so; no usable port is 4.
    void find_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("out"); // a line of standard output
        QTest::newRow("slave 17 at 19200,e,8,1") << QStringList{"--addresses", "16-18", "find"} << 0
                                                 << "found: COM1 DEVICE  slave 17  19200 8E1  counter 4321";
        QTest::newRow("nothing at 1-2") << QStringList{"--addresses", "1-2", "--bauds", "19200", "find"} << 1
                                        << "find: no device found, 6 of 6 probes";
        QTest::newRow("no port to open") << QStringList{"--ports", "/dev/ttyKORVANE-none", "find"} << 4
                                         << "verdict: /dev/ttyKORVANE-none: not searched: The device does not exist.";
    }
    void find()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exit);
        QFETCH(QString, out);
        Sim sim;
        QVERIFY(sim.start({"--counter", "4321", "--slave", "17", "--settings", "19200,e,8,1"}));
        QTemporaryDir dir;
        const Result r = runCli(QStringList{"--settings", writeSettings(dir, sim.device)} + arguments);
        QCOMPARE(r.exit, exit);
        QVERIFY2(r.out.contains(out.replace("DEVICE", sim.device)), qPrintable(r.out + r.err));
        // Only reads of the counter were sent.
        if (exit != 4)
            QVERIFY(sim.waitFor("request "));
        sim.collect();
        const QStringList requests = sim.lines.filter(QRegularExpression("^request \\d+: "));
        QCOMPARE(requests.filter(" fn=3 ").size(), requests.size());
        QCOMPARE(requests.isEmpty(), exit == 4);
    }

    // SIGINT ends the search within a probe, with its verdict and summary.
    void findInterrupted()
    {
        Sim sim;
        QVERIFY(sim.start({"--slave", "200"}));
        QTemporaryDir dir;
        const Result r = runCli({"--settings", writeSettings(dir, sim.device), "find"}, [&](QProcess &p) {
            QVERIFY(sim.waitFor("request "));
            ::kill(pid_t(p.processId()), SIGINT);
        });
        QCOMPARE(r.exit, 1);
        QVERIFY2(r.out.contains(QRegularExpression("\\nfind: no device found, \\d+ of 2223 probes in [0-9.]+ s \\(stopped\\)\\n$")),
                 qPrintable(r.out));
    }

private:
    QTemporaryDir config;
};

QTEST_GUILESS_MAIN(TestCliE2E)
#include "tst_cli_e2e.moc"
