#pragma once
// One command on the line, the same way for every caller: check the slave
// address, note the exchange, send the request, wait for the reply, take it
// and judge it. The window, the device search and the command-line program
// all go through a runner, each with frame buffers of its own, so several
// runners (one per port) can work at once.

#include "PortSession.h"
#include "common/modVariables.h"
#include "protocol/Commands.h"
#include "protocol/ExchangeRecord.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>


namespace korvane {

/// How a runner waits for the reply.
struct WaitPolicy {
    /// Ten ticks of `timer`, whose handler counts them in the runner's
    /// gTick (the window's fixed wait): what has arrived by then is judged.
    static WaitPolicy ticks(QTimer *timer) { return {timer, 0}; }
    /// Until the reply is complete (replyProgress) or timeoutMs have passed
    /// since the request was sent.
    static WaitPolicy untilComplete(int timeoutMs) { return {nullptr, timeoutMs}; }

    QPointer<QTimer> tickTimer;
    int timeoutMs = 0;
};

class CommandRunner : public QObject {
    Q_OBJECT
public:
    /// Fills the runner's TxBuf with the request for a slave.
    using Builder = std::function<Request(ModVariables &vars, std::uint8_t slave)>;

    /// A runner on the caller's frame buffers (the window's own set).
    CommandRunner(PortSession &session, ModVariables &vars, WaitPolicy wait, QObject *parent = nullptr);
    /// A runner with frame buffers of its own.
    CommandRunner(PortSession &session, WaitPolicy wait, QObject *parent = nullptr);

    /// Runs one command and returns its record: status, frames, timing, and
    /// why nothing was sent where nothing was. slave: std::nullopt sends
    /// nothing (slaveText, what named no address, goes into the note). A
    /// port lost to a hang-up is opened again first. std::nullopt when the
    /// runner was destroyed during the wait: the caller must return at once
    /// without touching what owned it.
    std::optional<ExchangeRecord> run(const QString &command, std::optional<std::uint8_t> slave,
                                      const Builder &build, const QString &slaveText = {});

    /// Starts one command like run() and returns at once, without a wait
    /// of its own: finished() hands its record on from the event loop when
    /// the reply is complete, the wait (untilComplete) has passed or the
    /// port closed itself. Runners on several ports so wait side by side,
    /// none inside another's wait. False, starting nothing, while a request
    /// waits or with the tick wait. A runner destroyed meanwhile hands
    /// nothing on.
    bool start(const QString &command, std::uint8_t slave, const Builder &build);

    /// True while a request waits for its reply.
    bool isBusy() const { return busy_; }
    ModVariables &vars() { return vars_; }
    PortSession &session() { return session_; }
    void setWait(WaitPolicy wait) { wait_ = wait; }
    WaitPolicy wait() const { return wait_; }

signals:
    /// A request started (true) or ended (false) its wait.
    void busyChanged(bool busy);
    /// The record of a command begun with start().
    void finished(const korvane::ExchangeRecord &record);

private:
    /// A request on the line: what run() and start() share.
    struct Exchange {
        ExchangeRecord record;
        Request request;
    };
    /// The record begun and the request built and sent; false when nothing
    /// was sent (the record says why).
    bool send(Exchange &exchange, const QString &command, std::uint8_t slave, const Builder &build);
    /// After the wait: the reply taken into the record.
    void take(Exchange &exchange);
    /// False when the runner was destroyed meanwhile.
    bool waitForReply(const QByteArray &request);
    /// The end of a started command's wait.
    void endStarted();

    PortSession &session_;
    ModVariables ownVars_;
    ModVariables &vars_;
    WaitPolicy wait_;
    bool busy_ = false;
    // A command begun with start(): its exchange, what has arrived, and
    // what ends its wait.
    std::optional<Exchange> started_;
    QByteArray heard_;
    QTimer startedTimeout_;
    QMetaObject::Connection startedReceived_;
    QMetaObject::Connection startedClosed_;
};

} // namespace korvane
