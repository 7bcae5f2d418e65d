// The settings file: where it lies, how values are read, and that writing
// one value keeps every other byte of the file.

#include "settings/modINI.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace korvane;
using namespace Qt::StringLiterals;

namespace {

QByteArray utf16(const QString &text, bool littleEndian = true)
{
    QByteArray out = littleEndian ? "\xFF\xFE"_ba : "\xFE\xFF"_ba;
    for (QChar c : text) {
        const char lo = char(c.unicode() & 0xFF), hi = char(c.unicode() >> 8);
        out.append(littleEndian ? lo : hi);
        out.append(littleEndian ? hi : lo);
    }
    return out;
}

QByteArray junk(qsizetype size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    for (char &c : out)
        c = char(gen.bounded(256));
    return out;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

// after is before with one block of bytes inserted somewhere: nothing lost.
bool isInsertion(const QByteArray &before, const QByteArray &after)
{
    if (after.size() < before.size())
        return false;
    qsizetype p = 0;
    while (p < before.size() && before[p] == after[p])
        ++p;
    return after.sliced(after.size() - (before.size() - p)) == before.sliced(p);
}

// Collects the messages the code under test sends to stderr.
class WarningCatcher {
public:
    WarningCatcher() : previous_(qInstallMessageHandler(&WarningCatcher::handle)) { messages().clear(); }
    ~WarningCatcher() { qInstallMessageHandler(previous_); }
    static QStringList &messages()
    {
        static QStringList m;
        return m;
    }
    static qsizetype mentioning(const QString &text)
    {
        return std::count_if(messages().cbegin(), messages().cend(),
                             [&](const QString &m) { return m.contains(text); });
    }

private:
    static void handle(QtMsgType, const QMessageLogContext &, const QString &msg) { messages().append(msg); }
    QtMessageHandler previous_;
};

const QString settings = u"Settings"_s;

} // namespace

class TestIni : public QObject {
    Q_OBJECT
private slots:
    void appFolderIsTheExecutablesFolder()
    {
        const QString folder = modINI::AppFolder();
        QVERIFY(folder.endsWith(QDir::separator()));
        QVERIFY(!folder.endsWith(QString(2, QDir::separator())));
        QVERIFY(QFileInfo::exists(folder + u"tst_ini"_s) || QFileInfo::exists(folder + u"tst_ini.exe"_s));

        // The working directory plays no part.
        QTemporaryDir elsewhere;
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        const QString folderSeenElsewhere = modINI::AppFolder();
        const QString pathSeenElsewhere = modINI::path();
        QVERIFY(QDir::setCurrent(cwd));
        QCOMPARE(folderSeenElsewhere, folder);
        QCOMPARE(pathSeenElsewhere, folder + u"korvane.ini"_s);
    }

    void trailingSeparator_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("expected");
        QTest::newRow("/opt/tools gets one separator") << u"/opt/tools"_s << u"/opt/tools/"_s;
        QTest::newRow("root / gets no second one") << u"/"_s << u"/"_s;
    }
    void trailingSeparator()
    {
        QFETCH(QString, folder);
        QFETCH(QString, expected);
        QCOMPARE(modINI::withTrailingSeparator(QDir::toNativeSeparators(folder)), QDir::toNativeSeparators(expected));
    }

    void freeFunctionsUseTheConfiguredPath()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"k.ini"_s);
        modINI::setPath(file);
        const bool written = modINI::WriteINI(settings, u"CommPort"_s, u"2"_s);
        const QString read = modINI::ReadINI(settings, u"CommPort"_s);
        modINI::setPath({});
        QVERIFY(written);
        QCOMPARE(read, u"2"_s);
        QCOMPARE(readFile(file), "[Settings]\r\nCommPort=2\r\n"_ba);
        QCOMPARE(modINI::path(), modINI::AppFolder() + u"korvane.ini"_s);
    }

    void valueLength_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");
        const QString v254 = QString(253, u'a') + u'z';
        const QString v300 = QString(253, u'b') + QString(47, u'y');
        QTest::newRow("SlaveID= reads empty") << QString() << QString();
        QTest::newRow("254 characters returned whole") << v254 << v254;
        QTest::newRow("300 characters cut to 254") << v300 << v300.left(254);
        QTest::newRow("300 quoted characters cut to 254 after the quotes go") << (u'"' + v300 + u'"') << v300.left(254);
    }
    void valueLength()
    {
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"korvane.ini"_s);
        writeFile(file, "[Settings]\r\nCommPort=1\r\nSlaveID=" + stored.toLatin1() + "\r\n");
        QCOMPARE(IniFile(file).ReadINI(settings, u"SlaveID"_s), expected);
    }

    void newKeyJoinsSettingsAndOthersKeepTheirValues()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"korvane.ini"_s);
        const IniFile ini(file);
        QCOMPARE(ini.ReadINI(settings, u"CommPort"_s), QString()); // no file yet

        writeFile(file, "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\n");
        QVERIFY(ini.WriteINI(settings, u"SlaveID"_s, u"7"_s));
        QCOMPARE(readFile(file), "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=7\r\n"_ba);
        QCOMPARE(ini.ReadINI(settings, u"CommPort"_s), u"1"_s);
        QCOMPARE(ini.ReadINI(settings, u"Setting"_s), u"9600,n,8,2"_s);
        QCOMPARE(ini.ReadINI(settings, u"SlaveID"_s), u"7"_s);
    }

    void readingRules_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *name, const QByteArray &contents, const QString &key, const QString &expected) {
            QTest::newRow(name) << contents << key << expected;
        };
        const QString cp = u"CommPort"_s;
        row("[settings] COMMPORT=3: names in any case", "[settings]\nCOMMPORT=3\n"_ba, cp, u"3"_s);
        row("'  [ Settings ] ' ' CommPort  =  3  ': blanks ignored", "  [ Settings ]  \n \t CommPort  =\t 3  \n"_ba, cp, u"3"_s);
        row("CommPort=\"3\": double quotes removed", "[Settings]\nCommPort=\"3\"\n"_ba, cp, u"3"_s);
        row("CommPort='3': single quotes removed", "[Settings]\nCommPort='3'\n"_ba, cp, u"3"_s);
        row("CommPort=\" 3 \" : blanks inside quotes kept", "[Settings]\nCommPort = \" 3 \" \n"_ba, cp, u" 3 "_s);
        row("CommPort=\"\"3\"\": one pair only", "[Settings]\nCommPort=\"\"3\"\"\n"_ba, cp, u"\"3\""_s);
        row("CommPort=\"3': unmatched quotes kept", "[Settings]\nCommPort=\"3'\n"_ba, cp, u"\"3'"_s);
        row("CommPort=\": a lone quote kept", "[Settings]\nCommPort=\"\n"_ba, cp, u"\""_s);
        row("Setting=a=b,c: first '=' splits, commas kept", "[Settings]\nSetting=a=b,c\n"_ba, u"Setting"_s, u"a=b,c"_s);
        row("Path=C:\\dir: backslashes kept", "[Settings]\nPath=C:\\dir\n"_ba, u"Path"_s, u"C:\\dir"_s);
        row("; CommPort=1 then CommPort=2: comment skipped", "[Settings]\n  ; CommPort=1\nCommPort=2\n"_ba, cp, u"2"_s);
        row("CommPort=3 ;x: ';' inside a value kept", "[Settings]\nCommPort=3 ;x\n"_ba, cp, u"3 ;x"_s);
        row(";[Settings]: commented header is no section", ";[Settings]\nCommPort=1\n"_ba, cp, QString());
        row("[Settings] ;note: text after ']' ignored", "[Settings] ;note\nCommPort=3\n"_ba, cp, u"3"_s);
        row("[Settings without ']': no section", "[Settings\nCommPort=3\n"_ba, cp, QString());
        row("duplicate section: only the first is searched", "[Settings]\nA=1\n[SETTINGS]\nCommPort=2\n"_ba, cp, QString());
        row("duplicate section: the first one's value", "[Settings]\nCommPort=1\n[Settings]\nCommPort=2\n"_ba, cp, u"1"_s);
        row("duplicate key: the first wins", "[Settings]\nCommPort=1\ncommport=2\n"_ba, cp, u"1"_s);
        row("key in another section not found", "[Other]\nCommPort=1\n[Settings]\nSlaveID=1\n[Next]\nCommPort=2\n"_ba, cp, QString());
        row("CRLF line ends", "[Other]\r\nA=1\r\n[Settings]\r\nCommPort=3\r\n"_ba, cp, u"3"_s);
        row("UTF-8 mark, UTF-8 text", "\xEF\xBB\xBF[Settings]\nName=caf\xC3\xA9\n"_ba, u"Name"_s, u"café"_s);
        row("UTF-16LE mark", utf16(u"[Settings]\r\nName=Ω 3\r\n"_s), u"Name"_s, u"Ω 3"_s);
        row("UTF-16BE mark", utf16(u"[Settings]\r\nCommPort=4\r\n"_s, false), cp, u"4"_s);
        row("CommPort without '=' skipped", "[Settings]\nCommPort\nCommPort=3\n"_ba, cp, u"3"_s);
        row("key before any section not found", "CommPort=1\n[Settings]\nSlaveID=2\n"_ba, cp, QString());
        row("byte E9 is é", "[Settings]\nName=caf\xE9\n"_ba, u"Name"_s, u"café"_s);
        row("byte 80 is €, 9F is Ÿ", "[Settings]\nName=\x80\x9F\n"_ba, u"Name"_s, u"€Ÿ"_s);
        row("unassigned byte 81 is control U+0081", "[Settings]\nName=\x81\n"_ba, u"Name"_s, u"\u0081"_s);
        row("byte E9 in a key name", "[Settings]\nCl\xE9=1\n"_ba, u"clé"_s, u"1"_s);
        row("value cut at a NUL byte", "[Settings]\nCommPort=3\0" "4\n"_ba, cp, u"3"_s);
        row("empty file", QByteArray(), cp, QString());
    }
    void readingRules()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"korvane.ini"_s);
        writeFile(file, contents);
        QCOMPARE(IniFile(file).ReadINI(settings, key), expected);
        QCOMPARE(modINI::readValue(contents, settings, key), expected);
    }

    void writingKeepsEveryOtherByte_data()
    {
        QTest::addColumn<QByteArray>("before"); // null: no file
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("readBack");
        auto row = [](const char *name, const QByteArray &before, const QString &key, const QString &value,
                      const QByteArray &after, const QString &readBack) {
            QTest::newRow(name) << before << key << value << after << readBack;
        };
        const QByteArray mixed = "; KORVANE\r\n[Other]\r\nCommPort=9\r\n\r\n[Settings]\r\n  CommPort = 1   \r\n"
                                 "; slave below\r\nSlaveID=1\r\n\r\n; next\r\n[Third]\r\nX=1\r\n"_ba;
        row("CRLF, comments, sections: value replaced inside its line", mixed, u"commport"_s, u"4"_s,
            QByteArray(mixed).replace("CommPort = 1", "CommPort = 4"), u"4"_s);
        row("CRLF, comments, sections: new key after the section's last key", mixed, u"Setting"_s, u"9600,n,8,2"_s,
            QByteArray(mixed).replace("SlaveID=1\r\n", "SlaveID=1\r\nSetting=9600,n,8,2\r\n"), u"9600,n,8,2"_s);
        row("empty value filled in right after '='", "[Settings]\nSlaveID=  \nX=1\n"_ba, u"SlaveID"_s, u"5"_s,
            "[Settings]\nSlaveID=5  \nX=1\n"_ba, u"5"_s);
        row("duplicate key: the first line changes", "[Settings]\nA=1\nA=2\n"_ba, u"A"_s, u"3"_s,
            "[Settings]\nA=3\nA=2\n"_ba, u"3"_s);
        row("duplicate section: new key joins the first", "[Settings]\nA=1\n[Settings]\nB=2\n"_ba, u"B"_s, u"3"_s,
            "[Settings]\nA=1\nB=3\n[Settings]\nB=2\n"_ba, u"3"_s);
        row("section without keys: new key right after its header", "[Settings]\n\n; c\n[Other]\n"_ba,
            u"CommPort"_s, u"1"_s, "[Settings]\nCommPort=1\n\n; c\n[Other]\n"_ba, u"1"_s);
        row("UTF-16LE: value replaced, mark and encoding kept", utf16(u"; x\r\n[Settings]\r\nCommPort=1\r\n"_s),
            u"CommPort"_s, u"2"_s, utf16(u"; x\r\n[Settings]\r\nCommPort=2\r\n"_s), u"2"_s);
        row("UTF-16LE: new key holding Ω", utf16(u"[Settings]\r\nA=1\r\n[Other]\r\n"_s), u"Name"_s, u"Ω€"_s,
            utf16(u"[Settings]\r\nA=1\r\nName=Ω€\r\n[Other]\r\n"_s), u"Ω€"_s);
        row("UTF-16BE: new section at the end", utf16(u"[Other]\nA=1\n"_s, false), u"CommPort"_s, u"1"_s,
            utf16(u"[Other]\nA=1\n[Settings]\nCommPort=1\n"_s, false), u"1"_s);
        row("UTF-8 mark: value written as UTF-8", "\xEF\xBB\xBF[Settings]\nName=x\n"_ba, u"Name"_s, u"é€"_s,
            "\xEF\xBB\xBF[Settings]\nName=\xC3\xA9\xE2\x82\xAC\n"_ba, u"é€"_s);
        row("Windows-1252: € é as their bytes, Ω as '?', other bytes kept",
            "; caf\xE9 \x81\r\n[Settings]\r\nA=\x80\r\n"_ba, u"Name"_s, u"€é Ω"_s,
            "; caf\xE9 \x81\r\n[Settings]\r\nA=\x80\r\nName=\x80\xE9 ?\r\n"_ba, u"€é ?"_s);
        row("no final line break: one added before the new section", "[Other]\nA=1"_ba, u"CommPort"_s, u"1"_s,
            "[Other]\nA=1\n[Settings]\nCommPort=1\n"_ba, u"1"_s);
        row("no final line break: one added before the new key", "[Settings]\r\nA=1"_ba, u"B"_s, u"2"_s,
            "[Settings]\r\nA=1\r\nB=2\r\n"_ba, u"2"_s);
        row("header alone without line break", "[Settings]"_ba, u"CommPort"_s, u"1"_s,
            "[Settings]\r\nCommPort=1\r\n"_ba, u"1"_s);
        row("missing file created with CRLF", QByteArray(), u"CommPort"_s, u"1"_s,
            "[Settings]\r\nCommPort=1\r\n"_ba, u"1"_s);
        row("empty file filled with CRLF", ""_ba, u"CommPort"_s, u"1"_s, "[Settings]\r\nCommPort=1\r\n"_ba, u"1"_s);
    }
    void writingKeepsEveryOtherByte()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, after);
        QFETCH(QString, readBack);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"korvane.ini"_s);
        if (!before.isNull())
            writeFile(file, before);
        const IniFile ini(file);
        QVERIFY(ini.WriteINI(settings, key, value));
        QCOMPARE(readFile(file), after);
        QCOMPARE(ini.ReadINI(settings, key), readBack);
        QCOMPARE(modINI::writeValue(before, settings, key, value), std::optional<QByteArray>(after));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{u"korvane.ini"_s});
    }

    void writeRefusesWhatWouldReadBackDifferently_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("value holding LF") << settings << u"CommPort"_s << u"1\n[Other]"_s;
        QTest::newRow("value holding CR") << settings << u"CommPort"_s << u"1\r"_s;
        QTest::newRow("value holding NUL") << settings << u"CommPort"_s << u"1\u0000 2"_s;
        QTest::newRow("blank key") << settings << u"  "_s << u"1"_s;
        QTest::newRow("key holding '='") << settings << u"Comm=Port"_s << u"1"_s;
        QTest::newRow("key starting with ';'") << settings << u";CommPort"_s << u"1"_s;
        QTest::newRow("key starting with '['") << settings << u"[CommPort]"_s << u"1"_s;
        QTest::newRow("empty section") << QString() << u"CommPort"_s << u"1"_s;
        QTest::newRow("section holding ']'") << u"Set]tings"_s << u"CommPort"_s << u"1"_s;
        QTest::newRow("section holding LF") << u"Settings\n"_s.append(u"[Other"_s) << u"CommPort"_s << u"1"_s;
    }
    void writeRefusesWhatWouldReadBackDifferently()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QByteArray before = "[Settings]\r\nCommPort=1\r\n"_ba;
        QCOMPARE(modINI::writeValue(before, section, key, value), std::nullopt);

        QTemporaryDir dir;
        const QString file = dir.filePath(u"korvane.ini"_s);
        writeFile(file, before);
        WarningCatcher warnings;
        QVERIFY(!IniFile(file).WriteINI(section, key, value));
        QCOMPARE(readFile(file), before);
        QCOMPARE(warnings.mentioning(file), 1);
    }

    // What a Windows-1252 file (no byte-order mark) cannot hold: the first
    // such character, which the writer would store as '?'. Checked against
    // the writer itself: the text reads back unchanged exactly when none is
    // found.
    void charactersAWindows1252FileCannotHold_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("first"); // the code point; -1: none
        QTest::newRow("/dev/ttyUSB0: none") << u"/dev/ttyUSB0"_s << -1;
        QTest::newRow("Latin-1 letters, Ä and ß: none") << u"/dev/serial/by-id/usb-Äß"_s << -1;
        QTest::newRow("0x80..0x9F characters, \u20AC and \u0160: none") << u"/dev/x\u20AC\u0160"_s << -1;
        QTest::newRow("U+0081, kept as byte 0x81: none") << u"/dev/x\u0081"_s << -1;
        QTest::newRow("'?' itself: none") << u"/dev/tty?"_s << -1;
        QTest::newRow("empty: none") << QString() << -1;
        QTest::newRow("\u0141 (L with stroke)") << u"/dev/serial/by-id/usb-\u0141od\u017A"_s << 0x141;
        QTest::newRow("the first of two: \u0434 before \u0141") << u"/dev/\u0434\u0141"_s << 0x434;
        QTest::newRow("a character beyond U+FFFF, U+1F600, as one")
            << u"/dev/x"_s + QString::fromUcs4(U"\U0001F600") << 0x1F600;
        QTest::newRow("a lone high surrogate") << u"/dev/x"_s + QChar(0xD800) << 0xD800;
    }
    void charactersAWindows1252FileCannotHold()
    {
        QFETCH(QString, text);
        QFETCH(int, first);
        const auto found = modINI::firstCharacterNotInWindows1252(text);
        QCOMPARE(found ? int(*found) : -1, first);
        const auto written = modINI::writeValue("[Ports]\r\n"_ba, u"Ports"_s, u"COM1"_s, text);
        QVERIFY(written);
        QCOMPARE(modINI::readValue(*written, u"Ports"_s, u"COM1"_s) == text, first < 0);
    }

    void hostileFilesReadAndWriteSafely_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        const QString cp = u"CommPort"_s;
        QTest::newRow("binary junk after the key") << ("[Settings]\nCommPort=7\n" + junk(64 * 1024, 1) + '\n') << cp << u"7"_s;
        QTest::newRow("binary junk only") << junk(64 * 1024, 2) << cp << QString();
        QTest::newRow("NUL bytes in names and values")
            << "[Sett\0ings]\nCommPort=1\n[Settings]\nComm\0Port=2\nCommPort=3\0junk\n"_ba << cp << u"3"_s;
        QTest::newRow("NUL bytes only") << QByteArray(64 * 1024, '\0') << cp << QString();
        const QByteArray longLine = "[Settings]\nJunk=" + QByteArray(1'000'000, 'x') + "\nCommPort=3\n";
        QTest::newRow("line of a megabyte: its value cut") << longLine << u"Junk"_s << QString(254, u'x');
        QTest::newRow("line of a megabyte: next key found") << longLine << cp << u"3"_s;
        QTest::newRow("megabyte of '[' without ']'")
            << ("[Settings]\n" + QByteArray(1'040'000, '[') + "\nCommPort=4\n") << cp << u"4"_s;
        QTest::newRow("UTF-16 mark, odd byte count")
            << (utf16(u"[Settings]\nCommPort=5\n"_s) + '\x01') << cp << u"5"_s;
        QTest::newRow("UTF-16 mark then junk") << ("\xFF\xFE"_ba + junk(4097, 3)) << cp << QString();
    }
    void hostileFilesReadAndWriteSafely()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QVERIFY(contents.size() <= modINI::readLimit);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"korvane.ini"_s);
        writeFile(file, contents);
        const IniFile ini(file);
        QCOMPARE(ini.ReadINI(settings, key), expected);

        QVERIFY(ini.WriteINI(settings, u"SlaveID"_s, u"5"_s));
        const QByteArray after = readFile(file);
        QVERIFY(isInsertion(contents, after));
        QCOMPARE(ini.ReadINI(settings, u"SlaveID"_s), u"5"_s);
        QCOMPARE(ini.ReadINI(settings, key), expected);
    }

    void fileLargerThanTheBoundIsReadInPartAndNeverWritten()
    {
        QByteArray big = "[Settings]\r\nCommPort=3\r\n"_ba;
        const QByteArray comment = ';' + QByteArray(78, 'c') + "\r\n";
        while (big.size() < 3 * 1024 * 1024)
            big += comment;
        big += "SlaveID=9\r\n";

        QTemporaryDir dir;
        const QString file = dir.filePath(u"korvane.ini"_s);
        writeFile(file, big);
        const IniFile ini(file);
        WarningCatcher warnings;
        QCOMPARE(ini.ReadINI(settings, u"CommPort"_s), u"3"_s);
        QCOMPARE(ini.ReadINI(settings, u"SlaveID"_s), QString()); // beyond the bound
        QCOMPARE(warnings.mentioning(file), 1);                     // said once, not per read

        QVERIFY(!ini.WriteINI(settings, u"CommPort"_s, u"4"_s));
        QCOMPARE(warnings.mentioning(file), 2);
        QVERIFY(readFile(file) == big);
        QCOMPARE(modINI::writeValue(big, settings, u"CommPort"_s, u"4"_s), std::nullopt);
    }

    void writeNeverGrowsAFileBeyondTheBound()
    {
        const QByteArray head = "[Settings]\r\nCommPort=1\r\n"_ba;
        const QByteArray full = head + QByteArray(modINI::readLimit - head.size() - 2, ';') + "\r\n";
        QCOMPARE(full.size(), modINI::readLimit);
        QCOMPARE(modINI::writeValue(full, settings, u"CommPort"_s, u"2"_s),
                 std::optional<QByteArray>(QByteArray(full).replace("CommPort=1", "CommPort=2")));
        QCOMPARE(modINI::writeValue(full, settings, u"SlaveID"_s, u"5"_s), std::nullopt);
    }

    void failedSaveWhereTheFolderIsAFile()
    {
        QTemporaryDir dir;
        const QString plain = dir.filePath(u"plain"_s);
        writeFile(plain, "not a folder\n");
        const QString file = plain + u"/korvane.ini"_s;
        WarningCatcher warnings;
        QVERIFY(!IniFile(file).WriteINI(settings, u"CommPort"_s, u"1"_s));
        QCOMPARE(warnings.mentioning(file), 1);
        QCOMPARE(IniFile(file).ReadINI(settings, u"CommPort"_s), QString());
        QCOMPARE(readFile(plain), "not a folder\n"_ba);
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{u"plain"_s});
    }

    void failedSaveAtTheFileSizeLimitKeepsTheOldFile()
    {
#ifdef Q_OS_LINUX
        QTemporaryDir dir;
        const QString file = dir.filePath(u"korvane.ini"_s);
        const QByteArray old = "[Settings]\r\nCommPort=1\r\nSetting=9600,n,8,2\r\nSlaveID=1\r\n"_ba;
        writeFile(file, old);

        const pid_t pid = fork();
        QVERIFY(pid >= 0);
        if (pid == 0) {
            // Files may grow to 16 bytes; writing past that fails with EFBIG
            // instead of killing the process.
            WarningCatcher warnings;
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{16, 16};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(3);
            const bool written = IniFile(file).WriteINI(settings, u"SlaveID"_s, u"200"_s);
            _exit(written ? 1 : warnings.mentioning(file) == 1 ? 0 : 2);
        }
        int status = 0;
        QCOMPARE(waitpid(pid, &status, 0), pid);
        QVERIFY2(WIFEXITED(status), "the writer was killed");
        QCOMPARE(WEXITSTATUS(status), 0); // 1: claimed success, 2: no message, 3: no limit
        QVERIFY(readFile(file) == old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{u"korvane.ini"_s});

        // Without the limit the same write goes through.
        QVERIFY(IniFile(file).WriteINI(settings, u"SlaveID"_s, u"200"_s));
        QCOMPARE(readFile(file), QByteArray(old).replace("SlaveID=1", "SlaveID=200"));
#else
        QSKIP("needs fork() and RLIMIT_FSIZE");
#endif
    }
};

QTEST_GUILESS_MAIN(TestIni)
#include "tst_ini.moc"
