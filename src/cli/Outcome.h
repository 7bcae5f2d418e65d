#pragma once
// How one request ended, judged more strictly than the window's status
// word (which looks at the CRC alone): a reply from another slave or with
// another function fails here. Each outcome has its exit status.

#include "protocol/ExchangeRecord.h"

#include <QString>

namespace korvane::cli {

enum class Outcome {
    Ok,             ///< the reply the request asked for
    NoReply,        ///< nothing within the timeout
    BadCrc,         ///< long enough, but the CRC is wrong
    Short,          ///< too short for the reply (the rest did not come in time)
    Exception,      ///< the slave answered with a Modbus exception
    OtherSlave,     ///< a whole frame from another slave address
    OtherFunction,  ///< a whole frame with another function code
    EchoOnly,       ///< only the request itself came back (the adapter hears itself)
    NotSent,        ///< nothing was sent (the port could not be opened)
};

/// The JSON status text: "ok", "no-reply", "bad-crc", "short", "exception",
/// "other-slave", "other-function", "echo-only", "not-sent".
QString outcomeName(Outcome outcome);

/// The outcome of an exchange, from its record alone.
Outcome classifyExchange(const ExchangeRecord &record);

/// 0 ok; 1 no reply (also when only the echo came); 3 a reply that fails;
/// 4 nothing sent.
int exitCode(Outcome outcome);

/// Whether sending the request again may help (--retries): not after a
/// reply that is right, a Modbus exception, or when nothing could be sent.
bool worthRetrying(Outcome outcome);

} // namespace korvane::cli
