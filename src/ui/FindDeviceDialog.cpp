#include "FindDeviceDialog.h"

#include "serial/TcpDevice.h"
#include "session/PortSession.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

namespace korvane {

namespace {

QString seconds(qint64 ms)
{
    return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
}

enum Column { PortColumn, DeviceColumn, SlaveColumn, BaudColumn, FormatColumn, ValueColumn, ReplyColumn };

} // namespace

FindDeviceDialog::FindDeviceDialog(PortSession &session, int slave, const IniFile &ini, DeviceSource source,
                                   QWidget *parent)
    : QDialog(parent)
    , session_(session)
    , slave_(slave)
    , ini_(ini)
{
    setObjectName(QStringLiteral("FindDeviceDialog"));
    setWindowTitle(QStringLiteral("Find Device"));
    search_.setWindowSession(&session_);
    search_.setDeviceSource(std::move(source));

    // Ports: COM1 to COM6 with their devices; the current one checked. A
    // port without a mapping whose default device does not exist is shown
    // but cannot be chosen.
    auto *portGroup = new QGroupBox(QStringLiteral("Ports"), this);
    auto *portLayout = new QVBoxLayout(portGroup);
    for (int port = 1; port <= Ports; ++port) {
        const QString device = session_.portDevice(port);
        auto *box = new QCheckBox(QStringLiteral("COM%1  %2").arg(port).arg(device), portGroup);
        box->setObjectName(QStringLiteral("chkPort%1").arg(port));
        const bool present = !session_.portDeviceMapping(port).isEmpty() || isTcpDevice(device)
                          || QFileInfo::exists(resolvedDevicePath(device));
        box->setEnabled(present);
        box->setChecked(present && port == session_.commPort());
        if (!present)
            box->setToolTip(QStringLiteral("%1 does not exist; Port Devices… gives COM%2 a device")
                                .arg(device).arg(port));
        ports_[std::size_t(port - 1)] = box;
        portLayout->addWidget(box);
    }

    auto *lineGroup = new QGroupBox(QStringLiteral("Line settings"), this);
    auto *lineLayout = new QGridLayout(lineGroup);
    for (int i = 0; i < 3; ++i) {
        bauds_[std::size_t(i)] = new QCheckBox(QStringLiteral("%1 bps").arg(SearchBauds[i]), lineGroup);
        bauds_[std::size_t(i)]->setObjectName(QStringLiteral("chkBaud%1").arg(SearchBauds[i]));
        bauds_[std::size_t(i)]->setChecked(true);
        lineLayout->addWidget(bauds_[std::size_t(i)], 0, i);
        const QString format = searchFormatNames().value(i);
        formats_[std::size_t(i)] = new QCheckBox(format, lineGroup);
        formats_[std::size_t(i)]->setObjectName(QStringLiteral("chkFormat%1").arg(format));
        formats_[std::size_t(i)]->setChecked(true);
        lineLayout->addWidget(formats_[std::size_t(i)], 1, i);
    }

    auto *rangeGroup = new QGroupBox(QStringLiteral("Addresses and wait"), this);
    auto *rangeLayout = new QGridLayout(rangeGroup);
    firstAddress = new QSpinBox(rangeGroup);
    lastAddress = new QSpinBox(rangeGroup);
    for (QSpinBox *box : {firstAddress, lastAddress})
        box->setRange(1, 247);
    firstAddress->setValue(1);
    lastAddress->setValue(247);
    probeWait = new QSpinBox(rangeGroup);
    probeWait->setRange(20, 1000);
    probeWait->setValue(100);
    probeWait->setSuffix(QStringLiteral(" ms"));
    stopAtFirst = new QCheckBox(QStringLiteral("Stop at the first device found"), rangeGroup);
    stopAtFirst->setChecked(true);
    rangeLayout->addWidget(new QLabel(QStringLiteral("From address"), rangeGroup), 0, 0);
    rangeLayout->addWidget(firstAddress, 0, 1);
    rangeLayout->addWidget(new QLabel(QStringLiteral("to"), rangeGroup), 0, 2);
    rangeLayout->addWidget(lastAddress, 0, 3);
    rangeLayout->addWidget(new QLabel(QStringLiteral("Probe wait"), rangeGroup), 1, 0);
    rangeLayout->addWidget(probeWait, 1, 1);
    rangeLayout->addWidget(stopAtFirst, 2, 0, 1, 4);

    cmdStart = new QPushButton(QStringLiteral("Start"), this);
    cmdStart->setObjectName(QStringLiteral("cmdStart"));
    cmdStart->setDefault(true);
    lblProblem = new QLabel(this);
    lblProblem->setObjectName(QStringLiteral("lblProblem"));
    lblProblem->setWordWrap(true);
    lblWait = new QLabel(this);
    lblWait->setObjectName(QStringLiteral("lblWait"));
    lblWait->setWordWrap(true);
    progress = new QProgressBar(this);
    progress->setObjectName(QStringLiteral("progress"));
    progress->setFormat(QStringLiteral("%v / %m probes"));
    progress->setValue(0);
    lblProbe = new QLabel(this);
    lblProbe->setObjectName(QStringLiteral("lblProbe"));
    lblTime = new QLabel(this);
    lblTime->setObjectName(QStringLiteral("lblTime"));

    results = new QTableWidget(0, 7, this);
    results->setObjectName(QStringLiteral("results"));
    results->setHorizontalHeaderLabels({QStringLiteral("Port"), QStringLiteral("Device"), QStringLiteral("Slave"),
                                        QStringLiteral("Baud"), QStringLiteral("Format"),
                                        QStringLiteral("Counter"), QStringLiteral("Reply (ms)")});
    results->setSelectionBehavior(QAbstractItemView::SelectRows);
    results->setSelectionMode(QAbstractItemView::SingleSelection);
    results->setEditTriggers(QAbstractItemView::NoEditTriggers);
    results->verticalHeader()->hide();
    results->horizontalHeader()->setStretchLastSection(true);
    cmdUse = new QPushButton(QStringLiteral("Use"), this);
    cmdUse->setObjectName(QStringLiteral("cmdUse"));
    cmdUse->setEnabled(false);
    verdicts = new QPlainTextEdit(this);
    verdicts->setObjectName(QStringLiteral("verdicts"));
    verdicts->setReadOnly(true);
    verdicts->setMaximumBlockCount(200);
    cmdEcho = new QPushButton(this);
    cmdEcho->setObjectName(QStringLiteral("cmdEcho"));
    cmdEcho->hide();

    auto *choices = new QHBoxLayout;
    choices->addWidget(portGroup);
    auto *right = new QVBoxLayout;
    right->addWidget(lineGroup);
    right->addWidget(rangeGroup);
    choices->addLayout(right);
    auto *startRow = new QHBoxLayout;
    startRow->addWidget(cmdStart);
    startRow->addWidget(lblProblem, 1);
    auto *useRow = new QHBoxLayout;
    useRow->addStretch(1);
    useRow->addWidget(cmdUse);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(choices);
    layout->addLayout(startRow);
    layout->addWidget(lblWait);
    layout->addWidget(progress);
    layout->addWidget(lblProbe);
    layout->addWidget(lblTime);
    layout->addWidget(results, 1);
    layout->addLayout(useRow);
    layout->addWidget(verdicts);
    layout->addWidget(cmdEcho);
    resize(720, 640);

    // Start is offered only for a choice that can be searched, with the
    // reason shown otherwise; it follows every change of the choices.
    for (QCheckBox *box : ports_)
        connect(box, &QCheckBox::toggled, this, &FindDeviceDialog::updateStartButton);
    for (QCheckBox *box : bauds_)
        connect(box, &QCheckBox::toggled, this, &FindDeviceDialog::updateStartButton);
    for (QCheckBox *box : formats_)
        connect(box, &QCheckBox::toggled, this, &FindDeviceDialog::updateStartButton);
    for (QSpinBox *box : {firstAddress, lastAddress, probeWait})
        connect(box, &QSpinBox::valueChanged, this, &FindDeviceDialog::updateStartButton);
    connect(cmdStart, &QPushButton::clicked, this, [this] {
        if (search_.isRunning())
            stopSearch();
        else
            startSearch();
    });
    connect(results, &QTableWidget::itemSelectionChanged, this,
            [this] { cmdUse->setEnabled(!results->selectedItems().isEmpty()); });
    connect(cmdUse, &QPushButton::clicked, this, [this] {
        const int row = results->currentRow();
        if (row < 0 || row >= found_.size())
            return;
        const FoundDevice device = found_.at(row);
        // The port is given back before the window takes it.
        search_.stop();
        emit useDevice(device);
        close();
    });
    connect(cmdEcho, &QPushButton::clicked, this, &FindDeviceDialog::turnOnEchoRemoval);

    connect(&search_, &DeviceSearch::progress, this, &FindDeviceDialog::showProgress);
    connect(&search_, &DeviceSearch::deviceFound, this, &FindDeviceDialog::addResult);
    connect(&search_, &DeviceSearch::portFinished, this,
            [this](const PortReport &report) { verdicts->appendPlainText(report.verdict); });
    connect(&search_, &DeviceSearch::finished, this, &FindDeviceDialog::searchEnded);
    updateStartButton();
}

FindDeviceDialog::~FindDeviceDialog()
{
    // The engine's own end gives the ports back; the window hears of it.
    if (search_.isRunning()) {
        search_.disconnect(this);
        search_.stop();
        emit searchingChanged(false);
    }
}

SearchOptions FindDeviceDialog::options() const
{
    SearchOptions o;
    for (int port = 1; port <= Ports; ++port) {
        if (ports_[std::size_t(port - 1)]->isChecked())
            o.ports << SearchPort{port, session_.portDevice(port), session_.removeEcho(port)};
    }
    o.bauds.clear();
    o.formats.clear();
    for (int i = 0; i < 3; ++i) {
        if (bauds_[std::size_t(i)]->isChecked())
            o.bauds << SearchBauds[i];
        if (formats_[std::size_t(i)]->isChecked())
            o.formats << searchFormatNames().value(i);
    }
    o.firstAddress = firstAddress->value();
    o.lastAddress = lastAddress->value();
    o.currentAddress = slave_;
    o.currentSettings = session_.settings();
    o.probeWaitMs = probeWait->value();
    o.stopAtFirst = stopAtFirst->isChecked();
    return o;
}

void FindDeviceDialog::updateStartButton()
{
    if (search_.isRunning())
        return;
    const SearchOptions o = options();
    const auto why = whyNotSearchable(o);
    cmdStart->setEnabled(!why);
    lblProblem->setText(why.value_or(QString()));
    QStringList raised;
    for (const RaisedWait &r : raisedWaits(o))
        raised << QStringLiteral("%1 ms at %2 bps").arg(r.waitMs).arg(r.baud);
    lblWait->setText(raised.isEmpty() ? QString()
                                      : QStringLiteral("The probe wait is too short for the line and is raised to %1.")
                                            .arg(raised.join(QStringLiteral(", "))));
}

void FindDeviceDialog::startSearch()
{
    if (search_.isRunning())
        return;
    results->setRowCount(0);
    found_.clear();
    verdicts->clear();
    cmdEcho->hide();
    echoPorts_.clear();
    if (const auto why = search_.start(options())) {
        lblProblem->setText(*why);
        return;
    }
    cmdStart->setText(QStringLiteral("Stop"));
    progress->setRange(0, search_.totalProbes());
    progress->setValue(0);
    emit searchingChanged(true);
}

void FindDeviceDialog::stopSearch()
{
    search_.stop();
}

void FindDeviceDialog::showProgress(const SearchProgress &p)
{
    progress->setRange(0, qMax(1, p.total));
    progress->setValue(p.done);
    const QString setting = p.settings.isEmpty() ? QString() : QStringLiteral(", ") + settingsLabel(p.settings);
    lblProbe->setText(QStringLiteral("%1%2, address %3%4")
                          .arg(portName(p.commPort, p.device), setting)
                          .arg(p.address)
                          .arg(p.confirming ? QStringLiteral(" (second read)") : QString()));
    lblTime->setText(QStringLiteral("%1 elapsed, about %2 left").arg(seconds(p.elapsedMs), seconds(p.remainingMs)));
}

void FindDeviceDialog::addResult(const FoundDevice &device)
{
    found_ << device;
    const int row = results->rowCount();
    results->insertRow(row);
    const QStringList cells = {
        device.commPort > 0 ? QStringLiteral("COM%1").arg(device.commPort) : QString(),
        device.device,
        QString::number(device.slave),
        device.baud > 0 ? QString::number(device.baud) : QString(),
        device.format,
        QString::number(device.counter),
        device.replyMs >= 0 ? QString::number(device.replyMs) : QString(),
    };
    for (int column = 0; column < cells.size(); ++column)
        results->setItem(row, column, new QTableWidgetItem(cells.at(column)));
    // The first result is the one "Use" takes unless another is chosen.
    if (row == 0)
        results->selectRow(0);
}

void FindDeviceDialog::searchEnded(const SearchReport &report)
{
    cmdStart->setText(QStringLiteral("Start"));
    progress->setRange(0, qMax(1, report.probesTotal));
    progress->setValue(report.probesDone);
    lblProbe->setText(report.devices.isEmpty()
                          ? (report.stopped ? QStringLiteral("Stopped; no device found.")
                                            : QStringLiteral("No device found."))
                          : QStringLiteral("%1 device(s) found.").arg(report.devices.size()));
    lblTime->setText(QStringLiteral("%1 probes in %2").arg(report.probesDone).arg(seconds(report.elapsedMs)));
    // A port that heard its own requests: offer echo removal there, stored
    // as Port Devices stores it, and a new search of those ports.
    for (const PortReport &port : report.ports) {
        if (port.echoHeard() && !port.removeEcho && port.commPort > 0 && port.devices.isEmpty())
            echoPorts_ << port.commPort;
    }
    if (!echoPorts_.isEmpty()) {
        QStringList names;
        for (int port : std::as_const(echoPorts_))
            names << QStringLiteral("COM%1").arg(port);
        cmdEcho->setText(QStringLiteral("Turn on echo removal for %1 and search again").arg(names.join(QStringLiteral(", "))));
        cmdEcho->show();
    }
    updateStartButton();
    emit searchingChanged(false);
}

void FindDeviceDialog::turnOnEchoRemoval()
{
    const QList<int> ports = echoPorts_;
    QStringList failed;
    for (int port : ports) {
        if (!session_.storeRemoveEcho(port, true, ini_))
            failed << QStringLiteral("COM%1").arg(port);
    }
    for (int port = 1; port <= Ports; ++port)
        ports_[std::size_t(port - 1)]->setChecked(ports.contains(port));
    startSearch();
    if (!failed.isEmpty())
        verdicts->appendPlainText(QStringLiteral("Echo removal for %1 is on until KORVANE closes; it could not be "
                                                 "stored in %2.")
                                      .arg(failed.join(QStringLiteral(", ")), ini_.path()));
}

void FindDeviceDialog::closeEvent(QCloseEvent *event)
{
    // Closing ends the search; the ports are given back at once.
    search_.stop();
    QDialog::closeEvent(event);
}

} // namespace korvane
