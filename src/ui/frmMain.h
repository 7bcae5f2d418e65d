#pragma once
// The main window: the counter, display and output groups, the slave list,
// and the handlers that turn each button press into one device request.

#include "common/modVariables.h"
#include "protocol/Exchange.h"
#include "serial/PortDevices.h"
#include "session/CommandRunner.h"
#include "session/SearchReport.h"
#include "session/PortSession.h"
#include "settings/modINI.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

#include <array>
#include <functional>
#include <optional>

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;

namespace korvane {

class SerialComponent;
class FindDeviceDialog;
class StatusToolTips;
class TrafficWindow;

/// A message box to show: icon, title, main text and optional extra texts.
struct Message {
    QMessageBox::Icon icon = QMessageBox::Warning;
    QString title;
    QString text;
    QString informativeText;
    QString detailedText;
};
/// Where the window's message boxes go. The default shows a modal box.
using MessageSink = std::function<void(const Message &)>;
MessageSink modalMessageSink(QWidget *parent);

/// The maker's web address shown at the foot of the window.
inline constexpr char MakerAddress[] = "https://korvane.example";

class frmMain : public QMainWindow {
    Q_OBJECT
public:
    /// port: the serial-port component (not owned; must outlive the window).
    /// iniPath: the settings file. messages: where message boxes go.
    frmMain(SerialComponent *port, const QString &iniPath, MessageSink messages = {},
            QWidget *parent = nullptr);
    ~frmMain() override;

    /// Brings the system up: settings, slave list, serial port.
    void Form_Load();
    /// Stores the settings; runs once, however often the window is closed.
    void Form_Unload();

    // Handlers, one per control event.
    void cmdReadCount_Click();
    void cmdResetCount_Click();
    void cmdWReg_Click();
    void cmdASCII_Click();
    void cmdOutput_Click(int Index);
    void mnuCOM_Click(int Index);
    void mnuBR_Click(int Index);
    void mnuDF_Click(int Index);
    /// "Port Devices…": which device each COM port opens.
    void mnuPortDevices_Click();
    /// "Find Device…": searches ports, settings and addresses for the device.
    void mnuFindDevice_Click();
    /// Takes a device the search found: its COM port, line settings (the
    /// menus' check marks follow; stored at exit) and slave address.
    void useFoundDevice(const FoundDevice &device);
    void Timer1_Timer();

    /// Sets the menus' check marks from gCommPort and gSetting.
    void UpdateMenuChecks();

    /// The index of the list entry that the slave field's text names
    /// (slaveAddressFromText), -1 when it names none.
    int ListIndex() const;
    /// Chooses the entry at index (-1: none, an empty field).
    void setListIndex(int index);
    /// The slave address the commands send to: the entry the slave field's
    /// text names; 0 after a stored SlaveID=0 until the operator chooses an
    /// entry or types; std::nullopt (send nothing, "Error") when the text
    /// names no entry.
    std::optional<std::uint8_t> slaveAddress() const;
    /// True while an exchange waits for its reply.
    bool isBusy() const { return runner->isBusy(); }

    /// Where the serial devices present come from (the "Port Devices"
    /// dialog, the advice when a port cannot be opened). None by default:
    /// the system's list (systemDeviceSource()) probes the machine's serial
    /// ports, which only the program itself should do, not every window a
    /// test or the benchmark builds.
    void setDeviceSource(DeviceSource source) { deviceSource_ = std::move(source); }

    ModVariables vars;
    SerialComponent *const MSComm1;
    IniFile ini;
    /// The port as the window uses it, and the runner of every command.
    PortSession *session;
    CommandRunner *runner;

    QGroupBox *Frame1, *Frame2, *Frame3;
    QPushButton *cmdReadCount, *cmdResetCount, *cmdWReg, *cmdASCII;
    std::array<QPushButton *, 6> cmdOutput{};
    QLabel *lblCounter, *lblSta, *lblSta1, *lblSta2;
    QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6;
    QLineEdit *txtNum, *txtASCII;
    QComboBox *cboSlave;
    QTimer *Timer1;

    QMenu *mnuPort, *mnuBaud, *mnuFormat;
    std::array<QAction *, 7> mnuCOM{}; ///< indices 1..6 (COM1..COM6); [0] unused
    std::array<QAction *, 3> mnuBR{};  ///< 4800, 9600, 19200 bps
    std::array<QAction *, 3> mnuDF{};  ///< 8N2, 8E1, 8O1
    QAction *mnuPortDevices = nullptr; ///< "Port Devices…", below COM6
    QAction *mnuFindDevice = nullptr;  ///< "Find Device…", below "Port Devices…"
    QMenu *mnuView;
    QAction *mnuTraffic;               ///< shows or hides frmTraffic (Ctrl+T)
    QMenu *mnuHelp;
    QAction *mnuAbout, *mnuAboutQt;

    /// The traffic window, a separate window fed by the signals below.
    TrafficWindow *frmTraffic;
    /// The "Find Device" dialog while it is open.
    QPointer<FindDeviceDialog> frmFind;

signals:
    /// An exchange has ended (or sent nothing): what went over the line.
    void exchanged(const ExchangeRecord &record);
    /// Bytes arrived after the wait of exchange `number`.
    void lateBytesArrived(quint64 number, const QByteArray &bytes, int msAfterSend);
    /// The port was opened, closed or set differently from the window.
    void portStateChanged();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    static constexpr int CounterPixelSize = 16; // 12 point at 96 dots per inch
    static constexpr int SmallestCounterPixelSize = 8;

    /// The controls and their places (frmMainLayout.cpp).
    void buildControls();
    void buildMenus();
    /// Closes the port, makes the menu's change, reopens the port.
    void reopenPortWith(const std::function<void()> &change);
    /// Opens the port; on failure shows "Com Port Error" and leaves it closed.
    void openPortOrWarn();
    /// Maps the ports to the dialog's devices, stores them and reopens the
    /// current port if its device changed.
    void applyPortDevices(const QStringList &devices, const QList<bool> &removeEcho);
    void setTabOrder();
    void ShowCounterValue();
    /// Every text shown in lblCounter goes through here: drawn at the
    /// display's own size, smaller only when it would not fit.
    void setCounterText(const QString &text);
    /// The path every command takes (CommandRunner::run) with the slave
    /// field's address; the record goes to the status label's tool tip.
    /// std::nullopt when the window was destroyed during the wait (the
    /// caller must return at once).
    std::optional<Status> runCommand(const QPushButton *button, QLabel *status,
                                     const CommandRunner::Builder &build);
    void showMessage(const Message &message);

    MessageSink messages_;
    DeviceSource deviceSource_;
    /// While a search runs: the command buttons and port menus are off,
    /// and its probes are not the window's traffic.
    void setSearching(bool searching);

    StatusToolTips *statusTips_;
    bool searching_ = false;
    bool broadcastUntilChosen_ = false; ///< stored SlaveID=0, field not touched since
    bool loaded_ = false;   ///< Form_Load has read the settings
    bool unloaded_ = false;
    bool slaveIdUnusable_ = false; ///< the stored SlaveID could not be used
};

} // namespace korvane
