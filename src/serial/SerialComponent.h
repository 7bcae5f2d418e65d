#pragma once
// The serial-port component: the operations the window and the exchange use,
// modelled on a classic communications control. One implementation drives a
// serial device through QSerialPort, another a serial device server over
// TCP (AnyDeviceComponent chooses between them by the device's form); tests
// use a scripted fake.

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QString>

namespace korvane {

class SerialComponent : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialComponent() override = default;

    /// Port number 1..6 (COMn is port n). Set while the port is closed.
    void setCommPort(int port) { commPort_ = port; }
    int CommPort() const { return commPort_; }

    /// Line settings "baud,parity,databits,stopbits", e.g. "19200,e,8,1".
    /// Stored as given; checked when the port is opened.
    void setSettings(const QString &settings) { settings_ = settings; }
    QString Settings() const { return settings_; }

    /// 1 = binary: Input() yields the received bytes unchanged.
    void setInputMode(int mode) { inputMode_ = mode; }
    int InputMode() const { return inputMode_; }

    virtual bool PortOpen() const = 0;
    /// Opens (true) or closes (false) the port with the current CommPort and
    /// Settings. Returns false when opening fails; lastError() says why.
    virtual bool setPortOpen(bool open) = 0;
    /// Why the last open failed (or why the port closed itself), for people.
    virtual QString lastError() const { return lastError_; }
    /// The system's error number (errno) for the last failed open, as far
    /// as the port can tell; 0 when unknown.
    virtual int lastErrorNumber() const { return lastErrorNumber_; }

    /// Queues one byte for transmission. The bytes queued by consecutive
    /// calls leave back to back, in one write (writeOut), once the event
    /// loop runs.
    virtual void Output(char byte);
    /// Number of received bytes waiting (never more than the input buffer).
    virtual int InBufferCount() { return int(input_.size()); }
    /// All waiting bytes, in arrival order; removes them from the buffer.
    /// With parity, a byte received with a parity or framing error reads
    /// as '?'.
    virtual QByteArray Input();
    /// Drops every received byte still waiting, ours and the driver's
    /// (read first by readWaiting(), so that they are reported as received).
    virtual void DiscardInput();

    /// Applies new line settings to the open port without closing it, and
    /// clears the input (bytes at the old settings mean nothing at the new
    /// ones). False where the port is closed, the text is not line settings
    /// or the device refuses them on an open port (a pseudo-terminal refuses
    /// even parity): the port may then be partly changed, and Settings()
    /// are as before; closing, setting and opening it applies them. This
    /// base refuses always.
    virtual bool applySettings(const QString &settings);

    /// How many bytes arrived with a framing or parity error since the
    /// component was made (never reset, so differences count a stretch of
    /// time). 0 where the port cannot tell.
    virtual quint64 receiveErrorCount() const { return 0; }

    /// Size of the input buffer; bytes beyond it are dropped.
    static constexpr int InBufferSize = 1024;

    /// Maps port number n to a device path ("/dev/ttyUSB0"); an empty path
    /// removes the mapping.
    void setPortDevice(int port, const QString &path);
    /// The device behind port n: the mapped path, or defaultPortDevice(n).
    QString portDevice(int port) const;
    /// The path port n is mapped to; empty when it uses its default.
    QString portDeviceMapping(int port) const { return devices_.value(port); }
    /// "COMn" on Windows, /dev/ttyS<n-1> elsewhere.
    static QString defaultPortDevice(int port);

    /// Milliseconds since the bytes of the last send left for the device;
    /// -1 before the first send.
    virtual qint64 msSinceSend() const;
    /// Milliseconds from the last send leaving to the first byte received
    /// after it; -1 while none has arrived.
    virtual qint64 firstByteAfterSendMs() const { return firstByteMs_; }

signals:
    /// The port closed itself after a read or resource error (hang-up,
    /// unplugged adapter). Emitted once per closing.
    void closedOnError(const QString &reason);
    /// Bytes were taken into the input buffer, msAfterSend milliseconds
    /// after the last send left (-1 before any send). Also emitted for
    /// bytes that DiscardInput() finds and drops, before it drops them.
    void received(const QByteArray &bytes, qint64 msAfterSend);

protected:
    /// Writes one whole request to the device, for implementations that use
    /// the default Output(); they call noteSendLeft() once it has left.
    virtual void writeOut(const QByteArray &bytes) { Q_UNUSED(bytes); }
    /// Reads, without waiting, what the device holds and has not handed on
    /// yet, for the default DiscardInput().
    virtual void readWaiting() {}
    /// Sets lastError() and lastErrorNumber(); returns false, for failing
    /// opens to return.
    bool fail(const QString &text, int errorNumber = 0);
    void clearLastError() { fail(QString()); }
    /// Drops the bytes that Output() queued and that have not left yet.
    void dropQueuedOutput() { pendingOutput_.clear(); }

    /// Implementations call these: when the bytes of a send are handed to
    /// the device, and with every piece of input they keep.
    void noteSendLeft();
    void noteArrived(const QByteArray &bytes);
    /// The input buffer that InBufferCount() and Input() read, for
    /// implementations that keep theirs here: keepInput() appends what
    /// fits (the rest is dropped) and notes it as arrived.
    void keepInput(const QByteArray &bytes);
    void clearInput() { input_.clear(); }
    /// The clock of the send and arrival times, in milliseconds: a steady
    /// clock started with the component.
    virtual qint64 clockMs() const { return clock_.elapsed(); }

private:
    void flushOutput();

    int commPort_ = 1;
    QString settings_ = QStringLiteral("9600,n,8,1");
    int inputMode_ = 0;
    QString lastError_;
    int lastErrorNumber_ = 0;
    QByteArray pendingOutput_;
    bool flushScheduled_ = false;
    QMap<int, QString> devices_;
    QByteArray input_;
    QElapsedTimer clock_ = startedClock();
    qint64 sentAtMs_ = -1;
    qint64 firstByteMs_ = -1;

    static QElapsedTimer startedClock();
};

} // namespace korvane
