// The "Help" menu, the last of the menu bar: "About KORVANE" and "About Qt",
// opened with the mouse in the shown, active window.

#include "Frames.h"
#include "WindowRig.h"
#include "ui/About.h"

#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace korvane;
using namespace korvane::test;

namespace {
constexpr int Patience = 10000; // ms; only bounds a hang

struct Shown {
    QString title;
    QString text;
};

// Clicks `item` of the "Help" menu as an operator does (the menu bar's
// "Help", then the item in the opened menu) and returns the message box
// that opens, closed again with Escape.
Shown clickHelpItem(frmMain &w, QAction *item)
{
    Shown shown;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        shown = {box->windowTitle(), box->text()};
        QTest::keyClick(box, Qt::Key_Escape);
    });
    QMenuBar *bar = w.menuBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(w.mnuHelp->menuAction()).center());
    if (!QTest::qWaitFor([&] { return w.mnuHelp->isVisible(); }, Patience))
        return shown;
    poll.start();
    QTest::mouseClick(w.mnuHelp, Qt::LeftButton, {}, w.mnuHelp->actionGeometry(item).center());
    if (!QTest::qWaitFor([&] { return !shown.title.isEmpty() && !QApplication::activeModalWidget(); }, Patience))
        qWarning("no box opened and closed; shown: %s", qPrintable(shown.title));
    return shown;
}
} // namespace

class TestAbout : public QObject {
    Q_OBJECT
private slots:
    void helpIsTheLastMenu()
    {
        WindowRig rig;
        const QList<QAction *> menus = rig.window->menuBar()->actions();
        QStringList titles;
        for (QAction *menu : menus)
            titles << menu->text();
        QCOMPARE(titles, (QStringList{"Serial Port", "Baud Rate", "Data Format", "View", "Help"}));
        QCOMPARE(menus.last(), rig.window->mnuHelp->menuAction());
        QStringList items;
        for (QAction *a : rig.window->mnuHelp->actions())
            items << a->text();
        QCOMPARE(items, (QStringList{"About KORVANE", "About Qt"}));
    }

    void aboutTextSaysWhatAndWhoseItIs()
    {
        const QString text = aboutText(QStringLiteral("9.8.7"), QStringLiteral("6.4.2"));
        QVERIFY(text.contains(QLatin1String("KORVANE 9.8.7")));
        QVERIFY(text.contains(QLatin1String("Drives one Modbus RTU counter/display device over a serial line.")));
        QVERIFY(text.contains(QLatin1String("Licence: MIT")));
        QVERIFY(text.contains(QLatin1String("Liberation Sans font: SIL Open Font License 1.1")));
        QVERIFY(text.contains(QLatin1String("Qt 6.4.2")));
        QVERIFY(text.contains(QStringLiteral("<a href=\"%1\">%1</a>").arg(QLatin1String(MakerAddress))));
        // The address the window and this box show is the homepage the
        // packages and the AppStream data give.
        QCOMPARE(QLatin1String(MakerAddress), QLatin1String(KORVANE_HOMEPAGE_URL));
        // Text from outside is shown as text, never as markup.
        QVERIFY(aboutText(QStringLiteral("1<b>"), QStringLiteral("6")).contains(QLatin1String("1&lt;b&gt;")));
    }

    void helpMenuOpensTheBoxes()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));

        const Shown about = clickHelpItem(w, w.mnuAbout);
        QCOMPARE(about.title, QStringLiteral("About KORVANE"));
        // This build's version and the Qt library it runs on.
        QCOMPARE(about.text, aboutText(QStringLiteral(KORVANE_PROJECT_VERSION), QString::fromLatin1(qVersion())));

        const Shown aboutQt = clickHelpItem(w, w.mnuAboutQt);
        QCOMPARE(aboutQt.title, QStringLiteral("About Qt"));
        QVERIFY(aboutQt.text.contains(QString::fromLatin1(qVersion())));

        // Both closed again, the window stays.
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QVERIFY(w.isVisible());
    }

    // During a wait the Help items are ignored, as the other menus' items
    // are: a box waits in an event loop of its own and would hold the
    // request's status word back until it is closed.
    void ignoredDuringAWait_data()
    {
        QTest::addColumn<QString>("item");
        QTest::newRow("About KORVANE") << "mnuAbout";
        QTest::newRow("About Qt") << "mnuAboutQt";
    }
    void ignoredDuringAWait()
    {
        QFETCH(QString, item);
        WindowRig rig;
        frmMain &w = *rig.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *action = w.findChild<QAction *>(item);
        QVERIFY(action);
        rig.port.answerNext(FakeSerialPort::inTime(hex("010304000000053A30"), 8));
        QVERIFY(!opensSomethingDuringAWait(rig, action));
        QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));

        // Once the request has ended the item works again.
        const Shown shown = clickHelpItem(w, action);
        QCOMPARE(shown.title, action->text());
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
