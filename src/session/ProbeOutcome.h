#pragma once
// What one probe of a device search heard, judged from the request and the
// bytes that came back: silence, the request's own echo, line noise, bytes
// that make no frame, a frame from another address, a device that is not
// this counter, or the counter's reply. The tally of these per setting is
// what a search's verdict about a port is built from.

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <optional>

namespace korvane {

struct Probe;

enum class ProbeClass {
    Silence,      ///< nothing arrived
    Echo,         ///< only the request itself came back (an adapter that hears itself)
    LineNoise,    ///< only 00/FF bytes, or bytes with framing or parity errors
    Garbage,      ///< bytes that form no valid frame
    OtherAddress, ///< a valid frame from an address other than the one asked
    NotCounter,   ///< a valid frame from the address asked that is no counter reading:
                  ///< a Modbus exception, or a reply of another size
    Reply,        ///< the counter's reply: 9 bytes, good CRC, from the address asked
};
inline constexpr int ProbeClassCount = 7;

struct ProbeOutcome {
    ProbeClass kind = ProbeClass::Silence;
    /// What arrived began with the request's own bytes (all of them, or
    /// the start of them when nothing else came).
    bool echo = false;
    /// OtherAddress, NotCounter, Reply: the address in the frame.
    int address = 0;
    /// NotCounter: the exception code; 0 for a reply of another size.
    int exceptionCode = 0;
    /// NotCounter without exception: the data bytes the reply carried.
    int byteCount = 0;
    /// Reply: the counter value.
    qint32 value = 0;
};

/// Classes a probe from the request it sent, all the bytes received after
/// it (an echo included), and how many of them arrived with a framing or
/// parity error (SerialComponent::receiveErrorCount()). The echo, when
/// there is one, is set aside and the rest judged; a valid frame counts
/// whatever error bytes came with it.
ProbeOutcome classifyProbe(const QByteArray &request, const QByteArray &received, int errorBytes = 0);

/// The name of a class for people, e.g. "echo only".
QString probeClassName(ProbeClass kind);

/// The counts of one line setting's probes on one port.
struct SettingTally {
    QString settings;  ///< e.g. "9600,n,8,2"; empty on a TCP port
    std::array<int, ProbeClassCount> counts{};
    int echoes = 0;    ///< probes whose bytes began with the echo

    int count(ProbeClass kind) const { return counts[std::size_t(kind)]; }
    int probes() const;
};

/// An answer worth naming in a verdict: who answered, what, and where.
struct HeardAnswer {
    int address = 0;       ///< the address in the frame
    int askedAddress = 0;  ///< the address the probe was sent to
    int exceptionCode = 0; ///< NotCounter: the exception code (0: another size)
    int byteCount = 0;     ///< NotCounter without exception: data bytes in the reply
    QString settings;      ///< where it was heard
    friend bool operator==(const HeardAnswer &, const HeardAnswer &) = default;
};

/// Everything one port heard during a search, per setting.
struct PortTally {
    QList<SettingTally> settings;  ///< in the order first probed
    std::optional<HeardAnswer> notCounter;   ///< the first NotCounter answer
    std::optional<HeardAnswer> otherAddress; ///< the first OtherAddress answer
    /// A counter reply whose second read (the confirmation) failed, first one.
    std::optional<HeardAnswer> unconfirmed;

    void add(const Probe &probe, const ProbeOutcome &outcome);
    void addUnconfirmed(const Probe &probe);
    int count(ProbeClass kind) const;
    int probes() const;
    int echoes() const;
};

} // namespace korvane
