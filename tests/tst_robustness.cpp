// Hostile settings files, interrupted saves and a window closed during a
// wait, over and over: the program keeps working and loses nothing.

#include "WindowRig.h"

#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {
// A byte array of a literal with embedded NUL bytes (without its final NUL).
template <std::size_t N>
QByteArray bytes(const char (&literal)[N])
{
    return QByteArray(literal, N - 1);
}

const QString S = QStringLiteral("Settings");

// What the file must hold after an exit that writes the three keys as they
// were read (no selection was made): each key changed the way the writer
// changes it, nothing else.
QByteArray afterExit(const QByteArray &before, const frmMain &w)
{
    QByteArray expected = before;
    const std::pair<const char *, QString> keys[] = {
        {"CommPort", w.vars.gCommPort}, {"Setting", w.vars.gSetting}, {"SlaveID", w.vars.gSlaveID}};
    for (const auto &[key, value] : keys) {
        const auto next = modINI::writeValue(expected, S, QLatin1String(key), value);
        if (!next)
            return before; // the writer refuses this file: nothing may change
        expected = *next;
    }
    return expected;
}
} // namespace

class TestRobustness : public QObject {
    Q_OBJECT
private slots:
    void startUpWithHostileFiles_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("portOpen");
        QRandomGenerator rng(20261209);
        QByteArray random(64 * 1024, '\0');
        for (char &c : random)
            c = char(rng.bounded(256));
        QByteArray big = "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=3\r\n";
        big += QByteArray(50 * 1024 * 1024, 'x');
        QTest::newRow("random bytes") << random << false;
        QTest::newRow("NUL bytes inside the keys") << bytes("[Settings]\r\nCommPort=1\0" "9\r\nSetting=9600,n,8,2\r\nSlaveID=\0\r\n") << true;
        QTest::newRow("a line of a megabyte before the keys") << "[Settings]\r\n" + QByteArray(1 << 20, 'a') + "\r\nCommPort=1\r\n" << false;
        QTest::newRow("50 MB file, keys at its start") << big << true;
        QTest::newRow("UTF-16 mark followed by junk") << bytes("\xff\xfe[\0S\0\x00\xd8\r\0\n\0") << false;
        QTest::newRow("only a section header") << QByteArray("[Settings]") << false;
        QTest::newRow("binary junk after good keys") << "[Settings]\nCommPort=2\nSetting=19200,e,8,1\nSlaveID=9\n" + random.left(4096) << true;
    }
    void startUpWithHostileFiles()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, portOpen);
        WindowRig rig(ini);
        frmMain &w = *rig.window;
        QCOMPARE(rig.port.PortOpen(), portOpen);
        QCOMPARE(rig.messages.isEmpty(), portOpen && w.ListIndex() >= 0);
        // The window works: a command gives a status word.
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Error"));
        w.close();
        QCOMPARE(rig.iniContents(), afterExit(ini, w));
    }

    void interruptedSavesLeaveTheOldOrTheNewFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("korvane.ini"));
        const QByteArray head = "; keep me\r\n[Settings]\r\nCommPort=1\r\n";
        const QByteArray tail = "SlaveID=1\r\n\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n" + QByteArray(20000, ';') + "\r\n";
        const QByteArray a = head + "Setting=9600,n,8,2\r\n" + tail;
        const QByteArray b = head + "Setting=19200,e,8,1\r\n" + tail;
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(a);
        }
        for (int round = 0; round < 40; ++round) {
            int progress[2];
            QCOMPARE(::pipe(progress), 0);
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(progress[0]);
                const IniFile ini(path);
                for (int i = 0;; ++i) {
                    ini.WriteINI(S, QStringLiteral("Setting"),
                                 i % 2 ? QStringLiteral("9600,n,8,2") : QStringLiteral("19200,e,8,1"));
                    if (i == 2)
                        [[maybe_unused]] auto n = ::write(progress[1], "x", 1);
                }
            }
            ::close(progress[1]);
            char c;
            QCOMPARE(::read(progress[0], &c, 1), ssize_t(1)); // the child is saving in a loop
            ::close(progress[0]);
            ::usleep(useconds_t(QRandomGenerator::global()->bounded(3000)));
            ::kill(child, SIGKILL);
            int status = 0;
            ::waitpid(child, &status, 0);
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray now = f.readAll();
            QVERIFY2(now == a || now == b, qPrintable(QStringLiteral("round %1: %2 bytes").arg(round).arg(now.size())));
        }
    }

    void closingDuringAWaitAHundredTimes()
    {
        for (int round = 0; round < 100; ++round) {
            WindowRig rig;
            QPointer<frmMain> w = rig.window;
            w->setAttribute(Qt::WA_DeleteOnClose);
            w->show();
            int writes = 0;
            const int closeAt = 1 + round % 10;
            rig.port.onTick = [&](int tick) {
                if (tick == closeAt) {
                    QFile::remove(rig.iniPath());
                    w->close();
                    writes += QFile::exists(rig.iniPath()) ? 1 : 0;
                    QFile::remove(rig.iniPath()); // a second write would bring it back
                }
            };
            QTest::mouseClick(round % 2 ? w->cmdReadCount : w->cmdOutput[round % 6], Qt::LeftButton);
            QTRY_VERIFY(w.isNull());
            QCOMPARE(writes, 1);
            QVERIFY(!QFile::exists(rig.iniPath()));
        }
    }
};

QTEST_MAIN(TestRobustness)
#include "tst_robustness.moc"
