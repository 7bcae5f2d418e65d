// The "Port Devices" dialog, shown and driven with real key and mouse
// events, on a fixed list of devices: what each row lists, what typing and
// choosing give, the list following devices that come and go; and from the
// window: the menu item, what OK stores in [Ports] and reopens, Cancel.

#include "Devices.h"
#include "WindowRig.h"
#include "ui/PortDevicesDialog.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>

using namespace korvane;
using namespace korvane::test;

namespace {

constexpr int Patience = 10000;

const QString Ftdi = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");

QList<SerialDevice> twoAdapters()
{
    return {serialDevice(Ftdi, QStringLiteral("/dev/ttyUSB0"), QStringLiteral("FTDI"),
                         QStringLiteral("FT232R USB UART"), QStringLiteral("A1B2C3")),
            serialDevice(QStringLiteral("/dev/ttyACM0"), {}, QStringLiteral("Arduino"), QStringLiteral("Uno"))};
}

// The paths a row's list offers (what choosing an entry puts in the field).
QStringList offered(const QComboBox *box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

// What the open list shows for entry i.
QString shown(const QComboBox *box, int i)
{
    return box->model()->index(i, 0).data(Qt::DisplayRole).toString();
}

QPushButton *button(QDialog *dialog, QDialogButtonBox::StandardButton which)
{
    return dialog->findChild<QDialogButtonBox *>()->button(which);
}

// Replaces the text of a row as an operator does: click into the field,
// select all, type.
void typeInto(QComboBox *box, const QString &text)
{
    QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
    QTest::keyClick(box->lineEdit(), Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty()) {
        QTest::keyClick(box->lineEdit(), Qt::Key_Backspace);
        return;
    }
    // keyClicks() knows ASCII only: other characters arrive as key events
    // that carry their text, as from a keyboard layout that has them.
    for (const uint c : text.toUcs4()) {
        const QString one = QString::fromUcs4(reinterpret_cast<const char32_t *>(&c), 1);
        if (c < 0x80) {
            QTest::keyClicks(box->lineEdit(), one);
        } else {
            QTest::sendKeyEvent(QTest::Press, box->lineEdit(), Qt::Key_unknown, one, Qt::NoModifier);
            QTest::sendKeyEvent(QTest::Release, box->lineEdit(), Qt::Key_unknown, one, Qt::NoModifier);
        }
    }
}

// Opens a row's list as an operator does: click into the field, Alt+Down.
bool openList(QComboBox *box)
{
    QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
    QTest::keyClick(box, Qt::Key_Down, Qt::AltModifier);
    return QTest::qWaitFor([box] { return box->view()->isVisible(); });
}

// Runs `drive` on the "Port Devices" dialog once the window's menu item has
// opened it (the dialog runs its own event loop until it is closed).
bool withDialog(frmMain &w, const std::function<void(PortDevicesDialog *)> &drive)
{
    bool found = false;
    QTimer::singleShot(0, &w, [&] {
        auto *dialog = qobject_cast<PortDevicesDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        // qWaitForWindowActive() is content with the active main window (a
        // dialog shares its parent's activation); focus wants the dialog's own.
        dialog->activateWindow();
        found = QTest::qWaitFor([&] { return QApplication::activeWindow() == dialog; });
        drive(dialog);
        if (dialog->isVisible()) // a failed step leaves it open: end it
            dialog->reject();
    });
    w.mnuPortDevices->trigger();
    return found;
}

// A device node in a folder that stands in for /dev (a plain file).
bool makeNode(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

QByteArray iniWithPorts(const QByteArray &ports)
{
    return "; bench rig\r\n[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n\r\n[Ports]\r\n" + ports
        + "; end\r\n";
}

} // namespace

class TestPortDevicesDialog : public QObject {
    Q_OBJECT
private slots:
    void rowsListThePresentDevicesAndKeepTheirOwn();
    void typedTextIsTakenAsTyped_data();
    void typedTextIsTakenAsTyped();
    void choosingAnEntryPutsOnlyItsPath();
    void listFollowsDevicesThatComeAndGo();
    void devicesAreAskedForOnlyWhenSomethingChanged();
    void aWatchedFolderThatAppearsLaterCounts();
    void refreshWaitsWhileAListIsOpen();
    void heldDeviceIsListedAndMarked_data();
    void heldDeviceIsListedAndMarked();
    void bareNamesAreDescribedAsTheyOpen();

    void menuItemFollowsCom6AfterASeparator();
    void windowPassesThePortItHolds();
    void okStoresThePortsAndReopensTheCurrentPort_data();
    void okStoresThePortsAndReopensTheCurrentPort();
    void okRefusesAPathTheSettingsFileCannotHold_data();
    void okRefusesAPathTheSettingsFileCannotHold();
    void cancelChangesNothing();
    void ignoredDuringAWait();
};

void TestPortDevicesDialog::rowsListThePresentDevicesAndKeepTheirOwn()
{
    PortDevicesDialog dialog({QStringLiteral("/dev/ttyUSB9"), Ftdi, QStringLiteral("/dev/ttyUSB0"), QString(),
                              QStringLiteral("tcp://192.168.1.50:4001"), QStringLiteral("tcp://[fe80::1]")},
                             [] { return twoAdapters(); }, QString());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Port Devices"));
    for (int port = 1; port <= 6; ++port) {
        QComboBox *box = dialog.deviceBox(port);
        QVERIFY(box->isEditable());
        const auto labels = dialog.findChildren<QLabel *>();
        QVERIFY(std::any_of(labels.begin(), labels.end(), [&](QLabel *l) {
            return l->buddy() == box && l->text() == QStringLiteral("COM%1").arg(port);
        }));
    }

    // COM1's device is gone: still listed, first, marked; the field keeps it.
    QComboBox *com1 = dialog.deviceBox(1);
    QCOMPARE(offered(com1), (QStringList{"/dev/ttyUSB9", Ftdi, "/dev/ttyACM0"}));
    QVERIFY2(shown(com1, 0).contains(PortDevicesDialog::notPresentMark()), qPrintable(shown(com1, 0)));
    QCOMPARE(com1->currentText(), QStringLiteral("/dev/ttyUSB9"));
    QCOMPARE(dialog.deviceInfo(1)->text(), PortDevicesDialog::notPresentMark());
    // Present devices show what identifies them, beside and as tool tip.
    QCOMPARE(shown(com1, 1), Ftdi + QStringLiteral(" \u2014 FTDI FT232R USB UART, serial A1B2C3"));
    QCOMPARE(com1->itemData(1, Qt::ToolTipRole).toString(), QStringLiteral("FTDI FT232R USB UART, serial A1B2C3"));
    QCOMPARE(shown(com1, 2), QStringLiteral("/dev/ttyACM0 \u2014 Arduino Uno"));

    // COM2's device is present under the same path: listed once.
    QCOMPARE(offered(dialog.deviceBox(2)), (QStringList{Ftdi, "/dev/ttyACM0"}));
    QCOMPARE(dialog.deviceInfo(2)->text(), QStringLiteral("FTDI FT232R USB UART, serial A1B2C3"));
    // COM3 names the same adapter by its node: kept as written, identified.
    QCOMPARE(offered(dialog.deviceBox(3)), (QStringList{"/dev/ttyUSB0", Ftdi, "/dev/ttyACM0"}));
    QVERIFY(!shown(dialog.deviceBox(3), 0).contains(PortDevicesDialog::notPresentMark()));
    QCOMPARE(dialog.deviceInfo(3)->text(), QStringLiteral("FTDI FT232R USB UART, serial A1B2C3"));
    // COM4 uses its default: an empty field that says which.
    QComboBox *com4 = dialog.deviceBox(4);
    QCOMPARE(com4->currentText(), QString());
    QCOMPARE(com4->lineEdit()->placeholderText(), QStringLiteral("/dev/ttyS3 (default)"));
    QVERIFY(dialog.deviceInfo(4)->text().startsWith(QStringLiteral("default /dev/ttyS3")));
    // COM5 is a serial device server, COM6 a server address without its
    // port: each says what it is, neither is "not present".
    const QString server = QStringLiteral("serial device server 192.168.1.50, TCP port 4001");
    QCOMPARE(dialog.deviceInfo(5)->text(), server);
    QCOMPARE(shown(dialog.deviceBox(5), 0), QStringLiteral("tcp://192.168.1.50:4001 \u2014 ") + server);
    QCOMPARE(dialog.deviceInfo(6)->text(),
             QStringLiteral("not a valid tcp://HOST:PORT address: the port is missing"));
    for (int port : {5, 6})
        QVERIFY(!shown(dialog.deviceBox(port), 0).contains(PortDevicesDialog::notPresentMark()));

    QCOMPARE(dialog.devices(), (QStringList{"/dev/ttyUSB9", Ftdi, "/dev/ttyUSB0", "", "tcp://192.168.1.50:4001",
                                            "tcp://[fe80::1]"}));
}

void TestPortDevicesDialog::typedTextIsTakenAsTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("ending");
    QTest::addColumn<QString>("taken");
    // The list holds /dev/ttyUSB10: a completion would turn "/dev/ttyUSB1"
    // into it.
    QTest::newRow("/dev/ttyUSB1 beside /dev/ttyUSB10, OK clicked") << "/dev/ttyUSB1" << "click" << "/dev/ttyUSB1";
    QTest::newRow("/dev/ttyUSB1, Enter") << "/dev/ttyUSB1" << "enter" << "/dev/ttyUSB1";
    QTest::newRow("/dev/ttyusb10 in lower case, Tab, OK clicked") << "/dev/ttyusb10" << "tab" << "/dev/ttyusb10";
    QTest::newRow("a pseudo-terminal with blanks around it") << "  /dev/pts/7 " << "click" << "/dev/pts/7";
    QTest::newRow("emptied: the default") << "" << "click" << "";
    QTest::newRow("a serial device server, tcp://[::1]:502, Enter") << "tcp://[::1]:502" << "enter"
                                                                    << "tcp://[::1]:502";
}

void TestPortDevicesDialog::typedTextIsTakenAsTyped()
{
    QFETCH(QString, typed);
    QFETCH(QString, ending);
    QFETCH(QString, taken);

    PortDevicesDialog dialog({Ftdi, QString(), QString(), QString(), QString(), QString()}, [] {
        return QList<SerialDevice>{serialDevice(QStringLiteral("/dev/ttyUSB10"))};
    }, QString());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    typeInto(dialog.deviceBox(1), typed);
    if (ending == QLatin1String("enter")) {
        QTest::keyClick(dialog.deviceBox(1)->lineEdit(), Qt::Key_Return);
    } else {
        if (ending == QLatin1String("tab")) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QVERIFY(dialog.deviceBox(2)->hasFocus());
        }
        QTest::mouseClick(button(&dialog, QDialogButtonBox::Ok), Qt::LeftButton);
    }
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.devices().first(), taken);
    QCOMPARE(dialog.devices().mid(1), QStringList(5));
    if (taken.startsWith(QLatin1String("tcp://")))
        QCOMPARE(dialog.deviceInfo(1)->text(), QStringLiteral("serial device server [::1], TCP port 502"));
}

void TestPortDevicesDialog::choosingAnEntryPutsOnlyItsPath()
{
    PortDevicesDialog dialog(QStringList(6), [] { return twoAdapters(); }, QString());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QComboBox *box = dialog.deviceBox(2);
    QVERIFY(openList(box));
    QTest::keyClick(box->view(), Qt::Key_Down);
    QTest::keyClick(box->view(), Qt::Key_Return);
    QTRY_VERIFY(!box->view()->isVisible());
    QCOMPARE(box->currentText(), QStringLiteral("/dev/ttyACM0"));
    QCOMPARE(dialog.deviceInfo(2)->text(), QStringLiteral("Arduino Uno"));
}

// A device node that comes or goes in a watched folder (here a temporary
// one) brings the new list: an adapter plugged in appears, one pulled out
// goes; what is being typed stays, with its cursor.
void TestPortDevicesDialog::listFollowsDevicesThatComeAndGo()
{
    QTemporaryDir dev;
    QList<SerialDevice> present = {serialDevice(QStringLiteral("/dev/ttyACM0"))};
    PortDevicesDialog dialog({QStringLiteral("/dev/ttyACM0"), QString(), QString(), QString(), QString(), QString()},
                             [&] { return present; }, QString(), nullptr, {dev.path()});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QComboBox *com2 = dialog.deviceBox(2);
    typeInto(com2, QStringLiteral("/dev/pts/1"));
    QTest::keyClick(com2->lineEdit(), Qt::Key_Left);

    present << serialDevice(Ftdi, QStringLiteral("/dev/ttyUSB0"), QStringLiteral("FTDI"),
                            QStringLiteral("FT232R USB UART"));
    QVERIFY(makeNode(dev.filePath(QStringLiteral("ttyUSB0"))));
    QTRY_COMPARE_WITH_TIMEOUT(offered(com2), (QStringList{"/dev/ttyACM0", Ftdi}), Patience);
    QCOMPARE(com2->currentText(), QStringLiteral("/dev/pts/1"));
    QCOMPARE(com2->lineEdit()->cursorPosition(), 9);
    QVERIFY(com2->lineEdit()->hasFocus());
    // Typing goes on where it was.
    QTest::keyClick(com2->lineEdit(), Qt::Key_2);
    QCOMPARE(com2->currentText(), QStringLiteral("/dev/pts/21"));

    // COM1's own device is pulled out: it stays in its row, marked.
    present.removeFirst();
    QVERIFY(QFile::remove(dev.filePath(QStringLiteral("ttyUSB0"))));
    QTRY_COMPARE_WITH_TIMEOUT(offered(com2), QStringList{Ftdi}, Patience);
    QCOMPARE(offered(dialog.deviceBox(1)), (QStringList{"/dev/ttyACM0", Ftdi}));
    QVERIFY(shown(dialog.deviceBox(1), 0).contains(PortDevicesDialog::notPresentMark()));
    QCOMPARE(dialog.deviceInfo(1)->text(), PortDevicesDialog::notPresentMark());
    QCOMPARE(dialog.devices().mid(0, 2), (QStringList{"/dev/ttyACM0", "/dev/pts/21"}));
}

// The system's list opens serial ports to probe them: it is asked when the
// dialog opens, on "Refresh" and when a name comes or goes in a watched
// folder, never while the dialog sits idle, nor when a node only changes
// its attributes.
void TestPortDevicesDialog::devicesAreAskedForOnlyWhenSomethingChanged()
{
    QTemporaryDir dev;
    QVERIFY(makeNode(dev.filePath(QStringLiteral("ttyS0"))));
    int asked = 0;
    PortDevicesDialog dialog(QStringList(6), [&] { ++asked; return twoAdapters(); }, QString(), nullptr,
                             {dev.path()});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(asked, 1);

    // Idle, with the event loop running for a few seconds; a node's
    // permissions change meanwhile.
    QVERIFY(QFile::setPermissions(dev.filePath(QStringLiteral("ttyS0")), QFile::ReadOwner | QFile::WriteOwner));
    QTest::qWait(3000);
    QCOMPARE(asked, 1);

    QTest::mouseClick(dialog.refreshButton(), Qt::LeftButton);
    QCOMPARE(asked, 2);
    QVERIFY(dialog.isVisible());

    QVERIFY(makeNode(dev.filePath(QStringLiteral("ttyUSB0"))));
    QTRY_COMPARE_WITH_TIMEOUT(asked, 3, Patience);
    QVERIFY(QFile::remove(dev.filePath(QStringLiteral("ttyUSB0"))));
    QTRY_COMPARE_WITH_TIMEOUT(asked, 4, Patience);
}

// The by-id folder appears with the first adapter plugged in: watched
// through its parent until then, its links count from then on.
void TestPortDevicesDialog::aWatchedFolderThatAppearsLaterCounts()
{
    QTemporaryDir dev;
    const QString byId = dev.filePath(QStringLiteral("serial/by-id"));
    int asked = 0;
    PortDevicesDialog dialog(QStringList(6), [&] { ++asked; return QList<SerialDevice>(); }, QString(), nullptr,
                             {dev.path(), byId});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(asked, 1);
    QVERIFY(QDir(dev.path()).mkdir(QStringLiteral("serial")));
    QTRY_COMPARE_WITH_TIMEOUT(asked, 2, Patience);
    QVERIFY(QDir(dev.path()).mkpath(QStringLiteral("serial/by-id")));
    QVERIFY(QFile::link(QStringLiteral("../../ttyUSB0"), byId + QStringLiteral("/usb-FTDI-if00")));
    QTRY_COMPARE_WITH_TIMEOUT(asked, 3, Patience);
    QVERIFY(QFile::remove(byId + QStringLiteral("/usb-FTDI-if00")));
    QTRY_COMPARE_WITH_TIMEOUT(asked, 4, Patience);
}

// While a row's list is open, a refresh waits: entries do not move under
// the pointer. It comes when the list closes.
void TestPortDevicesDialog::refreshWaitsWhileAListIsOpen()
{
    QTemporaryDir dev;
    QList<SerialDevice> present = {serialDevice(QStringLiteral("/dev/ttyACM0"))};
    int asked = 0;
    PortDevicesDialog dialog(QStringList(6), [&] { ++asked; return present; }, QString(), nullptr, {dev.path()});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QComboBox *box = dialog.deviceBox(1);
    QVERIFY(openList(box));

    present << serialDevice(QStringLiteral("/dev/ttyUSB0"));
    dialog.refresh();
    QCOMPARE(asked, 1);
    QCOMPARE(offered(box), QStringList{"/dev/ttyACM0"});
    QTest::keyClick(box->view(), Qt::Key_Escape);
    QTRY_VERIFY(!box->view()->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(offered(box), (QStringList{"/dev/ttyACM0", "/dev/ttyUSB0"}), Patience);
    QCOMPARE(asked, 2);
}

void TestPortDevicesDialog::heldDeviceIsListedAndMarked_data()
{
    QTest::addColumn<QString>("held");
    QTest::addColumn<QStringList>("offered"); // COM2's list (its field is empty)
    QTest::addColumn<int>("marked");          // which entry is marked in use; -1: none
    QTest::addColumn<QString>("com1");        // COM1's info (its default is /dev/ttyS0); "": not marked

    const QString mark = PortDevicesDialog::inUseMark();
    QTest::newRow("/dev/ttyS0, which the system's list misses while it is held: added, marked")
        << "/dev/ttyS0" << QStringList{Ftdi, "/dev/ttyACM0", "/dev/ttyS0"} << 2
        << "default /dev/ttyS0: serial device, " + mark;
    QTest::newRow("bare name ttyS0: added as /dev/ttyS0, marked")
        << "ttyS0" << QStringList{Ftdi, "/dev/ttyACM0", "/dev/ttyS0"} << 2
        << "default /dev/ttyS0: serial device, " + mark;
    QTest::newRow("the listed adapter by its by-id link: marked, not added")
        << Ftdi << QStringList{Ftdi, "/dev/ttyACM0"} << 0 << "";
    QTest::newRow("the listed adapter by its node /dev/ttyUSB0: marked, not added")
        << "/dev/ttyUSB0" << QStringList{Ftdi, "/dev/ttyACM0"} << 0 << "";
    QTest::newRow("a serial device server: no entry, marked where a row names it") << "tcp://127.0.0.1:4001" << QStringList{Ftdi, "/dev/ttyACM0"}
                                                       << -1 << "";
    QTest::newRow("no port open: nothing marked") << "" << QStringList{Ftdi, "/dev/ttyACM0"} << -1
                                                  << "";
}

void TestPortDevicesDialog::heldDeviceIsListedAndMarked()
{
    QFETCH(QString, held);
    QFETCH(QStringList, offered);
    QFETCH(int, marked);
    QFETCH(QString, com1);

    QTemporaryDir dev;
    PortDevicesDialog dialog(QStringList(6), [] { return twoAdapters(); }, held, nullptr, {dev.path()});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QComboBox *box = dialog.deviceBox(2);
    QCOMPARE(::offered(box), offered);
    for (int i = 0; i < box->count(); ++i) {
        QCOMPARE(shown(box, i).endsWith(QStringLiteral(", ") + PortDevicesDialog::inUseMark()), i == marked);
        QCOMPARE(box->itemData(i, Qt::ToolTipRole).toString().contains(PortDevicesDialog::inUseMark()), i == marked);
    }
    if (marked >= 0)
        QCOMPARE(shown(box, marked).section(QStringLiteral(" \u2014 "), 0, 0), offered[marked]);
    // (Whether this machine has a /dev/ttyS0 does not matter for the mark.)
    if (com1.isEmpty())
        QVERIFY(!dialog.deviceInfo(1)->text().contains(PortDevicesDialog::inUseMark()));
    else
        QCOMPARE(dialog.deviceInfo(1)->text(), com1);
    // Still there after the list is asked for again.
    QTest::mouseClick(dialog.refreshButton(), Qt::LeftButton);
    QCOMPARE(::offered(box), offered);
    // Typed into a row, the held device (or server) is marked there too.
    if (!held.isEmpty()) {
        typeInto(box, held);
        QVERIFY2(dialog.deviceInfo(2)->text().endsWith(PortDevicesDialog::inUseMark()),
                 qPrintable(dialog.deviceInfo(2)->text()));
    }
}

// A name without a folder opens inside /dev: the rows describe it there.
void TestPortDevicesDialog::bareNamesAreDescribedAsTheyOpen()
{
    PortDevicesDialog dialog({QStringLiteral("null"), QStringLiteral("ttyACM0"), QStringLiteral("ttyKORVANE9"),
                              QString(), QString(), QString()},
                             [] { return twoAdapters(); }, QString());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    // /dev/null exists but is no listed serial device.
    QCOMPARE(dialog.deviceInfo(1)->text(), QStringLiteral("not a listed serial device"));
    QVERIFY(!shown(dialog.deviceBox(1), 0).contains(PortDevicesDialog::notPresentMark()));
    // ttyACM0 is the listed /dev/ttyACM0: identified, kept as written.
    QCOMPARE(dialog.deviceInfo(2)->text(), QStringLiteral("Arduino Uno"));
    QCOMPARE(shown(dialog.deviceBox(2), 0), QStringLiteral("ttyACM0 \u2014 Arduino Uno"));
    // No /dev/ttyKORVANE9: not present.
    QCOMPARE(dialog.deviceInfo(3)->text(), PortDevicesDialog::notPresentMark());
    // Typed, the same.
    typeInto(dialog.deviceBox(4), QStringLiteral("null"));
    QCOMPARE(dialog.deviceInfo(4)->text(), QStringLiteral("not a listed serial device"));
}

void TestPortDevicesDialog::menuItemFollowsCom6AfterASeparator()
{
    WindowRig rig;
    frmMain &w = *rig.window;
    const QList<QAction *> items = w.mnuPort->actions();
    QCOMPARE(items.size(), 8);
    for (int i = 1; i <= 6; ++i) {
        QCOMPARE(items[i - 1], w.mnuCOM[i]);
        QCOMPARE(items[i - 1]->text(), QStringLiteral("COM%1").arg(i));
    }
    QVERIFY(items[6]->isSeparator());
    QCOMPARE(items[7], w.mnuPortDevices);
    QCOMPARE(w.mnuPortDevices->text(), QStringLiteral("Port Devices\u2026"));
    QVERIFY(!w.mnuPortDevices->isCheckable());
    QVERIFY(w.mnuPortDevices->shortcut().isEmpty());
}

// The window tells the dialog which device its open port holds; with the
// port closed, nothing is marked.
void TestPortDevicesDialog::windowPassesThePortItHolds()
{
    for (const bool open : {true, false}) {
        WindowRig rig(iniWithPorts("COM1=/dev/ttyUSB0\r\n"), false);
        rig.devices = twoAdapters();
        rig.port.failOpen = !open;
        frmMain &w = *rig.window;
        w.Form_Load();
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(rig.port.PortOpen(), open);
        rig.messages.clear();
        QVERIFY(withDialog(w, [&](PortDevicesDialog *dialog) {
            const QString info = dialog->deviceInfo(1)->text();
            QCOMPARE(info.endsWith(QStringLiteral(", ") + PortDevicesDialog::inUseMark()), open);
            QCOMPARE(shown(dialog->deviceBox(2), 0).contains(PortDevicesDialog::inUseMark()), open);
            QCOMPARE(dialog->deviceInfo(2)->text().contains(PortDevicesDialog::inUseMark()), false);
        }));
    }
}

void TestPortDevicesDialog::okStoresThePortsAndReopensTheCurrentPort_data()
{
    QTest::addColumn<QByteArray>("ports");  // the [Ports] lines before
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("failOpen");
    QTest::addColumn<QByteArray>("after");  // the [Ports] lines after
    QTest::addColumn<bool>("reopened");
    QTest::addColumn<QString>("toolTip");   // of the row's menu item afterwards

    QTest::newRow("COM1 (current) mapped: added after COM3, reopened")
        << QByteArray("COM3=/dev/ttyACM0\r\n") << 1 << "/dev/ttyUSB0" << false
        << QByteArray("COM3=/dev/ttyACM0\r\nCOM1=/dev/ttyUSB0\r\n") << true << "/dev/ttyUSB0";
    QTest::newRow("COM1 (current) changed in place, its spelling kept")
        << QByteArray("com1 = /dev/ttyUSB0\r\n") << 1 << Ftdi << false
        << QByteArray("com1 = " + Ftdi.toUtf8() + "\r\n") << true << Ftdi;
    QTest::newRow("COM3 emptied: stored empty (the default), COM1 not reopened")
        << QByteArray("COM3=/dev/ttyACM0\r\n") << 3 << "" << false << QByteArray("COM3=\r\n") << false
        << "/dev/ttyS2";
    QTest::newRow("COM1 typed as its own default: stored, same device, not reopened")
        << QByteArray() << 1 << "/dev/ttyS0" << false << QByteArray("COM1=/dev/ttyS0\r\n") << false << "/dev/ttyS0";
    QTest::newRow("COM1 mapped to a device that cannot be opened: stored, Com Port Error")
        << QByteArray() << 1 << "/dev/ttyUSB5" << true << QByteArray("COM1=/dev/ttyUSB5\r\n") << true
        << "/dev/ttyUSB5";
    QTest::newRow("nothing changed: the file untouched")
        << QByteArray("COM2=/dev/ttyACM0\r\n") << 2 << "/dev/ttyACM0" << false << QByteArray("COM2=/dev/ttyACM0\r\n")
        << false << "/dev/ttyACM0";
}

void TestPortDevicesDialog::okStoresThePortsAndReopensTheCurrentPort()
{
    QFETCH(QByteArray, ports);
    QFETCH(int, row);
    QFETCH(QString, typed);
    QFETCH(bool, failOpen);
    QFETCH(QByteArray, after);
    QFETCH(bool, reopened);
    QFETCH(QString, toolTip);

    WindowRig rig(iniWithPorts(ports));
    rig.devices = twoAdapters();
    frmMain &w = *rig.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QVERIFY(rig.port.PortOpen());
    const int opens = rig.port.openCount;
    rig.messages.clear();

    QVERIFY(withDialog(w, [&](PortDevicesDialog *dialog) {
        typeInto(dialog->deviceBox(row), typed);
        rig.port.failOpen = failOpen;
        QTest::mouseClick(button(dialog, QDialogButtonBox::Ok), Qt::LeftButton);
    }));

    QCOMPARE(rig.iniContents(), iniWithPorts(after));
    QCOMPARE(rig.port.portDevice(row), toolTip);
    QCOMPARE(w.mnuCOM[row]->toolTip(), toolTip);
    QCOMPARE(rig.port.openCount, opens + (reopened ? 1 : 0));
    QCOMPARE(rig.port.PortOpen(), !failOpen);
    QCOMPARE(rig.messages.size(), failOpen ? 1 : 0);
    if (failOpen) {
        QCOMPARE(rig.messages.first().text, QStringLiteral("Com Port Error"));
        QVERIFY(rig.messages.first().informativeText.startsWith(QStringLiteral("COM1 (/dev/ttyUSB5) could not be opened.")));
    }
    // What was stored is what the next start reads.
    QCOMPARE(w.ini.ReadINI(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(row)), typed.trimmed());
}

void TestPortDevicesDialog::okRefusesAPathTheSettingsFileCannotHold_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("character"); // as the message names it
    QTest::addColumn<QString>("then");      // "correct" (and OK) or "cancel"

    QTest::newRow("COM2, \u0141 in a by-id name, then corrected")
        << 2 << QStringLiteral("/dev/serial/by-id/usb-\u0141od\u017A-if00") << QStringLiteral("\"\u0141\" (U+0141)")
        << "correct";
    QTest::newRow("COM5, U+1F600 beyond U+FFFF, then cancelled")
        << 5 << QStringLiteral("/dev/tty") + QString::fromUcs4(U"\U0001F600")
        << QStringLiteral("\"") + QString::fromUcs4(U"\U0001F600") + QStringLiteral("\" (U+1F600)") << "cancel";
}

// The settings file is written in Windows-1252: a path with a character
// outside it would be stored as '?'. OK says so in the dialog, which stays
// open with the character selected; nothing is stored until it is
// corrected, and the message goes once the text changes.
void TestPortDevicesDialog::okRefusesAPathTheSettingsFileCannotHold()
{
    QFETCH(int, row);
    QFETCH(QString, typed);
    QFETCH(QString, character);
    QFETCH(QString, then);

    const QByteArray ini = iniWithPorts("COM2=/dev/ttyACM0\r\n");
    WindowRig rig(ini);
    frmMain &w = *rig.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const QString before = rig.port.portDevice(row);

    QVERIFY(withDialog(w, [&](PortDevicesDialog *dialog) {
        typeInto(dialog->deviceBox(row), typed);
        QVERIFY(!dialog->problemLabel()->isVisible());
        QTest::mouseClick(button(dialog, QDialogButtonBox::Ok), Qt::LeftButton);
        QVERIFY(dialog->isVisible());
        const QString said = dialog->problemLabel()->text();
        QVERIFY(dialog->problemLabel()->isVisible());
        QVERIFY2(said.startsWith(QStringLiteral("COM%1 ").arg(row)) && said.contains(character), qPrintable(said));
        QLineEdit *edit = dialog->deviceBox(row)->lineEdit();
        QVERIFY(edit->hasFocus());
        QCOMPARE(edit->selectedText(), character.section(QLatin1Char('"'), 1, 1));
        QCOMPARE(rig.iniContents(), ini);
        if (then == QLatin1String("correct")) {
            typeInto(dialog->deviceBox(row), QStringLiteral("/dev/ttyUSB0"));
            QVERIFY(!dialog->problemLabel()->isVisible());
            QTest::mouseClick(button(dialog, QDialogButtonBox::Ok), Qt::LeftButton);
        } else {
            QTest::mouseClick(button(dialog, QDialogButtonBox::Cancel), Qt::LeftButton);
        }
        QVERIFY(!dialog->isVisible());
    }));

    if (then == QLatin1String("correct")) {
        QCOMPARE(rig.port.portDevice(row), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(w.ini.ReadINI(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(row)), QStringLiteral("/dev/ttyUSB0"));
    } else {
        QCOMPARE(rig.iniContents(), ini);
        QCOMPARE(rig.port.portDevice(row), before);
    }
}

void TestPortDevicesDialog::cancelChangesNothing()
{
    const QByteArray ini = iniWithPorts("COM1=/dev/ttyACM0\r\n");
    WindowRig rig(ini);
    frmMain &w = *rig.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const int opens = rig.port.openCount;
    for (const char *how : {"Cancel", "Escape"}) {
        QVERIFY(withDialog(w, [&](PortDevicesDialog *dialog) {
            typeInto(dialog->deviceBox(1), QStringLiteral("/dev/ttyUSB3"));
            typeInto(dialog->deviceBox(2), QStringLiteral("/dev/ttyUSB4"));
            if (QLatin1String(how) == QLatin1String("Cancel"))
                QTest::mouseClick(button(dialog, QDialogButtonBox::Cancel), Qt::LeftButton);
            else
                QTest::keyClick(dialog->deviceBox(2)->lineEdit(), Qt::Key_Escape);
            QVERIFY(!dialog->isVisible());
        }));
        QCOMPARE(rig.iniContents(), ini);
        QCOMPARE(rig.port.portDevice(1), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(rig.port.portDevice(2), QStringLiteral("/dev/ttyS1"));
        QCOMPARE(w.mnuCOM[2]->toolTip(), QStringLiteral("/dev/ttyS1"));
        QCOMPARE(rig.port.openCount, opens);
    }
}

void TestPortDevicesDialog::ignoredDuringAWait()
{
    WindowRig rig;
    frmMain &w = *rig.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QVERIFY(!opensSomethingDuringAWait(rig, w.mnuPortDevices));
    QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
    QCOMPARE(rig.port.requests().size(), 1);
}

QTEST_MAIN(TestPortDevicesDialog)
#include "tst_portdevicesdialog.moc"
