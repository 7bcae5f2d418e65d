#include "CliSession.h"

#include "serial/TcpDevice.h"

#include <QElapsedTimer>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace korvane::cli {

Action readAction()
{
    return {QStringLiteral("read"), [](ModVariables &v, std::uint8_t s) { return buildReadCounter(v, s); }, true};
}

Action resetAction()
{
    return {QStringLiteral("reset"), [](ModVariables &v, std::uint8_t s) { return buildResetCounter(v, s); }};
}

Action numberAction(qint32 number)
{
    return {QStringLiteral("number %1").arg(number),
            [number](ModVariables &v, std::uint8_t s) { return buildWriteNumber(v, s, number); }};
}

Action textAction(const QString &text)
{
    return {QStringLiteral("text %1").arg(text),
            [text](ModVariables &v, std::uint8_t s) { return buildWriteText(v, s, text); }};
}

Action switchAction(int output, bool on)
{
    // The window's output buttons: 0/1 output 1 on/off, 2/3 output 2,
    // 4/5 the buzzer.
    const int index = (output - 1) * 2 + (on ? 0 : 1);
    const QString name = output == 3 ? QStringLiteral("buzzer") : QStringLiteral("output %1").arg(output);
    return {name + (on ? QStringLiteral(" on") : QStringLiteral(" off")),
            [index](ModVariables &v, std::uint8_t s) { return buildOutput(v, s, index); }};
}

CliSession::CliSession(const Target &target, const Options &options, QObject *parent)
    : QObject(parent)
    , target_(target)
    , retries_(options.retries)
    , runner_(std::make_unique<CommandRunner>(session_, WaitPolicy::untilComplete(options.timeoutMs)))
{
    session_.setCommPort(target.commPort);
    session_.setPortDevice(target.commPort, target.device);
    session_.setSettings(target.line);
    session_.setRemoveEcho(target.echo);
}

CliSession::~CliSession()
{
    runner_.reset();
    session_.close();
}

bool CliSession::open()
{
    if (!session_.open())
        return false;
#ifdef Q_OS_UNIX
    // Qt refuses most files that are no terminal, but only a terminal is
    // ever written to: checked on the open descriptor, before any write.
    if (!isTcpDevice(session_.device()) && port_.active() == &port_.serial()) {
        const int fd = int(port_.serial().port().handle());
        if (fd < 0 || !::isatty(fd)) {
            refused_ = QStringLiteral("%1: not a terminal (a serial device is one; a regular file, a folder "
                                      "or /dev/null is not); nothing was written to it")
                           .arg(session_.device());
            session_.close();
            return false;
        }
    }
#endif
    return true;
}

void CliSession::abort()
{
    // Destroying the runner ends its wait (run() then returns nothing).
    runner_.reset();
}

RequestResult CliSession::attempt(const Action &action)
{
    RequestResult result;
    QElapsedTimer clock;
    clock.start();
    if (!refused_.isEmpty()) {
        TrafficRecorder &recorder = session_.recorder();
        result.record = recorder.begin(action.command, target_.slave);
        recorder.nothingSent(result.record, NotSent::PortClosed, refused_);
    } else {
        const auto record = runner_->run(action.command, target_.slave, action.build);
        if (!record) {
            result.outcome = Outcome::NotSent;
            return result;  // aborted: the caller looks at aborted()
        }
        result.record = *record;
    }
    result.elapsedMs = double(clock.nsecsElapsed()) / 1e6;
    result.outcome = classifyExchange(result.record);
    if (action.readsCounter && result.outcome == Outcome::Ok)
        result.value = counterValueText(replyBytes(result.record)).toInt();
    return result;
}

std::optional<RequestResult> CliSession::request(const Action &action)
{
    for (int tries = 0;; ++tries) {
        if (!runner_)
            return std::nullopt;
        const RequestResult result = attempt(action);
        if (!runner_)
            return std::nullopt;
        if (onAttempt)
            onAttempt(result);
        if (tries >= retries_ || !worthRetrying(result.outcome))
            return result;
    }
}

} // namespace korvane::cli
