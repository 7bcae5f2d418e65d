// The display and output buttons: what each press sends, where it reports,
// and what the numeric field refuses.

#include "WindowRig.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "Frames.h"

using namespace korvane;
using namespace korvane::test;

class TestDisplayOutput : public QObject {
    Q_OBJECT
private slots:
    void buttonsSendTheirFrameAndReport_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("num");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("status");
        const QByteArray numberEcho = hex("01100000000241C8");
        const QByteArray textEcho = hex("011000020003 21C8");
        QTest::newRow("123456: 01 10 00 00 00 02 04 00 01 E2 40 EB 3F")
            << "cmdWReg" << "123456" << "" << hex("0110000000020400 01E240EB3F") << numberEcho << "lblSta1" << "Success";
        QTest::newRow("-99999: ... FF FE 79 61 40 33")
            << "cmdWReg" << "-99999" << "" << hex("01100000000204FFFE79614033") << numberEcho << "lblSta1" << "Success";
        QTest::newRow("\" 42 \" is sent as 42, no answer -> Error")
            << "cmdWReg" << " 42 " << "" << QByteArray() << QByteArray() << "lblSta1" << "Error";
        QTest::newRow("AB: 01 10 00 02 00 03 06 20 20 20 20 41 42 7B 86")
            << "cmdASCII" << "" << "AB" << hex("01100002000306202020204142 7B86") << textEcho << "lblSta1" << "Success";
        QTest::newRow("text echo with a bad CRC -> CRC Err")
            << "cmdASCII" << "" << "AB" << QByteArray() << hex("01100002000321C9") << "lblSta1" << "CRC Err";
        QTest::newRow("Turn On 1: 01 05 00 00 FF 00 8C 3A")
            << "cmdOutput0" << "" << "" << hex("01050000FF008C3A") << QByteArray() << "lblSta2" << "Error";
        QTest::newRow("Turn Off 1: 01 05 00 00 00 00 CD CA")
            << "cmdOutput1" << "" << "" << hex("010500000000CDCA") << QByteArray() << "lblSta2" << "Error";
        QTest::newRow("Turn On 2: 01 05 00 01 FF 00 DD FA")
            << "cmdOutput2" << "" << "" << hex("01050001FF00DDFA") << QByteArray() << "lblSta2" << "Error";
        QTest::newRow("Turn Off 2: 01 05 00 01 00 00 9C 0A")
            << "cmdOutput3" << "" << "" << hex("0105000100009C0A") << QByteArray() << "lblSta2" << "Error";
        QTest::newRow("Buzzer On: 01 05 00 03 FF 00 7C 3A, echo -> Success")
            << "cmdOutput4" << "" << "" << hex("01050003FF007C3A") << hex("01050003FF007C3A") << "lblSta2" << "Success";
        QTest::newRow("Buzzer Off: 01 05 00 03 00 00 3D CA")
            << "cmdOutput5" << "" << "" << hex("0105000300003DCA") << QByteArray() << "lblSta2" << "Error";
        QTest::newRow("output, exception 01 85 01 83 50 -> CRC Err")
            << "cmdOutput0" << "" << "" << QByteArray() << hex("0185018350") << "lblSta2" << "CRC Err";
    }
    void buttonsSendTheirFrameAndReport()
    {
        QFETCH(QString, button);
        QFETCH(QString, num);
        QFETCH(QString, text);
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, reply);
        QFETCH(QString, label);
        QFETCH(QString, status);
        WindowRig rig;
        frmMain &w = *rig.window;
        w.txtNum->setText(num);
        w.txtASCII->setText(text);
        w.lblCounter->setText(QStringLiteral("77"));
        auto *statusLabel = w.findChild<QLabel *>(label);
        statusLabel->setText(QStringLiteral("old"));
        if (!reply.isEmpty())
            rig.port.answerNext(FakeSerialPort::inTime(reply));
        QStringList duringWait;
        rig.port.onTick = [&](int) { duringWait << statusLabel->text(); };

        QTest::mouseClick(w.findChild<QPushButton *>(button), Qt::LeftButton);

        QCOMPARE(rig.port.requests().size(), 1);
        if (!frame.isEmpty())
            QCOMPARE(rig.port.requests().first(), frame);
        QCOMPARE(duringWait, QStringList(10, QString()));
        QCOMPARE(statusLabel->text(), status);
        // Nothing else in the window changes.
        QCOMPARE(w.txtNum->text(), num);
        QCOMPARE(w.txtASCII->text(), text);
        QCOMPARE(w.lblCounter->text(), QStringLiteral("77"));
        QVERIFY(rig.messages.isEmpty());
    }

    void refusedNumbersSendNothing_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("empty") << "";
        QTest::newRow("12a") << "12a";
        QTest::newRow("1.5") << "1.5";
        QTest::newRow("1e3") << "1e3";
        QTest::newRow("99999999999 (set by code, beyond 32 bits)") << "99999999999";
    }
    void refusedNumbersSendNothing()
    {
        QFETCH(QString, typed);
        WindowRig rig;
        frmMain &w = *rig.window;
        w.txtNum->setText(typed);
        w.lblSta1->setText(QStringLiteral("old"));
        QTest::mouseClick(w.cmdWReg, Qt::LeftButton);
        QVERIFY(rig.port.requests().isEmpty());
        QCOMPARE(w.lblSta1->text(), QString());
        QCOMPARE(rig.messages.size(), 1);
        const Message &m = rig.messages.first();
        QCOMPARE(m.title, QStringLiteral("KORVANE"));
        QCOMPARE(m.icon, QMessageBox::Warning);
        QVERIFY(m.text.contains(QLatin1Char('"') + typed + QLatin1Char('"')));
        QVERIFY(m.informativeText.contains(QStringLiteral("a whole number from -99999 to 999999")));
        QCOMPARE(w.txtNum->text(), typed);
    }

    void textSetByCodeSendsAtMostSixCharacters()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        w.txtASCII->setText(QStringLiteral("\u20acBCDEFGHI"));
        QTest::mouseClick(w.cmdASCII, Qt::LeftButton);
        QCOMPARE(rig.port.requests().first().mid(7, 6), QByteArray("\x80" "BCDEF"));
    }

    void everyPressSendsItsFrame()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        const QByteArray buzzerOn = hex("01050003FF007C3A");
        rig.port.answerNext(FakeSerialPort::inTime(buzzerOn));
        QTest::mouseClick(w.cmdOutput[4], Qt::LeftButton);
        QCOMPARE(w.lblSta2->text(), QStringLiteral("Success"));
        QTest::mouseClick(w.cmdOutput[4], Qt::LeftButton);
        QCOMPARE(w.lblSta2->text(), QStringLiteral("Error"));
        QCOMPARE(rig.port.requests(), (QList<QByteArray>{buzzerOn, buzzerOn}));
    }
};

QTEST_MAIN(TestDisplayOutput)
#include "tst_displayoutput.moc"
