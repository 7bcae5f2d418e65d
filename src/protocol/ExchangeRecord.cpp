#include "ExchangeRecord.h"

#include "crc16.h"

#include <QStringList>

namespace korvane {

namespace {

std::uint8_t byteAt(const QByteArray &bytes, qsizetype i)
{
    return static_cast<std::uint8_t>(bytes.at(i));
}

QString bytesCount(qsizetype n)
{
    return n == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(n);
}

/// The CRC of frame[0..k] as the check computes it, against the two bytes
/// that follow in the frame, both as "LO HI" texts.
struct CrcComparison {
    bool good = false;
    QString expected;
    QString received;
};

std::optional<CrcComparison> compareCrc(const QByteArray &frame, int k)
{
    if (k < 0 || k >= FrameBuffer::Size || frame.size() < qsizetype(k) + 3)
        return std::nullopt;
    ModVariables v;
    v.RxData = frame.left(k + 3);
    CrcComparison c;
    c.good = CheckCRC(v, k);
    c.expected = v.gCRCLo + QLatin1Char(' ') + v.gCRCHi;
    c.received = hexText(byteAt(frame, k + 1)) + QLatin1Char(' ') + hexText(byteAt(frame, k + 2));
    return c;
}

bool isWrite(std::uint8_t function)
{
    return function == 5 || function == 6 || function == 15 || function == 16;
}

} // namespace

void addLateBytes(ExchangeRecord &record, const QByteArray &bytes, int msAfterSend)
{
    if (bytes.isEmpty() || record.late.size() >= MaxKeptBytes)
        return;
    record.late = compactBytes(record.late + bytes.left(MaxKeptBytes - record.late.size()));
    if (record.lateFirstMs < 0)
        record.lateFirstMs = msAfterSend;
    record.lateLastMs = msAfterSend;
}

QByteArray compactBytes(const QByteArray &bytes)
{
    return bytes.isEmpty() ? QByteArray() : QByteArray(bytes.constData(), bytes.size());
}

QString closedPortDetail(const QString &lostTo, const QString &openFailure)
{
    if (lostTo.isEmpty() || lostTo == openFailure)
        return openFailure;
    if (openFailure.isEmpty())
        return lostTo;
    return QStringLiteral("%1; opening it again failed: %2").arg(lostTo, openFailure);
}

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString exceptionName(std::uint8_t code)
{
    switch (code) {
    case 0x01: return QStringLiteral("Illegal Function");
    case 0x02: return QStringLiteral("Illegal Data Address");
    case 0x03: return QStringLiteral("Illegal Data Value");
    case 0x04: return QStringLiteral("Server Device Failure");
    case 0x05: return QStringLiteral("Acknowledge");
    case 0x06: return QStringLiteral("Server Device Busy");
    case 0x08: return QStringLiteral("Memory Parity Error");
    case 0x0A: return QStringLiteral("Gateway Path Unavailable");
    case 0x0B: return QStringLiteral("Gateway Target Device Failed to Respond");
    default: return QString();
    }
}

QString explainExchange(const ExchangeRecord &r)
{
    QStringList parts;
    switch (r.notSent) {
    case NotSent::PortClosed:
        return r.notSentDetail.isEmpty()
            ? QStringLiteral("nothing sent: the port is closed")
            : QStringLiteral("nothing sent: the port is closed (%1)").arg(r.notSentDetail);
    case NotSent::NoSlaveEntry:
        return QStringLiteral("nothing sent: the slave text \"%1\" names no entry of the list (1 to 247)")
            .arg(r.notSentDetail);
    case NotSent::No:
        break;
    }

    const bool haveRequest = r.sent.size() >= 2;
    const std::uint8_t slave = haveRequest ? byteAt(r.sent, 0) : 0;
    const std::uint8_t function = haveRequest ? byteAt(r.sent, 1) : 0;
    const QByteArray reply = replyBytes(r);
    const qsizetype needed = qsizetype(r.checkIndex) + 3;

    if (haveRequest && slave == 0)
        parts << QStringLiteral("sent to address 0, the broadcast address: devices may carry out a write "
                                "to it but never answer");
    if (!r.droppedBeforeSend.isEmpty())
        parts << QStringLiteral("%1 waiting before the request, dropped unjudged: %2")
                     .arg(bytesCount(r.droppedBeforeSend.size()), hexBytes(r.droppedBeforeSend));

    if (r.echoRemoved > 0)
        parts << QStringLiteral("echo of %1 removed").arg(bytesCount(r.echoRemoved));
    if (r.echoMissing)
        parts << QStringLiteral("echo removal is on, but what arrived did not begin with the request's "
                                "echo: nothing removed");

    if (reply.isEmpty()) {
        QString none = r.echoRemoved > 0 ? QStringLiteral("no reply after the echo within the wait")
                                         : QStringLiteral("no reply within the wait");
        if (r.waitMs >= 0)
            none += QStringLiteral(" (%1 ms)").arg(r.waitMs);
        parts << none;
    } else {
        if (r.status == Status::Success)
            parts << QStringLiteral("CRC good");
        if (haveRequest && byteAt(reply, 0) != slave)
            parts << QStringLiteral("reply from slave %1, the request went to slave %2")
                         .arg(byteAt(reply, 0)).arg(slave);
        bool exception = false;
        if (haveRequest && reply.size() >= 2) {
            const std::uint8_t got = byteAt(reply, 1);
            if (got == (function | 0x80)) {
                exception = true;
                if (reply.size() >= 3) {
                    const std::uint8_t code = byteAt(reply, 2);
                    const QString name = exceptionName(code);
                    parts << (name.isEmpty() ? QStringLiteral("Modbus exception %1").arg(hexText(code))
                                             : QStringLiteral("Modbus exception %1 %2").arg(hexText(code), name));
                    if (const auto crc = compareCrc(reply, 2); crc && !crc->good)
                        parts << QStringLiteral("the exception's CRC is wrong: expected %1, received %2")
                                     .arg(crc->expected, crc->received);
                } else {
                    parts << QStringLiteral("Modbus exception, its code missing");
                }
            } else if (got != function) {
                parts << QStringLiteral("reply with function code %1, the request had %2")
                             .arg(hexText(got), hexText(function));
            }
        }
        if (reply.size() < needed) {
            parts << QStringLiteral("reply too short for the check: %1, %2 needed")
                         .arg(bytesCount(reply.size())).arg(needed);
        } else {
            if (const auto crc = compareCrc(reply, r.checkIndex); crc && !crc->good)
                parts << QStringLiteral("CRC expected %1, received %2").arg(crc->expected, crc->received);
            if (reply.size() > needed && !exception)
                parts << QStringLiteral("%1 after the reply ignored: %2")
                             .arg(bytesCount(reply.size() - needed), hexBytes(reply.mid(needed)));
        }
        if (r.firstByteMs >= 0) {
            QString timing = QStringLiteral("first byte %1 ms after the request left").arg(r.firstByteMs);
            if (r.waitMs >= 0)
                timing += QStringLiteral(", %1 ms before the wait ended").arg(r.waitMs - r.firstByteMs);
            parts << timing;
        }
    }

    if (!r.late.isEmpty()) {
        QString late = QStringLiteral("%1 arrived after the wait").arg(bytesCount(r.late.size()));
        if (r.lateFirstMs >= 0 && r.waitMs >= 0)
            late += QStringLiteral(", about %1 ms late").arg(qMax(0, r.lateFirstMs - r.waitMs));
        late += QStringLiteral(": ") + hexBytes(r.late);
        parts << late;
        const auto whole = compareCrc(reply + r.late, r.checkIndex);
        if (r.status != Status::Success && whole && whole->good) {
            QString answered = QStringLiteral("with them the reply is complete and its CRC good: the device "
                                              "answered, too late for the wait");
            if (haveRequest && isWrite(function) && byteAt(reply + r.late, 1) == function)
                answered += QStringLiteral(", and probably carried out the write");
            parts << answered;
        }
    }
    return parts.join(QStringLiteral("; "));
}

QString receivedText(const ExchangeRecord &r)
{
    if (r.late.isEmpty())
        return hexBytes(r.taken);
    const QString late = QStringLiteral("(after the wait: %1)").arg(hexBytes(r.late));
    return r.taken.isEmpty() ? late : hexBytes(r.taken) + QLatin1Char(' ') + late;
}

QString exchangeToolTip(const ExchangeRecord &r)
{
    const QString nothing = QStringLiteral("nothing");
    const QString received = receivedText(r);
    return QStringLiteral("%1\n%2\nSent: %3\nReceived: %4")
        .arg(statusWord(r.status), explainExchange(r), r.sent.isEmpty() ? nothing : hexBytes(r.sent),
             received.isEmpty() ? nothing : received);
}

} // namespace korvane
