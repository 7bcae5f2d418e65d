#include "CommandRunner.h"

#include "protocol/Exchange.h"
#include "protocol/ReplyFrame.h"
#include "serial/SerialComponent.h"

#include <QEventLoop>
#include <QTimer>

#include <utility>

namespace korvane {

namespace {
// Whether what has arrived ends the wait: the whole reply, after the echo
// where echo removal is on.
bool replyEnded(const QByteArray &request, const QByteArray &heard, bool removeEcho)
{
    const QByteArray reply = removeEcho && heard.startsWith(request) ? heard.mid(request.size()) : heard;
    return replyProgress(request, reply) != ReplyProgress::Incomplete;
}
} // namespace

CommandRunner::CommandRunner(PortSession &session, ModVariables &vars, WaitPolicy wait, QObject *parent)
    : QObject(parent)
    , session_(session)
    , vars_(vars)
    , wait_(wait)
{
    startedTimeout_.setSingleShot(true);
    startedTimeout_.setTimerType(Qt::PreciseTimer);
    connect(&startedTimeout_, &QTimer::timeout, this, &CommandRunner::endStarted);
}

CommandRunner::CommandRunner(PortSession &session, WaitPolicy wait, QObject *parent)
    : CommandRunner(session, ownVars_, wait, parent)
{
}

std::optional<ExchangeRecord> CommandRunner::run(const QString &command, std::optional<std::uint8_t> slave,
                                                 const Builder &build, const QString &slaveText)
{
    // A text that names no address sends nothing: sending it to address 0
    // would reach every device on the line.
    if (!slave) {
        TrafficRecorder &recorder = session_.recorder();
        ExchangeRecord record = recorder.begin(command, slave);
        recorder.nothingSent(record, NotSent::NoSlaveEntry, slaveText);
        return record;
    }
    Exchange exchange;
    if (!send(exchange, command, *slave, build))
        return exchange.record;
    const QPointer<CommandRunner> self(this);
    busy_ = true;
    emit busyChanged(true);
    if (!self || !waitForReply(vars_.TxBuf.head(exchange.request.length)))
        return std::nullopt;
    busy_ = false;
    take(exchange);
    emit busyChanged(false);
    return exchange.record;
}

bool CommandRunner::send(Exchange &exchange, const QString &command, std::uint8_t slave, const Builder &build)
{
    TrafficRecorder &recorder = session_.recorder();
    exchange.record = recorder.begin(command, slave);
    exchange.request = build(vars_, slave);
    session_.recoverFromHangUp();
    // Still lost to a hang-up: reopening it just failed, and the record
    // names both.
    return recorder.send(vars_, exchange.record, exchange.request, session_.hungUp().value_or(QString()));
}

void CommandRunner::take(Exchange &exchange)
{
    session_.recorder().take(vars_, exchange.record, exchange.request, session_.removeEcho());
}

bool CommandRunner::start(const QString &command, std::uint8_t slave, const Builder &build)
{
    if (busy_ || wait_.tickTimer)
        return false;
    Exchange exchange;
    if (!send(exchange, command, slave, build)) {
        // Handed on from the event loop all the same, as a record that
        // waited would be.
        QMetaObject::invokeMethod(
            this, [this, record = exchange.record] { emit finished(record); }, Qt::QueuedConnection);
        return true;
    }
    // Every byte of the reply comes through the port's signal; the wait
    // ends with the reply's last byte, the timeout, or the port's hang-up.
    const QByteArray request = vars_.TxBuf.head(exchange.request.length);
    const bool removeEcho = session_.removeEcho();
    SerialComponent &port = session_.component();
    started_ = exchange;
    heard_.clear();
    startedReceived_ = connect(&port, &SerialComponent::received, this,
                               [this, request, removeEcho](const QByteArray &bytes, qint64) {
                                   heard_ += bytes;
                                   if (replyEnded(request, heard_, removeEcho))
                                       endStarted();
                               });
    startedClosed_ = connect(&port, &SerialComponent::closedOnError, this, &CommandRunner::endStarted);
    startedTimeout_.start(wait_.timeoutMs);
    busy_ = true;
    emit busyChanged(true);
    return true;
}

void CommandRunner::endStarted()
{
    disconnect(startedReceived_);
    disconnect(startedClosed_);
    startedTimeout_.stop();
    if (!started_)
        return;
    Exchange exchange = *std::exchange(started_, std::nullopt);
    busy_ = false;
    take(exchange);
    const QPointer<CommandRunner> self(this);
    emit busyChanged(false);
    if (self)
        emit finished(exchange.record);
}

bool CommandRunner::waitForReply(const QByteArray &request)
{
    const QPointer<QObject> self(this);
    if (wait_.tickTimer)
        return waitForTicks(self, vars_, *wait_.tickTimer);

    // Every byte of the reply comes through the port's signal; the wait
    // ends with the reply's last byte, the timeout, or the port's hang-up.
    SerialComponent &port = session_.component();
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    timeout.setTimerType(Qt::PreciseTimer);
    QByteArray heard;
    const bool removeEcho = session_.removeEcho();
    connect(&port, &SerialComponent::received, &loop, [&](const QByteArray &bytes, qint64) {
        heard += bytes;
        if (replyEnded(request, heard, removeEcho))
            loop.quit();
    });
    connect(&port, &SerialComponent::closedOnError, &loop, &QEventLoop::quit);
    connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
    timeout.start(wait_.timeoutMs);
    loop.exec();
    return !self.isNull();
}

} // namespace korvane
