#include "QtSerialComponent.h"

#include "LineSettings.h"
#include "PortDevices.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace korvane {

namespace {
// The errno behind a failed QSerialPort::open(), which Qt does not keep.
// Errors that name one cause are mapped; for the others the device is
// opened once more by hand (QSerialPort got that far already, so this
// changes nothing at the device) to tell "not a terminal" from the rest.
int openErrorNumber(QSerialPort::SerialPortError error, const QString &device)
{
#ifdef Q_OS_UNIX
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return ENOENT;
    case QSerialPort::PermissionError:
        return EACCES; // or EBUSY, or another program's lock file
    default:
        break;
    }
    int fd;
    do
        fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    const bool terminal = ::isatty(fd);
    ::close(fd);
    if (!terminal)
        return ENOTTY;
    if (error == QSerialPort::UnsupportedOperationError)
        return EINVAL; // a terminal that refused the line settings
    return error == QSerialPort::ResourceError ? EIO : 0;
#else
    Q_UNUSED(error);
    Q_UNUSED(device);
    return 0;
#endif
}
} // namespace

QtSerialComponent::QtSerialComponent(QObject *parent)
    : SerialComponent(parent)
{
    connect(&port_, &QSerialPort::readyRead, this, &QtSerialComponent::readIncoming);
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialComponent::onError);
}

QtSerialComponent::~QtSerialComponent() = default;

bool QtSerialComponent::PortOpen() const { return port_.isOpen(); }

bool QtSerialComponent::setPortOpen(bool open)
{
    if (!open) {
        closePort();
        clearInput();
        return true;
    }
    if (port_.isOpen())
        return true;

    const QString device = portDevice(CommPort());
    const auto line = parseLineSettings(Settings());
    if (!line)
        return fail(QStringLiteral("%1: the line settings \"%2\" are not accepted "
                                   "(expected baud,parity,databits,stopbits, e.g. 9600,n,8,2)")
                        .arg(device, Settings()));
    // Line settings are applied before opening: on some devices (pseudo-
    // terminals among them) parity cannot be changed on an open port.
    // The name resolved by the same rule that the port devices and the
    // failure advice use (a bare name is inside /dev).
    const QString path = resolvedDevicePath(device);
    port_.setPortName(path);
    port_.setBaudRate(line->baudRate);
    port_.setParity(line->parity);
    port_.setDataBits(line->dataBits);
    port_.setStopBits(line->stopBits);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite))
        return fail(QStringLiteral("%1: %2").arg(device, port_.errorString()), openErrorNumber(port_.error(), path));
    QString reason;
    markingErrors_ = false;
    if (line->parity != QSerialPort::NoParity && !markReceiveErrors(&reason)) {
        port_.close();
        return fail(QStringLiteral("%1: cannot check the parity of received bytes: %2").arg(device, reason));
    }
    openDevice_ = device;
    // Old input of the device does not belong to anything we send.
    port_.clear(QSerialPort::Input);
    clearInput();
    marks_.reset();
    clearLastError();
    return true;
}

bool QtSerialComponent::applySettings(const QString &settings)
{
    const auto line = parseLineSettings(settings);
    if (!line || !port_.isOpen())
        return false;
    // Each setter changes the open port at once and fails where the device
    // refuses; the caller then reopens with the settings preset.
    const bool applied = port_.setBaudRate(line->baudRate) && port_.setDataBits(line->dataBits)
                         && port_.setStopBits(line->stopBits) && port_.setParity(line->parity);
    if (!applied) {
        port_.clearError();
        return false;
    }
    // Qt's parity setter turns the marking of bad bytes off again.
    QString reason;
    markingErrors_ = false;
    if (line->parity != QSerialPort::NoParity && !markReceiveErrors(&reason))
        return false;
    setSettings(settings);
    port_.clear(QSerialPort::Input);
    clearInput();
    marks_.reset();
    return true;
}

bool QtSerialComponent::markReceiveErrors(QString *reason)
{
#ifdef Q_OS_LINUX
    // Qt sets IGNPAR and clears INPCK, so a byte received with a parity
    // error would arrive as if it were good. Have the line discipline check
    // parity and mark every byte with a parity or framing error (FF 00 x,
    // and FF FF for a real FF) instead.
    termios tio{};
    const int fd = int(port_.handle());
    if (::tcgetattr(fd, &tio) != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    tio.c_iflag |= INPCK | PARMRK;
    tio.c_iflag &= ~tcflag_t(IGNPAR);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    markingErrors_ = true;
#else
    Q_UNUSED(reason);
#endif
    return true;
}

void QtSerialComponent::writeOut(const QByteArray &bytes)
{
    port_.write(bytes);
    port_.flush();
    noteSendLeft();
}

void QtSerialComponent::readIncoming()
{
    // Reading also re-arms Qt's read notification if a failed read had
    // switched it off.
    if (port_.isOpen())
        keepIncoming(port_.readAll());
}

void QtSerialComponent::keepIncoming(const QByteArray &data)
{
    // The buffer's bound counts the bytes as delivered, after the marks.
    keepInput(markingErrors_ ? marks_.decode(data) : data);
}

void QtSerialComponent::readWaiting()
{
    readIncoming();
    readDriverQueue();
    port_.clear(QSerialPort::Input);
    marks_.reset();
}

void QtSerialComponent::readDriverQueue()
{
#ifdef Q_OS_UNIX
    // The descriptor is non-blocking; Qt's own read notification that may
    // follow finds nothing, which onError() tells apart from a hang-up. At
    // most what the input buffer could hold is read; the flush drops the rest.
    const int fd = int(port_.handle());
    char buf[512];
    for (qsizetype total = 0; total < InBufferSize;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            keepIncoming(QByteArray(buf, qsizetype(n)));
            total += n;
        } else if (!(n < 0 && errno == EINTR)) {
            break;
        }
    }
#endif
}

void QtSerialComponent::closePort()
{
    if (port_.isOpen())
        port_.close();
    dropQueuedOutput();
    marks_.reset();
}

void QtSerialComponent::onError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
        return;
    if (!port_.isOpen())
        return;
    QString reason;
    if (!deviceFailed(&reason)) {
        // No hang-up: the read found nothing because the bytes that made
        // the port readable were discarded between the event loop's poll
        // and the read (DiscardInput from a handler earlier in the same
        // pass). Keep the port open and reading.
        port_.clearError();
        readIncoming();
        return;
    }
    // A hang-up repeats the error in a tight loop until the port is closed.
    fail(QStringLiteral("%1: %2").arg(openDevice_, reason));
    closePort();
    emit closedOnError(lastError());
}

bool QtSerialComponent::deviceFailed(QString *reason)
{
    *reason = port_.errorString();
#ifdef Q_OS_UNIX
    const int fd = int(port_.handle());
    pollfd p{fd, POLLIN, 0};
    int ready;
    do
        ready = ::poll(&p, 1, 0);
    while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return true;
    if (p.revents & POLLHUP) {
        *reason = QStringLiteral("the device hung up (disconnected)");
        return true;
    }
    if (p.revents & (POLLERR | POLLNVAL))
        return true;
    if (ready == 0)
        return false;  // nothing to read, and no hang-up
    // Readable again (bytes arrived after the failed read): read them here.
    // If this read fails too, the device is broken.
    readIncoming();
    char buf[512];
    ssize_t n;
    do
        n = ::read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        keepIncoming(QByteArray(buf, qsizetype(n)));
        return false;
    }
    return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
#else
    return true;
#endif
}

} // namespace korvane
