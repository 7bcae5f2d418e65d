// The window used as an operator uses it: shown and active, driven by key
// presses and mouse clicks that go through the window to whatever has the
// focus or stands under the pointer. Covers what depends on focus: the
// address the slave field names however the typing ends, Enter on the
// buttons and in the field, and Ctrl+Q.

#include "Frames.h"
#include "WindowRig.h"

#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

QByteArray iniWithSlave(const QByteArray &slaveId)
{
    return "[Settings]\r\nCommPort=\"1\"\r\nSetting=\"9600,n,8,2\"\r\nSlaveID=\"" + slaveId + "\"\r\n";
}

// The window on the fake port, shown and active.
struct ShownWindow : WindowRig {
    explicit ShownWindow(const QByteArray &ini = DefaultIni) : WindowRig(ini)
    {
        // Fixed size known before the platform window exists, as the program does.
        window->ensurePolished();
        window->layout()->activate();
        window->show();
        active = QTest::qWaitForWindowActive(window);
    }
    frmMain &w() { return *window; }
    QWindow *handle() { return window->windowHandle(); }

    // A left click at the middle of `target`, delivered to the window.
    void click(QWidget *target, QPoint at = {})
    {
        if (at.isNull())
            at = target->rect().center();
        QTest::mouseClick(handle(), Qt::LeftButton, {}, target->mapTo(window, at));
    }
    // A key press and release, delivered to the window (and so to the focus).
    void key(Qt::Key k, Qt::KeyboardModifiers m = {}) { QTest::keyClick(handle(), k, m); }
    void type(const QString &text)
    {
        for (QChar c : text)
            QTest::keyClick(handle(), c.toLatin1());
    }
    // Clicks into the slave field, selects what it holds and types `text`
    // over it (an empty text erases it). A null text only clicks into it.
    void typeIntoSlaveField(const QString &text)
    {
        click(window->cboSlave->lineEdit(), QPoint(5, window->cboSlave->lineEdit()->height() / 2));
        if (text.isNull())
            return;
        key(Qt::Key_A, Qt::ControlModifier);
        if (text.isEmpty())
            key(Qt::Key_Backspace);
        else
            type(text);
    }

    bool active = false;
};

enum Ending { ClickOnTheButton, Tab, Enter, OpeningAMenu, Nothing };

const char *endingName(Ending e)
{
    switch (e) {
    case ClickOnTheButton:
        return "clicking the button";
    case Tab:
        return "Tab";
    case Enter:
        return "Enter";
    case OpeningAMenu:
        return "opening a menu";
    case Nothing:
        break;
    }
    return "nothing (the field keeps the focus)";
}

QString spaced(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

} // namespace

class TestOperator : public QObject {
    Q_OBJECT
private slots:
    void slaveFieldTextDecidesHoweverTheTypingEnds_data();
    void slaveFieldTextDecidesHoweverTheTypingEnds();
    void enterPressesTheFocusedButton_data();
    void enterPressesTheFocusedButton();
    void enterInTheSlaveFieldSendsNothing_data();
    void enterInTheSlaveFieldSendsNothing();
    void ctrlQClosesTheWindowAndStoresTheSettings_data();
    void ctrlQClosesTheWindowAndStoresTheSettings();
};

void TestOperator::slaveFieldTextDecidesHoweverTheTypingEnds_data()
{
    QTest::addColumn<QByteArray>("storedSlave");
    QTest::addColumn<QString>("typed"); // null: clicked into, nothing typed
    QTest::addColumn<int>("ending");
    QTest::addColumn<QByteArray>("frame"); // "Reset Counter"; empty: nothing sent

    struct Case {
        const char *stored;
        QString typed;
        int address; // -1: nothing is sent
    };
    const Case cases[] = {
        {"1", QStringLiteral("12"), 12},
        {"1", QStringLiteral(" 12 "), 12},
        {"5", QStringLiteral("5"), 5},
        {"1", QStringLiteral("300"), -1},
        {"1", QStringLiteral("abc"), -1},
        {"1", QStringLiteral(""), -1},
        {"0", QString(), 0},              // the stored broadcast address stays
        {"0", QStringLiteral("7"), 7},    // until the field is changed
        {"0", QStringLiteral("abc"), -1},
        {"abc", QString(), -1},           // a stored address that could not be used
        {"abc", QStringLiteral("9"), 9},
    };
    for (const Case &c : cases) {
        QByteArray frame;
        if (c.address >= 0)
            frame = withCRC(QByteArray(1, char(c.address)) + hex("050002FF00"));
        for (Ending e : {ClickOnTheButton, Tab, Enter, OpeningAMenu, Nothing}) {
            const QString typed = c.typed.isNull() ? QStringLiteral("nothing typed")
                                                   : QStringLiteral("typed \"%1\"").arg(c.typed);
            const QString sent = frame.isEmpty() ? QStringLiteral("nothing sent, Error") : spaced(frame);
            QTest::addRow("SlaveID=%s, %s, ended by %s: %s", c.stored, qPrintable(typed), endingName(e),
                          qPrintable(sent))
                << QByteArray(c.stored) << c.typed << int(e) << frame;
        }
    }
}

// "Reset Counter" after typing into the slave field: the text in the field
// when the button is pressed decides, whether the typing ended by a click
// on the button (which takes the focus), Tab, Enter, a menu opened and
// closed, or nothing at all. A text that names no entry sends nothing (a
// reset sent to address 0 would reset every device on the line).
void TestOperator::slaveFieldTextDecidesHoweverTheTypingEnds()
{
    QFETCH(QByteArray, storedSlave);
    QFETCH(QString, typed);
    QFETCH(int, ending);
    QFETCH(QByteArray, frame);

    ShownWindow rig(iniWithSlave(storedSlave));
    QVERIFY(rig.active);
    frmMain &w = rig.w();
    QLineEdit *field = w.cboSlave->lineEdit();
    // The device answers its own address; nobody answers a broadcast.
    if (!frame.isEmpty() && frame[0] != 0)
        rig.port.answerNext(FakeSerialPort::inTime(frame));

    rig.typeIntoSlaveField(typed);
    QTRY_VERIFY(field->hasFocus());
    if (!typed.isNull())
        QCOMPARE(field->text(), typed);

    switch (Ending(ending)) {
    case ClickOnTheButton:
        break;
    case Tab:
        rig.key(Qt::Key_Tab);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(w.cmdResetCount));
        break;
    case Enter:
        rig.key(Qt::Key_Return);
        break;
    case OpeningAMenu: {
        QMenuBar *bar = w.menuBar();
        rig.click(bar, bar->actionGeometry(w.mnuPort->menuAction()).center());
        QTRY_VERIFY(w.mnuPort->isVisible());
        QTest::keyClick(w.mnuPort->windowHandle(), Qt::Key_Escape);
        QTRY_VERIFY(!w.mnuPort->isVisible());
        break;
    }
    case Nothing:
        QVERIFY(field->hasFocus());
        break;
    }
    QVERIFY(rig.port.requests().isEmpty());

    if (Ending(ending) == Nothing)
        w.cmdResetCount->click(); // pressed without taking the focus
    else
        rig.click(w.cmdResetCount);

    QCOMPARE(rig.port.requests(), frame.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{frame});
    const bool answered = !frame.isEmpty() && frame[0] != 0;
    QCOMPARE(w.lblSta->text(), answered ? QStringLiteral("Success") : QStringLiteral("Error"));
    QCOMPARE(w.cboSlave->count(), 247); // typing never adds an entry
}

void TestOperator::enterPressesTheFocusedButton_data()
{
    QTest::addColumn<QString>("from"); // where the focus is before Tab
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("key");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("label");

    QTest::newRow("Return on Read Counter Value: 01 03 00 00 00 02 C4 0B")
        << "cmdOutput5" << "cmdReadCount" << int(Qt::Key_Return) << hex("010300000002C40B") << "lblSta";
    QTest::newRow("keypad Enter on Reset Counter: 01 05 00 02 FF 00 2D FA")
        << "cboSlave" << "cmdResetCount" << int(Qt::Key_Enter) << hex("01050002FF002DFA") << "lblSta";
    QTest::newRow("Return on Write Numeric Value, 42 typed: 01 10 00 00 00 02 04 00 00 00 2A ..")
        << "txtNum" << "cmdWReg" << int(Qt::Key_Return) << withCRC(hex("0110000000020400 00002A")) << "lblSta1";
    QTest::newRow("Return on Write ASCII Text, 42 typed: 01 10 00 02 00 03 06 20 20 20 20 34 32 ..")
        << "txtASCII" << "cmdASCII" << int(Qt::Key_Return) << withCRC(hex("011000020003062020202034 32")) << "lblSta1";
    QTest::newRow("keypad Enter on Turn On 1: 01 05 00 00 FF 00 8C 3A")
        << "cmdResetCount" << "cmdOutput0" << int(Qt::Key_Enter) << hex("01050000FF008C3A") << "lblSta2";
    QTest::newRow("Return on Buzzer Off: 01 05 00 03 00 00 3D CA")
        << "cmdOutput4" << "cmdOutput5" << int(Qt::Key_Return) << hex("0105000300003DCA") << "lblSta2";
}

// The focus reaches the button the way an operator moves it: Tab from the
// control before it in the tab order (after typing "42" there when it is a
// text box). Nobody answers, so each press ends in "Error".
void TestOperator::enterPressesTheFocusedButton()
{
    QFETCH(QString, from);
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(QByteArray, frame);
    QFETCH(QString, label);

    ShownWindow rig;
    QVERIFY(rig.active);
    frmMain &w = rig.w();
    auto *before = w.findChild<QWidget *>(from);
    auto *target = w.findChild<QPushButton *>(button);
    QVERIFY(before && target);
    before->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(before->hasFocus());
    if (qobject_cast<QLineEdit *>(before))
        rig.type(QStringLiteral("42"));
    rig.key(Qt::Key_Tab);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(target));
    QVERIFY(rig.port.requests().isEmpty());

    rig.key(Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);

    QCOMPARE(rig.port.requests(), QList<QByteArray>{frame});
    QCOMPARE(w.findChild<QLabel *>(label)->text(), QStringLiteral("Error"));
    QVERIFY(rig.messages.isEmpty());
    // One press, one request: the key's release presses nothing more.
    QTest::qWait(50);
    QCOMPARE(rig.port.requests().size(), 1);
}

void TestOperator::enterInTheSlaveFieldSendsNothing_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
}

void TestOperator::enterInTheSlaveFieldSendsNothing()
{
    QFETCH(int, key);
    ShownWindow rig;
    QVERIFY(rig.active);
    frmMain &w = rig.w();
    rig.typeIntoSlaveField(QStringLiteral("12"));
    QTRY_VERIFY(w.cboSlave->lineEdit()->hasFocus());
    rig.key(Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    QTest::qWait(200); // longer than an exchange's wait
    QVERIFY(rig.port.requests().isEmpty());
    QVERIFY(w.isVisible());
    // The field names "12" now, and a press sends there.
    QCOMPARE(w.slaveAddress(), std::optional<std::uint8_t>(12));
}

void TestOperator::ctrlQClosesTheWindowAndStoresTheSettings_data()
{
    QTest::addColumn<QString>("focus");
    QTest::newRow("focus in the slave field") << "cboSlave";
    QTest::newRow("focus in the number field") << "txtNum";
    QTest::newRow("focus on Read Counter Value") << "cmdReadCount";
}

// The file holds its values in quotes, so storing them shows: they are
// written back without. The baud rate chosen from the menu is stored too.
void TestOperator::ctrlQClosesTheWindowAndStoresTheSettings()
{
    QFETCH(QString, focus);
    ShownWindow rig(iniWithSlave("3"));
    QVERIFY(rig.active);
    frmMain &w = rig.w();
    w.mnuBR[2]->trigger();
    auto *target = w.findChild<QWidget *>(focus);
    QVERIFY(target);
    target->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(target->hasFocus() || (target->focusProxy() && target->focusProxy()->hasFocus()));

    rig.key(Qt::Key_Q, Qt::ControlModifier);

    QTRY_VERIFY(!w.isVisible());
    QCOMPARE(rig.iniContents(), QByteArray("[Settings]\r\nCommPort=1\r\nSetting=19200,n,8,2\r\nSlaveID=3\r\n"));
    QVERIFY(rig.port.requests().isEmpty());
}

QTEST_MAIN(TestOperator)
#include "tst_operator.moc"
