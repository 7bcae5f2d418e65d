#pragma once
// The port korvane-cli talks through and the requests it sends: the port
// session and the command runner the window uses, on a port of its own,
// waiting until each reply is complete. A device that is not a terminal
// (a regular file, a folder, /dev/null) is never written to.

#include "CliTarget.h"
#include "Report.h"

#include "serial/AnyDeviceComponent.h"
#include "session/CommandRunner.h"
#include "session/PortSession.h"

#include <functional>
#include <memory>
#include <optional>

namespace korvane::cli {

/// One of the device's commands, as the window builds it.
struct Action {
    QString command;                ///< for the record and the JSON: "read", "output 1 on"
    CommandRunner::Builder build;
    bool readsCounter = false;
};
Action readAction();
Action resetAction();
Action numberAction(qint32 number);
Action textAction(const QString &text);
/// output: 1, 2, or 3 for the buzzer.
Action switchAction(int output, bool on);

class CliSession : public QObject {
    Q_OBJECT
public:
    CliSession(const Target &target, const Options &options, QObject *parent = nullptr);
    ~CliSession() override;

    /// Opens the port. False when it cannot be opened or is no terminal;
    /// the requests then send nothing and say why.
    bool open();

    /// Sends the action, and again up to --retries times while that may
    /// help; each attempt is handed to onAttempt. The last attempt's
    /// result, or std::nullopt after abort().
    std::optional<RequestResult> request(const Action &action);

    /// Ends a request's wait at once; every later request returns
    /// std::nullopt. Safe to call from inside the wait.
    void abort();
    bool aborted() const { return !runner_; }

    /// Called with every attempt as it ends.
    std::function<void(const RequestResult &)> onAttempt;

    PortSession &session() { return session_; }
    const Target &target() const { return target_; }

private:
    RequestResult attempt(const Action &action);

    Target target_;
    int retries_ = 0;
    AnyDeviceComponent port_;
    PortSession session_{port_};
    std::unique_ptr<CommandRunner> runner_;
    /// Why the port, though opened, was closed again unused.
    QString refused_;
};

} // namespace korvane::cli
