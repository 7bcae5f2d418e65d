// Where the traffic window opens: beside the main window, in the largest
// free part of the screen, never over it. The rule on its own as a table;
// then both windows really shown on a screen of the size the offscreen
// platform was given (CTest runs this once per screen size, see
// tests/CMakeLists.txt), and kept where the operator puts the traffic
// window.

#include "WindowRig.h"
#include "ui/BesideWindow.h"
#include "ui/TrafficWindow.h"

#include <QLayout>
#include <QScreen>
#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

const QSize Preferred = TrafficWindow::PreferredSize; // 1200 x 360
const QSize Smallest = TrafficWindow::SmallestSize;   // 400 x 150
const QMargins NoFrame;
const QMargins TitleBar(4, 30, 4, 4);

QString text(const QRect &r)
{
    return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

} // namespace

class TestBesideWindow : public QObject {
    Q_OBJECT
private slots:
    void besideWindow_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("mainFrame");
        QTest::addColumn<QMargins>("frame");
        QTest::addColumn<QRect>("expected"); // the client geometry

        QTest::newRow("1920x1080, main centred: below it, the preferred size, centred on it")
            << QRect(0, 0, 1920, 1080) << QRect(660, 400, 600, 280) << NoFrame << QRect(360, 680, 1200, 360);
        QTest::newRow("1280x800, main centred: below it, as high as the free part")
            << QRect(0, 0, 1280, 800) << QRect(340, 260, 600, 280) << NoFrame << QRect(40, 540, 1200, 260);
        QTest::newRow("1024x768 with a title bar: the frame fills the part below, the client inside it")
            << QRect(0, 0, 1024, 768) << QRect(212, 244, 600, 280) << TitleBar << QRect(4, 554, 1016, 210);
        QTest::newRow("main at the top-left: right of it (a tie with below, right goes first)")
            << QRect(0, 0, 1920, 1080) << QRect(0, 0, 600, 280) << NoFrame << QRect(600, 0, 1200, 360);
        QTest::newRow("main at the top-left with a title bar: frames touching, the client at the preferred size")
            << QRect(0, 0, 1920, 1080) << QRect(0, 0, 608, 314) << TitleBar << QRect(612, 30, 1200, 360);
        QTest::newRow("main at the right edge: left of it, level with its top")
            << QRect(0, 0, 1920, 1080) << QRect(1320, 100, 600, 280) << NoFrame << QRect(120, 100, 1200, 360);
        QTest::newRow("main at the bottom edge: above it")
            << QRect(0, 0, 1920, 1080) << QRect(660, 780, 600, 300) << NoFrame << QRect(360, 420, 1200, 360);
        QTest::newRow("main near the left edge: below it, moved onto the screen")
            << QRect(0, 0, 1280, 800) << QRect(50, 100, 600, 280) << NoFrame << QRect(0, 380, 1200, 360);
        QTest::newRow("a second screen with a panel on top: within its available part")
            << QRect(1920, 30, 1280, 770) << QRect(2260, 275, 600, 280) << NoFrame << QRect(1960, 555, 1200, 245);
        QTest::newRow("no free part holds the smallest size: the smallest, below, overlapping least")
            << QRect(0, 0, 800, 600) << QRect(50, 50, 700, 500) << NoFrame << QRect(200, 450, 400, 150);
        QTest::newRow("main on another screen: centred, the preferred size")
            << QRect(0, 0, 1280, 800) << QRect(2000, 100, 600, 280) << NoFrame << QRect(40, 220, 1200, 360);
        QTest::newRow("no main window, a screen smaller than the preferred size: the whole screen")
            << QRect(0, 0, 1000, 300) << QRect() << NoFrame << QRect(0, 0, 1000, 300);
    }

    void besideWindow()
    {
        QFETCH(QRect, available);
        QFETCH(QRect, mainFrame);
        QFETCH(QMargins, frame);
        QFETCH(QRect, expected);
        const QRect placed = korvane::besideWindow(available, mainFrame, Preferred, frame, Smallest);
        QCOMPARE(text(placed), text(expected));
    }

    // Both windows shown, the main window where the program puts it (the
    // middle of its screen) and the traffic window opened from the "View"
    // menu: their frames do not overlap, both stand on the screen, and the
    // traffic window has at least its smallest size. Moved and resized by
    // the operator, it comes back there when shown again.
    void opensBesideTheMainWindow()
    {
        const QString wanted = qEnvironmentVariable("KORVANE_TEST_SCREEN"); // e.g. "1280x800"
        QVERIFY2(!wanted.isEmpty(), "run by CTest with a screen size (tests/CMakeLists.txt)");
        QScreen *screen = QGuiApplication::primaryScreen();
        QCOMPARE(QStringLiteral("%1x%2").arg(screen->size().width()).arg(screen->size().height()), wanted);

        WindowRig rig;
        frmMain &w = *rig.window;
        // As main.cpp places it.
        w.ensurePolished();
        w.layout()->activate();
        const QRect room = screen->availableGeometry();
        w.move(room.x() + (room.width() - w.width()) / 2, room.y() + (room.height() - w.height()) / 2);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        const QRect mainFrame = w.frameGeometry();

        w.mnuTraffic->trigger();
        TrafficWindow &t = *w.frmTraffic;
        QVERIFY(QTest::qWaitForWindowExposed(&t));
        QTRY_VERIFY(t.frameGeometry() != t.geometry()); // the frame known (the offscreen one: 2 pixels)
        const QRect trafficFrame = t.frameGeometry();
        const QString both = text(mainFrame) + QStringLiteral(" / ") + text(trafficFrame);
        QCOMPARE(w.frameGeometry(), mainFrame);
        QVERIFY2(!trafficFrame.intersects(mainFrame), qPrintable(both));
        QVERIFY2(room.contains(trafficFrame), qPrintable(both));
        QVERIFY2(room.contains(mainFrame), qPrintable(both));
        QVERIFY2(t.width() >= Smallest.width() && t.height() >= Smallest.height(), qPrintable(both));
        QVERIFY2(t.width() <= Preferred.width() && t.height() <= Preferred.height(), qPrintable(both));

        const QRect moved(room.x() + 10, room.y() + 20, 700, 300);
        t.setGeometry(moved);
        QTRY_COMPARE(t.geometry(), moved);
        w.mnuTraffic->trigger();
        QVERIFY(!t.isVisible());
        w.mnuTraffic->trigger();
        QVERIFY(QTest::qWaitForWindowExposed(&t));
        QCOMPARE(t.geometry(), moved);
    }
};

QTEST_MAIN(TestBesideWindow)
#include "tst_besidewindow.moc"
