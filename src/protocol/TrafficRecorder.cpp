#include "TrafficRecorder.h"

#include "crc16.h"
#include "serial/SerialComponent.h"

namespace korvane {

TrafficRecorder::TrafficRecorder(SerialComponent &port, QObject *parent)
    : QObject(parent)
    , port_(port)
{
    connect(&port_, &SerialComponent::received, this, &TrafficRecorder::onReceived);
}

ExchangeRecord TrafficRecorder::begin(const QString &command, std::optional<std::uint8_t> slave)
{
    ExchangeRecord r;
    r.number = ++last_;
    r.time = QDateTime::currentDateTime();
    r.commPort = port_.CommPort();
    r.device = port_.portDevice(r.commPort);
    r.slave = slave;
    r.command = command;
    return r;
}

bool TrafficRecorder::send(ModVariables &v, ExchangeRecord &record, const Request &request, const QString &lostTo)
{
    record.checkIndex = request.checkIndex;
    // Bytes that the send drops are reported (onReceived) before it drops
    // them, while they still belong to the exchange before.
    if (!sendRequest(v, port_, request.length)) {
        nothingSent(record, NotSent::PortClosed, closedPortDetail(lostTo, port_.lastError()));
        return false;
    }
    record.sent = compactBytes(v.TxBuf.head(request.length));
    record.droppedBeforeSend = compactBytes(stray_);
    stray_.clear();
    inExchange_ = true;
    lateOwner_ = 0;
    return true;
}

Status TrafficRecorder::take(ModVariables &v, ExchangeRecord &record, const Request &request, bool removeEcho)
{
    // takeReply leaves RxData as it was when nothing has arrived.
    const bool arrived = port_.InBufferCount() > 0;
    record.status = takeReply(v, port_, request.checkIndex);
    if (arrived)
        record.taken = compactBytes(v.RxData);
    if (arrived && removeEcho) {
        // A partial echo counts as the echo; anything else is judged whole.
        const QByteArray &echo = record.sent;
        const qsizetype n = record.taken.startsWith(echo) ? echo.size()
                          : echo.startsWith(record.taken) ? record.taken.size() : 0;
        record.echoRemoved = int(n);
        record.echoMissing = n == 0;
        if (n > 0) {
            v.RxData = record.taken.mid(n);
            record.status = v.RxData.isEmpty() ? Status::Error
                          : CheckCRC(v, request.checkIndex) ? Status::Success : Status::CrcErr;
        }
    }
    record.firstByteMs = int(port_.firstByteAfterSendMs());
    record.waitMs = int(port_.msSinceSend());
    finish(record);
    return record.status;
}

void TrafficRecorder::nothingSent(ExchangeRecord &record, NotSent reason, const QString &detail)
{
    record.notSent = reason;
    record.notSentDetail = detail;
    record.status = Status::Error;
    finish(record);
}

void TrafficRecorder::forgetPort()
{
    inExchange_ = false;
    lateOwner_ = 0;
    stray_.clear();
}

void TrafficRecorder::finish(ExchangeRecord &record)
{
    inExchange_ = false;
    // A command that sent nothing leaves the bytes' owner as it was: what
    // arrives now still comes late for the last request that went out.
    if (record.notSent == NotSent::No)
        lateOwner_ = record.number;
    emit recorded(record);
}

void TrafficRecorder::onReceived(const QByteArray &bytes, qint64 msAfterSend)
{
    if (inExchange_)
        return;  // the reply; take() reads it from the port
    if (lateOwner_ != 0)
        emit lateBytes(lateOwner_, bytes, int(msAfterSend));
    else
        stray_ += bytes.left(MaxKeptBytes - stray_.size());
}

} // namespace korvane
