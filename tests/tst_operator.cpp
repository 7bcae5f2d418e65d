// The window used as an operator uses it: shown and active, driven by key
// presses and mouse clicks that go through the window to whatever has the
// focus or stands under the pointer. Covers what depends on focus: the
// address the slave field names however the typing ends.

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

QTEST_MAIN(TestOperator)
#include "tst_operator.moc"
