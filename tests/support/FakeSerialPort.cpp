#include "FakeSerialPort.h"

#include "serial/LineSettings.h"

namespace korvane::test {

void FakeSerialPort::followTicks(QTimer *timer)
{
    timer_ = timer;
    connect(timer, &QTimer::timeout, this, &FakeSerialPort::tick);
}

void FakeSerialPort::arrive(const QByteArray &bytes)
{
    inBuffer_.append(bytes.left(InBufferSize - inBuffer_.size()));
}

void FakeSerialPort::deliverLate()
{
    for (const Chunk &c : std::as_const(active_))
        arrive(c.bytes);
    active_.clear();
}

bool FakeSerialPort::setPortOpen(bool open)
{
    if (!open) {
        open_ = false;
        return true;
    }
    ++openCount;
    if (!parseLineSettings(settings_)) {
        lastError_ = QStringLiteral("%1: the line settings \"%2\" are not accepted").arg(portDevice(commPort_), settings_);
        return false;
    }
    if (failOpen) {
        lastError_ = QStringLiteral("%1: No such file or directory").arg(portDevice(commPort_));
        lastErrorNumber_ = failErrorNumber;
        return false;
    }
    open_ = true;
    lastError_.clear();
    lastErrorNumber_ = 0;
    return true;
}

void FakeSerialPort::Output(char byte)
{
    if (!open_)
        return;
    if (!frameOpen_) {
        // The first byte after a tick starts a new request.
        frameOpen_ = true;
        requests_.append(QByteArray());
        active_ = scripts_.isEmpty() ? Script() : scripts_.takeFirst();
        ticksSinceRequest_ = 0;
    }
    requests_.last().append(byte);
}

QByteArray FakeSerialPort::Input()
{
    QByteArray data;
    data.swap(inBuffer_);
    return data;
}

void FakeSerialPort::DiscardInput()
{
    inBuffer_.clear();
}

void FakeSerialPort::hangUp()
{
    if (!open_)
        return;
    open_ = false;
    lastError_ = QStringLiteral("%1: hang-up").arg(portDevice(commPort_));
    emit closedOnError(lastError_);
}

void FakeSerialPort::tick()
{
    frameOpen_ = false;
    ++ticksSinceRequest_;
    for (qsizetype i = 0; i < active_.size();) {
        if (active_[i].atTick <= ticksSinceRequest_) {
            arrive(active_[i].bytes);
            active_.removeAt(i);
        } else {
            ++i;
        }
    }
    if (onTick)
        onTick(ticksSinceRequest_);
}

} // namespace korvane::test
