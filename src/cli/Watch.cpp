#include "Watch.h"

#include "Report.h"

namespace korvane::cli {

WatchSlot nextWatchSlot(qint64 due, qint64 intervalMs, qint64 elapsedMs)
{
    if (elapsedMs <= due * intervalMs)
        return {due, 0};
    // The first read whose time is still to come.
    const qint64 next = (elapsedMs + intervalMs - 1) / intervalMs;
    return {next, next - due};
}

WatchTally::Line WatchTally::add(const WatchRead &read, qint64 skippedBefore)
{
    skipped_ += skippedBefore;
    ++reads_;
    Line line;
    lastSucceeded_ = read.value.has_value();
    if (!read.value) {
        ++failures_;
        return line;
    }
    if (!first_)
        first_ = read.value;
    if (last_) {
        line.change = qint64(*read.value) - last_->value;
        const qint64 span = read.atMs - last_->atMs;
        if (span > 0)
            line.perMinute = double(*line.change) * 60000.0 / double(span);
    }
    last_ = Good{*read.value, read.atMs};
    return line;
}

std::optional<qint64> WatchTally::totalChange() const
{
    if (!first_ || !last_)
        return std::nullopt;
    return qint64(last_->value) - *first_;
}

QString WatchTally::summaryText() const
{
    QString text = QStringLiteral("watch: %1 reads, %2 failed, %3 skipped").arg(reads_).arg(failures_).arg(skipped_);
    if (first_)
        text += QStringLiteral("; first %1, last %2, change %3")
                    .arg(*first_).arg(last_->value).arg(signedNumber(*totalChange()));
    return text;
}

QString watchLine(const QString &time, const WatchRead &read, const WatchTally::Line &line, const QString &failure)
{
    if (!read.value)
        return QStringLiteral("%1  FAIL  %2").arg(time, failure);
    const QString change = line.change ? signedNumber(*line.change) : QStringLiteral("-");
    const QString rate = line.perMinute ? QStringLiteral("%1%2/min")
                                              .arg(*line.perMinute > 0 ? QStringLiteral("+") : QString())
                                              .arg(*line.perMinute, 0, 'f', 1)
                                        : QStringLiteral("-");
    return QStringLiteral("%1  %2  %3  %4").arg(time).arg(*read.value).arg(change, rate);
}

} // namespace korvane::cli
