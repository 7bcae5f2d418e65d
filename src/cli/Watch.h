#pragma once
// watch: the counter read at a fixed period, and what the lines and the
// summary say. The period does not drift: read n is due at start +
// n x interval; a read whose time has passed when the one before ends is
// skipped (and counted), not sent late.

#include "Outcome.h"

#include <QString>

#include <optional>

namespace korvane::cli {

struct WatchSlot {
    qint64 index = 0;    ///< the read's number: it is due at index x interval
    qint64 skipped = 0;  ///< reads passed over because their time had gone
};

/// The next read after the reads before `due` were sent or skipped, when
/// elapsedMs have passed since the start.
WatchSlot nextWatchSlot(qint64 due, qint64 intervalMs, qint64 elapsedMs);

/// One read as watch reports it.
struct WatchRead {
    qint64 atMs = 0;               ///< when it started, ms after the watch's start
    std::optional<qint32> value;   ///< the counter; std::nullopt when the read failed
};

/// The running totals, and the change and rate of each read.
class WatchTally {
public:
    struct Line {
        std::optional<qint64> change;      ///< since the last good read
        std::optional<double> perMinute;   ///< that change per minute
    };
    /// Counts a read (and the reads skipped before it).
    Line add(const WatchRead &read, qint64 skippedBefore = 0);
    void addSkipped(qint64 n) { skipped_ += n; }

    qint64 reads() const { return reads_; }
    qint64 failures() const { return failures_; }
    qint64 skipped() const { return skipped_; }
    std::optional<qint32> first() const { return first_; }
    std::optional<qint32> last() const { return last_ ? std::optional<qint32>(last_->value) : std::nullopt; }
    /// The last read succeeded (none yet: false).
    bool lastSucceeded() const { return lastSucceeded_; }
    std::optional<qint64> totalChange() const;

    /// "watch: 20 reads, 1 failed, 0 skipped; first 1234, last 1300, change +66".
    QString summaryText() const;

private:
    struct Good {
        qint32 value;
        qint64 atMs;
    };
    qint64 reads_ = 0, failures_ = 0, skipped_ = 0;
    std::optional<qint32> first_;
    std::optional<Good> last_;
    bool lastSucceeded_ = false;
};

/// A watch line: "TIME  VALUE  CHANGE  RATE/min" (change and rate "-" for
/// the first read), or "TIME  FAIL  REASON".
QString watchLine(const QString &time, const WatchRead &read, const WatchTally::Line &line, const QString &failure);

} // namespace korvane::cli
