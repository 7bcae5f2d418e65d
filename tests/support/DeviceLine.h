#pragma once
// Devices behind a fake port, each at an address and line settings of its
// own, answering counter reads: what a search or a window finds on a line.

#include "FakeSerialPort.h"
#include "Frames.h"
#include "serial/LineSettings.h"

#include <QStringList>
#include <QTimer>

#include <algorithm>

namespace korvane::test {

inline QByteArray readRequest(int address)
{
    ModVariables v;
    const Request r = buildReadCounter(v, std::uint8_t(address));
    return v.TxBuf.head(r.length);
}

inline QByteArray counterReply(int address, qint32 value)
{
    const auto u = quint32(value);
    QByteArray frame;
    frame += char(address);
    frame += QByteArray::fromHex("0304");
    for (const int shift : {24, 16, 8, 0})
        frame += char((u >> shift) & 0xFF);
    return withCRC(frame);
}

inline QByteArray exceptionReply(int address, int code)
{
    QByteArray frame;
    frame += char(address);
    frame += char(0x83);
    frame += char(code);
    return withCRC(frame);
}

inline bool sameSettings(const QString &a, const QString &b)
{
    const auto x = parseLineSettings(a);
    return x && x == parseLineSettings(b);
}

// A line of devices behind a fake port. Each request is answered by the
// device at its address that listens at the port's present settings; at
// the settings in noiseAt 00/FF noise arrives where no device answers. The
// fake's echo puts the request's own bytes first. The fake's clock moves
// 10 ms a tick, so a reply at tick 1 came in 10 ms. (The fake's
// deviceSettings does the same for a single device; this line has several,
// each with settings of its own.)
class DeviceLine : public FakeSerialPort {
    Q_OBJECT
public:
    struct Device {
        int address = 0;
        QString settings;
        qint32 counter = 0;
        int exception = 0; ///< answers with this exception code instead
    };

    DeviceLine(QTimer *ticks, QString name, QStringList *log)
        : name_(std::move(name))
        , log_(log)
    {
        followTicks(ticks);
        // A tick ends the frame being written: the next byte starts a request.
        connect(ticks, &QTimer::timeout, this, [this] { frameStarts_ = true; });
    }

    QList<Device> devices;
    QStringList noiseAt;
    /// The device refuses new settings on the open port (as a
    /// pseudo-terminal refuses even parity): the port must be reopened.
    bool refuseInPlace = false;
    int appliedInPlace = 0;
    /// The settings at each request.
    QStringList settingsAtRequest;

    bool applySettings(const QString &settings) override
    {
        if (!PortOpen() || refuseInPlace || !parseLineSettings(settings))
            return false;
        setSettings(settings);
        DiscardInput();
        ++appliedInPlace;
        return true;
    }

    void Output(char byte) override
    {
        if (frameStarts_ && PortOpen()) {
            frameStarts_ = false;
            settingsAtRequest << Settings();
            if (log_)
                *log_ << name_;
            answerNext(scriptFor(static_cast<std::uint8_t>(byte)));
        }
        FakeSerialPort::Output(byte);
    }

private:
    Script scriptFor(int address) const
    {
        QByteArray bytes;
        bool answered = false;
        for (const Device &d : devices) {
            if (d.address == address && sameSettings(d.settings, Settings())) {
                bytes += d.exception ? exceptionReply(address, d.exception) : counterReply(address, d.counter);
                answered = true;
            }
        }
        if (!answered && std::any_of(noiseAt.begin(), noiseAt.end(),
                                     [&](const QString &s) { return sameSettings(s, Settings()); }))
            bytes += hex("00 FF 00 00");
        return bytes.isEmpty() ? Script() : inTime(bytes, 1);
    }

    QString name_;
    QStringList *log_ = nullptr;
    bool frameStarts_ = true;
};

} // namespace korvane::test
