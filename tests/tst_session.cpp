// The port session and the command runner without a window: both waits on
// one table of replies, when a reply is whole, and what a port keeps when
// it is closed, opened or changed.

#include "FakeSerialPort.h"
#include "Frames.h"
#include "protocol/ReplyFrame.h"
#include "session/CommandRunner.h"
#include "session/PortSession.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace korvane;
using namespace korvane::test;

Q_DECLARE_METATYPE(korvane::test::FakeSerialPort::Script)
Q_DECLARE_METATYPE(korvane::ExchangeRecord)

namespace {

const QByteArray readRequest = hex("01 03 00 00 00 02 C4 0B");
const QByteArray counterReply = hex("01 03 04 00 00 00 05 3A 30");
const QByteArray exceptionReply = withCRC(hex("01 83 02"));

Request readCounter(ModVariables &v, std::uint8_t slave) { return buildReadCounter(v, slave); }

// A session on a fake port whose replies arrive on the ticks of `ticks`,
// a 10 ms timer that runs for the whole test.
struct SessionRig {
    SessionRig()
    {
        ticks.setInterval(10);
        ticks.setTimerType(Qt::PreciseTimer);
        port.followTicks(&ticks);
        ticks.start();
        session.setCommPort(1);
        session.setSettings(QStringLiteral("9600,n,8,2"));
        session.open();
    }
    QTimer ticks;
    FakeSerialPort port;
    PortSession session{port};
};

} // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void replyProgressFromTheFrame_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<ReplyProgress>("progress");
        const QByteArray reset = hex("01 05 00 02 FF 00 2D FA");
        const QByteArray number = buildWriteNumberFrame();
        QTest::newRow("01 03 04 00 00 00 05 3A 30: whole") << readRequest << counterReply << ReplyProgress::Complete;
        QTest::newRow("01 03 04 00 00 00 05 3A: one byte short") << readRequest << counterReply.left(8)
                                                              << ReplyProgress::Incomplete;
        QTest::newRow("01 03 04 00 00 00 05 3A 31: bad CRC") << readRequest << hex("01 03 04 00 00 00 05 3A 31")
                                                          << ReplyProgress::Incomplete;
        QTest::newRow("whole, then noise: still whole") << readRequest << counterReply + hex("00 FF")
                                                        << ReplyProgress::Complete;
        QTest::newRow("07 03 04 ...: another slave's whole reply") << readRequest
                                                                   << withCRC(hex("07 03 04 00 00 00 05"))
                                                                   << ReplyProgress::Complete;
        QTest::newRow("01 83 02 C0 F1: exception") << readRequest << exceptionReply << ReplyProgress::Exception;
        QTest::newRow("01 83 02 C0 F0: exception, bad CRC") << readRequest << hex("01 83 02 C0 F0")
                                                          << ReplyProgress::Incomplete;
        QTest::newRow("01 05 00 02 FF 00 2D FA: coil reply") << reset << reset << ReplyProgress::Complete;
        QTest::newRow("01 10 ... 8 bytes: registers written") << number << withCRC(number.left(6))
                                                              << ReplyProgress::Complete;
        QTest::newRow("01 06 ...: answer to another function") << readRequest << withCRC(hex("01 06 00 00 00 01"))
                                                                << ReplyProgress::Incomplete;
        QTest::newRow("nothing") << readRequest << QByteArray() << ReplyProgress::Incomplete;
    }
    void replyProgressFromTheFrame()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, received);
        QFETCH(ReplyProgress, progress);
        QCOMPARE(replyProgress(request, received), progress);
    }

    // The waits judge the same replies alike; the fixed wait always lasts
    // its ten ticks, the others end with the reply's last byte or their
    // timeout. The fake's clock moves 10 ms a tick, so waits are exact.
    void bothWaitsOnOneTableOfReplies_data()
    {
        QTest::addColumn<FakeSerialPort::Script>("script");
        QTest::addColumn<Status>("status");
        QTest::addColumn<int>("completeAfterMs"); // -1: the until-complete wait times out
        QTest::newRow("complete at tick 3") << FakeSerialPort::inTime(counterReply) << Status::Success << 30;
        QTest::newRow("split: 4 bytes at tick 2, 5 at tick 6")
            << FakeSerialPort::split(counterReply, 4, 2, 6) << Status::Success << 60;
        QTest::newRow("late: after the wait") << FakeSerialPort::late(counterReply) << Status::Error << -1;
        QTest::newRow("short: 01 03 04 00") << FakeSerialPort::inTime(counterReply.left(4)) << Status::CrcErr << -1;
        QTest::newRow("corrupt: bad CRC") << FakeSerialPort::inTime(hex("01 03 04 00 00 00 05 3A 31"))
                                          << Status::CrcErr << -1;
        QTest::newRow("exception 01 83 02") << FakeSerialPort::inTime(exceptionReply) << Status::CrcErr << 30;
        QTest::newRow("silent") << FakeSerialPort::Script() << Status::Error << -1;
    }
    void bothWaitsOnOneTableOfReplies()
    {
        QFETCH(FakeSerialPort::Script, script);
        QFETCH(Status, status);
        QFETCH(int, completeAfterMs);

        // The window's fixed wait, the wait until complete, and a command
        // begun with start(), whose record comes by finished().
        enum Mode { Fixed, UntilComplete, Started };
        for (const Mode mode : {Fixed, UntilComplete, Started}) {
            SessionRig rig;
            ModVariables windowVars;
            CommandRunner runner(rig.session, windowVars, WaitPolicy::untilComplete(1000));
            if (mode == Fixed) {
                // The window's wait: its timer's handler counts the ticks.
                connect(&rig.ticks, &QTimer::timeout, &runner, [&] { ++windowVars.gTick; });
                runner.setWait(WaitPolicy::ticks(&rig.ticks));
            }
            rig.port.answerNext(script);
            std::optional<ExchangeRecord> record;
            if (mode == Started) {
                QSignalSpy finished(&runner, &CommandRunner::finished);
                QVERIFY(runner.start(QStringLiteral("Read"), 1, readCounter));
                QVERIFY(runner.isBusy());
                QVERIFY(!runner.start(QStringLiteral("Read"), 1, readCounter)); // one at a time
                QVERIFY(finished.wait(5000));
                QCOMPARE(finished.count(), 1);
                record = finished.first().first().value<ExchangeRecord>();
            } else {
                record = runner.run(QStringLiteral("Read"), 1, readCounter);
            }
            QVERIFY(record);
            QCOMPARE(rig.port.requests(), QList<QByteArray>{readRequest});
            QCOMPARE(record->status, status);
            if (mode == Fixed)
                QCOMPARE(record->waitMs, 100);
            else if (completeAfterMs >= 0)
                QCOMPARE(record->waitMs, completeAfterMs);
            else
                QVERIFY2(record->waitMs > 100, qPrintable(QString::number(record->waitMs)));
            QVERIFY(!runner.isBusy());
        }
    }

    // Two runners on two ports wait at the same time, each on its own
    // frame buffers: neither takes the other's reply. With run(), the
    // second command waits inside the first one's wait; begun with start(),
    // they wait side by side, and the one whose reply comes first ends first.
    void runnersOnTwoPortsAtOnce_data()
    {
        QTest::addColumn<bool>("started");
        QTest::newRow("run() inside run()") << false;
        QTest::newRow("start() side by side") << true;
    }
    void runnersOnTwoPortsAtOnce()
    {
        QFETCH(bool, started);
        SessionRig one, two;
        CommandRunner first(one.session, WaitPolicy::untilComplete(1000));
        CommandRunner second(two.session, WaitPolicy::untilComplete(1000));
        one.port.answerNext(FakeSerialPort::inTime(counterReply, 8));
        two.port.answerNext(FakeSerialPort::inTime(withCRC(hex("02 03 04 00 00 00 09")), 2));
        std::optional<ExchangeRecord> outer, inner;
        if (started) {
            QList<int> ended;
            connect(&first, &CommandRunner::finished, this, [&](const ExchangeRecord &r) {
                outer = r;
                ended << 1;
            });
            connect(&second, &CommandRunner::finished, this, [&](const ExchangeRecord &r) {
                inner = r;
                ended << 2;
            });
            QVERIFY(first.start(QStringLiteral("Read"), 1, readCounter));
            QVERIFY(second.start(QStringLiteral("Read"), 2, readCounter));
            QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 5000);
            QCOMPARE(ended, (QList<int>{2, 1}));
        } else {
            // The second command runs inside the first one's wait.
            QTimer::singleShot(0, &second, [&] { inner = second.run(QStringLiteral("Read"), 2, readCounter); });
            outer = first.run(QStringLiteral("Read"), 1, readCounter);
        }
        QVERIFY(outer && inner);
        QCOMPARE(outer->status, Status::Success);
        QCOMPARE(inner->status, Status::Success);
        QCOMPARE(counterValueText(first.vars().RxData), QStringLiteral("5"));
        QCOMPARE(counterValueText(second.vars().RxData), QStringLiteral("9"));
    }

    // With echo removal the reply must begin with the request's own bytes;
    // they are dropped and the rest judged. An echo alone is no reply, also
    // for a coil write, whose normal reply equals its request.
    void echoRemoval_data()
    {
        const QByteArray reset = hex("01 05 00 02 FF 00 2D FA");
        QTest::addColumn<bool>("coil");
        QTest::addColumn<FakeSerialPort::Script>("script");
        QTest::addColumn<Status>("status");
        QTest::addColumn<int>("echoRemoved");
        QTest::addColumn<bool>("endsEarly"); // the wait ends with the reply, before its timeout
        QTest::addColumn<QString>("note");
        QTest::newRow("01 03 00 00 00 02 C4 0B + 01 03 04 ... 3A 30")
            << false << FakeSerialPort::Script{{1, readRequest}, {3, counterReply}} << Status::Success << 8 << true
            << "echo of 8 bytes removed; CRC good";
        QTest::newRow("01 03 00 00 00 02 C4 0B alone") << false << FakeSerialPort::inTime(readRequest, 1)
                                                       << Status::Error << 8 << false
                                                       << "no reply after the echo within the wait";
        QTest::newRow("01 05 00 02 FF 00 2D FA alone: the coil write's echo, not its reply")
            << true << FakeSerialPort::inTime(reset, 1) << Status::Error << 8 << false
            << "no reply after the echo within the wait";
        QTest::newRow("01 05 ... twice: echo and reply") << true << FakeSerialPort::inTime(reset + reset, 1)
                                                         << Status::Success << 8 << true << "CRC good";
        QTest::newRow("01 03 00: part of the echo") << false << FakeSerialPort::inTime(readRequest.left(3), 1)
                                                    << Status::Error << 3 << false << "echo of 3 bytes removed";
        QTest::newRow("01 03 04 ... 3A 30 without an echo: judged whole")
            << false << FakeSerialPort::inTime(counterReply) << Status::Success << 0 << true
            << "did not begin with the request's echo: nothing removed";
    }
    void echoRemoval()
    {
        QFETCH(bool, coil);
        QFETCH(FakeSerialPort::Script, script);
        QFETCH(Status, status);
        QFETCH(int, echoRemoved);
        QFETCH(bool, endsEarly);
        QFETCH(QString, note);
        SessionRig rig;
        rig.session.setRemoveEcho(true);
        CommandRunner runner(rig.session, WaitPolicy::untilComplete(400));
        rig.port.answerNext(script);
        const auto record = coil ? runner.run(QStringLiteral("Reset"), 1, [](ModVariables &v, std::uint8_t s) {
            return buildResetCounter(v, s);
        })
                                 : runner.run(QStringLiteral("Read"), 1, readCounter);
        QCOMPARE(record->status, status);
        QCOMPARE(record->echoRemoved, echoRemoved);
        QCOMPARE(record->echoMissing, echoRemoved == 0);
        QCOMPARE(record->waitMs < 100, endsEarly);
        QVERIFY2(explainExchange(*record).contains(note), qPrintable(explainExchange(*record)));
        if (status == Status::Success && !coil)
            QCOMPARE(counterValueText(runner.vars().RxData), QStringLiteral("5"));
    }

    void noSlaveSendsNothing()
    {
        SessionRig rig;
        CommandRunner runner(rig.session, WaitPolicy::untilComplete(100));
        const auto record = runner.run(QStringLiteral("Read"), std::nullopt, readCounter, QStringLiteral("300"));
        QVERIFY(record);
        QCOMPARE(record->notSent, NotSent::NoSlaveEntry);
        QCOMPARE(record->notSentDetail, QStringLiteral("300"));
        QVERIFY(rig.port.requests().isEmpty());
    }

    void runnerDestroyedDuringTheWait()
    {
        SessionRig rig;
        auto *runner = new CommandRunner(rig.session, WaitPolicy::untilComplete(1000));
        rig.port.onTick = [&](int tick) {
            if (tick == 2)
                delete runner;
        };
        QVERIFY(!runner->run(QStringLiteral("Read"), 1, readCounter));
    }

    // What one port did is not told about the next: bytes arriving after
    // a change belong to no exchange of the old port, and a hang-up counts
    // only while its own port, device and settings are selected.
    void aChangeForgetsTheOldPort_data()
    {
        QTest::addColumn<int>("change"); // 0: another COM number, 1: other settings, 2: another device
        QTest::newRow("COM1 -> COM2") << 0;
        QTest::newRow("9600,n,8,2 -> 19200,n,8,2") << 1;
        QTest::newRow("COM1 remapped to /dev/ttyUSB7") << 2;
    }
    void aChangeForgetsTheOldPort()
    {
        QFETCH(int, change);
        const auto makeChange = [&](PortSession &session) {
            session.reopenWith([&] {
                if (change == 0)
                    session.setCommPort(2);
                else if (change == 1)
                    session.setSettings(QStringLiteral("19200,n,8,2"));
                else
                    session.setPortDevice(1, QStringLiteral("/dev/ttyUSB7"));
            });
        };

        {   // A late reply of the old port: after the change nobody owns it.
            SessionRig rig;
            CommandRunner runner(rig.session, WaitPolicy::untilComplete(50));
            QSignalSpy late(&rig.session.recorder(), &TrafficRecorder::lateBytes);
            rig.port.answerNext(FakeSerialPort::late(counterReply));
            QCOMPARE(runner.run(QStringLiteral("Read"), 1, readCounter)->status, Status::Error);
            makeChange(rig.session);
            rig.port.deliverLate();
            QCOMPARE(late.count(), 0);
            // ...and it is dropped, as noise on the new port, before the next request.
            rig.port.answerNext(FakeSerialPort::inTime(counterReply));
            const auto next = runner.run(QStringLiteral("Read"), 1, readCounter);
            QCOMPARE(next->droppedBeforeSend, counterReply);
        }
        {   // Noise before any request on the old port is not the new port's.
            SessionRig rig;
            CommandRunner runner(rig.session, WaitPolicy::untilComplete(50));
            rig.port.arrive(hex("FF 00 FF"));
            makeChange(rig.session);
            const auto next = runner.run(QStringLiteral("Read"), 1, readCounter);
            QCOMPARE(next->droppedBeforeSend, QByteArray());
        }
        {   // A hang-up of the old port: the new one, failing to open, is
            // not retried by commands and its note does not name the hang-up.
            SessionRig rig;
            CommandRunner runner(rig.session, WaitPolicy::untilComplete(50));
            rig.port.failOpen = true;
            rig.port.hangUp();
            QVERIFY(rig.session.hungUp());
            makeChange(rig.session);
            QVERIFY(!rig.session.hungUp());
            const int opens = rig.port.openCount;
            const auto next = runner.run(QStringLiteral("Read"), 1, readCounter);
            QCOMPARE(next->notSent, NotSent::PortClosed);
            QVERIFY2(!next->notSentDetail.contains(QStringLiteral("hang-up")), qPrintable(next->notSentDetail));
            QCOMPARE(rig.port.openCount, opens);
        }
    }

    void hangUpThenTheSamePortIsRetriedByTheNextCommand()
    {
        SessionRig rig;
        CommandRunner runner(rig.session, WaitPolicy::untilComplete(500));
        rig.port.failOpen = true;
        rig.port.hangUp();
        const auto out = runner.run(QStringLiteral("Read"), 1, readCounter);
        QCOMPARE(out->notSent, NotSent::PortClosed);
        QVERIFY2(out->notSentDetail.contains(QStringLiteral("hang-up")), qPrintable(out->notSentDetail));
        rig.port.failOpen = false;
        rig.port.answerNext(FakeSerialPort::inTime(counterReply));
        QCOMPARE(runner.run(QStringLiteral("Read"), 1, readCounter)->status, Status::Success);
        QVERIFY(!rig.session.hungUp());
    }

    // A closed port sends nothing; its record still comes by finished().
    void startedOnAClosedPortHandsTheRecordOn()
    {
        SessionRig rig;
        rig.session.close();
        CommandRunner runner(rig.session, WaitPolicy::untilComplete(100));
        QSignalSpy finished(&runner, &CommandRunner::finished);
        QVERIFY(runner.start(QStringLiteral("Read"), 1, readCounter));
        QCOMPARE(finished.count(), 0); // from the event loop, not from inside start()
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().first().value<ExchangeRecord>().notSent, NotSent::PortClosed);
        QVERIFY(rig.port.requests().isEmpty());
    }

private:
    static QByteArray buildWriteNumberFrame()
    {
        ModVariables v;
        const Request r = buildWriteNumber(v, 1, 5);
        return v.TxBuf.head(r.length);
    }
};

QTEST_MAIN(TestSession)
#include "tst_session.moc"
