#pragma once
// Makes the record of every exchange on one port, and follows the port
// between exchanges: bytes that arrive after an exchange's wait (and that
// the next request drops) belong to that exchange, and are handed on as its
// own the moment they arrive.

#include "ExchangeRecord.h"

#include <QObject>

namespace korvane {

class SerialComponent;

class TrafficRecorder : public QObject {
    Q_OBJECT
public:
    /// port: not owned; must outlive the recorder.
    explicit TrafficRecorder(SerialComponent &port, QObject *parent = nullptr);

    /// The head of the next record: its number, the time, the port and its
    /// device, the slave and the command's caption.
    ExchangeRecord begin(const QString &command, std::optional<std::uint8_t> slave);

    /// Sends the request in TxBuf (sendRequest), noting the frame, what was
    /// dropped before it, or why nothing went out. From here on, arriving
    /// bytes are this exchange's reply. False (and the record handed on)
    /// when nothing was sent. lostTo: why the port closed by itself (a
    /// hang-up) when it has not been open since; a closed port's record
    /// then names that as well as why opening it again failed.
    bool send(ModVariables &v, ExchangeRecord &record, const Request &request, const QString &lostTo = {});

    /// After the wait: takes the reply (takeReply), notes it, its timing and
    /// its status, and hands the record on. Bytes arriving from now on are
    /// late for this exchange. removeEcho: the port hears its own request,
    /// so what arrived must begin with it; that echo is dropped and the
    /// rest judged (only the echo is no reply, "Error").
    Status take(ModVariables &v, ExchangeRecord &record, const Request &request, bool removeEcho = false);

    /// Hands on a record for a command that sent nothing for a reason of
    /// its own (detail: the slave text that names no entry).
    void nothingSent(ExchangeRecord &record, NotSent reason, const QString &detail = {});

    /// The port was closed, opened or changed: bytes arriving from now on
    /// belong to no earlier exchange, and none kept so far are noted.
    void forgetPort();

signals:
    void recorded(const ExchangeRecord &record);
    /// Bytes that arrived after the wait of exchange `number`.
    void lateBytes(quint64 number, const QByteArray &bytes, int msAfterSend);

private:
    void onReceived(const QByteArray &bytes, qint64 msAfterSend);
    void finish(ExchangeRecord &record);

    SerialComponent &port_;
    quint64 last_ = 0;         ///< number of the last record made
    bool inExchange_ = false;  ///< bytes now arriving are a reply
    quint64 lateOwner_ = 0;    ///< the exchange that arriving bytes are late for
    QByteArray stray_;         ///< arrived with no exchange to own them
};

} // namespace korvane
