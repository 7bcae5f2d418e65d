#include "StatusToolTips.h"

#include <QLabel>

namespace korvane {

void StatusToolTips::show(QLabel *label, const ExchangeRecord &record)
{
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry &e) { return e.label == label; });
    if (it == entries_.end())
        it = entries_.insert(entries_.end(), Entry{label, record});
    else
        it->record = record;
    label->setToolTip(exchangeToolTip(record));
}

void StatusToolTips::addLateBytes(quint64 number, const QByteArray &bytes, int msAfterSend)
{
    for (Entry &e : entries_) {
        if (e.record.number == number && e.label) {
            korvane::addLateBytes(e.record, bytes, msAfterSend);
            e.label->setToolTip(exchangeToolTip(e.record));
        }
    }
}

} // namespace korvane
