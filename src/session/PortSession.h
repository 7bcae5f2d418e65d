#pragma once
// One serial port as the program uses it: the component that talks to the
// device, which COM number is selected and which device each number opens,
// the line settings, whether the port was lost to a hang-up, and the
// recorder that notes what goes over the line.
//
// What belongs to one port is forgotten when the port is closed, opened or
// changed: a late or stray byte of the old port never shows up in a note
// about the new one. A hang-up is kept with the port, device and settings it
// happened on, and counts only while those are selected, so a command never
// reopens a port other than the selected one.

#include "protocol/TrafficRecorder.h"
#include "serial/PortDevices.h"
#include "settings/modINI.h"

#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

namespace korvane {

class SerialComponent;

class PortSession : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstPort = 1;
    static constexpr int LastPort = 6;

    /// port: the component (not owned; must outlive the session).
    explicit PortSession(SerialComponent &port, QObject *parent = nullptr);

    SerialComponent &component() const { return port_; }
    /// Notes every exchange on this port and the bytes that come late.
    TrafficRecorder &recorder() { return recorder_; }

    /// The selected COM number (1..6). Changing it closes the port and
    /// forgets the old port's state; the caller opens it again.
    void setCommPort(int port);
    int commPort() const;
    /// The line settings text, e.g. "9600,n,8,2", used from the next open.
    void setSettings(const QString &settings);
    QString settings() const;

    /// Which device COM n opens: a path, a bare name (/dev/ is put in
    /// front), or tcp://HOST:PORT. Empty: the port's default device.
    void setPortDevice(int port, const QString &device);
    QString portDevice(int port) const;
    QString portDeviceMapping(int port) const;
    /// Echo removal for COM n: its adapter hears its own transmission, so
    /// every reply begins with the request, which is dropped (see
    /// TrafficRecorder::take). Off unless set.
    void setRemoveEcho(int port, bool on);
    void setRemoveEcho(bool on) { setRemoveEcho(commPort(), on); }
    bool removeEcho(int port) const;
    bool removeEcho() const { return removeEcho(commPort()); }

    /// Reads each port's device (COMn) and echo removal (COMnEcho=1) from
    /// the settings file's [Ports] section.
    void loadPortDevices(const IniFile &ini);
    /// Maps COM n to devices[n-1] (empty: its default device) and writes
    /// each mapping that changed into [Ports] at once; unchanged rows leave
    /// the file as it is. The selected port is closed when its device
    /// changed (the caller opens it again). stored: every write succeeded.
    struct DevicesChange {
        bool stored = true;
        bool selectedChanged = false;
    };
    DevicesChange changePortDevices(const QStringList &devices, const IniFile &ini);
    /// The device of the selected port.
    QString device() const { return portDevice(commPort()); }
    /// "COM1 (/dev/ttyUSB0)".
    QString displayName() const;

    bool isOpen() const;
    /// Opens the selected port with its settings (binary input), input
    /// cleared. False and lastError() on failure.
    bool open();
    void close();
    /// Closes, applies change, opens again; the state of the old port is
    /// forgotten whether or not the new one opens.
    bool reopenWith(const std::function<void()> &change);
    /// New line settings on the open port: applied in place where the
    /// component can (SerialComponent::applySettings), else the port is
    /// closed, set and opened again. Either way the input is cleared and
    /// what the port received before belongs to no exchange. A closed port
    /// is opened with them. True when the port is open with the new
    /// settings; false and lastError() when opening failed.
    bool changeSettings(const QString &settings);
    QString lastError() const;

    /// Why the port closed itself (a hang-up, an unplugged adapter), while
    /// the same port, device and settings are selected and it has not been
    /// open since.
    std::optional<QString> hungUp() const;
    /// Before a command: a port lost to a hang-up is opened again, once per
    /// call (the adapter may be back), never by a timer while idle. True
    /// when the port is open afterwards.
    bool recoverFromHangUp();

    /// What the operator should know and do when open() failed: why, in
    /// plain words, with the serial devices present (from source).
    QString openFailureAdvice(const DeviceSource &source) const;

signals:
    /// Opened, closed, or set differently.
    void stateChanged();
    /// The port closed itself; reason in the port's words.
    void closedOnError(const QString &reason);

private:
    /// What makes one port: the number, its device and the line settings.
    struct Identity {
        int commPort = 0;
        QString device;
        QString settings;
        friend bool operator==(const Identity &, const Identity &) = default;
    };
    Identity identity() const { return {commPort(), device(), settings()}; }
    struct HangUp {
        QString reason;
        Identity port;
    };

    SerialComponent &port_;
    TrafficRecorder recorder_;
    QSet<int> removeEcho_; ///< COM numbers whose echo is removed
    std::optional<HangUp> hungUp_;
};

} // namespace korvane
