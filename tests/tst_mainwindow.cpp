// The main window: its controls and layout, the slave list, the text
// limits, the shipped font, and how it behaves while a request waits.

#include "Frames.h"
#include "WindowRig.h"
#include "protocol/Commands.h"
#include "ui/Fonts.h"

#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTest>

using namespace korvane;
using namespace korvane::test;


class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void controlsStandWhereTheLayoutPutsThem_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("geometry"); // pixels: twips / 15
        QTest::addColumn<QString>("caption");
        auto row = [](const char *name, const char *parent, int l, int t, int w, int h, const char *caption) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(parent)
                                << QRect(l / 15, t / 15, w / 15, h / 15) << QString::fromUtf8(caption);
        };
        row("Frame1", "client", 360, 240, 3975, 1335, "Counter Mode");
        row("cmdReadCount", "Frame1", 240, 360, 1695, 375, "Read Counter Value");
        row("cmdResetCount", "Frame1", 240, 840, 1695, 375, "Reset Counter");
        row("lblCounter", "Frame1", 2280, 360, 1095, 375, "");
        row("Label4", "Frame1", 2280, 960, 495, 255, "Status");
        row("lblSta", "Frame1", 2880, 960, 735, 255, "");
        row("Frame2", "client", 4440, 960, 3735, 2175, "Display Mode");
        row("cmdWReg", "Frame2", 240, 480, 1695, 375, "Write Numeric Value");
        row("txtNum", "Frame2", 2280, 480, 1095, 285, "");
        row("Label1", "Frame2", 240, 960, 1695, 255, "-99999 to 999999");
        row("Label3", "Frame2", 2280, 960, 615, 255, "Status");
        row("lblSta1", "Frame2", 2880, 960, 735, 255, "");
        row("cmdASCII", "Frame2", 240, 1320, 1695, 375, "Write ASCII Text");
        row("txtASCII", "Frame2", 2280, 1320, 1095, 285, "");
        row("Frame3", "client", 360, 1680, 3975, 1455, "Output Control");
        row("cmdOutput0", "Frame3", 240, 360, 1095, 255, "Turn On 1");
        row("cmdOutput1", "Frame3", 240, 720, 1095, 255, "Turn Off 1");
        row("cmdOutput2", "Frame3", 1440, 360, 1095, 255, "Turn On 2");
        row("cmdOutput3", "Frame3", 1440, 720, 1095, 255, "Turn Off 2");
        row("cmdOutput4", "Frame3", 2640, 360, 1095, 255, "Buzzer On");
        row("cmdOutput5", "Frame3", 2640, 720, 1095, 255, "Buzzer Off");
        row("Label5", "Frame3", 240, 1080, 495, 255, "Status");
        row("lblSta2", "Frame3", 1080, 1080, 975, 255, "");
        row("Label2", "client", 4680, 600, 1455, 255, "Select Slave ID");
        row("cboSlave", "client", 6120, 480, 735, 315, "");
        row("Label6", "client", 360, 3360, 5175, 255, "KORVANE Modbus Counter/Display https://korvane.example");
    }
    void controlsStandWhereTheLayoutPutsThem()
    {
        QFETCH(QString, name);
        QFETCH(QString, parentName);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        WindowRig rig;
        auto *w = rig.window->findChild<QWidget *>(name);
        QVERIFY(w);
        QCOMPARE(w->parentWidget()->objectName(), parentName);
        QCOMPARE(w->geometry(), geometry);
        if (auto *b = qobject_cast<QPushButton *>(w))
            QCOMPARE(b->text(), caption);
        else if (auto *l = qobject_cast<QLabel *>(w))
            QCOMPARE(l->text(), caption);
        else if (auto *g = qobject_cast<QGroupBox *>(w))
            QCOMPARE(g->title(), caption);
    }

    void windowHasItsTitleIconAndFixedClientArea()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        QCOMPARE(w.windowTitle(), QStringLiteral("KORVANE"));
        QVERIFY(!w.windowIcon().isNull());
        QCOMPARE(w.centralWidget()->size(), QSize(569, 245));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QCOMPARE(w.Timer1->interval(), 10);
        QCOMPARE(w.Timer1->timerType(), Qt::PreciseTimer);
        QVERIFY(!w.Timer1->isActive());
    }

    void coloursOfTheLabels()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        QCOMPARE(w.lblCounter->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QCOMPARE(w.lblCounter->palette().color(QPalette::Window), QColor(0, 0, 0));
        QVERIFY(w.lblCounter->autoFillBackground());
        QCOMPARE(w.lblSta->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QCOMPARE(w.lblSta1->palette().color(QPalette::WindowText), QColor(192, 0, 0));
        QCOMPARE(w.lblSta2->palette().color(QPalette::WindowText), QColor(255, 128, 0));
        QCOMPARE(w.Label6->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        for (QLabel *l : {w.lblSta, w.lblSta1, w.lblSta2, w.Label6, w.lblCounter})
            QVERIFY2(l->font().bold(), qPrintable(l->objectName()));
        QVERIFY(!w.Label4->font().bold());
    }

    void slaveListHoldsOneTo247()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        QCOMPARE(w.cboSlave->count(), 247);
        for (int i = 0; i < 247; ++i)
            QCOMPARE(w.cboSlave->itemText(i), QString::number(i + 1));
        QVERIFY(w.cboSlave->isEditable());
        QCOMPARE(w.cboSlave->insertPolicy(), QComboBox::NoInsert);
    }

    void listIndexIsTheEntryTheFieldNames()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        w.setListIndex(4);
        QCOMPARE(w.ListIndex(), 4);
        QCOMPARE(w.cboSlave->currentText(), QStringLiteral("5"));
        QLineEdit *field = w.cboSlave->lineEdit();
        field->selectAll();
        QTest::keyClicks(field, QStringLiteral("31"));
        QCOMPARE(w.ListIndex(), 30);
        QCOMPARE(w.slaveAddress(), std::optional<std::uint8_t>(31));
        QTest::keyClicks(field, QStringLiteral("9"));
        QCOMPARE(w.ListIndex(), -1);
        QCOMPARE(w.slaveAddress(), std::nullopt);
        w.setListIndex(-1);
        QCOMPARE(w.cboSlave->currentText(), QString());
        QCOMPARE(w.slaveAddress(), std::nullopt);
    }

    void tabOrder()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.cmdReadCount->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(w.cmdReadCount));
        const QList<QWidget *> expected = {w.txtNum, w.cmdWReg, w.cboSlave->lineEdit(), w.cmdResetCount,
                                           w.cmdOutput[0], w.cmdOutput[1], w.cmdOutput[2], w.cmdOutput[3],
                                           w.txtASCII, w.cmdASCII, w.cmdOutput[4], w.cmdOutput[5],
                                           w.cmdReadCount};
        for (QWidget *next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget *focus = QApplication::focusWidget();
            QVERIFY2(focus == next || focus->focusProxy() == next || next->focusProxy() == focus,
                     qPrintable(QStringLiteral("focus on %1, expected %2")
                                    .arg(focus->objectName(), next->objectName())));
        }
    }

    void textBoxesTakeSixCharacters_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");
        QTest::newRow("txtNum: 1234567 keeps 123456") << "txtNum" << "1234567" << "123456";
        QTest::newRow("txtASCII: ABCDEFG keeps ABCDEF") << "txtASCII" << "ABCDEFG" << "ABCDEF";
        QTest::newRow("txtASCII: any characters, no filter") << "txtASCII" << "a.-? !" << "a.-? !";
    }
    void textBoxesTakeSixCharacters()
    {
        QFETCH(QString, box);
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        WindowRig rig;
        auto *edit = rig.window->findChild<QLineEdit *>(box);
        QTest::keyClicks(edit, typed);
        QCOMPARE(edit->text(), kept);
    }

    void theShippedFontIsUsedAndEveryCaptionFits()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(QFontInfo(w.font()).family(), uiFontFamily());
        QCOMPARE(uiFontFamily(), QStringLiteral("Liberation Sans"));
        QCOMPARE(QFontInfo(w.lblSta->font()).family(), uiFontFamily());

        auto fits = [](QWidget *w, const QString &text, const QRect &room) {
            const QRect needed = w->fontMetrics().boundingRect(room, Qt::AlignLeft | Qt::AlignVCenter, text);
            return needed.width() <= room.width() && w->fontMetrics().height() <= room.height();
        };
        for (QPushButton *b : w.centralWidget()->findChildren<QPushButton *>()) {
            QStyleOptionButton opt;
            opt.initFrom(b);
            opt.text = b->text();
            const QRect room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
            QVERIFY2(fits(b, b->text(), room), qPrintable(b->objectName()));
        }
        for (QLabel *l : w.centralWidget()->findChildren<QLabel *>()) {
            QVERIFY2(fits(l, l->text(), l->contentsRect()), qPrintable(l->objectName()));
        }
        for (QLabel *l : {w.lblSta, w.lblSta1, w.lblSta2}) {
            for (const char *word : {"Success", "CRC Err", "Error"})
                QVERIFY2(fits(l, QLatin1String(word), l->contentsRect()),
                         qPrintable(l->objectName() + QLatin1Char(' ') + QLatin1String(word)));
        }
        for (QGroupBox *g : w.findChildren<QGroupBox *>())
            QVERIFY2(g->fontMetrics().horizontalAdvance(g->title()) < g->width() - 16, qPrintable(g->objectName()));
        QVERIFY(fits(w.lblCounter, QStringLiteral("-99999"), w.lblCounter->contentsRect()));
    }

    void longCounterValuesAreShownWhole_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("shown");
        QTest::newRow("999999") << QByteArray::fromHex("010304000F423F") << "999999";
        QTest::newRow("-2147483648") << QByteArray::fromHex("01030480000000") << "-2147483648";
    }
    void longCounterValuesAreShownWhole()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, shown);
        WindowRig rig;
        frmMain &w = *rig.window;
        rig.port.answerNext(FakeSerialPort::inTime(withCRC(reply)));
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblCounter->text(), shown);
        const int room = w.lblCounter->contentsRect().width() - 2 * w.lblCounter->indent();
        QVERIFY(w.lblCounter->fontMetrics().horizontalAdvance(shown) <= room);
    }

    // A value too wide for the display is drawn smaller; the next value that
    // fits ("0" after a reset, then a small reading) is drawn at the
    // display's own size again.
    void counterDisplayReturnsToItsOwnSize()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        const QFont own = w.lblCounter->font();
        QCOMPARE(own.pixelSize(), 16); // 12 point
        QVERIFY(own.bold());

        rig.port.answerNext(FakeSerialPort::inTime(withCRC(hex("01030480000000"))));
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblCounter->text(), QStringLiteral("-2147483648"));
        QVERIFY(w.lblCounter->font().pixelSize() < own.pixelSize());

        rig.port.answerNext(FakeSerialPort::inTime(hex("01050002FF002DFA")));
        QTest::mouseClick(w.cmdResetCount, Qt::LeftButton);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("0"));
        QCOMPARE(w.lblCounter->font(), own);

        rig.port.answerNext(FakeSerialPort::inTime(hex("010304000000053A30")));
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblCounter->text(), QStringLiteral("5"));
        QCOMPARE(w.lblCounter->font(), own);

        // Wide again, then a six-digit reading: it fits, so full size.
        rig.port.answerNext(FakeSerialPort::inTime(withCRC(hex("01030480000000"))));
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        rig.port.answerNext(FakeSerialPort::inTime(withCRC(hex("01030400 0F423F"))));
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.lblCounter->text(), QStringLiteral("999999"));
        QCOMPARE(w.lblCounter->font(), own);
    }

    void clicksDuringAWaitStartNoSecondExchange()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        rig.port.answerNext(FakeSerialPort::inTime(QByteArray::fromHex("010304000000053A30"), 8));
        rig.port.onTick = [&](int tick) {
            if (tick == 2) {
                QVERIFY(w.isBusy());
                QTest::mouseClick(w.cmdResetCount, Qt::LeftButton);
                QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
            }
        };
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(rig.port.requests().size(), 1);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
        QCOMPARE(w.lblCounter->text(), QStringLiteral("5"));
        QVERIFY(!w.isBusy());
        // Afterwards the buttons work again.
        QTest::mouseClick(w.cmdResetCount, Qt::LeftButton);
        QCOMPARE(rig.port.requests().size(), 2);
    }

    void closingDuringAWaitEndsTheWaitAndTouchesNothingDestroyed()
    {
        WindowRig rig;
        QPointer<frmMain> w = rig.window;
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        int lastTick = 0;
        rig.port.onTick = [&](int tick) {
            lastTick = tick;
            if (tick == 3)
                w->close();
        };
        QTest::mouseClick(w->cmdReadCount, Qt::LeftButton);
        // The click returned: the wait ended although its timer is gone.
        QVERIFY(w.isNull());
        QVERIFY(lastTick >= 3 && lastTick < 10);
    }

    void deletingDuringAWaitEndsTheWait()
    {
        WindowRig rig;
        QPointer<frmMain> w = rig.window;
        rig.port.onTick = [&](int tick) {
            if (tick == 2)
                w->deleteLater();
        };
        QTest::mouseClick(w->cmdResetCount, Qt::LeftButton);
        QTRY_VERIFY(w.isNull());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
