#include "PortSession.h"

#include "serial/LineSettings.h"
#include "serial/PortDiagnosis.h"
#include "serial/SerialComponent.h"

namespace korvane {

PortSession::PortSession(SerialComponent &port, QObject *parent)
    : QObject(parent)
    , port_(port)
    , recorder_(port)
{
    port_.setInputMode(1);
    connect(&port_, &SerialComponent::closedOnError, this, [this](const QString &reason) {
        hungUp_ = HangUp{reason, identity()};
        emit closedOnError(reason);
        emit stateChanged();
    });
}

void PortSession::setCommPort(int port)
{
    if (port == port_.CommPort())
        return;
    close();
    port_.setCommPort(port);
    emit stateChanged();
}

int PortSession::commPort() const { return port_.CommPort(); }

void PortSession::setSettings(const QString &settings)
{
    port_.setSettings(settings);
}

QString PortSession::settings() const { return port_.Settings(); }

void PortSession::setPortDevice(int port, const QString &device)
{
    const QString before = port_.portDevice(port);
    port_.setPortDevice(port, device);
    // Another device behind the selected number is another port.
    if (port == commPort() && port_.portDevice(port) != before)
        close();
}

void PortSession::setRemoveEcho(int port, bool on)
{
    if (on)
        removeEcho_.insert(port);
    else
        removeEcho_.remove(port);
}

bool PortSession::removeEcho(int port) const { return removeEcho_.contains(port); }

void PortSession::loadPortDevices(const IniFile &ini)
{
    for (int i = FirstPort; i <= LastPort; ++i) {
        setPortDevice(i, ini.ReadINI(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(i)));
        setRemoveEcho(i, ini.ReadINI(QStringLiteral("Ports"), QStringLiteral("COM%1Echo").arg(i)).trimmed()
                             == QLatin1String("1"));
    }
}

PortSession::DevicesChange PortSession::changePortDevices(const QStringList &devices, const IniFile &ini)
{
    DevicesChange change;
    const QString before = device();
    for (int i = FirstPort; i <= LastPort; ++i) {
        const QString device = devices.value(i - 1);
        if (device == portDeviceMapping(i))
            continue;
        setPortDevice(i, device);
        // An emptied row is stored empty: the port's default device.
        change.stored = ini.WriteINI(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(i), device) && change.stored;
    }
    change.selectedChanged = device() != before;
    return change;
}

QString PortSession::portDevice(int port) const { return port_.portDevice(port); }
QString PortSession::portDeviceMapping(int port) const { return port_.portDeviceMapping(port); }

QString PortSession::displayName() const
{
    return QStringLiteral("COM%1 (%2)").arg(commPort()).arg(device());
}

bool PortSession::isOpen() const { return port_.PortOpen(); }

bool PortSession::open()
{
    recorder_.forgetPort();
    port_.setInputMode(1);
    const bool opened = port_.setPortOpen(true);
    if (opened)
        hungUp_.reset();
    emit stateChanged();
    return opened;
}

void PortSession::close()
{
    recorder_.forgetPort();
    if (port_.PortOpen()) {
        port_.setPortOpen(false);
        emit stateChanged();
    }
}

bool PortSession::reopenWith(const std::function<void()> &change)
{
    close();
    change();
    return open();
}

bool PortSession::changeSettings(const QString &settings)
{
    if (port_.PortOpen() && port_.applySettings(settings)) {
        recorder_.forgetPort();
        emit stateChanged();
        return true;
    }
    return reopenWith([&] { port_.setSettings(settings); });
}

QString PortSession::lastError() const { return port_.lastError(); }

std::optional<QString> PortSession::hungUp() const
{
    if (hungUp_ && hungUp_->port == identity() && !port_.PortOpen())
        return hungUp_->reason;
    return std::nullopt;
}

bool PortSession::recoverFromHangUp()
{
    // The adapter may be back. A failure shows as the command's own note;
    // the hang-up itself was reported once.
    if (hungUp())
        open();
    return port_.PortOpen();
}

QString PortSession::openFailureAdvice(const DeviceSource &source) const
{
    if (!parseLineSettings(settings()))
        return QStringLiteral("The line settings \"%1\" are not accepted. Choose them from the "
                              "\"Baud Rate\" and \"Data Format\" menus.")
            .arg(settings());
    return portOpenAdvice(lookUpPortFacts(commPort(), device(), port_.lastErrorNumber(),
                                          source ? source() : QList<SerialDevice>()));
}

} // namespace korvane
