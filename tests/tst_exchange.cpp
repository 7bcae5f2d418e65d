// One request end to end through the window's counter buttons: the frame
// sent, the ten-tick wait, the reply taken and judged, the labels set; and
// the port opened again by the next command after a hang-up.

#include "WindowRig.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "Frames.h"
#include "serial/QtSerialComponent.h"

#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <pty.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

// Collects the program's warnings (what it writes to stderr).
struct WarningLog {
    WarningLog() { previous = qInstallMessageHandler(&WarningLog::handle); current = this; }
    ~WarningLog()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (current && type >= QtWarningMsg)
            current->lines << text;
    }
    QStringList lines;
    QtMessageHandler previous = nullptr;
    static inline WarningLog *current = nullptr;
};

// A pseudo-terminal whose slave side the port opens by its path; the test
// is the device on the master side.
struct Pty {
    Pty()
    {
        char name[256] = {};
        int slave = -1;
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            ::close(slave);
            path = QString::fromLocal8Bit(name);
        }
    }
    ~Pty() { hangUp(); }
    bool isValid() const { return master >= 0; }
    void hangUp()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    int master = -1;
    QString path;
};

const QByteArray readFrame = hex("010300000002C40B");
const QByteArray resetFrame = hex("01050002FF002DFA");
const QByteArray counterReply5 = hex("010304000000053A30");
const QByteArray counterReply99 = hex("01030400000063BA1A"); // value 99
} // namespace

class TestExchange : public QObject {
    Q_OBJECT
private slots:
    void replies_data()
    {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QByteArray>("stale");   // waiting before the request
        QTest::addColumn<QByteArray>("reply");   // empty: no answer
        QTest::addColumn<int>("cut");            // > 0: reply split there
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("counter");    // lblCounter afterwards (was "77")

        QTest::newRow("read, answered at tick 3 -> Success, 5")
            << false << QByteArray() << counterReply5 << 0 << "Success" << "5";
        QTest::newRow("read, no answer -> Error, counter kept")
            << false << QByteArray() << QByteArray() << 0 << "Error" << "77";
        QTest::newRow("read, one byte corrupted -> CRC Err, counter kept")
            << false << QByteArray() << hex("010304000000063A30") << 0 << "CRC Err" << "77";
        QTest::newRow("read, split in two within the wait -> Success")
            << false << QByteArray() << counterReply5 << 4 << "Success" << "5";
        QTest::newRow("read, trailing bytes after a good reply -> Success")
            << false << QByteArray() << counterReply5 + hex("0000") << 0 << "Success" << "5";
        QTest::newRow("read, exception 01 83 02 C0 F1 -> CRC Err")
            << false << QByteArray() << hex("018302C0F1") << 0 << "CRC Err" << "77";
        QTest::newRow("read, good frame from slave 7 -> Success (only the CRC decides)")
            << false << QByteArray() << hex("070304000000055C30") << 0 << "Success" << "5";
        QTest::newRow("read, stale reply of 99 waiting, then 5 -> shows 5")
            << false << counterReply99 << counterReply5 << 0 << "Success" << "5";
        QTest::newRow("read, stale reply waiting, no answer -> Error, not the old value")
            << false << counterReply99 << QByteArray() << 0 << "Error" << "77";
        QTest::newRow("read, 2000 bytes of garbage -> CRC Err")
            << false << QByteArray() << QByteArray(2000, '\x5a') << 0 << "CRC Err" << "77";
        QTest::newRow("reset, echo -> Success, counter 0")
            << true << QByteArray() << resetFrame << 0 << "Success" << "0";
        QTest::newRow("reset, no answer -> Error, counter kept")
            << true << QByteArray() << QByteArray() << 0 << "Error" << "77";
        QTest::newRow("reset, corrupted CRC -> CRC Err, counter kept")
            << true << QByteArray() << hex("01050002FF002DFB") << 0 << "CRC Err" << "77";
        QTest::newRow("reset, exception 01 85 02 C3 51 -> CRC Err")
            << true << QByteArray() << hex("018502C351") << 0 << "CRC Err" << "77";
    }
    void replies()
    {
        QFETCH(bool, reset);
        QFETCH(QByteArray, stale);
        QFETCH(QByteArray, reply);
        QFETCH(int, cut);
        QFETCH(QString, status);
        QFETCH(QString, counter);

        WindowRig rig;
        frmMain &w = *rig.window;
        w.lblCounter->setText(QStringLiteral("77"));
        w.lblSta->setText(QStringLiteral("old"));
        rig.port.arrive(stale);
        if (!reply.isEmpty())
            rig.port.answerNext(cut > 0 ? FakeSerialPort::split(reply, cut, 2, 7) : FakeSerialPort::inTime(reply));
        QStringList seenDuringWait;
        int ticks = 0;
        rig.port.onTick = [&](int) {
            ++ticks;
            seenDuringWait << w.lblSta->text();
        };

        QTest::mouseClick(reset ? w.cmdResetCount : w.cmdReadCount, Qt::LeftButton);

        QCOMPARE(rig.port.requests(), QList<QByteArray>{reset ? resetFrame : readFrame});
        QCOMPARE(ticks, 10);
        QCOMPARE(seenDuringWait, QStringList(10, QString()));
        QCOMPARE(w.lblSta->text(), status);
        QCOMPARE(w.lblCounter->text(), counter);
        QVERIFY(!w.Timer1->isActive());
        QVERIFY(rig.port.PortOpen());
        QVERIFY(!w.isBusy());
    }

    void lateReplyIsNotJudgedAsTheNextOne()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        rig.port.answerNext(FakeSerialPort::late(counterReply99));
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));

        // The late reply arrives between the exchanges; the next read is
        // judged on its own reply alone.
        rig.port.deliverLate();
        rig.port.answerNext(FakeSerialPort::inTime(counterReply5));
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("5"));

        // A late echo in front of a write that is never answered must not
        // make that write look carried out.
        rig.port.arrive(resetFrame);
        QTest::mouseClick(w.cmdResetCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("5"));
    }

    void closedPortWritesNothingAndShowsError()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        rig.port.setPortOpen(false);
        w.lblCounter->setText(QStringLiteral("77"));
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("77"));
        QVERIFY(rig.port.requests().isEmpty());
        QVERIFY(!w.Timer1->isActive());
    }

    void hangUpThenTheNextCommandOpensThePortAgain_data()
    {
        QTest::addColumn<bool>("duringWait");
        QTest::addColumn<bool>("menuWhileGone"); // COM1 chosen (and failing) while the device is out
        QTest::newRow("hang-up between requests") << false << false;
        QTest::newRow("hang-up during a wait: that request shows Error") << true << false;
        QTest::newRow("hang-up, then COM1 chosen while still out: Com Port Error, still retried")
            << false << true;
    }
    void hangUpThenTheNextCommandOpensThePortAgain()
    {
        QFETCH(bool, duringWait);
        QFETCH(bool, menuWhileGone);
        WarningLog warnings;
        WindowRig rig;
        frmMain &w = *rig.window;
        // The adapter is pulled out and stays out for a while.
        auto pullOut = [&] {
            rig.port.failOpen = true;
            rig.port.hangUp();
        };
        if (duringWait) {
            rig.port.onTick = [&](int tick) {
                if (tick == 3)
                    pullOut();
            };
            QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
            QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
            rig.port.onTick = {};
        } else {
            pullOut();
        }
        if (menuWhileGone) {
            w.mnuCOM[1]->trigger();
            QCOMPARE(rig.messages.size(), 1);
            QCOMPARE(rig.messages.first().text, QStringLiteral("Com Port Error"));
        }
        const qsizetype sent = rig.port.requests().size();
        const int opens = rig.port.openCount;

        // Idle: nothing looks for the device.
        QTest::qWait(300);
        QCOMPARE(rig.port.openCount, opens);

        // Still out: each command tries once, sends nothing and shows
        // Error; the hang-up was said once on stderr, the tries say nothing.
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
        QTest::mouseClick(w.cmdOutput[0], Qt::LeftButton);
        QCOMPARE(w.lblSta2->text(), QStringLiteral("Error"));
        QCOMPARE(rig.port.openCount, opens + 2);
        QCOMPARE(rig.port.requests().size(), sent);
        QCOMPARE(warnings.lines.size(), 1);
        QVERIFY(warnings.lines.first().contains(QStringLiteral("serial port closed")));

        // Plugged in again: the next command opens the port and goes out.
        rig.port.failOpen = false;
        rig.port.answerNext(FakeSerialPort::inTime(counterReply5));
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("5"));
        QCOMPARE(rig.port.requests().mid(sent), QList<QByteArray>{readFrame});
        QCOMPARE(rig.port.openCount, opens + 3);
        QCOMPARE(rig.port.CommPort(), 1);
        QCOMPARE(rig.port.Settings(), QStringLiteral("9600,n,8,2"));
        // Open now: the next command just sends.
        QTest::mouseClick(w.cmdResetCount, Qt::LeftButton);
        QCOMPARE(rig.port.openCount, opens + 3);
        QCOMPARE(rig.port.requests().mid(sent), (QList<QByteArray>{readFrame, resetFrame}));
        QCOMPARE(warnings.lines.size(), 1);
    }

    // A port the menu could not open stays closed until it is chosen
    // again: commands do not retry it (only a hang-up makes them).
    void failedOpenFromTheMenuIsNotRetriedByCommands()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        rig.port.failOpen = true;
        w.mnuCOM[2]->trigger();
        QCOMPARE(rig.messages.size(), 1);
        const int opens = rig.port.openCount;
        rig.port.failOpen = false;
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
        QCOMPARE(rig.port.openCount, opens);
        QVERIFY(rig.port.requests().isEmpty());
    }

    // The real component: the device behind a link hangs up, the link is
    // gone for a while, then a new device appears behind the same link.
    void replugBehindTheSameLinkOverAPseudoTerminal()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("ttyREPLUG"));
        Pty first;
        QVERIFY(first.isValid());
        QVERIFY(QFile::link(first.path, link));
        const QString ini = dir.filePath(QStringLiteral("korvane.ini"));
        {
            QFile f(ini);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(DefaultIni + "[Ports]\r\nCOM1=" + QFile::encodeName(link) + "\r\n");
        }
        QtSerialComponent port;
        QList<Message> messages;
        frmMain w(&port, ini, [&](const Message &m) { messages << m; });
        w.setDeviceSource([] { return QList<SerialDevice>(); });
        w.Form_Load();
        QVERIFY(port.PortOpen());
        QSignalSpy closed(&port, &SerialComponent::closedOnError);

        first.hangUp();
        QTRY_COMPARE(closed.count(), 1);
        QVERIFY(!port.PortOpen());
        QVERIFY(QFile::remove(link));
        w.cmdReadCount_Click();
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
        QVERIFY(!port.PortOpen());

        Pty second;
        QVERIFY(second.isValid());
        QVERIFY(QFile::link(second.path, link));
        QByteArray received;
        QSocketNotifier device(second.master, QSocketNotifier::Read);
        connect(&device, &QSocketNotifier::activated, this, [&] {
            char buf[64];
            const ssize_t n = ::read(second.master, buf, sizeof buf);
            if (n > 0)
                received.append(buf, n);
            if (received == readFrame)
                QCOMPARE(::write(second.master, counterReply5.constData(), size_t(counterReply5.size())),
                         ssize_t(counterReply5.size()));
        });
        w.cmdReadCount_Click();
        QCOMPARE(received, readFrame);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("5"));
        QVERIFY(port.PortOpen());
        QCOMPARE(closed.count(), 1);
        QVERIFY(messages.isEmpty());
    }

    void slaveAddressFollowsTheList_data()
    {
        QTest::addColumn<int>("listIndex");
        QTest::addColumn<QByteArray>("frame"); // empty: nothing sent
        QTest::newRow("entry 247: F7 03 00 00 00 02 D0 9D") << 246 << hex("F70300000002D09D");
        QTest::newRow("no entry: nothing sent (not to the broadcast address)") << -1 << QByteArray();
    }
    void slaveAddressFollowsTheList()
    {
        QFETCH(int, listIndex);
        QFETCH(QByteArray, frame);
        WindowRig rig;
        frmMain &w = *rig.window;
        w.setListIndex(listIndex);
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(rig.port.requests(), frame.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{frame});
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
    }
};

QTEST_MAIN(TestExchange)
#include "tst_exchange.moc"
