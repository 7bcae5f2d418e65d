// "Find Device" in the window: a search found through the dialog, "Use"
// taking its port, settings and address, the window's controls while it
// runs, and every way of ending it giving the window's port back.

#include "DeviceLine.h"
#include "ui/FindDeviceDialog.h"
#include "ui/TrafficWindow.h"
#include "ui/frmMain.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

// The window on COM1 (a line with one counter at address 5, 19200 8E1)
// at 9600 8N2, slave 1: settings it has never used for this device.
struct Rig {
    Rig()
    {
        QFile f(dir.filePath(QStringLiteral("korvane.ini")));
        f.open(QIODevice::WriteOnly);
        f.write("[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n[Ports]\r\nCOM1=/dev/ttyWIN\r\n");
        f.close();
        ticks.setInterval(1);
        ticks.setTimerType(Qt::PreciseTimer);
        ticks.start();
        line.devices = {{5, QStringLiteral("19200,e,8,1"), 4242, 0}};
        window = new frmMain(&line, f.fileName(), [this](const Message &m) { messages << m; });
        window->setDeviceSource([] { return QList<SerialDevice>(); });
        window->Form_Load();
        window->show();
    }
    ~Rig() { delete window; }

    /// Opens the dialog from the menu, shown and active, with a short range.
    FindDeviceDialog *openDialog()
    {
        window->mnuFindDevice->trigger();
        FindDeviceDialog *d = window->frmFind;
        if (d && QTest::qWaitForWindowActive(d)) {
            d->lastAddress->setValue(6);
            d->probeWait->setValue(30);
        }
        return d;
    }

    QTemporaryDir dir;
    QTimer ticks;
    QStringList log;
    DeviceLine line{&ticks, QStringLiteral("/dev/ttyWIN"), &log};
    QList<Message> messages;
    QPointer<frmMain> window;
};

} // namespace

class TestFindDevice : public QObject {
    Q_OBJECT
private slots:
    void foundThenUsedThenRead()
    {
        Rig rig;
        frmMain &w = *rig.window;
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(w.mnuPort->actions().indexOf(w.mnuFindDevice), w.mnuPort->actions().indexOf(w.mnuPortDevices) + 1);
        const QPointer<FindDeviceDialog> d = rig.openDialog();
        QVERIFY(d);
        QVERIFY(d->portBox(1)->isChecked());

        bool lockedDuring = false;
        connect(&d->search(), &DeviceSearch::progress, this, [&] {
            lockedDuring = !w.cmdReadCount->isEnabled() && !w.cmdOutput[0]->isEnabled() && !w.mnuPort->isEnabled()
                        && !w.mnuBaud->isEnabled() && !w.mnuFormat->isEnabled();
        });
        QSignalSpy finished(&d->search(), &DeviceSearch::finished);
        QTest::mouseClick(d->cmdStart, Qt::LeftButton);
        QVERIFY(finished.wait(20000));
        QVERIFY(lockedDuring);
        QVERIFY(w.cmdReadCount->isEnabled() && w.mnuPort->isEnabled());

        // Only counter reads went out, none to the broadcast address.
        for (const QByteArray &frame : rig.line.requests()) {
            QVERIFY(frame.size() == 8 && frame.at(0) != 0);
            QCOMPARE(frame, readRequest(static_cast<std::uint8_t>(frame.at(0))));
        }
        // The probes are not the window's own traffic.
        QCOMPARE(w.frmTraffic->model()->rowCount(), 0);

        QCOMPARE(d->results->rowCount(), 1);
        QCOMPARE(d->results->item(0, 2)->text(), QStringLiteral("5"));
        QCOMPARE(d->results->item(0, 3)->text(), QStringLiteral("19200"));
        QCOMPARE(d->results->item(0, 4)->text(), QStringLiteral("8E1"));
        QCOMPARE(d->results->item(0, 5)->text(), QStringLiteral("4242"));
        QVERIFY(d->results->item(0, 0)->isSelected());

        QTest::mouseClick(d->cmdUse, Qt::LeftButton);
        QTRY_VERIFY(!w.frmFind);
        QVERIFY(w.mnuCOM[1]->isChecked());
        QVERIFY(w.mnuBR[2]->isChecked() && !w.mnuBR[1]->isChecked());
        QVERIFY(w.mnuDF[1]->isChecked() && !w.mnuDF[0]->isChecked());
        QCOMPARE(w.cboSlave->currentText(), QStringLiteral("5"));

        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("4242"));

        // Stored at exit, as a menu choice is.
        w.close();
        IniFile ini(rig.dir.filePath(QStringLiteral("korvane.ini")));
        QCOMPARE(ini.ReadINI(QStringLiteral("Settings"), QStringLiteral("Setting")), QStringLiteral("19200,e,8,1"));
    }

    void aChoiceThatCannotBeSearchedDisablesStart_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("no port") << "port";
        QTest::newRow("no baud rate") << "baud";
        QTest::newRow("no data format") << "format";
        QTest::newRow("first address above the last") << "range";
    }
    void aChoiceThatCannotBeSearchedDisablesStart()
    {
        QFETCH(QString, change);
        Rig rig;
        const QPointer<FindDeviceDialog> d = rig.openDialog();
        QVERIFY(d);
        QVERIFY(d->cmdStart->isEnabled());
        if (change == QLatin1String("port"))
            d->portBox(1)->setChecked(false);
        for (int i = 0; i < 3; ++i) {
            if (change == QLatin1String("baud"))
                d->baudBox(i)->setChecked(false);
            if (change == QLatin1String("format"))
                d->formatBox(i)->setChecked(false);
        }
        if (change == QLatin1String("range"))
            d->firstAddress->setValue(7);
        QVERIFY(!d->cmdStart->isEnabled());
        QVERIFY(!d->lblProblem->text().isEmpty());
    }

    // However a search ends early, the window's port is open again with its
    // own settings, and its controls work.
    void endingEarlyGivesThePortBack_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Stop") << "stop";
        QTest::newRow("the dialog closed") << "close";
        QTest::newRow("the main window closed") << "window";
    }
    void endingEarlyGivesThePortBack()
    {
        QFETCH(QString, how);
        Rig rig;
        rig.line.devices.clear();
        frmMain &w = *rig.window;
        const QPointer<FindDeviceDialog> d = rig.openDialog();
        QVERIFY(d);
        d->lastAddress->setValue(247);
        QSignalSpy progress(&d->search(), &DeviceSearch::progress);
        QTest::mouseClick(d->cmdStart, Qt::LeftButton);
        QTRY_VERIFY(progress.count() > 20);
        if (how == QLatin1String("stop"))
            QTest::mouseClick(d->cmdStart, Qt::LeftButton);
        else if (how == QLatin1String("close"))
            d->close();
        else
            w.close();
        QTRY_VERIFY(!d || !d->search().isRunning());
        QVERIFY(rig.line.PortOpen());
        QCOMPARE(rig.line.Settings(), QStringLiteral("9600,n,8,2"));
        QVERIFY(w.cmdReadCount->isEnabled() && w.mnuPort->isEnabled());
        if (how == QLatin1String("window"))
            delete rig.window; // a search ended by the window's end touches nothing after it
    }
};

QTEST_MAIN(TestFindDevice)
#include "tst_finddevice.moc"
