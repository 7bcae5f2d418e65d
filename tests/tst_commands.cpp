// Request frames of every command, counter decoding, and the conversions
// of what the operator typed (slave address, number, display text).

#include "protocol/Commands.h"
#include "protocol/SlaveAddress.h"

#include <QTest>

#include "Frames.h"

using namespace korvane;
using korvane::test::hex;

namespace {
QByteArray frameOf(const ModVariables &v, const Request &r) { return v.TxBuf.head(r.length); }
} // namespace

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void counterFrames_data()
    {
        QTest::addColumn<int>("slave");
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("checkIndex");
        QTest::newRow("read, slave 1: 01 03 00 00 00 02 C4 0B") << 1 << false << hex("010300000002C40B") << 6;
        QTest::newRow("read, slave 247: F7 03 00 00 00 02 D0 9D") << 247 << false << hex("F70300000002D09D") << 6;
        QTest::newRow("read, no entry (address 0): 00 03 00 00 00 02 C5 DA") << 0 << false << hex("000300000002C5DA") << 6;
        QTest::newRow("reset, slave 1: 01 05 00 02 FF 00 2D FA") << 1 << true << hex("01050002FF002DFA") << 5;
    }
    void counterFrames()
    {
        QFETCH(int, slave);
        QFETCH(bool, reset);
        QFETCH(QByteArray, frame);
        QFETCH(int, checkIndex);
        ModVariables v;
        const Request r = reset ? buildResetCounter(v, std::uint8_t(slave)) : buildReadCounter(v, std::uint8_t(slave));
        QCOMPARE(frameOf(v, r), frame);
        QCOMPARE(r.checkIndex, checkIndex);
    }

    void numberFrames_data()
    {
        QTest::addColumn<qint32>("value");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("123456: 01 10 00 00 00 02 04 00 01 E2 40 EB 3F") << 123456 << hex("01100000000204 0001E240 EB3F");
        QTest::newRow("-99999: 01 10 00 00 00 02 04 FF FE 79 61 40 33") << -99999 << hex("01100000000204 FFFE7961 4033");
        QTest::newRow("0: value bytes 00 00 00 00") << 0 << QByteArray();
        QTest::newRow("999999: value bytes 00 0F 42 3F") << 999999 << QByteArray();
        QTest::newRow("INT_MIN: value bytes 80 00 00 00") << std::numeric_limits<qint32>::min() << QByteArray();
    }
    void numberFrames()
    {
        QFETCH(qint32, value);
        QFETCH(QByteArray, frame);
        ModVariables v;
        const Request r = buildWriteNumber(v, 1, value);
        QCOMPARE(r.length, 13);
        QCOMPARE(r.checkIndex, 5);
        const QByteArray sent = frameOf(v, r);
        if (!frame.isEmpty())
            QCOMPARE(sent, frame);
        // Whatever the value, the frame is the header, the value big-endian
        // and a CRC over the first eleven bytes.
        QCOMPARE(sent.left(7), hex("01100000000204"));
        const auto u = static_cast<quint32>(value);
        const char be[4] = {char(u >> 24), char(u >> 16), char(u >> 8), char(u)};
        QCOMPARE(sent.mid(7, 4), QByteArray(be, 4));
    }

    void textFrames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("AB: 01 10 00 02 00 03 06 20 20 20 20 41 42 7B 86") << QStringLiteral("AB")
            << hex("01100002000306 202020204142 7B86");
        QTest::newRow("six characters sent unchanged: KORVAN") << QStringLiteral("KORVAN") << QByteArray();
        QTest::newRow("empty: six spaces") << QString() << QByteArray();
    }
    void textFrames()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, frame);
        ModVariables v;
        const Request r = buildWriteText(v, 1, text);
        QCOMPARE(r.length, 15);
        QCOMPARE(r.checkIndex, 5);
        const QByteArray sent = frameOf(v, r);
        if (!frame.isEmpty())
            QCOMPARE(sent, frame);
        QCOMPARE(sent.left(7), hex("01100002000306"));
        QCOMPARE(sent.mid(7, 6), text.toLatin1().rightJustified(6, ' '));
    }

    void displayText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("é -> E9, right-aligned") << QStringLiteral("\u00e9") << hex("2020202020E9");
        QTest::newRow("€ -> 80") << QStringLiteral("\u20ac1") << hex("202020208031");
        QTest::newRow("Ÿ š ‰ -> 9F 9A 89") << QStringLiteral("\u0178\u0161\u2030") << hex("2020209F9A89");
        QTest::newRow("Ω (not in the code page) -> ?") << QStringLiteral("\u03a9") << hex("20202020203F");
        QTest::newRow("emoji outside the BMP is one character -> ?") << QStringLiteral("a\U0001F600b") << hex("202020613F62");
        QTest::newRow("six emoji are six characters") << QString::fromUcs4(U"\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600") << QByteArray(6, '?');
        QTest::newRow("more than six characters: only the first six") << QStringLiteral("ABCDEFGH") << QByteArray("ABCDEF");
    }
    void displayText()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(displayTextBytes(text), bytes);
    }

    void counterValue_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("shown");
        QTest::newRow("00 00 00 05 -> 5") << hex("00000005") << "5";
        QTest::newRow("00 01 E2 40 -> 123456") << hex("0001E240") << "123456";
        QTest::newRow("FF FE 79 61 -> -99999") << hex("FFFE7961") << "-99999";
        QTest::newRow("FF FF FF FF -> -1") << hex("FFFFFFFF") << "-1";
        QTest::newRow("00 00 00 00 -> 0") << hex("00000000") << "0";
        QTest::newRow("00 0A 00 0B -> 655371 (bytes padded)") << hex("000A000B") << "655371";
        QTest::newRow("80 00 00 00 -> -2147483648") << hex("80000000") << "-2147483648";
        QTest::newRow("7F FF FF FF -> 2147483647") << hex("7FFFFFFF") << "2147483647";
    }
    void counterValue()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, shown);
        QCOMPARE(counterValueText(hex("010304") + data + hex("0000")), shown);
    }

    void outputFrames_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("Turn On 1: 01 05 00 00 FF 00 8C 3A") << 0 << hex("01050000FF008C3A");
        QTest::newRow("Turn Off 1: 01 05 00 00 00 00 CD CA") << 1 << hex("010500000000CDCA");
        QTest::newRow("Turn On 2: 01 05 00 01 FF 00 DD FA") << 2 << hex("01050001FF00DDFA");
        QTest::newRow("Turn Off 2: 01 05 00 01 00 00 9C 0A") << 3 << hex("0105000100009C0A");
        QTest::newRow("Buzzer On (coil 3): 01 05 00 03 FF 00 7C 3A") << 4 << hex("01050003FF007C3A");
        QTest::newRow("Buzzer Off (coil 3): 01 05 00 03 00 00 3D CA") << 5 << hex("0105000300003DCA");
    }
    void outputFrames()
    {
        QFETCH(int, index);
        QFETCH(QByteArray, frame);
        ModVariables v;
        const Request r = buildOutput(v, 1, index);
        QCOMPARE(frameOf(v, r), frame);
        QCOMPARE(r.checkIndex, 5);
    }

    void parseNumber_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<qint32>("value");
        QTest::newRow("\" 42 \"") << " 42 " << true << 42;
        QTest::newRow("+7") << "+7" << true << 7;
        QTest::newRow("-0") << "-0" << true << 0;
        QTest::newRow("-99999") << "-99999" << true << -99999;
        QTest::newRow("999999") << "999999" << true << 999999;
        QTest::newRow("2147483647") << "2147483647" << true << 2147483647;
        QTest::newRow("-2147483648") << "-2147483648" << true << std::numeric_limits<qint32>::min();
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("blanks only") << "   " << false << 0;
        QTest::newRow("sign only") << "-" << false << 0;
        QTest::newRow("12a") << "12a" << false << 0;
        QTest::newRow("1.5") << "1.5" << false << 0;
        QTest::newRow("1,5") << "1,5" << false << 0;
        QTest::newRow("1e3") << "1e3" << false << 0;
        QTest::newRow("+-1") << "+-1" << false << 0;
        QTest::newRow("1 2") << "1 2" << false << 0;
        QTest::newRow("0x10") << "0x10" << false << 0;
        QTest::newRow("Arabic-Indic digit") << QStringLiteral("\u0661") << false << 0;
        QTest::newRow("2147483648") << "2147483648" << false << 0;
        QTest::newRow("99999999999") << "99999999999" << false << 0;
        QTest::newRow("-2147483649") << "-2147483649" << false << 0;
    }
    void parseNumber()
    {
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        QFETCH(qint32, value);
        const auto parsed = korvane::parseNumber(typed);
        QCOMPARE(parsed.has_value(), accepted);
        if (accepted)
            QCOMPARE(*parsed, value);
    }

    void slaveAddressFromText_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("address"); // -1: names no entry
        QTest::newRow("1") << "1" << 1;
        QTest::newRow("12") << "12" << 12;
        QTest::newRow("\" 12 \": blanks around are ignored") << " 12 " << 12;
        QTest::newRow("tab and line break around 7") << "\t7\n" << 7;
        QTest::newRow("247") << "247" << 247;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("blanks only") << "   " << -1;
        QTest::newRow("0: the broadcast address is no entry") << "0" << -1;
        QTest::newRow("012: no entry has a leading zero") << "012" << -1;
        QTest::newRow("00") << "00" << -1;
        QTest::newRow("+5") << "+5" << -1;
        QTest::newRow("-1") << "-1" << -1;
        QTest::newRow("248") << "248" << -1;
        QTest::newRow("300") << "300" << -1;
        QTest::newRow("1000") << "1000" << -1;
        QTest::newRow("99999999999") << "99999999999" << -1;
        QTest::newRow("abc") << "abc" << -1;
        QTest::newRow("1.5") << "1.5" << -1;
        QTest::newRow("1 2") << "1 2" << -1;
        QTest::newRow("12a") << "12a" << -1;
        QTest::newRow("Arabic-Indic digit one") << QStringLiteral("\u0661") << -1;
        QTest::newRow("full-width 12") << QStringLiteral("\uFF11\uFF12") << -1;
    }
    void slaveAddressFromText()
    {
        QFETCH(QString, typed);
        QFETCH(int, address);
        const auto parsed = korvane::slaveAddressFromText(typed);
        QCOMPARE(parsed.has_value(), address >= 0);
        if (parsed)
            QCOMPARE(int(*parsed), address);
    }
};

QTEST_APPLESS_MAIN(TestCommands)
#include "tst_commands.moc"
