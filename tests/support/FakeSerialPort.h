#pragma once
// A scripted stand-in for the serial port: records every byte written and
// delivers chosen replies at chosen timer ticks of the reply wait, so that a
// loaded machine cannot move a reply across the end of the wait. Its clock
// counts those ticks (10 ms each): a request leaves at its first byte, and
// a byte arriving at tick t came t * 10 ms after it.

#include "serial/SerialComponent.h"

#include <QList>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <functional>
#include <optional>

namespace korvane::test {

class FakeSerialPort : public SerialComponent {
    Q_OBJECT
public:
    /// Part of a reply: bytes that arrive once `atTick` ticks of the wait
    /// have passed (1..10 is within the wait; later ones arrive only when
    /// deliverLate() is called, as if at their tick).
    struct Chunk {
        int atTick;
        QByteArray bytes;
    };
    /// What the device does for one request; empty = no answer.
    using Script = QList<Chunk>;

    static Script inTime(const QByteArray &reply, int atTick = 3) { return {{atTick, reply}}; }
    static Script late(const QByteArray &reply, int atTick = LateTick) { return {{atTick, reply}}; }
    static Script split(const QByteArray &reply, int cut, int firstTick, int secondTick)
    {
        return {{firstTick, reply.left(cut)}, {secondTick, reply.mid(cut)}};
    }
    static constexpr int LateTick = 1000;

    explicit FakeSerialPort(QObject *parent = nullptr) : SerialComponent(parent) {}

    /// Counts the ticks of this timer (the window's reply-wait timer).
    void followTicks(QTimer *timer);
    /// Queues what the device does for the next request not yet answered.
    void answerNext(const Script &script) { scripts_.append(script); }
    /// Bytes that arrive now, outside any script (a stale reply, noise).
    void arrive(const QByteArray &bytes);
    /// Delivers the chunks of the current request that were due after the
    /// wait, in the order of their ticks, the clock moving on to each.
    void deliverLate();
    /// Bytes that reach the driver's queue but are read only by the next
    /// DiscardInput() (they arrived just before a request), which reports
    /// and drops them.
    void arriveInDriver(const QByteArray &bytes) { inDriver_ += bytes; }

    /// Every request written, one entry per frame.
    QList<QByteArray> requests() const { return requests_; }
    /// Called on every tick with the tick number since the last request.
    std::function<void(int)> onTick;

    // The device's line, as far as a real one shows it to the program.
    /// The line settings the device listens at. When set and Settings()
    /// differ from them in baud rate, parity, data bits or stop bits as a
    /// request starts, the device does not hear the request: its script is
    /// used up, but nothing of it arrives (a request is heard at the same
    /// settings however they are written). Unset: every request is heard.
    std::optional<QString> deviceSettings;
    /// At other settings, 00/FF noise arrives at the first tick instead of
    /// nothing: one byte per two request bytes (00 where 0 bits dominate
    /// them, FF where 1 bits do), never a frame with a valid CRC.
    bool garbleOnMismatch = false;
    /// The request's own bytes arrive first, at the first tick, as from an
    /// RS-485 adapter that hears itself; also at other settings.
    bool echo = false;
    /// The noise garbleOnMismatch delivers for a request.
    static QByteArray noiseFor(const QByteArray &request);

    // Open behaviour.
    bool failOpen = false;
    int failErrorNumber = ENOENT; ///< the errno a failed open reports
    int openCount = 0;

    bool PortOpen() const override { return open_; }
    bool setPortOpen(bool open) override;
    QString lastError() const override { return lastError_; }
    int lastErrorNumber() const override { return lastErrorNumber_; }
    void Output(char byte) override;
    int InBufferCount() override { return int(inBuffer_.size()); }
    QByteArray Input() override;
    void DiscardInput() override;

    /// Simulates a hang-up: the port closes itself and says so once.
    void hangUp();

protected:
    qint64 clockMs() const override { return clockMs_; }

private:
    void tick();
    void arrivePending();
    bool deviceHearsSettings() const;

    bool open_ = false;
    QString lastError_;
    int lastErrorNumber_ = 0;
    QByteArray inBuffer_;
    QList<QByteArray> requests_;
    QList<Script> scripts_;
    Script active_;
    int ticksSinceRequest_ = 0;
    qint64 clockMs_ = 0;
    qint64 requestStartMs_ = 0;
    QByteArray inDriver_;
    bool frameOpen_ = false;
    bool echoPending_ = false;   // the current request's echo is still to arrive
    bool noisePending_ = false;  // likewise its noise (not heard, garbling)
    QPointer<QTimer> timer_;
};

} // namespace korvane::test
