#include "ReplyFrame.h"

#include "crc16.h"

namespace korvane {

namespace {
// Length of the normal reply to function fn, from what has arrived; -1
// while not known yet or for a function this master does not send.
qsizetype normalReplyLength(std::uint8_t fn, const QByteArray &received)
{
    switch (fn) {
    case 3:
    case 4:
        return received.size() >= 3 ? 5 + static_cast<std::uint8_t>(received[2]) : -1;
    case 5:
    case 6:
    case 15:
    case 16:
        return 8;
    default:
        return -1;
    }
}
} // namespace

ReplyProgress replyProgress(const QByteArray &request, const QByteArray &received)
{
    if (request.size() < 2 || received.size() < 5)
        return ReplyProgress::Incomplete;
    const auto fn = static_cast<std::uint8_t>(request[1]);
    const auto answered = static_cast<std::uint8_t>(received[1]);
    if (answered == (fn | 0x80))
        return frameCrcGood(QByteArrayView(received).first(5)) ? ReplyProgress::Exception
                                                               : ReplyProgress::Incomplete;
    if (answered != fn)
        return ReplyProgress::Incomplete;
    const qsizetype length = normalReplyLength(fn, received);
    if (length < 0 || received.size() < length)
        return ReplyProgress::Incomplete;
    return frameCrcGood(QByteArrayView(received).first(length)) ? ReplyProgress::Complete
                                                                 : ReplyProgress::Incomplete;
}

} // namespace korvane
