#include "SearchReport.h"

#include "protocol/ExchangeRecord.h"

#include <QSet>

#include <algorithm>

namespace korvane {

namespace {

// "9600 bps", "4800 and 9600 bps", "4800, 9600 and 19200 bps".
QString bpsList(QList<int> bauds)
{
    std::sort(bauds.begin(), bauds.end());
    QStringList texts;
    for (const int b : std::as_const(bauds))
        texts << QString::number(b);
    QString joined = texts.join(QStringLiteral(", "));
    if (texts.size() > 1)
        joined = texts.mid(0, texts.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") + texts.last();
    return joined + QStringLiteral(" bps");
}

QString at(const QString &settings)
{
    return settings.isEmpty() ? QString() : QStringLiteral(" at ") + settingsLabel(settings);
}

QString hexByte(int value) { return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper(); }

QString foundText(const QList<FoundDevice> &devices)
{
    const auto one = [](const FoundDevice &d) {
        QString text = QStringLiteral("address %1").arg(d.slave);
        if (d.baud > 0)
            text += QStringLiteral(", %1 bps %2").arg(d.baud).arg(d.format);
        return text + QStringLiteral(" (counter %1)").arg(d.counter);
    };
    if (devices.size() == 1)
        return QStringLiteral("counter/display found at ") + one(devices.first());
    QStringList each;
    for (const FoundDevice &d : devices)
        each << one(d);
    return QStringLiteral("%1 counters/displays found: at ").arg(devices.size()) + each.join(QStringLiteral("; at "));
}

// Why no device was found, from what the port heard.
QString cause(const PortReport &r)
{
    const PortTally &t = r.tally;
    const bool whole = r.probesDone >= r.probesPlanned;
    const bool tcp = std::all_of(t.settings.begin(), t.settings.end(),
                                 [](const SettingTally &s) { return s.settings.isEmpty(); });
    if (t.probes() == 0)
        return QStringLiteral("nothing was probed");
    if (t.count(ProbeClass::Silence) == t.probes()) {
        QString where = tcp ? QStringLiteral("at any address") : QStringLiteral("at any setting");
        if (!whole)
            where += QStringLiteral(" tried");
        return tcp ? QStringLiteral("no byte was received %1: check the device's power and wiring and the "
                                    "server's serial line")
                         .arg(where)
                   : QStringLiteral("no byte was received %1: check power, wiring and that this is the right "
                                    "adapter")
                         .arg(where);
    }
    if (t.count(ProbeClass::Echo) == t.probes()) {
        if (r.removeEcho)
            return QStringLiteral("every request came back as its own echo and nothing else: the line is "
                                  "heard, but no device answered; check the device's power and wiring");
        return QStringLiteral("every request came back as an echo of itself: the adapter hears its own "
                              "transmission; turn on echo removal for this port");
    }
    if (t.notCounter) {
        const HeardAnswer &a = *t.notCounter;
        if (a.exceptionCode > 0) {
            const QString name = exceptionName(std::uint8_t(a.exceptionCode));
            return QStringLiteral("a device answers at address %1 with exception %2%3: this is not a "
                                  "counter/display of this kind")
                .arg(a.address)
                .arg(hexByte(a.exceptionCode))
                .arg(name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(name));
        }
        return QStringLiteral("a device answers at address %1 with %2 data bytes instead of 4: this is not a "
                              "counter/display of this kind")
            .arg(a.address)
            .arg(a.byteCount);
    }
    if (t.unconfirmed)
        return QStringLiteral("address %1 answered once%2 but not the second read: a loose contact, a noisy "
                              "line or a second master")
            .arg(t.unconfirmed->address)
            .arg(at(t.unconfirmed->settings));
    if (t.otherAddress)
        return QStringLiteral("address %1 answered a request for address %2%3: a device or gateway that "
                              "answers for other addresses, or a second master on the line")
            .arg(t.otherAddress->address)
            .arg(t.otherAddress->askedAddress)
            .arg(at(t.otherAddress->settings));

    // Bytes that never made a frame: where did they come?
    QList<int> tried, heard;
    for (const SettingTally &s : t.settings) {
        const int baud = baudOf(s.settings);
        if (!tried.contains(baud))
            tried << baud;
        if (s.count(ProbeClass::LineNoise) + s.count(ProbeClass::Garbage) > 0 && !heard.contains(baud))
            heard << baud;
    }
    if (tcp)
        return QStringLiteral("bytes arrived but never as a valid frame: check the server's serial line settings "
                              "and the A/B wires");
    if (heard.size() < tried.size())
        return QStringLiteral("bytes arrived only at %1 but never as a valid frame: wrong data format or A/B "
                              "wires swapped")
            .arg(bpsList(heard));
    if (t.count(ProbeClass::Garbage) == 0)
        return QStringLiteral("only 00/FF bytes or bytes with framing or parity errors arrived, at every baud "
                              "rate tried: A/B wires swapped, or a baud rate not tried");
    return QStringLiteral("bytes arrived at every baud rate tried but never as a valid frame: A/B wires swapped, "
                          "or a device that speaks another protocol");
}

} // namespace

bool SearchReport::anyPortSearched() const
{
    return std::any_of(ports.begin(), ports.end(), [](const PortReport &p) { return !p.unusable; });
}

QString portName(int commPort, const QString &device)
{
    if (commPort <= 0)
        return device;
    return device.isEmpty() ? QStringLiteral("COM%1").arg(commPort)
                            : QStringLiteral("COM%1 %2").arg(commPort).arg(device);
}

QString settingsLabel(const QString &settings)
{
    const int baud = baudOf(settings);
    if (baud <= 0)
        return {};
    return QStringLiteral("%1 bps %2").arg(baud).arg(formatName(settings));
}

QString portVerdict(const PortReport &r)
{
    const QString name = portName(r.commPort, r.device);
    if (r.unusable)
        return QStringLiteral("%1: not searched: %2").arg(name, *r.unusable);

    QStringList parts;
    if (r.lost)
        parts << QStringLiteral("the port closed itself after %1 of %2 probes (%3)")
                     .arg(r.probesDone)
                     .arg(r.probesPlanned)
                     .arg(*r.lost);
    bool echoTold = false;
    if (!r.devices.isEmpty()) {
        parts << foundText(r.devices);
    } else {
        if (!r.lost && r.probesDone < r.probesPlanned)
            parts << QStringLiteral("the search ended after %1 of %2 probes").arg(r.probesDone).arg(r.probesPlanned);
        const QString why = cause(r);
        echoTold = r.tally.probes() > 0 && r.tally.count(ProbeClass::Echo) == r.tally.probes();
        parts << why;
    }
    if (r.echoHeard() && !r.removeEcho && !echoTold)
        parts << QStringLiteral("requests came back as echoes of themselves: turn on echo removal for this port");
    return name + QStringLiteral(": ") + parts.join(QStringLiteral("; "));
}

} // namespace korvane
