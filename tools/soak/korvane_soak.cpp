// korvane-soak: thousands of requests from the real window and serial port
// to the device simulator, with a fault chosen at random (seeded) for each
// one; every status word is checked against the fault, every counter value
// read against the device's expected counter, and the resident memory is
// watched.
//
//   korvane-soak --devsim PATH [--requests N] [--seed S]
//
// Exit status 0 when every status matched and the memory grew by less than
// 2 MB from request 500 to the end.

#include "serial/QtSerialComponent.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <map>

using namespace korvane;

namespace {

struct Fault {
    const char *behaviour;
    const char *status;  ///< the status word it must give
    bool carriedOut;     ///< whether the device carries out the request
    bool late;           ///< the reply arrives after the wait
};

const Fault Faults[] = {
    {"ok", "Success", true, false},
    {"noreply", "Error", false, false},
    {"crc", "CRC Err", true, false},
    {"exception:2", "CRC Err", false, false},
    {"garbage:7", "Success", true, false},
    {"split:30", "Success", true, false},
    {"slave:7", "Success", true, false},
    {"delay:400", "Error", true, true},
};

long residentKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser cli;
    cli.addHelpOption();
    cli.addOption({QStringLiteral("devsim"), QStringLiteral("The device simulator."), QStringLiteral("path")});
    cli.addOption({QStringLiteral("requests"), QStringLiteral("Number of requests (3000)."), QStringLiteral("n"), QStringLiteral("3000")});
    cli.addOption({QStringLiteral("seed"), QStringLiteral("Seed of the fault choice (1)."), QStringLiteral("s"), QStringLiteral("1")});
    cli.process(app);
    const int requests = cli.value(QStringLiteral("requests")).toInt();
    const quint32 seed = cli.value(QStringLiteral("seed")).toUInt();

    // The whole fault sequence is decided up front and handed to the
    // simulator, one behaviour per request.
    QRandomGenerator rng(seed);
    QList<int> faults, commands;
    QStringList script;
    for (int i = 0; i < requests; ++i) {
        faults << int(rng.bounded(int(std::size(Faults))));
        commands << int(rng.bounded(10)); // read, reset, number, text, six outputs
        script << QLatin1String(Faults[faults.last()].behaviour);
    }

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("tty"));
    QProcess sim;
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(cli.value(QStringLiteral("devsim")),
              {QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--link"), link,
               QStringLiteral("--script"), script.join(QLatin1Char(','))});
    if (!sim.waitForStarted() || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "korvane-soak: the simulator did not start\n");
        return 2;
    }
    QFile ini(dir.filePath(QStringLiteral("korvane.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write("[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n[Ports]\r\nCOM1=" + link.toLocal8Bit() + "\r\n");
    ini.close();

    QtSerialComponent port;
    QList<Message> messages;
    frmMain w(&port, ini.fileName(), [&](const Message &m) { messages << m; });
    w.Form_Load();
    if (!port.PortOpen()) {
        std::fprintf(stderr, "korvane-soak: the port did not open: %s\n", qPrintable(port.lastError()));
        return 2;
    }
    // Drain the simulator's console so its pipe never fills.
    QObject::connect(&sim, &QProcess::readyReadStandardOutput, &sim, [&] { sim.readAllStandardOutput(); });

    qint32 counter = 0; // the device's counter as the requests set it
    int mismatches = 0;
    std::map<QString, int> perFault;
    long rssAt500 = -1;
    for (int i = 0; i < requests; ++i) {
        const Fault &f = Faults[faults[i]];
        const int command = commands[i];
        QLabel *label = command < 2 ? w.lblSta : command < 4 ? w.lblSta1 : w.lblSta2;
        const qint32 number = qint32(rng.bounded(-99999, 1000000));
        switch (command) {
        case 0: w.cmdReadCount_Click(); break;
        case 1: w.cmdResetCount_Click(); break;
        case 2: w.txtNum->setText(QString::number(number)); w.cmdWReg_Click(); break;
        case 3: w.txtASCII->setText(QStringLiteral("S%1").arg(i % 100000)); w.cmdASCII_Click(); break;
        default: w.cmdOutput_Click(command - 4); break;
        }
        if (f.carriedOut && command == 1)
            counter = 0;
        if (f.carriedOut && command == 2)
            counter = number;
        bool ok = label->text() == QLatin1String(f.status);
        if (ok && command == 0 && label->text() == QLatin1String("Success"))
            ok = w.lblCounter->text() == QString::number(counter);
        if (!ok) {
            ++mismatches;
            std::fprintf(stderr, "request %d: %s after %s: status \"%s\", counter \"%s\" (expected %s, %d)\n",
                         i, qPrintable(label->objectName()), f.behaviour, qPrintable(label->text()),
                         qPrintable(w.lblCounter->text()), f.status, counter);
        }
        ++perFault[QLatin1String(f.behaviour)];
        if (f.late)
            pause(450); // let the late reply arrive; the next request drops it
        if (i == 499)
            rssAt500 = residentKiB();
        if ((i + 1) % 500 == 0)
            std::printf("%d requests, %d mismatches, resident %ld KiB\n", i + 1, mismatches, residentKiB());
        std::fflush(stdout);
    }
    const long rssEnd = residentKiB();
    sim.terminate();
    sim.waitForFinished(3000);

    std::printf("\nseed %u, %d requests\n", seed, requests);
    for (const auto &[name, n] : perFault)
        std::printf("  %-12s %5d\n", qPrintable(name), n);
    std::printf("mismatched statuses: %d\n", mismatches);
    if (rssAt500 >= 0)
        std::printf("resident memory: %ld KiB at request 500, %ld KiB at the end (growth %ld KiB)\n",
                    rssAt500, rssEnd, rssEnd - rssAt500);
    const bool memoryOk = rssAt500 < 0 || rssEnd - rssAt500 < 2048;
    std::printf("%s\n", mismatches == 0 && memoryOk ? "PASS" : "FAIL");
    return mismatches == 0 && memoryOk ? 0 : 1;
}
