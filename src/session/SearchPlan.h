#pragma once
// What a device search is asked to do and in which order it probes: the
// ports, baud rates, data formats and addresses chosen, whether the choice
// can be searched at all, the order of the probes, and how long each probe
// waits at least. Pure functions, so that the order and the waits can be
// checked without a port.

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace korvane {

/// One port to search.
struct SearchPort {
    /// COM1..COM6, or 0 when the port was named by its device alone.
    int commPort = 0;
    /// A path, a bare name (/dev/ is put in front) or tcp://HOST:PORT. May
    /// be empty when commPort is set: the device COM n maps to then.
    QString device;
    /// Search with echo removal on: the adapter hears its own requests.
    bool removeEcho = false;
};

/// What to search.
struct SearchOptions {
    QList<SearchPort> ports;
    /// Baud rates, out of SearchBauds.
    QList<int> bauds{4800, 9600, 19200};
    /// Data formats by name, out of searchFormatNames(): "8N2", "8E1", "8O1".
    QStringList formats{QStringLiteral("8N2"), QStringLiteral("8E1"), QStringLiteral("8O1")};
    int firstAddress = 1;
    int lastAddress = 247;
    /// The slave address in use (0: none): probed first when in the range.
    int currentAddress = 0;
    /// The line settings in use, e.g. "9600,n,8,2" (empty: none): the
    /// first setting tried at every address when it is among those chosen.
    QString currentSettings;
    /// How long a probe waits for its reply, in ms; raised where the line
    /// is too slow for it (probeWaitMs).
    int probeWaitMs = 100;
    /// End the search at the first device found on any port; otherwise
    /// every port's whole range is searched and every device listed.
    bool stopAtFirst = true;
};

/// The baud rates a search can try.
inline constexpr int SearchBauds[] = {4800, 9600, 19200};
/// The data formats a search can try, by name: "8N2", "8E1", "8O1".
QStringList searchFormatNames();
/// The line-settings text of a baud rate and a data format name:
/// (9600, "8E1") -> "9600,e,8,1". Empty for an unknown format.
QString lineSettingsText(int baud, const QString &format);
/// The data format of a line-settings text as a name: "9600,n,8,2" ->
/// "8N2". Empty when the text is not line settings.
QString formatName(const QString &settings);
/// The baud rate of a line-settings text; 0 when it is not line settings.
int baudOf(const QString &settings);

/// Why the choice cannot be searched, in plain words; std::nullopt when it
/// can: no port, a port without a device or listed twice, no baud rate or
/// no format (or one the search does not know), addresses outside 1..247
/// or the first above the last, a probe wait of 0 or less.
std::optional<QString> whyNotSearchable(const SearchOptions &options);

/// The line settings tried at each address, in order: the current ones
/// first when they are among those chosen, then the formats in the order
/// chosen (the current one's first), each at every baud rate chosen (the
/// current one first). One data format after another, so the parity
/// changes once per format and not at every probe.
QStringList settingsOrder(const SearchOptions &options);

/// One probe: a read of the counter at one address with one setting.
struct Probe {
    int address = 0;
    /// The line settings; empty on a port without line settings (TCP).
    QString settings;
    friend bool operator==(const Probe &, const Probe &) = default;
};

/// Every probe of one port, in order: the current address with the first
/// setting of settingsOrder() first (when that address is in the range),
/// then each address of the range in ascending order with every setting
/// of settingsOrder(), that first probe not repeated. lineSettings false
/// (a TCP port): one probe per address, without settings.
QList<Probe> probeOrder(const SearchOptions &options, bool lineSettings);

/// The least wait of a probe at baud, in ms (rounded up): the request
/// (8 bytes) and the reply (9 bytes) on the line at 11 bits per character,
/// 3.5 character times of silence and 5 ms for the device to turn round.
int leastProbeWaitMs(int baud);
/// The wait a probe uses: the one asked for, raised to leastProbeWaitMs()
/// where that is longer. baud 0 (no line settings): as asked.
int probeWaitMs(int requestedMs, int baud);

/// A baud rate at which the probe wait asked for was raised, and to what.
struct RaisedWait {
    int baud = 0;
    int waitMs = 0;
    friend bool operator==(const RaisedWait &, const RaisedWait &) = default;
};
/// The baud rates chosen at which options.probeWaitMs is raised.
QList<RaisedWait> raisedWaits(const SearchOptions &options);

} // namespace korvane
