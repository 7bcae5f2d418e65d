#pragma once
// The serial-port component on a real device, through QSerialPort.

#include "ParityMarks.h"
#include "SerialComponent.h"

#include <QSerialPort>

namespace korvane {

class QtSerialComponent : public SerialComponent {
    Q_OBJECT
public:
    explicit QtSerialComponent(QObject *parent = nullptr);
    ~QtSerialComponent() override;

    bool PortOpen() const override;
    bool setPortOpen(bool open) override;
    /// Through QSerialPort's setters on the open port; parity checking and
    /// the marks of bad bytes follow the new parity.
    bool applySettings(const QString &settings) override;
    quint64 receiveErrorCount() const override { return marks_.errorCount(); }

    /// The QSerialPort underneath, for checking the applied line settings.
    const QSerialPort &port() const { return port_; }

protected:
    void writeOut(const QByteArray &bytes) override;
    void readWaiting() override;

private:
    void readIncoming();
    void keepIncoming(const QByteArray &data);
    void readDriverQueue();
    void onError(QSerialPort::SerialPortError error);
    bool deviceFailed(QString *reason);
    void closePort();
    bool markReceiveErrors(QString *reason);

    QSerialPort port_;
    QString openDevice_;  // the device path the port was opened with
    // With parity, bytes received with an error arrive marked and are
    // turned into '?' here (see ParityMarks.h).
    bool markingErrors_ = false;
    ParityMarkDecoder marks_;
};

} // namespace korvane
