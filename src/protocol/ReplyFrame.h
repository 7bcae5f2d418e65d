#pragma once
// When the bytes received after a request make up its whole reply, judged
// from the frame alone: a caller that need not wait a fixed time stops
// waiting as soon as this says the reply is complete.

#include <QByteArray>

namespace korvane {

enum class ReplyProgress {
    Incomplete, ///< not (yet) a whole reply
    Complete,   ///< a whole normal reply for the request's function, good CRC
    Exception,  ///< a whole exception reply (function + 0x80, code), good CRC
};

/// How far `received` (from its first byte) makes up the reply to
/// `request`. A normal reply is as long as the function gives (function 3:
/// 5 + its byte count; 5, 6, 15 and 16: 8) and ends in a good CRC; an
/// exception reply is 5 bytes. Any slave address counts: which device
/// answered is judged later. Bytes after a whole reply do not change the
/// answer.
ReplyProgress replyProgress(const QByteArray &request, const QByteArray &received);

} // namespace korvane
