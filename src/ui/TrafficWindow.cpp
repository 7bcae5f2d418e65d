#include "TrafficWindow.h"

#include "serial/SerialComponent.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace korvane {

namespace {

/// The table, with Ctrl+C copying whole selected rows rather than the
/// current cell.
class TrafficTable : public QTableView {
public:
    TrafficTable(TrafficWindow *window) : QTableView(window), window_(window) {}

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event == QKeySequence::Copy) {
            window_->copySelection();
            event->accept();
            return;
        }
        QTableView::keyPressEvent(event);
    }

private:
    TrafficWindow *window_;
};

} // namespace

TrafficWindow::TrafficWindow(const SerialComponent *port, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , port_(port)
    , model_(new TrafficModel(this))
{
    Q_ASSERT(port);
    setObjectName(QStringLiteral("frmTraffic"));
    setWindowTitle(QStringLiteral("KORVANE Traffic"));

    table = new TrafficTable(this);
    table->setObjectName(QStringLiteral("tblTraffic"));
    table->setModel(model_);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(false);
    table->setCornerButtonEnabled(false);
    // Rows of one fixed height: nothing is measured as rows come and go.
    table->verticalHeader()->hide();
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    table->horizontalHeader()->setStretchLastSection(true);
    table->horizontalHeader()->setHighlightSections(false);
    const QFontMetrics fm = table->fontMetrics();
    const auto widthOf = [&](const char *sample) { return fm.horizontalAdvance(QLatin1String(sample)) + 16; };
    table->setColumnWidth(TrafficModel::Time, widthOf("00:00:00.000"));
    table->setColumnWidth(TrafficModel::Port, widthOf("COM1 /dev/ttyUSB0"));
    table->setColumnWidth(TrafficModel::Slave, widthOf("Slave"));
    table->setColumnWidth(TrafficModel::Command, widthOf("Read Counter Value"));
    table->setColumnWidth(TrafficModel::Sent, widthOf("01 10 00 00 00 02 04 00 01 E2 40 EB 3F"));
    table->setColumnWidth(TrafficModel::Received, widthOf("01 03 04 00 00 00 05 3A 30"));
    table->setColumnWidth(TrafficModel::StatusColumn, widthOf("CRC Err"));

    lblCounts = new QLabel(this);
    lblCounts->setObjectName(QStringLiteral("lblCounts"));
    lblPort = new QLabel(this);
    lblPort->setObjectName(QStringLiteral("lblPort"));
    cmdClear = new QPushButton(QStringLiteral("Clear"), this);
    cmdClear->setObjectName(QStringLiteral("cmdClear"));
    cmdClear->setAutoDefault(false);
    cmdSave = new QPushButton(QStringLiteral("Save…"), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    cmdSave->setAutoDefault(false);

    auto *below = new QHBoxLayout;
    below->addWidget(lblCounts, 1);
    below->addWidget(lblPort);
    below->addSpacing(12);
    below->addWidget(cmdClear);
    below->addWidget(cmdSave);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(table, 1);
    layout->addLayout(below);
    resize(1000, 360);

    connect(cmdClear, &QPushButton::clicked, this, &TrafficWindow::clear);
    connect(cmdSave, &QPushButton::clicked, this, &TrafficWindow::save);
    connect(port_, &SerialComponent::closedOnError, this, &TrafficWindow::refreshPortState);

    // New rows are followed unless the operator has scrolled up.
    connect(model_, &QAbstractItemModel::rowsAboutToBeInserted, this, [this] {
        const QScrollBar *bar = table->verticalScrollBar();
        followRows_ = bar->value() >= bar->maximum();
    });
    connect(model_, &QAbstractItemModel::rowsInserted, this, [this] {
        if (followRows_ && isVisible())
            table->scrollToBottom();
    });

    refreshCounts();
    refreshPortState();
}

void TrafficWindow::addRecord(const ExchangeRecord &record)
{
    model_->addRecord(record);
    refreshCounts();
    refreshPortState();
}

void TrafficWindow::addLateBytes(quint64 number, const QByteArray &bytes, int msAfterSend)
{
    model_->addLateBytes(number, bytes, msAfterSend);
}

void TrafficWindow::refreshPortState()
{
    const int n = port_->CommPort();
    lblPort->setText(port_->PortOpen()
                         ? QStringLiteral("COM%1 %2 open, %3").arg(n).arg(port_->portDevice(n), port_->Settings())
                         : QStringLiteral("closed"));
    lblPort->setToolTip(port_->PortOpen() ? QString() : port_->lastError());
}

void TrafficWindow::refreshCounts()
{
    QString text = QStringLiteral("Exchanges: %1   Success: %2   CRC Err: %3   Error: %4")
                       .arg(model_->exchangeCount())
                       .arg(model_->statusCount(Status::Success))
                       .arg(model_->statusCount(Status::CrcErr))
                       .arg(model_->statusCount(Status::Error));
    if (model_->exchangeCount() > model_->rowCount())
        text += QStringLiteral("   (the table keeps the last %1)").arg(model_->rowLimit());
    lblCounts->setText(text);
}

void TrafficWindow::clear()
{
    model_->clear();
    refreshCounts();
}

void TrafficWindow::copySelection()
{
    QList<int> rows;
    for (const QModelIndex &index : table->selectionModel()->selectedRows())
        rows << index.row();
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end());
    QString text;
    for (int row : rows)
        text += model_->rowText(row) + QLatin1Char('\n');
    QApplication::clipboard()->setText(text);
}

void TrafficWindow::save()
{
    const QString path = chooseSaveFile
        ? chooseSaveFile()
        : QFileDialog::getSaveFileName(this, QStringLiteral("Save Traffic"), QStringLiteral("korvane-traffic.txt"),
                                       QStringLiteral("Tab-separated text (*.txt *.tsv);;All files (*)"));
    if (path.isEmpty())
        return;
    const auto failure = saveTo(path);
    if (!failure)
        return;
    const QString text = QStringLiteral("The traffic could not be saved to %1.").arg(QDir::toNativeSeparators(path));
    if (warn)
        warn(text, *failure);
    else
        QMessageBox::warning(this, QStringLiteral("KORVANE Traffic"), text + QLatin1Char('\n') + *failure);
}

std::optional<QString> TrafficWindow::saveTo(const QString &path) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    const QByteArray bytes = model_->tableText().toUtf8();
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

void TrafficWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshPortState();
    if (followRows_)
        table->scrollToBottom();
    emit visibilityChanged(true);
}

void TrafficWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    emit visibilityChanged(false);
}

} // namespace korvane
