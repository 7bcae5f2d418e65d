#include "TrafficWindow.h"

#include "common/AtomicFile.h"
#include "serial/SerialComponent.h"
#include "serial/TcpDevice.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QPainter>
#include <QScrollBar>
#include <QStaticText>
#include <QStyleOptionSlider>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace korvane {

namespace {

// A shown traffic window takes a row per exchange. What it repaints for
// that is kept to the new row: the table scrolls by moving what is already
// drawn, the cells are drawn plainly, the scroll bar repaints only when its
// handle moves and the counts line repaints only the numbers that changed.

/// The table: Ctrl+C copies whole selected rows rather than the current
/// cell, and rows added at the end are laid out without repainting the rows
/// already shown.
class TrafficTable : public QTableView {
public:
    TrafficTable(TrafficWindow *window) : QTableView(window), window_(window) {}

    /// Rows were added at the end, or dropped at the top while the table
    /// follows the end (what is shown was moved up already).
    void appended() { appended_ = true; }
    /// Lays the table out now rather than on the next pass of the event
    /// loop: the new row then scrolls into view and paints in the same pass
    /// as the rest of the exchange's changes, not in a pass of its own.
    void layOutNow() { executeDelayedItemsLayout(); }
    /// Any other change: the next layout repaints everything.
    void changed() { changed_ = true; }

    void doItemsLayout() override
    {
        const bool onlyAppended = appended_ && !changed_;
        appended_ = changed_ = false;
        if (onlyAppended)
            updateGeometries();
        else
            QTableView::doItemsLayout();
    }

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
    bool appended_ = false;
    bool changed_ = false;
};

/// Cells as one line of plain text, cut at the cell's edge (a note's tool
/// tip shows it whole); the styled delegate lays out and elides every cell.
class PlainTextDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
            : (option.state & QStyle::State_Active)                                 ? QPalette::Normal
                                                                                    : QPalette::Inactive;
        if (selected)
            painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
        const QRect room = option.rect.adjusted(3, 0, -3, 0);
        if (room.width() <= 0)
            return;
        const QFontMetrics fm(option.font);
        // No more characters than could show: a note is longer than its column.
        const QString text = index.data(Qt::DisplayRole).toString().left(room.width() / narrowest(fm) + 2);
        painter->save();
        painter->setClipRect(room);
        painter->setFont(option.font);
        painter->setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        const qreal top = room.top() + (room.height() - fm.height()) / 2;
        if (index.column() == TrafficModel::Time || index.column() == TrafficModel::Note)
            painter->drawText(QPointF(room.left(), top + fm.ascent()), text);
        else
            painter->drawStaticText(QPointF(room.left(), top), laidOut(text, option.font, painter->transform()));
        painter->restore();
    }

private:
    /// The port, the slave, the command, the frames and the status word
    /// repeat from row to row: their text is shaped once and kept (the
    /// times and notes hardly ever repeat and are drawn as they come).
    const QStaticText &laidOut(const QString &text, const QFont &font, const QTransform &transform) const
    {
        if (font != font_) {
            font_ = font;
            laidOut_.clear();
        }
        auto it = laidOut_.find(text);
        if (it == laidOut_.end()) {
            if (laidOut_.size() >= 256) // bounded: the numbers written come and go
                laidOut_.clear();
            QStaticText staticText(text);
            staticText.setTextFormat(Qt::PlainText);
            staticText.prepare(transform, font);
            it = laidOut_.insert(text, staticText);
        }
        return *it;
    }

    static int narrowest(const QFontMetrics &fm)
    {
        int least = fm.horizontalAdvance(QLatin1Char('i'));
        for (QChar c : QStringLiteral("l.,:;'!|() "))
            least = std::min(least, fm.horizontalAdvance(c));
        return std::max(1, least);
    }

    mutable QFont font_;
    mutable QHash<QString, QStaticText> laidOut_;
};

/// A scroll bar that repaints only when what it shows changes: with many
/// rows, one more moves its handle by less than a pixel. A new row changes
/// the range first and the value after it (the table follows the end), so
/// the look is compared once both have settled, not at each step: between
/// the two the value is not yet at the maximum and the look would seem to
/// change twice per row.
class QuietScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

protected:
    void sliderChange(SliderChange change) override
    {
        if (change != SliderValueChange && change != SliderRangeChange) {
            QScrollBar::sliderChange(change);
            return;
        }
        if (settling_)
            return;
        settling_ = true;
        QMetaObject::invokeMethod(this, [this] { settle(); }, Qt::QueuedConnection);
    }

private:
    struct Look {
        QRect handle;
        bool atMinimum = false, atMaximum = false;
        bool operator==(const Look &o) const
        {
            return handle == o.handle && atMinimum == o.atMinimum && atMaximum == o.atMaximum;
        }
    };

    void settle()
    {
        settling_ = false;
        QStyleOptionSlider option;
        initStyleOption(&option);
        const Look look{style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
                        value() == minimum(), value() == maximum()};
        if (look == shown_)
            return;
        shown_ = look;
        QScrollBar::sliderChange(SliderValueChange);
    }

    Look shown_{QRect(-1, -1, 0, 0)};
    bool settling_ = false;
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

    auto *trafficTable = new TrafficTable(this);
    table = trafficTable;
    table->setObjectName(QStringLiteral("tblTraffic"));
    table->setVerticalScrollBar(new QuietScrollBar(Qt::Vertical, table));
    table->setItemDelegate(new PlainTextDelegate(table));
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

    countsLine = new CountsLine(this);
    countsLine->setObjectName(QStringLiteral("countsLine"));
    lblPort = new QLabel(this);
    lblPort->setObjectName(QStringLiteral("lblPort"));
    cmdClear = new QPushButton(QStringLiteral("Clear"), this);
    cmdClear->setObjectName(QStringLiteral("cmdClear"));
    cmdClear->setAutoDefault(false);
    cmdSave = new QPushButton(QStringLiteral("Save…"), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    cmdSave->setAutoDefault(false);

    auto *below = new QHBoxLayout;
    below->addWidget(countsLine, 1);
    below->addWidget(lblPort);
    below->addSpacing(12);
    below->addWidget(cmdClear);
    below->addWidget(cmdSave);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(table, 1);
    layout->addLayout(below);
    resize(1200, 360);

    connect(cmdClear, &QPushButton::clicked, this, &TrafficWindow::clear);
    connect(cmdSave, &QPushButton::clicked, this, &TrafficWindow::save);
    connect(port_, &SerialComponent::closedOnError, this, &TrafficWindow::refreshPortState);

    // New rows are followed unless the operator has scrolled up.
    QScrollBar *bar = table->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) { followRows_ = value >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (followRows_)
            bar->setValue(maximum);
    });
    // A row added at the end needs only its own place painted; rows already
    // shown stay as drawn, or move up when the table scrolls. Rows dropped
    // at the top move those shown up by as much.
    connect(model_, &QAbstractItemModel::rowsInserted, this,
            [this, trafficTable](const QModelIndex &, int first, int last) {
                if (last != model_->rowCount() - 1) {
                    trafficTable->changed();
                    return;
                }
                trafficTable->appended();
                if (table->isVisible())
                    trafficTable->layOutNow();
                // Whole rows, the grid line below them included.
                const int top = table->rowViewportPosition(first);
                const int bottom = table->rowViewportPosition(last) + table->rowHeight(last);
                table->viewport()->update(QRect(0, top, table->viewport()->width(), bottom - top));
            });
    connect(model_, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this, trafficTable](const QModelIndex &, int first, int last) {
                if (first != 0 || !followRows_ || !isVisible()) {
                    trafficTable->changed();
                    return;
                }
                table->viewport()->scroll(0, -(last - first + 1) * table->verticalHeader()->defaultSectionSize());
                trafficTable->appended();
            });
    connect(model_, &QAbstractItemModel::modelAboutToBeReset, trafficTable, &TrafficTable::changed);

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
                         ? QStringLiteral("COM%1 %2 open, %3").arg(n).arg(port_->portDevice(n),
                                                             lineSettingsInEffect(port_->portDevice(n), port_->Settings()))
                         : QStringLiteral("closed"));
    lblPort->setToolTip(port_->PortOpen() ? QString() : port_->lastError());
}

void TrafficWindow::refreshCounts()
{
    QStringList pieces{QStringLiteral("Exchanges: "),
                       QString::number(model_->exchangeCount()),
                       QStringLiteral("   Success: "),
                       QString::number(model_->statusCount(Status::Success)),
                       QStringLiteral("   CRC Err: "),
                       QString::number(model_->statusCount(Status::CrcErr)),
                       QStringLiteral("   Error: "),
                       QString::number(model_->statusCount(Status::Error))};
    if (model_->exchangeCount() > model_->rowCount())
        pieces << QStringLiteral("   (the table keeps the last %1)").arg(model_->rowLimit());
    countsLine->setPieces(pieces);
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
    if (chooseSaveFile) {
        saveChosen(chooseSaveFile());
        return;
    }
    // Opened without an event loop of its own (window-modal): a request
    // waiting for its reply meanwhile ends and shows its status on time.
    auto *dialog = new QFileDialog(this, QStringLiteral("Save Traffic"), QStringLiteral("korvane-traffic.txt"),
                                   QStringLiteral("Tab-separated text (*.txt *.tsv);;All files (*)"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, &TrafficWindow::saveChosen);
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

void TrafficWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshPortState();
    emit visibilityChanged(true);
}

void TrafficWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    emit visibilityChanged(false);
}

} // namespace korvane
