// korvane_bench: how close the reply wait comes to ten 10 ms ticks, what it
// costs while it waits, how the request frame goes out, how fast the program
// starts and how it behaves once the device hangs up.
//
// It drives the real window (korvane::frmMain on the offscreen platform) and
// the program's serial port (korvane::AnyDeviceComponent) against
// korvane-devsim over a pseudo-terminal (and, for the TCP figures, connected
// to the simulator as a serial device server), and starts the real korvane
// executable for the start-up and hang-up figures. scripts/bench builds and
// runs it; it writes bench/results.md.

#include "search_bench.h"
#include "write_counter.h"

#include "common/modVariables.h"
#include "protocol/Commands.h"
#include "protocol/Exchange.h"
#include "serial/AnyDeviceComponent.h"
#include "ui/Fonts.h"
#include "ui/TrafficModel.h"
#include "ui/TrafficWindow.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <malloc.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

using namespace korvane;
using namespace korvane::bench;
using Clock = std::chrono::steady_clock;

namespace {

// ------------------------------------------------------------ small helpers

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

/// CPU time of this process (all threads), user + system, in ms.
double processCpuMs()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (double(ru.ru_utime.tv_sec) + double(ru.ru_stime.tv_sec)) * 1e3
        + (double(ru.ru_utime.tv_usec) + double(ru.ru_stime.tv_usec)) / 1e3;
}

/// CPU time of another process (all its threads), in ms, from the
/// scheduler's nanosecond run-time counters.
double otherProcessCpuMs(pid_t pid)
{
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (f.open(QIODevice::ReadOnly))
            total += f.readAll().split(' ').value(0).trimmed().toDouble() / 1e6;
    }
    return total;
}

/// A "VmXXX:" field of /proc/<pid>/status in MB (1 MB = 1024 kB), NaN if absent.
double statusMb(const QString &pid, const char *key)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return NAN;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key)) {
            const QList<QByteArray> parts = line.simplified().split(' ');
            return parts.value(1).toDouble() / 1024.0;
        }
    }
    return NAN;
}

/// Time this thread has spent runnable but waiting for a CPU (the
/// scheduler's run-queue delay), in ms.
double runQueueDelayMs()
{
    QFile f(QStringLiteral("/proc/thread-self/schedstat"));
    if (!f.open(QIODevice::ReadOnly))
        return NAN;
    return f.readAll().split(' ').value(1).trimmed().toDouble() / 1e6;
}

/// Time the hypervisor ran something else while this machine's CPUs
/// wanted to run ("steal" in /proc/stat, all CPUs together), in ms. The
/// kernel shows it in 10 ms units.
double stealMs()
{
    QFile f(QStringLiteral("/proc/stat"));
    if (!f.open(QIODevice::ReadOnly))
        return NAN;
    const QList<QByteArray> cpu = f.readLine().simplified().split(' ');
    return cpu.value(8).toDouble() * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

/// Voluntary context switches of this process so far: how often it went to
/// sleep waiting for something (each one ends in a wake-up).
/// Bytes the C library's allocator has handed out and not taken back (main
/// arena and large blocks): the heap in use, without free pages kept.
double heapInUseMb()
{
    const struct mallinfo2 mi = mallinfo2();
    return double(mi.uordblks + mi.hblkhd) / (1024.0 * 1024.0);
}

double sleepsSoFar()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_nvcsw);
}

void sleepMs(int ms)
{
    QThread::msleep(ulong(ms));
}

/// Runs the event loop for ms milliseconds (the process stays idle in it).
void idleFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

/// Starts args[0] with args, stdin from /dev/null, stdout and stderr into
/// logPath. Returns the pid, or -1.
pid_t spawnProcess(const QStringList &args, const QString &logPath)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const QByteArray log = QFile::encodeName(logPath);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<QByteArray> store;
    for (const QString &a : args)
        store.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &a : store)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

/// Waits up to timeoutMs for pid to end; its wait status, or nothing.
std::optional<int> waitExit(pid_t pid, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 || Clock::now() > deadline)
            return std::nullopt;
        sleepMs(5);
    }
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QString machineCpuModel()
{
    QFile f(QStringLiteral("/proc/cpuinfo"));
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown");
}

/// The first three fields of /proc/loadavg: how busy the machine was.
QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(f.readAll()).split(QLatin1Char(' ')).mid(0, 3).join(QStringLiteral(", "));
}

// ------------------------------------------------------------ statistics

struct Stats {
    int n = 0;
    double median = NAN, p95 = NAN, max = NAN;
};

Stats statsOf(std::vector<double> v)
{
    Stats s;
    s.n = int(v.size());
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    // Nearest rank: the smallest value at or above 95 % of the samples.
    s.p95 = v[std::size_t(std::ceil(0.95 * double(n))) - 1];
    s.max = v.back();
    return s;
}

// ------------------------------------------------------------ the simulator

struct DevSim {
    pid_t pid = -1;
    QString device;
    QString log;

    bool start(const QString &exe, const QString &logPath, const QStringList &extra = {})
    {
        log = logPath;
        QStringList args{exe, QStringLiteral("--settings"), QStringLiteral("9600,n,8,2")};
        args += extra;
        pid = spawnProcess(args, log);
        if (pid < 0)
            return false;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            for (const QString &line : lines()) {
                if (line.startsWith(QLatin1String("device: "))) {
                    device = line.mid(8).trimmed();
                    return true;
                }
            }
            sleepMs(5);
        }
        return false;
    }
    QStringList lines() const
    {
        QFile f(log);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    int count(const QString &prefix) const
    {
        const QStringList all = lines();
        return int(std::count_if(all.begin(), all.end(), [&](const QString &l) { return l.startsWith(prefix); }));
    }
    void stop(int sig)
    {
        if (pid <= 0)
            return;
        ::kill(pid, sig);
        if (!waitExit(pid, 5000)) {
            ::kill(pid, SIGKILL);
            waitExit(pid, 5000);
        }
        pid = -1;
    }
    ~DevSim() { stop(SIGTERM); }
};

QByteArray iniFor(const QString &device)
{
    return "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n[Ports]\r\nCOM1="
        + QFile::encodeName(device) + "\r\n";
}

// ------------------------------------------------------------ the real executable

struct RealProcessResult {
    std::vector<double> startupMs;  // process start -> device opened
    std::vector<double> peakRssMb;  // VmHWM after start-up
    std::vector<double> rssMb;      // VmRSS after start-up
    int failedStarts = 0;
    int badExits = 0;               // not "exit 0" after SIGTERM
    double hangupCpuPercent = NAN;  // CPU in the 2 s after the simulator was killed
    double hangupSeconds = NAN;
    bool hangupReported = false;    // the program said it closed the port
    QString error;
};

/// Starts the real korvane executable `runs` times from a temporary program
/// folder whose korvane.ini maps COM1 to the simulator's link, and times
/// each start from spawning the process to the moment it opens the device
/// (an inotify IN_OPEN on the pseudo-terminal: opening the port is the last
/// step of loading the window). After the last start the simulator is
/// killed and the program's CPU use over the next 2 s is taken.
RealProcessResult measureRealProcess(const QString &korvaneExe, const QString &devsimExe, int runs, int settleMs)
{
    RealProcessResult r;
    QTemporaryDir dir;
    const QString prog = dir.filePath(QStringLiteral("korvane"));
    if (!QFile::copy(korvaneExe, prog)) {
        r.error = QStringLiteral("cannot copy %1").arg(korvaneExe);
        return r;
    }
    QFile::setPermissions(prog, QFile::permissions(prog) | QFile::ExeOwner);
    DevSim sim;
    const QString link = dir.filePath(QStringLiteral("ttyKORVANE"));
    if (!sim.start(devsimExe, dir.filePath(QStringLiteral("devsim.log")), {QStringLiteral("--link"), link})) {
        r.error = QStringLiteral("the simulator did not start");
        return r;
    }
    writeFile(dir.filePath(QStringLiteral("korvane.ini")), iniFor(link));

    const int ino = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (ino < 0 || inotify_add_watch(ino, QFile::encodeName(sim.device).constData(), IN_OPEN) < 0) {
        r.error = QStringLiteral("inotify on %1 failed").arg(sim.device);
        return r;
    }
    const QString log = dir.filePath(QStringLiteral("korvane.log"));
    for (int run = 0; run < runs; ++run) {
        char buf[4096];
        while (::read(ino, buf, sizeof buf) > 0) {
        }
        const auto t0 = Clock::now();
        const pid_t pid = spawnProcess({prog}, log);
        if (pid < 0) {
            ++r.failedStarts;
            continue;
        }
        pollfd p{ino, POLLIN, 0};
        const int ready = ::poll(&p, 1, 5000);
        const auto t1 = Clock::now();
        if (ready == 1) {
            r.startupMs.push_back(msBetween(t0, t1));
            sleepMs(settleMs);  // let it paint its window and go idle
            r.peakRssMb.push_back(statusMb(QString::number(pid), "VmHWM:"));
            r.rssMb.push_back(statusMb(QString::number(pid), "VmRSS:"));
        } else {
            ++r.failedStarts;
        }
        if (run == runs - 1 && ready == 1) {
            const double c0 = otherProcessCpuMs(pid);
            const auto h0 = Clock::now();
            sim.stop(SIGKILL);
            sleepMs(2000);
            const double c1 = otherProcessCpuMs(pid);
            const auto h1 = Clock::now();
            r.hangupSeconds = msBetween(h0, h1) / 1000.0;
            r.hangupCpuPercent = (c1 - c0) / msBetween(h0, h1) * 100.0;
        }
        ::kill(pid, SIGTERM);
        const auto status = waitExit(pid, 5000);
        if (!status) {
            ::kill(pid, SIGKILL);
            waitExit(pid, 5000);
            ++r.badExits;
        } else if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
            ++r.badExits;
        }
    }
    QFile f(log);
    if (f.open(QIODevice::ReadOnly))
        r.hangupReported = f.readAll().contains("serial port closed after an error");
    ::close(ino);
    return r;
}

// ------------------------------------------------------------ the window rig

enum Kind { Read, Reset, Number, Text, Output, KindCount };
const char *const KindNames[KindCount] = {"read", "reset", "number", "text", "output"};

struct Sample {
    double requestMs = NAN;  // click -> status word painted
    double handlerMs = NAN;  // click -> handler returned (status word set)
    double cpuMs = NAN;      // process CPU over the same span
    double tickGapMs = NAN;  // longest interval between two ticks
    int tickGapAt = -1;      // ... ending at this tick (1..9)
    double runDelayMs = NAN; // time runnable but not running, over the request
    double sleeps = NAN;     // times the process slept (and woke) during the request
    double stealMs = NAN;    // hypervisor steal time over the request (10 ms units)
    int ticks = 0;
    unsigned long writes = 0, bytes = 0;
    bool success = false;
    bool painted = false;
    bool trafficPainted = true; // the traffic table painted (when shown)
};

/// Notes the moment a status label paints with a non-empty text.
class PaintWatch : public QObject {
public:
    QLabel *label = nullptr;
    QEventLoop *loop = nullptr;
    bool seen = false;
    Clock::time_point when;

    void arm(QLabel *l)
    {
        label = l;
        seen = false;
    }
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (!seen && o == label && e->type() == QEvent::Paint && !label->text().isEmpty()) {
            seen = true;
            when = Clock::now();
            if (loop)
                loop->quit();
        }
        return false;
    }
};

/// Notes the first paint of one widget after arm().
class WidgetPaintWatch : public QObject {
public:
    QWidget *target = nullptr;
    QEventLoop *loop = nullptr;
    bool seen = false;

    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (!seen && target && o == target && e->type() == QEvent::Paint) {
            seen = true;
            if (loop)
                loop->quit();
        }
        return false;
    }
};

/// The real window on the real port, against the simulator.
struct WindowRig {
    QTemporaryDir dir;
    DevSim sim;
    std::unique_ptr<AnyDeviceComponent> port;
    std::unique_ptr<frmMain> w;
    QList<Message> messages;
    PaintWatch paint;
    WidgetPaintWatch trafficPaint; // the traffic table, when it is shown
    std::vector<Clock::time_point> ticks;
    int closedOnError = 0;

    // Start-up of the window inside this process.
    double loadMs = NAN;        // construct + show + Form_Load (port open)
    double firstPaintMs = NAN;  // ... + the window's first paint

    /// overTcp: the simulator serves the device on a loopback TCP port, and
    /// COM1 is mapped to its tcp:// address.
    QString start(const QString &devsimExe, bool overTcp = false)
    {
        const QStringList transport = overTcp ? QStringList{QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0")}
                                              : QStringList();
        if (!sim.start(devsimExe, dir.filePath(QStringLiteral("devsim.log")), transport))
            return QStringLiteral("the simulator did not start");
        const QString ini = dir.filePath(QStringLiteral("korvane.ini"));
        writeFile(ini, iniFor(sim.device));

        const auto t0 = Clock::now();
        port = std::make_unique<AnyDeviceComponent>();
        w = std::make_unique<frmMain>(port.get(), ini, [this](const Message &m) { messages.append(m); });
        // The window's first paint: the central widget's first paint event.
        struct FirstPaint : QObject {
            QWidget *target = nullptr;
            bool seen = false;
            Clock::time_point when;
            QEventLoop *loop = nullptr;
            bool eventFilter(QObject *o, QEvent *e) override
            {
                if (!seen && o == target && e->type() == QEvent::Paint) {
                    seen = true;
                    when = Clock::now();
                    if (loop)
                        loop->quit();
                }
                return false;
            }
        } firstPaint;
        firstPaint.target = w->centralWidget();
        w->centralWidget()->installEventFilter(&firstPaint);
        w->show();
        w->Form_Load();
        const auto t1 = Clock::now();
        if (!firstPaint.seen) {
            QEventLoop loop;
            firstPaint.loop = &loop;
            QTimer::singleShot(2000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        w->centralWidget()->removeEventFilter(&firstPaint);
        loadMs = msBetween(t0, t1);
        if (firstPaint.seen)
            firstPaintMs = msBetween(t0, firstPaint.when);

        if (!port->PortOpen())
            return QStringLiteral("the port did not open: ") + port->lastError();
        if (!messages.isEmpty())
            return QStringLiteral("the window warned: ") + messages.first().text;
        if (!overTcp)
            watchWrites(int(port->serial().port().handle()));

        QObject::connect(w->Timer1, &QTimer::timeout, w.get(), [this] { ticks.push_back(Clock::now()); });
        QObject::connect(port.get(), &SerialComponent::closedOnError, w.get(), [this] { ++closedOnError; });
        for (QLabel *l : {w->lblSta, w->lblSta1, w->lblSta2})
            l->installEventFilter(&paint);
        w->frmTraffic->table->viewport()->installEventFilter(&trafficPaint);
        return {};
    }

    QLabel *statusLabel(Kind k) const
    {
        switch (k) {
        case Read:
        case Reset:
            return w->lblSta;
        case Number:
        case Text:
            return w->lblSta1;
        default:
            return w->lblSta2;
        }
    }

    /// Prepares request number i of a kind and returns the button to click.
    QPushButton *prepare(Kind k, int i)
    {
        switch (k) {
        case Read:
            return w->cmdReadCount;
        case Reset:
            return w->cmdResetCount;
        case Number:
            w->txtNum->setText(QString::number((i * 7919) % 999999));
            return w->cmdWReg;
        case Text:
            w->txtASCII->setText(QStringLiteral("T%1").arg(i % 100000, 5, 10, QLatin1Char('0')));
            return w->cmdASCII;
        default:
            return w->cmdOutput[std::size_t(i % OutputButtonCount)];
        }
    }

    /// Clicks the button for request i of kind k and measures it, up to the
    /// status word's paint (and, with the traffic window shown, up to the
    /// traffic table's paint too, so that its cost is counted).
    Sample click(Kind k, int i)
    {
        Sample s;
        QPushButton *button = prepare(k, i);
        QLabel *status = statusLabel(k);
        ticks.clear();
        paint.arm(status);
        trafficPaint.seen = false;
        trafficPaint.target = w->frmTraffic->isVisible() ? w->frmTraffic->table->viewport() : nullptr;
        const auto painted = [this] { return paint.seen && (!trafficPaint.target || trafficPaint.seen); };
        const double st0 = stealMs();
        const double d0 = runQueueDelayMs();
        const double z0 = sleepsSoFar();
        const WriteCount w0 = writesSoFar();
        const double c0 = processCpuMs();
        const auto t0 = Clock::now();
        QTest::mouseClick(button, Qt::LeftButton);
        const auto t1 = Clock::now();
        const auto deadline = t1 + std::chrono::seconds(1);
        while (!painted() && Clock::now() < deadline) {
            QEventLoop loop;
            paint.loop = &loop;
            trafficPaint.loop = &loop;
            QTimer::singleShot(100, &loop, &QEventLoop::quit);
            loop.exec();
            paint.loop = nullptr;
            trafficPaint.loop = nullptr;
        }
        const double c1 = processCpuMs();
        const double z1 = sleepsSoFar();
        const WriteCount w1 = writesSoFar();
        s.runDelayMs = runQueueDelayMs() - d0;
        s.stealMs = stealMs() - st0;
        s.sleeps = z1 - z0;
        s.handlerMs = msBetween(t0, t1);
        s.painted = paint.seen;
        s.trafficPainted = !trafficPaint.target || trafficPaint.seen;
        trafficPaint.target = nullptr;
        s.requestMs = paint.seen ? msBetween(t0, paint.when) : NAN;
        s.cpuMs = c1 - c0;
        s.ticks = int(ticks.size());
        s.tickGapMs = 0;
        for (std::size_t j = 1; j < ticks.size(); ++j) {
            const double gap = msBetween(ticks[j - 1], ticks[j]);
            if (gap > s.tickGapMs) {
                s.tickGapMs = gap;
                s.tickGapAt = int(j);
            }
        }
        s.writes = w1.calls - w0.calls;
        s.bytes = w1.bytes - w0.bytes;
        s.success = status->text() == QLatin1String("Success");
        paint.label = nullptr;
        return s;
    }

    // -------------------------------------------------------- the reference

    /// The exchange with the wait written as a spin: processEvents() over and
    /// over until ten ticks have passed. Exists only here, to show what such
    /// a wait costs next to the program's own.
    Status spinExchange(const Request &r)
    {
        if (!sendRequest(w->vars, *port, r.length))
            return Status::Error;
        w->vars.gTick = 0;
        w->Timer1->start();
        while (w->vars.gTick < ReplyWaitTicks)
            QCoreApplication::processEvents();
        w->Timer1->stop();
        return takeReply(w->vars, *port, r.checkIndex);
    }

    void showCounter()
    {
        const QString text = counterValueText(w->vars.RxData);
        QFont font = uiFont(16, true);
        const int room = w->lblCounter->contentsRect().width() - 2 * w->lblCounter->indent();
        while (font.pixelSize() > 8 && QFontMetrics(font).horizontalAdvance(text) > room)
            font.setPixelSize(font.pixelSize() - 1);
        w->lblCounter->setFont(font);
        w->lblCounter->setText(text);
    }

    /// Points the window's buttons at copies of its handlers that use the
    /// spinning wait; same controls, same port, same requests (the bench's
    /// settings select slave 1, so the slave field always names an entry).
    void switchToSpinningReference()
    {
        frmMain *win = w.get();
        QPushButton *buttons[] = {win->cmdReadCount, win->cmdResetCount, win->cmdWReg, win->cmdASCII};
        for (QPushButton *b : buttons)
            QObject::disconnect(b, &QPushButton::clicked, win, nullptr);
        for (QPushButton *b : win->cmdOutput)
            QObject::disconnect(b, &QPushButton::clicked, win, nullptr);

        QObject::connect(win->cmdReadCount, &QPushButton::clicked, win, [this] {
            w->lblSta->setText(QString());
            const Status s = spinExchange(buildReadCounter(w->vars, w->slaveAddress().value()));
            if (s == Status::Success)
                showCounter();
            w->lblSta->setText(statusWord(s));
        });
        QObject::connect(win->cmdResetCount, &QPushButton::clicked, win, [this] {
            w->lblSta->setText(QString());
            const Status s = spinExchange(buildResetCounter(w->vars, w->slaveAddress().value()));
            w->lblSta->setText(statusWord(s));
            if (s == Status::Success)
                w->lblCounter->setText(QStringLiteral("0"));
        });
        QObject::connect(win->cmdWReg, &QPushButton::clicked, win, [this] {
            w->lblSta1->setText(QString());
            const auto value = parseNumber(w->txtNum->text());
            if (!value)
                return;
            const Status s = spinExchange(buildWriteNumber(w->vars, w->slaveAddress().value(), *value));
            w->lblSta1->setText(statusWord(s));
        });
        QObject::connect(win->cmdASCII, &QPushButton::clicked, win, [this] {
            w->lblSta1->setText(QString());
            const Status s = spinExchange(buildWriteText(w->vars, w->slaveAddress().value(), w->txtASCII->text()));
            w->lblSta1->setText(statusWord(s));
        });
        for (int i = 0; i < OutputButtonCount; ++i) {
            QObject::connect(win->cmdOutput[std::size_t(i)], &QPushButton::clicked, win, [this, i] {
                w->lblSta2->setText(QString());
                const Status s = spinExchange(buildOutput(w->vars, w->slaveAddress().value(), i));
                w->lblSta2->setText(statusWord(s));
            });
        }
    }
};

/// Frame length of each kind of request (what one write should carry).
int frameLength(Kind k, int i)
{
    ModVariables v;
    switch (k) {
    case Read:
        return buildReadCounter(v, 1).length;
    case Reset:
        return buildResetCounter(v, 1).length;
    case Number:
        return buildWriteNumber(v, 1, 0).length;
    case Text:
        return buildWriteText(v, 1, QStringLiteral("ABCDEF")).length;
    default:
        return buildOutput(v, 1, i % OutputButtonCount).length;
    }
}

struct RunResult {
    std::vector<Sample> byKind[KindCount];
    int failures = 0;        // status other than "Success"
    int unpainted = 0;       // status word never painted
    int wrongTicks = 0;      // a wait that did not see exactly ten ticks
    int byteMismatch = 0;    // counted bytes != frame length
};

RunResult runRequests(WindowRig &rig, int perKind, const std::function<void(int)> &afterRequest = {})
{
    RunResult r;
    // Every sample's place is written up front, so that the resident-memory
    // figures do not count the benchmark's own lists growing.
    for (auto &v : r.byKind)
        v.assign(std::size_t(perKind), Sample{});
    rig.ticks.reserve(64);
    const int total = perKind * KindCount;
    for (int n = 0; n < total; ++n) {
        const Kind k = Kind(n % KindCount);
        const int i = n / KindCount;
        const Sample s = rig.click(k, i);
        r.failures += s.success ? 0 : 1;
        r.unpainted += s.painted ? 0 : 1;
        r.wrongTicks += s.ticks == ReplyWaitTicks ? 0 : 1;
        r.byteMismatch += s.bytes == unsigned(frameLength(k, i)) ? 0 : 1;
        r.byKind[k][std::size_t(i)] = s;
        if (afterRequest)
            afterRequest(n + 1);
    }
    return r;
}

std::vector<double> field(const std::vector<Sample> &v, double Sample::*f)
{
    std::vector<double> out;
    for (const Sample &s : v) {
        if (!std::isnan(s.*f))
            out.push_back(s.*f);
    }
    return out;
}

std::vector<double> writesOf(const std::vector<Sample> &v)
{
    std::vector<double> out;
    for (const Sample &s : v)
        out.push_back(double(s.writes));
    return out;
}

// ------------------------------------------------------------ the table

QString num(double v, int decimals)
{
    return std::isnan(v) ? QStringLiteral("n/a") : QString::number(v, 'f', decimals);
}

struct Table {
    QStringList rows;
    int misses = 0;
    void add(const QString &figure, const QString &kind, const QString &median, const QString &p95,
             const QString &max, const QString &target, const QString &result)
    {
        if (result == QLatin1String("MISS"))
            ++misses;
        rows << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |")
                    .arg(figure, kind, median, p95, max, target, result);
    }
    void add(const QString &figure, const QString &kind, const Stats &s, int decimals,
             const QString &target, const QString &result)
    {
        add(figure, kind, num(s.median, decimals), num(s.p95, decimals), num(s.max, decimals), target, result);
    }
};

QString verdict(bool known, bool ok)
{
    return !known ? QStringLiteral("n/a") : ok ? QStringLiteral("PASS") : QStringLiteral("MISS");
}

struct StraceCheck {
    int writes = -1;
    int requests = -1;
};


// ------------------------------------------------------------ korvane-cli against mbpoll

/// Runs args[0] with args to its end, stdout and stderr into logPath: the
/// time from spawning to the process's exit (waited for without polling),
/// and its exit status (-1 when it did not run or end normally).
struct ProcessRun {
    double ms = NAN;
    int exit = -1;
    Clock::time_point endedAt;
};
ProcessRun runProcess(const QStringList &args, const QString &logPath)
{
    ProcessRun r;
    const auto t0 = Clock::now();
    const pid_t pid = spawnProcess(args, logPath);
    if (pid < 0)
        return r;
    int status = 0;
    pid_t w;
    do
        w = waitpid(pid, &status, 0);
    while (w < 0 && errno == EINTR);
    r.endedAt = Clock::now();
    r.ms = msBetween(t0, r.endedAt);
    if (w == pid && WIFEXITED(status))
        r.exit = WEXITSTATUS(status);
    return r;
}

QString fileText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

/// A device of the bench's own on a pseudo-terminal, for the time from a
/// request's first byte to the process's exit: a thread answers every read
/// of the counter at once with 1234 and notes when each request's first
/// byte arrived.
class InstantDevice {
public:
    bool start()
    {
        char name[128];
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            return false;
        path = QString::fromLocal8Bit(name);
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    ~InstantDevice()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (int fd : {master_, slave_}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    /// When the last request's first byte arrived.
    Clock::time_point firstByte() const { return Clock::time_point(Clock::duration(firstByte_.load())); }
    int requests() const { return requests_.load(); }

    QString path;

private:
    void serve()
    {
        static const char reply[] = "\x01\x03\x04\x00\x00\x04\xD2\x78\xAE";
        QByteArray frame;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
                continue;
            char buf[64];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                continue;
            if (frame.isEmpty())
                firstByte_ = Clock::now().time_since_epoch().count();
            frame.append(buf, int(n));
            if (frame.size() >= 8) {
                [[maybe_unused]] const ssize_t w = ::write(master_, reply, sizeof reply - 1);
                frame.clear();
                ++requests_;
            }
        }
    }

    int master_ = -1, slave_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<Clock::rep> firstByte_{0};
    std::atomic<int> requests_{0};
};

struct CliVsMbpoll {
    std::vector<double> cliMs, mbpollMs;          // spawn -> exit, against the simulator
    int cliBad = 0, mbpollBad = 0;                // not status 0, or not the value 1234
    std::vector<double> cliTailMs, mbpollTailMs;  // request's first byte -> exit
    int tailBad = 0;
    std::vector<double> watchLateMs;              // each watch read's start after start + n x 200 ms
    int watchSkipped = -1;
    QString error;
};

/// korvane-cli read and mbpoll on the same simulated device, in turn (each
/// starts first every other round), runs times each; then both against
/// the instant device for the time after the request's first byte; then
/// korvane-cli watch for 20 reads at 0.2 s.
CliVsMbpoll measureCliVsMbpoll(const QString &cliExe, const QString &devsimExe, int runs)
{
    CliVsMbpoll r;
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    if (mbpoll.isEmpty()) {
        r.error = QStringLiteral("mbpoll is not installed (Debian package mbpoll)");
        return r;
    }
    QTemporaryDir dir;
    DevSim sim;
    if (!sim.start(devsimExe, dir.filePath(QStringLiteral("devsim.log")),
                   {QStringLiteral("--counter"), QStringLiteral("1234"), QStringLiteral("--rate"), QStringLiteral("0")})) {
        r.error = QStringLiteral("the simulator did not start");
        return r;
    }
    const auto cliArgs = [&](const QString &device) {
        return QStringList{cliExe, QStringLiteral("--port"), device, QStringLiteral("--baud"), QStringLiteral("9600"),
                           QStringLiteral("--format"), QStringLiteral("8N2"), QStringLiteral("--slave"),
                           QStringLiteral("1"), QStringLiteral("read")};
    };
    const auto mbpollArgs = [&](const QString &device) {
        return QStringList{mbpoll, QStringLiteral("-1"), QStringLiteral("-q"), QStringLiteral("-m"), QStringLiteral("rtu"),
                           QStringLiteral("-b"), QStringLiteral("9600"), QStringLiteral("-P"), QStringLiteral("none"),
                           QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-a"), QStringLiteral("1"),
                           QStringLiteral("-r"), QStringLiteral("1"), QStringLiteral("-c"), QStringLiteral("2"),
                           QStringLiteral("-t"), QStringLiteral("4"), device};
    };
    const QString log = dir.filePath(QStringLiteral("run.log"));
    const auto cliOk = [&](const ProcessRun &p) { return p.exit == 0 && fileText(log).trimmed() == QLatin1String("1234"); };
    const auto mbpollOk = [&](const ProcessRun &p) { return p.exit == 0 && fileText(log).contains(QLatin1String("1234")); };
    for (int i = 0; i < runs; ++i) {
        for (int k = 0; k < 2; ++k) {
            if ((i + k) % 2 == 0) {
                const ProcessRun p = runProcess(cliArgs(sim.device), log);
                r.cliMs.push_back(p.ms);
                r.cliBad += cliOk(p) ? 0 : 1;
            } else {
                const ProcessRun p = runProcess(mbpollArgs(sim.device), log);
                r.mbpollMs.push_back(p.ms);
                r.mbpollBad += mbpollOk(p) ? 0 : 1;
            }
        }
    }

    InstantDevice instant;
    if (instant.start()) {
        for (int i = 0; i < runs; ++i) {
            for (int k = 0; k < 2; ++k) {
                const bool cli = (i + k) % 2 == 0;
                const int before = instant.requests();
                const ProcessRun p = runProcess(cli ? cliArgs(instant.path) : mbpollArgs(instant.path), log);
                const bool ok = (cli ? cliOk(p) : mbpollOk(p)) && instant.requests() == before + 1;
                r.tailBad += ok ? 0 : 1;
                if (ok)
                    (cli ? r.cliTailMs : r.mbpollTailMs).push_back(msBetween(instant.firstByte(), p.endedAt));
            }
        }
    } else {
        r.tailBad = -1;
    }

    const ProcessRun watch = runProcess(QStringList{cliExe, QStringLiteral("--port"), sim.device, QStringLiteral("--json"),
                                                    QStringLiteral("watch"), QStringLiteral("--interval"),
                                                    QStringLiteral("0.2"), QStringLiteral("--count"), QStringLiteral("20")},
                                        log);
    const QStringList lines = fileText(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QDateTime first;
    int n = 0;
    for (const QString &line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        if (o.value(QStringLiteral("summary")).toBool()) {
            r.watchSkipped = o.value(QStringLiteral("skipped")).toInt();
            continue;
        }
        const QDateTime at = QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        if (!at.isValid())
            continue;
        if (!first.isValid())
            first = at;
        r.watchLateMs.push_back(double(first.msecsTo(at) - qint64(n++) * 200 - 0));
    }
    if (watch.exit != 0 || r.watchLateMs.size() != 20)
        r.error = QStringLiteral("korvane-cli watch ended with status %1 after %2 reads")
                      .arg(watch.exit).arg(r.watchLateMs.size());
    return r;
}

/// The rows of figure 8 and a line of checks.
void addCliRows(Table &t, QStringList &checks, const CliVsMbpoll &r)
{
    const Stats cli = statsOf(r.cliMs), mb = statsOf(r.mbpollMs);
    t.add(QStringLiteral("8a. korvane-cli read, process start to exit, against the simulator, ms (%1 runs)").arg(cli.n),
          QStringLiteral("read"), cli, 1, QStringLiteral("median ≤ mbpoll's (8b)"),
          verdict(cli.n > 0 && mb.n > 0, cli.median <= mb.median));
    t.add(QStringLiteral("8b. mbpoll -1 -q -m rtu -b 9600 -P none -s 2 -a 1 -r 1 -c 2 -t 4, the same, ms (%1 runs)")
              .arg(mb.n),
          QStringLiteral("read"), mb, 1, QStringLiteral("(reference)"), QStringLiteral("—"));
    t.add(QStringLiteral("8c. korvane-cli read, the request's first byte to exit (a device answering at once), ms"),
          QStringLiteral("read"), statsOf(r.cliTailMs), 2, QStringLiteral("(information)"), QStringLiteral("—"));
    t.add(QStringLiteral("8d. mbpoll, the request's first byte to exit (the same device), ms"), QStringLiteral("read"),
          statsOf(r.mbpollTailMs), 2, QStringLiteral("(information)"), QStringLiteral("—"));
    std::vector<double> late = r.watchLateMs;
    for (double &v : late)
        v = std::abs(v);
    t.add(QStringLiteral("8e. korvane-cli watch --interval 0.2 --count 20: each read's start after start + n × 200 ms"),
          QStringLiteral("read"), statsOf(late), 0, QStringLiteral("(information)"), QStringLiteral("—"));
    checks << QStringLiteral("korvane-cli against mbpoll: %1 korvane-cli runs and %2 mbpoll runs against the simulator "
                             "not ending with status 0 and the value 1234; %3 runs against the instant device "
                             "without exactly one request and the value; watch: drift of the 20th read %4 ms, "
                             "%5 reads skipped.%6")
                  .arg(r.cliBad).arg(r.mbpollBad).arg(r.tailBad)
                  .arg(r.watchLateMs.empty() ? QStringLiteral("n/a") : num(r.watchLateMs.back(), 0))
                  .arg(r.watchSkipped)
                  .arg(r.error.isEmpty() ? QString() : QStringLiteral(" Not measured in full: ") + r.error);
}
} // namespace

/// Requests with the traffic window hidden and shown, in alternating blocks
/// of two requests of each kind (hidden first), so that both see the same
/// machine; each block begins after the window has settled. The main window
/// is made the active one before each block, as an operator's click in it
/// would: showing the traffic window activates it, and hiding it leaves no
/// window active. In an inactive window a click moves the focus without
/// the buttons that lose and gain it repainting, so such blocks would
/// paint less than the rest of the run and than an operator's clicks.
struct TrafficRun {
    std::vector<double> cpuHidden, cpuShown;
    int failures = 0, unpainted = 0;
    int mainInactive = 0; // blocks that began with the main window not active
};

TrafficRun runTrafficBlocks(WindowRig &rig, int perKind)
{
    TrafficRun r;
    const int blockSize = 2 * KindCount;
    const int blocks = std::max(2, 2 * perKind / blockSize);
    r.cpuHidden.reserve(std::size_t(blocks * blockSize));
    r.cpuShown.reserve(std::size_t(blocks * blockSize));
    int n = 0;
    for (int b = 0; b < blocks; ++b) {
        const bool shown = b % 2 == 1;
        rig.w->mnuTraffic->setChecked(shown);
        idleFor(200);
        rig.w->activateWindow();
        idleFor(20);
        r.mainInactive += QApplication::activeWindow() == rig.w.get() ? 0 : 1;
        for (int j = 0; j < blockSize; ++j, ++n) {
            const Sample x = rig.click(Kind(n % KindCount), n / KindCount);
            (shown ? r.cpuShown : r.cpuHidden).push_back(x.cpuMs);
            r.failures += x.success ? 0 : 1;
            r.unpainted += x.trafficPainted ? 0 : 1;
        }
    }
    rig.w->mnuTraffic->setChecked(false);
    return r;
}

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("korvane_bench"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    QCommandLineParser cli;
    cli.setApplicationDescription(QStringLiteral("KORVANE benchmark (see bench/NOTES.md)"));
    cli.addHelpOption();
    const QCommandLineOption devsimOpt(QStringLiteral("devsim"), QStringLiteral("korvane-devsim executable"),
                                       QStringLiteral("path"), QStringLiteral(KORVANE_BENCH_DEVSIM));
    const QCommandLineOption korvaneOpt(QStringLiteral("korvane"), QStringLiteral("korvane executable"),
                                        QStringLiteral("path"), QStringLiteral(KORVANE_BENCH_KORVANE));
    const QCommandLineOption perKindOpt(QStringLiteral("requests"), QStringLiteral("requests per command kind (>= 200)"),
                                        QStringLiteral("n"), QStringLiteral("200"));
    const QCommandLineOption runsOpt(QStringLiteral("startup-runs"), QStringLiteral("starts of the real program"),
                                     QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption mdOpt(QStringLiteral("markdown"), QStringLiteral("write the results here"),
                                   QStringLiteral("file"));
    const QCommandLineOption shortRunOpt(
        QStringLiteral("short-run"),
        QStringLiteral("only send n requests with the program's wait and print the device and their figures "
                       "(for strace, or for a run under another scheduling policy)"),
        QStringLiteral("n"));
    const QCommandLineOption straceOpt(QStringLiteral("strace"),
                                       QStringLiteral("strace's count: WRITES,REQUESTS from a --short-run"),
                                       QStringLiteral("w,r"));
    const QCommandLineOption samplesOpt(QStringLiteral("samples"),
                                        QStringLiteral("also write every request's figures here (CSV)"),
                                        QStringLiteral("file"));
    const QCommandLineOption fifoOpt(
        QStringLiteral("fifo"),
        QStringLiteral("the \"figures:\" of a --short-run under SCHED_FIFO, comma separated"),
        QStringLiteral("list"));
    const QCommandLineOption trafficRunOpt(
        QStringLiteral("traffic-run"),
        QStringLiteral("only send n requests of each kind with the traffic window hidden and shown in turn and "
                       "print the CPU per request of both (to look at the traffic window's cost alone)"),
        QStringLiteral("n"));
    const QCommandLineOption cliExeOpt(QStringLiteral("cli"), QStringLiteral("korvane-cli executable"),
                                       QStringLiteral("path"), QStringLiteral(KORVANE_BENCH_CLI));
    const QCommandLineOption cliRunsOpt(QStringLiteral("cli-runs"),
                                        QStringLiteral("runs of korvane-cli read and of mbpoll each (figure 8)"),
                                        QStringLiteral("n"), QStringLiteral("30"));
    const QCommandLineOption cliVsMbpollOpt(
        QStringLiteral("cli-vs-mbpoll"),
        QStringLiteral("only measure korvane-cli against mbpoll (figure 8) and print its rows"));
    const QCommandLineOption searchOpt(
        QStringLiteral("search-sweep"),
        QStringLiteral("only measure the device search (Find Device): a silent sweep of addresses 1..n (247: the "
                       "whole range, about 75 s), a device at the last setting tried, six ports against one; print "
                       "a Markdown table"),
        QStringLiteral("n"));
    cli.addOptions({devsimOpt, korvaneOpt, perKindOpt, runsOpt, mdOpt, shortRunOpt, straceOpt, samplesOpt, fifoOpt,
                    trafficRunOpt, searchOpt, cliExeOpt, cliRunsOpt, cliVsMbpollOpt});
    cli.process(app);

    const QString devsimExe = cli.value(devsimOpt);
    const QString korvaneExe = cli.value(korvaneOpt);
    if (cli.isSet(searchOpt))
        return runSearchBench(devsimExe, cli.value(searchOpt).toInt());
    const int perKind = std::max(1, cli.value(perKindOpt).toInt());
    const int runs = std::max(1, cli.value(runsOpt).toInt());
    const QString cliExe = cli.value(cliExeOpt);
    const int cliRuns = std::max(1, cli.value(cliRunsOpt).toInt());

    if (cli.isSet(cliVsMbpollOpt)) {
        const CliVsMbpoll r = measureCliVsMbpoll(cliExe, devsimExe, cliRuns);
        Table t;
        QStringList checks;
        addCliRows(t, checks, r);
        std::printf("| Figure | Kind | Median | p95 | Max | Target | Result |\n|---|---|---|---|---|---|---|\n%s\n\n",
                    qPrintable(t.rows.join(QLatin1Char('\n'))));
        for (const QString &c : checks)
            std::printf("- %s\n", qPrintable(c));
        return r.error.isEmpty() && t.misses == 0 ? 0 : 1;
    }

    if (cli.isSet(shortRunOpt)) {
        // One request after another, round robin over the kinds, for an
        // outside count of the write(2) calls on the device, or for the
        // tick regularity under another scheduling policy.
        WindowRig rig;
        const QString err = rig.start(devsimExe);
        if (!err.isEmpty()) {
            std::fprintf(stderr, "korvane_bench: %s\n", qPrintable(err));
            return 1;
        }
        const int n = std::max(1, cli.value(shortRunOpt).toInt());
        int ok = 0;
        std::vector<double> gaps, delays, cpu, sleeps;
        for (int i = 0; i < n; ++i) {
            const Sample x = rig.click(Kind(i % KindCount), i / KindCount);
            ok += x.success ? 1 : 0;
            gaps.push_back(x.tickGapMs);
            delays.push_back(x.runDelayMs);
            cpu.push_back(x.cpuMs);
            sleeps.push_back(x.sleeps);
        }
        const Stats g = statsOf(gaps), d = statsOf(delays), c = statsOf(cpu), z = statsOf(sleeps);
        std::printf("device: %s\nrequests: %d\nsuccess: %d\n", qPrintable(rig.sim.device), n, ok);
        std::printf("longest tick interval ms: median %.2f p95 %.2f max %.2f\n", g.median, g.p95, g.max);
        std::printf("run-queue delay ms: median %.2f p95 %.2f max %.2f\n", d.median, d.p95, d.max);
        std::printf("cpu per request ms: median %.2f p95 %.2f max %.2f\n", c.median, c.p95, c.max);
        std::printf("sleeps per request: median %.0f p95 %.0f max %.0f\n", z.median, z.p95, z.max);
        std::printf("figures: %d %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f\n", n, g.median, g.p95, g.max,
                    d.median, d.p95, d.max, c.median, c.p95, c.max);
        return ok == n ? 0 : 1;
    }
    if (cli.isSet(trafficRunOpt)) {
        WindowRig rig;
        const QString err = rig.start(devsimExe);
        if (!err.isEmpty()) {
            std::fprintf(stderr, "korvane_bench: %s\n", qPrintable(err));
            return 1;
        }
        // The table as the full run leaves it: 1,000 rows (copies of one
        // request's record), so that its scroll bar's handle has reached
        // its smallest size and, following the end, stays where it is.
        rig.click(Read, 0);
        TrafficModel &table = *rig.w->frmTraffic->model();
        ExchangeRecord row = table.record(table.rowCount() - 1);
        while (table.rowCount() < 1000) {
            ++row.number;
            table.addRecord(row);
        }
        const TrafficRun r = runTrafficBlocks(rig, std::max(int(KindCount), cli.value(trafficRunOpt).toInt()));
        const Stats hidden = statsOf(r.cpuHidden), shown = statsOf(r.cpuShown);
        std::printf("cpu per request ms, traffic window hidden: median %.2f p95 %.2f max %.2f (%d requests)\n",
                    hidden.median, hidden.p95, hidden.max, int(hidden.n));
        std::printf("cpu per request ms, traffic window shown: median %.2f p95 %.2f max %.2f (%d requests)\n",
                    shown.median, shown.p95, shown.max, int(shown.n));
        std::printf("shown minus hidden (medians): %.2f ms; not \"Success\": %d; table never painted: %d; "
                    "blocks begun with the main window not active: %d\n",
                    shown.median - hidden.median, r.failures, r.unpainted, r.mainInactive);
        return r.failures == 0 && r.unpainted == 0 ? 0 : 1;
    }
    StraceCheck strace;
    if (cli.isSet(straceOpt)) {
        const QStringList p = cli.value(straceOpt).split(QLatin1Char(','));
        strace.writes = p.value(0).toInt();
        strace.requests = p.value(1).toInt();
    }

    const QString started = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
    const auto benchStart = Clock::now();
    const QString loadAtStart = loadAverage();

    // 1. The real executable: start-up, peak memory, hang-up.
    std::fprintf(stderr, "korvane_bench: starting the real program %d times...\n", runs);
    const RealProcessResult real = measureRealProcess(korvaneExe, devsimExe, runs, 500);
    if (!real.error.isEmpty())
        std::fprintf(stderr, "korvane_bench: real program: %s\n", qPrintable(real.error));

    // 1b. korvane-cli against the distribution's polling tool, before the
    // window in this process holds any port.
    std::fprintf(stderr, "korvane_bench: korvane-cli read and mbpoll, %d runs each...\n", cliRuns);
    const CliVsMbpoll cliVsMbpoll = measureCliVsMbpoll(cliExe, devsimExe, cliRuns);

    // 2. The window in this process: requests with the program's wait.
    WindowRig rig;
    const QString err = rig.start(devsimExe);
    if (!err.isEmpty()) {
        std::fprintf(stderr, "korvane_bench: %s\n", qPrintable(err));
        return 1;
    }
    std::fprintf(stderr, "korvane_bench: %d requests with the program's wait...\n", perKind * KindCount);
    double rssAt100 = NAN, rssAt1000 = NAN, heapAt100 = NAN, heapAt1000 = NAN;
    QStringList rssEvery100;
    const QString self = QStringLiteral("self");
    const RunResult product = runRequests(rig, perKind, [&](int done) {
        if (done % 100 == 0)
            rssEvery100 << num(statusMb(self, "VmRSS:"), 2);
        if (done == 100) {
            rssAt100 = statusMb(self, "VmRSS:");
            heapAt100 = heapInUseMb();
        }
        if (done == 1000) {
            rssAt1000 = statusMb(self, "VmRSS:");
            heapAt1000 = heapInUseMb();
        }
    });

    // The program's wait on its own: ten ticks of the window's timer, with
    // no request, click or painting around it.
    std::vector<double> bareWaitCpu, bareWaitMs;
    {
        const QPointer<QObject> owner(rig.w.get());
        for (int i = 0; i < 100; ++i) {
            const double c0 = processCpuMs();
            const auto w0 = Clock::now();
            waitForTicks(owner, rig.w->vars, *rig.w->Timer1);
            bareWaitMs.push_back(msBetween(w0, Clock::now()));
            bareWaitCpu.push_back(processCpuMs() - c0);
        }
    }

    // The traffic window hidden and shown.
    std::fprintf(stderr, "korvane_bench: %d requests with the traffic window hidden and shown...\n", 2 * perKind);
    const TrafficRun traffic = runTrafficBlocks(rig, perKind);
    const std::vector<double> &cpuTrafficHidden = traffic.cpuHidden, &cpuTrafficShown = traffic.cpuShown;
    const int trafficFailures = traffic.failures, trafficUnpainted = traffic.unpainted,
              trafficMainInactive = traffic.mainInactive;

    // The memory of a full traffic table: 10,000 records made like the
    // program's own (frames and replies copied from the run's last
    // exchanges, each its own allocation as every request makes them; the
    // port's device and the command's caption shared, as in the program).
    double trafficRecordsMb = NAN;
    int trafficRecordsKept = 0;
    {
        const TrafficModel &ran = *rig.w->frmTraffic->model();
        std::vector<ExchangeRecord> recent;
        for (int row = std::max(0, ran.rowCount() - 2 * KindCount); row < ran.rowCount(); ++row)
            recent.push_back(ran.record(row));
        const auto own = [](const QByteArray &b) { return QByteArray(b.constData(), b.size()); };
        const double before = heapInUseMb();
        auto table = std::make_unique<TrafficModel>();
        for (int i = 0; i < TrafficModel::DefaultRowLimit && !recent.empty(); ++i) {
            ExchangeRecord r = recent[std::size_t(i) % recent.size()];
            r.number = quint64(i + 1);
            r.sent = own(r.sent);
            r.taken = own(r.taken);
            r.late = own(r.late);
            r.droppedBeforeSend = own(r.droppedBeforeSend);
            table->addRecord(r);
        }
        trafficRecordsMb = heapInUseMb() - before;
        trafficRecordsKept = table->rowCount();
    }

    // 2t. The same requests over TCP: the simulator as a serial device
    // server on the loopback address.
    std::fprintf(stderr, "korvane_bench: %d requests over TCP...\n", perKind * KindCount);
    RunResult overTcp;
    QString tcpError;
    {
        WindowRig tcpRig;
        tcpError = tcpRig.start(devsimExe, true);
        if (tcpError.isEmpty())
            overTcp = runRequests(tcpRig, perKind);
        else
            std::fprintf(stderr, "korvane_bench: over TCP: %s\n", qPrintable(tcpError));
    }

    // 3. The same requests with the spinning reference wait.
    std::fprintf(stderr, "korvane_bench: %d requests with the spinning reference wait...\n", perKind * KindCount);
    rig.switchToSpinningReference();
    const RunResult reference = runRequests(rig, perKind);

    // 4. Idle with the port open, then the simulator killed.
    std::fprintf(stderr, "korvane_bench: idle and hang-up...\n");
    double c0 = processCpuMs();
    auto t0 = Clock::now();
    idleFor(2000);
    const double idleCpuPercent = (processCpuMs() - c0) / msBetween(t0, Clock::now()) * 100.0;
    c0 = processCpuMs();
    t0 = Clock::now();
    rig.sim.stop(SIGKILL);
    idleFor(2000);
    const double hangupCpuPercent = (processCpuMs() - c0) / msBetween(t0, Clock::now()) * 100.0;
    const bool portClosedAfterHangup = !rig.port->PortOpen();
    const int droppedBySim = rig.sim.count(QStringLiteral("dropped:"));
    const int requestsSeenBySim = rig.sim.count(QStringLiteral("request "));

    // ---------------------------------------------------------------- table
    Table t;
    QStringList checks;
    const QString reqFig = QStringLiteral("1. Request time, click to status word painted, ms (× 100 ms)");
    for (int k = 0; k < KindCount; ++k) {
        const Stats s = statsOf(field(product.byKind[k], &Sample::requestMs));
        auto cell = [](double v) { return std::isnan(v) ? QStringLiteral("n/a")
                                                        : QStringLiteral("%1 (%2×)").arg(num(v, 1), num(v / 100.0, 3)); };
        t.add(reqFig, QLatin1String(KindNames[k]), cell(s.median), cell(s.p95), cell(s.max),
              QStringLiteral("median ≤ 105 (1.05×), p95 ≤ 115 (1.15×)"),
              verdict(s.n > 0, s.median <= 105.0 && s.p95 <= 115.0));
    }
    const QString cpuFig = QStringLiteral("2a. CPU per request (user + system), program's wait, ms");
    const QString refFig = QStringLiteral("2b. CPU per request, spinning reference wait, ms");
    const QString ratioFig = QStringLiteral("2c. CPU ratio, spinning reference ÷ program's wait");
    Stats prodCpu[KindCount], refCpu[KindCount];
    for (int k = 0; k < KindCount; ++k) {
        prodCpu[k] = statsOf(field(product.byKind[k], &Sample::cpuMs));
        t.add(cpuFig, QLatin1String(KindNames[k]), prodCpu[k], 2, QStringLiteral("median ≤ 2"),
              verdict(prodCpu[k].n > 0, prodCpu[k].median <= 2.0));
    }
    for (int k = 0; k < KindCount; ++k) {
        refCpu[k] = statsOf(field(reference.byKind[k], &Sample::cpuMs));
        t.add(refFig, QLatin1String(KindNames[k]), refCpu[k], 1, QStringLiteral("(reference)"), QStringLiteral("—"));
    }
    for (int k = 0; k < KindCount; ++k) {
        auto ratio = [](double a, double b) { return b > 0 ? QStringLiteral("%1×").arg(num(a / b, 0)) : QStringLiteral("n/a"); };
        const double r = refCpu[k].median / prodCpu[k].median;
        t.add(ratioFig, QLatin1String(KindNames[k]), ratio(refCpu[k].median, prodCpu[k].median),
              ratio(refCpu[k].p95, prodCpu[k].p95), ratio(refCpu[k].max, prodCpu[k].max),
              QStringLiteral("≥ 20× (medians)"), verdict(!std::isnan(r), r >= 20.0));
    }
    t.add(QStringLiteral("2d. CPU of the program's wait alone (ten ticks, no request, click or painting), ms (%1 waits)")
              .arg(bareWaitCpu.size()),
          QStringLiteral("—"), statsOf(bareWaitCpu), 2, QStringLiteral("(information)"), QStringLiteral("—"));
    const Stats hiddenCpu = statsOf(cpuTrafficHidden), shownCpu = statsOf(cpuTrafficShown);
    t.add(QStringLiteral("2e. CPU per request, traffic window hidden, ms (%1 requests, in blocks of %2 alternating "
                         "with 2f)").arg(hiddenCpu.n).arg(2 * KindCount),
          QStringLiteral("all"), hiddenCpu, 2, QStringLiteral("(compared in 2g)"), QStringLiteral("—"));
    t.add(QStringLiteral("2f. CPU per request, traffic window shown, up to its table's paint, ms (%1 requests)")
              .arg(shownCpu.n),
          QStringLiteral("all"), shownCpu, 2, QStringLiteral("(compared in 2g)"), QStringLiteral("—"));
    const double trafficCost = shownCpu.median - hiddenCpu.median;
    // Information only: the window is Qt's own table, kept simple rather
    // than cut to a target (see bench/NOTES.md).
    t.add(QStringLiteral("2g. CPU per request, traffic window shown minus hidden (medians), ms"), QStringLiteral("all"),
          num(trafficCost, 2), QStringLiteral("—"), QStringLiteral("—"), QStringLiteral("(information)"),
          QStringLiteral("—"));
    const QString tcpReqFig = QStringLiteral("1t. Request time over TCP (serial device server on the loopback address), "
                                             "click to status word painted, ms (× 100 ms)");
    const QString tcpCpuFig = QStringLiteral("2t. CPU per request over TCP, program's wait, ms");
    for (int k = 0; k < KindCount; ++k) {
        const Stats s = statsOf(field(overTcp.byKind[k], &Sample::requestMs));
        auto cell = [](double v) { return std::isnan(v) ? QStringLiteral("n/a")
                                                        : QStringLiteral("%1 (%2×)").arg(num(v, 1), num(v / 100.0, 3)); };
        t.add(tcpReqFig, QLatin1String(KindNames[k]), cell(s.median), cell(s.p95), cell(s.max),
              QStringLiteral("median ≤ 105 (1.05×), p95 ≤ 115 (1.15×)"),
              verdict(s.n > 0, s.median <= 105.0 && s.p95 <= 115.0));
    }
    for (int k = 0; k < KindCount; ++k) {
        const Stats s = statsOf(field(overTcp.byKind[k], &Sample::cpuMs));
        t.add(tcpCpuFig, QLatin1String(KindNames[k]), s, 2, QStringLiteral("median ≤ 2"),
              verdict(s.n > 0, s.median <= 2.0));
    }
    const QString tickFig = QStringLiteral("3. Longest interval between two ticks in one wait, ms");
    for (int k = 0; k < KindCount; ++k) {
        const Stats s = statsOf(field(product.byKind[k], &Sample::tickGapMs));
        t.add(tickFig, QLatin1String(KindNames[k]), s, 2, QStringLiteral("max ≤ 15"), verdict(s.n > 0, s.max <= 15.0));
    }
    std::vector<double> fifo;
    for (const QString &f : cli.value(fifoOpt).split(QLatin1Char(','), Qt::SkipEmptyParts))
        fifo.push_back(f.toDouble());
    if (fifo.size() == 10) {
        t.add(QStringLiteral("3b. The same in a short run under SCHED_FIFO (no competition for the CPU), "
                             "%1 requests, ms").arg(fifo[0]),
              QStringLiteral("all"), num(fifo[1], 2), num(fifo[2], 2), num(fifo[3], 2), QStringLiteral("max ≤ 15"),
              verdict(true, fifo[3] <= 15.0));
        checks << QStringLiteral("Short run under SCHED_FIFO (%1 requests): run-queue delay per request median %2, "
                                 "p95 %3, max %4 ms; CPU per request median %5, p95 %6, max %7 ms.")
                      .arg(fifo[0]).arg(num(fifo[4], 2), num(fifo[5], 2), num(fifo[6], 2), num(fifo[7], 2),
                                        num(fifo[8], 2), num(fifo[9], 2));
    }
    const QString writeFig = QStringLiteral("4. write(2) calls on the serial device per request frame (counted in-process)");
    for (int k = 0; k < KindCount; ++k) {
        const Stats s = statsOf(writesOf(product.byKind[k]));
        t.add(writeFig, QLatin1String(KindNames[k]), s, 0, QStringLiteral("1 (max)"),
              verdict(s.n > 0, s.max == 1.0 && s.median == 1.0));
    }
    if (strace.requests > 0) {
        const double per = double(strace.writes) / double(strace.requests);
        t.add(QStringLiteral("4. write(2) calls on the serial device per request frame (strace, %1 requests)")
                  .arg(strace.requests),
              QStringLiteral("all"), num(per, 2), QStringLiteral("—"), QStringLiteral("—"),
              QStringLiteral("1"), verdict(true, strace.writes == strace.requests));
    }
    const Stats startup = statsOf(real.startupMs);
    t.add(QStringLiteral("5a. Start-up of the korvane process, spawn to serial device opened, ms (%1 runs)")
              .arg(startup.n),
          QStringLiteral("—"), startup, 1, QStringLiteral("median ≤ 300"),
          verdict(startup.n > 0, startup.median <= 300.0));
    t.add(QStringLiteral("5b. Start-up in-process, window built + Form_Load (port open) / + first paint, ms (1 run)"),
          QStringLiteral("—"), QStringLiteral("%1 / %2").arg(num(rig.loadMs, 1), num(rig.firstPaintMs, 1)),
          QStringLiteral("—"), QStringLiteral("—"), QStringLiteral("(information)"), QStringLiteral("—"));
    const Stats hwm = statsOf(real.peakRssMb);
    t.add(QStringLiteral("5c. Peak resident memory (VmHWM) of the korvane process after start-up, MB"),
          QStringLiteral("—"), hwm, 1, QStringLiteral("max ≤ 60"), verdict(hwm.n > 0, hwm.max <= 60.0));
    t.add(QStringLiteral("6a. CPU in the 2 s after the simulator was killed, korvane process, % of one core"),
          QStringLiteral("—"), num(real.hangupCpuPercent, 2), QStringLiteral("—"), QStringLiteral("—"),
          QStringLiteral("≤ 1 %"), verdict(!std::isnan(real.hangupCpuPercent), real.hangupCpuPercent <= 1.0));
    t.add(QStringLiteral("6b. CPU in the 2 s after the simulator was killed, in-process window, % of one core"),
          QStringLiteral("—"), num(hangupCpuPercent, 2), QStringLiteral("—"), QStringLiteral("—"),
          QStringLiteral("≤ 1 %"), verdict(true, hangupCpuPercent <= 1.0));
    t.add(QStringLiteral("6c. CPU idle for 2 s with the port open (before the hang-up), in-process, % of one core"),
          QStringLiteral("—"), num(idleCpuPercent, 2), QStringLiteral("—"), QStringLiteral("—"),
          QStringLiteral("(information)"), QStringLiteral("—"));
    t.add(QStringLiteral("7. Heap in use (malloc) for %1 traffic records, the table's bound, MB").arg(trafficRecordsKept),
          QStringLiteral("—"), num(trafficRecordsMb, 2), QStringLiteral("—"), QStringLiteral("—"),
          QStringLiteral("≤ 5"),
          verdict(trafficRecordsKept == TrafficModel::DefaultRowLimit, trafficRecordsMb <= 5.0));
    const double growth = rssAt1000 - rssAt100;
    t.add(QStringLiteral("6d. Resident memory (VmRSS) after request 1,000 minus after request 100, MB"),
          QStringLiteral("—"), QStringLiteral("%1 (%2 → %3)").arg(num(growth, 2), num(rssAt100, 1), num(rssAt1000, 1)),
          QStringLiteral("—"), QStringLiteral("—"), QStringLiteral("< 1"), verdict(!std::isnan(growth), growth < 1.0));

    addCliRows(t, checks, cliVsMbpoll);

    // ---------------------------------------------------------------- checks
    checks << QStringLiteral("Requests with the program's wait: %1, status other than \"Success\": %2, "
                             "status word never painted: %3, waits without exactly ten ticks: %4, "
                             "requests whose counted bytes differ from the frame length: %5.")
                  .arg(perKind * KindCount).arg(product.failures).arg(product.unpainted)
                  .arg(product.wrongTicks).arg(product.byteMismatch);
    checks << QStringLiteral("Requests with the traffic window hidden and shown: %1, status other than \"Success\": "
                             "%2, shown but its table never painted: %3, blocks begun with the main window not "
                             "active: %4.")
                  .arg(hiddenCpu.n + shownCpu.n).arg(trafficFailures).arg(trafficUnpainted).arg(trafficMainInactive);
    checks << QStringLiteral("Requests over TCP (korvane-devsim --tcp 127.0.0.1:0, COM1 mapped to its tcp:// "
                             "address): %1, status other than \"Success\": %2, status word never painted: %3, "
                             "waits without exactly ten ticks: %4.%5")
                  .arg(perKind * KindCount).arg(overTcp.failures).arg(overTcp.unpainted).arg(overTcp.wrongTicks)
                  .arg(tcpError.isEmpty() ? QString() : QStringLiteral(" Not measured: ") + tcpError);
    checks << QStringLiteral("Requests with the spinning reference: %1, status other than \"Success\": %2, "
                             "waits without exactly ten ticks: %3.")
                  .arg(perKind * KindCount).arg(reference.failures).arg(reference.wrongTicks);
    checks << QStringLiteral("The simulator logged %1 requests and dropped %2 incomplete or broken frames.")
                  .arg(requestsSeenBySim).arg(droppedBySim);
    {
        std::vector<double> all;
        for (int k = 0; k < KindCount; ++k) {
            const auto v = field(reference.byKind[k], &Sample::tickGapMs);
            all.insert(all.end(), v.begin(), v.end());
        }
        const Stats refGap = statsOf(all);
        checks << QStringLiteral("Longest tick interval with the spinning reference (all kinds): median %1, p95 %2, max %3 ms.")
                      .arg(num(refGap.median, 2), num(refGap.p95, 2), num(refGap.max, 2));
    }
    {
        std::vector<double> all;
        for (int k = 0; k < KindCount; ++k) {
            const auto v = field(product.byKind[k], &Sample::handlerMs);
            all.insert(all.end(), v.begin(), v.end());
        }
        const Stats h = statsOf(all);
        checks << QStringLiteral("Click to handler returned (status word set, before painting), all kinds: "
                                 "median %1, p95 %2, max %3 ms.")
                      .arg(num(h.median, 1), num(h.p95, 1), num(h.max, 1));
    }
    checks << QStringLiteral("Real program: %1 starts, %2 failed to open the device, %3 did not exit with status 0 "
                             "after SIGTERM; resident memory (VmRSS) after start-up: median %4 MB; after the "
                             "hang-up it %5 that it closed the port.")
                  .arg(runs).arg(real.failedStarts).arg(real.badExits)
                  .arg(num(statsOf(real.rssMb).median, 1))
                  .arg(real.hangupReported ? QStringLiteral("reported") : QStringLiteral("did NOT report"));
    checks << QStringLiteral("In-process window after the hang-up: port %1, closed-on-error signals: %2.")
                  .arg(portClosedAfterHangup ? QStringLiteral("closed") : QStringLiteral("still OPEN"))
                  .arg(rig.closedOnError);
    checks << QStringLiteral("Resident memory (VmRSS) of this process after every 100 requests with the program's "
                             "wait, MB: %1. Heap in use (malloc) after request 100: %2 MB, after request "
                             "1,000: %3 MB.")
                  .arg(rssEvery100.join(QStringLiteral(", ")), num(heapAt100, 3), num(heapAt1000, 3));
    if (!real.error.isEmpty())
        checks << QStringLiteral("Real program measurement failed: %1.").arg(real.error);

    {
        const Stats bw = statsOf(bareWaitMs);
        checks << QStringLiteral("The program's wait alone took median %1, p95 %2, max %3 ms.")
                      .arg(num(bw.median, 1), num(bw.p95, 1), num(bw.max, 1));
    }
    {
        // Waits with a long tick interval, and how long the scheduler kept
        // the process from running during them.
        std::vector<double> longDelay, allDelay;
        int longWaits = 0, longWithSteal = 0, withSteal = 0;
        double stealTotal = 0;
        for (int k = 0; k < KindCount; ++k) {
            for (const Sample &x : product.byKind[k]) {
                allDelay.push_back(x.runDelayMs);
                stealTotal += x.stealMs;
                withSteal += x.stealMs > 0 ? 1 : 0;
                if (x.tickGapMs > 15.0) {
                    ++longWaits;
                    longDelay.push_back(x.runDelayMs);
                    longWithSteal += x.stealMs > 0 ? 1 : 0;
                }
            }
        }
        const Stats a = statsOf(allDelay), l = statsOf(longDelay);
        checks << QStringLiteral("Time the process was runnable but waiting for a CPU (run-queue delay from "
                                 "/proc/thread-self/schedstat) per request with the program's wait: median %1, "
                                 "p95 %2, max %3 ms; in the %4 waits with a tick interval over 15 ms: median %5, "
                                 "max %6 ms.")
                      .arg(num(a.median, 2), num(a.p95, 2), num(a.max, 2)).arg(longWaits)
                      .arg(num(l.median, 2), num(l.max, 2));
        checks << QStringLiteral("Hypervisor steal time (all CPUs, /proc/stat, 10 ms units) over the requests with "
                                 "the program's wait: %1 ms in all; the counter moved during %2 of the %3 requests "
                                 "and during %4 of the %5 waits with a tick interval over 15 ms.")
                      .arg(num(stealTotal, 0)).arg(withSteal).arg(perKind * KindCount).arg(longWithSteal)
                      .arg(longWaits);
    }
    if (cli.isSet(samplesOpt)) {
        QString csv = QStringLiteral("wait,kind,index,request_ms,handler_ms,cpu_ms,tick_gap_ms,tick_gap_at,"
                                     "run_delay_ms,steal_ms,sleeps,ticks,writes,bytes,success\n");
        for (int phase = 0; phase < 2; ++phase) {
            const RunResult &rr = phase == 0 ? product : reference;
            for (int k = 0; k < KindCount; ++k) {
                int i = 0;
                for (const Sample &x : rr.byKind[k]) {
                    csv += QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,%9,%10,%11,%12,%13,%14,%15\n")
                               .arg(phase == 0 ? QStringLiteral("program") : QStringLiteral("spin"),
                                    QLatin1String(KindNames[k]))
                               .arg(i++)
                               .arg(num(x.requestMs, 3), num(x.handlerMs, 3), num(x.cpuMs, 3), num(x.tickGapMs, 3))
                               .arg(x.tickGapAt)
                               .arg(num(x.runDelayMs, 3), num(x.stealMs, 0), num(x.sleeps, 0))
                               .arg(x.ticks)
                               .arg(x.writes)
                               .arg(x.bytes)
                               .arg(x.success ? 1 : 0);
                }
            }
        }
        writeFile(cli.value(samplesOpt), csv.toUtf8());
    }
    const QString loadAtEnd = loadAverage();
    const double minutes = msBetween(benchStart, Clock::now()) / 60000.0;
    QString md;
    md += QStringLiteral("# KORVANE benchmark results\n\n");
    md += QStringLiteral("Generated by `scripts/bench`; do not edit by hand. What the figures mean, how they are "
                         "taken and what they show: [NOTES.md](NOTES.md).\n\n");
    md += QStringLiteral("- Date: %1\n").arg(started);
    md += QStringLiteral("- CPU: %1, %2 cores online\n").arg(machineCpuModel()).arg(sysconf(_SC_NPROCESSORS_ONLN));
    md += QStringLiteral("- Load average (1, 5, 15 min) at the start: %1; at the end: %2\n").arg(loadAtStart, loadAtEnd);
    md += QStringLiteral("- Qt %1 (run time), build type %2, platform offscreen\n")
              .arg(QString::fromLatin1(qVersion()), QStringLiteral(KORVANE_BENCH_BUILD_TYPE));
    md += QStringLiteral("- %1 requests per command kind (read, reset, number, text, output) in turn, against "
                         "korvane-devsim over a pseudo-terminal at 9600,n,8,2 (the traffic window hidden, as "
                         "at start-up); %2 more with the traffic window hidden and shown in turn; those first %3 "
                         "again with the spinning reference wait; %4 starts of the real program; %5 runs each of "
                         "korvane-cli read and mbpoll; measuring took %6 min\n\n")
              .arg(perKind).arg(hiddenCpu.n + shownCpu.n).arg(perKind * KindCount).arg(runs).arg(cliRuns)
              .arg(num(minutes, 1));
    md += QStringLiteral("| Figure | Kind | Median | p95 | Max | Target | Result |\n");
    md += QStringLiteral("|---|---|---|---|---|---|---|\n");
    md += t.rows.join(QLatin1Char('\n')) + QLatin1Char('\n');
    md += QStringLiteral("\n%1 of the targets missed.\n\n").arg(t.misses);
    md += QStringLiteral("## Checks made during the run\n\n");
    for (const QString &c : checks)
        md += QStringLiteral("- %1\n").arg(c);

    std::fputs(qPrintable(md), stdout);
    if (cli.isSet(mdOpt) && !writeFile(cli.value(mdOpt), md.toUtf8())) {
        std::fprintf(stderr, "korvane_bench: cannot write %s\n", qPrintable(cli.value(mdOpt)));
        return 1;
    }
    return 0;
}
