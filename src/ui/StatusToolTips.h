#pragma once
// Each status label's tool tip tells its group's last exchange: the status
// word, the note, and the frames sent and received; bytes that arrive
// after that exchange's wait update it.

#include "protocol/ExchangeRecord.h"

#include <QObject>
#include <QPointer>

#include <vector>

class QLabel;

namespace korvane {

class StatusToolTips : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    /// record is now the last exchange of label's group.
    void show(QLabel *label, const ExchangeRecord &record);
    void addLateBytes(quint64 number, const QByteArray &bytes, int msAfterSend);

private:
    struct Entry {
        QPointer<QLabel> label;
        ExchangeRecord record;
    };
    std::vector<Entry> entries_;
};

} // namespace korvane
