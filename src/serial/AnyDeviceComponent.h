#pragma once
// The serial-port component the program uses: each time the port opens, the
// form of the port's device chooses the implementation. A path opens a
// serial device (QtSerialComponent); tcp://HOST:PORT connects to a serial
// device server (TcpSerialComponent). The window and the exchange see one
// component either way.

#include "QtSerialComponent.h"
#include "TcpSerialComponent.h"

namespace korvane {

class AnyDeviceComponent : public SerialComponent {
    Q_OBJECT
public:
    explicit AnyDeviceComponent(QObject *parent = nullptr);
    ~AnyDeviceComponent() override;

    bool PortOpen() const override;
    /// Closes, or opens through the implementation that the device of the
    /// current port asks for, handing it the port, its device, the line
    /// settings and the input mode.
    bool setPortOpen(bool open) override;
    QString lastError() const override;
    int lastErrorNumber() const override;

    void Output(char byte) override;
    int InBufferCount() override;
    QByteArray Input() override;
    void DiscardInput() override;
    /// Through the implementation the port is open with.
    bool applySettings(const QString &settings) override;
    quint64 receiveErrorCount() const override;

    qint64 msSinceSend() const override;
    qint64 firstByteAfterSendMs() const override;

    /// The two implementations, for setting them up (e.g. the connect
    /// timeout) and for checking them.
    QtSerialComponent &serial() { return serial_; }
    TcpSerialComponent &tcp() { return tcp_; }
    /// The one the port was last opened with; nullptr before the first open.
    const SerialComponent *active() const { return active_; }

private:
    QtSerialComponent serial_;
    TcpSerialComponent tcp_;
    SerialComponent *active_ = nullptr;
};

} // namespace korvane
