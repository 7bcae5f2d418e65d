#include "Exchange.h"

#include "crc16.h"
#include "serial/SerialComponent.h"

#include <QEventLoop>
#include <QTimer>

namespace korvane {

QString statusWord(Status s)
{
    switch (s) {
    case Status::Success:
        return QStringLiteral("Success");
    case Status::CrcErr:
        return QStringLiteral("CRC Err");
    case Status::Error:
        break;
    }
    return QStringLiteral("Error");
}

bool sendRequest(ModVariables &v, SerialComponent &port, int length)
{
    if (!port.PortOpen())
        return false;
    const QByteArray frame = v.TxBuf.head(length);
    // A reply that came too late for an earlier exchange must not be taken
    // for the reply to this request.
    port.DiscardInput();
    for (char byte : frame)
        port.Output(byte);
    return true;
}

bool waitForTicks(const QPointer<QObject> &owner, ModVariables &v, QTimer &timer)
{
    const QPointer<QTimer> guardTimer(&timer);
    v.gTick = 0;
    timer.start();
    QEventLoop loop;
    while (owner && guardTimer && v.gTick < ReplyWaitTicks) {
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    if (!owner || !guardTimer)
        return false;
    timer.stop();
    return true;
}

Status takeReply(ModVariables &v, SerialComponent &port, int checkIndex)
{
    if (port.InBufferCount() == 0)
        return Status::Error;
    v.RxData = port.Input();
    return CheckCRC(v, checkIndex) ? Status::Success : Status::CrcErr;
}

} // namespace korvane
