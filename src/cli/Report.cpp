#include "Report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <cmath>

namespace korvane::cli {

namespace {
// One JSON value as Qt's writer gives it, inside no array.
QString jsonText(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}
} // namespace

QString jsonLine(const JsonFields &fields)
{
    // QJsonObject would sort the keys.
    QStringList pairs;
    for (const auto &[key, value] : fields)
        pairs << jsonText(key) + QLatin1Char(':') + jsonText(value);
    return QLatin1Char('{') + pairs.join(QLatin1Char(',')) + QLatin1Char('}');
}

QString isoTime(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

double roundedMs(double ms)
{
    return std::round(ms * 10) / 10;
}

JsonFields requestFields(const ReportContext &c, const RequestResult &r)
{
    const ExchangeRecord &e = r.record;
    return {
        {QStringLiteral("time"), isoTime(e.time)},
        {QStringLiteral("port"), c.port},
        {QStringLiteral("device"), e.device},
        {QStringLiteral("slave"), c.slave},
        {QStringLiteral("line"), c.line},
        {QStringLiteral("command"), e.command},
        {QStringLiteral("sent"), hexBytes(e.sent)},
        {QStringLiteral("received"), hexBytes(e.taken)},
        {QStringLiteral("status"), outcomeName(r.outcome)},
        {QStringLiteral("note"), explainExchange(e)},
        {QStringLiteral("value"), r.value ? QJsonValue(*r.value) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("elapsed_ms"), roundedMs(r.elapsedMs)},
    };
}

QString verboseLine(const ReportContext &c, const RequestResult &r)
{
    const ExchangeRecord &e = r.record;
    const QString nothing = QStringLiteral("nothing");
    const QString received = receivedText(e);
    return QStringLiteral("%1  %2 %3  slave %4  %5  sent: %6  received: %7  %8 (%9)  %10")
        .arg(e.time.toString(QStringLiteral("HH:mm:ss.zzz")), c.port, e.device, e.slave ? QString::number(*e.slave) : QStringLiteral("-"), e.command,
             e.sent.isEmpty() ? nothing : hexBytes(e.sent), received.isEmpty() ? nothing : received,
             statusWord(e.status), outcomeName(r.outcome), explainExchange(e));
}

QString failureText(const RequestResult &r)
{
    QString text = QStringLiteral("%1: %2: %3").arg(r.record.command, outcomeName(r.outcome), explainExchange(r.record));
    const std::uint8_t function = r.record.sent.size() >= 2 ? std::uint8_t(r.record.sent[1]) : 0;
    // The request heard back in front of whatever came: the adapter hears
    // itself, and --echo would remove that.
    if (r.outcome != Outcome::Ok && function != 5 && function != 6 && !r.record.sent.isEmpty()
        && r.record.echoRemoved == 0 && !r.record.echoMissing && r.record.taken.startsWith(r.record.sent))
        text += QStringLiteral(" (the request came back as an echo: try --echo)");
    return text;
}

QString signedNumber(qint64 n)
{
    return n > 0 ? QStringLiteral("+%1").arg(n) : QString::number(n);
}

} // namespace korvane::cli
