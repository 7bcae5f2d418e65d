#pragma once
// The request-reply exchange shared by every command: send the frame in
// TxBuf, wait ten timer ticks while the window keeps working, take what has
// arrived and check its CRC.

#include "Commands.h"
#include "common/modVariables.h"

#include <QPointer>
#include <QString>

class QTimer;

namespace korvane {

class SerialComponent;

enum class Status { Success, CrcErr, Error };

/// The status word shown for a status: "Success", "CRC Err" or "Error".
QString statusWord(Status s);

/// Number of timer ticks the exchange waits for the reply.
constexpr qint16 ReplyWaitTicks = 10;

/// Sends TxBuf[0..length-1]: drops input still waiting from an earlier
/// exchange, then queues the bytes in order. Returns false (sending
/// nothing) when the port is closed.
bool sendRequest(ModVariables &v, SerialComponent &port, int length);

/// Resets gTick, starts the timer and processes events, sleeping between
/// them, until the timer's handler has counted ReplyWaitTicks ticks; then
/// stops the timer. Returns false, touching neither v nor the timer, when
/// owner was destroyed during the wait (the wait then returns at once).
bool waitForTicks(const QPointer<QObject> &owner, ModVariables &v, QTimer &timer);

/// Looks at what has arrived after the wait: nothing is "Error"; otherwise
/// the whole input buffer is taken into RxData and its CRC checked at k.
Status takeReply(ModVariables &v, SerialComponent &port, int checkIndex);

} // namespace korvane
