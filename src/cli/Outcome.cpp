#include "Outcome.h"

#include "protocol/crc16.h"

namespace korvane::cli {

namespace {
std::uint8_t byteAt(const QByteArray &bytes, qsizetype i)
{
    return static_cast<std::uint8_t>(bytes.at(i));
}

// Functions whose normal reply repeats the request byte for byte.
bool replyRepeatsRequest(std::uint8_t function)
{
    return function == 5 || function == 6;
}
} // namespace

QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok: return QStringLiteral("ok");
    case Outcome::NoReply: return QStringLiteral("no-reply");
    case Outcome::BadCrc: return QStringLiteral("bad-crc");
    case Outcome::Short: return QStringLiteral("short");
    case Outcome::Exception: return QStringLiteral("exception");
    case Outcome::OtherSlave: return QStringLiteral("other-slave");
    case Outcome::OtherFunction: return QStringLiteral("other-function");
    case Outcome::EchoOnly: return QStringLiteral("echo-only");
    case Outcome::NotSent: return QStringLiteral("not-sent");
    }
    return {};
}

Outcome classifyExchange(const ExchangeRecord &r)
{
    if (r.notSent != NotSent::No || r.sent.size() < 2)
        return Outcome::NotSent;
    // With echo removal on, the request's own echo is not the reply.
    const QByteArray reply = replyBytes(r);
    if (reply.isEmpty())
        return r.echoRemoved > 0 ? Outcome::EchoOnly : Outcome::NoReply;
    const std::uint8_t slave = byteAt(r.sent, 0);
    const std::uint8_t function = byteAt(r.sent, 1);
    // Without removal: only the request itself came back.
    if (r.echoRemoved == 0 && reply == r.sent && !replyRepeatsRequest(function))
        return Outcome::EchoOnly;

    // Which slave and function a frame with a good CRC is from.
    auto whoseFrame = [&](Outcome same) {
        if (byteAt(reply, 0) != slave)
            return Outcome::OtherSlave;
        const std::uint8_t got = byteAt(reply, 1);
        if (got == (function | 0x80))
            return Outcome::Exception;
        return got == function ? same : Outcome::OtherFunction;
    };
    // The window's check passed: the CRC is good where the reply's ends.
    if (r.status == Status::Success)
        return whoseFrame(Outcome::Ok);
    if (reply.size() >= 2 && byteAt(reply, 1) == (function | 0x80)) {
        if (reply.size() < 5)
            return Outcome::Short;
        return frameCrcGood(QByteArrayView(reply).first(5)) ? whoseFrame(Outcome::Exception) : Outcome::BadCrc;
    }
    // A whole frame of its own, but not the reply's length: from another
    // slave or function, or a reply that carries too few bytes.
    if (frameCrcGood(reply))
        return whoseFrame(Outcome::Short);
    return reply.size() < qsizetype(r.checkIndex) + 3 ? Outcome::Short : Outcome::BadCrc;
}

int exitCode(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok: return 0;
    case Outcome::NoReply:
    case Outcome::EchoOnly: return 1;
    case Outcome::NotSent: return 4;
    case Outcome::BadCrc:
    case Outcome::Short:
    case Outcome::Exception:
    case Outcome::OtherSlave:
    case Outcome::OtherFunction: return 3;
    }
    return 3;
}

bool worthRetrying(Outcome outcome)
{
    return outcome != Outcome::Ok && outcome != Outcome::Exception && outcome != Outcome::NotSent;
}

} // namespace korvane::cli
