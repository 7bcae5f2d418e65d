#include "SerialComponent.h"

#include <QMetaObject>

#include <utility>

namespace korvane {

void SerialComponent::setPortDevice(int port, const QString &path)
{
    if (path.isEmpty())
        devices_.remove(port);
    else
        devices_.insert(port, path);
}

QString SerialComponent::portDevice(int port) const
{
    return devices_.value(port, defaultPortDevice(port));
}

QString SerialComponent::defaultPortDevice(int port)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

bool SerialComponent::applySettings(const QString &settings)
{
    Q_UNUSED(settings);
    return false;
}

void SerialComponent::Output(char byte)
{
    if (!PortOpen())
        return;
    pendingOutput_.append(byte);
    if (!flushScheduled_) {
        flushScheduled_ = true;
        QMetaObject::invokeMethod(this, &SerialComponent::flushOutput, Qt::QueuedConnection);
    }
}

void SerialComponent::flushOutput()
{
    flushScheduled_ = false;
    if (pendingOutput_.isEmpty() || !PortOpen())
        return;
    // One write of the whole request: no gap inside a frame.
    writeOut(std::exchange(pendingOutput_, QByteArray()));
}

void SerialComponent::DiscardInput()
{
    // What is dropped is read first, so that it is reported (it arrived
    // late for an earlier request) rather than lost unseen.
    if (PortOpen())
        readWaiting();
    clearInput();
}

bool SerialComponent::fail(const QString &text, int errorNumber)
{
    lastError_ = text;
    lastErrorNumber_ = errorNumber;
    return false;
}

qint64 SerialComponent::msSinceSend() const
{
    return sentAtMs_ < 0 ? -1 : clockMs() - sentAtMs_;
}

void SerialComponent::noteSendLeft()
{
    sentAtMs_ = clockMs();
    firstByteMs_ = -1;
}

QByteArray SerialComponent::Input()
{
    QByteArray data;
    data.swap(input_);
    return data;
}

void SerialComponent::keepInput(const QByteArray &bytes)
{
    const qsizetype room = InBufferSize - input_.size();
    if (room > 0 && !bytes.isEmpty()) {
        const QByteArray kept = bytes.left(room);
        input_.append(kept);
        noteArrived(kept);
    }
}

void SerialComponent::noteArrived(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    const qint64 after = msSinceSend();
    if (firstByteMs_ < 0)
        firstByteMs_ = after;
    emit received(bytes, after);
}

QElapsedTimer SerialComponent::startedClock()
{
    QElapsedTimer t;
    t.start();
    return t;
}

} // namespace korvane
