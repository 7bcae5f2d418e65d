#pragma once
// The serial-port component on a serial device server: the port's device is
// tcp://HOST:PORT, and the server passes the bytes between the connection
// and its serial line unchanged, so the same RTU frames go over TCP.
//
// Opening connects, waiting at most connectTimeout() while the window keeps
// painting (user input waits until the connection is made or has failed,
// so no click can start a request or reopen the port inside the open). A
// connection that the server closes, or that breaks, closes the port as a
// hang-up does. The line settings are stored and checked as text, but the
// server's own configuration sets its serial line.

#include "SerialComponent.h"
#include "TcpDevice.h"

#include <QTcpSocket>

namespace korvane {

class TcpSerialComponent : public SerialComponent {
    Q_OBJECT
public:
    static constexpr int DefaultConnectTimeoutMs = 3000;

    explicit TcpSerialComponent(QObject *parent = nullptr);
    ~TcpSerialComponent() override;

    bool PortOpen() const override;
    /// Opening connects to the server. A failure's lastErrorNumber() is
    /// ECONNREFUSED (refused), ETIMEDOUT (no connection within the time),
    /// ENXIO (no such host), ENETUNREACH (no route), EINVAL (not a valid
    /// tcp://HOST:PORT text or unusable line settings), else 0.
    bool setPortOpen(bool open) override;
    /// The server's own configuration sets its serial line: the text is
    /// only kept (as at open), and the input cleared.
    bool applySettings(const QString &settings) override;

    /// How long opening waits for the connection, in milliseconds.
    void setConnectTimeout(int ms) { connectTimeoutMs_ = ms; }
    int connectTimeout() const { return connectTimeoutMs_; }

    /// The socket underneath, for checking how the connection is set up.
    const QTcpSocket &socket() const { return socket_; }

protected:
    void writeOut(const QByteArray &bytes) override;
    void readWaiting() override;

private:
    bool connectTo(const QString &device, const TcpAddress &address);
    void setUpConnection();
    void readIncoming();
    void readKernelQueue();
    void onError(QAbstractSocket::SocketError error);
    void hangUp(const QString &reason);

    QTcpSocket socket_;
    int connectTimeoutMs_ = DefaultConnectTimeoutMs;
    bool open_ = false;        // connected, and not closed or hung up since
    bool connecting_ = false;  // inside setPortOpen(true)
    QString openDevice_;  // the device text the port was opened with
};

} // namespace korvane
