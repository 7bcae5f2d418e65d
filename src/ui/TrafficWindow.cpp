#include "TrafficWindow.h"
#include "BesideWindow.h"

#include "common/AtomicFile.h"
#include "serial/SerialComponent.h"
#include "serial/TcpDevice.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace korvane {

namespace {

/// The file dialog of "Save…". Its "Save" asks whether to replace an
/// existing file in a loop of its own, which would hold up a request
/// waiting meanwhile: `hold` says whether to keep it for later instead.
class SaveDialog : public QFileDialog {
public:
    SaveDialog(QWidget *parent, std::function<bool()> hold)
        : QFileDialog(parent, QStringLiteral("Save Traffic"), QStringLiteral("korvane-traffic.txt"),
                      QStringLiteral("Tab-separated text (*.txt *.tsv);;All files (*)"))
        , hold_(std::move(hold))
    {
        setAcceptMode(QFileDialog::AcceptSave);
    }

    void accept() override
    {
        if (!hold_())
            QFileDialog::accept();
    }

private:
    std::function<bool()> hold_;
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

    table = new QTableView(this);
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
    // Ctrl+C copies whole selected rows (the table's own copies one cell).
    auto *copy = new QAction(QStringLiteral("Copy"), table);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    table->addAction(copy);
    connect(copy, &QAction::triggered, this, &TrafficWindow::copySelection);

    lblCounts = new QLabel(this);
    lblCounts->setObjectName(QStringLiteral("lblCounts"));
    lblPort = new QLabel(this);
    lblPort->setObjectName(QStringLiteral("lblPort"));
    // Long texts are cut rather than widening the window.
    lblCounts->setMinimumWidth(1);
    lblPort->setMinimumWidth(1);
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
    setMinimumSize(SmallestSize);
    resize(PreferredSize);

    connect(cmdClear, &QPushButton::clicked, this, &TrafficWindow::clear);
    connect(cmdSave, &QPushButton::clicked, this, &TrafficWindow::save);
    connect(port_, &SerialComponent::closedOnError, this, &TrafficWindow::refreshPortState);

    refreshCounts();
    refreshPortState();
}

void TrafficWindow::addRecord(const ExchangeRecord &record)
{
    // New rows are followed unless the operator has scrolled up; then the
    // rows in view stay there, also when the oldest are dropped at the
    // bound (the table itself would scroll to its current row, moved off a
    // dropped one). A hidden window only keeps the row: following it and
    // the counts cost a request half a millisecond each time, and showing
    // the window catches up (showEvent).
    if (!isVisible()) {
        model_->addRecord(record);
        return;
    }
    QScrollBar *bar = table->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    const int top = bar->value();
    const int rowsBefore = model_->rowCount();
    model_->addRecord(record);
    if (atEnd)
        table->scrollToBottom();
    else
        bar->setValue(top - (rowsBefore + 1 - model_->rowCount()));
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
                         ? QStringLiteral("COM%1 %2 open, %3").arg(n).arg(port_->portDevice(n),
                                                             lineSettingsInEffect(port_->portDevice(n), port_->Settings()))
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
    if (held(Held::Clear))
        return;
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
    if (held(Held::Save))
        return;
    if (chooseSaveFile) {
        saveChosen(chooseSaveFile());
        return;
    }
    // Opened without an event loop of its own (window-modal): a request
    // started meanwhile ends and shows its status on time.
    auto *dialog = new SaveDialog(this, [this] { return held(Held::SaveChosen); });
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, &TrafficWindow::saveChosen);
    connect(dialog, &QDialog::finished, this, &TrafficWindow::carryOutHeld, Qt::QueuedConnection);
    saveDialog_ = dialog;
    dialog->open();
}

void TrafficWindow::saveChosen(const QString &path)
{
    if (path.isEmpty())
        return;
    const auto failure = saveTo(path);
    if (!failure)
        return;
    const QString text = QStringLiteral("The traffic could not be saved to %1.").arg(QDir::toNativeSeparators(path));
    if (warn) {
        warn(text, *failure);
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("KORVANE Traffic"),
                                text + QLatin1Char('\n') + *failure, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

std::optional<QString> TrafficWindow::saveTo(const QString &path) const
{
    return replaceFile(path, model_->tableText().toUtf8());
}

bool TrafficWindow::held(Held what)
{
    if (!waiting_)
        return false;
    if (!held_.contains(what))
        held_.append(what);
    return true;
}

void TrafficWindow::setWaiting(bool waiting)
{
    waiting_ = waiting;
    // Carried out once the request has shown its status, outside the
    // handler that ran it: the question whether to replace a file waits in
    // a loop of its own.
    if (!waiting_ && !held_.isEmpty())
        QMetaObject::invokeMethod(this, &TrafficWindow::carryOutHeld, Qt::QueuedConnection);
}

void TrafficWindow::carryOutHeld()
{
    while (!waiting_ && !held_.isEmpty()) {
        const Held next = held_.first();
        const bool dialogOpen = saveDialog_ && saveDialog_->isVisible();
        // The file dialog keeps the operator from this window until it
        // closes: what was chosen after "Save…" waits for that as well.
        if (dialogOpen && next != Held::SaveChosen)
            return;
        held_.removeFirst();
        switch (next) {
        case Held::Save:
            save();
            break;
        case Held::Clear:
            clear();
            break;
        case Held::SaveChosen:
            if (dialogOpen)
                static_cast<QDialog *>(saveDialog_.data())->accept(); // public there
            break;
        }
    }
}

void TrafficWindow::setVisible(bool visible)
{
    if (visible && !placed_) {
        placed_ = true;
        placeBesideParent();
    }
    QWidget::setVisible(visible);
}

void TrafficWindow::placeBesideParent()
{
    const QWidget *main = parentWidget() ? parentWidget()->window() : nullptr;
    const bool mainShown = main && main->isVisible();
    const QScreen *screen = mainShown ? main->screen() : this->screen();
    if (!screen)
        return;
    // This window's frame is not known before it is shown; the main
    // window's, from the same window manager, stands in for it.
    QRect mainFrame;
    QMargins frame;
    if (mainShown) {
        mainFrame = main->frameGeometry();
        const QRect client = main->geometry();
        frame = QMargins(client.left() - mainFrame.left(), client.top() - mainFrame.top(),
                         mainFrame.right() - client.right(), mainFrame.bottom() - client.bottom());
    }
    setGeometry(besideWindow(screen->availableGeometry(), mainFrame, PreferredSize, frame, minimumSize()));
}

void TrafficWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (followWhileHidden_)
        table->scrollToBottom();
    refreshCounts();
    refreshPortState();
    emit visibilityChanged(true);
}

void TrafficWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    const QScrollBar *bar = table->verticalScrollBar();
    followWhileHidden_ = bar->value() >= bar->maximum();
    emit visibilityChanged(false);
}

} // namespace korvane
