#include "FakeSerialPort.h"

#include "serial/LineSettings.h"

#include <algorithm>
#include <utility>

namespace korvane::test {

void FakeSerialPort::followTicks(QTimer *timer)
{
    timer_ = timer;
    connect(timer, &QTimer::timeout, this, &FakeSerialPort::tick);
}

void FakeSerialPort::arrive(const QByteArray &bytes)
{
    const QByteArray kept = bytes.left(InBufferSize - inBuffer_.size());
    inBuffer_.append(kept);
    noteArrived(kept);
}

void FakeSerialPort::deliverLate()
{
    std::stable_sort(active_.begin(), active_.end(),
                     [](const Chunk &a, const Chunk &b) { return a.atTick < b.atTick; });
    for (const Chunk &c : std::as_const(active_)) {
        clockMs_ = std::max(clockMs_, requestStartMs_ + 10 * qint64(c.atTick));
        arrive(c.bytes);
    }
    active_.clear();
}

bool FakeSerialPort::setPortOpen(bool open)
{
    if (!open) {
        open_ = false;
        return true;
    }
    ++openCount;
    if (!parseLineSettings(Settings())) {
        lastError_ = QStringLiteral("%1: the line settings \"%2\" are not accepted").arg(portDevice(CommPort()), Settings());
        return false;
    }
    if (failOpen) {
        lastError_ = QStringLiteral("%1: No such file or directory").arg(portDevice(CommPort()));
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
        requestStartMs_ = clockMs_;
        noteSendLeft();
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
    arrive(std::exchange(inDriver_, QByteArray()));
    inBuffer_.clear();
}

void FakeSerialPort::hangUp()
{
    if (!open_)
        return;
    open_ = false;
    lastError_ = QStringLiteral("%1: hang-up").arg(portDevice(CommPort()));
    emit closedOnError(lastError_);
}

void FakeSerialPort::tick()
{
    frameOpen_ = false;
    ++ticksSinceRequest_;
    clockMs_ += 10;
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
