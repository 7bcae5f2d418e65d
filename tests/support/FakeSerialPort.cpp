#include "FakeSerialPort.h"

#include "serial/LineSettings.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace korvane::test {

namespace {

// Whether bytes end in the Modbus CRC of what comes before (any length,
// unlike the program's frame buffer).
bool isCrcFrame(const QByteArray &bytes)
{
    if (bytes.size() < 4)
        return false;
    quint16 crc = 0xFFFF;
    for (const char c : bytes.first(bytes.size() - 2)) {
        crc ^= quint8(c);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return quint8(bytes.at(bytes.size() - 2)) == (crc & 0xFF) && quint8(bytes.back()) == (crc >> 8);
}

} // namespace

void FakeSerialPort::followTicks(QTimer *timer)
{
    timer_ = timer;
    connect(timer, &QTimer::timeout, this, &FakeSerialPort::tick);
}

void FakeSerialPort::arrive(const QByteArray &bytes)
{
    const QByteArray kept = bytes.left(InBufferSize - inBuffer_.size());
    inBuffer_.append(kept);
    noteArrived(kept);
}

QByteArray FakeSerialPort::noiseFor(const QByteArray &request)
{
    // As a UART at half the speed reads the line: each character it reads
    // spans two sent ones and shows the level that dominates them.
    QByteArray noise;
    for (qsizetype i = 0; i < request.size(); i += 2) {
        const QByteArray pair = request.mid(i, 2);
        int ones = 0;
        for (const char c : pair)
            ones += std::popcount(quint8(c));
        noise.append(2 * ones >= 8 * pair.size() ? '\xFF' : '\x00');
    }
    if (isCrcFrame(noise))
        noise.back() = char(~quint8(noise.back()));  // FF FF 00 00 is a valid frame
    return noise;
}

bool FakeSerialPort::deviceHearsSettings() const
{
    if (!deviceSettings)
        return true;
    const auto device = parseLineSettings(*deviceSettings);
    return device && parseLineSettings(Settings()) == device;
}

void FakeSerialPort::arrivePending()
{
    if (echoPending_)
        arrive(requests_.last());
    if (noisePending_)
        arrive(noiseFor(requests_.last()));
    echoPending_ = noisePending_ = false;
}

void FakeSerialPort::deliverLate()
{
    if (echoPending_ || noisePending_) {
        clockMs_ = std::max(clockMs_, requestStartMs_ + 10);
        arrivePending();
    }
    std::stable_sort(active_.begin(), active_.end(),
                     [](const Chunk &a, const Chunk &b) { return a.atTick < b.atTick; });
    for (const Chunk &c : std::as_const(active_)) {
        clockMs_ = std::max(clockMs_, requestStartMs_ + 10 * qint64(c.atTick));
        arrive(c.bytes);
    }
    active_.clear();
}

bool FakeSerialPort::setPortOpen(bool open)
{
    if (!open) {
        open_ = false;
        return true;
    }
    ++openCount;
    if (!parseLineSettings(Settings())) {
        lastError_ = QStringLiteral("%1: the line settings \"%2\" are not accepted").arg(portDevice(CommPort()), Settings());
        return false;
    }
    if (failOpen) {
        lastError_ = QStringLiteral("%1: No such file or directory").arg(portDevice(CommPort()));
        lastErrorNumber_ = failErrorNumber;
        return false;
    }
    open_ = true;
    lastError_.clear();
    lastErrorNumber_ = 0;
    return true;
}

void FakeSerialPort::Output(char byte)
{
    if (!open_)
        return;
    if (!frameOpen_) {
        // The first byte after a tick starts a new request.
        frameOpen_ = true;
        requests_.append(QByteArray());
        const Script script = scripts_.isEmpty() ? Script() : scripts_.takeFirst();
        const bool heard = deviceHearsSettings();
        active_ = heard ? script : Script();
        echoPending_ = echo;
        noisePending_ = !heard && garbleOnMismatch;
        ticksSinceRequest_ = 0;
        requestStartMs_ = clockMs_;
        noteSendLeft();
    }
    requests_.last().append(byte);
}

QByteArray FakeSerialPort::Input()
{
    QByteArray data;
    data.swap(inBuffer_);
    return data;
}

void FakeSerialPort::DiscardInput()
{
    arrive(std::exchange(inDriver_, QByteArray()));
    inBuffer_.clear();
}

void FakeSerialPort::hangUp()
{
    if (!open_)
        return;
    open_ = false;
    lastError_ = QStringLiteral("%1: hang-up").arg(portDevice(CommPort()));
    emit closedOnError(lastError_);
}

void FakeSerialPort::tick()
{
    frameOpen_ = false;
    ++ticksSinceRequest_;
    clockMs_ += 10;
    arrivePending();  // the first tick after a request: its echo and noise come first
    for (qsizetype i = 0; i < active_.size();) {
        if (active_[i].atTick <= ticksSinceRequest_) {
            arrive(active_[i].bytes);
            active_.removeAt(i);
        } else {
            ++i;
        }
    }
    if (onTick)
        onTick(ticksSinceRequest_);
}

} // namespace korvane::test
