#include "SlaveAddress.h"

namespace korvane {

std::optional<std::uint8_t> slaveAddressFromText(const QString &text)
{
    const QString t = text.trimmed();
    // The entries are plain decimal texts: no sign, no leading zero.
    if (t.isEmpty() || t.size() > 3 || t[0] == QLatin1Char('0'))
        return std::nullopt;
    int value = 0;
    for (const QChar c : t) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value > HighestSlaveAddress)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

} // namespace korvane
