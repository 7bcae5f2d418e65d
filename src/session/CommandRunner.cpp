#include "CommandRunner.h"

#include "protocol/Exchange.h"
#include "protocol/ReplyFrame.h"
#include "serial/SerialComponent.h"

#include <QEventLoop>
#include <QTimer>

namespace korvane {

CommandRunner::CommandRunner(PortSession &session, ModVariables &vars, WaitPolicy wait, QObject *parent)
    : QObject(parent)
    , session_(session)
    , vars_(vars)
    , wait_(wait)
{
}

CommandRunner::CommandRunner(PortSession &session, WaitPolicy wait, QObject *parent)
    : CommandRunner(session, ownVars_, wait, parent)
{
}

std::optional<ExchangeRecord> CommandRunner::run(const QString &command, std::optional<std::uint8_t> slave,
                                                 const Builder &build, const QString &slaveText)
{
    TrafficRecorder &recorder = session_.recorder();
    ExchangeRecord record = recorder.begin(command, slave);
    // A text that names no address sends nothing: sending it to address 0
    // would reach every device on the line.
    if (!slave) {
        recorder.nothingSent(record, NotSent::NoSlaveEntry, slaveText);
        return record;
    }
    const Request request = build(vars_, *slave);
    session_.recoverFromHangUp();
    // Still lost to a hang-up: reopening it just failed, and the record
    // names both.
    if (!recorder.send(vars_, record, request, session_.hungUp().value_or(QString())))
        return record;
    const QPointer<CommandRunner> self(this);
    busy_ = true;
    emit busyChanged(true);
    if (!self || !waitForReply(vars_.TxBuf.head(request.length)))
        return std::nullopt;
    busy_ = false;
    recorder.take(vars_, record, request, session_.removeEcho());
    emit busyChanged(false);
    return record;
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
        const QByteArray reply = removeEcho && heard.startsWith(request) ? heard.mid(request.size()) : heard;
        if (replyProgress(request, reply) != ReplyProgress::Incomplete)
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
