#include "TcpSerialComponent.h"

#include "LineSettings.h"

#include <QEventLoop>
#include <QTimer>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace korvane {

TcpSerialComponent::TcpSerialComponent(QObject *parent)
    : SerialComponent(parent)
{
    connect(&socket_, &QTcpSocket::readyRead, this, &TcpSerialComponent::readIncoming);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &TcpSerialComponent::onError);
    connect(&socket_, &QTcpSocket::disconnected, this,
            [this] { hangUp(QStringLiteral("the server closed the connection")); });
}

TcpSerialComponent::~TcpSerialComponent()
{
    // The socket outlives this destructor's body: nothing it emits while it
    // closes may reach this half-destroyed object.
    socket_.disconnect(this);
    socket_.abort();
}

bool TcpSerialComponent::PortOpen() const { return open_; }

bool TcpSerialComponent::setPortOpen(bool open)
{
    if (!open) {
        open_ = false;
        socket_.abort();
        dropQueuedOutput();
        clearInput();
        return true;
    }
    if (open_)
        return true;
    const QString device = portDevice(CommPort());
    if (connecting_)
        return fail(QStringLiteral("%1: a connection is being made already").arg(device), EALREADY);
    QString problem;
    const auto address = parseTcpDevice(device, &problem);
    if (!address)
        return fail(QStringLiteral("%1: not a valid tcp://HOST:PORT address: %2").arg(device, problem), EINVAL);
    // Not applied (the server sets its serial line), but checked as on a
    // serial device, so that the same settings text opens either kind.
    if (!parseLineSettings(Settings()))
        return fail(QStringLiteral("%1: the line settings \"%2\" are not accepted "
                                   "(expected baud,parity,databits,stopbits, e.g. 9600,n,8,2)")
                        .arg(device, Settings()));
    return connectTo(device, *address);
}

bool TcpSerialComponent::connectTo(const QString &device, const TcpAddress &address)
{
    enum class Outcome { Waiting, Connected, Failed, TimedOut };
    Outcome outcome = Outcome::Waiting;
    socket_.abort();
    clearInput();
    dropQueuedOutput();

    // A local loop that leaves user input waiting: painting, timers and
    // signals go on (a termination signal ends the loop with the program's
    // exit), but no click or key can start a request or a menu's reopening
    // inside this open.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    const auto end = [&](Outcome o) {
        if (outcome == Outcome::Waiting)
            outcome = o;
        loop.quit();
    };
    connect(&socket_, &QTcpSocket::connected, &loop, [&] { end(Outcome::Connected); });
    connect(&socket_, &QTcpSocket::errorOccurred, &loop, [&] { end(Outcome::Failed); });
    connect(&timer, &QTimer::timeout, &loop, [&] { end(Outcome::TimedOut); });

    connecting_ = true;
    socket_.connectToHost(address.host, address.port);
    if (outcome == Outcome::Waiting && socket_.state() == QAbstractSocket::ConnectedState)
        outcome = Outcome::Connected;
    if (outcome == Outcome::Waiting && socket_.state() == QAbstractSocket::UnconnectedState)
        outcome = Outcome::Failed;
    if (outcome == Outcome::Waiting) {
        timer.start(connectTimeoutMs_);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    connecting_ = false;
    socket_.disconnect(&loop);

    if (outcome == Outcome::Connected && socket_.state() == QAbstractSocket::ConnectedState) {
        setUpConnection();
        open_ = true;
        openDevice_ = device;
        clearLastError();
        return true;
    }
    const QAbstractSocket::SocketError error = socket_.error();
    const QString reason = socket_.errorString();
    socket_.abort();
    switch (outcome) {
    case Outcome::TimedOut:
        return fail(QStringLiteral("%1: no connection within %2 s").arg(device).arg(connectTimeoutMs_ / 1000.0),
                    ETIMEDOUT);
    case Outcome::Waiting:
        // The loop ended without an outcome: the program is ending.
        return fail(QStringLiteral("%1: connecting was given up, the program is ending").arg(device), ECANCELED);
    case Outcome::Connected:
    case Outcome::Failed:
        break;
    }
    const QString text = QStringLiteral("%1: %2").arg(device, reason);
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return fail(text, ECONNREFUSED);
    case QAbstractSocket::HostNotFoundError:
        return fail(text, ENXIO);
    case QAbstractSocket::NetworkError:
        return fail(text, ENETUNREACH);
    case QAbstractSocket::SocketTimeoutError:
        return fail(text, ETIMEDOUT);
    default:
        return fail(text);
    }
}

void TcpSerialComponent::setUpConnection()
{
    // A request frame leaves at once, as one segment, not held back to be
    // merged with later bytes.
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket_.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    // A connection that breaks without a word (a cable pulled, the server
    // switched off) is noticed within seconds rather than hours: keep-alive
    // probes while idle, and a bound on how long sent bytes may go
    // unacknowledged. Then it closes as a hang-up does.
    const int fd = int(socket_.socketDescriptor());
    const int idleS = 10, intervalS = 3, probes = 3;
    const unsigned unackedMs = 10000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof intervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unackedMs, sizeof unackedMs);
#endif
}

void TcpSerialComponent::writeOut(const QByteArray &bytes)
{
    // One write of the whole request: the server sends it on without a gap.
    socket_.write(bytes);
    socket_.flush();
    noteSendLeft();
}

void TcpSerialComponent::readIncoming()
{
    if (open_)
        keepInput(socket_.readAll());
}

bool TcpSerialComponent::applySettings(const QString &settings)
{
    if (!open_ || !parseLineSettings(settings))
        return false;
    setSettings(settings);
    DiscardInput();
    return true;
}

void TcpSerialComponent::readWaiting()
{
    // Qt's buffer, then what the system holds for the socket and Qt has
    // not read yet.
    readIncoming();
    readKernelQueue();
}

void TcpSerialComponent::readKernelQueue()
{
#ifdef Q_OS_UNIX
    // Without waiting; Qt's own read notification that may follow finds
    // nothing and takes that calmly. An end of the stream is left for Qt to
    // report. More than the input buffer holds is read and dropped, up to a
    // bound, as a serial driver's queue is flushed.
    const int fd = int(socket_.socketDescriptor());
    char buf[512];
    for (qsizetype total = 0; fd >= 0 && total < 64 * 1024;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            keepInput(QByteArray(buf, qsizetype(n)));
            total += n;
        } else if (!(n < 0 && errno == EINTR)) {
            break;
        }
    }
#endif
}

void TcpSerialComponent::onError(QAbstractSocket::SocketError error)
{
    // Errors while connecting are connectTo's; a timeout comes only from
    // waiting calls, which are not used.
    if (!open_ || error == QAbstractSocket::SocketTimeoutError)
        return;
    hangUp(error == QAbstractSocket::RemoteHostClosedError
               ? QStringLiteral("the server closed the connection")
               : QStringLiteral("the connection broke: %1").arg(socket_.errorString()));
}

void TcpSerialComponent::hangUp(const QString &reason)
{
    if (!open_)
        return;
    // What the server sent before the end is still this port's input.
    keepInput(socket_.readAll());
    open_ = false;
    dropQueuedOutput();
    fail(QStringLiteral("%1: %2").arg(openDevice_, reason));
    if (socket_.state() != QAbstractSocket::UnconnectedState)
        socket_.abort();
    emit closedOnError(lastError());
}

} // namespace korvane
