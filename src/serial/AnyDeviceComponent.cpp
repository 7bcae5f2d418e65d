#include "AnyDeviceComponent.h"

#include "TcpDevice.h"

namespace korvane {

AnyDeviceComponent::AnyDeviceComponent(QObject *parent)
    : SerialComponent(parent)
{
    for (SerialComponent *inner : {static_cast<SerialComponent *>(&serial_), static_cast<SerialComponent *>(&tcp_)}) {
        connect(inner, &SerialComponent::closedOnError, this, &SerialComponent::closedOnError);
        connect(inner, &SerialComponent::received, this, &SerialComponent::received);
    }
}

AnyDeviceComponent::~AnyDeviceComponent()
{
    // The members outlive this destructor's body.
    serial_.disconnect(this);
    tcp_.disconnect(this);
}

bool AnyDeviceComponent::PortOpen() const
{
    return active_ && active_->PortOpen();
}

bool AnyDeviceComponent::setPortOpen(bool open)
{
    if (!open) {
        if (active_)
            active_->setPortOpen(false);
        return true;
    }
    if (PortOpen())
        return true;
    SerialComponent *chosen = isTcpDevice(portDevice(CommPort())) ? static_cast<SerialComponent *>(&tcp_)
                                                                  : static_cast<SerialComponent *>(&serial_);
    if (active_ && active_ != chosen)
        active_->setPortOpen(false);
    active_ = chosen;
    chosen->setCommPort(CommPort());
    chosen->setPortDevice(CommPort(), portDeviceMapping(CommPort()));
    chosen->setSettings(Settings());
    chosen->setInputMode(InputMode());
    return chosen->setPortOpen(true);
}

QString AnyDeviceComponent::lastError() const
{
    return active_ ? active_->lastError() : QString();
}

int AnyDeviceComponent::lastErrorNumber() const
{
    return active_ ? active_->lastErrorNumber() : 0;
}

void AnyDeviceComponent::Output(char byte)
{
    if (active_)
        active_->Output(byte);
}

int AnyDeviceComponent::InBufferCount()
{
    return active_ ? active_->InBufferCount() : 0;
}

QByteArray AnyDeviceComponent::Input()
{
    return active_ ? active_->Input() : QByteArray();
}

void AnyDeviceComponent::DiscardInput()
{
    if (active_)
        active_->DiscardInput();
}

bool AnyDeviceComponent::applySettings(const QString &settings)
{
    if (!PortOpen() || !active_->applySettings(settings))
        return false;
    setSettings(settings);
    return true;
}

quint64 AnyDeviceComponent::receiveErrorCount() const
{
    return serial_.receiveErrorCount() + tcp_.receiveErrorCount();
}

qint64 AnyDeviceComponent::msSinceSend() const
{
    return active_ ? active_->msSinceSend() : -1;
}

qint64 AnyDeviceComponent::firstByteAfterSendMs() const
{
    return active_ ? active_->firstByteAfterSendMs() : -1;
}

} // namespace korvane
