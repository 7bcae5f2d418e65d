// The Modbus CRC-16 as computed over the frame buffer, and the reply check.

#include "protocol/crc16.h"

#include <QTest>

#include "Frames.h"

using namespace korvane;
using korvane::test::hex;

namespace {

void load(ModVariables &v, const QByteArray &bytes)
{
    for (int i = 0; i < bytes.size(); ++i)
        v.TxBuf[i] = static_cast<std::uint8_t>(bytes[i]);
}

// The good counter reply: value 5 from slave 1.
const QByteArray goodCounterReply = hex("010304000000053A30");
} // namespace

class TestCrc16 : public QObject {
    Q_OBJECT
private slots:
    void calcCRC_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("lo");
        QTest::addColumn<QString>("hi");
        // Each row: the bytes covered, then the CRC bytes as they go on the wire.
        QTest::newRow("01 03 00 00 00 02 | C4 0B") << hex("010300000002") << "C4" << "0B";
        QTest::newRow("01 05 00 02 FF 00 | 2D FA") << hex("01050002FF00") << "2D" << "FA";
        QTest::newRow("01 05 00 00 FF 00 | 8C 3A") << hex("01050000FF00") << "8C" << "3A";
        QTest::newRow("01 10 00 00 00 02 04 00 01 E2 40 | EB 3F") << hex("0110000000020400 01E240") << "EB" << "3F";
        QTest::newRow("01 10 00 00 00 02 04 FF FE 79 61 | 40 33") << hex("011000000002 04FFFE7961") << "40" << "33";
        QTest::newRow("01 10 00 02 00 03 06 20 20 20 20 41 42 | 7B 86") << hex("01100002000306202020204142") << "7B" << "86";
        QTest::newRow("F7 03 00 00 00 02 | D0 9D") << hex("F70300000002") << "D0" << "9D";
        QTest::newRow("00 03 00 00 00 02 | C5 DA") << hex("000300000002") << "C5" << "DA";
        QTest::newRow("01 05 00 00 00 00 | CD CA") << hex("010500000000") << "CD" << "CA";
        QTest::newRow("01 05 00 01 00 00 | 9C 0A (high byte keeps its zero)") << hex("010500010000") << "9C" << "0A";
        QTest::newRow("01 05 00 03 FF 00 | 7C 3A") << hex("01050003FF00") << "7C" << "3A";
        QTest::newRow("01 03 04 00 00 00 05 | 3A 30 (a reply)") << hex("01030400000005") << "3A" << "30";
        QTest::newRow("empty | FF FF") << QByteArray() << "FF" << "FF";
    }
    void calcCRC()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QString, lo);
        QFETCH(QString, hi);
        ModVariables v;
        load(v, frame);
        CalcCRC(v, int(frame.size()));
        QCOMPARE(v.gCRCLo, lo);
        QCOMPARE(v.gCRCHi, hi);
    }

    void calcCRCRefusesIndexBeyondBuffer()
    {
        ModVariables v;
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, CalcCRC(v, 22));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, v.TxBuf[21]);
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, v.TxBuf[-1]);
    }

    void checkCRCAcceptsGoodReplyAndLeavesItsCRC()
    {
        ModVariables v;
        load(v, hex("010300000002C40B"));
        v.RxData = goodCounterReply;
        QVERIFY(CheckCRC(v, 6));
        // The texts now belong to the reply, not to the request.
        QCOMPARE(v.gCRCLo, QStringLiteral("3A"));
        QCOMPARE(v.gCRCHi, QStringLiteral("30"));
    }

    void checkCRCFailsOnAnyChangedByte()
    {
        for (int i = 0; i < goodCounterReply.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                ModVariables v;
                v.RxData = goodCounterReply;
                v.RxData[i] = char(v.RxData[i] ^ (1 << bit));
                QVERIFY2(!CheckCRC(v, 6), qPrintable(QStringLiteral("byte %1 bit %2").arg(i).arg(bit)));
            }
        }
    }

    void checkCRCIgnoresTrailingBytes()
    {
        ModVariables v;
        v.RxData = goodCounterReply + hex("DEADBEEF");
        QVERIFY(CheckCRC(v, 6));
        v.RxData = hex("01050002FF002DFA") + hex("00");
        QVERIFY(CheckCRC(v, 5));
    }

    void checkCRCFailsOnShortReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("k");
        for (int k : {5, 6}) {
            const QByteArray full = k == 6 ? goodCounterReply : hex("01050002FF002DFA");
            for (int len = 0; len <= k + 2; ++len)
                QTest::addRow("k=%d, %d of %d bytes", k, len, k + 3) << full.left(len) << k;
        }
        // An exception reply is five bytes with a correct CRC of its own.
        QTest::newRow("exception 01 83 02 C0 F1, k=6") << hex("018302C0F1") << 6;
        QTest::newRow("exception 01 85 02 C3 51, k=5") << hex("018502C351") << 5;
    }
    void checkCRCFailsOnShortReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, k);
        ModVariables v;
        // Only the reply's own bytes exist: a copy makes any read past its
        // end visible to the address sanitizer.
        v.RxData = QByteArray(reply.constData(), reply.size());
        QVERIFY(!CheckCRC(v, k));
    }
};

QTEST_APPLESS_MAIN(TestCrc16)
#include "tst_crc16.moc"
