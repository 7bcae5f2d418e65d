#pragma once
// The main window on a scripted fake port, with its settings file in a
// temporary folder, its message boxes collected instead of shown, and a
// fixed list of the serial devices present.

#include "FakeSerialPort.h"
#include "ui/frmMain.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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

/// Clicks "Read Counter Value" and triggers `action` in the middle of its
/// wait; true if a modal box or dialog opened. One that opens is closed
/// again at once, so that the wait ends and the test goes on.
inline bool opensSomethingDuringAWait(WindowRig &rig, QAction *action)
{
    frmMain &w = *rig.window;
    bool opened = false;
    rig.port.onTick = [&](int tick) {
        if (tick != 2)
            return;
        QTimer::singleShot(0, &w, [&] {
            if (auto *d = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                opened = true;
                d->reject();
            }
        });
        action->trigger();
    };
    QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
    rig.port.onTick = {};
    return opened;
}

} // namespace korvane::test
