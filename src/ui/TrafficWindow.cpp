#include "TrafficWindow.h"
#include "TrafficCells.h"

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
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace korvane {

namespace {

// A shown traffic window takes a row per exchange. What it does for that is
// kept to the new row: the table scrolls by moving what is already drawn and
// lays out only the scroll bar's new range, the cells are drawn plainly (and
// copied where their text repeats, see TrafficCells), the grid is drawn as
// rectangles, the scroll bar repaints only when its handle moves and the
// counts line repaints only the numbers that changed.

/// A scroll bar that repaints only when what it shows changes: with many
/// rows, one more moves its handle by less than a pixel. A new row changes
/// the range first and the value after it (the table follows the end), so
/// the look is compared once both have settled, not at each step: between
/// the two the value is not yet at the maximum and the look would seem to
/// change twice per row.
class QuietScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

    /// Runs the changes and compares the look once, at once, after them.
    template<typename Changes>
    void change(Changes changes)
    {
        const bool wasSettling = settling_;
        settling_ = true;
        changes();
        settling_ = wasSettling;
        settle();
    }

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

/// The table: Ctrl+C copies whole selected rows rather than the current
/// cell, and rows added at the end are laid out without repainting the rows
/// already shown.
class TrafficTable : public QTableView {
public:
    TrafficTable(TrafficWindow *window) : QTableView(window), window_(window)
    {
        // The grid is drawn here as rectangles, the same pixels as the
        // table's own lines: those go through the line stroker, pixel by
        // pixel, and cost more than the rest of a new row together.
        setShowGrid(false);
    }

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
        if (!onlyAppended)
            QTableView::doItemsLayout();
        else if (!followQuickly())
            updateGeometries();
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QTableView::paintEvent(event);
        if (!showGrid())
            drawGrid(event->region());
    }

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
    /// Rows added at the end change only the vertical scroll bar's range
    /// once the bar is shown: everything else the table lays out (the
    /// headers, the margins, the other scroll bar) stays as it is, and
    /// laying it all out again costs more than the new row's cells. Rows
    /// of one height, none hidden, scrolled row by row: the range is then
    /// the rows beyond those that fit, as the table itself works it out.
    bool followQuickly()
    {
        QHeaderView *rows = verticalHeader();
        auto *bar = static_cast<QuietScrollBar *>(verticalScrollBar());
        const int count = rows->count();
        if (verticalScrollMode() != ScrollPerItem || !rows->isHidden() || rows->hiddenSectionCount() != 0
            || count == 0 || rows->sectionResizeMode(0) != QHeaderView::Fixed
            || rows->length() != count * rows->defaultSectionSize() || !bar->isVisible() || bar->maximum() == 0)
            return false;
        const int inView = std::clamp(viewport()->height() / rows->defaultSectionSize(), 1, count);
        if (inView != bar->pageStep())
            return false;
        // The table follows the new maximum (see rangeChanged), scrolling
        // the rows as the scroll bar moves.
        bar->change([&] { bar->setRange(0, count - inView); });
        return true;
    }

    /// A line below every row and right of every column, within the rows
    /// and columns there are, as the table draws its grid (left to right).
    void drawGrid(const QRegion &region)
    {
        QHeaderView *rows = verticalHeader();
        QHeaderView *columns = horizontalHeader();
        if (rows->count() == 0 || columns->count() == 0)
            return;
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        const QColor colour = QColor::fromRgba(
            static_cast<QRgb>(style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this)));
        const int lastY = rows->length() - rows->offset() - 1;
        const int lastX = columns->length() - columns->offset() - 1;
        QPainter painter(viewport());
        for (QRect area : region) {
            area.setBottom(std::min(area.bottom(), lastY));
            area.setRight(std::min(area.right(), lastX));
            if (!area.isValid())
                continue;
            const int top = rows->visualIndexAt(area.top());
            int bottom = rows->visualIndexAt(area.bottom());
            if (bottom < 0)
                bottom = rows->count() - 1;
            if (top < 0 || top > bottom)
                continue;
            for (int row = top; row <= bottom; ++row) {
                const int y = rowViewportPosition(row) + rowHeight(row) - 1;
                painter.fillRect(QRect(area.left(), y, area.width(), 1), colour);
            }
            int left = columns->visualIndexAt(area.left());
            int right = columns->visualIndexAt(area.right());
            if (left < 0)
                left = 0;
            if (right < 0)
                right = columns->count() - 1;
            for (int column = left; column <= right; ++column) {
                const int x = columnViewportPosition(column) + columnWidth(column) - 1;
                painter.fillRect(QRect(x, area.top(), 1, area.height()), colour);
            }
        }
    }

    TrafficWindow *window_;
    bool appended_ = false;
    bool changed_ = false;
};

QFont withoutShaping(QFont font)
{
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

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
    auto *cells = new TrafficCellDelegate(table);
    cells->setRepeats(TrafficModel::Time, TrafficCellDelegate::Repeats::Never);
    cells->setRepeats(TrafficModel::Note, TrafficCellDelegate::Repeats::Words);
    table->setItemDelegate(cells);
    table->setModel(model_);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(false);
    // Hex bytes, times and plain words need no shaping, and a shown window
    // draws a row per exchange: skipping it halves the cost of drawing text.
    table->setFont(withoutShaping(table->font()));
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
    countsLine->setFont(withoutShaping(countsLine->font()));
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
