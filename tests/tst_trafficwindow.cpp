// The traffic window as the operator uses it: the "View" menu and Ctrl+T,
// also during a wait; the table following new rows; the counts and the
// port's state; copying rows with Ctrl+C; "Clear" and "Save…", also
// chosen while a request waits.

#include "Frames.h"
#include "WindowRig.h"
#include "ui/TrafficWindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QTimer>

using namespace korvane;
using namespace korvane::test;

namespace {

const QByteArray counterReply5 = hex("010304000000053A30");

/// Sends n counter reads through the window: answered, unanswered, corrupted in turn.
void runReads(WindowRig &rig, int n)
{
    for (int i = 0; i < n; ++i) {
        if (i % 3 == 0)
            rig.port.answerNext(FakeSerialPort::inTime(counterReply5));
        else if (i % 3 == 2)
            rig.port.answerNext(FakeSerialPort::inTime(hex("010304000000053A31")));
        QTest::mouseClick(rig.window->cmdReadCount, Qt::LeftButton);
    }
}

ExchangeRecord filler(quint64 number)
{
    ExchangeRecord r;
    r.number = number;
    r.time = QDateTime::currentDateTime();
    r.sent = hex("010300000002C40B");
    r.checkIndex = 6;
    return r;
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestTrafficWindow : public QObject {
    Q_OBJECT
private slots:
    void viewMenuFollowsTheThreeMenusWithTraffic()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        QStringList menus;
        for (QAction *a : w.menuBar()->actions())
            menus << a->text();
        QCOMPARE(menus, (QStringList{"Serial Port", "Baud Rate", "Data Format", "View", "Help"}));
        QCOMPARE(w.mnuPort->actions().size(), 9); // COM1..COM6, a separator, "Port Devices…", "Find Device…"
        QVERIFY(w.mnuPort->actions().at(6)->isSeparator());
        QCOMPARE(w.mnuBaud->actions().size(), 3);
        QCOMPARE(w.mnuFormat->actions().size(), 3);
        for (QMenu *m : {w.mnuPort, w.mnuBaud, w.mnuFormat}) {
            for (QAction *a : m->actions())
                QVERIFY2(a->shortcut().isEmpty(), qPrintable(a->text()));
        }
        QCOMPARE(w.mnuView->actions(), QList<QAction *>{w.mnuTraffic});
        QCOMPARE(w.mnuTraffic->text(), QStringLiteral("Traffic"));
        QVERIFY(w.mnuTraffic->isCheckable());
        QVERIFY(!w.mnuTraffic->isChecked());
        QCOMPARE(w.mnuTraffic->shortcut(), QKeySequence(QStringLiteral("Ctrl+T")));

        QVERIFY(w.frmTraffic->isWindow());
        QVERIFY(!w.frmTraffic->isVisible());
        QCOMPARE(w.frmTraffic->windowTitle(), QStringLiteral("KORVANE Traffic"));
        QCOMPARE(w.frmTraffic->windowModality(), Qt::NonModal);
        QCOMPARE(w.frmTraffic->model()->rowLimit(), 10000);
        QStringList columns;
        for (int c = 0; c < w.frmTraffic->model()->columnCount(); ++c)
            columns << w.frmTraffic->model()->headerData(c, Qt::Horizontal).toString();
        QCOMPARE(columns, (QStringList{"Time", "Port", "Slave", "Command", "Sent", "Received", "Status", "Note"}));
    }

    // Ctrl+T pressed in the main window while a read waits for its reply
    // opens the traffic window at once; the read goes on and lands in it.
    // Ctrl+T in the traffic window hides it again, and so does its own close.
    void ctrlTShowsAndHidesTheWindowAlsoDuringAWait()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        bool shownDuringWait = false;
        rig.port.answerNext(FakeSerialPort::inTime(counterReply5, 8));
        rig.port.onTick = [&](int tick) {
            if (tick == 3) {
                QTest::keyClick(&w, Qt::Key_T, Qt::ControlModifier);
                shownDuringWait = w.frmTraffic->isVisible() && w.isBusy();
            }
        };
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        rig.port.onTick = {};
        QVERIFY(shownDuringWait);
        QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
        QVERIFY(w.mnuTraffic->isChecked());
        QCOMPARE(w.frmTraffic->model()->rowCount(), 1);
        QCOMPARE(w.frmTraffic->model()->cellText(0, TrafficModel::StatusColumn), QStringLiteral("Success"));

        w.frmTraffic->activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), w.frmTraffic);
        QTest::keyClick(w.frmTraffic->table, Qt::Key_T, Qt::ControlModifier);
        QVERIFY(!w.frmTraffic->isVisible());
        QVERIFY(!w.mnuTraffic->isChecked());

        // (The main window counts as active already while the hidden
        // traffic window, its transient, still holds the focus.)
        w.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &w);
        QTest::keyClick(&w, Qt::Key_T, Qt::ControlModifier);
        QVERIFY(w.frmTraffic->isVisible());
        QVERIFY(w.frmTraffic->close());
        QVERIFY(!w.mnuTraffic->isChecked());
        // The main window is still there and works.
        QVERIFY(w.isVisible());
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        QCOMPARE(w.frmTraffic->model()->rowCount(), 2);
    }

    void countsAndPortStateFollowTheExchanges()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        TrafficWindow &t = *w.frmTraffic;
        QCOMPARE(t.lblPort->text(), QStringLiteral("COM1 /dev/ttyS0 open, 9600,n,8,2"));
        runReads(rig, 5);
        // Counted while hidden, shown when the window is.
        w.mnuTraffic->trigger();
        QVERIFY(t.isVisible());
        QCOMPARE(t.lblCounts->text(), QStringLiteral("Exchanges: 5   Success: 2   CRC Err: 1   Error: 2"));

        rig.port.hangUp();
        QCOMPARE(t.lblPort->text(), QStringLiteral("closed"));
        QCOMPARE(t.lblPort->toolTip(), QStringLiteral("/dev/ttyS0: hang-up"));
        w.mnuBR[2]->trigger();
        QCOMPARE(t.lblPort->text(), QStringLiteral("COM1 /dev/ttyS0 open, 19200,n,8,2"));

        t.model()->setRowLimit(3);
        runReads(rig, 1);
        QCOMPARE(t.lblCounts->text(), QStringLiteral("Exchanges: 6   Success: 3   CRC Err: 1   Error: 2   "
                                                     "(the table keeps the last 3)"));
        t.show();
        QVERIFY(QTest::qWaitForWindowExposed(&t));
        QTest::mouseClick(t.cmdClear, Qt::LeftButton);
        QCOMPARE(t.model()->rowCount(), 0);
        QCOMPARE(t.lblCounts->text(), QStringLiteral("Exchanges: 0   Success: 0   CRC Err: 0   Error: 0"));
    }

    // Rows come in while the window is hidden and while it is shown; the
    // newest stays in view unless the operator has scrolled up, and then
    // the rows in view stay, also at the bound, where the oldest go.
    void followsNewRowsUnlessScrolledUp()
    {
        WindowRig rig;
        TrafficWindow &t = *rig.window->frmTraffic;
        t.model()->setRowLimit(100);
        quint64 n = 0;
        const auto add = [&](int count) {
            for (int i = 0; i < count; ++i)
                t.addRecord(filler(++n));
            QCoreApplication::processEvents();
        };
        const auto newestInView = [&] {
            const QRect newest = t.table->visualRect(t.model()->index(t.model()->rowCount() - 1, 0));
            return t.table->viewport()->rect().contains(newest);
        };
        const auto topInView = [&] { return t.model()->record(t.table->rowAt(0)).number; };
        QScrollBar *bar = t.table->verticalScrollBar();
        add(60);
        t.show();
        QVERIFY(QTest::qWaitForWindowActive(&t));
        QCoreApplication::processEvents();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(newestInView());
        add(30);
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(newestInView());

        bar->setValue(10);
        add(5);
        QCOMPARE(topInView(), quint64(11));
        QVERIFY(!newestInView());

        bar->setValue(bar->maximum());
        add(15); // past the bound: the oldest rows go
        QCOMPARE(t.model()->rowCount(), 100);
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(newestInView());

        bar->setValue(20);
        const quint64 top = topInView();
        add(3);
        QCOMPARE(t.model()->rowCount(), 100);
        QCOMPARE(topInView(), top);
        QVERIFY(!newestInView());

        // Rows added while the window is hidden: shown again, it follows
        // them if it was at the end, and stays where it was if not.
        t.hide();
        add(4);
        t.show();
        QCoreApplication::processEvents();
        QVERIFY(!newestInView());
        bar->setValue(bar->maximum());
        t.hide();
        add(4);
        t.show();
        QCoreApplication::processEvents();
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(newestInView());
    }

    // Rows picked with the mouse (a click, then a Ctrl+click), copied with
    // Ctrl+C: tab-separated, in table order, one line each.
    void ctrlCCopiesTheSelectedRows()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        runReads(rig, 3);
        TrafficWindow &t = *w.frmTraffic;
        t.show();
        QVERIFY(QTest::qWaitForWindowActive(&t));
        QApplication::clipboard()->clear();

        const auto centre = [&](int row) { return t.table->visualRect(t.model()->index(row, 1)).center(); };
        QTest::mouseClick(t.table->viewport(), Qt::LeftButton, Qt::NoModifier, centre(2));
        QTest::mouseClick(t.table->viewport(), Qt::LeftButton, Qt::ControlModifier, centre(0));
        QTest::keyClick(t.table, Qt::Key_C, Qt::ControlModifier);

        const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.at(2), QString());
        const QStringList first = lines.at(0).split(QLatin1Char('\t'));
        QCOMPARE(first.size(), 8);
        QCOMPARE(first.mid(1), (QStringList{"COM1 /dev/ttyS0", "1", "Read Counter Value", "01 03 00 00 00 02 C4 0B",
                                            "01 03 04 00 00 00 05 3A 30", "Success",
                                            "CRC good; first byte 30 ms after the request left, 70 ms before the "
                                            "wait ended"}));
        QCOMPARE(first.at(0), t.model()->record(0).time.toString(QStringLiteral("hh:mm:ss.zzz")));
        const QStringList third = lines.at(1).split(QLatin1Char('\t'));
        QCOMPARE(third.value(5), QStringLiteral("01 03 04 00 00 00 05 3A 31"));
        QCOMPARE(third.value(6), QStringLiteral("CRC Err"));
        QVERIFY(third.value(7).startsWith(QStringLiteral("CRC expected 3A 30, received 3A 31")));
    }

    // "Save…" writes a header line and every row, tab-separated, over an
    // existing file as a whole.
    void saveWritesTheWholeTable()
    {
        WindowRig rig;
        frmMain &w = *rig.window;
        runReads(rig, 2);
        rig.port.failOpen = true; // the device stays away: reopening after the hang-up fails
        rig.port.hangUp();
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        TrafficWindow &t = *w.frmTraffic;
        QStringList warnings;
        t.warn = [&](const QString &text, const QString &why) { warnings << text + QLatin1Char(' ') + why; };
        const QString path = rig.dir.filePath(QStringLiteral("traffic.txt"));
        {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(5000, 'x'));
        }
        t.chooseSaveFile = [&] { return path; };
        t.show();
        QVERIFY(QTest::qWaitForWindowExposed(&t));
        QTest::mouseClick(t.cmdSave, Qt::LeftButton);

        QCOMPARE(warnings, QStringList());
        const QList<QByteArray> lines = contents(path).split('\n');
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.at(0), QByteArray("Time\tPort\tSlave\tCommand\tSent\tReceived\tStatus\tNote"));
        const auto fields = [&](int i) { return lines.at(i).split('\t').mid(1); };
        QCOMPARE(fields(1), (QList<QByteArray>{"COM1 /dev/ttyS0", "1", "Read Counter Value", "01 03 00 00 00 02 C4 0B",
                                               "01 03 04 00 00 00 05 3A 30", "Success",
                                               "CRC good; first byte 30 ms after the request left, 70 ms before "
                                               "the wait ended"}));
        QCOMPARE(fields(2), (QList<QByteArray>{"COM1 /dev/ttyS0", "1", "Read Counter Value", "01 03 00 00 00 02 C4 0B",
                                               "", "Error", "no reply within the wait (100 ms)"}));
        QCOMPARE(fields(3), (QList<QByteArray>{"COM1 /dev/ttyS0", "1", "Read Counter Value", "", "", "Error",
                                               "nothing sent: the port is closed (/dev/ttyS0: hang-up; opening it "
                                               "again failed: /dev/ttyS0: No such file or directory)"}));
        QCOMPARE(lines.at(4), QByteArray());
        QCOMPARE(contents(path), t.model()->tableText().toUtf8());
    }

    // "Save…" and "Clear" chosen while a request waits: nothing of them
    // happens during the wait (no file dialog, no question whether to
    // replace the file, which waits in a loop of its own, no row removed),
    // the request ends on time with its status and its row, and right after
    // it they are carried out in the order chosen. "Save" pressed in a file
    // dialog opened before the wait is held the same way.
    void saveAndClearDuringAWaitAreCarriedOutAfterIt_data()
    {
        QTest::addColumn<QStringList>("during"); // chosen at the wait's third tick
        QTest::addColumn<bool>("saves");
        QTest::addColumn<bool>("clears");
        QTest::newRow("Save…, the file there") << QStringList{"Save…"} << true << false;
        QTest::newRow("Clear") << QStringList{"Clear"} << false << true;
        QTest::newRow("the open dialog's Save, the file there") << QStringList{"dialog's Save"} << true << false;
        QTest::newRow("Save…, then Clear: the file holds the rows") << QStringList{"Save…", "Clear"} << true << true;
    }

    void saveAndClearDuringAWaitAreCarriedOutAfterIt()
    {
        QFETCH(QStringList, during);
        QFETCH(bool, saves);
        QFETCH(bool, clears);
        WindowRig rig;
        frmMain &w = *rig.window;
        TrafficWindow &t = *w.frmTraffic;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        t.show();
        QVERIFY(QTest::qWaitForWindowActive(&t));
        runReads(rig, 1); // an earlier row
        const QString path = rig.dir.filePath(QStringLiteral("korvane-traffic.txt"));
        {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("old\n");
        }
        const auto fileDialog = [&]() -> QFileDialog * {
            auto *d = t.findChild<QFileDialog *>();
            return d && d->isVisible() ? d : nullptr;
        };
        const auto pressDialogSave = [&] {
            QFileDialog *d = fileDialog();
            auto *buttons = d ? d->findChild<QDialogButtonBox *>() : nullptr;
            QVERIFY(buttons && buttons->button(QDialogButtonBox::Save));
            QTest::mouseClick(buttons->button(QDialogButtonBox::Save), Qt::LeftButton);
        };
        if (during.contains(QStringLiteral("dialog's Save"))) {
            QTest::mouseClick(t.cmdSave, Qt::LeftButton);
            QVERIFY(fileDialog());
            fileDialog()->setDirectory(rig.dir.path()); // the name it offers, in the test's folder
        }

        struct {
            QSet<int> rows;
            bool dialog = false, question = false;
            QByteArray file;
        } wait;
        // The question whether to replace the file, answered "Yes" once no
        // request waits. One asked during the wait is noted and closed at
        // once: it would hold the wait up (the window's timer does not
        // tick inside its own handler's nested loop).
        QStringList asked;
        QTimer answer;
        answer.setInterval(10);
        connect(&answer, &QTimer::timeout, &t, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            if (w.isBusy()) {
                wait.question = true;
                box->reject();
                return;
            }
            asked << box->text();
            box->button(QMessageBox::Yes)->click();
        });
        answer.start();
        rig.port.answerNext(FakeSerialPort::inTime(counterReply5, 8));
        rig.port.onTick = [&](int tick) {
            if (tick < 3)
                return;
            if (tick == 3) {
                for (const QString &what : during) {
                    if (what == QLatin1String("dialog's Save"))
                        pressDialogSave();
                    else
                        QTest::mouseClick(what == QLatin1String("Clear") ? t.cmdClear : t.cmdSave, Qt::LeftButton);
                }
            }
            wait.rows << t.model()->rowCount();
            wait.dialog = wait.dialog || fileDialog();
            wait.file = contents(path);
        };
        struct {
            int rows = -1;
            QString status;
            QString table;
        } end;
        connect(&w, &frmMain::exchanged, &t, [&] {
            end = {t.model()->rowCount(), t.model()->cellText(t.model()->rowCount() - 1, TrafficModel::StatusColumn),
                   t.model()->tableText()};
        });
        QTest::mouseClick(w.cmdReadCount, Qt::LeftButton);
        rig.port.onTick = {};

        // Nothing of it during the wait.
        QCOMPARE(wait.rows, QSet<int>{1});
        QCOMPARE(wait.dialog, during.contains(QStringLiteral("dialog's Save")));
        QVERIFY(!wait.question);
        QCOMPARE(wait.file, QByteArray("old\n"));
        // The request ended on time, with its status and its row.
        QCOMPARE(w.lblSta->text(), QStringLiteral("Success"));
        QCOMPARE(end.rows, 2);
        QCOMPARE(end.status, QStringLiteral("Success"));

        // Then what was chosen, in turn.
        if (saves) {
            if (during.contains(QStringLiteral("Save…"))) {
                QTRY_VERIFY(fileDialog());
                fileDialog()->setDirectory(rig.dir.path());
                pressDialogSave();
            }
            QTRY_COMPARE(contents(path), end.table.toUtf8());
            QCOMPARE(asked.size(), 1);
            QVERIFY2(asked.at(0).contains(QStringLiteral("already exists")), qPrintable(asked.at(0)));
            QTRY_VERIFY(!fileDialog());
        }
        if (clears) {
            QTRY_COMPARE(t.model()->rowCount(), 0);
            QCOMPARE(t.lblCounts->text(), QStringLiteral("Exchanges: 0   Success: 0   CRC Err: 0   Error: 0"));
        } else {
            QCoreApplication::processEvents();
            QCOMPARE(t.model()->rowCount(), 2);
        }
        if (!saves)
            QCOMPARE(contents(path), QByteArray("old\n"));
    }

    void aFailedSaveSaysWhyAndLeavesNothingBehind_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("into a folder that does not exist") << "missing/traffic.txt";
        QTest::newRow("onto a folder") << "folder";
    }
    void aFailedSaveSaysWhyAndLeavesNothingBehind()
    {
        QFETCH(QString, target);
        WindowRig rig;
        runReads(rig, 1);
        TrafficWindow &t = *rig.window->frmTraffic;
        QVERIFY(QDir(rig.dir.path()).mkdir(QStringLiteral("folder")));
        const QString path = rig.dir.filePath(target);
        QList<QPair<QString, QString>> warnings;
        t.warn = [&](const QString &text, const QString &why) { warnings.append({text, why}); };
        t.chooseSaveFile = [&] { return path; };
        t.show();
        QVERIFY(QTest::qWaitForWindowExposed(&t));
        QTest::mouseClick(t.cmdSave, Qt::LeftButton);

        QCOMPARE(warnings.size(), 1);
        QCOMPARE(warnings.at(0).first,
                 QStringLiteral("The traffic could not be saved to %1.").arg(QDir::toNativeSeparators(path)));
        QVERIFY(!warnings.at(0).second.isEmpty());
        QCOMPARE(QDir(rig.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"folder", "korvane.ini"}));
        QVERIFY(QDir(rig.dir.filePath(QStringLiteral("folder"))).isEmpty());

        // Cancelling the file choice writes nothing and says nothing.
        t.chooseSaveFile = [] { return QString(); };
        QTest::mouseClick(t.cmdSave, Qt::LeftButton);
        QCOMPARE(warnings.size(), 1);
    }
};

QTEST_MAIN(TestTrafficWindow)
#include "tst_trafficwindow.moc"
