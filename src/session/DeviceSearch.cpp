#include "DeviceSearch.h"

#include "CommandRunner.h"
#include "PortSession.h"
#include "protocol/Commands.h"
#include "serial/AnyDeviceComponent.h"
#include "serial/TcpDevice.h"

#include <QPointer>

#include <algorithm>

namespace korvane {

namespace {

// A device as the port opens it: a bare name lies in /dev.
QString deviceKey(const QString &device)
{
    const QString d = device.trimmed();
    if (isTcpDevice(d))
        return d.toLower();
    return d.contains(QLatin1Char('/')) ? d : QStringLiteral("/dev/") + d;
}

Request readCounter(ModVariables &v, std::uint8_t slave) { return buildReadCounter(v, slave); }

} // namespace

struct DeviceSearch::PortRun {
    SearchPort port;      // its device filled in
    bool isWindow = false;
    // Declared in this order so that they are destroyed runner first.
    std::unique_ptr<SerialComponent> component;
    std::unique_ptr<PortSession> ownSession;
    PortSession *session = nullptr;
    std::unique_ptr<CommandRunner> runner;
    QMetaObject::Connection lostConnection;

    QList<Probe> probes;
    qsizetype next = 0;
    bool opened = false;
    bool confirming = false;  // the next probe reads probes[next] again
    bool ended = false;
    std::optional<QString> lostReason;
    std::optional<ExchangeRecord> record;  // the last probe's, not judged yet
    quint64 errorsBefore = 0;              // the port's error count as it began
    QList<int> foundAddresses;
    qint64 remainingWaitMs = 0;
    PortReport report;

    int waitOf(const Probe &p, int requested) const { return probeWaitMs(requested, baudOf(p.settings)); }
};

DeviceSearch::DeviceSearch(QObject *parent)
    : QObject(parent)
{
}

DeviceSearch::~DeviceSearch()
{
    if (!running_)
        return;
    // A probe under way ends with its runner, unjudged and unreported;
    // then the ports are given back before their sessions go.
    stopping_ = true;
    for (const auto &run : runs_) {
        disconnect(run->lostConnection);
        run->runner.reset();
    }
    giveBackWindowPort();
    running_ = false;
}

std::optional<QString> DeviceSearch::start(const SearchOptions &options)
{
    if (running_)
        return QStringLiteral("A search is under way.");
    if (const auto why = whyNotSearchable(options))
        return why;

    options_ = options;
    runs_.clear();
    found_.clear();
    stopping_ = false;
    stoppedByCall_ = false;
    windowBefore_.reset();

    for (const SearchPort &asked : std::as_const(options_.ports)) {
        auto run = std::make_unique<PortRun>();
        run->port = asked;
        if (run->port.device.trimmed().isEmpty())
            run->port.device = window_ ? window_->portDevice(asked.commPort)
                                       : SerialComponent::defaultPortDevice(asked.commPort);
        run->isWindow = window_ && deviceKey(run->port.device) == deviceKey(window_->device());
        run->probes = probeOrder(options_, !isTcpDevice(run->port.device));
        for (const Probe &p : std::as_const(run->probes))
            run->remainingWaitMs += run->waitOf(p, options_.probeWaitMs);
        run->report.commPort = run->port.commPort;
        run->report.device = run->port.device;
        run->report.removeEcho = run->port.removeEcho;
        run->report.probesPlanned = int(run->probes.size());
        if (run->isWindow && !windowBefore_)
            windowBefore_ = WindowState{window_->settings(), window_->isOpen(), window_->removeEcho()};
        runs_.push_back(std::move(run));
    }
    running_ = true;
    clock_.start();
    for (std::size_t i = 0; i < runs_.size(); ++i)
        schedule(i);
    return std::nullopt;
}

void DeviceSearch::stop()
{
    if (!running_)
        return;
    stopping_ = true;
    stoppedByCall_ = true;
}

int DeviceSearch::totalProbes() const
{
    int total = 0;
    for (const auto &run : runs_)
        total += run->report.probesPlanned;
    return total;
}

void DeviceSearch::schedule(std::size_t index)
{
    // Queued, so that each probe starts from the event loop: a port's
    // probe runs while another port's probe waits.
    QMetaObject::invokeMethod(this, [this, index] { step(index); }, Qt::QueuedConnection);
}

bool DeviceSearch::openPort(PortRun &run, std::size_t index)
{
    PortSession *session = nullptr;
    if (run.isWindow) {
        session = window_;
    } else {
        run.component = factory_ ? factory_(run.port) : std::make_unique<AnyDeviceComponent>();
        const int number = run.port.commPort > 0 ? run.port.commPort : PortSession::FirstPort;
        run.component->setCommPort(number);
        run.component->setPortDevice(number, run.port.device);
        run.component->setSettings(!run.probes.isEmpty() && !run.probes.first().settings.isEmpty()
                                       ? run.probes.first().settings
                                       : QStringLiteral("9600,n,8,2"));
        run.ownSession = std::make_unique<PortSession>(*run.component);
        session = run.ownSession.get();
    }
    run.session = session;
    session->setRemoveEcho(run.port.removeEcho);
    run.lostConnection = connect(session, &PortSession::closedOnError, this, [r = &run](const QString &why) {
        if (!r->lostReason)
            r->lostReason = why;
    });
    if (!session->isOpen() && !session->open()) {
        run.report.unusable = session->openFailureAdvice(source_ ? source_ : systemDeviceSource());
        return false;
    }
    run.lostReason.reset();
    run.runner = std::make_unique<CommandRunner>(*session, WaitPolicy::untilComplete(options_.probeWaitMs));
    // Judged in the port's next step, from the event loop: the record may
    // come from inside the port's own signal.
    connect(run.runner.get(), &CommandRunner::finished, this, [this, r = &run, index](const ExchangeRecord &record) {
        r->record = record;
        schedule(index);
    });
    run.opened = true;
    return true;
}

void DeviceSearch::step(std::size_t index)
{
    if (index >= runs_.size() || runs_[index]->ended)
        return;
    PortRun &run = *runs_[index];
    const QPointer<DeviceSearch> self(this);

    if (!run.opened) {
        if (stopping_ || !openPort(run, index)) {
            endPort(index);
            return;
        }
        if (!self)
            return; // destroyed while a server connection was awaited
    }
    if (run.record) {
        const ExchangeRecord record = *std::exchange(run.record, std::nullopt);
        judge(run, record);
        if (!self)
            return;
    }
    // Addresses where a device was found are not probed at other settings.
    while (!run.confirming && run.next < run.probes.size()
           && run.foundAddresses.contains(run.probes[run.next].address)) {
        run.remainingWaitMs -= run.waitOf(run.probes[run.next], options_.probeWaitMs);
        ++run.next;
        ++run.report.probesDone;
    }
    if (stopping_ || run.lostReason || run.next >= run.probes.size()) {
        endPort(index);
        return;
    }

    const Probe probe = run.probes[run.next];
    if (!probe.settings.isEmpty() && probe.settings != run.session->settings()
        && !run.session->changeSettings(probe.settings)) {
        if (!run.lostReason)
            run.lostReason = QStringLiteral("opening it again at %1 failed: %2")
                                 .arg(settingsLabel(probe.settings), run.session->lastError());
        endPort(index);
        return;
    }
    const int wait = run.waitOf(probe, options_.probeWaitMs);
    run.runner->setWait(WaitPolicy::untilComplete(wait));

    emit progress(progressOf(run, probe));
    if (!self)
        return;
    if (stopping_) {
        endPort(index);
        return;
    }
    run.errorsBefore = run.session->component().receiveErrorCount();
    run.runner->start(QStringLiteral("Find Device"), std::uint8_t(probe.address), readCounter);
}

void DeviceSearch::judge(PortRun &run, const ExchangeRecord &record)
{
    if (record.notSent != NotSent::No && !run.lostReason)
        run.lostReason = record.notSentDetail.isEmpty() ? run.session->lastError() : record.notSentDetail;
    // A probe cut short by a hang-up tells nothing about the line.
    if (run.lostReason)
        return;

    const Probe probe = run.probes[run.next];
    const int errors = int(run.session->component().receiveErrorCount() - run.errorsBefore);
    const ProbeOutcome outcome = classifyProbe(record.sent, record.taken, errors);
    run.report.tally.add(probe, outcome);

    bool counted = true;
    std::optional<FoundDevice> device;
    if (run.confirming) {
        run.confirming = false;
        if (outcome.kind == ProbeClass::Reply) {
            device = FoundDevice{run.port.commPort, run.port.device, probe.address, baudOf(probe.settings),
                                 probe.settings.isEmpty() ? QString() : formatName(probe.settings),
                                 outcome.value, record.firstByteMs, outcome.echo};
        } else {
            run.report.tally.addUnconfirmed(probe);
        }
    } else if (outcome.kind == ProbeClass::Reply) {
        // Reported only once a second read at the same address and setting
        // succeeds too.
        run.confirming = true;
        counted = false;
    }
    if (counted) {
        run.remainingWaitMs -= run.waitOf(probe, options_.probeWaitMs);
        ++run.next;
        ++run.report.probesDone;
    }
    if (device) {
        run.foundAddresses << device->slave;
        run.report.devices << *device;
        found_ << *device;
        if (options_.stopAtFirst)
            stopping_ = true;
        emit deviceFound(*device);
    }
}

SearchProgress DeviceSearch::progressOf(const PortRun &run, const Probe &probe) const
{
    SearchProgress p;
    for (const auto &r : runs_) {
        p.done += r->report.probesDone;
        // A port that could not be searched no longer counts its probes.
        const bool cut = r->ended && (r->report.unusable || r->report.lost);
        p.total += cut ? r->report.probesDone : r->report.probesPlanned;
        if (!r->ended)
            p.remainingMs = std::max(p.remainingMs, r->remainingWaitMs);
    }
    p.commPort = run.port.commPort;
    p.device = run.port.device;
    p.settings = probe.settings;
    p.address = probe.address;
    p.confirming = run.confirming;
    p.elapsedMs = clock_.elapsed();
    return p;
}

void DeviceSearch::endPort(std::size_t index)
{
    PortRun &run = *runs_[index];
    run.ended = true;
    disconnect(run.lostConnection);
    if (run.lostReason && !run.report.unusable)
        run.report.lost = run.lostReason;
    if (run.ownSession)
        run.ownSession->close();
    run.report.verdict = portVerdict(run.report);

    const QPointer<DeviceSearch> self(this);
    emit portFinished(run.report);
    if (!self)
        return;
    if (std::all_of(runs_.begin(), runs_.end(), [](const auto &r) { return r->ended; }))
        finishSearch();
}

void DeviceSearch::giveBackWindowPort()
{
    if (!windowBefore_ || !window_)
        return;
    const WindowState before = *std::exchange(windowBefore_, std::nullopt);
    window_->setRemoveEcho(before.removeEcho);
    // Open again where it was open before or the search could open it.
    const bool wanted = before.open || window_->isOpen();
    if (window_->settings() != before.settings) {
        if (window_->isOpen())
            window_->changeSettings(before.settings);
        else
            window_->setSettings(before.settings);
    }
    // No probe of the search owns what arrives from now on.
    window_->recorder().forgetPort();
    if (wanted && !window_->isOpen())
        window_->open();
}

void DeviceSearch::finishSearch()
{
    giveBackWindowPort();
    running_ = false;
    SearchReport report;
    for (const auto &run : runs_) {
        report.ports << run->report;
        report.probesDone += run->report.probesDone;
        report.probesTotal += run->report.probesPlanned;
    }
    report.devices = found_;
    report.raisedWaits = raisedWaits();
    report.stopped = stoppedByCall_;
    report.elapsedMs = clock_.elapsed();
    emit finished(report);
}

} // namespace korvane
