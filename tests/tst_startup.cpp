// Start-up from the settings file, the port menus, and what exit stores.

#include "Devices.h"
#include "WindowRig.h"
#include "serial/QtSerialComponent.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <pty.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {
QByteArray iniWith(const QByteArray &commPort, const QByteArray &setting, const QByteArray &slaveId)
{
    return "[Settings]\r\nCommPort=" + commPort + "\r\nSetting=" + setting + "\r\nSlaveID=" + slaveId + "\r\n";
}

// Index of the checked action among `actions` (from `first`), -1 for none;
// -2 when more than one is checked.
template <std::size_t N>
int checkedIndex(const std::array<QAction *, N> &actions, int first = 0)
{
    int found = -1;
    for (int i = first; i < int(N); ++i) {
        if (actions[i]->isChecked())
            found = found == -1 ? i : -2;
    }
    return found;
}
} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void menuChoices_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("baudChecked");
        QTest::addColumn<int>("formatChecked");
        QTest::newRow("9600,n,8,2 + 19200 bps -> 19200,n,8,2") << QByteArray("9600,n,8,2") << "mnuBR2" << "19200,n,8,2" << 2 << 0;
        QTest::newRow("19200,n,8,2 + 8E1 -> 19200,e,8,1") << QByteArray("19200,n,8,2") << "mnuDF1" << "19200,e,8,1" << 2 << 1;
        QTest::newRow("4800,o,8,1 + 8N2 -> 4800,n,8,2") << QByteArray("4800,o,8,1") << "mnuDF0" << "4800,n,8,2" << 0 << 0;
        QTest::newRow("2400,n,8,1 + 8E1 -> 2400,e,8,1, no baud checked") << QByteArray("2400,n,8,1") << "mnuDF1" << "2400,e,8,1" << -1 << 1;
        QTest::newRow("9600,N,8,2 + 4800 bps -> 4800,N,8,2, no format checked") << QByteArray("9600,N,8,2") << "mnuBR0" << "4800,N,8,2" << 0 << -1;
        QTest::newRow("9600,n,8,1 + 9600 bps -> 9600,n,8,1, 8N1 not offered") << QByteArray("9600,n,8,1") << "mnuBR1" << "9600,n,8,1" << 1 << -1;
        QTest::newRow("115200,n,8,1 + 8O1 -> o,8,1, the baud part is lost") << QByteArray("115200,n,8,1") << "mnuDF2" << "o,8,1" << -1 << 2;
    }
    void menuChoices()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, item);
        QFETCH(QString, after);
        QFETCH(int, baudChecked);
        QFETCH(int, formatChecked);
        WindowRig rig(iniWith("1", before, "1"));
        frmMain &w = *rig.window;
        rig.messages.clear();
        const int opensBefore = rig.port.openCount;
        w.findChild<QAction *>(item)->trigger();
        QCOMPARE(w.vars.gSetting, after);
        QCOMPARE(rig.port.Settings(), after);
        QCOMPARE(checkedIndex(w.mnuBR), baudChecked);
        QCOMPARE(checkedIndex(w.mnuDF), formatChecked);
        QCOMPARE(checkedIndex(w.mnuCOM, 1), 1);
        // Reopened with the new settings, or refused with one warning.
        QCOMPARE(rig.port.openCount, opensBefore + 1);
        const bool accepted = after != QLatin1String("o,8,1");
        QCOMPARE(rig.port.PortOpen(), accepted);
        QCOMPARE(rig.messages.size(), accepted ? 0 : 1);
    }

    void startUpFromAGoodFile()
    {
        WindowRig rig(iniWith("2", "19200,e,8,1", "5"));
        frmMain &w = *rig.window;
        QVERIFY(rig.messages.isEmpty());
        QCOMPARE(w.ListIndex(), 4);
        QCOMPARE(w.cboSlave->currentText(), QStringLiteral("5"));
        QCOMPARE(checkedIndex(w.mnuCOM, 1), 2);
        QCOMPARE(checkedIndex(w.mnuBR), 2);
        QCOMPARE(checkedIndex(w.mnuDF), 1);
        QVERIFY(rig.port.PortOpen());
        QCOMPARE(rig.port.CommPort(), 2);
        QCOMPARE(rig.port.Settings(), QStringLiteral("19200,e,8,1"));
        QCOMPARE(rig.port.InputMode(), 1);
    }

    void startUpOpensTheMappedDeviceWithItsLineSettings()
    {
        int master = -1, slave = -1;
        char name[256] = {};
        QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("korvane.ini"));
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(iniWith("2", "19200,e,8,1", "5") + "[Ports]\r\nCOM2=" + QByteArray(name) + "\r\n");
        f.close();
        QtSerialComponent port;
        QList<Message> messages;
        {
            frmMain w(&port, ini, [&](const Message &m) { messages << m; });
            w.Form_Load();
            QVERIFY(messages.isEmpty());
            QVERIFY(port.PortOpen());
            QVERIFY(QString::fromLatin1(name).endsWith(port.port().portName()));
            QCOMPARE(port.port().baudRate(), 19200);
            QCOMPARE(port.port().parity(), QSerialPort::EvenParity);
            QCOMPARE(port.port().dataBits(), QSerialPort::Data8);
            QCOMPARE(port.port().stopBits(), QSerialPort::OneStop);
            QCOMPARE(w.mnuCOM[2]->toolTip(), QString::fromLatin1(name));
            QCOMPARE(w.mnuCOM[3]->toolTip(), QStringLiteral("/dev/ttyS2"));
        }
        port.setPortOpen(false);
        ::close(slave);
        ::close(master);
    }

    void startUpWithUnusableSettings_data()
    {
        QTest::addColumn<QByteArray>("ini");      // null: no file at all
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<int>("comChecked");
        QTest::addColumn<int>("baudChecked");
        QTest::addColumn<int>("formatChecked");
        QTest::addColumn<int>("listIndex");
        QTest::addColumn<QStringList>("named");   // in the one warning; empty: no warning
        const QStringList all = {"CommPort", "Setting", "SlaveID"};
        QTest::newRow("SlaveID 0: nothing selected, no warning") << iniWith("1", "9600,n,8,2", "0") << true << 1 << 1 << 0 << -1 << QStringList();
        QTest::newRow("no file") << QByteArray() << false << -1 << -1 << -1 << -1 << all;
        QTest::newRow("empty file") << QByteArray("") << false << -1 << -1 << -1 << -1 << all;
        QTest::newRow("CommPort abc") << iniWith("abc", "9600,n,8,2", "3") << false << -1 << 1 << 0 << 2 << QStringList{"CommPort", "abc", "\"Serial Port\""};
        QTest::newRow("CommPort 7") << iniWith("7", "9600,n,8,2", "3") << false << -1 << 1 << 0 << 2 << QStringList{"CommPort", "\"7\"", "\"Serial Port\""};
        QTest::newRow("SlaveID 248") << iniWith("1", "9600,n,8,2", "248") << true << 1 << 1 << 0 << -1 << QStringList{"SlaveID", "248"};
        QTest::newRow("SlaveID -1") << iniWith("1", "9600,n,8,2", "-1") << true << 1 << 1 << 0 << -1 << QStringList{"SlaveID", "-1"};
        QTest::newRow("SlaveID 1.5") << iniWith("1", "9600,n,8,2", "1.5") << true << 1 << 1 << 0 << -1 << QStringList{"SlaveID", "1.5"};
        QTest::newRow("empty Setting") << iniWith("1", "", "1") << false << 1 << -1 << -1 << 0 << QStringList{"Setting", "\"Baud Rate\"", "\"Data Format\""};
        QTest::newRow("Setting 9600,x,8,1") << iniWith("1", "9600,x,8,1", "1") << false << 1 << 1 << -1 << 0 << QStringList{"Setting", "9600,x,8,1"};
        QTest::newRow("CommPort abc and SlaveID x: one warning") << iniWith("abc", "9600,n,8,2", "x") << false << -1 << 1 << 0 << -1 << QStringList{"CommPort", "SlaveID"};
    }
    void startUpWithUnusableSettings()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, portOpen);
        QFETCH(int, comChecked);
        QFETCH(int, baudChecked);
        QFETCH(int, formatChecked);
        QFETCH(int, listIndex);
        QFETCH(QStringList, named);
        WindowRig rig(ini);
        frmMain &w = *rig.window;
        QCOMPARE(rig.port.PortOpen(), portOpen);
        QCOMPARE(checkedIndex(w.mnuCOM, 1), comChecked);
        QCOMPARE(checkedIndex(w.mnuBR), baudChecked);
        QCOMPARE(checkedIndex(w.mnuDF), formatChecked);
        QCOMPARE(w.ListIndex(), listIndex);
        QCOMPARE(w.cboSlave->count(), 247);
        QCOMPARE(rig.messages.size(), named.isEmpty() ? 0 : 1);
        if (!named.isEmpty()) {
            const Message &m = rig.messages.first();
            QCOMPARE(m.title, QStringLiteral("KORVANE"));
            QVERIFY(m.text.contains(QDir::toNativeSeparators(rig.iniPath())));
            for (const QString &word : named)
                QVERIFY2(m.informativeText.contains(word), qPrintable(word + " in: " + m.informativeText));
        }
        // The window works afterwards: where the line settings are usable,
        // choosing a port from the menu opens it.
        if (ini.contains("9600,n,8,2")) {
            rig.messages.clear();
            w.mnuCOM[3]->trigger();
            QVERIFY(rig.port.PortOpen());
            QCOMPARE(rig.port.CommPort(), 3);
            QCOMPARE(checkedIndex(w.mnuCOM, 1), 3);
            QVERIFY(rig.messages.isEmpty());
        }
    }

    // A missing file is said as such (an empty one is not missing); each
    // menu or list that repairs a key is named once; the file is created at
    // exit with what was chosen, so the warning does not come back.
    void missingFileIsSaidPlainlyAndCreatedAtExit_data()
    {
        QTest::addColumn<QByteArray>("ini"); // null: no file at all
        QTest::addColumn<QString>("heading");
        QTest::newRow("no file: not found, created at exit") << QByteArray() << QStringLiteral("was not found");
        QTest::newRow("empty file: its settings could not be used") << QByteArray("") << QStringLiteral("could not be used");
    }
    void missingFileIsSaidPlainlyAndCreatedAtExit()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, heading);
        WindowRig rig(ini);
        frmMain &w = *rig.window;
        QCOMPARE(rig.messages.size(), 1);
        const Message m = rig.messages.first();
        QVERIFY2(m.text.contains(QDir::toNativeSeparators(rig.iniPath())), qPrintable(m.text));
        QVERIFY2(m.text.contains(heading), qPrintable(m.text));
        QCOMPARE(m.informativeText.contains(QStringLiteral("created when KORVANE closes")), ini.isNull());
        const QString all = m.text + QLatin1Char('\n') + m.informativeText;
        for (const char *key : {"CommPort", "Setting", "SlaveID"})
            QVERIFY2(m.informativeText.contains(QLatin1String(key)), qPrintable(all));
        for (const char *where : {"\"Serial Port\"", "\"Baud Rate\"", "\"Data Format\"", "\"Select Slave ID\""})
            QVERIFY2(all.count(QLatin1String(where)) == 1, qPrintable(QLatin1String(where) + " once in: " + all));

        w.mnuCOM[2]->trigger();
        w.mnuDF[0]->trigger();
        w.mnuBR[1]->trigger();
        w.close();
        const IniFile stored(rig.iniPath());
        QCOMPARE(stored.ReadINI(QStringLiteral("Settings"), QStringLiteral("CommPort")), QStringLiteral("2"));
        QCOMPARE(stored.ReadINI(QStringLiteral("Settings"), QStringLiteral("Setting")), QStringLiteral("9600,n,8,2"));
    }

    void portThatCannotBeOpenedWarnsOnceAndStaysChosen()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        rig.port.failOpen = true;
        w.mnuCOM[4]->trigger();
        QCOMPARE(rig.messages.size(), 1);
        const Message &m = rig.messages.first();
        QCOMPARE(m.text, QStringLiteral("Com Port Error"));
        QCOMPARE(m.title, QStringLiteral("KORVANE"));
        QCOMPARE(m.icon, QMessageBox::Warning);
        QVERIFY(m.informativeText.contains(QStringLiteral("COM4 (/dev/ttyS3)")));
        QVERIFY(!rig.port.PortOpen());
        QCOMPARE(w.vars.gCommPort, QStringLiteral("4"));
        QCOMPARE(checkedIndex(w.mnuCOM, 1), 4);
        // A command on the closed port shows Error and sends nothing.
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QVERIFY(rig.port.requests().isEmpty());
    }

    void choosingTheOpenPortReopensIt()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        const int opens = rig.port.openCount;
        w.mnuCOM[1]->trigger();
        QCOMPARE(rig.port.openCount, opens + 1);
        QVERIFY(rig.port.PortOpen());
        QVERIFY(w.mnuCOM[1]->isChecked());
        // Triggering a checked item again must not leave it unchecked.
        w.mnuCOM[1]->trigger();
        QVERIFY(w.mnuCOM[1]->isChecked());
    }

    void menusAreIgnoredDuringAWait()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        rig.port.onTick = [&](int tick) {
            if (tick == 2) {
                w.mnuCOM[3]->trigger();
                w.mnuBR[0]->trigger();
                w.mnuDF[2]->trigger();
            }
        };
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.vars.gCommPort, QStringLiteral("1"));
        QCOMPARE(w.vars.gSetting, QStringLiteral("9600,n,8,2"));
        QCOMPARE(checkedIndex(w.mnuCOM, 1), 1);
        QCOMPARE(checkedIndex(w.mnuBR), 1);
        QCOMPARE(checkedIndex(w.mnuDF), 0);
        QVERIFY(rig.port.PortOpen());
        QCOMPARE(rig.port.openCount, 1);
    }

    void exitStoresTheSettingsOnce()
    {
        const QByteArray ini = "; bench settings\r\n[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\n"
                               "SlaveID=7\r\n\r\n[Ports]\r\nCOM3=/dev/ttyUSB0\r\n";
        WindowRig rig(ini);
        frmMain &w = *rig.window;
        w.setListIndex(11); // "12"
        w.mnuCOM[3]->trigger();
        w.mnuBR[0]->trigger();
        w.close();
        QCOMPARE(rig.iniContents(), QByteArray("; bench settings\r\n[Settings]\r\nCommPort=3\r\nSetting=4800,n,8,2\r\n"
                                               "SlaveID=7\r\n\r\n[Ports]\r\nCOM3=/dev/ttyUSB0\r\n"));
        // Closing again writes nothing more.
        QFile::remove(rig.iniPath());
        w.close();
        QVERIFY(!QFile::exists(rig.iniPath()));
    }

    void unusableSlaveIdIsReplacedByTheSelectionAtExit()
    {
        WindowRig rig(iniWith("1", "9600,n,8,2", "x"));
        frmMain &w = *rig.window;
        w.setListIndex(11);
        w.close();
        QVERIFY(rig.iniContents().contains("SlaveID=12\r\n"));
    }

    void closingDuringAWaitStoresTheSettingsOnce()
    {
        WindowRig rig(iniWith("2", "19200,e,8,1", "5"));
        frmMain &w = *rig.window;
        w.show();
        int closes = 0;
        rig.port.onTick = [&](int tick) {
            if (tick == 3 || tick == 5) {
                ++closes;
                QFile::remove(rig.iniPath());
                w.close();
            }
        };
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(closes, 2);
        // Written at the first close only: the second close found nothing to do.
        QVERIFY(!QFile::exists(rig.iniPath()));
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
    }

    // The start-up warning and "Com Port Error" for a mapped device that is
    // gone: the reason, the devices present (up to three) and how to assign
    // one, each once, with the port's own number in the example.
    void failureTextsNameThePresentDevices_data()
    {
        QTest::addColumn<bool>("atStartUp");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("devicesSentence");
        const QString ftdi = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
        QTest::newRow("start-up, an FTDI adapter present")
            << true << QStringList{ftdi} << "Serial devices present: " + ftdi + ".";
        QTest::newRow("Com Port Error, four present: three named")
            << false << QStringList{"/dev/ttyACM0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3"}
            << "Serial devices present: /dev/ttyACM0, /dev/ttyUSB1, /dev/ttyUSB2 and 1 more.";
        QTest::newRow("Com Port Error, nothing present") << false << QStringList() << "No serial device was found";
    }
    void failureTextsNameThePresentDevices()
    {
        QFETCH(bool, atStartUp);
        QFETCH(QStringList, present);
        QFETCH(QString, devicesSentence);
        QTemporaryDir gone;
        const QString device = gone.filePath(QStringLiteral("ttyGONE"));
        WindowRig rig(iniWith("2", "9600,n,8,2", "1") + "[Ports]\r\nCOM2=" + QFile::encodeName(device) + "\r\n",
                      false);
        for (const QString &path : present)
            rig.devices << serialDevice(path);
        rig.port.failOpen = true;
        rig.window->Form_Load();
        if (!atStartUp) {
            rig.messages.clear();
            rig.window->mnuCOM[2]->trigger();
        }
        QCOMPARE(rig.messages.size(), 1);
        const Message &m = rig.messages.first();
        QCOMPARE(m.title, QStringLiteral("KORVANE"));
        QCOMPARE(m.text, atStartUp ? QStringLiteral("Some settings in %1 could not be used.")
                                         .arg(QDir::toNativeSeparators(rig.iniPath()))
                                   : QStringLiteral("Com Port Error"));
        const QString opened = QStringLiteral("COM2 (%1) could not be opened. The device does not exist. ").arg(device);
        QVERIFY2(m.informativeText.contains(opened + devicesSentence), qPrintable(m.informativeText));
        QVERIFY2(m.informativeText.contains(
                     QStringLiteral("\"Serial Port \u2192 Port Devices\u2026\" assigns %1 to COM2")
                         .arg(present.isEmpty() ? "it" : "one")),
                 qPrintable(m.informativeText));
        QCOMPARE(m.informativeText.count(QStringLiteral("Port Devices")), 1);
        QCOMPARE(m.informativeText.count(QStringLiteral("COM2=")), 1);
        QVERIFY(!m.informativeText.contains(QStringLiteral("COM1=")));
        if (atStartUp)
            QVERIFY(m.informativeText.endsWith(QStringLiteral("The port stays closed.")));
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
