#include "TrafficModel.h"

#include <algorithm>

namespace korvane {

namespace {

const char *const Captions[TrafficModel::ColumnCount] = {"Time", "Port",     "Slave",  "Command",
                                                         "Sent", "Received", "Status", "Note"};

// A cell of tab-separated text: tabs and line breaks would split it.
QString tsvCell(QString text)
{
    for (QChar &c : text) {
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    }
    return text;
}

} // namespace

TrafficModel::TrafficModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void TrafficModel::setRowLimit(int rows)
{
    rowLimit_ = std::max(1, rows);
    dropOldest(std::size_t(rowLimit_));
}

void TrafficModel::dropOldest(std::size_t keep)
{
    if (rows_.size() <= keep)
        return;
    const int excess = int(rows_.size() - keep);
    beginRemoveRows({}, 0, excess - 1);
    rows_.erase(rows_.begin(), rows_.begin() + excess);
    endRemoveRows();
}

void TrafficModel::addRecord(const ExchangeRecord &record)
{
    ++exchanges_;
    ++statusCounts_[std::size_t(record.status)];
    dropOldest(std::size_t(rowLimit_ - 1));
    const int row = int(rows_.size());
    beginInsertRows({}, row, row);
    rows_.push_back(record);
    endInsertRows();
}

int TrafficModel::rowOf(quint64 number) const
{
    // Numbers grow with the rows.
    const auto it = std::lower_bound(rows_.begin(), rows_.end(), number,
                                     [](const ExchangeRecord &r, quint64 n) { return r.number < n; });
    return it != rows_.end() && it->number == number ? int(it - rows_.begin()) : -1;
}

void TrafficModel::addLateBytes(quint64 number, const QByteArray &bytes, int msAfterSend)
{
    const int row = rowOf(number);
    if (row < 0)
        return;
    korvane::addLateBytes(rows_[std::size_t(row)], bytes, msAfterSend);
    emit dataChanged(index(row, Received), index(row, Note));
}

void TrafficModel::clear()
{
    beginResetModel();
    rows_.clear();
    exchanges_ = 0;
    statusCounts_ = {};
    endResetModel();
}

QString TrafficModel::cellText(int row, int column) const
{
    const ExchangeRecord &r = rows_[std::size_t(row)];
    switch (Column(column)) {
    case Time:
        return r.time.toString(QStringLiteral("hh:mm:ss.zzz"));
    case Port:
        return QStringLiteral("COM%1 %2").arg(r.commPort).arg(r.device);
    case Slave:
        if (r.slave)
            return QString::number(*r.slave);
        return r.notSent == NotSent::NoSlaveEntry ? QStringLiteral("\"%1\"").arg(r.notSentDetail) : QString();
    case Command:
        return r.command;
    case Sent:
        return hexBytes(r.sent);
    case Received:
        return receivedText(r);
    case StatusColumn:
        return statusWord(r.status);
    case Note:
        return explainExchange(r);
    case ColumnCount:
        break;
    }
    return QString();
}

QString TrafficModel::rowText(int row) const
{
    QStringList cells;
    for (int c = 0; c < ColumnCount; ++c)
        cells << tsvCell(cellText(row, c));
    return cells.join(QLatin1Char('\t'));
}

QString TrafficModel::headerText()
{
    QStringList cells;
    for (const char *caption : Captions)
        cells << QLatin1String(caption);
    return cells.join(QLatin1Char('\t'));
}

QString TrafficModel::tableText() const
{
    QString text = headerText() + QLatin1Char('\n');
    for (int row = 0; row < rowCount(); ++row)
        text += rowText(row) + QLatin1Char('\n');
    return text;
}

int TrafficModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

int TrafficModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TrafficModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    // The note and the frames can be longer than their column: the tool
    // tip shows them whole.
    if (role == Qt::DisplayRole
        || (role == Qt::ToolTipRole && (index.column() == Note || index.column() == Sent
                                        || index.column() == Received)))
        return cellText(index.row(), index.column());
    return {};
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < ColumnCount)
        return QLatin1String(Captions[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

} // namespace korvane
