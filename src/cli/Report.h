#pragma once
// What korvane-cli prints about a request: the JSON object (one line of
// JSON Lines, keys in a fixed order), the verbose line with what the
// traffic window's row shows, and the one-line failure message.

#include "Outcome.h"

#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace korvane::cli {

/// One request as it ended.
struct RequestResult {
    ExchangeRecord record;
    Outcome outcome = Outcome::NotSent;
    std::optional<qint32> value;  ///< the counter, for a read that succeeded
    double elapsedMs = 0;         ///< from the command's start to its end
};

/// Where the requests go: the same for every request of a run.
struct ReportContext {
    QString port;   ///< "COM1" or the path as given
    QString line;   ///< "9600,n,8,2"
    int slave = 0;
};

using JsonFields = QList<QPair<QString, QJsonValue>>;

/// One JSON object on one line, the keys in the order given.
QString jsonLine(const JsonFields &fields);

/// A time as ISO 8601 text with milliseconds and the UTC offset.
QString isoTime(const QDateTime &time);

/// The keys of a request: time, port, device, slave, line, command, sent,
/// received, status, note, value (null unless a counter was read),
/// elapsed_ms.
JsonFields requestFields(const ReportContext &context, const RequestResult &result);

/// The traffic window's row for the request, on one line: time, port and
/// device, slave, command, bytes sent and received, status word, outcome
/// and note.
QString verboseLine(const ReportContext &context, const RequestResult &result);

/// Why a request failed, for standard error: "read: no-reply: no reply
/// within the wait (100 ms)".
QString failureText(const RequestResult &result);

/// A number with its sign ("+3", "-2", "0").
QString signedNumber(qint64 n);

/// Milliseconds for people and JSON: one decimal.
double roundedMs(double ms);

} // namespace korvane::cli
