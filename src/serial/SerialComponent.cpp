#include "SerialComponent.h"

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

} // namespace korvane
