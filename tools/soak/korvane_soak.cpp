// korvane-soak: thousands of requests from the real window and serial port
// to the device simulator, with a fault chosen at random (seeded) for each
// one, and the traffic window shown; every status word is checked against
// the fault, every counter value read against the device's expected
// counter, every traffic row's status, note and late bytes against the
// fault, and the memory is watched.
//
//   korvane-soak --devsim PATH [--requests N] [--seed S] [--traffic-rows R]
//
// The traffic table keeps R rows (1,000 unless told; the program keeps
// 10,000), so that the default 3,000 requests run well past its bound.
//
// Exit status 0 when every status and row matched, the memory grew by less
// than 2 MB from request 500 to the end, and the heap in use grew by less
// than 256 KiB from the request that filled the table to the end.

#include "serial/QtSerialComponent.h"
#include "ui/TrafficModel.h"
#include "ui/TrafficWindow.h"
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
#include <malloc.h>
#include <map>

using namespace korvane;

namespace {

struct Fault {
    const char *behaviour;
    const char *status;  ///< the status word it must give
    bool carriedOut;     ///< whether the device carries out the request
    bool late;           ///< the reply arrives after the wait
    const char *note;    ///< what the traffic row's note must say
};

const Fault Faults[] = {
    {"ok", "Success", true, false, "CRC good; first byte "},
    {"noreply", "Error", false, false, "no reply within the wait ("},
    {"crc", "CRC Err", true, false, "CRC expected "},
    {"exception:2", "CRC Err", false, false, "Modbus exception 02 Illegal Data Address; reply too short"},
    {"garbage:7", "Success", true, false, "7 bytes after the reply ignored"},
    {"split:30", "Success", true, false, "CRC good; first byte "},
    {"slave:7", "Success", true, false, "reply from slave 7, the request went to slave 1"},
    {"delay:400", "Error", true, true, "with them the reply is complete and its CRC good"},
};

/// Bytes the C library's allocator has handed out and not taken back, KiB.
long heapInUseKiB()
{
    const struct mallinfo2 mi = mallinfo2();
    return long((mi.uordblks + mi.hblkhd) / 1024);
}

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
    cli.addOption({QStringLiteral("traffic-rows"),
                   QStringLiteral("Rows the traffic table keeps (1000; the program keeps 10000)."),
                   QStringLiteral("r"), QStringLiteral("1000")});
    cli.process(app);
    const int requests = cli.value(QStringLiteral("requests")).toInt();
    const quint32 seed = cli.value(QStringLiteral("seed")).toUInt();
    const int trafficRows = std::max(1, cli.value(QStringLiteral("traffic-rows")).toInt());

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
    // The traffic window is shown, as an operator would have it, with the
    // table's bound set for this run.
    TrafficModel &traffic = *w.frmTraffic->model();
    traffic.setRowLimit(trafficRows);
    w.mnuTraffic->setChecked(true);
    if (!w.frmTraffic->isVisible()) {
        std::fprintf(stderr, "korvane-soak: the traffic window did not open\n");
        return 2;
    }
    // Drain the simulator's console so its pipe never fills.
    QObject::connect(&sim, &QProcess::readyReadStandardOutput, &sim, [&] { sim.readAllStandardOutput(); });

    qint32 counter = 0; // the device's counter as the requests set it
    int mismatches = 0;
    int rowMismatches = 0;
    std::map<QString, int> perFault;
    long rssAt500 = -1;
    long heapAtBound = -1;
    // The heap per row is taken from a point where the windows have been
    // painted and Qt's caches filled.
    const int warmRows = std::max(1, std::min(100, trafficRows / 2));
    long heapWarm = -1;
    // A row is judged once the next request has gone out, when the bytes
    // that came late for it (dropped before that request) are all on it.
    const auto checkRow = [&](int request) {
        const Fault &f = Faults[faults[request]];
        const quint64 number = quint64(request) + 1;
        const int row = traffic.rowCount() - 1 - int(traffic.record(traffic.rowCount() - 1).number - number);
        if (row < 0 || traffic.record(row).number != number) {
            ++rowMismatches;
            std::fprintf(stderr, "request %d: no traffic row\n", request);
            return;
        }
        const ExchangeRecord &r = traffic.record(row);
        const QString note = traffic.cellText(row, TrafficModel::Note);
        const bool ok = statusWord(r.status) == QLatin1String(f.status) && note.contains(QLatin1String(f.note))
            && r.late.isEmpty() != f.late && r.droppedBeforeSend.isEmpty();
        if (!ok) {
            ++rowMismatches;
            std::fprintf(stderr, "request %d after %s: traffic row \"%s\", note \"%s\", %d late bytes\n", request,
                         f.behaviour, qPrintable(statusWord(r.status)), qPrintable(note), int(r.late.size()));
        }
    };
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
        if (i > 0)
            checkRow(i - 1);
        if (f.late)
            pause(450); // let the late reply arrive; the next request drops it
        if (i == 499)
            rssAt500 = residentKiB();
        if (i + 1 == warmRows)
            heapWarm = heapInUseKiB();
        if (i + 1 == trafficRows)
            heapAtBound = heapInUseKiB();
        if ((i + 1) % 500 == 0)
            std::printf("%d requests, %d mismatches, %d traffic rows (%d mismatched), resident %ld KiB, heap %ld KiB\n",
                        i + 1, mismatches, traffic.rowCount(), rowMismatches, residentKiB(), heapInUseKiB());
        std::fflush(stdout);
    }
    if (requests > 0) {
        pause(Faults[faults[requests - 1]].late ? 450 : 0);
        checkRow(requests - 1);
    }
    const long rssEnd = residentKiB();
    const long heapEnd = heapInUseKiB();
    const bool tableFull = traffic.rowCount() == std::min(requests, trafficRows)
        && traffic.exchangeCount() == requests;
    sim.terminate();
    sim.waitForFinished(3000);

    std::printf("\nseed %u, %d requests\n", seed, requests);
    for (const auto &[name, n] : perFault)
        std::printf("  %-12s %5d\n", qPrintable(name), n);
    std::printf("mismatched statuses: %d\n", mismatches);
    std::printf("traffic window shown; rows mismatched (status, note, late bytes): %d; table: %d rows kept of %lld "
                "exchanges counted\n",
                rowMismatches, traffic.rowCount(), static_cast<long long>(traffic.exchangeCount()));
    if (rssAt500 >= 0)
        std::printf("resident memory: %ld KiB at request 500, %ld KiB at the end (growth %ld KiB)\n",
                    rssAt500, rssEnd, rssEnd - rssAt500);
    const bool memoryOk = rssAt500 < 0 || rssEnd - rssAt500 < 2048;
    bool boundOk = true;
    if (heapAtBound >= 0) {
        std::printf("traffic table bound: %d rows here (--traffic-rows; the program keeps %d); heap in use %ld KiB "
                    "at request %d, %ld KiB when the table filled (request %d; %ld bytes per row between), "
                    "%ld KiB at the end (growth %ld KiB after the table filled, limit 256)\n",
                    trafficRows, TrafficModel::DefaultRowLimit, heapWarm, warmRows, heapAtBound, trafficRows,
                    trafficRows > warmRows ? (heapAtBound - heapWarm) * 1024 / (trafficRows - warmRows) : 0L,
                    heapEnd, heapEnd - heapAtBound);
        boundOk = heapEnd - heapAtBound < 256;
    } else {
        std::printf("traffic table bound: %d rows, not reached in %d requests; memory at the bound not checked\n",
                    trafficRows, requests);
    }
    const bool pass = mismatches == 0 && rowMismatches == 0 && tableFull && memoryOk && boundOk;
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
