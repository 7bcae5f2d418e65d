#pragma once
// What one exchange did on the line, kept for the operator: the request
// sent, what was taken as its reply, what arrived too late, the timing and
// the status word, and a plain explanation of it all.

#include "Exchange.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>

namespace korvane {

/// Why an exchange sent nothing.
enum class NotSent {
    No,            ///< the request was sent
    PortClosed,    ///< the port is closed (notSentDetail: why, when known)
    NoSlaveEntry,  ///< the slave text names no list entry (notSentDetail: the text)
};

struct ExchangeRecord {
    quint64 number = 0;                 ///< 1, 2, ... in the order of the requests
    QDateTime time;                     ///< when the command started, local time
    int commPort = 0;                   ///< COMn
    QString device;                     ///< the device behind COMn
    std::optional<std::uint8_t> slave;  ///< the address, when the slave text named one
    QString command;                    ///< the button's caption
    QByteArray sent;                    ///< the request frame; empty when nothing was sent
    int checkIndex = 0;                 ///< k: last reply byte the CRC check covers
    QByteArray taken;                   ///< what the exchange took after its wait, echo included
    /// With echo removal on: the first echoRemoved bytes of taken were the
    /// request's own echo and were dropped (RxData holds the rest);
    /// echoMissing when taken did not begin with the echo.
    int echoRemoved = 0;
    bool echoMissing = false;
    /// Input that was waiting when the request went out and that no
    /// earlier exchange waited for (noise, or bytes from before the first
    /// request); dropped unjudged.
    QByteArray droppedBeforeSend;
    Status status = Status::Error;
    int firstByteMs = -1;               ///< request left -> first byte after it; -1: none
    int waitMs = -1;                    ///< request left -> end of the wait
    /// Bytes that arrived after the wait, before the next request dropped
    /// them, with their arrival in ms after the request left.
    QByteArray late;
    int lateFirstMs = -1;
    int lateLastMs = -1;
    NotSent notSent = NotSent::No;
    QString notSentDetail;
};

/// Most bytes a record keeps of those that arrived after its wait, or that
/// were dropped before its request (the size of the port's input buffer).
constexpr qsizetype MaxKeptBytes = 1024;

/// Adds bytes that arrived after the record's wait (up to MaxKeptBytes).
void addLateBytes(ExchangeRecord &record, const QByteArray &bytes, int msAfterSend);

/// The bytes in storage of their own, just as large as they are. Records
/// live long; bytes as the port hands them on may share a read buffer of
/// many kilobytes.
QByteArray compactBytes(const QByteArray &bytes);

/// Why a closed port sent nothing: why opening it failed, and first, when
/// it was lost to a hang-up and not open since, that it hung up, e.g.
/// "/dev/ttyUSB0: the device hung up (disconnected); opening it again
/// failed: /dev/ttyUSB0: No such file or directory". Either may be empty.
QString closedPortDetail(const QString &lostTo, const QString &openFailure);

/// What a person needs to know about the exchange, in plain words, naming
/// every cause that applies, e.g. "Modbus exception 02 Illegal Data
/// Address; reply too short for the check: 5 bytes, 9 needed; ...".
QString explainExchange(const ExchangeRecord &record);

/// The status label's tool tip: the status word, the explanation, and the
/// frames sent and received, one per line.
QString exchangeToolTip(const ExchangeRecord &record);

/// What was taken as the reply itself: taken without the echo removed.
inline QByteArray replyBytes(const ExchangeRecord &record) { return record.taken.mid(record.echoRemoved); }

/// The bytes received: those taken, then those that came after the wait,
/// "01 03 04 (after the wait: 00 00 00 05 3A 30)".
QString receivedText(const ExchangeRecord &record);

/// Hex bytes separated by spaces: "01 03 00 00 00 02 C4 0B".
QString hexBytes(const QByteArray &bytes);

/// The name of a Modbus exception code ("Illegal Data Address" for 02);
/// empty for a code without a standard name.
QString exceptionName(std::uint8_t code);

} // namespace korvane
