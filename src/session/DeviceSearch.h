#pragma once
// Find Device: finds a counter/display whose port, baud rate, data format
// and slave address are not known, by reading its counter (function 3,
// registers 0-1) at one address and setting after another, and reports a
// device only once a second read at the same address and setting has
// succeeded too. Nothing else is ever sent: no write, and no broadcast.
//
// The ports chosen are searched at the same time, each through a command
// runner of its own: each port steps from probe to probe on its runner's
// finished() signal (CommandRunner::start), so no probe waits inside
// another's wait and each port goes at its own pace.
//
// The window's port is searched through the window's own session (its
// port is locked against a second open) and given back at the end, open
// with the window's line settings again; the other ports get sessions of
// their own. The search never changes the settings file.

#include "SearchPlan.h"
#include "SearchReport.h"
#include "protocol/ExchangeRecord.h"
#include "serial/PortDevices.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace korvane {

class PortSession;
class SerialComponent;

class DeviceSearch : public QObject {
    Q_OBJECT
public:
    /// Makes the component of a port other than the window's.
    using ComponentFactory = std::function<std::unique_ptr<SerialComponent>(const SearchPort &port)>;

    explicit DeviceSearch(QObject *parent = nullptr);
    /// A search under way ends at once: every port is left as it was, the
    /// window's open with its own settings.
    ~DeviceSearch() override;

    /// The window's session (not owned; must outlive the search). A chosen
    /// port with its device is searched through it; a chosen COM number
    /// without a device takes its device from its [Ports] mapping.
    void setWindowSession(PortSession *session) { window_ = session; }
    /// Default: a new AnyDeviceComponent per port.
    void setComponentFactory(ComponentFactory factory) { factory_ = std::move(factory); }
    /// The serial devices present, named in the advice about a port that
    /// cannot be opened. Default: the system's.
    void setDeviceSource(DeviceSource source) { source_ = std::move(source); }

    /// Starts the search; it runs in the event loop, and finished() tells
    /// its end. std::nullopt when it started, else why not
    /// (whyNotSearchable(), or a search is under way).
    std::optional<QString> start(const SearchOptions &options);
    /// Ends the search within one probe wait: no probe starts any more, the
    /// ports are given back and finished() follows. Also safe from a
    /// signal handler's event (e.g. SIGINT through a socket notifier).
    void stop();
    bool isRunning() const { return running_; }

    /// Of the search started last: the options, the probes planned on all
    /// ports, and the baud rates whose probe wait was raised.
    const SearchOptions &options() const { return options_; }
    int totalProbes() const;
    QList<RaisedWait> raisedWaits() const { return korvane::raisedWaits(options_); }

signals:
    /// A probe starts (also the second read of an address that answered).
    void progress(const korvane::SearchProgress &progress);
    /// A device answered two reads in a row.
    void deviceFound(const korvane::FoundDevice &device);
    /// A port's search ended: searched, unusable, lost or stopped.
    void portFinished(const korvane::PortReport &report);
    /// The search ended; every port is given back.
    void finished(const korvane::SearchReport &report);

private:
    struct PortRun;

    void step(std::size_t index);
    bool openPort(PortRun &run, std::size_t index);
    void judge(PortRun &run, const ExchangeRecord &record);
    void finishPort(PortRun &run);
    void endPort(std::size_t index);
    void finishSearch();
    void giveBackWindowPort();
    void schedule(std::size_t index);
    SearchProgress progressOf(const PortRun &run, const Probe &probe) const;

    SearchOptions options_;
    PortSession *window_ = nullptr;
    ComponentFactory factory_;
    DeviceSource source_;
    std::vector<std::unique_ptr<PortRun>> runs_;
    bool running_ = false;
    bool stopping_ = false;
    bool stoppedByCall_ = false;
    QElapsedTimer clock_;
    QList<FoundDevice> found_;

    // The window's port as it was before the search.
    struct WindowState {
        QString settings;
        bool open = false;
        bool removeEcho = false;
    };
    std::optional<WindowState> windowBefore_;
};

} // namespace korvane
