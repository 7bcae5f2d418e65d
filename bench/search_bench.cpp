#include "search_bench.h"

#include "serial/AnyDeviceComponent.h"
#include "session/DeviceSearch.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

namespace korvane::bench {

namespace {

double cpuMs()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (double(ru.ru_utime.tv_sec) + double(ru.ru_stime.tv_sec)) * 1e3
        + (double(ru.ru_utime.tv_usec) + double(ru.ru_stime.tv_usec)) / 1e3;
}

// A pseudo-terminal with nothing behind it: what the port writes is read
// and dropped, so the line stays silent and the kernel's buffer never fills.
class SilentPty {
public:
    SilentPty()
    {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            return;
        path_ = QString::fromLocal8Bit(name);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
            char buf[512];
            while (::read(master_, buf, sizeof buf) > 0) {
            }
        });
    }
    ~SilentPty()
    {
        notifier_.reset();
        if (master_ >= 0)
            ::close(master_);
        if (slave_ >= 0)
            ::close(slave_);
    }
    SilentPty(const SilentPty &) = delete;
    SilentPty &operator=(const SilentPty &) = delete;
    QString path() const { return path_; }

private:
    int master_ = -1;
    int slave_ = -1; // kept open: a master whose slave is closed reads as hung up
    QString path_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// Counts a port's opens: each settings change the device refuses on the
// open port costs one (with its lock file).
class CountingComponent : public AnyDeviceComponent {
public:
    int opens = 0;
    bool setPortOpen(bool open) override
    {
        if (open)
            ++opens;
        return AnyDeviceComponent::setPortOpen(open);
    }
};

struct Run {
    std::optional<SearchReport> report;
    double wallMs = NAN;
    double cpuMs = NAN;
    double foundMs = NAN; // start -> the first device found
    int opens = 0;
};

Run search(const SearchOptions &o, int timeoutMs)
{
    Run r;
    DeviceSearch s;
    QList<CountingComponent *> made;
    s.setComponentFactory([&made](const SearchPort &) {
        auto c = std::make_unique<CountingComponent>();
        made << c.get();
        return std::unique_ptr<SerialComponent>(std::move(c));
    });
    s.setDeviceSource([] { return QList<SerialDevice>(); });
    QEventLoop loop;
    QElapsedTimer clock;
    QObject::connect(&s, &DeviceSearch::deviceFound, &loop, [&] {
        if (std::isnan(r.foundMs))
            r.foundMs = double(clock.nsecsElapsed()) / 1e6;
    });
    QObject::connect(&s, &DeviceSearch::finished, &loop, [&](const SearchReport &report) {
        r.report = report;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    const double cpu0 = cpuMs();
    clock.start();
    if (const auto why = s.start(o)) {
        std::fprintf(stderr, "korvane_bench: search refused: %s\n", qPrintable(*why));
        return r;
    }
    loop.exec();
    r.wallMs = double(clock.nsecsElapsed()) / 1e6;
    r.cpuMs = cpuMs() - cpu0;
    for (const CountingComponent *c : std::as_const(made))
        r.opens += c->opens;
    return r;
}

// The sum of one port's probe waits, as raised.
double waitsMs(const SearchOptions &o)
{
    double sum = 0;
    for (const Probe &p : probeOrder(o, true))
        sum += probeWaitMs(o.probeWaitMs, baudOf(p.settings));
    return sum;
}

SearchOptions silentOptions(int lastAddress)
{
    SearchOptions o;
    o.firstAddress = 1;
    o.lastAddress = lastAddress;
    o.currentAddress = 1;
    o.currentSettings = QStringLiteral("9600,n,8,2");
    o.probeWaitMs = 20;
    return o;
}

// The simulator listening at settings; its "device: PATH" line names the pty.
struct Simulator {
    QProcess process;
    QString device;
    bool start(const QString &exe, const QStringList &args)
    {
        process.setProgram(exe);
        process.setArguments(args);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        if (!process.waitForStarted(5000))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5000) {
            if (!process.canReadLine() && !process.waitForReadyRead(100))
                continue;
            while (process.canReadLine()) {
                const QString line = QString::fromUtf8(process.readLine()).trimmed();
                if (line.startsWith(QLatin1String("device: "))) {
                    device = line.mid(8).trimmed();
                    return true;
                }
            }
        }
        return false;
    }
    ~Simulator()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }
};

// Whether the simulator stays silent at other line settings than its own
// (then a request at another baud rate or stop-bit count is not heard).
bool simulatorListensAtItsSettings(const QString &exe)
{
    QProcess help;
    help.start(exe, {QStringLiteral("--help")});
    help.waitForFinished(5000);
    return QString::fromUtf8(help.readAllStandardOutput()).contains(QLatin1String("listens at"));
}

QString num(double v, int decimals = 0) { return QString::number(v, 'f', decimals); }

} // namespace

int runSearchBench(const QString &devsimExe, int sweepAddresses)
{
    bool ok = true;
    QStringList rows;

    // 1. A silent sweep of one port: 9 settings x N addresses, wait 20 ms.
    {
        SilentPty pty;
        SearchOptions o = silentOptions(std::clamp(sweepAddresses, 1, 247));
        o.ports = {SearchPort{0, pty.path(), false}};
        const double waits = waitsMs(o);
        std::fprintf(stderr, "korvane_bench: silent sweep of %d probes (%.1f s of probe waits)...\n",
                     int(probeOrder(o, true).size()), waits / 1e3);
        const Run r = search(o, int(waits * 2 + 10000));
        const double ratio = r.wallMs / waits;
        const bool held = r.report && r.report->probesDone == r.report->probesTotal && ratio <= 1.03;
        ok = ok && held;
        rows << QStringLiteral("| Silent sweep of one port: 9 settings x %1 addresses (%2 probes), wait 20 ms "
                               "(raised to 52/29 ms at 4800/9600 bps) | %3 s for %4 s of probe waits: **%5 x**; "
                               "%6 opens of the port (settings the pseudo-terminal refuses in place) | <= 1.03 x | "
                               "%7 |")
                    .arg(o.lastAddress)
                    .arg(r.report ? r.report->probesTotal : 0)
                    .arg(num(r.wallMs / 1e3, 2), num(waits / 1e3, 2), num(ratio, 4))
                    .arg(r.opens)
                    .arg(held ? QStringLiteral("held") : QStringLiteral("**missed**"));
        rows << QStringLiteral("| CPU time during that sweep | %1 ms (%2 % of the time; %3 ms per probe) | "
                               "information | |")
                    .arg(num(r.cpuMs), num(100.0 * r.cpuMs / r.wallMs, 1),
                         num(r.cpuMs / std::max(1, r.report ? r.report->probesTotal : 1), 3));
    }

    // 2. A device at address 1 at the last setting tried, the default wait.
    // At address 1 the order is 9600, 4800, 19200 bps in 8E1, then 8O1,
    // then 8N2: the last, 19200 8N2, is the only one with its baud rate and
    // stop bits, which a simulator on a pseudo-terminal can tell apart.
    {
        const bool listens = simulatorListensAtItsSettings(devsimExe);
        QStringList args{QStringLiteral("--settings"), QStringLiteral("19200,n,8,2"), QStringLiteral("--rate"),
                         QStringLiteral("0"), QStringLiteral("--counter"), QStringLiteral("4242")};
        if (!listens) {
            // A simulator that hears every setting: its first eight reads go unanswered.
            QStringList silent;
            for (int i = 0; i < 8; ++i)
                silent << QStringLiteral("noreply");
            args << QStringLiteral("--script") << silent.join(QLatin1Char(','));
        }
        Simulator sim;
        if (!sim.start(devsimExe, args)) {
            std::fprintf(stderr, "korvane_bench: the simulator did not start\n");
            return 1;
        }
        SearchOptions o;
        o.ports = {SearchPort{0, sim.device, false}};
        o.formats = {QStringLiteral("8E1"), QStringLiteral("8O1"), QStringLiteral("8N2")};
        o.currentAddress = 1;
        o.currentSettings = QStringLiteral("9600,e,8,1");
        o.probeWaitMs = 100;
        const Run r = search(o, 20000);
        const bool right = r.report && r.report->devices.size() == 1 && r.report->devices[0].slave == 1
                           && r.report->devices[0].baud == 19200 && r.report->devices[0].format == QLatin1String("8N2");
        const bool held = right && r.foundMs < 2000;
        ok = ok && held;
        rows << QStringLiteral("| Device at address 1 at the last setting tried (19200 bps 8N2, the 9th probe; the "
                               "simulator %1), wait 100 ms | found and confirmed after %2 ms (%3 probes) | < 2000 ms "
                               "| %4 |")
                    .arg(listens ? QStringLiteral("silent at other settings")
                                 : QStringLiteral("scripted silent for the first 8 reads"))
                    .arg(num(r.foundMs))
                    .arg(r.report ? r.report->ports.value(0).tally.probes() : 0)
                    .arg(held    ? QStringLiteral("held")
                         : right ? QStringLiteral("**missed**")
                                 : QStringLiteral("**not found**"));
    }

    // 3. Six silent ports together against one (addresses 1-10).
    {
        std::vector<std::unique_ptr<SilentPty>> ptys;
        SearchOptions one = silentOptions(10);
        for (int i = 0; i < 6; ++i) {
            ptys.push_back(std::make_unique<SilentPty>());
            one.ports << SearchPort{0, ptys.back()->path(), false};
        }
        SearchOptions six = one;
        one.ports = one.ports.mid(0, 1);
        const double waits = waitsMs(one);
        const Run a = search(one, int(waits * 3 + 10000));
        const Run b = search(six, int(waits * 6 + 10000));
        rows << QStringLiteral("| Six silent ports together against one (9 settings x 10 addresses each, wait 20 ms; "
                               "%1 s of probe waits per port) | one: %2 s, CPU %3 ms; six: %4 s (%5 x), CPU %6 ms | "
                               "information | |")
                    .arg(num(waits / 1e3, 2), num(a.wallMs / 1e3, 2), num(a.cpuMs), num(b.wallMs / 1e3, 2),
                         num(b.wallMs / a.wallMs, 3), num(b.cpuMs));
    }

    std::printf("| Device search | Measured | Bound | |\n|---|---|---|---|\n");
    for (const QString &row : std::as_const(rows))
        std::printf("%s\n", qPrintable(row));
    return ok ? 0 : 1;
}

} // namespace korvane::bench
