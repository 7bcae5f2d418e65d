#include "ProbeOutcome.h"

#include "SearchPlan.h"
#include "protocol/ReplyFrame.h"

#include <algorithm>

namespace korvane {

namespace {

int byteAt(const QByteArray &bytes, qsizetype i) { return static_cast<std::uint8_t>(bytes.at(i)); }

bool onlyZeroOrFF(const QByteArray &bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0' || c == '\xFF'; });
}

} // namespace

ProbeOutcome classifyProbe(const QByteArray &request, const QByteArray &received, int errorBytes)
{
    ProbeOutcome o;
    QByteArray rest = received;
    if (!request.isEmpty() && received.startsWith(request)) {
        o.echo = true;
        rest = received.mid(request.size());
    } else if (!received.isEmpty() && request.startsWith(received)) {
        // The start of the echo, and nothing after it.
        o.echo = true;
        rest.clear();
    }
    if (rest.isEmpty()) {
        o.kind = o.echo ? ProbeClass::Echo : ProbeClass::Silence;
        return o;
    }

    const ReplyProgress progress = replyProgress(request, rest);
    if (progress != ReplyProgress::Incomplete && !request.isEmpty()) {
        o.address = byteAt(rest, 0);
        if (o.address != byteAt(request, 0)) {
            o.kind = ProbeClass::OtherAddress;
        } else if (progress == ReplyProgress::Exception) {
            o.kind = ProbeClass::NotCounter;
            o.exceptionCode = byteAt(rest, 2);
        } else if (byteAt(rest, 2) != 4) {
            // A read of two registers answered with another number of bytes:
            // a device with another register map.
            o.kind = ProbeClass::NotCounter;
            o.byteCount = byteAt(rest, 2);
        } else {
            o.kind = ProbeClass::Reply;
            o.value = qint32(quint32(byteAt(rest, 3)) << 24 | quint32(byteAt(rest, 4)) << 16
                             | quint32(byteAt(rest, 5)) << 8 | quint32(byteAt(rest, 6)));
        }
        return o;
    }
    o.kind = errorBytes > 0 || onlyZeroOrFF(rest) ? ProbeClass::LineNoise : ProbeClass::Garbage;
    return o;
}

QString probeClassName(ProbeClass kind)
{
    switch (kind) {
    case ProbeClass::Silence: return QStringLiteral("silence");
    case ProbeClass::Echo: return QStringLiteral("echo only");
    case ProbeClass::LineNoise: return QStringLiteral("line noise");
    case ProbeClass::Garbage: return QStringLiteral("no valid frame");
    case ProbeClass::OtherAddress: return QStringLiteral("another address");
    case ProbeClass::NotCounter: return QStringLiteral("not a counter");
    case ProbeClass::Reply: return QStringLiteral("counter reply");
    }
    return {};
}

int SettingTally::probes() const
{
    int n = 0;
    for (const int c : counts)
        n += c;
    return n;
}

void PortTally::add(const Probe &probe, const ProbeOutcome &outcome)
{
    auto it = std::find_if(settings.begin(), settings.end(),
                           [&](const SettingTally &t) { return t.settings == probe.settings; });
    if (it == settings.end()) {
        settings.append(SettingTally{probe.settings, {}, 0});
        it = settings.end() - 1;
    }
    ++it->counts[std::size_t(outcome.kind)];
    if (outcome.echo)
        ++it->echoes;
    const HeardAnswer answer{outcome.address, probe.address, outcome.exceptionCode, outcome.byteCount,
                             probe.settings};
    if (outcome.kind == ProbeClass::NotCounter && !notCounter)
        notCounter = answer;
    if (outcome.kind == ProbeClass::OtherAddress && !otherAddress)
        otherAddress = answer;
}

void PortTally::addUnconfirmed(const Probe &probe)
{
    if (!unconfirmed)
        unconfirmed = HeardAnswer{probe.address, probe.address, 0, 0, probe.settings};
}

int PortTally::count(ProbeClass kind) const
{
    int n = 0;
    for (const SettingTally &t : settings)
        n += t.count(kind);
    return n;
}

int PortTally::probes() const
{
    int n = 0;
    for (const SettingTally &t : settings)
        n += t.probes();
    return n;
}

int PortTally::echoes() const
{
    int n = 0;
    for (const SettingTally &t : settings)
        n += t.echoes;
    return n;
}

} // namespace korvane
