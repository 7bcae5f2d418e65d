// Which settings file the program uses: the one beside the executable when
// it can be kept there, otherwise the user's own copy, created from the
// installed default.

#include "settings/SettingsLocation.h"

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

// An installation under a temporary prefix: <prefix>/bin for the executable,
// <prefix>/share/korvane/korvane.ini for the default, and a configuration
// folder that does not exist yet.
struct Installed {
    QTemporaryDir dir;
    QString bin = dir.filePath(u"prefix/bin"_s);
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

} // namespace

class TestSettingsLocation : public QObject {
    Q_OBJECT
private slots:
    void choice_data()
    {
        QTest::addColumn<QString>("appFolder");
        QTest::addColumn<bool>("appFileUsable");
        QTest::addColumn<QString>("configFolder");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("defaultPath");

        QTest::newRow("portable copy: its own writable korvane.ini")
            << u"/media/stick/korvane/"_s << true << u"/home/op/.config"_s
            << u"/media/stick/korvane/korvane.ini"_s << QString();
        QTest::newRow("build folder with the copied default")
            << u"/work/korvane/build/dev/src/"_s << true << u"/root/.config"_s
            << u"/work/korvane/build/dev/src/korvane.ini"_s << QString();
        QTest::newRow("installed in /usr/bin: ~/.config/korvane/korvane.ini from /usr/share")
            << u"/usr/bin/"_s << false << u"/home/op/.config"_s
            << u"/home/op/.config/korvane/korvane.ini"_s << u"/usr/share/korvane/korvane.ini"_s;
        QTest::newRow("installed in /usr/local/bin: default from /usr/local/share")
            << u"/usr/local/bin/"_s << false << u"/home/op/.config"_s
            << u"/home/op/.config/korvane/korvane.ini"_s << u"/usr/local/share/korvane/korvane.ini"_s;
        QTest::newRow("installed in ~/.local/bin: default from ~/.local/share")
            << u"/home/op/.local/bin/"_s << false << u"/home/op/.config"_s
            << u"/home/op/.config/korvane/korvane.ini"_s << u"/home/op/.local/share/korvane/korvane.ini"_s;
        QTest::newRow("folders without a trailing separator, XDG_CONFIG_HOME elsewhere")
            << u"/opt/korvane/bin"_s << false << u"/srv/cfg"_s
            << u"/srv/cfg/korvane/korvane.ini"_s << u"/opt/korvane/share/korvane/korvane.ini"_s;
        QTest::newRow("configuration folder with a trailing separator")
            << u"/usr/bin/"_s << false << u"/home/op/.config/"_s
            << u"/home/op/.config/korvane/korvane.ini"_s << u"/usr/share/korvane/korvane.ini"_s;
        QTest::newRow("a usable korvane.ini beside an installed executable wins")
            << u"/usr/bin/"_s << true << u"/home/op/.config"_s
            << u"/usr/bin/korvane.ini"_s << QString();
        QTest::newRow("no configuration folder known: beside the executable, no default")
            << u"/usr/bin/"_s << false << QString()
            << u"/usr/bin/korvane.ini"_s << QString();
    }
    void choice()
    {
        QFETCH(QString, appFolder);
        QFETCH(bool, appFileUsable);
        QFETCH(QString, configFolder);
        QFETCH(QString, path);
        QFETCH(QString, defaultPath);
        const SettingsLocation where = chooseSettingsFile(appFolder, appFileUsable, configFolder);
        QCOMPARE(where.path, path);
        QCOMPARE(where.defaultPath, defaultPath);
    }

    // A missing per-user file is created as a writable copy of the default,
    // even when the installed default itself is read-only.
    void missingUserFileIsCopiedFromTheDefault()
    {
        Installed inst;
        QVERIFY(inst.installDefault(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));

        const SettingsLocation where = prepareSettingsFile(inst.bin, inst.config);

        QCOMPARE(where.path, inst.userFile);
        QCOMPARE(readFile(inst.userFile), defaultContents);
        QVERIFY(QFile::permissions(inst.userFile) & QFile::WriteOwner);
        QVERIFY(!QFileInfo::exists(inst.bin + u"/korvane.ini"_s));
        QCOMPARE(readFile(inst.defaultFile), defaultContents);
    }

    void existingUserFileIsKept()
    {
        Installed inst;
        QVERIFY(inst.installDefault());
        const QByteArray mine = "[Settings]\nCommPort=3\n[Ports]\nCOM3=/dev/ttyUSB0\n"_ba;
        QVERIFY(writeFile(inst.userFile, mine));

        QCOMPARE(prepareSettingsFile(inst.bin, inst.config).path, inst.userFile);
        QCOMPARE(readFile(inst.userFile), mine);
    }

    // No default installed: nothing is created, start-up reports the
    // settings it cannot read.
    void withoutDefaultNothingIsCreated()
    {
        Installed inst;
        const SettingsLocation where = prepareSettingsFile(inst.bin, inst.config);
        QCOMPARE(where.path, inst.userFile);
        QVERIFY(!QFileInfo::exists(inst.config));
    }

    // The facts gathered about the executable's folder: only a file named
    // korvane.ini there counts.
    void fileBesideTheExecutable_data()
    {
        QTest::addColumn<bool>("makeFile");
        QTest::addColumn<bool>("makeFolder");
        QTest::addColumn<bool>("besideExecutable");
        QTest::newRow("korvane.ini beside the executable: used, no user file") << true << false << true;
        QTest::newRow("none beside the executable: the user file") << false << false << false;
        QTest::newRow("a folder named korvane.ini: the user file") << false << true << false;
    }
    void fileBesideTheExecutable()
    {
        QFETCH(bool, makeFile);
        QFETCH(bool, makeFolder);
        QFETCH(bool, besideExecutable);
        Installed inst;
        QVERIFY(inst.installDefault());
        const QString appFile = inst.bin + u"/korvane.ini"_s;
        const QByteArray portable = "[Settings]\r\nCommPort=2\r\n"_ba;
        if (makeFile)
            QVERIFY(writeFile(appFile, portable));
        if (makeFolder)
            QVERIFY(QDir().mkpath(appFile));

        const SettingsLocation where = prepareSettingsFile(inst.bin + u'/', inst.config);

        QCOMPARE(where.path, besideExecutable ? appFile : inst.userFile);
        QCOMPARE(QFileInfo::exists(inst.userFile), !besideExecutable);
        if (besideExecutable)
            QCOMPARE(readFile(appFile), portable);
    }

    // A configuration folder that cannot be created: said on stderr, the
    // location is still returned and nothing is written.
    void copyThatFailsIsReported()
    {
        Installed inst;
        QVERIFY(inst.installDefault());
        const QString blocker = inst.dir.filePath(u"not-a-folder"_s);
        QVERIFY(writeFile(blocker, "x"));
        const QString config = blocker + u"/.config"_s;

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot create the settings file"_s));
        const SettingsLocation where = prepareSettingsFile(inst.bin, config);

        QCOMPARE(where.path, config + u"/korvane/korvane.ini"_s);
        QVERIFY(!QFileInfo::exists(where.path));
        QCOMPARE(readFile(blocker), "x"_ba);
    }
};

QTEST_GUILESS_MAIN(TestSettingsLocation)
#include "tst_settingslocation.moc"
