#pragma once
// The traffic table: one row per exchange, newest last, bounded to the
// latest rows; the counts of exchanges and status words keep counting
// beyond the bound.

#include "protocol/ExchangeRecord.h"

#include <QAbstractTableModel>

#include <array>
#include <deque>

namespace korvane {

class TrafficModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, Port, Slave, Command, Sent, Received, StatusColumn, Note, ColumnCount };
    /// Rows kept unless setRowLimit() says otherwise.
    static constexpr int DefaultRowLimit = 10000;

    explicit TrafficModel(QObject *parent = nullptr);

    /// Keeps at most `rows` rows (at least 1), dropping the oldest.
    void setRowLimit(int rows);
    int rowLimit() const { return rowLimit_; }

    void addRecord(const ExchangeRecord &record);
    /// Bytes that came after the wait of exchange `number`; its row, if
    /// still kept, shows them at once.
    void addLateBytes(quint64 number, const QByteArray &bytes, int msAfterSend);
    /// Empties the table and sets the counts to zero.
    void clear();

    /// Exchanges counted since the start or the last clear(), kept or not.
    qint64 exchangeCount() const { return exchanges_; }
    qint64 statusCount(Status status) const { return statusCounts_[std::size_t(status)]; }

    const ExchangeRecord &record(int row) const { return rows_[std::size_t(row)]; }
    QString cellText(int row, int column) const;
    /// One row as tab-separated text (no line end).
    QString rowText(int row) const;
    /// The column captions as tab-separated text (no line end).
    static QString headerText();
    /// The header and every row, one line each.
    QString tableText() const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    void dropOldest(std::size_t keep);
    int rowOf(quint64 number) const;

    std::deque<ExchangeRecord> rows_;
    int rowLimit_ = DefaultRowLimit;
    qint64 exchanges_ = 0;
    std::array<qint64, 3> statusCounts_{};
};

} // namespace korvane
