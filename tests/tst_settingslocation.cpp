// Which settings file the program uses: the one beside the executable
// whenever that folder can keep it, otherwise the user's own copy, which
// starts from the program's own file or the installed default. Whatever is
// chosen, storing the settings at exit can create the file.

#include "settings/SettingsLocation.h"
#include "settings/modINI.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane;
using namespace Qt::StringLiterals;

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly)
        && f.write(bytes) == bytes.size();
}

const QByteArray defaultContents = "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n"_ba;
const QByteArray portableContents = "[Settings]\r\nCommPort=2\r\n[Ports]\r\nCOM2=/dev/ttyUSB0\r\n"_ba;

// An installation under a temporary prefix: <prefix>/bin for the executable,
// <prefix>/share/korvane/korvane.ini for the default, and a configuration
// folder that does not exist yet.
struct Installed {
    QTemporaryDir dir;
    QString bin = dir.filePath(u"prefix/bin"_s);
    QString appFile = bin + u"/korvane.ini"_s;
    QString defaultFile = dir.filePath(u"prefix/share/korvane/korvane.ini"_s);
    QString config = dir.filePath(u"home/.config"_s);
    QString userFile = config + u"/korvane/korvane.ini"_s;

    Installed() { QDir().mkpath(bin); }
    bool installDefault(QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                                   | QFile::ReadOther)
    {
        return writeFile(defaultFile, defaultContents) && QFile::setPermissions(defaultFile, perms);
    }
};

// Storing the settings at exit, as the window does: true when the file
// could be written (and so holds the value afterwards).
bool storeAtExit(const QString &path)
{
    return IniFile(path).WriteINI(u"Settings"_s, u"CommPort"_s, u"4"_s)
        && IniFile(path).ReadINI(u"Settings"_s, u"CommPort"_s) == u"4"_s;
}

} // namespace

class TestSettingsLocation : public QObject {
    Q_OBJECT
private slots:
    // The choice over every combination of the facts, for a program in
    // /opt/korvane/bin and a user whose configuration folder is
    // /home/op/.config; then the joining of other folders.
    void choice_data()
    {
        QTest::addColumn<QString>("appFolder");
        QTest::addColumn<QString>("configFolder");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("appFile");
        QTest::addColumn<bool>("userFile");
        QTest::addColumn<bool>("installedDefault");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("seedFrom");

        const QString app = u"/opt/korvane/bin"_s, config = u"/home/op/.config"_s;
        const QString beside = u"/opt/korvane/bin/korvane.ini"_s;
        const QString user = u"/home/op/.config/korvane/korvane.ini"_s;
        const QString installed = u"/opt/korvane/share/korvane/korvane.ini"_s;
        const auto row = [&](const char *name, bool writable, bool appFile, bool userFile, bool dflt,
                             const QString &path, const QString &seed) {
            QTest::newRow(name) << app << config << writable << appFile << userFile << dflt << path << seed;
        };
        // columns: folder writable, its file, per-user file, installed default
        row("portable copy with its file", true, true, false, false, beside, {});
        row("portable copy with its file, beside an installed default", true, true, false, true, beside, {});
        row("portable copy with its file, a per-user file is not used", true, true, true, false, beside, {});
        row("portable copy with its file, per-user file and default unused", true, true, true, true, beside, {});
        row("copied program or fresh build without a file: created beside it at exit", true, false, false, false, beside, {});
        row("installed in a writable folder (root, ~/.local), first start: per-user file from the default", true, false, false, true, user, installed);
        row("writable folder without a file, a per-user file is not used", true, false, true, false, beside, {});
        row("installed in a writable folder, later start: the per-user file as it is", true, false, true, true, user, {});
        row("read-only portable copy, first start: per-user file from its own file", false, true, false, false, user, beside);
        row("read-only portable copy, first start: its own file before the default", false, true, false, true, user, beside);
        row("read-only portable copy, later start: the per-user file as it is", false, true, true, false, user, {});
        row("read-only portable copy, later start, with a default: the per-user file", false, true, true, true, user, {});
        row("installed without a default, first start: per-user file created at exit", false, false, false, false, user, {});
        row("installed, first start: per-user file from the installed default", false, false, false, true, user, installed);
        row("installed without a default, later start: the per-user file", false, false, true, false, user, {});
        row("installed, later start: the per-user file as it is", false, false, true, true, user, {});

        QTest::newRow("program at the root folder: /korvane.ini")
            << u"/"_s << config << true << false << false << false << u"/korvane.ini"_s << QString();
        QTest::newRow("read-only root folder: default from /share")
            << u"/"_s << config << false << false << false << true << user << u"/share/korvane/korvane.ini"_s;
        QTest::newRow("folders with trailing separators")
            << u"/usr/bin/"_s << u"/home/op/.config/"_s << false << false << false << true << user
            << u"/usr/share/korvane/korvane.ini"_s;
        QTest::newRow("configuration folder at the root")
            << u"/usr/bin"_s << u"/"_s << false << false << false << false << u"/korvane/korvane.ini"_s << QString();
        QTest::newRow("~/.local/bin: default from ~/.local/share")
            << u"/home/op/.local/bin"_s << config << false << false << false << true << user
            << u"/home/op/.local/share/korvane/korvane.ini"_s;
        QTest::newRow("no configuration folder known: beside the executable, however read-only")
            << u"/usr/bin/"_s << QString() << false << false << false << true << u"/usr/bin/korvane.ini"_s << QString();
    }
    void choice()
    {
        QFETCH(QString, appFolder);
        QFETCH(QString, configFolder);
        QFETCH(bool, writable);
        QFETCH(bool, appFile);
        QFETCH(bool, userFile);
        QFETCH(bool, installedDefault);
        QFETCH(QString, path);
        QFETCH(QString, seedFrom);
        const SettingsLocation where = chooseSettingsFile(
            {appFolder, configFolder, writable, appFile, userFile, installedDefault});
        QCOMPARE(where.path, path);
        QCOMPARE(where.seedFrom, seedFrom);
    }

    // The facts looked up in real folders, and what is made ready there:
    // in every row storing the settings at exit then succeeds.
    void prepare_data()
    {
        QTest::addColumn<bool>("appFile");
        QTest::addColumn<bool>("appFolderNamedIni"); // a folder named korvane.ini beside the executable
        QTest::addColumn<bool>("userFile");
        QTest::addColumn<bool>("installedDefault");
        QTest::addColumn<bool>("besideExecutable");   // else the per-user file
        QTest::addColumn<QByteArray>("startsWith");   // the chosen file's contents before the program reads it

        const QByteArray mine = "[Settings]\nCommPort=3\n"_ba;
        QTest::newRow("korvane.ini beside the executable: used as it is")
            << true << false << false << true << true << portableContents;
        QTest::newRow("none beside the executable: created there at exit, no per-user file")
            << false << false << false << false << true << QByteArray();
        QTest::newRow("none beside an installed executable: per-user file from the default")
            << false << false << false << true << false << defaultContents;
        QTest::newRow("a folder named korvane.ini: per-user file from the default")
            << false << true << false << true << false << defaultContents;
        QTest::newRow("a folder named korvane.ini, no default: per-user folder made, file at exit")
            << false << true << false << false << false << QByteArray();
        QTest::newRow("a folder named korvane.ini, per-user file kept as it is")
            << false << true << true << true << false << mine;
    }
    void prepare()
    {
        QFETCH(bool, appFile);
        QFETCH(bool, appFolderNamedIni);
        QFETCH(bool, userFile);
        QFETCH(bool, installedDefault);
        QFETCH(bool, besideExecutable);
        QFETCH(QByteArray, startsWith);
        Installed inst;
        if (appFile)
            QVERIFY(writeFile(inst.appFile, portableContents));
        if (appFolderNamedIni)
            QVERIFY(QDir().mkpath(inst.appFile));
        if (userFile)
            QVERIFY(writeFile(inst.userFile, "[Settings]\nCommPort=3\n"_ba));
        if (installedDefault)
            QVERIFY(inst.installDefault());

        const SettingsLocation where = prepareSettingsFile(inst.bin + u'/', inst.config);

        QCOMPARE(where.path, besideExecutable ? inst.appFile : inst.userFile);
        QCOMPARE(QFileInfo::exists(where.path), !startsWith.isEmpty());
        QCOMPARE(readFile(where.path), startsWith);
        if (besideExecutable)
            QVERIFY(!QFileInfo::exists(inst.config));
        QVERIFY(storeAtExit(where.path));
        if (installedDefault)
            QCOMPARE(readFile(inst.defaultFile), defaultContents);
    }

    // The per-user file starts as a writable copy of its source, also when
    // the source itself is read-only (an installed default, a portable copy
    // on a read-only medium), and the source stays as it was.
    void seedIsCopiedWritable_data()
    {
        QTest::addColumn<bool>("fromAppFolder");
        QTest::newRow("from the program folder's own korvane.ini") << true;
        QTest::newRow("from the installed default") << false;
    }
    void seedIsCopiedWritable()
    {
        QFETCH(bool, fromAppFolder);
        Installed inst;
        const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        QVERIFY(inst.installDefault(readOnly));
        QVERIFY(writeFile(inst.appFile, portableContents));
        QVERIFY(QFile::setPermissions(inst.appFile, readOnly));
        const QString source = fromAppFolder ? inst.appFile : inst.defaultFile;

        QVERIFY(makeSettingsFileReady({inst.userFile, source}));

        QCOMPARE(readFile(inst.userFile), readFile(source));
        QVERIFY(QFile::permissions(inst.userFile) & QFile::WriteOwner);
        QVERIFY(storeAtExit(inst.userFile));
        QCOMPARE(readFile(inst.appFile), portableContents);
        QCOMPARE(readFile(inst.defaultFile), defaultContents);
        QVERIFY(!(QFile::permissions(source) & QFile::WriteOwner));

        // Once the per-user file exists it is never overwritten by its source.
        QVERIFY(makeSettingsFileReady({inst.userFile, source}));
        QCOMPARE(IniFile(inst.userFile).ReadINI(u"Settings"_s, u"CommPort"_s), u"4"_s);
    }

    // A folder or copy that cannot be made is said on stderr; the location
    // is still returned and nothing else is touched.
    void failuresAreReported_data()
    {
        QTest::addColumn<bool>("folderBlocked");
        QTest::addColumn<QString>("message");
        QTest::newRow("configuration folder is a file") << true << u"cannot create the settings file's folder"_s;
        QTest::newRow("seed that cannot be read") << false << u"cannot create the settings file from"_s;
    }
    void failuresAreReported()
    {
        QFETCH(bool, folderBlocked);
        QFETCH(QString, message);
        Installed inst;
        QVERIFY(inst.installDefault());
        const QString blocker = inst.dir.filePath(u"not-a-folder"_s);
        QVERIFY(writeFile(blocker, "x"));
        const QString config = folderBlocked ? blocker + u"/.config"_s : inst.config;
        const QString seed = folderBlocked ? inst.defaultFile : inst.dir.filePath(u"no-such-file"_s);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(message)));
        QVERIFY(!makeSettingsFileReady({userSettingsFile(config), seed}));

        QVERIFY(!QFileInfo::exists(userSettingsFile(config)));
        QCOMPARE(readFile(blocker), "x"_ba);
        QCOMPARE(readFile(inst.defaultFile), defaultContents);
    }
};

QTEST_GUILESS_MAIN(TestSettingsLocation)
#include "tst_settingslocation.moc"
