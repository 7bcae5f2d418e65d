#include "Numbers.h"

namespace korvane {

std::optional<qint64> parseWholeNumber(const QString &text, qint64 min, qint64 max)
{
    const QString t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-'))) {
        negative = t[i] == QLatin1Char('-');
        ++i;
    }
    if (i == t.size())
        return std::nullopt;
    // Any bound fits in 63 bits; stop before the magnitude could overflow.
    constexpr qint64 limit = qint64(1) << 62;
    qint64 magnitude = 0;
    for (; i < t.size(); ++i) {
        const QChar c = t[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        magnitude = magnitude * 10 + (c.unicode() - '0');
        if (magnitude > limit)
            return std::nullopt;
    }
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace korvane
