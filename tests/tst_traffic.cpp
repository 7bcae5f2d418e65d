// What the traffic records say: the note explaining each exchange from its
// wire bytes, the table's bound and counts, and the records the window's
// exchanges make on the scripted port, late bytes included.

#include "Frames.h"
#include "WindowRig.h"
#include "protocol/ExchangeRecord.h"
#include "ui/TrafficModel.h"
#include "ui/TrafficWindow.h"

#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

const QByteArray readFrame = hex("010300000002C40B");    // slave 1, k = 6
const QByteArray resetFrame = hex("01050002FF002DFA");   // slave 1, k = 5
const QByteArray counterReply5 = hex("010304000000053A30");
const QByteArray counterReply99 = hex("01030400000063BA1A");

ExchangeRecord record(const QByteArray &sent, const QByteArray &taken, Status status, int firstByteMs = 30,
                      int waitMs = 100)
{
    ExchangeRecord r;
    r.number = 1;
    r.sent = sent;
    r.checkIndex = sent.size() > 1 && sent[1] == 3 ? 6 : 5;
    r.taken = taken;
    r.status = status;
    r.firstByteMs = taken.isEmpty() ? -1 : firstByteMs;
    r.waitMs = waitMs;
    return r;
}

/// How the port came to be closed before a command.
enum class ClosedBy { HangUp, HangUpThenMenu, FailedStart };

const char *name(const QByteArray &wire, const char *what)
{
    static QByteArray keep;
    keep = (wire.isEmpty() ? QByteArray("nothing") : hexBytes(wire).toLatin1()) + ": " + what;
    return keep.constData();
}

} // namespace

class TestTraffic : public QObject {
    Q_OBJECT
private slots:
    void theNoteNamesEveryCause_data();
    void theNoteNamesEveryCause();
    void theTableKeepsTheLatestRowsAndCountsThemAll();
    void lateBytesBelongToTheExchangeThatWaitedForThem();
    void bytesWaitingBeforeTheFirstRequestAreDroppedOnItsRow();
    void recordsHoldTheirBytesInStorageOfTheirOwn();
    void aClosedPortRecordsThatNothingWasSent_data();
    void aClosedPortRecordsThatNothingWasSent();
    void aSlaveTextNamingNoEntryRecordsThatNothingWasSent();
    void statusToolTipsTellTheGroupsLastExchange();
};

void TestTraffic::theNoteNamesEveryCause_data()
{
    QTest::addColumn<ExchangeRecord>("record");
    QTest::addColumn<QString>("note");
    const QString timing = QStringLiteral("first byte 30 ms after the request left, 70 ms before the wait ended");

    QTest::newRow(name(counterReply5, "good reply"))
        << record(readFrame, counterReply5, Status::Success) << "CRC good; " + timing;
    QTest::newRow(name({}, "no reply within the wait"))
        << record(readFrame, {}, Status::Error, -1, 101) << "no reply within the wait (101 ms)";
    QTest::newRow(name(hex("018302C0F1"), "exception 02, too short for the check"))
        << record(readFrame, hex("018302C0F1"), Status::CrcErr)
        << "Modbus exception 02 Illegal Data Address; reply too short for the check: 5 bytes, 9 needed; " + timing;
    QTest::newRow(name(hex("018302C0F2"), "exception 02 with a wrong CRC"))
        << record(readFrame, hex("018302C0F2"), Status::CrcErr)
        << "Modbus exception 02 Illegal Data Address; the exception's CRC is wrong: expected C0 F1, received C0 F2; "
           "reply too short for the check: 5 bytes, 9 needed; " + timing;
    // Every exception code, to a write (function 05): named, or its number.
    const struct {
        int code;
        const char *name;
    } exceptions[] = {{0x01, "Illegal Function"}, {0x02, "Illegal Data Address"}, {0x03, "Illegal Data Value"},
                      {0x04, "Server Device Failure"}, {0x05, "Acknowledge"}, {0x06, "Server Device Busy"},
                      {0x08, "Memory Parity Error"}, {0x0A, "Gateway Path Unavailable"},
                      {0x0B, "Gateway Target Device Failed to Respond"}, {0x07, nullptr}, {0xFF, nullptr}};
    for (const auto &e : exceptions) {
        const QByteArray wire = withCRC(QByteArray("\x01\x85", 2) + char(e.code));
        const QString code = QStringLiteral("%1").arg(e.code, 2, 16, QLatin1Char('0')).toUpper();
        const QString named = e.name ? QStringLiteral("Modbus exception %1 %2").arg(code, QLatin1String(e.name))
                                     : QStringLiteral("Modbus exception %1").arg(code);
        QTest::newRow(name(wire, qPrintable(QStringLiteral("exception %1").arg(code))))
            << record(resetFrame, wire, Status::CrcErr)
            << named + "; reply too short for the check: 5 bytes, 8 needed; " + timing;
    }
    QTest::newRow(name(hex("0103040000"), "half a reply"))
        << record(readFrame, hex("0103040000"), Status::CrcErr)
        << "reply too short for the check: 5 bytes, 9 needed; " + timing;
    QTest::newRow(name(hex("01"), "one byte"))
        << record(readFrame, hex("01"), Status::CrcErr)
        << "reply too short for the check: 1 byte, 9 needed; " + timing;
    QTest::newRow(name(hex("010304000000053A31"), "CRC expected 3A 30"))
        << record(readFrame, hex("010304000000053A31"), Status::CrcErr)
        << "CRC expected 3A 30, received 3A 31; " + timing;
    QTest::newRow(name(hex("070304000000055C30"), "reply from slave 7"))
        << record(readFrame, hex("070304000000055C30"), Status::Success)
        << "CRC good; reply from slave 7, the request went to slave 1; " + timing;
    const QByteArray fn4 = withCRC(hex("01040400000005"));
    QTest::newRow(name(fn4, "another function code"))
        << record(readFrame, fn4, Status::Success) << "CRC good; reply with function code 04, the request had 03; " + timing;
    QTest::newRow(name(counterReply5 + hex("A59E"), "bytes after the reply"))
        << record(readFrame, counterReply5 + hex("A59E"), Status::Success)
        << "CRC good; 2 bytes after the reply ignored: A5 9E; " + timing;
    const QByteArray slave7Exception = withCRC(hex("078302"));
    QTest::newRow(name(slave7Exception, "exception from slave 7"))
        << record(readFrame, slave7Exception, Status::CrcErr)
        << "reply from slave 7, the request went to slave 1; Modbus exception 02 Illegal Data Address; "
           "reply too short for the check: 5 bytes, 9 needed; " + timing;
    QTest::newRow(name(counterReply5, "first byte close to the end of the wait"))
        << record(readFrame, counterReply5, Status::Success, 95, 101)
        << "CRC good; first byte 95 ms after the request left, 6 ms before the wait ended";

    ExchangeRecord late = record(readFrame, {}, Status::Error);
    addLateBytes(late, counterReply99, 400);
    QTest::newRow(name(counterReply99, "the whole reply after the wait"))
        << late
        << "no reply within the wait (100 ms); 9 bytes arrived after the wait, about 300 ms late: "
           "01 03 04 00 00 00 63 BA 1A; with them the reply is complete and its CRC good: the device answered, "
           "too late for the wait";
    ExchangeRecord lateEcho = record(resetFrame, {}, Status::Error);
    addLateBytes(lateEcho, resetFrame.left(3), 180);
    addLateBytes(lateEcho, resetFrame.mid(3), 190);
    QTest::newRow(name(resetFrame, "a write's echo after the wait, in two pieces"))
        << lateEcho
        << "no reply within the wait (100 ms); 8 bytes arrived after the wait, about 80 ms late: "
           "01 05 00 02 FF 00 2D FA; with them the reply is complete and its CRC good: the device answered, "
           "too late for the wait, and probably carried out the write";
    ExchangeRecord split = record(readFrame, counterReply5.left(4), Status::CrcErr, 20);
    addLateBytes(split, counterReply5.mid(4), 150);
    QTest::newRow(name(counterReply5, "split, its second half after the wait"))
        << split
        << "reply too short for the check: 4 bytes, 9 needed; first byte 20 ms after the request left, 80 ms "
           "before the wait ended; 5 bytes arrived after the wait, about 50 ms late: 00 00 05 3A 30; with them "
           "the reply is complete and its CRC good: the device answered, too late for the wait";
    ExchangeRecord noise = record(readFrame, {}, Status::Error);
    addLateBytes(noise, hex("FF00"), 2500);
    QTest::newRow(name(hex("FF00"), "noise after the wait"))
        << noise << "no reply within the wait (100 ms); 2 bytes arrived after the wait, about 2400 ms late: FF 00";

    ExchangeRecord stale = record(readFrame, counterReply5, Status::Success);
    stale.droppedBeforeSend = hex("55AA");
    QTest::newRow(name(hex("55AA"), "waiting before the request"))
        << stale << "2 bytes waiting before the request, dropped unjudged: 55 AA; CRC good; " + timing;
    QTest::newRow(name(hex("000300000002C5DA"), "sent to the broadcast address"))
        << record(hex("000300000002C5DA"), {}, Status::Error)
        << "sent to address 0, the broadcast address: devices may carry out a write to it but never answer; "
           "no reply within the wait (100 ms)";

    ExchangeRecord closed;
    closed.notSent = NotSent::PortClosed;
    closed.notSentDetail = QStringLiteral("/dev/pts/3: the device hung up (disconnected)");
    QTest::newRow(name({}, "nothing sent, the port hung up"))
        << closed << "nothing sent: the port is closed (/dev/pts/3: the device hung up (disconnected))";
    closed.notSentDetail.clear();
    QTest::newRow(name({}, "nothing sent, the port closed")) << closed << "nothing sent: the port is closed";
    ExchangeRecord noEntry;
    noEntry.notSent = NotSent::NoSlaveEntry;
    noEntry.notSentDetail = QStringLiteral("300");
    QTest::newRow(name({}, "nothing sent, slave text 300"))
        << noEntry << "nothing sent: the slave text \"300\" names no entry of the list (1 to 247)";
}

void TestTraffic::theNoteNamesEveryCause()
{
    QFETCH(ExchangeRecord, record);
    QFETCH(QString, note);
    QCOMPARE(explainExchange(record), note);
}

void TestTraffic::theTableKeepsTheLatestRowsAndCountsThemAll()
{
    TrafficModel model;
    model.setRowLimit(3);
    const Status statuses[] = {Status::Success, Status::Error, Status::CrcErr, Status::Success, Status::Error};
    for (quint64 n = 1; n <= 5; ++n) {
        ExchangeRecord r = record(readFrame, n == 2 ? QByteArray() : counterReply5, statuses[n - 1]);
        r.number = n;
        model.addRecord(r);
    }
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(model.record(0).number, quint64(3));
    QCOMPARE(model.record(2).number, quint64(5));
    QCOMPARE(model.exchangeCount(), 5);
    QCOMPARE(model.statusCount(Status::Success), 2);
    QCOMPARE(model.statusCount(Status::CrcErr), 1);
    QCOMPARE(model.statusCount(Status::Error), 2);

    // Late bytes for a dropped row go nowhere; for a kept one, to that row.
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.addLateBytes(2, hex("0102"), 300);
    QCOMPARE(changed.count(), 0);
    model.addLateBytes(4, hex("0102"), 300);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(model.record(1).late, hex("0102"));
    QCOMPARE(model.cellText(1, TrafficModel::Received),
             QStringLiteral("01 03 04 00 00 00 05 3A 30 (after the wait: 01 02)"));
    QVERIFY(model.record(2).late.isEmpty());

    // A lower bound drops the oldest at once; clearing empties the counts.
    model.setRowLimit(1);
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.record(0).number, quint64(5));
    QCOMPARE(model.exchangeCount(), 5);
    model.clear();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.exchangeCount(), 0);
    QCOMPARE(model.statusCount(Status::Success), 0);
}

// A read answered 400 ms late, then a read answered in time: the late
// reply shows on the first row, updating it as it arrives, and never on
// the second; the bytes the second request finds waiting in the driver
// (they came just before it) go to the first row too.
void TestTraffic::lateBytesBelongToTheExchangeThatWaitedForThem()
{
    WindowRig rig;
    frmMain &w = *rig.window;
    TrafficModel &model = *w.frmTraffic->model();
    QSignalSpy records(&w, &frmMain::exchanged);
    QSignalSpy late(&w, &frmMain::lateBytesArrived);

    rig.port.answerNext({{40, counterReply99.left(5)}, {41, counterReply99.mid(5)}});
    QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
    QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.cellText(0, TrafficModel::Received), QString());
    QCOMPARE(model.cellText(0, TrafficModel::Note), QStringLiteral("no reply within the wait (100 ms)"));

    QSignalSpy rowChanged(&model, &QAbstractItemModel::dataChanged);
    rig.port.deliverLate();
    QCOMPARE(late.count(), 2);
    QCOMPARE(rowChanged.count(), 2);
    QCOMPARE(model.record(0).late, counterReply99);
    QCOMPARE(model.cellText(0, TrafficModel::Received),
             QStringLiteral("(after the wait: 01 03 04 00 00 00 63 BA 1A)"));
    QVERIFY2(model.cellText(0, TrafficModel::Note)
                 .startsWith(QStringLiteral("no reply within the wait (100 ms); 9 bytes arrived after the wait, "
                                            "about 300 ms late: 01 03 04 00 00 00 63 BA 1A")),
             qPrintable(model.cellText(0, TrafficModel::Note)));

    rig.port.arriveInDriver(hex("FFFE"));
    rig.port.answerNext(FakeSerialPort::inTime(counterReply5, 2));
    QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    QCOMPARE(w.lblCounter->text(), QStringLiteral("5"));
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.record(0).late, counterReply99 + hex("FFFE"));
    QCOMPARE(model.record(0).lateLastMs, 410);
    const ExchangeRecord &second = model.record(1);
    QCOMPARE(second.sent, readFrame);
    QCOMPARE(second.taken, counterReply5);
    QVERIFY(second.late.isEmpty());
    QVERIFY(second.droppedBeforeSend.isEmpty());
    QCOMPARE(second.firstByteMs, 20);
    QCOMPARE(second.waitMs, 100);
    QCOMPARE(model.cellText(1, TrafficModel::Note),
             QStringLiteral("CRC good; first byte 20 ms after the request left, 80 ms before the wait ended"));
    QCOMPARE(records.count(), 2);
}

void TestTraffic::bytesWaitingBeforeTheFirstRequestAreDroppedOnItsRow()
{
    WindowRig rig;
    frmMain &w = *rig.window;
    rig.port.arrive(hex("55"));
    rig.port.arriveInDriver(hex("AA"));
    rig.port.answerNext(FakeSerialPort::inTime(resetFrame));
    QTest::mouseClick(w.cmdResetCount, Qt::LeftButton);
    QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
    const TrafficModel &model = *w.frmTraffic->model();
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.record(0).droppedBeforeSend, hex("55AA"));
    QCOMPARE(model.record(0).command, QStringLiteral("Reset Counter"));
    QVERIFY(model.record(0).late.isEmpty());
}

// The real port hands on what it reads in buffers of many kilobytes (Qt
// reads in 16 KiB pieces); 10,000 records must not keep those alive.
void TestTraffic::recordsHoldTheirBytesInStorageOfTheirOwn()
{
    const auto roomy = [](const QByteArray &bytes) {
        QByteArray b;
        b.reserve(16384);
        b.append(bytes);
        return b;
    };
    WindowRig rig;
    frmMain &w = *rig.window;
    rig.port.arrive(roomy(hex("55")));
    rig.port.answerNext({{3, roomy(counterReply5.left(4))}, {20, roomy(counterReply5.mid(4))}});
    QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
    rig.port.deliverLate();
    const ExchangeRecord &r = w.frmTraffic->model()->record(0);
    QCOMPARE(r.taken, counterReply5.left(4));
    QCOMPARE(r.late, counterReply5.mid(4));
    QCOMPARE(r.droppedBeforeSend, hex("55"));
    for (const QByteArray *b : {&r.sent, &r.taken, &r.late, &r.droppedBeforeSend})
        QVERIFY2(b->capacity() < 64, qPrintable(QString::number(b->capacity())));
}

// How the port came to be closed decides what the row says: after a
// hang-up that reopening could not mend, both; otherwise why it last
// failed to open.
void TestTraffic::aClosedPortRecordsThatNothingWasSent_data()
{
    QTest::addColumn<int>("history");
    QTest::addColumn<QString>("note");
    QTest::newRow("hang-up, reopening fails: both named")
        << int(ClosedBy::HangUp)
        << "nothing sent: the port is closed (/dev/ttyS0: hang-up; opening it again failed: /dev/ttyS0: "
           "No such file or directory)";
    QTest::newRow("hang-up, reopened from a menu, then an open failed: the failure alone")
        << int(ClosedBy::HangUpThenMenu) << "nothing sent: the port is closed (/dev/ttyS0: No such file or directory)";
    QTest::newRow("never opened: the failure alone")
        << int(ClosedBy::FailedStart) << "nothing sent: the port is closed (/dev/ttyS0: No such file or directory)";
}

void TestTraffic::aClosedPortRecordsThatNothingWasSent()
{
    QFETCH(int, history);
    QFETCH(QString, note);
    WindowRig rig(DefaultIni, false);
    frmMain &w = *rig.window;
    switch (ClosedBy(history)) {
    case ClosedBy::HangUp:
        w.Form_Load();
        // The device stays away: the command reopens the port, which fails.
        rig.port.failOpen = true;
        rig.port.hangUp();
        break;
    case ClosedBy::HangUpThenMenu:
        w.Form_Load();
        rig.port.hangUp();
        w.mnuBaud->actions().at(0)->trigger(); // the device is back: open again
        QVERIFY(rig.port.PortOpen());
        rig.port.failOpen = true;
        w.mnuBaud->actions().at(0)->trigger(); // and now it is not
        break;
    case ClosedBy::FailedStart:
        rig.port.failOpen = true;
        w.Form_Load();
        break;
    }
    QVERIFY(!rig.port.PortOpen());
    QTest::mouseClick(w.cmdOutput[4], Qt::LeftButton);
    QCOMPARE(w.lblSta2->text(), QStringLiteral("Error"));
    const TrafficModel &model = *w.frmTraffic->model();
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.cellText(0, TrafficModel::Port), QStringLiteral("COM1 /dev/ttyS0"));
    QCOMPARE(model.cellText(0, TrafficModel::Slave), QStringLiteral("1"));
    QCOMPARE(model.cellText(0, TrafficModel::Command), QStringLiteral("Buzzer On"));
    QCOMPARE(model.cellText(0, TrafficModel::Sent), QString());
    QCOMPARE(model.cellText(0, TrafficModel::StatusColumn), QStringLiteral("Error"));
    QCOMPARE(model.cellText(0, TrafficModel::Note), note);
    QVERIFY(rig.port.requests().isEmpty());
}

// A slave text that names no entry sends nothing; its row says so and
// names the text.
void TestTraffic::aSlaveTextNamingNoEntryRecordsThatNothingWasSent()
{
    WindowRig rig;
    frmMain &w = *rig.window;
    w.cboSlave->setEditText(QStringLiteral("300"));
    QTest::mouseClick(w.cmdResetCount, Qt::LeftButton);
    QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
    QVERIFY(rig.port.requests().isEmpty());
    const TrafficModel &model = *w.frmTraffic->model();
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.cellText(0, TrafficModel::Command), QStringLiteral("Reset Counter"));
    QCOMPARE(model.cellText(0, TrafficModel::Sent), QString());
    QCOMPARE(model.cellText(0, TrafficModel::Note),
             QStringLiteral("nothing sent: the slave text \"300\" names no entry of the list (1 to 247)"));
    QVERIFY(w.lblSta->toolTip().contains(QLatin1String("names no entry")));
}

// Each group's label tells its own last exchange; late bytes update the
// tip of the exchange they belong to.
void TestTraffic::statusToolTipsTellTheGroupsLastExchange()
{
    WindowRig rig;
    frmMain &w = *rig.window;
    QCOMPARE(w.lblSta->toolTip(), QString());

    rig.port.answerNext(FakeSerialPort::inTime(hex("018302C0F1")));
    QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
    const QString readTip = QStringLiteral(
        "CRC Err\nModbus exception 02 Illegal Data Address; reply too short for the check: 5 bytes, 9 needed; "
        "first byte 30 ms after the request left, 70 ms before the wait ended\n"
        "Sent: 01 03 00 00 00 02 C4 0B\nReceived: 01 83 02 C0 F1");
    QCOMPARE(w.lblSta->toolTip(), readTip);

    rig.port.answerNext(FakeSerialPort::late(hex("01050000FF008C3A"), 15));
    QTest::mouseClick(w.cmdOutput[0], Qt::LeftButton);
    QCOMPARE(w.lblSta2->toolTip(),
             QStringLiteral("Error\nno reply within the wait (100 ms)\nSent: 01 05 00 00 FF 00 8C 3A\nReceived: nothing"));
    rig.port.deliverLate();
    QCOMPARE(w.lblSta2->toolTip(),
             QStringLiteral("Error\nno reply within the wait (100 ms); 8 bytes arrived after the wait, about 50 ms "
                            "late: 01 05 00 00 FF 00 8C 3A; with them the reply is complete and its CRC good: the "
                            "device answered, too late for the wait, and probably carried out the write\n"
                            "Sent: 01 05 00 00 FF 00 8C 3A\nReceived: (after the wait: 01 05 00 00 FF 00 8C 3A)"));
    QCOMPARE(w.lblSta->toolTip(), readTip);
    QCOMPARE(w.lblSta1->toolTip(), QString());
    // The status words themselves are as before.
    QCOMPARE(w.lblSta->text(), QStringLiteral("CRC Err"));
    QCOMPARE(w.lblSta2->text(), QStringLiteral("Error"));
}

QTEST_MAIN(TestTraffic)
#include "tst_traffic.moc"
