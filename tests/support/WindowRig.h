#pragma once
// The main window on a scripted fake port, with its settings file in a
// temporary folder, its message boxes collected instead of shown, and a
// fixed list of the serial devices present.

#include "FakeSerialPort.h"
#include "ui/frmMain.h"

#include <QFile>
#include <QTemporaryDir>

namespace korvane::test {

inline const QByteArray DefaultIni = "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n";

struct WindowRig {
    explicit WindowRig(const QByteArray &ini = DefaultIni, bool load = true)
    {
        if (!ini.isNull()) {
            QFile f(iniPath());
            f.open(QIODevice::WriteOnly);
            f.write(ini);
        }
        window = new frmMain(&port, iniPath(), [this](const Message &m) { messages.append(m); });
        // Never the system's list: listing opens the machine's serial ports.
        window->setDeviceSource([this] { return devices; });
        port.followTicks(window->Timer1);
        if (load)
            window->Form_Load();
    }
    ~WindowRig() { delete window; }

    QString iniPath() const { return dir.filePath(QStringLiteral("korvane.ini")); }
    QByteArray iniContents() const
    {
        QFile f(iniPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    FakeSerialPort port;
    QList<Message> messages;
    QList<SerialDevice> devices; ///< the serial devices the window sees as present
    QPointer<frmMain> window;
};

} // namespace korvane::test
