#pragma once
// What a device search tells: how far it has come, each device found, and
// per port a verdict in plain words built from what the port heard. The
// verdict texts live here so that the window and the command-line program
// say the same.

#include "ProbeOutcome.h"
#include "SearchPlan.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

namespace korvane {

/// How far the search has come, as each probe starts.
struct SearchProgress {
    int done = 0;          ///< probes finished (on every port)
    int total = 0;         ///< probes planned on the ports still usable
    int commPort = 0;      ///< the port of the probe starting (0: named by device)
    QString device;
    QString settings;      ///< its line settings, e.g. "9600,n,8,2"; empty on TCP
    int address = 0;
    bool confirming = false; ///< the second read of an address that answered
    qint64 elapsedMs = 0;
    /// What is left if no device answers: the longest of the ports'
    /// remaining probe waits (the ports are searched at the same time).
    qint64 remainingMs = 0;
};

/// A device that answered two reads in a row.
struct FoundDevice {
    int commPort = 0;   ///< COM1..COM6; 0 when the port was named by device
    QString device;
    int slave = 0;
    int baud = 0;       ///< 0 on a TCP port (the server sets the line)
    QString format;     ///< "8N2", "8E1" or "8O1"; empty on a TCP port
    qint32 counter = 0; ///< the value of the second read
    int replyMs = -1;   ///< request sent -> first byte received, of the second read
    bool echo = false;  ///< the replies came after the request's own echo
};

/// One port's search.
struct PortReport {
    int commPort = 0;
    QString device;
    bool removeEcho = false;         ///< searched with echo removal on
    /// It could not be opened: why and what to do, in plain words.
    std::optional<QString> unusable;
    /// It closed itself during the search (a hang-up): why.
    std::optional<QString> lost;
    int probesPlanned = 0;
    int probesDone = 0;              ///< the second reads not counted
    PortTally tally;
    QList<FoundDevice> devices;
    QString verdict;                 ///< portVerdict() of the rest

    bool echoHeard() const { return tally.echoes() > 0; }
};

/// The whole search.
struct SearchReport {
    QList<PortReport> ports;     ///< in the order chosen
    QList<FoundDevice> devices;  ///< in the order found
    QList<RaisedWait> raisedWaits;
    bool stopped = false;        ///< ended by stop() or by the engine's end
    int probesDone = 0;
    int probesTotal = 0;
    qint64 elapsedMs = 0;

    /// At least one port could be opened.
    bool anyPortSearched() const;
};

/// A port as the search names it: "COM1 /dev/ttyUSB0", or the device alone.
QString portName(int commPort, const QString &device);
/// "19200 bps 8E1"; empty for the empty settings of a TCP port.
QString settingsLabel(const QString &settings);

/// The verdict about one port, in plain words, beginning with its name:
/// the devices found, or why none was and what to check, e.g. "COM1
/// /dev/ttyUSB0: no byte was received at any setting: check power, wiring
/// and that this is the right adapter".
QString portVerdict(const PortReport &report);

} // namespace korvane

Q_DECLARE_METATYPE(korvane::SearchProgress)
Q_DECLARE_METATYPE(korvane::FoundDevice)
Q_DECLARE_METATYPE(korvane::PortReport)
Q_DECLARE_METATYPE(korvane::SearchReport)
