#include "frmMain.h"

#include "About.h"
#include "CentredMessageBox.h"
#include "Fonts.h"
#include "Keyboard.h"
#include "PortDevicesDialog.h"
#include "SettingsWarning.h"
#include "StatusToolTips.h"
#include "TrafficWindow.h"
#include "common/Numbers.h"
#include "protocol/Commands.h"
#include "protocol/SlaveAddress.h"
#include "serial/LineSettings.h"
#include "serial/PortDiagnosis.h"
#include "serial/SerialComponent.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QValidator>

namespace korvane {

namespace {

constexpr int CounterPixelSize = 16; // 12 point at 96 dots per inch
constexpr int SmallestCounterPixelSize = 8;

// The layout is given in twips; 15 twips make one pixel.
QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

template <typename W>
W *place(QWidget *parent, const char *name, QRect geometry)
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(geometry);
    return w;
}

QPushButton *button(QWidget *parent, const char *name, const QString &caption, QRect geometry)
{
    auto *b = place<QPushButton>(parent, name, geometry);
    b->setText(caption);
    b->setAutoDefault(false);
    return b;
}

QLabel *label(QWidget *parent, const char *name, const QString &caption, QRect geometry)
{
    auto *l = place<QLabel>(parent, name, geometry);
    l->setText(caption);
    return l;
}

void setTextColour(QWidget *w, QColor colour)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, colour);
    w->setPalette(p);
}

/// Accepts at most six characters (code points, not UTF-16 units): a
/// seventh is refused, whether typed or pasted.
class SixCharacters : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString &input, int &) const override
    {
        return input.toUcs4().size() <= 6 ? Acceptable : Invalid;
    }
};

QLineEdit *textBox(QWidget *parent, const char *name, QRect geometry)
{
    auto *t = place<QLineEdit>(parent, name, geometry);
    t->setValidator(new SixCharacters(t));
    return t;
}

} // namespace

MessageSink modalMessageSink(QWidget *parent)
{
    QPointer<QWidget> owner(parent);
    return [owner](const Message &m) {
        CentredMessageBox box(m.icon, m.title, m.text, QMessageBox::Ok, owner);
        box.setInformativeText(m.informativeText);
        box.setDetailedText(m.detailedText);
        box.exec();
    };
}

frmMain::frmMain(SerialComponent *port, const QString &iniPath, MessageSink messages, QWidget *parent)
    : QMainWindow(parent)
    , MSComm1(port)
    , ini(iniPath)
    , session(new PortSession(*port, this))
    , messages_(std::move(messages))
{
    Q_ASSERT(port);
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("KORVANE"));
    setWindowIcon(QIcon(QStringLiteral(":/korvane-32.png")));
    setFont(uiFont());
    buildControls();
    buildMenus();
    setTabOrder();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(10);
    Timer1->setTimerType(Qt::PreciseTimer);
    connect(Timer1, &QTimer::timeout, this, &frmMain::Timer1_Timer);
    // The window's own frame buffers and its fixed wait of ten ticks.
    runner = new CommandRunner(*session, vars, WaitPolicy::ticks(Timer1), this);

    connect(cmdReadCount, &QPushButton::clicked, this, &frmMain::cmdReadCount_Click);
    connect(cmdResetCount, &QPushButton::clicked, this, &frmMain::cmdResetCount_Click);
    connect(cmdWReg, &QPushButton::clicked, this, &frmMain::cmdWReg_Click);
    connect(cmdASCII, &QPushButton::clicked, this, &frmMain::cmdASCII_Click);
    for (int i = 0; i < OutputButtonCount; ++i)
        connect(cmdOutput[i], &QPushButton::clicked, this, [this, i] { cmdOutput_Click(i); });

    // The slave field's text decides the address; only a stored SlaveID=0
    // sends to the broadcast address, until the operator changes the field
    // (typing or choosing an entry).
    connect(cboSlave->lineEdit(), &QLineEdit::textChanged, this, [this] { broadcastUntilChosen_ = false; });

    // Enter on a focused command button presses it, as Space does; Ctrl+Q
    // closes the window.
    for (QPushButton *b : {cmdReadCount, cmdResetCount, cmdWReg, cmdASCII})
        clickOnEnter(b);
    for (QPushButton *b : cmdOutput)
        clickOnEnter(b);
    closeOnCtrlQ(this);

    // A hang-up closes the port; say so once, plainly. The next command
    // opens it again (PortSession::recoverFromHangUp).
    connect(session, &PortSession::closedOnError, this, [](const QString &reason) {
        qWarning().noquote() << "korvane: serial port closed after an error:" << reason;
    });
    connect(session, &PortSession::stateChanged, this, &frmMain::portStateChanged);

    // What went over the line: records from the exchanges, handed on to
    // the status labels' tool tips and to the traffic window.
    connect(&session->recorder(), &TrafficRecorder::recorded, this, &frmMain::exchanged);
    connect(&session->recorder(), &TrafficRecorder::lateBytes, this, &frmMain::lateBytesArrived);
    statusTips_ = new StatusToolTips(this);
    connect(this, &frmMain::lateBytesArrived, statusTips_, &StatusToolTips::addLateBytes);
    frmTraffic = new TrafficWindow(MSComm1, this);
    connect(this, &frmMain::exchanged, frmTraffic, &TrafficWindow::addRecord);
    connect(this, &frmMain::lateBytesArrived, frmTraffic, &TrafficWindow::addLateBytes);
    connect(this, &frmMain::portStateChanged, frmTraffic, &TrafficWindow::refreshPortState);
    // Save… and Clear chosen during a wait are held until it ends.
    connect(runner, &CommandRunner::busyChanged, frmTraffic, &TrafficWindow::setWaiting);
    connect(mnuTraffic, &QAction::toggled, frmTraffic, &QWidget::setVisible);
    connect(frmTraffic, &TrafficWindow::visibilityChanged, mnuTraffic, &QAction::setChecked);
    frmTraffic->addAction(mnuTraffic); // Ctrl+T also in the traffic window
}

frmMain::~frmMain() = default;

void frmMain::buildControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(569, 245);
    setCentralWidget(client);

    Frame1 = place<QGroupBox>(client, "Frame1", twips(360, 240, 3975, 1335));
    Frame1->setTitle(QStringLiteral("Counter Mode"));
    cmdReadCount = button(Frame1, "cmdReadCount", QStringLiteral("Read Counter Value"), twips(240, 360, 1695, 375));
    cmdResetCount = button(Frame1, "cmdResetCount", QStringLiteral("Reset Counter"), twips(240, 840, 1695, 375));
    lblCounter = label(Frame1, "lblCounter", QString(), twips(2280, 360, 1095, 375));
    Label4 = label(Frame1, "Label4", QStringLiteral("Status"), twips(2280, 960, 495, 255));
    lblSta = label(Frame1, "lblSta", QString(), twips(2880, 960, 735, 255));

    Frame2 = place<QGroupBox>(client, "Frame2", twips(4440, 960, 3735, 2175));
    Frame2->setTitle(QStringLiteral("Display Mode"));
    cmdWReg = button(Frame2, "cmdWReg", QStringLiteral("Write Numeric Value"), twips(240, 480, 1695, 375));
    txtNum = textBox(Frame2, "txtNum", twips(2280, 480, 1095, 285));
    Label1 = label(Frame2, "Label1", QStringLiteral("-99999 to 999999"), twips(240, 960, 1695, 255));
    Label3 = label(Frame2, "Label3", QStringLiteral("Status"), twips(2280, 960, 615, 255));
    lblSta1 = label(Frame2, "lblSta1", QString(), twips(2880, 960, 735, 255));
    cmdASCII = button(Frame2, "cmdASCII", QStringLiteral("Write ASCII Text"), twips(240, 1320, 1695, 375));
    txtASCII = textBox(Frame2, "txtASCII", twips(2280, 1320, 1095, 285));

    Frame3 = place<QGroupBox>(client, "Frame3", twips(360, 1680, 3975, 1455));
    Frame3->setTitle(QStringLiteral("Output Control"));
    static const char *const outputNames[6] = {"cmdOutput0", "cmdOutput1", "cmdOutput2",
                                               "cmdOutput3", "cmdOutput4", "cmdOutput5"};
    static const char *const outputCaptions[6] = {"Turn On 1", "Turn Off 1", "Turn On 2",
                                                  "Turn Off 2", "Buzzer On", "Buzzer Off"};
    for (int i = 0; i < 6; ++i) {
        const int left = 240 + 1200 * (i / 2);
        const int top = (i % 2 == 0) ? 360 : 720;
        cmdOutput[i] = button(Frame3, outputNames[i], QString::fromLatin1(outputCaptions[i]),
                              twips(left, top, 1095, 255));
    }
    Label5 = label(Frame3, "Label5", QStringLiteral("Status"), twips(240, 1080, 495, 255));
    lblSta2 = label(Frame3, "lblSta2", QString(), twips(1080, 1080, 975, 255));

    Label2 = label(client, "Label2", QStringLiteral("Select Slave ID"), twips(4680, 600, 1455, 255));
    cboSlave = place<QComboBox>(client, "cboSlave", twips(6120, 480, 735, 315));
    cboSlave->setEditable(true);
    cboSlave->setInsertPolicy(QComboBox::NoInsert);
    cboSlave->setMaxVisibleItems(20);
    Label6 = label(client, "Label6",
                   QStringLiteral("KORVANE Modbus Counter/Display ") + QLatin1String(MakerAddress),
                   twips(360, 3360, 5175, 255));

    // Colours and fonts.
    lblCounter->setFont(uiFont(CounterPixelSize, true));
    setTextColour(lblCounter, QColor(255, 0, 0));
    {
        QPalette p = lblCounter->palette();
        p.setColor(QPalette::Window, Qt::black);
        lblCounter->setPalette(p);
        lblCounter->setAutoFillBackground(true);
        lblCounter->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        lblCounter->setIndent(4);
    }
    const QFont bold = uiFont(11, true);
    for (QLabel *l : {lblSta, lblSta1, lblSta2, Label6})
        l->setFont(bold);
    setTextColour(lblSta, QColor(255, 0, 0));
    setTextColour(lblSta1, QColor(192, 0, 0));
    setTextColour(lblSta2, QColor(255, 128, 0));
    setTextColour(Label6, QColor(0, 0, 255));

    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

namespace {
const char *const BaudParts[3] = {"4800,", "9600,", "19200,"};
const char *const FormatParts[3] = {"n,8,2", "e,8,1", "o,8,1"};

// A number from the settings texts, as a 16-bit integer conversion reads it.
std::optional<int> settingNumber(const QString &text, int min, int max)
{
    const auto value = parseWholeNumber(text, min, max);
    return value ? std::optional<int>(int(*value)) : std::nullopt;
}
} // namespace

void frmMain::buildMenus()
{
    mnuPort = menuBar()->addMenu(QStringLiteral("Serial Port"));
    mnuPort->setObjectName(QStringLiteral("mnuPort"));
    mnuPort->setToolTipsVisible(true);
    for (int i = 1; i <= 6; ++i) {
        mnuCOM[i] = mnuPort->addAction(QStringLiteral("COM%1").arg(i));
        mnuCOM[i]->setObjectName(QStringLiteral("mnuCOM%1").arg(i));
        mnuCOM[i]->setCheckable(true);
        mnuCOM[i]->setToolTip(session->portDevice(i));
        connect(mnuCOM[i], &QAction::triggered, this, [this, i] { mnuCOM_Click(i); });
    }
    mnuPort->addSeparator();
    mnuPortDevices = mnuPort->addAction(QStringLiteral("Port Devices\u2026"));
    mnuPortDevices->setObjectName(QStringLiteral("mnuPortDevices"));
    connect(mnuPortDevices, &QAction::triggered, this, &frmMain::mnuPortDevices_Click);
    mnuBaud = menuBar()->addMenu(QStringLiteral("Baud Rate"));
    mnuBaud->setObjectName(QStringLiteral("mnuBaud"));
    const char *const baudCaptions[3] = {"4800 bps", "9600 bps", "19200 bps"};
    const char *const formatCaptions[3] = {"8N2", "8E1", "8O1"};
    for (int i = 0; i < 3; ++i) {
        mnuBR[i] = mnuBaud->addAction(QString::fromLatin1(baudCaptions[i]));
        mnuBR[i]->setObjectName(QStringLiteral("mnuBR%1").arg(i));
        mnuBR[i]->setCheckable(true);
        connect(mnuBR[i], &QAction::triggered, this, [this, i] { mnuBR_Click(i); });
    }
    mnuFormat = menuBar()->addMenu(QStringLiteral("Data Format"));
    mnuFormat->setObjectName(QStringLiteral("mnuFormat"));
    for (int i = 0; i < 3; ++i) {
        mnuDF[i] = mnuFormat->addAction(QString::fromLatin1(formatCaptions[i]));
        mnuDF[i]->setObjectName(QStringLiteral("mnuDF%1").arg(i));
        mnuDF[i]->setCheckable(true);
        connect(mnuDF[i], &QAction::triggered, this, [this, i] { mnuDF_Click(i); });
    }
    mnuView = menuBar()->addMenu(QStringLiteral("View"));
    mnuView->setObjectName(QStringLiteral("mnuView"));
    mnuTraffic = mnuView->addAction(QStringLiteral("Traffic"));
    mnuTraffic->setObjectName(QStringLiteral("mnuTraffic"));
    mnuTraffic->setCheckable(true);
    mnuTraffic->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    // The last menu.
    mnuHelp = menuBar()->addMenu(QStringLiteral("Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuAbout = mnuHelp->addAction(QStringLiteral("About KORVANE"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
    // Ignored during a wait, as the other menus' items are: the box waits in
    // an event loop of its own and would hold the status word back.
    connect(mnuAbout, &QAction::triggered, this, [this] {
        if (!isBusy())
            showAboutKorvane(this);
    });
    mnuAboutQt = mnuHelp->addAction(QStringLiteral("About Qt"));
    mnuAboutQt->setObjectName(QStringLiteral("mnuAboutQt"));
    connect(mnuAboutQt, &QAction::triggered, this, [this] {
        if (!isBusy())
            QMessageBox::aboutQt(this);
    });
}

void frmMain::UpdateMenuChecks()
{
    const auto port = settingNumber(vars.gCommPort, 1, 6);
    for (int i = 1; i <= 6; ++i)
        mnuCOM[i]->setChecked(port && *port == i);

    const QString baud = vars.gSetting.left(4);
    mnuBR[0]->setChecked(baud == QLatin1String("4800"));
    mnuBR[1]->setChecked(baud == QLatin1String("9600"));
    mnuBR[2]->setChecked(baud == QLatin1String("1920"));

    const QString format = vars.gSetting.right(5);
    for (int i = 0; i < 3; ++i)
        mnuDF[i]->setChecked(format == QLatin1String(FormatParts[i]));
}

void frmMain::reopenPortWith(const std::function<void()> &change)
{
    // Ignored while an exchange waits; the check marks are set again in
    // every case, so they never show what the menu toggled by itself.
    if (!isBusy()) {
        session->close();
        change();
        openPortOrWarn();
    }
    UpdateMenuChecks();
}

void frmMain::mnuCOM_Click(int Index)
{
    reopenPortWith([&] {
        vars.gCommPort = QString::number(Index);
        UpdateMenuChecks();
        session->setCommPort(Index);
    });
}

void frmMain::mnuBR_Click(int Index)
{
    reopenPortWith([&] {
        const QString format = vars.gSetting.right(5);
        vars.gSetting = QLatin1String(BaudParts[Index]) + format;
        session->setSettings(vars.gSetting);
        UpdateMenuChecks();
    });
}

void frmMain::mnuDF_Click(int Index)
{
    reopenPortWith([&] {
        QString baud;
        if (vars.gSetting.size() == 10)
            baud = vars.gSetting.left(5);
        else if (vars.gSetting.size() == 11)
            baud = vars.gSetting.left(6);
        vars.gSetting = baud + QLatin1String(FormatParts[Index]);
        session->setSettings(vars.gSetting);
        UpdateMenuChecks();
    });
}

void frmMain::mnuPortDevices_Click()
{
    if (isBusy())
        return;
    QStringList current;
    for (int i = 1; i <= 6; ++i)
        current << session->portDeviceMapping(i);
    const QPointer<PortDevicesDialog> dialog = new PortDevicesDialog(
        current, deviceSource_, session->isOpen() ? session->device() : QString(), this);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    // The window may have been closed (a signal) while the dialog was open.
    if (!dialog)
        return;
    const QStringList devices = dialog->devices();
    delete dialog;
    if (accepted && !unloaded_)
        applyPortDevices(devices);
}

void frmMain::applyPortDevices(const QStringList &devices)
{
    const PortSession::DevicesChange change = session->changePortDevices(devices, ini);
    for (int i = 1; i <= 6; ++i)
        mnuCOM[i]->setToolTip(session->portDevice(i));
    if (!change.stored)
        showMessage({QMessageBox::Warning, QStringLiteral("KORVANE"),
                     QStringLiteral("The port devices could not be stored in %1.")
                         .arg(QDir::toNativeSeparators(ini.path())),
                     QStringLiteral("They are used until KORVANE closes; the next start uses the "
                                    "devices the file holds."),
                     QString()});
    if (change.selectedChanged && settingNumber(vars.gCommPort, 1, 6))
        reopenPortWith([] {});
}

void frmMain::openPortOrWarn()
{
    if (!settingNumber(vars.gCommPort, 1, 6)) {
        showMessage({QMessageBox::Warning, QStringLiteral("KORVANE"), QStringLiteral("Com Port Error"),
                     QStringLiteral("No serial port is chosen. Choose one from the \"Serial Port\" menu."),
                     QString()});
        return;
    }
    if (session->open())
        return;
    showMessage({QMessageBox::Warning, QStringLiteral("KORVANE"), QStringLiteral("Com Port Error"),
                 QStringLiteral("%1 could not be opened. %2")
                     .arg(session->displayName(), session->openFailureAdvice(deviceSource_)),
                 session->lastError()});
}

void frmMain::setTabOrder()
{
    const QWidget *order[] = {cmdReadCount, txtNum, cmdWReg, cboSlave, cmdResetCount,
                              cmdOutput[0], cmdOutput[1], cmdOutput[2], cmdOutput[3],
                              txtASCII, cmdASCII, cmdOutput[4], cmdOutput[5]};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(const_cast<QWidget *>(order[i]), const_cast<QWidget *>(order[i + 1]));
}

void frmMain::Form_Load()
{
    vars.gCommPort = ini.ReadINI(QStringLiteral("Settings"), QStringLiteral("CommPort"));
    vars.gSetting = ini.ReadINI(QStringLiteral("Settings"), QStringLiteral("Setting"));
    vars.gSlaveID = ini.ReadINI(QStringLiteral("Settings"), QStringLiteral("SlaveID"));
    loaded_ = true;
    session->loadPortDevices(ini);
    for (int i = 1; i <= 6; ++i)
        mnuCOM[i]->setToolTip(session->portDevice(i));

    // Each value that cannot be used is reported, all in one warning; the
    // window works afterwards and the menus repair the port settings.
    QStringList problems;
    auto problem = [&](const char *key, const QString &value, const QString &what) {
        problems << QStringLiteral("%1=\"%2\": %3").arg(QLatin1String(key), value, what);
    };

    for (int i = 1; i <= 247; ++i)
        cboSlave->addItem(QString::number(i));
    const auto slave = settingNumber(vars.gSlaveID, 0, 247);
    slaveIdUnusable_ = !slave;
    setListIndex(slave ? *slave - 1 : -1);
    broadcastUntilChosen_ = slave && *slave == 0;
    if (!slave)
        problem("SlaveID", vars.gSlaveID,
                QStringLiteral("not a slave address from 0 to 247. No address is selected; "
                               "choose one from the \"Select Slave ID\" list."));

    const auto port = settingNumber(vars.gCommPort, 1, 6);
    if (port)
        session->setCommPort(*port);
    else
        problem("CommPort", vars.gCommPort,
                QStringLiteral("not a port number from 1 to 6. The port stays closed; "
                               "choose one from the \"Serial Port\" menu."));
    session->setSettings(vars.gSetting);
    const bool lineSettingsUsable = parseLineSettings(vars.gSetting).has_value();
    if (!lineSettingsUsable)
        problem("Setting", vars.gSetting,
                QStringLiteral("not line settings such as 9600,n,8,2. The port stays closed; "
                               "choose them from the \"Baud Rate\" and \"Data Format\" menus."));
    UpdateMenuChecks();

    QString detail;
    if (port && lineSettingsUsable && !session->open()) {
        problem("CommPort", vars.gCommPort,
                QStringLiteral("%1 could not be opened. %2 The port stays closed.")
                    .arg(session->displayName(), session->openFailureAdvice(deviceSource_)));
        detail = session->lastError();
    }
    if (!problems.isEmpty()) {
        const SettingsWarning warning = settingsWarning(QDir::toNativeSeparators(ini.path()),
                                                        QFileInfo::exists(ini.path()), problems);
        showMessage({QMessageBox::Warning, QStringLiteral("KORVANE"), warning.text,
                     warning.informativeText, detail});
    }
    emit portStateChanged();
}

void frmMain::Form_Unload()
{
    // Closed before the settings were read (a signal at start-up): there is
    // nothing to store, and storing the empty texts would lose the file's.
    if (unloaded_ || !loaded_)
        return;
    unloaded_ = true;
    // The slave address is stored as it was read, not as selected now;
    // only a stored value that could not be used is replaced by the
    // selection, so that its warning does not return at every start.
    QString slaveId = vars.gSlaveID;
    if (slaveIdUnusable_ && ListIndex() >= 0)
        slaveId = QString::number(ListIndex() + 1);
    ini.WriteINI(QStringLiteral("Settings"), QStringLiteral("CommPort"), vars.gCommPort);
    ini.WriteINI(QStringLiteral("Settings"), QStringLiteral("Setting"), vars.gSetting);
    ini.WriteINI(QStringLiteral("Settings"), QStringLiteral("SlaveID"), slaveId);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    frmTraffic->close();
    event->accept();
}

int frmMain::ListIndex() const
{
    const auto address = slaveAddressFromText(cboSlave->currentText());
    return address ? *address - 1 : -1;
}

void frmMain::setListIndex(int index)
{
    cboSlave->setCurrentIndex(index);
    broadcastUntilChosen_ = false;
}

std::optional<std::uint8_t> frmMain::slaveAddress() const
{
    if (broadcastUntilChosen_)
        return std::uint8_t(0);
    return slaveAddressFromText(cboSlave->currentText());
}

void frmMain::Timer1_Timer()
{
    if (vars.gTick < std::numeric_limits<qint16>::max())
        ++vars.gTick;
}

std::optional<Status> frmMain::runCommand(const QPushButton *button, QLabel *status,
                                          const CommandRunner::Builder &build)
{
    const auto record = runner->run(button->text(), slaveAddress(), build, cboSlave->currentText());
    if (!record)
        return std::nullopt;
    statusTips_->show(status, *record);
    return record->status;
}

void frmMain::cmdReadCount_Click()
{
    if (isBusy())
        return;
    lblSta->setText(QString());
    const auto status = runCommand(cmdReadCount, lblSta,
                                       [](ModVariables &v, std::uint8_t slave) { return buildReadCounter(v, slave); });
    if (!status)
        return;
    if (*status == Status::Success)
        ShowCounterValue();
    lblSta->setText(statusWord(*status));
}

void frmMain::cmdResetCount_Click()
{
    if (isBusy())
        return;
    lblSta->setText(QString());
    const auto status = runCommand(cmdResetCount, lblSta,
                                       [](ModVariables &v, std::uint8_t slave) { return buildResetCounter(v, slave); });
    if (!status)
        return;
    lblSta->setText(statusWord(*status));
    if (*status == Status::Success)
        setCounterText(QStringLiteral("0"));
}

void frmMain::cmdWReg_Click()
{
    if (isBusy())
        return;
    lblSta1->setText(QString());
    const auto value = parseNumber(txtNum->text());
    if (!value) {
        showMessage({QMessageBox::Warning, QStringLiteral("KORVANE"),
                     QStringLiteral("\"%1\" is not a number that can be written to the display.")
                         .arg(txtNum->text()),
                     QStringLiteral("Type a whole number from -99999 to 999999."), QString()});
        return;
    }
    const auto status = runCommand(cmdWReg, lblSta1,
                                       [&](ModVariables &v, std::uint8_t slave) { return buildWriteNumber(v, slave, *value); });
    if (!status)
        return;
    lblSta1->setText(statusWord(*status));
}

void frmMain::cmdASCII_Click()
{
    if (isBusy())
        return;
    lblSta1->setText(QString());
    const auto status = runCommand(cmdASCII, lblSta1,
                                       [this](ModVariables &v, std::uint8_t slave) { return buildWriteText(v, slave, txtASCII->text()); });
    if (!status)
        return;
    lblSta1->setText(statusWord(*status));
}

void frmMain::cmdOutput_Click(int Index)
{
    if (isBusy())
        return;
    lblSta2->setText(QString());
    const auto status = runCommand(cmdOutput[Index], lblSta2,
                                       [&](ModVariables &v, std::uint8_t slave) { return buildOutput(v, slave, Index); });
    if (!status)
        return;
    lblSta2->setText(statusWord(*status));
}

void frmMain::ShowCounterValue()
{
    setCounterText(counterValueText(vars.RxData));
}

void frmMain::setCounterText(const QString &text)
{
    // The display is sized for six digits and a sign; a longer value (the
    // counter is 32 bits wide) is drawn smaller rather than cut off. Each
    // text starts again from the display's own size.
    const int room = lblCounter->contentsRect().width() - 2 * lblCounter->indent();
    lblCounter->setFont(fontToFit(uiFont(CounterPixelSize, true), text, room, SmallestCounterPixelSize));
    lblCounter->setText(text);
}

void frmMain::showMessage(const Message &message)
{
    if (messages_)
        messages_(message);
    else
        modalMessageSink(this)(message);
}

} // namespace korvane
